function info = build_tofimage(outdir, hwy)
%BUILD_TOFIMAGE  Compile the tofimage MEX modules, in MATLAB or GNU Octave.
%
%   build_tofimage              builds tofimage.<mexext> and
%                               tofimage_frames.<mexext> (stacks of frames)
%                               into the folder of this script, next to
%                               their help files
%   build_tofimage(outdir)      builds them into outdir (created if missing)
%   build_tofimage(outdir, hwy) takes Highway from the folder hwy (with
%                               include/hwy/highway.h and lib/), or builds
%                               the scalar kernel only when hwy is 'none'
%   info = build_tofimage(...)  also returns what was built: the path of
%                               tofimage's module, the paths of both
%                               (modules), their kernel ('vector' or
%                               'scalar') and where Highway came from
%
%   Compiles each module's entry point (../src/tofimage.cpp,
%   ../src/tofimage_frames.cpp) with ../src/recon.cpp (the engine and its
%   scalar kernel) and, when Google Highway (1.0 or later) is found, the
%   vector kernel ../src/recon_simd*.cpp, which is many times faster and
%   gives the same image:
%     MATLAB  mex, with the separate-complex C API (-R2017b)
%     Octave  mkoctfile --mex
%   Highway is looked for, in this order, in: the folder hwy or the
%   environment variable HWY_ROOT; pkg-config (libhwy); the active conda
%   environment (CONDA_PREFIX); vcpkg's installed tree (VCPKG_ROOT); the
%   Homebrew prefixes /opt/homebrew and /usr/local. A static libhwy is
%   linked into the module; a shared one is found at run time through the
%   module's run path (on Windows, hwy.dll is copied next to the module).
%   The build prints which kernel it built and which Highway it used;
%   without Highway it says how to install it.
%
%   Floating point: no contraction into fused multiply-adds and no
%   fast-math, so that images are the same bit for bit on every machine
%   and thread count. OpenMP, per platform and compiler:
%     Linux,   GCC or Clang     -fopenmp; linked with -z nodelete
%     Windows, MSVC             /openmp (OpenMP 2.0)
%     Windows, MinGW-w64        -fopenmp, linked with -static in MATLAB, so
%                               the module needs no libgomp, libstdc++ or
%                               libgcc DLL (Octave ships those itself)
%     macOS,   Apple clang      -Xpreprocessor -fopenmp with the omp.h of
%                               LLVM's libomp (brew install libomp, or set
%                               LIBOMP_PREFIX). MATLAB links its own OpenMP
%                               runtime: libomp on Apple silicon, libiomp5
%                               on Intel Macs; Octave links libomp.
%
%   The module locks itself at its first call (mexLock): clear mex leaves
%   it loaded, because unloading it under the OpenMP runtime's worker
%   threads can crash MATLAB. To use a module rebuilt in the same folder,
%   restart MATLAB or Octave; on Windows, build before calling tofimage.
%
%   Before the first build in MATLAB, choose a C++ compiler: mex -setup C++
%
%   Example:
%       build_tofimage                  % then tofimage is ready to call
%       help tofimage
%
%   See also TOFIMAGE.

here = fileparts(mfilename('fullpath'));
if nargin < 1 || isempty(outdir)
  outdir = here;
end
if nargin < 2
  hwy = '';
end
if ~exist(outdir, 'dir')
  mkdir(outdir);
end
srcdir = fullfile(here, '..', 'src');
names = {'tofimage', 'tofimage_frames'};
sources = [cellfun(@(f) fullfile(srcdir, [f '.cpp']), names, 'UniformOutput', false), ...
           {fullfile(srcdir, 'recon.cpp')}];
for k = 1:numel(sources)
  if ~exist(sources{k}, 'file')
    error('build_tofimage: source file %s not found', sources{k});
  end
end
octave = exist('OCTAVE_VERSION', 'builtin') ~= 0;
mingw = ispc() && (octave || matlab_uses_mingw());

h = find_highway(hwy, mingw);
if ~isempty(h)
  simd = dir(fullfile(srcdir, 'recon_simd*.cpp'));
  sources = [sources, cellfun(@(f) fullfile(srcdir, f), {simd.name}, 'UniformOutput', false)];
end
fpflags = '-fno-fast-math -ffp-contract=off -fno-math-errno';
modules = cellfun(@(f) fullfile(outdir, [f '.' mexext()]), names, 'UniformOutput', false);
module = modules{1};
was_locked = module_locked(names);

try
  % Each module: its own entry point and the engine.
  for k = 1:numel(names)
    own = [sources(k), sources(numel(names) + 1:end)];
    if octave
      build_octave(modules{k}, srcdir, own, fpflags, h);
    else
      build_matlab(outdir, names{k}, srcdir, own, fpflags, h, mingw);
    end
  end
catch err
  if was_locked && ispc()
    error(['build_tofimage: %s\nA module loaded in this session stays loaded, and Windows keeps ' ...
           'its file open: restart MATLAB, then run build_tofimage before calling tofimage.'], ...
          err.message);
  end
  rethrow(err);
end
if ~isempty(h) && ~isempty(h.dll)
  copyfile(h.dll, outdir);
end
% A module of the same name that is not loaded yet is picked up at the
% next call; one that is loaded (and locked) stays until the session ends.
clear(names{:});

built = strjoin(modules, ' and ');
if isempty(h)
  kernel = 'scalar';
  if strcmpi(hwy, 'none')
    fprintf('build_tofimage: built %s with the scalar kernel only, as asked\n', built);
  else
    fprintf('build_tofimage: built %s with the scalar kernel only: Highway not found.\n%s\n', ...
            built, install_hint());
  end
else
  kernel = 'vector';
  fprintf('build_tofimage: built %s with the vector kernel (Highway %s from %s: %s, %s)\n', ...
          built, h.version, h.source, h.include, h.linkage);
end
if was_locked
  fprintf(['build_tofimage: a module was already loaded in this session and stays loaded; ' ...
           'restart to use the new build.\n']);
end
if nargout > 0
  info = struct('module', module, 'modules', {modules}, 'kernel', kernel, 'highway', h);
end
end

% ------------------------------------------------------------------ builds

function build_octave(module, srcdir, sources, fpflags, h)
% mkoctfile takes compiler flags from its configuration variables, which the
% environment overrides; the previous values come back afterwards.
cxxflags = strtrim(mkoctfile('-p', 'CXXFLAGS'));
ldflags = strtrim(mkoctfile('-p', 'LDFLAGS'));
oldcxx = getenv('CXXFLAGS');
oldld = getenv('LDFLAGS');
restore = onCleanup(@() restore_env(oldcxx, oldld));

extra = {};
if ismac()
  prefix = libomp_prefix();
  ompflags = ['-Xpreprocessor -fopenmp -I' prefix '/include'];
  extra = {['-L' prefix '/lib'], '-lomp', ['-Wl,-rpath,' prefix '/lib']};
elseif ispc()
  % Octave's MinGW: its own libgomp and libstdc++ DLLs are loaded with it.
  ompflags = '-fopenmp';
  ldflags = [ldflags ' -fopenmp'];
else
  ompflags = '-fopenmp';
  ldflags = [ldflags ' -fopenmp'];
  extra = {'-Wl,-z,nodelete'};
end
setenv('CXXFLAGS', [cxxflags ' -std=c++17 -O2 ' ompflags ' ' fpflags]);
setenv('LDFLAGS', ldflags);

[hcompile, hlink, rpath] = highway_flags(h, false);
if ~isempty(rpath)
  extra{end + 1} = rpath;
end
[out, status] = mkoctfile('--mex', '-o', module, ['-I' srcdir], hcompile{:}, ...
                          sources{:}, hlink{:}, extra{:});
if status ~= 0
  error('build_tofimage: mkoctfile failed:\n%s', out);
end
end

function build_matlab(outdir, name, srcdir, sources, fpflags, h, mingw)
cc = mex.getCompilerConfigurations('C++', 'Selected');
if isempty(cc)
  error('build_tofimage: no C++ compiler selected; run  mex -setup C++  first');
end
args = {'-R2017b', '-O', '-outdir', outdir, '-output', name, ['-I' srcdir]};
[hcompile, hlink, rpath] = highway_flags(h, ispc() && ~mingw);
if ~isempty(rpath)
  rpath = [' ' rpath];
end
if ispc() && mingw
  % -static: libgomp, libstdc++, libgcc and winpthread go into the module,
  % which then needs no DLL of MinGW's beside it. MinGW's linker has no
  % -z nodelete; the module's lock keeps it loaded.
  args = [args, {['CXXFLAGS=$CXXFLAGS -std=c++17 -fopenmp ' fpflags], ...
                 'LDFLAGS=$LDFLAGS -fopenmp -static'}];
elseif ispc()
  % MSVC: /fp:precise rounds every operation as written; src/recon.h turns
  % contraction off for versions that would contract under it.
  args = [args, {'COMPFLAGS=$COMPFLAGS /std:c++17 /openmp /fp:precise'}];
elseif ismac()
  % One OpenMP runtime per process: MATLAB's own (libomp on Apple silicon,
  % libiomp5 on Intel Macs), with only the header taken from Homebrew's
  % libomp. A second runtime aborts with "OMP: Error #15".
  prefix = libomp_prefix();
  [ompdir, ompname] = matlab_openmp();
  args = [args, {['CXXFLAGS=$CXXFLAGS -std=c++17 -Xpreprocessor -fopenmp ' fpflags], ...
                 ['-I' prefix '/include'], ['-L' ompdir], ['-l' ompname], ...
                 ['LDFLAGS=$LDFLAGS -Wl,-rpath,' ompdir rpath]}];
else
  args = [args, {['CXXFLAGS=$CXXFLAGS -std=c++17 -fopenmp ' fpflags], ...
                 ['LDFLAGS=$LDFLAGS -fopenmp -Wl,-z,nodelete' rpath]}];
end
mex(args{:}, hcompile{:}, sources{:}, hlink{:});
end

function [ompdir, name] = matlab_openmp()
% MATLAB's OpenMP runtime on macOS: libomp on Apple silicon (maca64),
% Intel's libiomp5 on Intel Macs (maci64).
arch = computer('arch');
if strcmp(arch, 'maca64')
  lib = 'omp';
else
  lib = 'iomp5';
end
dirs = {fullfile(matlabroot, 'bin', arch), fullfile(matlabroot, 'sys', 'os', arch)};
for k = 1:numel(dirs)
  if exist(fullfile(dirs{k}, ['lib' lib '.dylib']), 'file')
    ompdir = dirs{k};
    name = lib;
    return;
  end
end
error('build_tofimage: MATLAB''s OpenMP runtime lib%s.dylib not found in %s or %s', ...
      lib, dirs{:});
end

function tf = matlab_uses_mingw()
cc = mex.getCompilerConfigurations('C++', 'Selected');
tf = ~isempty(cc) && ~isempty(strfind(lower([cc.ShortName ' ' cc.Name]), 'mingw'));
end

% ----------------------------------------------------------------- Highway

function h = find_highway(hwy, mingw)
% Highway as a struct (source, version, include, libdir, lib, static,
% linkage, dll), or [] when none is found or the scalar kernel is asked for.
h = [];
if strcmpi(hwy, 'none')
  return;
end
explicit = {hwy, 'argument'; getenv('HWY_ROOT'), 'HWY_ROOT'};
for k = 1:2
  if ~isempty(explicit{k, 1})
    h = highway_at(explicit{k, 1}, explicit{k, 2}, mingw);
    if isempty(h)
      error('build_tofimage: no Highway 1.0 or later in %s (%s): no include/hwy/highway.h or libhwy', ...
            explicit{k, 1}, explicit{k, 2});
    end
    return;
  end
end
h = highway_from_pkgconfig(mingw);
if ~isempty(h)
  return;
end
candidates = {};
conda = getenv('CONDA_PREFIX');
if ~isempty(conda)
  candidates(end + 1, :) = {conda, 'conda'};
  candidates(end + 1, :) = {fullfile(conda, 'Library'), 'conda'};
end
for root = {getenv('VCPKG_ROOT'), getenv('VCPKG_INSTALLATION_ROOT')}
  if ~isempty(root{1})
    for t = vcpkg_triplets(mingw)
      candidates(end + 1, :) = {fullfile(root{1}, 'installed', t{1}), ['vcpkg ' t{1}]};
    end
  end
end
if ~ispc()
  % MATLAB started from the Dock or a desktop menu has no Homebrew on its PATH.
  candidates(end + 1, :) = {'/opt/homebrew', 'Homebrew'};
  candidates(end + 1, :) = {'/usr/local', '/usr/local'};
  if ~ismac()
    candidates(end + 1, :) = {'/usr', 'the system'};
  end
end
for k = 1:size(candidates, 1)
  h = highway_at(candidates{k, 1}, candidates{k, 2}, mingw);
  if ~isempty(h)
    return;
  end
end
end

function triplets = vcpkg_triplets(mingw)
% MEX files use the dynamic C runtime (/MD): a static Highway built for it
% (x64-windows-static-md) first, then the DLL build.
if ispc() && mingw
  triplets = {'x64-mingw-static', 'x64-mingw-dynamic'};
elseif ispc()
  triplets = {'x64-windows-static-md', 'x64-windows'};
elseif ismac() && is_arm()
  triplets = {'arm64-osx', 'arm64-osx-dynamic'};
elseif ismac()
  triplets = {'x64-osx', 'x64-osx-dynamic'};
elseif is_arm()
  triplets = {'arm64-linux', 'arm64-linux-dynamic'};
else
  triplets = {'x64-linux', 'x64-linux-dynamic'};
end
end

function tf = is_arm()
% MATLAB's computer() says MACA64 on Apple silicon; Octave's gives the
% host triplet (aarch64-..., arm64-...).
tf = ~isempty(regexpi(computer(), '^(maca64|aarch64|arm64)', 'once'));
end

function h = highway_from_pkgconfig(mingw)
h = [];
if ispc()
  return;
end
[status, ~] = system('pkg-config --exists "libhwy >= 1.0" 2>/dev/null');
if status ~= 0
  return;
end
[~, incdir] = system('pkg-config --variable=includedir libhwy');
[~, libdir] = system('pkg-config --variable=libdir libhwy');
h = highway_files(strtrim(incdir), {strtrim(libdir)}, 'pkg-config', mingw);
end

function h = highway_at(prefix, source, mingw)
% Debian's multiarch folder of this machine only: another architecture's
% libhwy (installed for cross compiling) would not link.
if is_arm()
  multiarch = 'aarch64-linux-gnu';
else
  multiarch = 'x86_64-linux-gnu';
end
libdirs = {fullfile(prefix, 'lib'), fullfile(prefix, 'lib64'), fullfile(prefix, 'lib', multiarch)};
h = highway_files(fullfile(prefix, 'include'), libdirs, source, mingw);
end

function h = highway_files(incdir, libdirs, source, mingw)
% Highway's header (version 1.0 or later) and library, static preferred.
% On Windows a library with hwy.dll in the bin folder beside lib is the
% import library of that DLL.
h = [];
version = highway_version(fullfile(incdir, 'hwy', 'highway.h'));
if isempty(version)
  return;
end
if ispc() && ~mingw
  names = {'hwy.lib'};
elseif ispc()
  names = {'libhwy.a', 'libhwy.dll.a'};
elseif ismac()
  names = {'libhwy.a', 'libhwy.dylib'};
else
  names = {'libhwy.a', 'libhwy.so'};
end
for d = 1:numel(libdirs)
  for k = 1:numel(names)
    lib = fullfile(libdirs{d}, names{k});
    if ~exist(lib, 'file')
      continue;
    end
    dll = '';
    if ispc()
      for f = {'hwy.dll', 'libhwy.dll'}
        if exist(fullfile(libdirs{d}, '..', 'bin', f{1}), 'file')
          dll = fullfile(libdirs{d}, '..', 'bin', f{1});
        end
      end
      static = isempty(dll);
    else
      static = strcmp(names{k}, 'libhwy.a');
    end
    if static
      linkage = ['linked statically: ' lib];
    else
      linkage = ['shared library in ' libdirs{d}];
    end
    h = struct('source', source, 'version', version, 'include', incdir, ...
               'libdir', libdirs{d}, 'lib', lib, 'static', static, ...
               'linkage', linkage, 'dll', dll);
    return;
  end
end
end

function version = highway_version(header)
% 'major.minor.patch' from hwy/highway.h, or '' when absent or before 1.0.
version = '';
if ~exist(header, 'file')
  return;
end
text = fileread(header);
parts = regexp(text, '#define HWY_(MAJOR|MINOR|PATCH) (\d+)', 'tokens');
if numel(parts) < 3 || str2double(parts{1}{2}) < 1
  return;
end
version = sprintf('%s.%s.%s', parts{1}{2}, parts{2}{2}, parts{3}{2});
end

function [compile, link, rpath] = highway_flags(h, msvc)
% Compiler and linker arguments for the vector kernel; rpath is the linker
% flag that lets the loader find a shared libhwy outside the system folders.
compile = {};
link = {};
rpath = '';
if isempty(h)
  return;
end
compile = {'-DTOFIMAGE_HAVE_HWY'};
if ~is_system_dir(h.include)
  compile{end + 1} = ['-I' h.include];
end
if h.static || msvc
  link = {h.lib};
else
  link = {['-L' h.libdir], '-lhwy'};
end
if ~h.static && ispc()
  compile{end + 1} = '-DHWY_SHARED_DEFINE';   % Highway's functions come from its DLL
end
if ~h.static && ~ispc() && ~is_system_dir(h.libdir)
  rpath = ['-Wl,-rpath,' h.libdir];
end
end

function tf = is_system_dir(d)
% Folders the compiler and the loader search anyway; -I/usr/include would
% also break the C++ library's #include_next.
tf = any(strcmp(regexprep(d, '[/\\]+$', ''), {'/usr/include', '/usr/lib', '/usr/lib64'})) || ...
     ~isempty(regexp(d, '^/usr/lib/[^/]*-linux-gnu[^/]*/?$', 'once'));
end

function text = install_hint()
if ismac()
  text = '  Install it with  brew install highway  (or conda install -c conda-forge libhwy), then build again.';
elseif ispc()
  text = ['  Install it with  vcpkg install highway:x64-windows-static-md  (MSVC) or ' ...
          'highway:x64-mingw-static  (MinGW) and set VCPKG_ROOT, or conda install -c conda-forge libhwy; then build again.'];
else
  text = ['  Install it with  sudo apt-get install libhwy-dev  (Debian, Ubuntu), ' ...
          'sudo dnf install highway-devel  (Fedora) or conda install -c conda-forge libhwy; then build again.'];
end
end

% ------------------------------------------------------------------ helpers

function tf = module_locked(names)
% True when one of the modules is loaded in this session and has locked
% itself (see tofimage.cpp); such a module is not replaced until restart.
tf = false;
for k = 1:numel(names)
  try
    tf = tf || mislocked(names{k});
  catch
  end
end
end

function prefix = libomp_prefix()
% Where LLVM's libomp lives on macOS: LIBOMP_PREFIX, else Homebrew's usual
% places (Apple silicon, then Intel).
prefix = getenv('LIBOMP_PREFIX');
candidates = {prefix, '/opt/homebrew/opt/libomp', '/usr/local/opt/libomp'};
for k = 1:numel(candidates)
  if ~isempty(candidates{k}) && exist(fullfile(candidates{k}, 'include', 'omp.h'), 'file')
    prefix = candidates{k};
    return;
  end
end
error(['build_tofimage: OpenMP (libomp) not found; install it with  brew install libomp  ' ...
       'or set the environment variable LIBOMP_PREFIX to its folder']);
end

function restore_env(oldcxx, oldld)
names = {'CXXFLAGS', 'LDFLAGS'};
values = {oldcxx, oldld};
for k = 1:2
  if isempty(values{k})
    unsetenv(names{k});
  else
    setenv(names{k}, values{k});
  end
end
end
