function expect(ok, what, detail)
% Fails the calling test unless ok, with what was expected and what was got
% (run_tests names the test and the line).
if ~ok
  error('expect:failed', '%s\n  got: %s', what, detail);
end
end
