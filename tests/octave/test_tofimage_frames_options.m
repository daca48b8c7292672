function test_tofimage_frames_options()
% The options after numCores: 'Progress' (any case) with true or false keeps
% the images; anything else is refused with a message that says what is
% taken. A short call prints nothing. (The progress line of long calls and
% Ctrl-C are tested in an interactive session: interrupt_session.py.)
args = ring_args(24, 16, 300, 3, 2, 5);
stack = randn(300, 16, 5);
want = tofimage_frames(stack, args{2:end});
check_equal(tofimage_frames(stack, args{2:end}, 'Progress', false), want, '''Progress'', false');
check_equal(tofimage_frames(stack, args{2:end}, 'progress', 1), want, '''progress'', 1');
check_equal(tofimage_frames(stack, args{2:end}, 'PROGRESS', true, 'Progress', 0), want, ...
            'the last of repeated options');
out = evalc('R = tofimage_frames(stack, args{2:end});');
if ~isempty(out)
  error('test_tofimage_frames_options: a short call printed [%s]', out);
end
names = 'the options after numCores are name-value pairs, and the only name is ''Progress''';
check_error_of('tofimage_frames', ['argument 12: ' names], 1, stack, args{2:end}, 'Verbose', false);
check_error_of('tofimage_frames', ['argument 12: ' names], 1, stack, args{2:end}, 1);
check_error_of('tofimage_frames', ['argument 14: ' names], 1, stack, args{2:end}, 'Progress', 1, {});
for bad = {{}, {[]}, {[true false]}, {'no'}, {NaN}, {1i}}
  check_error_of('tofimage_frames', 'the value of ''Progress'' must be true or false', 1, ...
                 stack, args{2:end}, 'Progress', bad{1}{:});
end
fprintf('test_tofimage_frames_options: passed\n');
end
