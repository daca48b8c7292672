function test_fuzz_tofimage()
% The module under fuzz_tofimage's random calls (fixed seed): every call
% either fails with a message or returns the reference's image, and the
% session survives. TOFIMAGE_FUZZ_CALLS sets the number of calls (CTest:
% as many as the fuzzer makes by default).
calls = str2double(getenv('TOFIMAGE_FUZZ_CALLS'));
if isnan(calls)
  calls = 2000;
end
fuzz_tofimage(calls, 20240611);
end
