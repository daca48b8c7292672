function test_tofimage_beamform()
% tofimage_beamform as a whole: tofimage's image bit for bit where the two
% meet; stacks of double, single and int16 equal to their frames one at a
% time; the shape of the output; the envelope through the host's fft,
% whose failure is a clear error; bad input with clear messages.
checks = 0;

% tofimage's image: nearest, SampleOffset 1, 'das', terms 1 and 2, at
% tofimage_grid's points (Z = 0), with every position inside the record
% (t starts at 0: positions from about 60 to 1140 of 1300 samples).
for term = 1:2
  for n = [16 9]
    args = ring_args(n, 24, 1300, term, 2, 40 + n);
    args{8} = (0:1299)' / args{9};
    [x, y] = tofimage_grid(n, args{10});
    X = repmat(x, n, 1);
    Y = repmat(y, 1, n);
    got = tofimage_beamform(args{[1 3 4 5 6 8 9]}, X, Y, zeros(n), 'Interp', 'nearest', ...
                            'SampleOffset', 1, 'Term', term, 'NumCores', 3);
    check_equal(got, tofimage(args{:}), sprintf('tofimage''s image, term %d, n = %d', term, n));
    checks = checks + 1;
  end
end

% Stacks: every class, more frames than one batch, images equal to those
% of each frame alone (as double), with the options that change the most.
[args, normals] = small_problem(7);
opts = {{}, {'Interp', 'nearest', 'Term', 2}, ...
        {'Beamformer', 'sdmas', 'FNumber', 1, 'Normals', normals, 'Window', 'hann'}, ...
        {'Envelope', true, 'Term', 3}};
frames = 11;
stack = randn(size(args{1}, 1), size(args{1}, 2), frames);
for k = 1:numel(opts)
  for cls = {@double, @single, @(v) int16(1000 * v)}
    s = cls{1}(stack);
    img = tofimage_beamform(s, args{2:end}, opts{k}{:});
    check_equal(size(img), [size(args{8}) frames], sprintf('size of a stack''s image, %s', class(s)));
    for f = 1:frames
      one = tofimage_beamform(double(s(:, :, f)), args{2:end}, opts{k}{:}, 'NumCores', 1);
      check_equal(img(:, :, f), one, sprintf('%s stack, options %d, frame %d', class(s), k, f));
    end
    checks = checks + 1;
  end
end

% Shapes: size(X), with the frames after it; the points in any
% arrangement give the same values.
sig = args{1};
line = linspace(-5e-4, 5e-4, 20);
for shape = {[20 1], [1 20], [2 5 2], [5 2 1 2], [0 3]}
  sz = shape{1};
  pts = {reshape(line(1:prod(sz)), sz), reshape(1e-4 * sin(line(1:prod(sz))), sz), zeros(sz)};
  one = tofimage_beamform(sig, args{2:7}, pts{:});
  check_equal(size(one), sz, sprintf('size of one frame''s image at %s points', mat2str(sz)));
  column = tofimage_beamform(sig, args{2:7}, pts{1}(:), pts{2}(:), pts{3}(:));
  check_equal(one(:), column, sprintf('%s points as a column', mat2str(sz)));
  many = tofimage_beamform(repmat(sig, 1, 1, 3), args{2:7}, pts{:});
  check_equal(size(many), [sz 3], sprintf('size of three frames'' images at %s points', mat2str(sz)));
  checks = checks + 1;
end
check_equal(tofimage_beamform(zeros(size(sig, 1), size(sig, 2), 0, 'int16'), args{2:end}), ...
            zeros([size(args{8}) 0]), 'zero frames');
expect(mislocked('tofimage_beamform'), 'the module locks itself at its first call', 'not locked');

% The envelope: the host's fft and ifft, one column or many, even and odd
% lengths; a failing fft is this call's error, and the next call works.
for rows = [2 3 60 61]
  [args, ~] = small_problem(rows);
  args{1} = randn(rows, size(args{1}, 2));
  args{6} = args{6}(1) + (0:rows - 1)' / args{7};
  check_close(tofimage_beamform(args{:}, 'Envelope', true), ...
              reference_beamform(args{:}, 'Envelope', true), sprintf('envelope of %d samples', rows));
  checks = checks + 1;
end
[args, ~] = small_problem(8);
good = tofimage_beamform(args{:}, 'Envelope', true);
folder = tempname();
mkdir(folder);
cleanup = onCleanup(@() remove_dir(folder));
fid = fopen(fullfile(folder, 'fft.m'), 'w');
fprintf(fid, 'function y = fft(varargin)\nerror(''fft:broken'', ''this fft is broken'');\nend\n');
fclose(fid);
old_path = path();
addpath(folder);
try
  tofimage_beamform(args{:}, 'Envelope', true);
  failed = '';
catch err
  failed = err.identifier;
end
path(old_path);
expect(strcmp(failed, 'tofimage_beamform:fft'), 'a failing fft is the error tofimage_beamform:fft', failed);
check_equal(tofimage_beamform(args{:}, 'Envelope', true), good, 'the envelope after a failed fft');
checks = checks + 2;

checks = checks + check_errors(args, normals);
fprintf('test_tofimage_beamform: %d checks passed\n', checks);
end

function checks = check_errors(args, normals)
% Bad input: each call fails with its message, before any computation.
check = @(msg, varargin) check_error_of('tofimage_beamform', msg, 1, varargin{:});
usage = ', x_sensor, y_sensor, z_sensor, c, t, fs, X, Y, Z, Name, Value, ...)';
check(['Wrong number of input arguments for img = tofimage_beamform(sigMat' usage], args{1:9});
check_error_of('tofimage_beamform', ['Wrong number of output arguments for img = tofimage_beamform(sigMat' usage], ...
               2, args{:});
TYPES = ['All input arguments before the options must be double (sigMat may also be single ' ...
         'or int16) for fcn img = tofimage_beamform(...)'];
for pos = 1:10
  bad = args; bad{pos} = int32(args{pos});
  check(TYPES, bad{:});
  if pos > 1
    bad{pos} = single(args{pos});
    check(TYPES, bad{:});
  end
end
bad = args; bad{1} = logical(args{1});
check(TYPES, bad{:});
bad = args; bad{4} = sparse(args{4});
check('z_sensor must be a full array, not sparse', bad{:});
bad = args; bad{1} = complex(args{1});
check('sigMat must be real, not complex', bad{:});
bad = args; bad{9} = args{9} * 1i;
check('Y must be real, not complex', bad{:});
bad = args; bad{1} = zeros(4, 7, 2, 2);
check('sigMat must have at most three dimensions (samples x sensors x frames)', bad{:});
bad = args; bad{6} = args{6}(1:end - 1);
check('t must have as many elements as sigMat has rows', bad{:});
bad = args; bad{3} = args{3}(1:end - 1);
check('y_sensor must have as many elements as sigMat has columns (sensors)', bad{:});
bad = args; bad{5} = [1500 1500];
check('c must be a scalar', bad{:});
bad = args; bad{7} = [];
check('fs must be a scalar', bad{:});
bad = args; bad{10} = args{10}';
check('X, Y and Z must have the same size', bad{:});
bad = args; bad{8} = args{8}(:);
check('X, Y and Z must have the same size', bad{:});

names = ['the options after Z are name-value pairs; the names are Interp, Beamformer, Term, ' ...
         'FNumber, Normals, Window, Weights, Envelope, SampleOffset, NumCores and Progress'];
check(['argument 11: ' names], args{:}, 'Sharpness', 1);
check(['argument 11: ' names], args{:}, 3);
check(['argument 13: ' names], args{:}, 'Interp', 'linear', {});
check('the option ''Window'' has no value', args{:}, 'Window');
check('the value of ''Interp'' must be a character vector', args{:}, 'Interp', 1);
check('the value of ''Term'' must be a character vector or 1, 2 or 3', args{:}, 'Term', {2});
check('the value of ''FNumber'' must be a real number', args{:}, 'FNumber', [1 2]);
check('the value of ''SampleOffset'' must be a real number', args{:}, 'SampleOffset', 'one');
check('the value of ''NumCores'' must be a real number', args{:}, 'NumCores', 2i);
check('the value of ''Normals'' must be a sensors x 3 double matrix (one row per sensor), or []', ...
      args{:}, 'Normals', normals');
check('the value of ''Weights'' must be a double vector with one element per sensor, or []', ...
      args{:}, 'Weights', ones(3, 1));
check('the value of ''Envelope'' must be true or false', args{:}, 'Envelope', 'yes');
check('the value of ''Progress'' must be true or false', args{:}, 'Progress', NaN);
% The engine's checks of the values.
check('FNumber needs Normals: one direction per sensor (sensors x 3)', args{:}, 'FNumber', 1.5);
check('Envelope works with the ''das'' beamformer only', args{:}, 'Envelope', true, 'Beamformer', 'dmas');
check('Interp must be ''nearest'' or ''linear''', args{:}, 'Interp', 'cubic');
check('Beamformer must be ''das'', ''cf'', ''das-cf'', ''dmas'' or ''sdmas''', args{:}, 'Beamformer', 'mv');
check('Term must be ''signal'', ''derivative'' or ''difference'' (or 1, 2, 3)', args{:}, 'Term', 4);
check('Window must be ''box'', ''hann'' or ''tukey''', args{:}, 'Window', 'kaiser');
bad = args; bad{3}(2) = NaN;
check('y_sensor must be finite (no NaN or Inf)', bad{:});
bad = args; bad{10}(end) = -Inf;
check('Z must be finite (no NaN or Inf)', bad{:});
bad = args; bad{5} = -1500;
check('c must be a positive finite number', bad{:});
no_length = normals; no_length(3, :) = 0;
check('Normals: the normal of sensor 3 has zero (or no finite) length', args{:}, 'FNumber', 1, 'Normals', no_length);
check('Weights must be finite (no NaN or Inf)', args{:}, 'Weights', [1 NaN 1 1 1]);
check('FNumber must be a finite number >= 0 (0: no f-number)', args{:}, 'FNumber', -1, 'Normals', normals);
checks = 53;
end

function [args, normals] = small_problem(seed)
% Five sensors above 3 x 4 points, 40 samples.
rand('seed', seed);
randn('seed', seed);
cols = 5;
rows = 40;
xs = linspace(-1e-3, 1e-3, cols)';
ys = 1e-4 * randn(cols, 1);
zs = 1e-3 + 1e-4 * randn(cols, 1);
fs = 4e7;
t = 10 / fs + (0:rows - 1)' / fs;
[X, Y] = meshgrid(linspace(-5e-4, 5e-4, 4), linspace(-2e-4, 2e-4, 3));
Z = 1e-4 * randn(size(X));
args = {randn(rows, cols), xs, ys, zs, 1500, t, fs, X, Y, Z};
normals = repmat([0 0 -1], cols, 1) + 0.1 * randn(cols, 3);
end

function check_close(got, want, what)
scale = max(abs(want(:)));
expect(isequal(size(got), size(want)) && max(abs(got(:) - want(:))) <= 1e-12 * scale, ...
       [what ': within 1e-12 of the largest value'], ...
       sprintf('largest difference %g of %g', max(abs(got(:) - want(:))), scale));
end
