function scan = simulate_scan(n, frames)
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
%   Fields of scan:
%     sigMat                    2030 x 256 recorded signals (time x sensor),
%                               2030 x 256 x frames for a cine loop
%     t, fs, c                  sample times (column), sampling rate, speed of sound
%     x_sensor, y_sensor, z_sensor   sensor coordinates (columns of 256)
%     image_width, n            field of view and image size
%     x_pixel, y_pixel          pixel centre coordinates of an n x n image
%     points                    4 x 2 [x y] of the point absorbers
%     vessel                    m x 2 [x y] of the absorbers along the vessel
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
cine = nargin >= 2;
if ~cine
  frames = 1;
end

% Acquisition.
sensors = 256;
radius = 40e-3;
fs = 40e6;
rows = 2030;
c = 1500;
t = 1e-6 + (0:rows-1)' / fs;
theta = 2*pi*(0:sensors-1)' / sensors;
x_sensor = radius * cos(theta);
y_sensor = radius * sin(theta);
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

% Pixel centres of an n x n image: column L (0-based) at x = (L - (half-1))
% dx, row K at y = ((half-1) - K) dx, with half = floor(n/2).
pitch = image_width / n;
half = floor(n / 2);
x_pixel = ((0:n-1)' - (half - 1)) * pitch;
y_pixel = ((half - 1) - (0:n-1)') * pitch;

scan = struct('sigMat', sigMat, 't', t, 'fs', fs, 'c', c, ...
              'x_sensor', x_sensor, 'y_sensor', y_sensor, 'z_sensor', z_sensor, ...
              'image_width', image_width, 'n', n, ...
              'x_pixel', x_pixel, 'y_pixel', y_pixel, ...
              'points', points, 'vessel', vessel, 'track', track, ...
              'pulse_sigma', sigma, 'noise', noise);
end

function sigMat = pulses(sources, strength, x_sensor, y_sensor, t, fs, c, sigma, ...
                         half_window, radius, rows)
% The signals of the sources (rows of [x y]): every (source, sensor) pair
% contributes a short burst of samples around its arrival; accumulate them
% all at once.
sensors = numel(x_sensor);
dx = x_sensor' - sources(:, 1);      % sources x sensors
dy = y_sensor' - sources(:, 2);
d = sqrt(dx.^2 + dy.^2);
arrival = d / c;
first = floor((arrival - t(1)) * fs) - half_window;   % 0-based sample index
offsets = reshape(0:2*half_window, 1, 1, []);
idx = first + offsets;                               % sources x sensors x window
tau = (t(1) + idx / fs) - arrival;
amp = (strength .* (radius ./ d));
val = amp .* (-(tau / sigma) .* exp(0.5 - tau.^2 / (2 * sigma^2)));
col = repmat(0:sensors-1, size(sources, 1), 1, size(idx, 3));
keep = idx >= 0 & idx < rows;
sigMat = accumarray([idx(keep) + 1, col(keep) + 1], val(keep), [rows, sensors]);
end
