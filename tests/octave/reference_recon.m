function R = reference_recon(sigMat, n, xs, ys, zs, c, image_select, t, fs, image_width)
% Plain M-code delay-and-sum with the same operations in the same order as
% the engine, for checking the module bit for bit on small problems.
rows = size(sigMat, 1);
cols = size(sigMat, 2);
R = zeros(n, n);
dx = image_width / n;
half = floor(n / 2);
k = fs / c;
q = (fs * t(1)) - 1.0;
invDt = 1.0 / (t(2) - t(1));
last = rows * cols;                 % 1-based index of the last element
for p = 0:(n * n - 1)
  L = floor(p / n);
  K = p - L * n;
  x = (L - (half - 1.0)) * dx;
  y = ((half - 1.0) - K) * dx;
  acc = 0;
  for s = 1:cols
    ex = xs(s) - x;
    ey = ys(s) - y;
    ez = zs(s);
    d = sqrt((ex * ex + ey * ey) + ez * ez);
    Y = (k * d) - q;
    % Round half away from zero; NaN, infinities and 2^31 or more give 0.
    r = 0;
    if Y ~= 0 && isfinite(Y)
      a = abs(Y);
      if a - floor(a) < 0.5
        r = fix(Y);
      else
        r = sign(Y) * ceil(a);
      end
    end
    if r >= 2^31 || r < -2^31
      r = 0;
    end
    i = min(max(r, 0), rows - 1);
    j = (s - 1) * rows + i + 1;      % 1-based index of element (i, s)
    sig = sigMat(j);
    if image_select == 1
      acc = sig + acc;
    else
      if j < last
        nxt = sigMat(j + 1);
      else
        nxt = sig;
      end
      deriv = (t(i + 1) * invDt) * (nxt - sig);
      if image_select == 2
        acc = deriv + acc;
      else
        acc = (acc + sig) - deriv;
      end
    end
  end
  R(K + 1, L + 1) = acc;
end
end
