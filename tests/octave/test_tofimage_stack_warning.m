function test_tofimage_stack_warning()
% tofimage given a stack (more than two dimensions) still returns the image
% of its first frame, and warns once per call, naming tofimage_frames; the
% warning comes only after every check has passed, and a matrix never warns.
id = 'tofimage:firstFrameOnly';
old = warning('query', id);
restore = onCleanup(@() warning(old.state, id));
warning('on', id);
args = worked_example_args(3);
stack = args;
stack{1} = cat(3, args{1}, -args{1}, NaN(size(args{1})));
want = expected_worked_example(3);

lastwarn('', '');
printed = evalc('R = tofimage(stack{:});');
[msg, got] = lastwarn();
check_equal(R, want, 'a stack gives the image of its first frame');
if ~strcmp(got, id) || isempty(strfind(msg, 'tofimage_frames')) || isempty(strfind(msg, 'first frame'))
  error('test_tofimage_stack_warning: last warning (%s): %s', got, msg);
end
if numel(strfind(printed, 'first frame')) ~= 1
  error('test_tofimage_stack_warning: one warning per call expected, printed:\n%s', printed);
end
four = stack;
four{1} = reshape(stack{1}, [size(args{1}), 1, 3]);   % 4-D
lastwarn('', '');
evalc('R = tofimage(four{:});');
[~, got] = lastwarn();
check_equal(R, want, 'a 4-D sigMat gives the image of its first frame');
if ~strcmp(got, id)
  error('test_tofimage_stack_warning: no warning for a 4-D sigMat');
end

% A matrix, and a stack that fails a check, do not warn.
lastwarn('', '');
R = tofimage(args{:});
bad = stack;
bad{8} = bad{8}(1:end - 1);
check_error('t must have the same number of elements as sigMat has rows', 1, bad{:});
[~, got] = lastwarn();
if ~isempty(got)
  error('test_tofimage_stack_warning: warning %s from a matrix or a failed call', got);
end

% Turned into an error, it stops the call before any output exists.
warning('error', id);
R = [];
try
  R = tofimage(stack{:});
  raised = false;
catch err
  raised = strcmp(err.identifier, id);
end
if ~raised || ~isempty(R)
  error('test_tofimage_stack_warning: warning(''error'') did not stop the call');
end
warning('off', id);
lastwarn('', '');
check_equal(tofimage(stack{:}), want, 'warning off');
[~, got] = lastwarn();
if ~isempty(got)
  error('test_tofimage_stack_warning: warning shown while off');
end
fprintf('test_tofimage_stack_warning: a stack warns once and keeps its first-frame image\n');
end
