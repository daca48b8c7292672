function test_valgrind_session()
% valgrind_session.m in a second Octave under valgrind memcheck
% (valgrind_tofimage.sh): no memory error inside the modules. Octave on
% Linux only; CTest runs the script itself (octave_valgrind_tofimage).
if ~exist('OCTAVE_VERSION', 'builtin') || ~isunix() || ismac()
  skip_test('valgrind checks the modules in Octave on Linux only');
end
[status, valgrind] = system('command -v valgrind');
if status ~= 0
  skip_test('valgrind is not installed');
end
here = fileparts(mfilename('fullpath'));
octave = fullfile(OCTAVE_HOME(), 'bin', 'octave-cli');
out = tempname();
cleanup = onCleanup(@() remove_dir(out));
status = system(sprintf('OMP_WAIT_POLICY=PASSIVE sh "%s" "%s" "%s" "%s" "%s" "%s" 150', ...
                        fullfile(here, 'valgrind_tofimage.sh'), strtrim(valgrind), octave, ...
                        fileparts(which('tofimage')), here, out));
if status ~= 0
  error('test_valgrind_session: memcheck failed (valgrind_tofimage.sh exit status %d)', status);
end
end
