function test_tofimage_errors()
% The four fixed messages of tofimage, word for word and in their order, and
% the rejections of requests that would make the engine read outside the
% arguments or that it cannot index.
IN = 'Wrong number of input arguments for Recon = tofimage(sigMat, n,  x_sensor, y_sensor, z_sensor, c, image_select, t, fs, image_width, numCores)';
OUT = 'Wrong number of output arguments for Recon = tofimage(sigMat, n,  x_sensor, y_sensor, z_sensor, c, image_select, t, fs, image_width, numCores )';
TYPE = 'All input arguments must be double for fcn Recon = tofimage(...)';
TIME = 't must have the same number of elements as sigMat has rows';
names = {'sigMat', 'n', 'x_sensor', 'y_sensor', 'z_sensor', 'c', ...
         'image_select', 't', 'fs', 'image_width', 'numCores'};
args = worked_example_args(1);
checks = 0;

% Input count: checked first, whatever else is wrong.
for k = 0:10
  check_error(IN, 1, args{1:k});
  checks = checks + 1;
end
check_error(IN, 2, args{1:10});
single_args = cellfun(@single, args, 'UniformOutput', false);
check_error(IN, 2, single_args{1:10});
checks = checks + 2;

% Output count: checked before the classes and the time vector.
check_error(OUT, 2, args{:});
check_error(OUT, 2, single_args{:});
bad = args; bad{8} = bad{8}';
check_error(OUT, 2, bad{:});
checks = checks + 3;

% Classes: every one of the eleven positions, as single, int32 and logical,
% and a few other classes; checked before the time vector.
casts = {@single, @int32, @logical};
for pos = 1:11
  for c = 1:numel(casts)
    bad = args;
    bad{pos} = casts{c}(args{pos});
    check_error(TYPE, 1, bad{:});
    bad{8} = bad{8}';
    check_error(TYPE, 1, bad{:});
    checks = checks + 2;
  end
end
bad = args; bad{11} = int32(1);          % a thread count given as int32
check_error(TYPE, 1, bad{:});
bad = args; bad{7} = 'x';
check_error(TYPE, 1, bad{:});
bad = args; bad{3} = {0, 2};
check_error(TYPE, 0, bad{:});
bad = args; bad{1} = struct('s', 1);
check_error(TYPE, 1, bad{:});
bad = args; bad{6} = uint8(1);
check_error(TYPE, 1, bad{:});
checks = checks + 5;

% Time vector: only its first dimension is compared with the rows of sigMat.
bad = args; bad{8} = args{8}';                    % row vector
check_error(TIME, 1, bad{:});
bad = args; bad{8} = [args{8}; 8];                 % one sample too many
check_error(TIME, 1, bad{:});
bad = args; bad{8} = args{8}(1:5);                 % one too few
check_error(TIME, 1, bad{:});
bad = args; bad{8} = [];
check_error(TIME, 1, bad{:});
% ... and it comes before every other check.
bad = args; bad{8} = args{8}'; bad{1} = sparse(args{1}); bad{2} = NaN; bad{3} = 0;
check_error(TIME, 1, bad{:});
checks = checks + 5;

% Sparse arrays: their data is not a full matrix.
for pos = 1:11
  bad = args;
  bad{pos} = sparse(args{pos});
  check_error([names{pos} ' must be a full array, not sparse'], 1, bad{:});
  checks = checks + 1;
end

% Empty scalars.
for pos = [2 6 7 9 10 11]
  bad = args;
  bad{pos} = [];
  check_error([names{pos} ' must not be empty'], 1, bad{:});
  bad{pos} = zeros(1, 0);
  check_error([names{pos} ' must not be empty'], 1, bad{:});
  checks = checks + 2;
end

% Sensor arrays shorter than the number of sensors.
for pos = 3:5
  bad = args;
  bad{pos} = args{pos}(1);
  check_error([names{pos} ' must have at least as many elements as sigMat has columns'], 1, bad{:});
  bad{pos} = [];
  check_error([names{pos} ' must have at least as many elements as sigMat has columns'], 1, bad{:});
  checks = checks + 2;
end
% More sensors (columns) than coordinates.
bad = args; bad{1} = [args{1}, args{1}(:, 1)];
check_error('x_sensor must have at least as many elements as sigMat has columns', 1, bad{:});
checks = checks + 1;

% Fewer than two samples: the sample interval needs t(1) and t(2).
ROWS = 'sigMat must have at least two rows (time samples)';
bad = args; bad{1} = args{1}(1, :); bad{8} = 2;
check_error(ROWS, 1, bad{:});
bad = args; bad{1} = zeros(0, 2); bad{8} = zeros(0, 1);
check_error(ROWS, 1, bad{:});
bad = args; bad{1} = []; bad{8} = [];
check_error(ROWS, 1, bad{:});
checks = checks + 3;

% A time vector with the right first dimension but no columns.
bad = args; bad{8} = zeros(6, 0);
check_error('t must have at least as many elements as sigMat has rows', 1, bad{:});
checks = checks + 1;

% Dimensions beyond the 32-bit range (empty arrays, so nothing is allocated).
BIG = 'sigMat is too large: its rows and columns must each number less than 2^31';
bad = args; bad{1} = zeros(2^31, 0); bad{8} = zeros(2^31, 0);
check_error(BIG, 1, bad{:});
bad = args; bad{1} = zeros(0, 2^31); bad{8} = zeros(0, 1);
check_error(BIG, 1, bad{:});
checks = checks + 2;

% n: NaN, negative, infinite, or so large that n*n does not fit 32 bits.
bad = args; bad{2} = NaN;
check_error('n must be a number, not NaN', 1, bad{:});
for v = [-1, -2.5, -Inf, -1e300, -2^31, -2^40]
  bad = args; bad{2} = v;
  check_error('n must not be negative', 1, bad{:});
  checks = checks + 1;
end
for v = [46341, 65536, 2^31 - 1, 2^31, 1e10, 1e300, Inf]
  bad = args; bad{2} = v;
  check_error('n is too large: n*n must be less than 2^31', 1, bad{:});
  checks = checks + 1;
end
bad = args; bad{2} = [NaN 2];             % the first element counts
check_error('n must be a number, not NaN', 1, bad{:});
bad = args; bad{2} = complex(-3, 5);      % the real part counts
check_error('n must not be negative', 1, bad{:});
checks = checks + 3;

fprintf('test_tofimage_errors: %d checks passed\n', checks);
end
