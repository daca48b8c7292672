function test_tofimage_beamform_reference()
% tofimage_beamform against the M-code model of its contract
% (reference_beamform) on small random problems, every option alone and
% some together, each on several problems and thread counts. Where the
% contract fixes every operation the images must agree bit for bit; the
% apodization's angle (Hann and Tukey windows) and the envelope's Fourier
% transforms leave the last bits to the implementation.
% '<normals>' and '<weights>' stand for those of each problem.
cases = {{}, {'Interp', 'nearest'}, {'Interp', 'linear'}, ...
         {'Beamformer', 'cf'}, {'Beamformer', 'das-cf'}, {'Beamformer', 'dmas'}, ...
         {'Beamformer', 'sdmas'}, {'Beamformer', 'dmas', 'Interp', 'nearest'}, ...
         {'Term', 'derivative'}, {'Term', 3}, {'Term', 'difference', 'Interp', 'nearest'}, ...
         {'Weights', '<weights>'}, {'SampleOffset', 1.5}, {'SampleOffset', -3, 'Interp', 'nearest'}, ...
         {'FNumber', 1, 'Normals', '<normals>'}, ...
         {'FNumber', 0.5, 'Normals', '<normals>', 'Window', 'hann'}, ...
         {'FNumber', 0.7, 'Normals', '<normals>', 'Window', 'tukey'}, ...
         {'Envelope', true}, {'Envelope', true, 'Term', 2, 'Interp', 'nearest'}, ...
         {'Beamformer', 'sdmas', 'FNumber', 1, 'Normals', '<normals>', 'Window', 'hann', ...
          'Weights', '<weights>', 'Term', 3, 'SampleOffset', 0.25}, ...
         {'Beamformer', 'das-cf', 'Interp', 'nearest', 'FNumber', 2, 'Normals', '<normals>', ...
          'Weights', '<weights>'}};
checks = 0;
for k = 1:numel(cases)
  for seed = 1:3
    [args, normals, weights] = random_problem(100 * k + seed);
    opts = cases{k};
    opts(strcmp(opts, '<normals>')) = {normals};
    opts(strcmp(opts, '<weights>')) = {weights};
    want = reference_beamform(args{:}, opts{:});
    % Names and text values in any case.
    upper_opts = opts;
    for v = 1:numel(opts)
      if ischar(opts{v})
        upper_opts{v} = upper(opts{v});
      end
    end
    got = tofimage_beamform(args{:}, upper_opts{:}, 'NumCores', mod(seed, 3) + 1);
    what = sprintf('options {%s}, problem %d', describe(opts), seed);
    tolerant = any(strcmp(opts, 'hann')) || any(strcmp(opts, 'tukey')) || any(strcmp(opts, 'Envelope'));
    if tolerant
      scale = max(abs(want(:)));
      expect(isequal(size(got), size(want)) && max(abs(got(:) - want(:))) <= 1e-12 * scale, ...
             [what ': within 1e-12 of the largest value'], ...
             sprintf('largest difference %g of %g', max(abs(got(:) - want(:))), scale));
    else
      check_equal(got, want, what);
    end
    % Every case leaves some points with sensors outside the record, and
    % some with all of them in it.
    expect(any(got(:) ~= 0), [what ': an image that is not all zeros'], mat2str(got));
    checks = checks + 1;
  end
end
fprintf('test_tofimage_beamform_reference: %d images checked\n', checks);
end

function [args, normals, weights] = random_problem(seed)
% Seven sensors on a rough ring of 2 mm around 4 x 5 points within 1 mm,
% in three dimensions; 60 samples, whose window leaves the farther sensors
% of some points outside the record. Normals face roughly the centre; two
% weights are 0.
rand('seed', seed);
randn('seed', seed);
cols = 7;
rows = 60;
a = 2 * pi * ((0:cols - 1)' + 0.3 * rand(cols, 1)) / cols;
r = 2e-3 * (1 + 0.1 * randn(cols, 1));
xs = r .* cos(a);
ys = r .* sin(a);
zs = 3e-4 * randn(cols, 1);
fs = 4e7;
c = 1480 + 40 * rand();
t = (20 + rand()) / fs + (0:rows - 1)' / fs;
sigMat = randn(rows, cols);
[X, Y] = meshgrid(linspace(-1e-3, 0.9e-3, 5), linspace(-0.8e-3, 1e-3, 4));
X = X + 1e-5 * randn(size(X));
Z = 2e-4 * randn(size(X));
args = {sigMat, xs, ys, zs, c, t, fs, X, Y, Z};
normals = -[xs, ys, zs] + 4e-4 * randn(cols, 3);
normals(1, :) = 3 * normals(1, :);        % any length
weights = 0.5 + rand(cols, 1);
weights(randperm(cols, 2)) = 0;
end

function text = describe(opts)
parts = cell(1, numel(opts));
for k = 1:numel(opts)
  if ischar(opts{k})
    parts{k} = opts{k};
  elseif isscalar(opts{k})
    parts{k} = num2str(opts{k});
  else
    parts{k} = sprintf('[%s]', mat2str(size(opts{k})));
  end
end
text = strjoin(parts, ', ');
end
