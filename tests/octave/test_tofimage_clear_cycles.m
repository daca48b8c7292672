function test_tofimage_clear_cycles()
% The module is cleared (clear tofimage, clear mex, clear functions) and
% called again many times over, with OpenMP worker threads alive from the
% previous call: every call must give the same image and the session must
% survive. The module's lock keeps it loaded through every clear.
args = ring_args(48, 32, 400, 3, 2, 7);
want = tofimage(args{:});
% The module locks itself at its first call, so no clear below unloads it.
if ~mislocked('tofimage')
  error('test_tofimage_clear_cycles: the module is not locked after its first call');
end
cmds = {'clear tofimage', 'clear mex', 'clear functions'};
if exist('OCTAVE_VERSION', 'builtin')
  cmds{end + 1} = 'clear -f tofimage';    % Octave's clear of functions only
end
cycles = 60;
for k = 1:cycles
  eval(cmds{mod(k - 1, numel(cmds)) + 1});
  args{11} = 1 + mod(k, 4);               % teams of 1 to 4 threads
  check_equal(tofimage(args{:}), want, sprintf('cycle %d', k));
  if mod(k, 10) == 0
    pause(0.05);                          % let idle workers go to sleep
  end
end
% A failing call between unloads leaves nothing behind either.
for k = 1:10
  clear mex;
  try
    tofimage(args{1:10});
  catch
  end
  check_equal(tofimage(args{:}), want, sprintf('after error %d', k));
end
fprintf('test_tofimage_clear_cycles: %d clear-and-call cycles passed\n', cycles + 10);
end
