function img = reference_beamform(sigMat, xs, ys, zs, c, t, fs, X, Y, Z, varargin)
% Plain M-code model of tofimage_beamform, written from its contract (help
% tofimage_beamform), one point and one sensor at a time, for checking the
% module on small problems. Takes the same arguments and options (names in
% the case of the help); sigMat is one frame. The operations are those of
% the contract, in its order, so that the images agree bit for bit where
% the contract fixes every operation; the angle of the apodization and the
% envelope's transforms leave the last bits to the implementation.
o = struct('Interp', 'linear', 'Beamformer', 'das', 'Term', 1, 'FNumber', 0, ...
           'Normals', [], 'Window', 'box', 'Weights', [], 'Envelope', false, ...
           'SampleOffset', 0);
for k = 1:2:numel(varargin)
  o.(varargin{k}) = varargin{k + 1};
end
if ischar(o.Term)
  o.Term = find(strcmp(o.Term, {'signal', 'derivative', 'difference'}));
end
sigMat = double(sigMat);
[rows, cols] = size(sigMat);
weights = ones(cols, 1);
if ~isempty(o.Weights)
  weights = o.Weights(:);
end

% The term of each column, then its analytic signal.
g = sigMat;
if o.Term ~= 1
  invDt = 1.0 / (t(2) - t(1));
  D = zeros(rows, cols);
  for s = 1:cols
    for i = 1:rows - 1
      D(i, s) = (t(i) * invDt) * (sigMat(i + 1, s) - sigMat(i, s));
    end
  end
  if o.Term == 2
    g = D;
  else
    g = sigMat - D;
  end
end
if o.Envelope
  h = zeros(rows, 1);
  h(1) = 1;
  if mod(rows, 2) == 0
    h(2:rows / 2) = 2;
    h(rows / 2 + 1) = 1;
  else
    h(2:(rows + 1) / 2) = 2;
  end
  g = ifft(fft(g, [], 1) .* h, [], 1);
end

k = fs / c;
q = fs * t(1) - o.SampleOffset;
img = zeros(size(X));
for p = 1:numel(X)
  S = 0;
  Q = 0;       % sum of a^2
  H = 0;       % sum of h
  H2 = 0;      % sum of h^2
  K = 0;
  for s = 1:cols
    ex = xs(s) - X(p);
    ey = ys(s) - Y(p);
    ez = zs(s) - Z(p);
    d = sqrt((ex * ex + ey * ey) + ez * ez);
    w = weights(s) * apodization(o, s, -[ex ey ez], d);
    if w == 0
      continue;
    end
    position = k * d - q;
    [v, inside] = sample(g(:, s), position, o.Interp);
    if ~inside
      continue;
    end
    a = w * v;
    K = K + 1;
    S = S + a;
    Q = Q + a * a;
    hs = sign(a) * sqrt(abs(a));
    H = H + hs;
    H2 = H2 + hs * hs;
  end
  switch o.Beamformer
    case 'das'
      value = S;
    case {'cf', 'das-cf'}
      value = 0;
      if K * Q ~= 0
        value = (S * S) / (K * Q);
      end
      if strcmp(o.Beamformer, 'das-cf')
        value = S * value;
      end
    case 'dmas'
      value = (H * H - H2) / 2;
    case 'sdmas'
      value = sign(S) * ((H * H - H2) / 2);
  end
  img(p) = abs(value);
  if ~o.Envelope
    img(p) = value;
  end
end
end

function [v, inside] = sample(g, position, interp)
% The column's value at a position counted from 0, and whether it lies in
% the record.
rows = numel(g);
v = 0;
if strcmp(interp, 'nearest')
  a = abs(position);             % rounded half away from zero
  if a - floor(a) < 0.5
    r = sign(position) * floor(a);
  else
    r = sign(position) * ceil(a);
  end
  inside = r >= 0 && r <= rows - 1;
  if inside
    v = g(r + 1);
  end
else
  inside = position >= 0 && position <= rows - 1;
  if inside
    i0 = floor(position);
    f = position - i0;
    next = g(min(i0 + 2, rows));
    v = g(i0 + 1) + f * (next - g(i0 + 1));
  end
end
end

function A = apodization(o, s, toward, d)
% The window over the angle between sensor s's normal and the direction
% from the sensor to the point.
A = 1;
if o.FNumber == 0
  return;
end
n = o.Normals(s, :);
n = n / norm(n);
theta = acos(max(-1, min(1, (toward * n') / d)));
limit = atan(1 / (2 * o.FNumber));
if theta > limit
  A = 0;
  return;
end
x = theta / limit;
switch o.Window
  case 'hann'
    A = 0.5 * (1 + cos(pi * x));
  case 'tukey'
    if x > 0.5
      A = 0.5 * (1 + cos(pi * (2 * x - 1)));
    end
end
end
