function [x, y] = tofimage_grid(n, image_width)
%TOFIMAGE_GRID  Coordinates of the pixel centres of a tofimage image.
%
%   [x, y] = tofimage_grid(n, image_width)
%
%   Returns where the pixels of the n-by-n image that tofimage returns for
%   these n and image_width lie: Recon(K, L) is the pixel centred at
%   (x(L), y(K)) in the plane z = 0, in the unit of image_width.
%
%   x   1 x n row, increasing: the x of each column
%   y   n x 1 column, decreasing: the y of each row (row 1 is the top of
%       the picture, the largest y)
%
%   The grid is not centred on the origin. With half = floor(n/2) and
%   dx = image_width/n, column L (counted from 0) lies at
%   x = (L - (half - 1))*dx and row K at y = ((half - 1) - K)*dx; the
%   engine computes them (through the module tofimage_autofocus_search, which
%   must be on the path beside tofimage), so they are the values tofimage
%   used. n is truncated toward zero, as in tofimage, and must then be at
%   least 1 and at most 46340.
%
%   To draw an image with its coordinates (here in millimetres):
%     [x, y] = tofimage_grid(256, 0.025);
%     imagesc(1e3*x, 1e3*y, Recon); axis xy image
%     xlabel('x [mm]'); ylabel('y [mm]')
%   imagesc places Recon(1,1) at (x(1), y(1)); axis xy then puts the
%   largest y at the top. Without it (the default axis ij) y grows
%   downwards and the picture appears upside down, each pixel still at its
%   coordinates.
%
%   To image another region, shift the sensor coordinates, not the grid:
%   see "Using it well" in the README of the tofimage sources.
%
%   See also tofimage.

if nargin ~= 2
  error('tofimage_grid:usage', 'Usage: [x, y] = tofimage_grid(n, image_width)');
end
if ~isnumeric(n) || ~isreal(n) || ~isscalar(n) || isnan(n)
  error('tofimage_grid:n', 'n must be a real number');
end
if ~isnumeric(image_width) || ~isreal(image_width) || ~isscalar(image_width)
  error('tofimage_grid:image_width', 'image_width must be a real scalar');
end
% The engine's grid and its rule on n, through the search's module.
[x, y, problem] = tofimage_autofocus_search('grid', fix(double(n)), double(image_width));
if ~isempty(problem)
  error('tofimage_grid:n', '%s', problem);
end
end
