function valgrind_session(fuzz_calls)
% An Octave session for memcheck (see valgrind_tofimage.sh): tofimage and
% tofimage_frames on valid requests of every shape they accept, on requests
% they must reject at each of their checks, then FUZZ_CALLS random calls of
% tofimage (default 300).
% Every call is made for its memory accesses; results are checked only
% loosely here (the other tests check them exactly), but a valid call that
% fails or a rejected call that succeeds still stops the session.
if nargin < 1
  fuzz_calls = 300;
end
sig = [10 0; 20 1; 30 4; 40 9; 50 16; 60 25];
t = (2:7)';
ok = {sig, 2, [0 2], [0.5 2], [0 0], 1, 1, t, 1, 2, 1};
valid = 0;
rejected = 0;
% The session runs in an Octave of its own: the warning of a stack given to
% tofimage, expected here, would only bury the log.
warning('off', 'tofimage:firstFrameOnly');

% ------------------------------------------------------------------ valid
for sel = [1 2 3 NaN]
  for cores = [1 2 4 0 -1 1e9 NaN]
    a = ok; a{7} = sel; a{11} = cores;
    expect_image(a, 2);
    valid = valid + 1;
  end
end
% Lookups on the last sample of the last sensor: the derivative terms must
% not step past the end of the signal.
for sel = [2 3]
  a = ok; a{3} = [100 -100]; a{7} = sel;
  expect_image(a, 2);
  valid = valid + 1;
end
cases = {
  {2, 0}            % empty image
  {2, 1}            % one pixel
  {2, 7.9}          % n truncated to 7
  {1, sig(:, [])}   % no sensors
  {1, cat(3, sig, sig)}                 % 3-D sigMat: first rows*cols elements
  {8, [t, t + 1]}                       % t with an extra column
  {3, [0 2 5 7]}                        % longer sensor vectors
  {3, [0; 2]}                           % column sensor vectors
  {1, complex(sig, sig)}                % complex: real parts
  {6, [1 2]}                            % non-scalar scalars: first element
  {6, 0}                                % c = 0
  {9, Inf}
  {10, NaN}
  {8, [2; 2; 4; 5; 6; 7]}               % t(2) = t(1)
  {1, [NaN 0; Inf 1; -Inf 4; 40 9; 50 16; 60 25]}
  {3, [1e300 realmax]}
  {5, [4.9e-324 -0]}
};
for k = 1:numel(cases)
  a = ok;
  a{cases{k}{1}} = cases{k}{2};
  n = a{2};
  expect_image(a, fix(n(1)));
  valid = valid + 1;
end
a = [ok, {'extra', {1}}];                 % 13 inputs: the last two ignored
expect_image(a, 2);
valid = valid + 1;
rows = 300; cols = 32;                    % a larger ring, several threads
ang = 2 * pi * (0:cols - 1) / cols;
ring = {randn(rows, cols), 24, 0.02 * cos(ang), 0.02 * sin(ang), zeros(1, cols), ...
        1500, 3, 1e-6 + (0:rows - 1)' / 4e7, 4e7, 0.025, 4};
expect_image(ring, 24);
valid = valid + 1;

% Stacks through tofimage_frames: double ones read in place, single and
% int16 ones converted a batch of frames at a time, none at all.
stack = cat(3, sig, 2 * sig, -sig);
for cls = {'double', 'single', 'int16'}
  for frames = [0 1 3]
    a = ok; a{1} = cast(stack(:, :, 1:frames), cls{1});
    expect_frames(a, 2, frames);
    valid = valid + 1;
  end
  a = ring; a{1} = cast(100 * repmat(ring{1}, 1, 1, 5), cls{1});
  expect_frames(a, 24, 5);
  valid = valid + 1;
end

% --------------------------------------------------------------- rejected
rejects = {};
for k = 0:10
  rejects{end + 1} = {1, ok(1:k)};
end
rejects{end + 1} = {2, ok};
for pos = 1:11
  for cast = {@single, @int32, @logical, @(v) char(v + 48), @num2cell, ...
              @(v) struct('v', v), @sparse}
    a = ok;
    a{pos} = cast{1}(a{pos});
    rejects{end + 1} = {1, a};
  end
  a = ok; a{pos} = [];
  rejects{end + 1} = {1, a};
end
mods = {
  {8, t'}                     % t as a row
  {8, t(1:5)}                 % t too short
  {1, sig(1, :)}              % one sample
  {8, 2}                      % ... with a one-element t
  {3, 0}                      % short sensor vectors
  {4, 0}
  {5, zeros(1, 0)}
  {2, -1}                     % negative n
  {2, NaN}
  {2, Inf}
  {2, 46341}                  % n*n beyond 2^31 - 1
  {2, 1e300}
  {2, -Inf}
};
for k = 1:numel(mods)
  a = ok;
  a{mods{k}{1}} = mods{k}{2};
  if mods{k}{1} == 1
    a{8} = t(1);
  end
  rejects{end + 1} = {1, a};
end
for k = 1:numel(rejects)
  nout = rejects{k}{1};
  a = rejects{k}{2};
  failed = false;
  try
    if nout == 1
      R = tofimage(a{:}); %#ok<NASGU>
    else
      [R, S] = tofimage(a{:}); %#ok<NASGU>
    end
  catch err
    failed = ~isempty(err.message);
  end
  if ~failed
    error('valgrind_session:accepted', 'rejected call %d succeeded or had no message', k);
  end
  rejected = rejected + 1;
end
for sigMat = {zeros(6, 2, 2, 2), int32(stack), single(stack(1, :, :))}
  a = ok; a{1} = sigMat{1};
  try
    tofimage_frames(a{:});
    error('valgrind_session:accepted', 'tofimage_frames accepted a %s %s sigMat', ...
          class(sigMat{1}), mat2str(size(sigMat{1})));
  catch err
    if strcmp(err.identifier, 'valgrind_session:accepted')
      rethrow(err);
    end
  end
  rejected = rejected + 1;
end
fprintf('valgrind_session: %d valid and %d rejected calls\n', valid, rejected);

% ------------------------------------------------------------------ random
fuzz_tofimage(fuzz_calls, 20240611, false, false);
end

function expect_image(a, n)
R = tofimage(a{:});
if ~isa(R, 'double') || ~isequal(size(R), [n n])
  error('valgrind_session:shape', 'expected a %d x %d double image, got %s %s', ...
        n, n, class(R), mat2str(size(R)));
end
end

function expect_frames(a, n, frames)
R = tofimage_frames(a{:});
if ~isa(R, 'double') || ~isequal([size(R, 1), size(R, 2), size(R, 3)], [n n frames])
  error('valgrind_session:shape', 'expected %d x %d x %d double images, got %s %s', ...
        n, n, frames, class(R), mat2str(size(R)));
end
end
