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
%   image_select chooses the term the search images and the final image
%   sum. c_range holds two finite speeds, 0 < c_min < c_max.
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
%     subapertures  how the array was divided
%     notes         cell array of warnings in words (edge, limited view)
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
%   compared with each other. The engine reads every sensor one
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
n = whole('n', n, 1);
x = sensor_column('x_sensor', x_sensor, cols);
y = sensor_column('y_sensor', y_sensor, cols);
z = sensor_column('z_sensor', z_sensor, cols);
if ~isnumeric(c_range) || ~isreal(c_range) || numel(c_range) ~= 2 || ...
   any(~isfinite(c_range(:))) || c_range(1) <= 0 || c_range(2) <= c_range(1)
  error('tofimage_autofocus:c_range', ...
        'c_range must be [c_min c_max] with 0 < c_min < c_max, both finite');
end
c_range = double(c_range(:)');
image_select = any_scalar('image_select', image_select);
if ~isnumeric(t) || ~isreal(t) || numel(t) < rows || any(~isfinite(t(1:rows)))
  error('tofimage_autofocus:t', 't must hold a finite time for each of the %d rows of sigMat', rows);
end
t = double(t(1:rows));
t = t(:);
if t(2) == t(1) && image_select ~= 1
  error('tofimage_autofocus:t', 't(2) must differ from t(1): the derivative term divides by it');
end
fs = real_scalar('fs', fs);
image_width = real_scalar('image_width', image_width);
numCores = any_scalar('numCores', numCores);
if isempty(opts.roi)
  dx = image_width / n;
  half = floor(n / 2);
  opts.roi = [-(half - 1) - 0.5, (n - half) + 0.5, (half - 1) - n + 0.5, (half - 1) + 0.5] * dx;
end
if isempty(opts.resolution)
  opts.resolution = mean(c_range) / 1500;
end

search = plan_search(x, y, z, t, fs, image_select, opts);
[candidates, scores, levels, best, unit] = search_levels(double(sigMat), search, c_range, ...
                                                         opts, numCores);
c = candidates(best);

info = struct();
info.c = c;
info.candidates = candidates;
info.scores = scores;
info.levels = levels;
info.method = opts.method;
info.image = tofimage(double(sigMat), n, x, y, z, c, image_select, t, fs, image_width, numCores);
[info.x, info.y] = tofimage_grid(n, image_width);
info.roi = opts.roi;
info.search_n = opts.search_n;
info.resolution = unit;
info.edge = c == c_range(1) || c == c_range(2);
info.view_angle = search.view_angle;
info.limited_view = search.view_angle < 270;
info.subapertures = search.description;
info.notes = {};
if info.edge
  info.notes{end + 1} = sprintf(['best value at the edge of c_range (c = %g): the focus ' ...
                                 'may lie outside [%g %g]; widen c_range'], c, c_range);
end
if info.limited_view
  info.notes{end + 1} = sprintf(['limited view: the sensors surround the region over %.0f ' ...
                                 'degrees only; structures seen from one side look sharp at ' ...
                                 'every c, so c rests on compact features (points, ends of ' ...
                                 'vessels): put the roi on one'], info.view_angle);
end
info.seconds = toc(started);
if opts.plot
  draw(info);
end
end

% ---------------------------------------------------------------------------
% The search.

function search = plan_search(x, y, z, t, fs, image_select, opts)
% Everything the candidates share: the search grid's placement, the
% sub-apertures and the time shift.
roi = opts.roi;
centre = [roi(1) + roi(2), roi(3) + roi(4)] / 2;
width = max(roi(2) - roi(1), roi(4) - roi(3));
m = opts.search_n;
pitch = width / m;
% The engine's grid is centred on ((m-1)/2 - (floor(m/2) - 1)) * pitch in x
% and the opposite in y; moving the sensors moves the region there.
offset = ((m - 1) / 2 - (floor(m / 2) - 1)) * pitch;
search.x = x - centre(1) + offset;
search.y = y - centre(2) - offset;
search.z = z;
search.width = width;
search.pitch = pitch;
search.reach = median(sqrt((x - centre(1)) .^ 2 + (y - centre(2)) .^ 2 + z .^ 2));
if image_select == 1
  late = 1;
else
  late = 1.5;
end
search.t = t;
search.t_search = t + late / fs;
search.fs = fs;
search.image_select = image_select;

[order, search.view_angle] = angular_order(x - centre(1), y - centre(2));
cols = numel(x);
if strcmp(opts.method, 'subaperture')
  if search.view_angle >= 270
    q = floor(cols / 4);
    search.groups = cell(1, 4);
    for k = 1:4
      search.groups{k} = order(mod((k - 1) * q + (0:2*q-1), cols) + 1);
    end
    search.pairs = [1 3; 2 4];
    search.magnitude = false;
    search.description = sprintf(['4 half-apertures of %d sensors by angle around the ' ...
                                  'region''s centre, starting a quarter apart; opposed ' ...
                                  'halves compared'], 2 * q);
  else
    h = floor(cols / 2);
    search.groups = {order(1:h), order(cols-h+1:cols)};
    search.pairs = [1 2];
    search.magnitude = true;
    search.description = sprintf(['2 halves of %d sensors by angle around the region''s ' ...
                                  'centre, compared by magnitude'], h);
  end
  search.tapers = cell(size(search.groups));
  for k = 1:numel(search.groups)
    g = numel(search.groups{k});
    search.tapers{k} = sin(pi * ((1:g) - 0.5) / g) .^ 2;
  end
elseif strcmp(opts.method, 'coherence')
  search.description = sprintf('each of the %d sensors its own sub-aperture', cols);
else
  search.description = 'the whole array';
end
end

function [order, view_angle] = angular_order(dx, dy)
% Sensors in order of their angle around the origin, starting after the
% widest gap between neighbours; the angle they span, in degrees.
theta = atan2(dy, dx);
[sorted, order] = sort(theta);
gaps = diff([sorted; sorted(1) + 2 * pi]);
[widest, at] = max(gaps);
order = order([at+1:end, 1:at]);
view_angle = (2 * pi - widest) * 180 / pi;
end

function [candidates, scores, levels, best, unit] = search_levels(sigMat, search, c_range, ...
                                                                   opts, numCores)
% Every candidate of every level, in the order tried; best indexes the best
% of the last level. Scores are compared within a level only: each level
% smooths the signals differently, and smoother signals score higher.
coarse = 16;
split = 4;
last = 0;
while (c_range(2) - c_range(1)) / (coarse * split ^ last) > opts.resolution
  last = last + 1;
end
unit = (c_range(2) - c_range(1)) / (coarse * split ^ last);
top = coarse * split ^ last;
candidates = zeros(1, 0);
scores = zeros(1, 0);
levels = zeros(1, 0);
m_best = 0;
for level = 0:last
  step = split ^ (last - level);
  if level == 0
    ms = 0:step:top;
  else
    ms = m_best + (-split:split) * step;
    ms = ms(ms >= 0 & ms <= top);
  end
  data = level_signals(sigMat, search, step * unit, mean(c_range), opts.method);
  level_scores = zeros(size(ms));
  for k = 1:numel(ms)
    level_scores(k) = score(data, search, c_range(1) + ms(k) * unit, opts, numCores);
  end
  [~, at] = max(level_scores);
  m_best = ms(at);
  best = numel(candidates) + at;
  candidates = [candidates, c_range(1) + ms * unit]; %#ok<AGROW>
  scores = [scores, level_scores]; %#ok<AGROW>
  levels = [levels, level + zeros(size(ms))]; %#ok<AGROW>
end
end

function data = level_signals(sigMat, search, step, c_mid, method)
% The signals of one level: smoothed in time by as much as one step of c
% moves a feature at the sensors' typical distance (at least a search
% pixel), then turned into the values of the term image_select sums.
blur = max(search.reach * step / c_mid, search.pitch) / c_mid * search.fs;
half = ceil(4 * blur);
g = exp(-0.5 * ((-half:half)' / blur) .^ 2);
g = g / sum(g);
s = conv2(sigMat, g, 'same');
if search.image_select == 1
  v = s;
else
  ds = [diff(s, 1, 1); zeros(1, size(s, 2))];
  term = (search.t * (1 / (search.t(2) - search.t(1)))) .* ds;
  if search.image_select == 2
    v = term;
  else
    v = s - term;
  end
end
if strcmp(method, 'subaperture')
  data.parts = cell(size(search.groups));
  for k = 1:numel(search.groups)
    data.parts{k} = v(:, search.groups{k}) .* search.tapers{k};
  end
else
  data.values = v;
  if strcmp(method, 'coherence')
    data.squares = v .* v;
  end
end
end

function value = score(data, search, c, opts, numCores)
recon = @(sig, sensors) tofimage(sig, opts.search_n, search.x(sensors), search.y(sensors), ...
                                 search.z(sensors), c, 1, search.t_search, search.fs, ...
                                 search.width, numCores);
all_sensors = 1:numel(search.x);
if strcmp(opts.method, 'coherence')
  S = recon(data.values, all_sensors);
  Q = recon(data.squares, all_sensors);
  energy = S .^ 2;
  seen = Q > 0;
  total = sum(energy(seen));
  if total > 0
    value = sum(energy(seen) .^ 2 ./ (numel(all_sensors) * Q(seen))) / total;
  else
    value = 0;
  end
elseif strcmp(opts.method, 'subaperture')
  images = cell(size(data.parts));
  for k = 1:numel(images)
    images{k} = recon(data.parts{k}, search.groups{k});
    if search.magnitude
      images{k} = abs(images{k});
    end
  end
  value = 0;
  for p = 1:size(search.pairs, 1)
    value = value + correlation(images{search.pairs(p, 1)}, images{search.pairs(p, 2)});
  end
  value = value / size(search.pairs, 1);
else
  F = recon(data.values, all_sensors);
  F = F - mean(F(:));
  energy = sum(F(:) .^ 2);
  if energy > 0
    dr = F(3:end, :) - F(1:end-2, :);
    dc = F(:, 3:end) - F(:, 1:end-2);
    value = (sum(dr(:) .^ 2) + sum(dc(:) .^ 2)) / energy;
  else
    value = 0;
  end
end
end

function r = correlation(a, b)
a = a(:) - mean(a(:));
b = b(:) - mean(b(:));
d = sqrt(sum(a .^ 2) * sum(b .^ 2));
if d > 0
  r = sum(a .* b) / d;
else
  r = 0;
end
end

% ---------------------------------------------------------------------------
% Arguments.

function opts = options(args)
opts = struct('roi', [], 'search_n', 128, 'method', 'coherence', 'resolution', [], ...
              'plot', false);
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
      if ~isnumeric(value) || ~isreal(value) || numel(value) ~= 4 || ...
         any(~isfinite(value(:))) || value(2) <= value(1) || value(4) <= value(3)
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
    case 'plot'
      if ~(islogical(value) || isnumeric(value)) || ~isscalar(value)
        error('tofimage_autofocus:plot', 'plot must be true or false');
      end
      opts.plot = logical(value);
    otherwise
      error('tofimage_autofocus:options', ...
            'unknown option ''%s'' (roi, search_n, method, resolution, plot)', name);
  end
end
end

function [rows, cols] = check_signals(sigMat)
if ~isnumeric(sigMat) || ~isreal(sigMat) || ndims(sigMat) > 2
  error('tofimage_autofocus:sigMat', 'sigMat must be a real matrix (time samples x sensors)');
end
[rows, cols] = size(sigMat);
if rows < 2 || cols < 4
  error('tofimage_autofocus:sigMat', ...
        'sigMat must have at least 2 rows (time samples) and 4 columns (sensors), not %d x %d', ...
        rows, cols);
end
if any(~isfinite(sigMat(:)))
  error('tofimage_autofocus:sigMat', 'sigMat must be finite (no NaN or Inf)');
end
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
