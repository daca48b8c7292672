function autofocus_rim(c_true)
%AUTOFOCUS_RIM  How sharply a disc seen from one side focuses at a wrong c.
%   autofocus_rim prints, for simulate_scan's linear array and its disc
%   crossed by the vessel (true c 1500 m/s), at speeds from 1360 to
%   1640 m/s, the largest coherence factor |sum_s v_s|^2 / (N sum_s v_s^2)
%   of the 256 sensors' term-3 values over the pixels of the field that
%   hold at least 1 % of the image's largest energy, where that pixel is,
%   and the largest coherence factor within 0.3 mm of either end of the
%   vessel. A point source in focus gives 1; a structure seen sharp gives
%   less, since each of its pixels is seen by a few sensors only.
%   autofocus_rim(c_true) simulates another true speed.
%   Run it from the repository root with the modules on the path:
%     octave-cli --path build --path matlab --eval "addpath bench; autofocus_rim"
if nargin < 1
  c_true = 1500;
end
n = 256;
scan = simulate_scan(n, 'c', c_true, 'phantom', 'disc', 'array', 'linear');
N = numel(scan.x_sensor);
dt = scan.t(2) - scan.t(1);
ds = [diff(scan.sigMat, 1, 1); zeros(1, N)];
v = scan.sigMat - (scan.t / dt) .* ds;          % term 3, sensor by sensor
t = scan.t + 1.5 / scan.fs;   % the engine reads it 1.5 samples late, as tofimage_autofocus corrects
[X, Y] = meshgrid(scan.x_pixel, scan.y_pixel);
ends = scan.vessel([1 end], :);
near_end = hypot(X - ends(1, 1), Y - ends(1, 2)) < 0.3e-3 | ...
           hypot(X - ends(2, 1), Y - ends(2, 2)) < 0.3e-3;
fprintf('linear array, disc and vessel, true c %d m/s; coherence factor of the %d sensors\n', ...
        c_true, N);
fprintf('%6s  %9s  %-16s  %14s\n', 'c', 'field max', 'at (mm)', 'vessel''s ends');
for c = c_true + (-140:20:140)
  S = tofimage(v, n, scan.x_sensor, scan.y_sensor, scan.z_sensor, c, 1, t, scan.fs, ...
               scan.image_width, 2);
  Q = tofimage(v .^ 2, n, scan.x_sensor, scan.y_sensor, scan.z_sensor, c, 1, t, ...
               scan.fs, scan.image_width, 2);
  cf = zeros(size(S));
  seen = Q > 0;
  cf(seen) = S(seen) .^ 2 ./ (N * Q(seen));
  bright = S .^ 2 >= 0.01 * max(S(:) .^ 2);
  [best, at] = max(cf(:) .* bright(:));
  fprintf('%6d  %9.3f  (%5.2f, %5.2f)    %14.3f\n', c, best, X(at) * 1e3, Y(at) * 1e3, ...
          max(cf(near_end)));
end
end
