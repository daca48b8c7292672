function varargout = run_tests(pattern)
%RUN_TESTS  Runs the tests of the tofimage modules, in MATLAB or GNU Octave.
%
%   run_tests           runs every tests/octave/test_*.m against the modules
%                       (tofimage, tofimage_frames) found first on the path
%   run_tests(pattern)  runs the tests whose name matches the regular
%                       expression pattern, e.g. run_tests('frames')
%   results = run_tests(...)  also returns a struct array with each test's
%                       name, status ('passed', 'FAILED', 'skipped'),
%                       seconds and message
%
%   Prints one line per test: its name, passed, FAILED or skipped (with the
%   reason), and its time; a failure's message follows its line. Ends with
%   "N passed, N failed, N skipped" and raises an error if any test failed,
%   so that a batch run (matlab -batch, octave-cli --eval) ends with a
%   non-zero exit status.
%
%   Each test is a function file test_*.m without arguments that raises an
%   error when it fails; a test that does not apply to this host calls
%   skip_test('reason').
%
%   Example, from the repository's root, in MATLAB or Octave:
%       addpath('matlab'); build_tofimage(); addpath('tests/octave'); run_tests()

if nargin < 1
  pattern = '';
end
here = fileparts(mfilename('fullpath'));
files = dir(fullfile(here, 'test_*.m'));
names = sort(regexprep({files.name}, '\.m$', ''));
if ~isempty(pattern)
  names = names(~cellfun(@isempty, regexp(names, pattern, 'once')));
end
if isempty(names)
  error('run_tests:none', 'run_tests: no test in %s matches "%s"', here, pattern);
end
if exist('OCTAVE_VERSION', 'builtin')
  host = ['GNU Octave ' version()];
else
  host = ['MATLAB ' version()];
end
fprintf('run_tests: %d test(s) in %s, %s\n  tofimage: %s\n  tofimage_frames: %s\n', ...
        numel(names), host, computer('arch'), which('tofimage'), which('tofimage_frames'));

results = struct('name', names, 'status', '', 'seconds', 0, 'message', '');
for k = 1:numel(names)
  start = tic;
  saved_path = path();
  try
    feval(names{k});
    results(k).status = 'passed';
  catch err
    results(k).message = err.message;
    if strcmp(err.identifier, 'tofimage_test:skip')
      results(k).status = 'skipped';
    else
      results(k).status = 'FAILED';
      results(k).message = [err.message where(err.stack)];
    end
  end
  results(k).seconds = toc(start);
  path(saved_path);           % whatever a failing test left on the path
  status = results(k).status;
  if strcmp(status, 'skipped')
    status = sprintf('skipped (%s)', results(k).message);
  end
  fprintf('%-38s %-8s %8.2f s\n', names{k}, status, results(k).seconds);
  if strcmp(results(k).status, 'FAILED')
    fprintf('    %s\n', strrep(results(k).message, sprintf('\n'), sprintf('\n    ')));
  end
end

count = @(s) sum(strcmp({results.status}, s));
fprintf('%d passed, %d failed, %d skipped\n', count('passed'), count('FAILED'), count('skipped'));
if nargout > 0
  varargout{1} = results;
end
if count('FAILED') > 0
  failed = {results(strcmp({results.status}, 'FAILED')).name};
  error('run_tests:failed', 'run_tests: %d test(s) failed: %s', numel(failed), strjoin(failed, ', '));
end
end

function text = where(stack)
% Where the error arose, from the innermost call out to the runner.
text = '';
for k = 1:numel(stack)
  if strcmp(stack(k).name, 'run_tests')
    break;
  end
  text = sprintf('%s\n  at %s, line %d', text, stack(k).name, stack(k).line);
end
end
