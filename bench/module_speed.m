function module_speed(moduledir, outfile, reps)
%MODULE_SPEED  Time the tofimage module in MODULEDIR on the standard workload.
%
%   module_speed(moduledir, outfile, reps) puts moduledir first on the path,
%   reconstructs the standard workload (a ring of 256 sensors of radius
%   40 mm in the plane z = 0, 2030 samples at 40 MHz from t = 1 us,
%   c = 1500 m/s, a 25 mm image of 256 x 256 pixels) on one thread with
%   terms 1 and 3, and prints the median of reps timed calls (after one
%   untimed call) for each. The images go to outfile, so that two builds
%   can be compared bit for bit:
%       a = load(file1); b = load(file2); isequal(a.images, b.images)
%   Each module runs in its own session: two modules named tofimage cannot
%   share one.
if nargin < 3
  reps = 5;
end
addpath(moduledir);
cols = 256; rows = 2030; n = 256; fs = 40e6;
a = 2 * pi * (0:cols - 1) / cols;
randn('seed', 1);
sigMat = randn(rows, cols);
t = 1e-6 + (0:rows - 1)' / fs;
evals = n * n * cols;
images = cell(1, 2);
terms = [1 3];
for k = 1:2
  args = {sigMat, n, 0.04 * cos(a), 0.04 * sin(a), zeros(1, cols), 1500, terms(k), t, fs, 0.025, 1};
  images{k} = tofimage(args{:});
  times = zeros(1, reps);
  for r = 1:reps
    tic;
    tofimage(args{:});
    times(r) = toc;
  end
  s = median(times);
  fprintf('%s term %d: median %.4f s over %d calls (min %.4f s), %.3f G evaluations/s\n', ...
          moduledir, terms(k), s, reps, min(times), evals / s / 1e9);
end
save(outfile, 'images', '-v7');     % a MAT-file, which MATLAB and Octave both read
end
