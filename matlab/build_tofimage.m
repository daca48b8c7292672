function build_tofimage(outdir)
%BUILD_TOFIMAGE  Compile the tofimage MEX module, in MATLAB or GNU Octave.
%
%   build_tofimage            builds tofimage.<mexext> into the folder of
%                             this script, next to the help file tofimage.m
%   build_tofimage(outdir)    builds it into outdir (created if missing)
%
%   Compiles ../src/tofimage.cpp (the MATLAB entry point) and ../src/recon.cpp
%   (the reconstruction engine with its scalar kernel) into one module:
%     MATLAB  mex, with the separate-complex C API (-R2017b)
%     Octave  mkoctfile --mex
%   The optional vector kernel needs the Highway library and is built only
%   by CMake (`make`, which writes build/tofimage.mex for Octave).
%
%   Floating point: no contraction into fused multiply-adds and no
%   fast-math, so that images are the same bit for bit on every machine
%   and thread count. OpenMP, per platform and compiler:
%     Linux,   GCC or Clang     -fopenmp (GCC's libgomp or LLVM's libomp);
%                               the module is linked with -z nodelete so
%                               that `clear mex` never unmaps the OpenMP
%                               runtime under its idle worker threads
%     Windows, MSVC             /openmp
%     Windows, MinGW-w64        -fopenmp
%     macOS,   Apple clang      -Xpreprocessor -fopenmp with the omp.h of
%                               LLVM's libomp (brew install libomp, or set
%                               the environment variable LIBOMP_PREFIX);
%                               MATLAB links its own libiomp5 when present,
%                               else libomp
%
%   Before the first build in MATLAB, choose a C++ compiler: mex -setup C++
%   On Linux a module once loaded stays loaded for the session: after
%   rebuilding it in the same folder, restart MATLAB or Octave.
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
if ~exist(outdir, 'dir')
  mkdir(outdir);
end
srcdir = fullfile(here, '..', 'src');
sources = {fullfile(srcdir, 'tofimage.cpp'), fullfile(srcdir, 'recon.cpp')};
for k = 1:numel(sources)
  if ~exist(sources{k}, 'file')
    error('build_tofimage: source file %s not found', sources{k});
  end
end
fpflags = '-fno-fast-math -ffp-contract=off -fno-math-errno';

if exist('OCTAVE_VERSION', 'builtin')
  build_octave(outdir, srcdir, sources, fpflags);
else
  build_matlab(outdir, srcdir, sources, fpflags);
end
% A module of the same name that is already loaded is replaced at the next
% call.
clear('tofimage');
fprintf('build_tofimage: built %s\n', fullfile(outdir, ['tofimage.' mexext()]));
end

function build_octave(outdir, srcdir, sources, fpflags)
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
  ompflags = '-fopenmp';
  ldflags = [ldflags ' -fopenmp'];
else
  ompflags = '-fopenmp';
  ldflags = [ldflags ' -fopenmp'];
  extra = {'-Wl,-z,nodelete'};
end
setenv('CXXFLAGS', [cxxflags ' -std=c++17 -O2 ' ompflags ' ' fpflags]);
setenv('LDFLAGS', ldflags);

[out, status] = mkoctfile('--mex', '-o', fullfile(outdir, 'tofimage.mex'), ...
                          ['-I' srcdir], extra{:}, sources{:});
if status ~= 0
  error('build_tofimage: mkoctfile failed:\n%s', out);
end
end

function build_matlab(outdir, srcdir, sources, fpflags)
cc = mex.getCompilerConfigurations('C++', 'Selected');
if isempty(cc)
  error('build_tofimage: no C++ compiler selected; run  mex -setup C++  first');
end
args = {'-R2017b', '-O', '-outdir', outdir, '-output', 'tofimage', ['-I' srcdir]};
if ispc()
  if ~isempty(strfind(lower([cc.ShortName ' ' cc.Name]), 'mingw'))
    args = [args, {['CXXFLAGS=$CXXFLAGS -std=c++17 -fopenmp ' fpflags], ...
                   'LDFLAGS=$LDFLAGS -fopenmp'}];
  else
    % MSVC: /fp:precise rounds every operation as written.
    args = [args, {'COMPFLAGS=$COMPFLAGS /std:c++17 /openmp /fp:precise'}];
  end
elseif ismac()
  prefix = libomp_prefix();
  args = [args, {['CXXFLAGS=$CXXFLAGS -std=c++17 -Xpreprocessor -fopenmp ' fpflags], ...
                 ['-I' prefix '/include']}];
  % MATLAB's own OpenMP runtime stays loaded for the whole session, so
  % unloading the module never unmaps it; libomp is the fallback.
  iompdir = fullfile(matlabroot, 'sys', 'os', computer('arch'));
  if exist(fullfile(iompdir, 'libiomp5.dylib'), 'file')
    args = [args, {['-L' iompdir], '-liomp5'}];
  else
    args = [args, {['-L' prefix '/lib'], '-lomp', ...
                   ['LDFLAGS=$LDFLAGS -Wl,-rpath,' prefix '/lib']}];
  end
else
  args = [args, {['CXXFLAGS=$CXXFLAGS -std=c++17 -fopenmp ' fpflags], ...
                 'LDFLAGS=$LDFLAGS -fopenmp -Wl,-z,nodelete'}];
end
mex(args{:}, sources{:});
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
