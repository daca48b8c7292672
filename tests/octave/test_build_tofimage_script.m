function test_build_tofimage_script()
% matlab/build_tofimage.m builds working modules, with mex in MATLAB and
% mkoctfile in Octave: built into a temporary folder, put first on the
% path, they carry the kernel expected (TOFIMAGE_EXPECT_KERNEL, set by
% CTest: vector where CMake found Highway); tofimage passes the results
% tests, gives the images of the module that was first on the path before
% (CMake's, in CTest) bit for bit, the same image for every thread count,
% and the error messages; tofimage_frames passes the stack tests and
% tofimage_beamform its own; the help
% files and tofimage_grid.m are copied beside them. With a Highway whose
% header does not compile, it still builds working modules with the scalar
% kernel, and warns with the compiler's error. In Octave, both builds run
% with a temporary folder of their own, which they must leave empty: the
% engine's object files go, also when the vector kernel fails to build.
% In CTest the modules only ever run on this CPU, so, like the sanitizer
% trees, they leave out the instruction sets it cannot run (most of the
% compile where the CPU lacks AVX-512; the CMake build compiles them all):
% CTest passes their Highway mask in TOFIMAGE_HWY_UNRUNNABLE, which goes to
% the compiler through CXXFLAGS, where build_tofimage takes mkoctfile's
% flags from.
matlab_dir = repo_path('matlab');
first_module = which('tofimage');
outdir = tempname();
old_path = path();
old_cxx = getenv('CXXFLAGS');
old_root = getenv('HWY_ROOT');
cleanup = onCleanup(@() finish(old_path, outdir, old_root, old_cxx));

addpath(matlab_dir);
unrunnable = getenv('TOFIMAGE_HWY_UNRUNNABLE');
if ~isempty(unrunnable) && ~strcmp(unrunnable, '0') && exist('OCTAVE_VERSION', 'builtin')
  setenv('CXXFLAGS', [strtrim(mkoctfile('-p', 'CXXFLAGS')) ' -DHWY_DISABLED_TARGETS=' unrunnable]);
end
build_cxx = getenv('CXXFLAGS');
info = build_leaving_no_files(outdir);
module = fullfile(outdir, ['tofimage.' mexext()]);
frames_module = fullfile(outdir, ['tofimage_frames.' mexext()]);
beamform_module = fullfile(outdir, ['tofimage_beamform.' mexext()]);
search_module = fullfile(outdir, ['tofimage_autofocus_search.' mexext()]);
all_modules = {module, frames_module, beamform_module, search_module};
if ~strcmp(info.module, module) || ~all(cellfun(@(f) exist(f, 'file') > 0, all_modules)) || ...
   ~isequal(info.modules, all_modules)
  error('test_build_tofimage_script: %s were not built', strjoin(all_modules, ', '));
end
if ~strcmp(getenv('CXXFLAGS'), build_cxx)
  error('test_build_tofimage_script: the build script left CXXFLAGS changed');
end
check_user_files(outdir, 'the folder build_tofimage built into');
check_kernel(module, info, getenv('TOFIMAGE_EXPECT_KERNEL'));
check_kernel(frames_module, info, getenv('TOFIMAGE_EXPECT_KERNEL'));
check_kernel(beamform_module, info, getenv('TOFIMAGE_EXPECT_KERNEL'));

% The module first on the path before, under another name, to compare
% against in this session.
if ~isempty(regexp(first_module, ['\.' mexext() '$'], 'once'))
  copyfile(first_module, fullfile(outdir, ['tofimage_first.' mexext()]));
end
addpath(outdir);
clear tofimage tofimage_frames tofimage_beamform;
if ~strcmp(which('tofimage'), module) || ~strcmp(which('tofimage_frames'), frames_module) || ...
   ~strcmp(which('tofimage_beamform'), beamform_module)
  error('test_build_tofimage_script: the modules resolve to %s, %s and %s', ...
        which('tofimage'), which('tofimage_frames'), which('tofimage_beamform'));
end

test_tofimage_results();
test_tofimage_frames();
test_tofimage_beamform();

compared = 0;
if exist('tofimage_first', 'file') == 3
  % Problems on which the vector kernel takes its table and window paths
  % (rows and sampling rate of the standard workload) as well as small ones.
  for mode = [1 2 3]
    for problem = {{33, 24, 500}, {64, 48, 2030}}
      args = ring_args(problem{1}{:}, mode, 2, 40 + mode);
      check_equal(tofimage(args{:}), tofimage_first(args{:}), ...
                  sprintf('script build against %s, n=%d mode=%d', first_module, problem{1}{1}, mode));
      compared = compared + 1;
    end
  end
elseif ~isempty(getenv('TOFIMAGE_EXPECT_KERNEL'))
  error('test_build_tofimage_script: no compiled module on the path to compare with');
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
check_fallback(outdir, old_root);
fprintf('test_build_tofimage_script: modules built by build_tofimage (%s kernel) pass; %d images compared with %s\n', ...
        info.kernel, compared, first_module);
end

function check_fallback(outdir, old_root)
% HWY_ROOT names a Highway 1.2.0 whose header stops the compiler: the build
% must end with a scalar module that works, and a warning that quotes the
% compiler's first error and says how to get the vector kernel.
broken = fullfile(outdir, 'broken-highway');
mkdir(fullfile(broken, 'include', 'hwy'));
mkdir(fullfile(broken, 'lib'));
fid = fopen(fullfile(broken, 'include', 'hwy', 'highway.h'), 'w');
fprintf(fid, '#define HWY_MAJOR 1\n#define HWY_MINOR 2\n#define HWY_PATCH 0\n#error "this Highway does not compile here"\n');
fclose(fid);
for lib = {'libhwy.a', 'hwy.lib'}            % hwy.lib: Visual Studio's
  fid = fopen(fullfile(broken, 'lib', lib{1}), 'w');
  fclose(fid);
end
setenv('HWY_ROOT', broken);
lastwarn('', '');
fb = build_leaving_no_files(fullfile(outdir, 'fallback'));
[msg, id] = lastwarn();
set_env('HWY_ROOT', old_root);
if ~strcmp(id, 'build_tofimage:scalarFallback') || isempty(strfind(msg, 'this Highway does not compile here')) ...
   || isempty(strfind(msg, 'HWY_ROOT')) || isempty(strfind(fb.fallback, 'error'))
  error('test_build_tofimage_script: no fallback warning with the compiler''s error; last warning (%s): %s', id, msg);
end
if ~isequal(fb.modules, {fb.module, fullfile(outdir, 'fallback', ['tofimage_frames.' mexext()]), ...
                         fullfile(outdir, 'fallback', ['tofimage_beamform.' mexext()]), ...
                         fullfile(outdir, 'fallback', ['tofimage_autofocus_search.' mexext()])})
  error('test_build_tofimage_script: the fallback build reports the modules {%s}', strjoin(fb.modules, ', '));
end
check_kernel(fb.modules{1}, fb, 'scalar');
check_kernel(fb.modules{2}, fb, 'scalar');
% Under other names: the modules built first stay loaded as tofimage and
% tofimage_frames.
copyfile(fb.modules{1}, fullfile(outdir, ['tofimage_fallback.' mexext()]));
copyfile(fb.modules{2}, fullfile(outdir, ['tofimage_frames_fallback.' mexext()]));
rehash();
args = ring_args(21, 16, 300, 3, 2, 9);
one = tofimage_fallback(args{:});
check_equal(one, reference_recon(args{1:10}), 'scalar fallback module against the reference');
second = args;
second{1} = flipud(args{1});
stack = args;
stack{1} = cat(3, args{1}, second{1});
check_equal(tofimage_frames_fallback(stack{:}), cat(3, one, tofimage_fallback(second{:})), ...
            'scalar fallback tofimage_frames against tofimage frame by frame');
fprintf('test_build_tofimage_script: a Highway that does not compile gave working scalar modules\n');
end

function info = build_leaving_no_files(outdir)
% build_tofimage(outdir); in Octave with TMPDIR, where it keeps its object
% files, pointed at an empty folder that must be empty again afterwards.
if ~exist('OCTAVE_VERSION', 'builtin')
  info = build_tofimage(outdir);
  return;
end
scratch = fullfile(outdir, 'tmp');
mkdir(scratch);
old_tmp = getenv('TMPDIR');
setenv('TMPDIR', scratch);
restore = onCleanup(@() set_env('TMPDIR', old_tmp));
info = build_tofimage(outdir);
left = dir(scratch);
left = setdiff({left.name}, {'.', '..'});
if ~isempty(left)
  error('test_build_tofimage_script: the build left %s in its temporary folder %s', strjoin(left, ', '), scratch);
end
rmdir(scratch);
end

function check_kernel(module, info, expected)
% The build's report and the module's own symbols must agree: Highway's
% per-target namespaces (N_SSE4, N_AVX2, N_NEON, ...) exist in the module
% exactly when the vector kernel was compiled into it.
if ~isempty(expected) && ~strcmp(info.kernel, expected)
  error('test_build_tofimage_script: expected the %s kernel, build_tofimage built the %s kernel', ...
        expected, info.kernel);
end
if ispc()
  fprintf('test_build_tofimage_script: %s kernel; its symbols are not listed on Windows (no nm)\n', info.kernel);
  return;
end
[status, symbols] = system(sprintf('nm -C "%s"', module));
if status ~= 0
  error('test_build_tofimage_script: nm failed on %s:\n%s', module, symbols);
end
targets = unique(regexp(symbols, 'N_[A-Z0-9_]+(?=::)', 'match'));
vector_targets = setdiff(targets, {'N_SCALAR', 'N_EMU128'});
has_vector = ~isempty(vector_targets);
if has_vector ~= strcmp(info.kernel, 'vector')
  error('test_build_tofimage_script: build_tofimage reports the %s kernel, the module has Highway targets {%s}', ...
        info.kernel, strjoin(targets, ', '));
end
fprintf('test_build_tofimage_script: %s kernel, Highway targets in the module: %s\n', ...
        info.kernel, strjoin(targets, ' '));
end

function finish(old_path, outdir, old_root, old_cxx)
path(old_path);
set_env('CXXFLAGS', old_cxx);
set_env('HWY_ROOT', old_root);
clear tofimage tofimage_frames tofimage_beamform tofimage_first tofimage_fallback tofimage_frames_fallback;
remove_dir(outdir);
end
