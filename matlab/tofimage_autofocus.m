function [c, info] = tofimage_autofocus(sigMat, n, x_sensor, y_sensor, z_sensor, c_range, ...
                                        image_select, t, fs, image_width, numCores, varargin)
%TOFIMAGE_AUTOFOCUS  Find the speed of sound that brings a scan into focus.
%
%   [c, info] = tofimage_autofocus(sigMat, n, x_sensor, y_sensor, z_sensor, ...
%                                  c_range, image_select, t, fs, image_width, numCores)
%   [c, info] = tofimage_autofocus(..., name, value, ...)
%
%   Takes the arguments of tofimage, with c_range = [c_min c_max] in place
%   of c, and returns the speed of sound in that range at which the scan's
%   image is best focused, in the unit of c_range. It reconstructs the
%   region of interest for candidate speeds, scores each image, and refines
%   the best candidate, coarse to fine, down to a step of at most
%   'resolution' (by default c_mid/1500: 1 m/s around 1500 m/s).
%
%   sigMat, n, x_sensor, y_sensor, z_sensor, image_select, t, fs,
%   image_width and numCores are those of tofimage (see help tofimage);
%   image_select chooses the term the final image sums, and the one the
%   search scores but for the default score (the analytic coherence scores
%   the derivative term). c_range holds two finite speeds,
%   0 < c_min < c_max.
%
%   Options (name-value pairs):
%     'roi'         [x_min x_max y_min y_max]: the region searched, in the
%                   unit of the sensor coordinates. Default: the image
%                   field of n and image_width. The search grid is the
%                   square of side max(x_max - x_min, y_max - y_min) on the
%                   region's centre. Put it on compact structures (points,
%                   the end of a vessel) when the view is limited (below).
%     'search_n'    pixels on each side of the search grid (default 128,
%                   at least 16). Every candidate is reconstructed on it.
%     'method'      how an image is scored (default 'coherence'):
%                   'coherence'    how much the sensors agree at each pixel:
%                                  the coherence factor |sum_s v_s|^2 /
%                                  (N sum_s v_s^2) of the N sensors' values
%                                  v_s, averaged over the pixels weighted by
%                                  the image's energy. Every sensor is its
%                                  own sub-aperture, whatever the layout.
%                                  With 'analytic' true: the values of the
%                                  derivative term (term 2) whatever
%                                  image_select, and after the first level the
%                                  average of the factor to the power 1.5.
%                   'subaperture'  the correlation of images made by
%                                  disjoint parts of the array. Sensors
%                                  are ordered by their angle around the
%                                  region's centre, starting after the
%                                  widest gap. When they surround it (270
%                                  degrees or more: rings, wide arcs,
%                                  surrounding random layouts) the halves
%                                  ending at each quarter make two opposed
%                                  pairs, whose correlations are averaged;
%                                  otherwise (linear arrays, short arcs,
%                                  one-sided layouts) the first and last
%                                  halves are compared by their magnitudes.
%                                  Each part is tapered (sin^2) to quiet
%                                  the arcs its ends would draw.
%                   'sharpness'    the normalised Brenner gradient of the
%                                  image (sum of squared differences two
%                                  pixels apart over the image's energy).
%     'resolution'  the finest step between candidates (default c_mid/1500).
%     'analytic'    true (default) to score the analytic signal: each column
%                   with its Hilbert transform (fft), whose magnitude does
%                   not move when the pulse's phase turns, as it does
%                   between 2-D and 3-D propagation or with a sensor's
%                   response; false scores the signals themselves.
%     'interp'      how the search images read between samples: 'linear'
%                   (default) or 'nearest'.
%     'plot'        true to draw the score against c beside the image at
%                   the best c, in a new figure (default false).
%
%   info, a struct:
%     c             the speed found (as the output c)
%     candidates    every speed tried, level by level, increasing within
%                   a level (row)
%     scores        their scores (row); compare them within a level only
%     levels        the level of each (row): 0 is the coarsest
%     method        the method used
%     image         tofimage's n x n image at c (the term image_select)
%     x, y          its pixel coordinates, as tofimage_grid gives them
%     roi, search_n, resolution   the search's region, grid and finest step
%     edge          true when the best value lies at c_min or c_max: the
%                   focus may lie outside c_range; widen it
%     view_angle    the angle (degrees) over which the sensors surround the
%                   region's centre
%     limited_view  true below 270 degrees: structures the array sees from
%                   one side only (the length of a vessel, the rim of a
%                   disc) look sharp at every c, and only compact features
%                   tell c apart
%     tail_score    how far the signals stay off their baseline once every
%                   wavefront from the region has passed, in standard
%                   errors of the noise, summed over the sensors and
%                   divided by the root of their number: of order 1 for
%                   3-D waves, large for 2-D waves' tails
%     two_d         true when |tail_score| > 5 (analytic score only): the
%                   search made the signals 3-D-like first (spectrum times
%                   sqrt(i omega), a half-order time derivative)
%     subapertures  how the array was divided
%     notes         cell array of warnings in words (edge, limited view,
%                   2-D waves)
%     seconds       the search's wall-clock time
%
%   Method. Each level of the search tries speeds a fixed step apart: the
%   first, 17 across c_range; each next one, the 9 around the best of the
%   level before at a quarter of its step. Each level first smooths the
%   signals in time, by as much as a change of c by one step moves an image
%   feature (at least one search pixel), so that a coarse level sees the
%   focus between its candidates and a fine level tells neighbours apart;
%   all candidates of a level share the smoothed signals, their term, their
%   squares and their division into sub-apertures, and only they are
%   compared with each other. The search runs in the engine (the MEX
%   module tofimage_autofocus_search, on its general beamformer), which
%   tofimage.autofocus in Python calls too. The engine reads every sensor one
%   sample after the time of flight (its derivative terms half a sample
%   later still); the search images shift t by that much, so that their
%   features line up at the true c rather than at c + c^2 delay / distance.
%
%   Example:
%     scan = simulate_scan(256, 'c', 1540);    % in matlab/
%     [c, info] = tofimage_autofocus(scan.sigMat, 256, scan.x_sensor, ...
%         scan.y_sensor, scan.z_sensor, [1400 1650], 3, scan.t, scan.fs, ...
%         scan.image_width, 0, 'plot', true);
%     c                                       % about 1540
%     imagesc(info.image); axis image
%
%   See also TOFIMAGE, TOFIMAGE_GRID, SIMULATE_SCAN.

started = tic;
if nargin < 11
  error('tofimage_autofocus:usage', ['Usage: [c, info] = tofimage_autofocus(sigMat, n, ' ...
        'x_sensor, y_sensor, z_sensor, c_range, image_select, t, fs, image_width, ' ...
        'numCores, name, value, ...)']);
end
opts = options(varargin);
[rows, cols] = check_signals(sigMat);
% n truncated toward zero, as every host reads it (tofimage, Python).
if isnumeric(n) && isreal(n) && isscalar(n)
  n = fix(n);
end
n = whole('n', n, 1);
x = sensor_column('x_sensor', x_sensor, cols);
y = sensor_column('y_sensor', y_sensor, cols);
z = sensor_column('z_sensor', z_sensor, cols);
% The values are the engine's to check (through tofimage_autofocus_search,
% which raises its messages with identifiers tofimage_autofocus:<argument>);
% this function checks what it needs to pass them on.
if ~isnumeric(c_range) || ~isreal(c_range) || numel(c_range) ~= 2
  error('tofimage_autofocus:c_range', ...
        'c_range must be [c_min c_max] with 0 < c_min < c_max, both finite');
end
c_range = double(c_range(:)');
image_select = any_scalar('image_select', image_select);
if ~isnumeric(t) || ~isreal(t) || numel(t) < rows
  error('tofimage_autofocus:t', 't must hold a finite time for each of the %d rows of sigMat', rows);
end
t = double(t(1:rows));
t = t(:);
fs = real_scalar('fs', fs);
image_width = real_scalar('image_width', image_width);
numCores = any_scalar('numCores', numCores);
try
  found = tofimage_autofocus_search(double(sigMat), x, y, z, t, fs, c_range, image_select, ...
                                    n, image_width, opts.roi, opts.search_n, opts.method, ...
                                    opts.resolution, opts.interp, numCores, opts.analytic ~= 0);
catch err
  % The engine's verdict on an argument, raised as this function's (Octave
  % puts the module's name before it).
  if strncmp(err.identifier, 'tofimage_autofocus:', 19)
    error(err.identifier, '%s', regexprep(err.message, '^tofimage_autofocus_search: ', ''));
  end
  rethrow(err);
end
c = found.c;

info = struct();
info.c = c;
info.candidates = found.candidates;
info.scores = found.scores;
info.levels = found.levels;
info.method = opts.method;
info.image = tofimage(double(sigMat), n, x, y, z, c, image_select, t, fs, image_width, numCores);
info.x = found.x;
info.y = found.y;
info.roi = found.roi;
info.search_n = opts.search_n;
info.resolution = found.resolution;
info.edge = found.edge;
info.view_angle = found.view_angle;
info.limited_view = found.limited_view;
info.tail_score = found.tail_score;
info.two_d = found.two_d;
info.subapertures = found.subapertures;
info.notes = found.notes;
info.seconds = toc(started);
if opts.plot
  draw(info);
end
end

% ---------------------------------------------------------------------------
% Arguments.

function opts = options(args)
opts = struct('roi', [], 'search_n', 128, 'method', 'coherence', 'resolution', 0, ...
              'plot', false, 'analytic', true, 'interp', 'linear');
if mod(numel(args), 2) ~= 0
  error('tofimage_autofocus:options', 'options must come in name-value pairs');
end
for k = 1:2:numel(args)
  name = args{k};
  value = args{k + 1};
  if ~ischar(name)
    error('tofimage_autofocus:options', 'option names must be text');
  end
  switch lower(name)
    case 'roi'
      if ~isnumeric(value) || ~isreal(value) || numel(value) ~= 4
        error('tofimage_autofocus:roi', ...
              'roi must be [x_min x_max y_min y_max], finite, with x_max > x_min and y_max > y_min');
      end
      opts.roi = double(value(:)');
    case 'search_n'
      opts.search_n = whole('search_n', value, 16);
    case 'method'
      if ~ischar(value) || ~any(strcmpi(value, {'coherence', 'subaperture', 'sharpness'}))
        error('tofimage_autofocus:method', ...
              'method must be ''coherence'', ''subaperture'' or ''sharpness''');
      end
      opts.method = lower(value);
    case 'resolution'
      opts.resolution = real_scalar('resolution', value);
    case 'interp'
      if ~ischar(value) || ~any(strcmpi(value, {'nearest', 'linear'}))
        error('tofimage_autofocus:interp', 'interp must be ''nearest'' or ''linear''');
      end
      opts.interp = lower(value);
    case {'plot', 'analytic'}
      if ~(islogical(value) || isnumeric(value)) || ~isscalar(value)
        error(['tofimage_autofocus:' lower(name)], '%s must be true or false', lower(name));
      end
      opts.(lower(name)) = logical(value);
    otherwise
      error('tofimage_autofocus:options', ...
            'unknown option ''%s'' (roi, search_n, method, resolution, analytic, interp, plot)', name);
  end
end
end

function [rows, cols] = check_signals(sigMat)
if ~isnumeric(sigMat) || ~isreal(sigMat) || ndims(sigMat) > 2
  error('tofimage_autofocus:sigMat', 'sigMat must be a real matrix (time samples x sensors)');
end
[rows, cols] = size(sigMat);
end

function v = sensor_column(name, v, cols)
if ~isnumeric(v) || ~isreal(v) || numel(v) < cols || any(~isfinite(v(1:cols)))
  error('tofimage_autofocus:sensors', ...
        '%s must hold a finite coordinate for each of the %d sensors (columns of sigMat)', ...
        name, cols);
end
v = double(v(1:cols));
v = v(:);
end

function v = whole(name, v, least)
if ~isnumeric(v) || ~isreal(v) || ~isscalar(v) || ~isfinite(v) || v ~= fix(v) || v < least
  error(['tofimage_autofocus:' name], '%s must be a whole number of at least %d', name, least);
end
v = double(v);
end

function v = real_scalar(name, v)
if ~isnumeric(v) || ~isreal(v) || ~isscalar(v) || ~isfinite(v) || v <= 0
  error(['tofimage_autofocus:' name], '%s must be a finite positive number', name);
end
v = double(v);
end

function v = any_scalar(name, v)
% As tofimage takes it: any real number, NaN included.
if ~isnumeric(v) || ~isreal(v) || ~isscalar(v)
  error(['tofimage_autofocus:' name], '%s must be a real scalar', name);
end
v = double(v);
end

% ---------------------------------------------------------------------------

function draw(info)
figure();
subplot(1, 2, 1);
hold on;
names = cell(1, 0);
for level = unique(info.levels)
  at = info.levels == level;
  plot(info.candidates(at), info.scores(at), '.-');
  names{end + 1} = sprintf('level %d', level); %#ok<AGROW>
end
plot(info.c, info.scores(info.candidates == info.c & info.levels == max(info.levels)), ...
     'ko', 'markersize', 10);
hold off;
legend(names{:});
xlabel('c');
ylabel(sprintf('score (%s)', info.method));
title(sprintf('best c = %g', info.c));
subplot(1, 2, 2);
imagesc(info.x, info.y, info.image);
axis xy image;
colorbar;
title(sprintf('image at c = %g', info.c));
end
