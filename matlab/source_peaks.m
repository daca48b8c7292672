function pk = source_peaks(img, x_pixel, y_pixel, points, polarity, radius)
%SOURCE_PEAKS  Where an image peaks near each of a set of known points.
%   pk = source_peaks(img, x_pixel, y_pixel, points, polarity, radius) looks
%   in a square window of radius pixels (default 4) around each point (rows
%   of points = [x y], same unit as x_pixel and y_pixel) for the largest
%   value of polarity*img (polarity +1 for a maximum, -1 for a minimum).
%   x_pixel(L) and y_pixel(K) are the coordinates of the centre of pixel
%   img(K, L), evenly spaced, y_pixel decreasing (row 1 at the top).
%
%   Returns a struct array, one element per point, with the fields
%     true_row, true_col   the point's position in (fractional) pixels
%     row, col             the pixel of the peak
%     x, y                 the centre of that pixel
%     fit_row, fit_col     the peak refined to a fraction of a pixel by a
%                          parabola through it and its two neighbours
%                          along each axis
%     value                img at the peak
%     contrast             |value| over the median of |img|
%     distance             from the point to the centre of the peak pixel

if nargin < 5 || isempty(polarity)
  polarity = 1;
end
if nargin < 6 || isempty(radius)
  radius = 4;
end
[rows, cols] = size(img);
pitch = x_pixel(2) - x_pixel(1);
background = median(abs(img(:)));
pk = struct('true_row', {}, 'true_col', {}, 'row', {}, 'col', {}, ...
            'x', {}, 'y', {}, 'fit_row', {}, 'fit_col', {}, ...
            'value', {}, 'contrast', {}, 'distance', {});
for s = 1:size(points, 1)
  true_col = 1 + (points(s, 1) - x_pixel(1)) / pitch;
  true_row = 1 + (y_pixel(1) - points(s, 2)) / pitch;
  r = max(1, round(true_row) - radius):min(rows, round(true_row) + radius);
  c = max(1, round(true_col) - radius):min(cols, round(true_col) + radius);
  win = polarity * img(r, c);
  [~, k] = max(win(:));
  [kr, kc] = ind2sub(size(win), k);
  row = r(kr);
  col = c(kc);
  p.true_row = true_row;
  p.true_col = true_col;
  p.row = row;
  p.col = col;
  p.x = x_pixel(col);
  p.y = y_pixel(row);
  p.fit_row = row + vertex(polarity * img(max(row - 1, 1):min(row + 1, rows), col));
  p.fit_col = col + vertex(polarity * img(row, max(col - 1, 1):min(col + 1, cols)));
  p.value = img(row, col);
  p.contrast = abs(p.value) / background;
  p.distance = hypot(p.x - points(s, 1), p.y - points(s, 2));
  pk(s) = p;
end
end

function v = vertex(f)
% Offset of the vertex of the parabola through f(1), f(2), f(3) from the
% middle sample; 0 at the border of the image or when f is flat.
v = 0;
if numel(f) == 3
  den = f(1) - 2 * f(2) + f(3);
  if den < 0
    v = 0.5 * (f(1) - f(3)) / den;
  end
end
end
