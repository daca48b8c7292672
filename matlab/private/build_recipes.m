function [r, rows] = build_recipes(p, e)
%BUILD_RECIPES  How the modules are built, one row per host, system and
%   compiler: the compiler's and linker's flags, extra arguments, the OpenMP
%   runtime the modules use, where Highway's libraries and vcpkg's triplets
%   are and how to install it. build_recipes() returns the table (the help's
%   build_tofimage -platforms prints it); build_recipes(p, e) the row of the
%   platform p with its place-holders filled in: <fp> (e.fp or e.fp_msvc,
%   from src/engine.txt), <libomp> (LLVM's libomp on macOS), <ompdir> and
%   <omplib> (MATLAB's OpenMP runtime on macOS), <vcpkg> (arm64 or x64).
%   MATLAB's rows go to mex as CXXFLAGS (COMPFLAGS for Visual C++) and
%   LDFLAGS; Octave's to mkoctfile through the environment, after its own.
f = {'host', 'os', 'compilers', 'label', 'openmp', 'cxxflags', 'ldflags', 'args', ...
     'hwy_libs', 'triplets', 'install', 'why'};
unix_libs = {'libhwy.a', 'libhwy.so'};
mac_libs = {'libhwy.a', 'libhwy.dylib'};
mingw_libs = {'libhwy.a', 'libhwy.dll.a'};
linux_triplets = {'<vcpkg>-linux', '<vcpkg>-linux-dynamic'};
mac_triplets = {'<vcpkg>-osx', '<vcpkg>-osx-dynamic'};
mingw_triplets = {'x64-mingw-static', 'x64-mingw-dynamic'};
apt = ['sudo apt-get install libhwy-dev  (Debian, Ubuntu), sudo dnf install highway-devel  (Fedora) ' ...
       'or conda install -c conda-forge libhwy'];
brew = 'brew install highway  (or conda install -c conda-forge libhwy)';
vcpkg = ['vcpkg install highway:x64-windows-static-md  (MSVC) or highway:x64-mingw-static  (MinGW) ' ...
         'and set VCPKG_ROOT, or conda install -c conda-forge libhwy'];
recipes = {
  'matlab', 'linux', {'gcc', 'clang'}, 'GCC or Clang', '-fopenmp, the compiler''s runtime (libgomp for GCC, libomp for Clang)', ...
    '-std=c++17 -fopenmp <fp>', ...
    '-fopenmp -Wl,-z,nodelete -static-libstdc++ -static-libgcc -Wl,--exclude-libs,ALL', {}, ...
    unix_libs, linux_triplets, apt, ...
    ['MATLAB loads the modules with its own libstdc++, older than a current compiler''s ' ...
     '("GLIBCXX_3.4.32 not found"): the C++ runtime goes into the modules, private to them; ' ...
     'OpenMP stays shared (one runtime in the process) and loaded (-z nodelete)']
  'matlab', 'windows', {'mingw'}, 'MinGW-w64', '-fopenmp, libgomp linked into the modules (-static)', ...
    '-std=c++17 -fopenmp <fp>', '-fopenmp -static', {}, mingw_libs, mingw_triplets, vcpkg, ...
    ['-static: libgomp, libstdc++, libgcc and winpthread go into the modules, which need no DLL ' ...
     'of MinGW''s beside them; -Wa,-muse-unaligned-vector-move where the assembler has it ' ...
     '(binutils 2.38), else no AVX2 and AVX-512 (GCC bug 54412)']
  'matlab', 'windows', {'msvc'}, 'Visual Studio', '/openmp, Visual C++''s vcomp140.dll (OpenMP 2.0)', ...
    '/std:c++17 /openmp <fp>', '', {}, {'hwy.lib'}, {'x64-windows-static-md', 'x64-windows'}, vcpkg, ...
    'MEX files use the dynamic C runtime (/MD): a static Highway built for it first'
  'matlab', 'mac', {'clang', 'gcc'}, 'Apple clang', 'MATLAB''s own <ompdir>/lib<omplib>.dylib (omp.h from <libomp>)', ...
    '-std=c++17 -Xpreprocessor -fopenmp <fp>', '-Wl,-rpath,<ompdir>', ...
    {'-I<libomp>/include', '-L<ompdir>', '-l<omplib>'}, mac_libs, mac_triplets, brew, ...
    ['one OpenMP runtime per process ("OMP: Error #15"): MATLAB''s own (libomp on Apple silicon, ' ...
     'libiomp5 on Intel Macs), with only omp.h from LLVM''s libomp (brew install libomp, or set LIBOMP_PREFIX)']
  'octave', 'linux', {'gcc', 'clang'}, 'GCC or Clang', '-fopenmp, the compiler''s runtime (libgomp for GCC, libomp for Clang)', ...
    '-std=c++17 -O2 -g0 -fopenmp <fp>', '-fopenmp', {'-Wl,-z,nodelete'}, unix_libs, linux_triplets, apt, ...
    ['-g0: mkoctfile''s flags ask for debug information, a twentieth of the size without; ' ...
     'the OpenMP runtime stays loaded (-z nodelete)']
  'octave', 'windows', {'mingw'}, 'MinGW-w64', '-fopenmp, Octave''s own libgomp', ...
    '-std=c++17 -O2 -g0 -fopenmp <fp>', '-fopenmp', {}, mingw_libs, mingw_triplets, vcpkg, ...
    'Octave loads its own libgomp and libstdc++ DLLs'
  'octave', 'mac', {'clang', 'gcc'}, 'Apple clang', 'LLVM''s libomp from <libomp>', ...
    '-std=c++17 -O2 -g0 -Xpreprocessor -fopenmp -I<libomp>/include <fp>', '', ...
    {'-L<libomp>/lib', '-lomp', '-Wl,-rpath,<libomp>/lib'}, mac_libs, mac_triplets, brew, ...
    'LLVM''s libomp (brew install libomp, or set LIBOMP_PREFIX)'
};
rows = cell2struct(recipes, f, 2);
r = [];
if nargin == 0
  return;
end
for k = 1:numel(rows)
  if strcmp(rows(k).host, p.host) && strcmp(rows(k).os, p.os) && any(strcmp(rows(k).compilers, p.compiler))
    r = fill(rows(k), p, e);
    return;
  end
end
error('build_tofimage: no recipe for %s on %s with %s; build_tofimage -platforms lists those known', ...
      p.host, p.os, p.compiler_label);
end

function r = fill(r, p, e)
% The row with its place-holders replaced; MATLAB's and LLVM's OpenMP
% folders are looked for only by the rows that name them.
fp = e.fp;
if strcmp(p.compiler, 'msvc')
  fp = e.fp_msvc;
end
values = {'<fp>', strjoin(fp, ' '); '<vcpkg>', 'x64'};
if p.arm
  values{2, 2} = 'arm64';
end
text = [{r.openmp, r.cxxflags, r.ldflags}, r.args];
if any(~cellfun(@isempty, strfind(text, '<libomp>')))
  values(end + 1, :) = {'<libomp>', libomp_prefix(p)};
end
if any(~cellfun(@isempty, strfind(text, '<ompdir>')))
  [ompdir, name] = matlab_openmp(p);
  values(end + 1:end + 2, :) = {'<ompdir>', ompdir; '<omplib>', name};
end
for f = {'openmp', 'cxxflags', 'ldflags', 'args', 'triplets'}
  for k = 1:size(values, 1)
    r.(f{1}) = strrep(r.(f{1}), values{k, 1}, values{k, 2});
  end
end
end

function prefix = libomp_prefix(p)
% Where LLVM's libomp lives on macOS: LIBOMP_PREFIX, else Homebrew's prefix
% for this architecture (Apple silicon: /opt/homebrew, Intel: /usr/local).
prefix = getenv('LIBOMP_PREFIX');
if p.arm
  brew = '/opt/homebrew/opt/libomp';
else
  brew = '/usr/local/opt/libomp';
end
candidates = {prefix, brew};
for k = 1:numel(candidates)
  if ~isempty(candidates{k}) && exist(fullfile(candidates{k}, 'include', 'omp.h'), 'file')
    prefix = candidates{k};
    return;
  end
end
if p.dry_run
  prefix = brew;
  return;
end
error(['build_tofimage: OpenMP (libomp) not found in %s; install it with  brew install libomp  ' ...
       'or set the environment variable LIBOMP_PREFIX to its folder'], brew);
end

function [ompdir, name] = matlab_openmp(p)
% MATLAB's OpenMP runtime on macOS: libomp on Apple silicon (maca64),
% Intel's libiomp5 on Intel Macs (maci64). MathWorks does not document
% which runtime a release ships, nor where: the other name is taken too
% when the expected one is absent, and the build report says which it
% linked.
libs = {'iomp5', 'omp'};
if p.arm
  libs = fliplr(libs);
end
dirs = {fullfile(matlabroot, 'bin', p.arch), fullfile(matlabroot, 'sys', 'os', p.arch)};
for n = 1:numel(libs)
  for k = 1:numel(dirs)
    if exist(fullfile(dirs{k}, ['lib' libs{n} '.dylib']), 'file')
      ompdir = dirs{k};
      name = libs{n};
      return;
    end
  end
end
if p.dry_run
  ompdir = dirs{1};
  name = libs{1};
  return;
end
present = {};
for k = 1:numel(dirs)
  found = dir(fullfile(dirs{k}, '*omp*.dylib'));
  present = [present, cellfun(@(f) fullfile(dirs{k}, f), {found.name}, 'UniformOutput', false)];
end
if isempty(present)
  present = {'none'};
end
error(['build_tofimage: MATLAB''s OpenMP runtime (lib%s.dylib or lib%s.dylib) not found in %s or %s; ' ...
       'OpenMP libraries there: %s'], libs{:}, dirs{:}, strjoin(present, ', '));
end
