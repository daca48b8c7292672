function stats = fuzz_tofimage(calls, seed, verbose, compare)
% Random-argument fuzzer of the tofimage module.
%
%   stats = fuzz_tofimage(calls, seed, verbose, compare)
%
% Makes CALLS calls (default 5000) with 0 to 13 inputs and 0 to 2 outputs.
% Most calls start from a small valid request and have up to three of their
% arguments replaced; the rest are drawn wholesale. Replacement arguments
% come from every class (double, single, the integer types, logical, char,
% cell, struct, complex, sparse), every shape (empty, scalar, row, column,
% matrix, 3-D) and special values (NaN, +-Inf, +-0, negative, huge, 1e9,
% subnormal). Every call must either
%   - raise an error with a non-empty message, or
%   - return a real, full, 2-D double image of n x n pixels, n being the
%     real part of the first element of the n argument truncated toward
%     zero, equal (NaN equal to NaN) to the plain M-code reference when that
%     is on the path;
% and calls with fewer than 11 inputs, more than one output or a first
% eleven argument that is not double must fail. The Octave process itself
% must survive the whole run. The random stream is fixed by SEED (default
% 20240611), printed first; with VERBOSE set every call is described before
% it is made, so the call that brings the process down is the last one shown.
% COMPARE false (default true) skips the comparison with the reference.
if nargin < 1 || isempty(calls)
  calls = 5000;
end
if nargin < 2 || isempty(seed)
  seed = 20240611;
end
if nargin < 3 || isempty(verbose)
  verbose = false;
end
if nargin < 4
  compare = true;
end
fprintf('fuzz_tofimage: %d calls, seed %d\n', calls, seed);
rand('state', seed);
randn('state', seed);
have_reference = compare && exist('reference_recon', 'file') == 2;
% Stacks given to tofimage warn (tofimage:firstFrameOnly) at every call;
% thousands of those lines would bury the report.
old_warning = warning('query', 'tofimage:firstFrameOnly');
restore_warning = onCleanup(@() warning(old_warning.state, 'tofimage:firstFrameOnly'));
warning('off', 'tofimage:firstFrameOnly');

stats = struct('calls', 0, 'images', 0, 'nonempty_images', 0, 'errors', 0, ...
               'compared', 0);
messages = {};
counts = [];
failures = 0;
start = tic;
for call = 1:calls
  [args, nout] = random_call();
  if verbose
    fprintf('call %d: nout %d, %s\n', call, nout, describe(args));
    flush_output();
  end
  [R, msg, failed] = make_call(args, nout);
  stats.calls = stats.calls + 1;
  problem = '';
  if failed
    stats.errors = stats.errors + 1;
    if isempty(msg)
      problem = 'error without a message';
    end
    k = find(strcmp(messages, msg), 1);
    if isempty(k)
      messages{end + 1} = msg;
      counts(end + 1) = 1;
    else
      counts(k) = counts(k) + 1;
    end
  else
    stats.images = stats.images + 1;
    problem = check_image(R, args, nout);
    if isempty(problem) && ~isempty(R)
      stats.nonempty_images = stats.nonempty_images + 1;
    end
    if isempty(problem) && have_reference
      [want, problem] = reference_image(args);
      stats.compared = stats.compared + 1;
      if isempty(problem) && ~isequaln(R, want)
        problem = sprintf('image differs from the reference in %d of %d pixels', ...
                          nnz(~(R == want | (isnan(R) & isnan(want)))), numel(want));
      end
    end
  end
  if ~isempty(problem)
    failures = failures + 1;
    if failures <= 20
      fprintf('FAILED call %d (seed %d): %s\n  nout %d, %s\n', call, seed, problem, nout, ...
               describe(args));
    end
  end
  if mod(call, 1000) == 0
    fprintf('  %d calls, %.1f s\n', call, toc(start));
    flush_output();
  end
end

fprintf('fuzz_tofimage: %d calls in %.1f s: %d images (%d non-empty, %d compared with the reference), %d errors\n', ...
        stats.calls, toc(start), stats.images, stats.nonempty_images, stats.compared, stats.errors);
[~, order] = sort(counts, 'descend');
for k = order
  fprintf('  %5d x %s\n', counts(k), messages{k});
end
if failures > 0
  error('fuzz_tofimage:failed', '%d of %d calls broke the contract (seed %d)', ...
        failures, stats.calls, seed);
end
end

function flush_output()
% Octave buffers what it prints into a pipe: a crash would lose the lines
% that name the last calls. MATLAB writes them at once.
if exist('OCTAVE_VERSION', 'builtin')
  fflush(1);   % stdout
end
end

% ---------------------------------------------------------------- the call
function [R, msg, failed] = make_call(args, nout)
R = [];
msg = '';
failed = false;
try
  switch nout
    case 0
      tofimage(args{:});
      R = ans;
    case 1
      R = tofimage(args{:});
    otherwise
      [R, S] = tofimage(args{:}); %#ok<NASGU>
  end
catch err
  failed = true;
  msg = err.message;
end
end

function problem = check_image(R, args, nout)
problem = '';
if numel(args) < 11
  problem = sprintf('succeeded with %d inputs', numel(args));
  return;
end
if nout > 1
  problem = 'succeeded with two outputs';
  return;
end
for a = 1:11
  if ~isa(args{a}, 'double')
    problem = sprintf('succeeded with a %s argument %d', class(args{a}), a);
    return;
  end
end
n = fix(first(args{2}));
if ~isa(R, 'double') || ~isreal(R) || issparse(R) || ndims(R) ~= 2
  problem = sprintf('returned a %s array of %d dimensions', class(R), ndims(R));
elseif ~isequal(size(R), [n n])
  problem = sprintf('returned a %s array for n = %.17g', mat2str(size(R)), n);
end
end

% What the module reads as a scalar: the real part of the first element,
% 0 for an empty array (as the MEX API's scalar read gives it).
function x = first(a)
if isempty(a)
  x = 0;
else
  x = real(full(a(1)));
end
end

% What the module computes: real parts, first elements of the scalars; the
% reference reads only the first column of t. An error here means the
% module accepted arrays too short for the request.
function [R, problem] = reference_image(args)
v = cellfun(@(a) real(full(a)), args(1:11), 'UniformOutput', false);
R = [];
problem = '';
try
  R = reference_recon(v{1}, fix(first(v{2})), v{3}, v{4}, v{5}, first(v{6}), ...
                      first(v{7}), v{8}, first(v{9}), first(v{10}));
catch err
  problem = ['succeeded where the reference fails: ' err.message];
end
end

% ----------------------------------------------------------- the arguments
function [args, nout] = random_call()
u = rand();
if u < 0.7
  args = valid_args();
  for k = 1:randi([0 3])
    pos = randi(11);
    if rand() < 0.5
      args{pos} = random_value();
    else
      args{pos} = near_miss(args{pos});
    end
  end
elseif u < 0.8
  args = valid_args();
else
  args = cell(1, 11);
  for pos = 1:11
    args{pos} = random_value();
  end
end
% Arity: mostly eleven, otherwise anything from 0 to 13.
if rand() < 0.2
  count = randi([0 13]);
  if count < 11
    args = args(1:count);
  else
    for pos = 12:count
      args{pos} = random_value();
    end
  end
end
w = rand();
if w < 0.2
  nout = 0;
elseif w < 0.9
  nout = 1;
else
  nout = 2;
end
end

% A small valid request: 2 to 8 samples, 0 to 5 sensors, an image of 0 to 6
% pixels a side, quantities in quarter steps so that lookups land inside the
% window and on exact ties.
function args = valid_args()
rows = randi([2 8]);
cols = randi([0 5]);
n = randi([0 6]);
quarter = @(varargin) round(8 * randn(varargin{:})) / 4;
sigMat = quarter(rows, cols);
if rand() < 0.1 && ~isempty(sigMat)
  sigMat(randi(numel(sigMat))) = pick([NaN Inf -Inf]);
end
if rand() < 0.5
  t = (1:rows)' * 0.25 * randi([0 4]) + quarter(1);   % regular, possibly t(2) = t(1)
else
  t = quarter(rows, 1);
end
if rand() < 0.1
  t = [t, quarter(rows, 1)];                          % extra columns are ignored
end
sensor = @() shaped_vector(quarter(1, cols + (rand() < 0.2) * randi(2)));
args = {sigMat, n + pick([0 0 0 0.5 0.9 -0.0]), sensor(), sensor(), sensor(), ...
        pick([1 1 0.5 2 0 -1 NaN Inf]), pick([1 2 3 1 2 3 0 1.5 NaN]), t, ...
        pick([1 1 2 0.5 4]), pick([n 1 2 0.5 0 -3 Inf]), pick([1 2 3 4 0 -2 NaN 1e9 2.7])};
end

function v = shaped_vector(v)
if rand() < 0.5
  v = v(:);
end
end

function x = pick(values)
x = values(randi(numel(values)));
end

% A value one step away from a valid argument (or from what an earlier
% change made of it; a change that does not apply leaves it as it is).
function v = near_miss(v)
try
  v = change(v, randi(9));
end
end

function v = change(v, how)
switch how
  case 1
    if ndims(v) == 2
      v = v.';                            % transposed
    end
  case 2
    v = v(1:end - (numel(v) > 0));        % one element short
  case 3
    v = complex(v, ones(size(v)));        % complex
  case 4
    if ndims(v) == 2
      v = sparse(v);                      % sparse
    end
  case 5
    v = [];                               % empty
  case 6
    v = cat(3, v, v);                     % 3-D
  case 7
    v = single(v);                        % single
  case 8
    v = repmat(v, 2, 1);                  % twice the rows
  otherwise
    v = special_values(size(v));          % same shape, special contents
end
end

% Any value at all: a class, a shape and contents drawn independently.
function v = random_value()
shapes = {[0 0], [0 3], [3 0], [1 1], [1 1], [1 1], [1 randi(6)], [randi(6) 1], ...
          [randi(6) randi(6)], [randi(4) randi(4) randi(3)], [2 0 2]};
sz = shapes{randi(numel(shapes))};
x = special_values(sz);
switch randi(16)
  case 1
    v = single(x);
  case 2
    types = {'int8', 'uint8', 'int16', 'uint16', 'int32', 'uint32', 'int64', 'uint64'};
    v = cast(x, types{randi(numel(types))});   % NaN becomes 0, out of range saturates
  case 3
    v = rand(sz) < 0.5;                        % logical
  case 4
    v = char(randi([32 126], sz));
  case 5
    v = num2cell(x);
  case 6
    v = struct('value', num2cell(x));
  case 7
    v = complex(x, special_values(sz));
  case 8
    if numel(sz) == 2
      v = sparse(x);
    else
      v = x;
    end
  case 9
    v = zeros(sz);
  otherwise
    v = x;
end
end

% Doubles: mostly small numbers, often specials.
function x = special_values(sz)
specials = [NaN, Inf, -Inf, 0, -0, -1, -2.5, 0.5, 2.5, 1e9, 1e300, -1e300, realmax, ...
            realmin, 4.9e-324, 2^31, 2^31 - 0.5, 46341, 1, 2, 3, 4, 5];
x = round(8 * randn(sz)) / 4;
mask = rand(sz) < 0.4;
x(mask) = specials(randi(numel(specials), nnz(mask), 1));
end

function s = describe(args)
parts = cell(1, numel(args));
for k = 1:numel(args)
  a = args{k};
  cls = class(a);
  if isnumeric(a) && ~isreal(a)
    cls = ['complex ' cls];
  end
  if issparse(a)
    cls = ['sparse ' cls];
  end
  txt = '';
  if (isnumeric(a) || islogical(a)) && numel(a) <= 4 && ndims(a) == 2
    txt = [' ' mat2str(full(double(a)), 4)];
  end
  parts{k} = sprintf('%s %s%s', cls, mat2str(size(a)), txt);
end
s = sprintf('%d inputs: %s', numel(args), strjoin(parts, ', '));
end
