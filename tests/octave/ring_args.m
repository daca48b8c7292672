function args = ring_args(n, cols, rows, image_select, numCores, seed)
% A ring of sensors around the image, slightly above its plane, with random
% signals: c, fs, t(1) and the width all differ, so any mix-up of arguments
% changes the image.
rand('seed', seed);
randn('seed', seed);
a = 2 * pi * (0:cols - 1) / cols;
x = 0.02 * cos(a) + 0.004;
y = 0.02 * sin(a) - 0.003;
z = 0.001 + 0.0005 * (0:cols - 1) / cols;
fs = 4e7;
t = 2e-6 + (0:rows - 1)' / fs;
sigMat = randn(rows, cols);
args = {sigMat, n, x, y, z, 1500, image_select, t, fs, 0.025, numCores};
end
