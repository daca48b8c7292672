function errors = autofocus_sheet(phantom, radii, speeds)
%AUTOFOCUS_SHEET  The search's error on extended in-plane structures, by ring size.
%   autofocus_sheet(phantom, radii, speeds) simulates ideal 3-D pulses (no
%   2-D tail, no noise): every cell of k-Wave's 0.1 mm grid inside the
%   phantom of tests/data/kwave/make_kwave_scans.m ('disc': radius 3 mm
%   at (0.5, -1.0) mm; 'vessel': the winding line 0.3 mm wide; 'points':
%   its four cells) emits the time derivative of a Gaussian of sigma
%   40 ns, weakened as 1/d, to a ring of 256 sensors of each radius in
%   radii (m), sampled at 50 MHz from t = 0. Each scan is searched by
%   tofimage_autofocus (c_range [1400 1650], term 3, image 16 mm, the
%   defaults otherwise); one line per radius and true speed, and the
%   errors (m/s, radii x speeds) are returned.
%   Defaults: 'disc', radii [10 20 40] mm (k-Wave's ring is 10 mm, the
%   project's 40 mm), speeds [1500 1560].
%   Run it from the repository root with the modules on the path:
%     octave-cli --path build --path matlab --eval "addpath bench; autofocus_sheet"
if nargin < 1
  phantom = 'disc';
end
if nargin < 2
  radii = [10 20 40] * 1e-3;
end
if nargin < 3
  speeds = [1500 1560];
end
[X, Y] = ndgrid((-128:127) * 1e-4, (-128:127) * 1e-4);
switch phantom
  case 'disc'
    inside = (X - 0.5e-3) .^ 2 + (Y + 1.0e-3) .^ 2 <= (3e-3) ^ 2;
  case 'vessel'
    s = linspace(0, 1, 2001)';
    centre = [-5.1 + 9 * s, -4.2 + 4.2 * s + 1.0 * sin(2 * pi * s)] * 1e-3;
    d = inf(size(X));
    for k = 1:numel(s)
      d = min(d, (X - centre(k, 1)) .^ 2 + (Y - centre(k, 2)) .^ 2);
    end
    inside = d <= (0.15e-3) ^ 2;
  otherwise
    at = round([-4.0 4.5; 3.1 5.0; 4.9 -3.3; -0.8 -1.2] * 10) + 129;
    inside = false(size(X));
    inside(sub2ind(size(X), at(:, 1), at(:, 2))) = true;
end
px = X(inside)';
py = Y(inside)';
fs = 50e6;
sigma = 40e-9;
theta = 2 * pi * (0:255)' / 256;
errors = zeros(numel(radii), numel(speeds));
for r = 1:numel(radii)
  R = radii(r);
  t = (0:round((R + 8e-3) / 1400 * fs))' / fs;
  for k = 1:numel(speeds)
    c = speeds(k);
    sigMat = zeros(numel(t), 256);
    for q = 1:256
      d = hypot(R * cos(theta(q)) - px, R * sin(theta(q)) - py);
      u = (t - d / c) / sigma;
      sigMat(:, q) = sum(-u .* exp(-u .^ 2 / 2) ./ d, 2);
    end
    found = tofimage_autofocus(sigMat, 256, R * cos(theta), R * sin(theta), zeros(256, 1), ...
                               [1400 1650], 3, t, fs, 16e-3, 2);
    errors(r, k) = found - c;
    fprintf('%s, ring of %2.0f mm, c = %d m/s: c found %.2f, error %+.2f m/s\n', phantom, ...
            R * 1e3, c, found, errors(r, k));
  end
end
end
