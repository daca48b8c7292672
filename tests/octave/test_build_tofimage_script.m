function test_build_tofimage_script()
% matlab/build_tofimage.m builds a working module with Octave's mkoctfile:
% built into a temporary folder, put first on the path, it gives the worked
% example and the same image for every thread count, and the error messages
% of the CMake-built module.
here = fileparts(mfilename('fullpath'));
matlab_dir = canonicalize_file_name(fullfile(here, '..', '..', 'matlab'));
outdir = tempname();
old_path = path();
old_cxx = getenv('CXXFLAGS');
cleanup = onCleanup(@() finish(old_path, outdir));

addpath(matlab_dir);
build_tofimage(outdir);
module = fullfile(outdir, ['tofimage.' mexext()]);
if ~exist(module, 'file')
  error('test_build_tofimage_script: %s was not built', module);
end
if ~strcmp(getenv('CXXFLAGS'), old_cxx)
  error('test_build_tofimage_script: the build script left CXXFLAGS changed');
end
addpath(outdir);
clear tofimage;
if ~strcmp(which('tofimage'), module)
  error('test_build_tofimage_script: tofimage resolves to %s', which('tofimage'));
end

for mode = 1:3
  args = worked_example_args(mode);
  check_equal(tofimage(args{:}), expected_worked_example(mode), sprintf('script build, mode %d', mode));
end
args = ring_args(21, 16, 300, 3, 1, 9);
one = tofimage(args{:});
check_equal(one, reference_recon(args{1:10}), 'script build against the reference');
for cores = [2 3 8 0]
  args{11} = cores;
  check_equal(tofimage(args{:}), one, sprintf('script build, numCores = %d', cores));
end
args = worked_example_args(1);
check_error('Wrong number of input arguments for Recon = tofimage(sigMat, n,  x_sensor, y_sensor, z_sensor, c, image_select, t, fs, image_width, numCores)', 1, args{1:10});
check_error('n must not be negative', 1, args{1}, -4, args{3:11});
printf('test_build_tofimage_script: module built by build_tofimage passes\n');
end

function finish(old_path, outdir)
path(old_path);
clear tofimage;
if exist(outdir, 'dir')
  confirm_recursive_rmdir(false, 'local');
  rmdir(outdir, 's');
end
end
