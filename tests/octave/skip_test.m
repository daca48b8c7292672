function skip_test(reason)
%SKIP_TEST  Ends the calling test as skipped: run_tests prints REASON.
error('tofimage_test:skip', '%s', reason);
end
