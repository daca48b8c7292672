function checks = check_module_help(name, must, call)
% help NAME (tofimage, tofimage_frames, tofimage_beamform) explains the call
% from the build folder: its text holds every string of MUST (the messages
% the module can raise are checked against the engine's table by
% tests/messages_check.py). The help file in matlab/ never hides the compiled
% module: called ahead of it on the path, it passes the call on. CALL, for
% a module that does not take tofimage's arguments, holds the call that
% shows it: fields args and expected (its image), bad (arguments it
% refuses) and message (its error). Returns the number of checks.
if nargin < 3
  args = worked_example_args(2);
  call = struct('args', {args}, 'expected', expected_worked_example(2), ...
                'bad', {[args(1:7), {args{8}'}, args(9:11)]}, ...
                'message', 't must have the same number of elements as sigMat has rows');
end
checks = 0;
module = which(name);
[~, ~, ext] = fileparts(module);
if ~strcmp(ext, ['.' mexext()])
  error('check_module_help: %s resolves to %s, not to the compiled module', name, module);
end
% MATLAB marks up the function's name where its help can show links.
text = regexprep(evalc(['help ' name]), '</?strong>', '');
for k = 1:numel(must)
  if isempty(strfind(text, must{k}))
    error('check_module_help: the help of %s lacks "%s"', name, must{k});
  end
  checks = checks + 1;
end
% The help file in matlab/ ahead of the build folder: the call still reaches
% the compiled module (with a warning) and puts it first on the path again.
% A module built into matlab/ itself (build_tofimage's default) takes
% precedence over the help file beside it: nothing can hide it.
matlab_dir = repo_path('matlab');
if strcmp(fileparts(module), matlab_dir)
  fprintf('check_module_help: %s is in matlab/, beside its help file, which cannot hide it\n', name);
  return;
end
old_path = path();
restore = onCleanup(@() path(old_path));
addpath(matlab_dir);
if ~strcmp(which(name), fullfile(matlab_dir, [name '.m']))
  error('check_module_help: matlab/%s.m is not ahead on the path', name);
end
lastwarn('');
R = feval(name, call.args{:});       % prints the warning
check_equal(R, call.expected, ['call through the help file ' name '.m']);
[~, id] = lastwarn();
if ~strcmp(id, [name ':shadowed'])
  error('check_module_help: no warning when the help file hid the module %s', name);
end
if ~strcmp(which(name), module)
  error('check_module_help: the module %s is not first on the path after the call', name);
end
% Errors of the module come through unchanged.
addpath(matlab_dir);
check_error_of(name, call.message, 1, call.bad{:});
checks = checks + 4;
end
