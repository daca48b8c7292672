function demo_tofimage(png)
%DEMO_TOFIMAGE  Reconstruct a simulated photoacoustic scan with tofimage.
%   demo_tofimage simulates a ring scan (see simulate_scan), reconstructs it
%   with every term of tofimage on all cores, prints the sizes, the time,
%   the throughput and where the image peaks against the true position of
%   each point absorber, and draws the three images into build/demo.png.
%   Then it simulates a cine loop of 32 frames in which one absorber moves,
%   reconstructs it with tofimage_frames, as double and as int16 stacks,
%   and frame by frame with tofimage, checks that every frame's image is the
%   same, and prints the frames per second of each and where the moving
%   absorber shows in every frame. Last, it simulates the scan again with a
%   speed of sound of 1540 m/s that the reconstruction is not told, finds
%   it with tofimage_autofocus, prints what it found and how long the
%   search took, and draws the score against c under the images. Then it
%   simulates a linear array above the same phantom and beamforms its x-z
%   plane with tofimage_beamform four ways (nearest and linear
%   delay-and-sum, delay-and-sum with an f-number of 1.5, signed DMAS),
%   prints the time of each and how sharply each shows the point
%   absorbers, and draws the four images in the bottom row.
%   demo_tofimage(png) writes the picture to the file png instead.
%
%   Run it from the repository root with the module and this folder on the
%   path, for example:  make demo
%   or, in Octave or MATLAB:  addpath build matlab; demo_tofimage

if nargin < 1
  png = fullfile('build', 'demo.png');
end

n = 256;
scan = simulate_scan(n);
[rows, sensors] = size(scan.sigMat);
if exist('nproc', 'builtin') || exist('nproc', 'file')
  threads = nproc();
else
  threads = feature('numcores');
end

pitch = scan.image_width / n;
fprintf('tofimage demo: a simulated photoacoustic ring scan\n');
fprintf('  sensors  %d on a ring of radius %.1f mm in the plane z = 0\n', ...
        sensors, 1e3 * hypot(scan.x_sensor(1), scan.y_sensor(1)));
fprintf('  signals  %d samples at %.0f MHz from t = %.3f us to %.3f us, c = %.0f m/s\n', ...
        rows, scan.fs / 1e6, 1e6 * scan.t(1), 1e6 * scan.t(end), scan.c);
fprintf('  phantom  %d point absorbers and a vessel of %d small absorbers; N-shaped\n', ...
        size(scan.points, 1), size(scan.vessel, 1));
fprintf('           pulses (Gaussian derivative, sigma %.0f ns), white noise %.0f %% of a pulse\n', ...
        1e9 * scan.pulse_sigma, 100 * scan.noise);
fprintf('  image    %d x %d pixels, %.1f mm wide, pixel %.1f um,\n', n, n, ...
        1e3 * scan.image_width, 1e6 * pitch);
fprintf('           x from %.2f to %.2f mm, y from %.2f to %.2f mm\n', ...
        1e3 * scan.x_pixel(1), 1e3 * scan.x_pixel(end), ...
        1e3 * scan.y_pixel(end), 1e3 * scan.y_pixel(1));

% Load the module and start its threads before timing anything.
recon(scan, 2, 1, threads);

names = {'signal', 't * d(signal)/dt', 'signal - t * d(signal)/dt'};
images = cell(1, 3);
seconds = zeros(1, 3);
fprintf('Reconstruction with numCores = %d:\n', threads);
for term = 1:3
  start = tic;
  images{term} = recon(scan, n, term, threads);
  seconds(term) = toc(start);
  fprintf('  term %d  %-27s %7.3f s\n', term, names{term}, seconds(term));
end
evaluations = n * n * sensors;
fprintf('  %d x %d pixels x %d sensors = %.1f M pixel-sensor evaluations per term\n', ...
        n, n, sensors, evaluations / 1e6);
fprintf('  all three terms in %.3f s: %.3g pixel-sensor evaluations per second\n', ...
        sum(seconds), 3 * evaluations / sum(seconds));

% Term 3 is the image to look at: the time derivative of an N-shaped pulse
% has its extremum at the arrival, so every absorber shows as a bright spot.
% Term 1 sums the pulse itself. The engine reads each sensor one sample
% after the time of flight, where the pulse is in its negative lobe, so in
% term 1 every absorber shows as a sharp minimum.
fprintf('Point absorbers, and where the images peak near them (pixel = Recon(row, col);\n');
fprintf('1 px = %.1f um). Each sensor is read one sample (%.1f um of travel) after\n', ...
        1e6 * pitch, 1e6 * scan.c / scan.fs);
fprintf('the time of flight, on the negative lobe of the pulse: term 1 shows a minimum.\n');
bright = source_peaks(images{3}, scan.x_pixel, scan.y_pixel, scan.points, +1);
dark = source_peaks(images{1}, scan.x_pixel, scan.y_pixel, scan.points, -1);
for s = 1:size(scan.points, 1)
  fprintf('  absorber %d  true position  x = %6.3f mm, y = %6.3f mm   row %6.2f, col %6.2f\n', s, ...
          1e3 * scan.points(s, 1), 1e3 * scan.points(s, 2), bright(s).true_row, bright(s).true_col);
  report('term 3 maximum', bright(s), pitch);
  report('term 1 minimum', dark(s), pitch);
end

cine_loop(n, 32, threads);
focus = find_speed(n, threads);
linear = linear_array(n, threads);

draw(png, scan, images, names, seconds, threads, focus, linear);
fprintf('Picture: %s\n', png);
end

function cine_loop(n, frames, threads)
% A cine loop through tofimage_frames, against the same frames one
% tofimage call at a time. Each way is timed over the whole loop, best of
% three rounds (each round runs every way once, so that a change in the
% machine's load weighs on all of them); the images of every way must be
% the same bit for bit.
cine = simulate_scan(n, frames);
[rows, sensors, ~] = size(cine.sigMat);
% As a scanner records it: int16, the largest magnitude at 30000.
scale = 30000 / max(abs(cine.sigMat(:)));
recorded = int16(scale * cine.sigMat);
fprintf('Cine loop: %d frames of %d samples x %d sensors; a fifth absorber circles\n', ...
        frames, rows, sensors);
centre = mean(cine.track, 1);
fprintf('around (%.1f, %.1f) mm at a radius of %.1f mm, one lap. Term 3, %d x %d pixels,\n', ...
        1e3 * centre, 1e3 * hypot(cine.track(1, 1) - centre(1), cine.track(1, 2) - centre(2)), n, n);
fprintf('numCores = %d, each time the best of 3 runs over the whole loop:\n', threads);

args = @(sig) {sig, n, cine.x_sensor, cine.y_sensor, cine.z_sensor, cine.c, 3, ...
               cine.t, cine.fs, cine.image_width, threads};
one = args(cine.sigMat(:, :, 1));
tofimage_frames(one{:});              % load the module and start its threads

ways = {'tofimage, frame by frame', 'tofimage_frames, double stack', ...
        'tofimage_frames, int16 stack'};
stacks = {[], cine.sigMat, recorded};
images = cell(1, 3);
best = Inf(1, 3);
for round = 1:3
  for w = 1:3
    start = tic;
    if w == 1
      Recon = zeros(n, n, frames);
      for f = 1:frames
        one = args(cine.sigMat(:, :, f));   % the frame's copy: part of this way's cost
        Recon(:, :, f) = tofimage(one{:});
      end
    else
      whole = args(stacks{w});
      Recon = tofimage_frames(whole{:});
    end
    best(w) = min(best(w), toc(start));
    images{w} = Recon;
  end
end

% The double stack's images are those of tofimage frame by frame; the int16
% stack's those of double(recorded), frame by frame.
same = isequal(images{2}, images{1});
for f = 1:frames
  one = args(double(recorded(:, :, f)));
  same = same && isequal(images{3}(:, :, f), tofimage(one{:}));
end
if ~same
  error('demo_tofimage: tofimage_frames differs from tofimage frame by frame');
end
for w = 1:3
  fprintf('  %-32s %7.3f s  %7.1f frames per second', ways{w}, best(w), frames / best(w));
  if w > 1
    fprintf(' (%.2fx)', best(1) / best(w));
  end
  fprintf('\n');
end
fprintf('  every frame the same image bit for bit, each way\n');

% Where term 3 peaks near the moving absorber, frame by frame.
away = zeros(frames, 1);
for f = 1:frames
  pk = source_peaks(images{1}(:, :, f), cine.x_pixel, cine.y_pixel, cine.track(f, :), +1);
  away(f) = hypot(pk.row - pk.true_row, pk.col - pk.true_col);
end
[worst, at] = max(away);
fprintf('  moving absorber: term 3 peaks within %.2f px of it in every frame (worst: frame %d)\n', ...
        worst, at);
end

function focus = find_speed(n, threads)
% A scan through water warmer than the reconstruction assumes: its speed of
% sound is found from the data alone.
hidden = 1540;
scan = simulate_scan(n, 'c', hidden);
c_range = [1400 1650];
fprintf('Speed of sound from the data: the scan again, simulated at c = %d m/s, which the\n', hidden);
fprintf('reconstruction is not told; tofimage_autofocus searches c from %d to %d m/s:\n', c_range);
start = tic;
[c, info] = tofimage_autofocus(scan.sigMat, n, scan.x_sensor, scan.y_sensor, scan.z_sensor, ...
                               c_range, 3, scan.t, scan.fs, scan.image_width, threads);
seconds = toc(start);
fprintf('  found c = %.2f m/s (%+.2f m/s) in %.3f s: %d candidates on a %d x %d grid, method %s\n', ...
        c, c - hidden, seconds, numel(info.candidates), info.search_n, info.search_n, info.method);
for k = 1:numel(info.notes)
  fprintf('  note: %s\n', info.notes{k});
end
% How much the focus matters: the brightest spot of term 3 at the c found
% and at the 1500 m/s the reconstruction would otherwise have assumed.
assumed = tofimage(scan.sigMat, n, scan.x_sensor, scan.y_sensor, scan.z_sensor, 1500, 3, ...
                   scan.t, scan.fs, scan.image_width, threads);
fprintf('  term 3 peaks at %.4g at c = %.2f m/s, at %.4g at an assumed 1500 m/s\n', ...
        max(info.image(:)), c, max(assumed(:)));
focus = struct('hidden', hidden, 'c', c, 'info', info, 'seconds', seconds);
end

function linear = linear_array(n, threads)
% A linear array along x, 15 mm from the phantom's centre, beamformed in
% its own x-z plane: simulate_scan puts the array at y = 15 mm in the plane
% z = 0, so its y is the depth z here (the sensors' y and z and the points'
% swap roles; every distance stays the same). The points are the ring
% image's pixels, depth for y; the sensors face the phantom (-z).
scan = simulate_scan(n, 'array', 'linear');
sensors = numel(scan.x_sensor);
X = repmat(scan.x_pixel', n, 1);
Z = repmat(scan.y_pixel, 1, n);
normals = repmat([0 0 -1], sensors, 1);
ways = {'nearest DAS', {'Interp', 'nearest'}; ...
        'linear DAS', {}; ...
        'linear DAS, F = 1.5', {'FNumber', 1.5, 'Normals', normals}; ...
        'linear sDMAS', {'Beamformer', 'sdmas'}};
beamform = @(opts) tofimage_beamform(scan.sigMat, scan.x_sensor, scan.z_sensor, scan.y_sensor, ...
                                     scan.c, scan.t, scan.fs, X, zeros(n), Z, ...
                                     'Term', 'difference', 'NumCores', threads, opts{:});
beamform({});                          % load the module
fprintf('Linear array: %d sensors %.2f mm apart along x, %.0f mm from the phantom''s centre, imaged\n', ...
        sensors, 1e3 * (scan.x_sensor(2) - scan.x_sensor(1)), 1e3 * scan.y_sensor(1));
fprintf('in its x-z plane (%d x %d points) with tofimage_beamform, term 3, numCores = %d:\n', n, n, threads);
images = cell(1, 4);
seconds = zeros(1, 4);
for w = 1:4
  start = tic;
  images{w} = beamform(ways{w, 2});
  seconds(w) = toc(start);
  pk = source_peaks(images{w}, scan.x_pixel, scan.y_pixel, scan.points, +1);
  pitch = scan.x_pixel(2) - scan.x_pixel(1);
  fprintf(['  %-20s %7.3f s  %9.3g point-sensor evaluations/s; point absorbers: peaks ' ...
           '%.2f px off, %5.1fx the median\n'], ways{w, 1}, seconds(w), n * n * sensors / seconds(w), ...
          mean([pk.distance]) / pitch, mean([pk.contrast]));
end
linear = struct('scan', scan, 'images', {images}, 'names', {ways(:, 1)'}, 'seconds', seconds);
end

function img = recon(scan, n, term, threads)
img = tofimage(scan.sigMat, n, scan.x_sensor, scan.y_sensor, scan.z_sensor, ...
               scan.c, term, scan.t, scan.fs, scan.image_width, threads);
end

function report(what, p, pitch)
fprintf('              %s x = %6.3f mm, y = %6.3f mm   row %3d,    col %3d      %.3f mm = %.2f px away\n', ...
        what, 1e3 * p.x, 1e3 * p.y, p.row, p.col, 1e3 * p.distance, p.distance / pitch);
end

function draw(png, scan, images, names, seconds, threads, focus, linear)
if exist('OCTAVE_VERSION', 'builtin')
  % Octave without a display draws through gnuplot.
  toolkits = available_graphics_toolkits();
  if any(strcmp(toolkits, 'gnuplot'))
    warning('off', 'Octave:gnuplot-graphics');
    graphics_toolkit('gnuplot');
  end
end
n = scan.n;
x = 1e3 * scan.x_pixel;
y = 1e3 * flipud(scan.y_pixel);   % increasing, for axis xy
px = 1e3 * scan.points(:, 1);
py = 1e3 * scan.points(:, 2);
vx = 1e3 * scan.vessel(:, 1);
vy = 1e3 * scan.vessel(:, 2);
half = 1e3 * scan.image_width / 2;

fig = figure('visible', 'off', 'paperunits', 'inches', ...
             'paperposition', [0 0 12 19.5], 'papersize', [12 19.5]);
colormap(bluewhitered(256));

subplot(4, 2, 1);
plot(vx, vy, '-', 'color', [0.85 0.3 0.1], 'linewidth', 2);
hold on;
plot(px, py, 'o', 'color', [0.85 0.3 0.1], 'markerfacecolor', [0.85 0.3 0.1], 'markersize', 5);
plot(1e3 * scan.x_sensor, 1e3 * scan.y_sensor, '.', 'color', [0.4 0.4 0.4], 'markersize', 4);
plot([x(1) x(end) x(end) x(1) x(1)], [y(1) y(1) y(end) y(end) y(1)], 'k-');
for s = 1:numel(px)
  text(px(s) + 1.2, py(s), sprintf('%d', s));
end
hold off;
axis equal;
axis([-42 42 -42 42]);
xlabel('x (mm)');
ylabel('y (mm)');
title(sprintf('Phantom, %d sensors, image field (box)', numel(scan.x_sensor)));

for term = 1:3
  subplot(4, 2, term + 1);
  picture(x, y, images{term}, px, py);
  title(sprintf('term %d: %s  (%.3f s)', term, names{term}, seconds(term)));
end

% The search for the speed of sound: its score against c, level by level,
% and term 3 at the speed the reconstruction would otherwise have assumed.
info = focus.info;
subplot(4, 2, 5);
hold on;
marks = {'.-', 'o-', 's-', 'd-', '^-'};
labels = cell(1, 0);
for level = unique(info.levels)
  at = info.levels == level;
  plot(info.candidates(at), info.scores(at), marks{min(level + 1, numel(marks))}, ...
       'markersize', 4);
  labels{end + 1} = sprintf('level %d', level); %#ok<AGROW>
end
top = max(info.scores);
plot([focus.hidden focus.hidden], [0 top], 'k:');
labels{end + 1} = sprintf('true c = %d', focus.hidden);
hold off;
legend(labels{:}, 'location', 'northwest');
xlabel('c (m/s)');
ylabel(sprintf('score (%s)', info.method));
title(sprintf('tofimage_autofocus: c = %.1f m/s found in %.2f s (true %d)', focus.c, ...
              focus.seconds, focus.hidden), 'interpreter', 'none');
subplot(4, 2, 6);
picture(x, y, info.image, px, py);
title(sprintf('term 3 of that scan at c = %.1f m/s', focus.c));

% The linear array's x-z plane, four ways (the array lies above the image),
% each saturated at half its own largest magnitude, without colour bars.
for w = 1:4
  subplot(4, 4, 12 + w);
  picture(x, y, linear.images{w}, px, py, false);
  ylabel('z (mm)');
  title(sprintf('%s (%.2f s)', linear.names{w}, linear.seconds(w)));
end

annotation('textbox', [0 0.98 1 0.02], 'string', ...
           sprintf('tofimage: %d x %d image, %d sensors x %d samples, 3 terms in %.3f s on %d threads', ...
                   n, n, numel(scan.x_sensor), numel(scan.t), sum(seconds), threads), ...
           'horizontalalignment', 'center', 'linestyle', 'none', 'fontsize', 12);

[folder, ~] = fileparts(png);
if ~isempty(folder) && ~exist(folder, 'dir')
  mkdir(folder);
end
print(fig, '-dpng', '-r120', png);
close(fig);
end

function picture(x, y, img, px, py, bar)
img = flipud(img);     % row 1 (largest y) to the top
% Saturate at half the largest magnitude, so that the small spots of the
% point absorbers stand out.
lim = 0.5 * max(abs(img(:)));
imagesc(x, y, img, [-lim lim]);
axis xy;
axis image;
hold on;
plot(px, py, 'ko', 'markersize', 12);
hold off;
if nargin < 6 || bar
  colorbar;
end
xlabel('x (mm)');
ylabel('y (mm)');
end

function map = bluewhitered(m)
% Diverging colour map: dark blue for the most negative value, white for
% zero, dark red for the most positive.
anchors = [0.02 0.19 0.38
           0.26 0.57 0.78
           1.00 1.00 1.00
           0.84 0.38 0.30
           0.40 0.00 0.05];
map = interp1(linspace(0, 1, 5), anchors, linspace(0, 1, m));
end
