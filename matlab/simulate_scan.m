function scan = simulate_scan(n, varargin)
%SIMULATE_SCAN  Simulated photoacoustic ring scan for trying out tofimage.
%   scan = simulate_scan(n) returns the recorded signals of a ring of 256
%   point sensors (radius 40 mm, plane z = 0) around a 25 mm wide field of
%   view, sampled 2030 times at 40 MHz starting at t = 1 us, with a speed of
%   sound of 1500 m/s. The phantom holds four point absorbers and a curved,
%   vessel-like line sampled as a chain of small absorbers. Each absorber
%   emits an N-shaped pressure pulse (the time derivative of a Gaussian,
%   positive compression first) that reaches each sensor at its time of
%   flight, weakened with distance as 1/d; a little white noise is added
%   with a fixed seed. All lengths are in metres, times in seconds.
%
%   n (default 256) is the image size the scan will be reconstructed at;
%   it only sets the pixel coordinates returned in the x_pixel and y_pixel
%   fields, so that the image tofimage returns can be placed in space:
%   Recon(K+1, L+1) is the pixel centred at (x_pixel(L+1), y_pixel(K+1)),
%   with x_pixel increasing and y_pixel decreasing (row 1 is the top of the
%   image, the largest y).
%
%   scan = simulate_scan(n, frames) simulates a cine loop instead: sigMat
%   is 2030 x 256 x frames, for tofimage_frames. A fifth point absorber
%   circles once around (1, 4) mm at a radius of 3 mm over the frames
%   (track(f, :) is its position in frame f) while the rest of the phantom
%   stays; each frame has its own noise, frame 1 the noise of the single
%   scan.
%
%   scan = simulate_scan(n, [frames,] name, value, ...) changes the scan:
%     'c'        speed of sound of the medium (default 1500 m/s); the
%                recording window and everything else stay as they are.
%     'phantom'  'demo' (default: the points and the vessel), 'points' (the
%                four point absorbers), 'vessel' (the vessel alone) or 'disc'
%                (a uniform disc of radius 3 mm at (0.5, -2.5) mm, as a
%                continuum of weak absorbers, with the vessel crossing it).
%     'array'    'ring' (default) or 'linear': 256 sensors 0.15 mm apart
%                along x on the line y = 15 mm, above the field of view.
%   The noise keeps its seed, level and size whatever the options.
%
%   Fields of scan:
%     sigMat                    2030 x 256 recorded signals (time x sensor),
%                               2030 x 256 x frames for a cine loop
%     t, fs, c                  sample times (column), sampling rate, speed of sound
%     x_sensor, y_sensor, z_sensor   sensor coordinates (columns of 256)
%     image_width, n            field of view and image size
%     x_pixel, y_pixel          pixel centre coordinates of an n x n image
%     points                    4 x 2 [x y] of the point absorbers (0 x 2
%                               without them)
%     vessel                    m x 2 [x y] of the absorbers along the vessel
%                               (0 x 2 without it)
%     disc                      [x y radius] of the disc (0 x 3 without it)
%     phantom, array            the phantom and the array simulated
%     track                     frames x 2 [x y] of the moving absorber
%                               (0 x 2 without frames)
%     pulse_sigma               width (s) of the Gaussian whose derivative is the pulse
%     noise                     standard deviation of the added noise, relative
%                               to the peak of a point absorber's pulse
%
%   Example:
%     scan = simulate_scan(256);
%     Recon = tofimage(scan.sigMat, scan.n, scan.x_sensor, scan.y_sensor, ...
%                      scan.z_sensor, scan.c, 3, scan.t, scan.fs, ...
%                      scan.image_width, 2);
%     imagesc(scan.x_pixel*1e3, scan.y_pixel*1e3, Recon); axis xy image

if nargin < 1
  n = 256;
end
cine = ~isempty(varargin) && isnumeric(varargin{1});
if cine
  frames = varargin{1};
  varargin = varargin(2:end);
else
  frames = 1;
end
opts = struct('c', 1500, 'phantom', 'demo', 'array', 'ring');
if mod(numel(varargin), 2) ~= 0
  error('simulate_scan: options come in name-value pairs');
end
for k = 1:2:numel(varargin)
  name = lower(varargin{k});
  if ~ischar(name) || ~isfield(opts, name)
    error('simulate_scan: unknown option (options: c, phantom, array)');
  end
  opts.(name) = varargin{k + 1};
end
if ~any(strcmp(opts.phantom, {'demo', 'points', 'vessel', 'disc'}))
  error('simulate_scan: phantom must be ''demo'', ''points'', ''vessel'' or ''disc''');
end
if ~any(strcmp(opts.array, {'ring', 'linear'}))
  error('simulate_scan: array must be ''ring'' or ''linear''');
end

% Acquisition.
sensors = 256;
radius = 40e-3;         % of the ring; also the distance at which a point's pulse peaks at 1
fs = 40e6;
rows = 2030;
c = opts.c;
t = 1e-6 + (0:rows-1)' / fs;
if strcmp(opts.array, 'ring')
  theta = 2*pi*(0:sensors-1)' / sensors;
  x_sensor = radius * cos(theta);
  y_sensor = radius * sin(theta);
else
  x_sensor = 0.15e-3 * ((0:sensors-1)' - (sensors - 1) / 2);
  y_sensor = 15e-3 * ones(sensors, 1);
end
z_sensor = zeros(sensors, 1);
image_width = 25e-3;

% Phantom. The point absorbers sit off the pixel centres and away from
% each other's mirror images, so that a flipped or transposed image puts
% nothing where an absorber should be.
points = [-6.03  7.52
           4.61  8.37
           8.12 -5.44
          -1.27 -2.06] * 1e-3;
% A vessel: a gently winding line, one small absorber every 25 um.
arc = linspace(0, 1, 2001)';
centre = [-8.5 + 15*arc, -7 + 7*arc + 1.6*sin(2*pi*arc)] * 1e-3;
seg = sqrt(sum(diff(centre).^2, 2));
along = [0; cumsum(seg)];
vessel = interp1(along, centre, (0:25e-6:along(end))');

if ~any(strcmp(opts.phantom, {'demo', 'points'}))
  points = zeros(0, 2);
end
if strcmp(opts.phantom, 'points')
  vessel = zeros(0, 2);
end

% Each point absorber has unit strength; the vessel's absorbers are weaker,
% so that the line, summed along its length, images about half as bright
% as a point.
sources = [points; vessel];
strength = [ones(size(points, 1), 1); 0.06 * ones(size(vessel, 1), 1)];

% p(tau) = -(tau/sigma) exp(1/2 - tau^2 / (2 sigma^2)): an N-shaped pulse,
% +1 at tau = -sigma and -1 at tau = +sigma, centred (tau = 0) on the time
% of flight; at the distance of the ring's centre its peaks are +-strength.
sigma = 75e-9;
half_window = ceil(6 * sigma * fs);

pulse = @(at, strength) pulses(at, strength, x_sensor, y_sensor, t, fs, c, ...
                                sigma, half_window, radius, rows);
sigMat = pulse(sources, strength);
if strcmp(opts.phantom, 'disc')
  disc = [0.5e-3, -2.5e-3, 3e-3];
  sigMat = sigMat + disc_pulses(disc, x_sensor, y_sensor, t, fs, c, sigma, ...
                                half_window, radius, rows);
else
  disc = zeros(0, 3);
end

% The cine loop's moving absorber, one lap over the frames.
if cine
  angle = 2*pi*(0:frames-1)' / frames;
  track = [1e-3 + 3e-3 * cos(angle), 4e-3 + 3e-3 * sin(angle)];
  sigMat = repmat(sigMat, 1, 1, frames);
  for f = 1:frames
    sigMat(:, :, f) = sigMat(:, :, f) + pulse(track(f, :), 1);
  end
else
  track = zeros(0, 2);
end

% A little noise, reproducibly: 2 % of a point absorber's peak.
noise = 0.02;
old = rng();
rng(20240601);
sigMat = sigMat + noise * randn(rows, sensors, frames);
rng(old);

% Pixel centres of an n x n image, as tofimage places them.
[x_pixel, y_pixel] = tofimage_grid(n, image_width);
x_pixel = x_pixel(:);

scan = struct('sigMat', sigMat, 't', t, 'fs', fs, 'c', c, ...
              'x_sensor', x_sensor, 'y_sensor', y_sensor, 'z_sensor', z_sensor, ...
              'image_width', image_width, 'n', n, ...
              'x_pixel', x_pixel, 'y_pixel', y_pixel, ...
              'points', points, 'vessel', vessel, 'disc', disc, 'track', track, ...
              'pulse_sigma', sigma, 'noise', noise, ...
              'phantom', opts.phantom, 'array', opts.array);
end

function sigMat = pulses(sources, strength, x_sensor, y_sensor, t, fs, c, sigma, ...
                         half_window, radius, rows)
% The signals of the sources (rows of [x y]): every (source, sensor) pair
% contributes a short burst of samples around its arrival; accumulate them
% all at once.
dx = x_sensor' - sources(:, 1);      % sources x sensors
dy = y_sensor' - sources(:, 2);
d = sqrt(dx.^2 + dy.^2);
sigMat = pulses_at(d, repmat(strength, 1, numel(x_sensor)), t, fs, c, sigma, ...
                   half_window, radius, rows);
end

function sigMat = disc_pulses(disc, x_sensor, y_sensor, t, fs, c, sigma, half_window, ...
                              radius, rows)
% A uniform disc [x y a], as dense as the vessel along its line: absorbers
% of strength 0.06 every 25 um in both directions (96 per square
% millimetre in all). Its points at distance r from a sensor D away from
% the centre lie on an arc of length r * 2 acos((r^2 + D^2 - a^2) / (2 r D));
% the disc is summed as such arcs, every 10 um of r (a tenth of the
% pulse's length), each one source at its distance; 64 sensors at a time,
% to bound the memory.
step = 10e-6;
density = 0.06 / (25e-6)^2;
a = disc(3);
sensors = numel(x_sensor);
sigMat = zeros(rows, sensors);
for first = 1:64:sensors
  s = first:min(first + 63, sensors);
  D = hypot(x_sensor(s)' - disc(1), y_sensor(s)' - disc(2));   % 1 x sensors
  r = (D - a) + ((1:round(2 * a / step))' - 0.5) * step;      % arcs x sensors
  cosine = min(max((r.^2 + D.^2 - a^2) ./ (2 * r .* D), -1), 1);
  arc = 2 * r .* acos(cosine);
  sigMat(:, s) = pulses_at(r, density * step * arc, t, fs, c, sigma, half_window, ...
                           radius, rows);
end
end

function sigMat = pulses_at(d, strength, t, fs, c, sigma, half_window, radius, rows)
% Sources at distances d (sources x sensors) from the sensors, of the given
% strengths (the same size).
[count, sensors] = size(d);
arrival = d / c;
first = floor((arrival - t(1)) * fs) - half_window;   % 0-based sample index
offsets = reshape(0:2*half_window, 1, 1, []);
idx = first + offsets;                               % sources x sensors x window
tau = (t(1) + idx / fs) - arrival;
amp = (strength .* (radius ./ d));
val = amp .* (-(tau / sigma) .* exp(0.5 - tau.^2 / (2 * sigma^2)));
col = repmat(0:sensors-1, count, 1, size(idx, 3));
keep = idx >= 0 & idx < rows;
sigMat = accumarray([idx(keep) + 1, col(keep) + 1], val(keep), [rows, sensors]);
end
