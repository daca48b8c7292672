function test_tofimage_frames()
% tofimage_frames against tofimage, frame by frame and bit for bit: random
% problems (image sizes, terms, thread counts, frame counts with 1 and odd
% ones among them) whose frames differ in where NaN and infinities lie, each
% as a double, a single and an int16 stack; then the shapes it accepts (a
% matrix, zero frames, no sensors, no pixels) and its error messages.
rand('seed', 22);
randn('seed', 22);
checks = 0;

% {n, sensors, samples}: small ones, and the rows and sampling rate of the
% standard workload, on which the vector kernel takes its table and window
% paths.
problems = {{7, 9, 600}, {1, 5, 300}, {33, 24, 500}, {64, 48, 2030}};
% More frames than the vector kernel takes at once (8), too.
frame_counts = [1 5 2 3 7 randi([2 6]) 11 9];
for k = 1:numel(frame_counts)
  p = problems{mod(k - 1, numel(problems)) + 1};
  mode = mod(k - 1, 3) + 1;
  threads = randi(3);
  frames = frame_counts(k);
  args = ring_args(p{:}, mode, threads, 100 + k);
  stack = randn(size(args{1}, 1), size(args{1}, 2), frames);
  % NaN and infinities at places that differ from frame to frame (and in
  % some frames none), so that a frame's specials must not leak into the
  % images of the others.
  specials = [NaN Inf -Inf];
  for f = 1:frames
    count = randi([0 3]);
    stack(randi(numel(stack) / frames, 1, count) + (f - 1) * numel(stack) / frames) = ...
        specials(randi(3, 1, count));
  end
  as = {stack, single(stack), int16(1000 * stack)};
  for c = 1:numel(as)
    what = sprintf('n=%d, %d sensors, mode %d, %d threads, %d frames of %s', ...
                   p{1}, p{2}, mode, threads, frames, class(as{c}));
    checks = checks + check_frames(as{c}, args, what);
  end
end

% The shapes it accepts.
args = worked_example_args(3);
check_equal(tofimage_frames(args{:}), expected_worked_example(3), 'a matrix is one frame');
tofimage_frames(args{:});
check_equal(ans, expected_worked_example(3), 'zero outputs');
args{1} = complex(single(args{1}), single(5));
check_equal(tofimage_frames(args{:}), expected_worked_example(3), 'complex single: its real part');
args = worked_example_args(1);
for cls = {'double', 'single', 'int16'}
  args{1} = zeros(6, 2, 0, cls{1});
  check_equal(tofimage_frames(args{:}), zeros(2, 2, 0), ['zero frames of ' cls{1}]);
end
args{1} = zeros(6, 0, 3, 'int16'); args{3} = []; args{4} = []; args{5} = [];
check_equal(tofimage_frames(args{:}), zeros(2, 2, 3), 'no sensors');
args = worked_example_args(2);
args{1} = repmat(args{1}, 1, 1, 4); args{2} = 0;
check_equal(tofimage_frames(args{:}), zeros(0, 0, 4), 'n = 0');
% Like tofimage, the module locks itself at its first call, so that no
% clear unloads it under the OpenMP runtime's threads.
if ~mislocked('tofimage_frames')
  error('test_tofimage_frames: the module is not locked after its first call');
end
checks = checks + 10;

% Errors: the fixed messages name tofimage_frames; the other checks are
% tofimage's, and come in the same order.
IN = 'Wrong number of input arguments for Recon = tofimage_frames(sigMat, n,  x_sensor, y_sensor, z_sensor, c, image_select, t, fs, image_width, numCores)';
OUT = 'Wrong number of output arguments for Recon = tofimage_frames(sigMat, n,  x_sensor, y_sensor, z_sensor, c, image_select, t, fs, image_width, numCores )';
TYPE = 'All input arguments must be double (sigMat may also be single or int16) for fcn Recon = tofimage_frames(...)';
DIMS = 'sigMat must have at most three dimensions (samples x sensors x frames)';
args = worked_example_args(1);
args{1} = cat(3, args{1}, args{1});
check = @(varargin) check_error_of('tofimage_frames', varargin{:});
check(IN, 1, args{1:10});
check(IN, 2, args{1:10});
check(OUT, 2, args{:});
for cast = {@int32, @uint16, @int8, @logical, @(v) char(v + 48)}
  bad = args; bad{1} = cast{1}(args{1});
  check(TYPE, 1, bad{:});
end
for pos = 2:11
  bad = args; bad{pos} = single(args{pos});
  check(TYPE, 1, bad{:});
end
bad = args; bad{1} = int32(args{1}); bad{8} = args{8}';
check(TYPE, 1, bad{:});
bad = args; bad{8} = args{8}';
check('t must have the same number of elements as sigMat has rows', 1, bad{:});
bad = args; bad{1} = zeros(6, 2, 1, 2);
check(DIMS, 1, bad{:});
bad{1} = zeros(6, 2, 2, 1, 3, 'int16');
check(DIMS, 1, bad{:});
bad = args; bad{2} = -2;
check('n must not be negative', 1, bad{:});
bad = args; bad{5} = 0;
check('z_sensor must have at least as many elements as sigMat has columns', 1, bad{:});
bad = args; bad{6} = sparse(1);
check('c must be a full array, not sparse', 1, bad{:});
bad = args; bad{1} = args{1}(1, :, :); bad{8} = 2;
check('sigMat must have at least two rows (time samples)', 1, bad{:});
checks = checks + 25;

fprintf('test_tofimage_frames: %d checks passed\n', checks);
end

% Checks the stack's images against tofimage on double(frame) one frame at
% a time; returns the number of checks.
function checks = check_frames(stack, args, what)
R = tofimage_frames(stack, args{2:end});
frames = size(stack, 3);
n = args{2};
check_equal(size(R, 3), frames, [what ': frames']);
check_equal(size(R(:, :, 1)), [n n], [what ': image size']);
for f = 1:frames
  one = args;
  one{1} = double(stack(:, :, f));
  check_equal(R(:, :, f), tofimage(one{:}), sprintf('%s, frame %d', what, f));
end
checks = 2 + frames;
end
