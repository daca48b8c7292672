function test_tofimage_results()
% Images computed through the module: the worked example, a problem whose
% arguments all differ (against an M-code reference, bit for bit), the
% variants of the call that are accepted, and the thread count.
checks = 0;

% Worked example, all three terms.
for mode = 1:3
  args = worked_example_args(mode);
  check_equal(tofimage(args{:}), expected_worked_example(mode), sprintf('worked example, mode %d', mode));
  checks = checks + 1;
end

% Every argument in its place: sensors off the plane, c ~= fs, t(1) ~= 0,
% lookups clamped at both ends of the window; an odd and an even size.
for mode = [1 2 3 0.5 NaN]
  for n = [7 8]
    args = ring_args(n, 9, 600, mode, 2, 11);
    check_equal(tofimage(args{:}), reference_recon(args{1:10}), sprintf('ring n=%d mode=%g', n, mode));
    checks = checks + 1;
  end
end
% A lookup on the last sample of the last sensor: the forward difference
% there is zero (nothing after the end of sigMat is read).
args = {[1 5; 2 7], 1, [0 0], [0 0], [0 0], 1, 2, [0; 1], 1, 1, 1};
check_equal(tofimage(args{:}), reference_recon(args{1:10}), 'last sample of the last sensor');
check_equal(tofimage(args{:}), 3, 'last sample of the last sensor, value');
checks = checks + 2;

ref = expected_worked_example(1);
base = worked_example_args(1);

% 12 and more inputs: the extra ones are ignored, whatever they are.
check_equal(tofimage(base{:}, 'extra'), ref, '12 inputs');
check_equal(tofimage(base{:}, single(1), {}, int8(3)), ref, '14 inputs');
checks = checks + 2;

% No output requested: the image still goes to ans.
tofimage(base{:});
check_equal(ans, ref, 'zero outputs');
checks = checks + 1;

% t with extra columns: only the first one is used.
args = base; args{8} = [base{8}, 100 * base{8}, -base{8}];
check_equal(tofimage(args{:}), ref, 't with extra columns');
args = worked_example_args(3); args{8} = [args{8}, zeros(6, 1)];
check_equal(tofimage(args{:}), expected_worked_example(3), 't with extra columns, mode 3');
checks = checks + 2;

% sigMat with more than two dimensions: rows and cols are its first two
% dimensions, and only the first rows*cols elements are read.
args = base; args{1} = cat(3, base{1}, 1000 + base{1}, NaN(6, 2));
check_equal(tofimage(args{:}), ref, '3-D sigMat');
args = worked_example_args(2); args{1} = cat(3, args{1}, 7 * ones(6, 2));
check_equal(tofimage(args{:}), expected_worked_example(2), '3-D sigMat, mode 2');
checks = checks + 2;

% Non-scalar arrays for scalar arguments: the first element counts.
args = base;
args{2} = [2 9]; args{6} = [1 340]; args{7} = [1; 2]; args{9} = [1 5];
args{10} = [2 0]; args{11} = [1 16];
check_equal(tofimage(args{:}), ref, 'arrays for scalars');
checks = checks + 1;

% Sensor arrays: any shape, longer than needed.
args = base; args{3} = [0; 2; 99]; args{4} = [0.5 7; 2 7]; args{5} = [0 0 5];
check_equal(tofimage(args{:}), ref, 'sensor array shapes');
checks = checks + 1;

% n is truncated toward zero; 0 (and anything in (-1, 1)) gives an empty image.
args = base; args{2} = 2.9;
check_equal(tofimage(args{:}), ref, 'n = 2.9');
args = base; args{2} = 64.9;
R = tofimage(args{:});
check_equal(size(R), [64 64], 'n = 64.9');
args{2} = 64;
check_equal(R, tofimage(args{:}), 'n = 64.9 against n = 64');
for v = [0, 0.7, -0.7]
  args = base; args{2} = v;
  check_equal(tofimage(args{:}), zeros(0, 0), sprintf('n = %g', v));
end
checks = checks + 6;

% Complex arguments: the real part is used.
args = cellfun(@(a) complex(a, 3 * ones(size(a))), base, 'UniformOutput', false);
R = tofimage(args{:});
check_equal(R, ref, 'complex arguments');
if ~isreal(R)
  error('test_tofimage_results: the image of complex arguments is complex');
end
args = worked_example_args(2); args{1} = complex(args{1}, -args{1});
check_equal(tofimage(args{:}), expected_worked_example(2), 'complex sigMat, mode 2');
checks = checks + 2;

% The thread count changes nothing, bit for bit: normal, odd, silly and
% non-finite requests alike (NaN, 0 and negative mean the runtime default;
% huge requests are capped).
for mode = 1:3
  args = ring_args(33, 24, 500, mode, 1, 5);
  one = tofimage(args{:});
  check_equal(one, reference_recon(args{1:10}), sprintf('ring n=33 mode=%d', mode));
  for cores = [2 3 4 7 8 0 -1 -2^40 NaN Inf -Inf 1e12 2^31 2^31 - 1 0.5 2.7]
    args{11} = cores;
    check_equal(tofimage(args{:}), one, sprintf('mode %d, numCores = %g', mode, cores));
    checks = checks + 1;
  end
end
% Fewer pixels than threads.
args = ring_args(1, 5, 300, 1, 8, 3);
one = args; one{11} = 1;
check_equal(tofimage(args{:}), tofimage(one{:}), 'n = 1 with 8 threads');
check_equal(tofimage(args{:}), reference_recon(args{1:10}), 'n = 1 against the reference');
checks = checks + 2;

% No sensors: an all-zero image.
args = base; args{1} = zeros(6, 0); args{3} = []; args{4} = []; args{5} = [];
check_equal(tofimage(args{:}), zeros(2, 2), 'no sensors');
checks = checks + 1;

fprintf('test_tofimage_results: %d checks passed\n', checks);
end
