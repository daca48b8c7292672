function info = build_tofimage(outdir, hwy, opts)
%BUILD_TOFIMAGE  Compile the tofimage MEX modules, in MATLAB or GNU Octave.
%
%   build_tofimage              builds tofimage.<mexext>,
%                               tofimage_frames.<mexext> (stacks of frames),
%                               tofimage_beamform.<mexext> (the general
%                               beamformer) and tofimage_autofocus_search.<mexext>
%                               (the search of tofimage_autofocus) into the
%                               folder of this script, next to their help files
%   build_tofimage(outdir)      builds them into outdir (created if missing),
%                               with copies of the help files and of
%                               tofimage_grid.m, so that outdir alone on the
%                               path is enough
%   build_tofimage(outdir, hwy) takes Highway from the folder hwy (with
%                               include/hwy/highway.h and lib/), or builds
%                               the scalar kernel only when hwy is 'none'
%   info = build_tofimage(...)  also returns what was built: the path of
%                               tofimage's module, the paths of all
%                               (modules), their kernel ('vector' or
%                               'scalar'), where Highway came from, the
%                               notes of the build report, the warning
%                               of a fallback and the facts it detected
%                               (facts: host, os, arch, mexext, compiler,
%                               compiler_name, compiler_version, openmp)
%   build_tofimage(outdir, hwy, opts)  with opts.dry_run = true only decides:
%                               info.commands holds the compiler calls that
%                               would run, one per module. Other fields of
%                               opts stand in for what is otherwise detected
%                               (os, arch, matlab, compiler,
%                               compiler_version, cxx, matlab_version,
%                               matlab_libstdcxx), to check the decisions
%                               made for other platforms
%
%   Compiles each module's entry point (../src/tofimage.cpp,
%   ../src/tofimage_frames.cpp, ../src/tofimage_beamform.cpp,
%   ../src/tofimage_autofocus_search.cpp) with ../src/recon.cpp,
%   ../src/recon_beamform.cpp and ../src/recon_autofocus.cpp (the engine and
%   its scalar kernels) and, when Google Highway (1.0 or later) is found, the
%   vector kernel ../src/recon_simd*.cpp, which is many times faster and
%   gives the same image:
%     MATLAB  mex, with the separate-complex C API (-R2017b)
%     Octave  mkoctfile --mex, without the debug information (-g) that
%             mkoctfile's flags ask for (a twentieth of the size)
%   Highway is looked for, in this order, in: the folder hwy or the
%   environment variable HWY_ROOT; pkg-config (libhwy); the active conda
%   environment (CONDA_PREFIX); vcpkg's installed tree (VCPKG_ROOT); the
%   Homebrew prefix of MATLAB's architecture (/opt/homebrew for maca64,
%   /usr/local for maci64). A static libhwy is preferred and linked into
%   the modules; a shared one is found at run time through the modules' run
%   path (on Windows, hwy.dll is copied next to the modules when it
%   changed). The build first prints what it detected: the host and its
%   architecture (computer('arch')), the C++ compiler (in MATLAB, the one
%   mex.getCompilerConfigurations reports as selected) and the OpenMP
%   runtime the modules will use. It then prints which kernel it built and
%   which libhwy it linked, and why; without Highway it says how to install
%   it. When the vector kernel does not compile or link with the Highway
%   found, all modules are built again with the scalar kernel, with a
%   warning that quotes the compiler's first error.
%
%   Needs MATLAB R2018a or later (or GNU Octave) and a C++17 compiler: GCC 7,
%   Clang 5 or Visual Studio 2017 or later.
%
%   Floating point: no contraction into fused multiply-adds and no
%   fast-math, so that images are the same bit for bit on every machine
%   and thread count. OpenMP, per platform and compiler:
%     Linux,   GCC or Clang     -fopenmp; linked with -z nodelete, and in
%                               MATLAB with the C++ runtime linked into the
%                               modules (-static-libstdc++ -static-libgcc,
%                               its symbols kept private), so that they need
%                               no newer libstdc++ than MATLAB's own
%     Windows, MSVC             /openmp (OpenMP 2.0)
%     Windows, MinGW-w64        -fopenmp, linked with -static in MATLAB, so
%                               the module needs no libgomp, libstdc++ or
%                               libgcc DLL (Octave ships those itself);
%                               -Wa,-muse-unaligned-vector-move where the
%                               assembler has it (binutils 2.38), else
%                               without Highway's AVX2 and AVX-512 targets
%     macOS,   Apple clang      -Xpreprocessor -fopenmp with the omp.h of
%                               LLVM's libomp (brew install libomp, or set
%                               LIBOMP_PREFIX). MATLAB links its own OpenMP
%                               runtime: libomp on Apple silicon, libiomp5
%                               on Intel Macs; Octave links libomp.
%
%   Each module locks itself at its first call (mexLock): clear mex leaves
%   it loaded, because unloading it under the OpenMP runtime's worker
%   threads can crash MATLAB. Do not munlock it: to use a module rebuilt in
%   the same folder, restart MATLAB or Octave; on Windows, build before
%   calling tofimage or tofimage_frames.
%
%   Before the first build in MATLAB, choose a C++ compiler: mex -setup C++
%
%   Example:
%       build_tofimage                  % then tofimage is ready to call
%       help tofimage
%
%   See also TOFIMAGE, TOFIMAGE_FRAMES, TOFIMAGE_BEAMFORM.

here = fileparts(mfilename('fullpath'));
if nargin < 1 || isempty(outdir)
  outdir = here;
end
if nargin < 2
  hwy = '';
end
if nargin < 3
  opts = struct();
end
p = platform_facts(opts);
facts = report_facts(p);
check_versions(p);
if ~p.dry_run && ~exist(outdir, 'dir')
  mkdir(outdir);
end
srcdir = fullfile(here, '..', 'src');
% The modules: each is its entry point (src/<name>.cpp) and the engine.
names = {'tofimage', 'tofimage_frames', 'tofimage_beamform', 'tofimage_autofocus_search'};
entries = cellfun(@(f) fullfile(srcdir, [f '.cpp']), names, 'UniformOutput', false);
base = {fullfile(srcdir, 'recon.cpp'), fullfile(srcdir, 'recon_beamform.cpp'), ...
        fullfile(srcdir, 'recon_autofocus.cpp')};
checked = [entries, base];
for k = 1:numel(checked)
  if ~exist(checked{k}, 'file')
    error('build_tofimage: source file %s not found', checked{k});
  end
end

[h, searched] = find_highway(hwy, p);
modules = cellfun(@(f) fullfile(outdir, [f '.' p.mexext]), names, 'UniformOutput', false);
module = modules{1};
was_locked = ~p.dry_run && module_locked(names);
commands = {};
fallback = '';

% The vector kernel first; when it does not compile or link with this
% Highway (another compiler's library, an unusual build, an old compiler),
% the scalar kernel still gives working modules. All modules get the same
% kernel: a failure in any builds all again.
if ~isempty(h) && ~p.dry_run
  fprintf('build_tofimage: compiling the vector kernel into the modules, about a minute ...\n');
end
try
  if ~isempty(h)
    [commands, h] = build_modules(p, names, modules, outdir, srcdir, entries, with_simd(base, srcdir), h);
  else
    commands = build_modules(p, names, modules, outdir, srcdir, entries, base, []);
  end
catch err
  if isempty(h)
    locked_hint(err, was_locked, p);
  end
  fallback = sprintf(['build_tofimage: the vector kernel did not build with Highway %s from %s ' ...
                      '(%s); built the scalar kernel instead (same image, many times slower).\n' ...
                      '  First error: %s\n' ...
                      '  For the fast kernel, install Highway built with this compiler (%s), ' ...
                      'or point HWY_ROOT at such a build, then build again.'], ...
                     h.version, h.source, h.include, first_error(err.message), compiler_label(p));
  h = [];
  try
    commands = build_modules(p, names, modules, outdir, srcdir, entries, base, []);
  catch err2
    locked_hint(err2, was_locked, p);
  end
  warning('build_tofimage:scalarFallback', '%s', fallback);
end
notes = {};
if ~isempty(h)
  notes = highway_notes(h, p);
  if ~isempty(h.dll)
    notes{end + 1} = copy_dll(h.dll, outdir, p);
  end
end
if ~p.dry_run && ~p.octave && p.linux
  notes{end + 1} = libstdcxx_note(p, modules);
end
if ~p.dry_run
  copied = copy_user_files(here, outdir);
  % A module of the same name that is not loaded yet is picked up at the
  % next call; one that is loaded (and locked) stays until the session ends.
  clear(names{:});
end

if isempty(h)
  kernel = 'scalar';
else
  kernel = 'vector';
end
built = strjoin(modules, ' and ');
if p.dry_run
  fprintf('build_tofimage: dry run: would build %s with the %s kernel by\n  %s\n', ...
          built, kernel, strjoin(commands, '\n  '));
elseif isempty(h)
  if ~isempty(fallback)
    fprintf('build_tofimage: built %s with the scalar kernel only (see the warning above)\n', built);
  elseif strcmpi(hwy, 'none')
    fprintf('build_tofimage: built %s with the scalar kernel only, as asked\n', built);
  else
    fprintf('build_tofimage: built %s with the scalar kernel only: Highway not found.\n%s\n', ...
            built, install_hint(p));
  end
else
  fprintf('build_tofimage: built %s with the vector kernel (Highway %s from %s: %s, %s)\n', ...
          built, h.version, h.source, h.include, h.linkage);
end
for k = 1:numel(notes)
  if ~isempty(notes{k})
    fprintf('build_tofimage: %s\n', notes{k});
  end
end
if ~p.dry_run && copied
  fprintf('build_tofimage: copied the help files and tofimage_grid.m to %s\n', outdir);
end
notes = notes(~cellfun(@isempty, notes));
if was_locked
  fprintf(['build_tofimage: a module was already loaded in this session and stays loaded; ' ...
           'restart to use the new build.\n']);
end
if nargout > 0
  info = struct('module', module, 'modules', {modules}, 'kernel', kernel, 'highway', h, 'notes', {notes}, ...
                'fallback', fallback, 'commands', {commands}, 'searched', {searched}, 'facts', facts);
end
end

function facts = report_facts(p)
% Prints what the build depends on as detected here (host, architecture,
% compiler, OpenMP runtime), before anything is checked or compiled, so
% that a failing build on an unfamiliar system says what it found.
if p.octave
  host = ['GNU Octave ' version()];
else
  host = ['MATLAB ' p.matlab_version];
end
facts = struct('host', host, 'os', p.os, 'arch', p.arch, 'mexext', p.mexext, ...
               'compiler', p.compiler, 'compiler_name', p.compiler_name, ...
               'compiler_version', p.compiler_version, 'openmp', openmp_fact(p));
compiler = strtrim([compiler_label(p) ' ' facts.compiler_version]);
if ~isempty(facts.compiler_name)
  compiler = [compiler ', ' facts.compiler_name];
end
fprintf('build_tofimage: %s on %s, architecture %s (modules .%s); C++ compiler: %s; OpenMP: %s\n', ...
        facts.host, facts.os, facts.arch, facts.mexext, compiler, facts.openmp);
end

function copied = copy_user_files(here, outdir)
% The M-files users call besides the modules, into outdir (unless it is
% this folder): the help files, with private/call_module.m that they run
% when the module is missing or behind them on the path, and
% tofimage_grid.m. The demo's files and this script belong to the sources.
files = {'tofimage.m', 'tofimage_frames.m', 'tofimage_beamform.m', 'tofimage_grid.m', ...
         fullfile('private', 'call_module.m')};
% Whether outdir is this folder, whatever path names it (relative, through
% a link): a file made in outdir shows here. Changing the current folder
% instead would break relative entries of the path.
[~, probe] = fileparts(tempname());
probe = [probe '.probe'];
fid = fopen(fullfile(outdir, probe), 'w');
copied = true;
if fid >= 0
  fclose(fid);
  copied = ~exist(fullfile(here, probe), 'file');
  delete(fullfile(outdir, probe));
end
if ~copied
  return;
end
if ~exist(fullfile(outdir, 'private'), 'dir')
  mkdir(fullfile(outdir, 'private'));
end
for k = 1:numel(files)
  [ok, msg] = copyfile(fullfile(here, files{k}), fullfile(outdir, files{k}));
  if ~ok
    error('build_tofimage: the modules were built, but %s could not be copied to %s: %s', ...
          files{k}, outdir, msg);
  end
end
end

function sources = with_simd(base, srcdir)
simd = dir(fullfile(srcdir, 'recon_simd*.cpp'));
sources = [base, cellfun(@(f) fullfile(srcdir, f), {simd.name}, 'UniformOutput', false)];
end

function [commands, h] = build_modules(p, names, modules, outdir, srcdir, entries, engine, h)
% Each module from its entry point and the engine's sources; one command
% per module, in the order of names.
fpflags = '-fno-fast-math -ffp-contract=off -fno-math-errno';
if ~isempty(h) && p.mingw
  h = mingw_vector_flags(h, p);
end
commands = {};
for k = 1:numel(names)
  sources = [entries(k), engine];
  if p.octave
    commands = [commands, build_octave(p, modules{k}, srcdir, sources, fpflags, h)];
  else
    commands = [commands, build_matlab(p, names{k}, outdir, srcdir, sources, fpflags, h)];
  end
end
end

function locked_hint(err, was_locked, p)
% Rethrows a build error, saying what to do when Windows holds the old file.
if was_locked && p.windows
  error(['build_tofimage: %s\nA module loaded in this session stays loaded, and Windows keeps ' ...
         'its file open: restart MATLAB, then run build_tofimage before calling tofimage or ' ...
         'tofimage_frames.'], ...
        err.message);
end
rethrow(err);
end

function line = first_error(text)
% The compiler's first error line (GCC, Clang: "error:"; MSVC: "error C1234";
% the linker: "cannot find", "undefined reference"), else the message's
% first line.
lines = regexp(text, '[^\r\n]+', 'match');
line = '';
for k = 1:numel(lines)
  if ~isempty(regexpi(lines{k}, '(\<error\>|cannot find|undefined reference|unresolved external)', 'once'))
    line = strtrim(lines{k});
    return;
  end
end
if ~isempty(lines)
  line = strtrim(lines{1});
end
end

% ---------------------------------------------------------------- platform

function p = platform_facts(opts)
% What the build depends on: host, system, architecture, compiler, versions.
% Fields of opts replace what would be detected.
p.dry_run = isfield(opts, 'dry_run') && opts.dry_run;
p.octave = exist('OCTAVE_VERSION', 'builtin') ~= 0;
if isfield(opts, 'matlab')
  p.octave = ~opts.matlab;
end
if isfield(opts, 'os')
  p.os = opts.os;
elseif ispc()
  p.os = 'windows';
elseif ismac()
  p.os = 'mac';
else
  p.os = 'linux';
end
p.windows = strcmp(p.os, 'windows');
p.mac = strcmp(p.os, 'mac');
p.linux = strcmp(p.os, 'linux');
if isfield(opts, 'arch')
  p.arch = opts.arch;
else
  p.arch = computer('arch');
end
% MATLAB's computer('arch'): maca64, maci64, glnxa64, win64. Octave's
% (and computer()) names the host triplet: aarch64-..., arm64-...
p.arm = ~isempty(regexpi([p.arch ' ' computer()], '(^|\s)(maca64|aarch64|arm64)', 'once'));
if isfield(opts, 'arch')
  p.arm = ~isempty(regexpi(p.arch, '^(maca64|aarch64|arm64)', 'once'));
end
p.mexext = mexext();
if isfield(opts, 'os') && ~p.octave
  exts = struct('windows', 'mexw64', 'linux', 'mexa64', 'mac', 'mexmaci64');
  p.mexext = exts.(p.os);
  if p.mac && p.arm
    p.mexext = 'mexmaca64';
  end
end
p.matlab_version = '';
if ~p.octave
  if isfield(opts, 'matlab_version')
    p.matlab_version = opts.matlab_version;
  else
    p.matlab_version = version();
  end
end
p.matlab_libstdcxx = '';
if isfield(opts, 'matlab_libstdcxx')
  p.matlab_libstdcxx = opts.matlab_libstdcxx;
elseif ~p.octave && p.linux
  p.matlab_libstdcxx = fullfile(matlabroot, 'sys', 'os', p.arch, 'libstdc++.so.6');
end
[p.compiler, p.compiler_version, p.cxx, p.compiler_name] = compiler_facts(p, opts);
p.mingw = p.windows && strcmp(p.compiler, 'mingw');
p.msvc = p.windows && strcmp(p.compiler, 'msvc');
end

function [compiler, ver, cxx, name] = compiler_facts(p, opts)
% compiler: 'gcc', 'clang', 'mingw' or 'msvc'; its version; the C++
% compiler's command (for probes), empty where there is none to run; name:
% what the build report calls it (mex's configuration name and folder, or
% mkoctfile's compiler command).
compiler = '';
ver = '';
cxx = '';
name = '';
if isfield(opts, 'cxx')
  cxx = opts.cxx;
end
if p.octave
  if isempty(cxx) && ~isfield(opts, 'compiler_version')
    cxx = strtrim(mkoctfile('-p', 'CXX'));
  end
else
  if ~isfield(opts, 'compiler')
    cc = mex.getCompilerConfigurations('C++', 'Selected');
    if isempty(cc)
      error('build_tofimage: no C++ compiler selected; run  mex -setup C++  first');
    end
    name = sprintf('%s [%s] in %s', cc.Name, cc.ShortName, cc.Location);
    id = lower([cc.ShortName ' ' cc.Name]);
    if ~isempty(strfind(id, 'mingw'))
      compiler = 'mingw';
      if isempty(cxx)
        cxx = fullfile(cc.Location, 'bin', 'g++');
      end
    elseif ~isempty(strfind(id, 'msvc')) || ~isempty(strfind(id, 'visual'))
      compiler = 'msvc';
    elseif ~isempty(strfind(id, 'clang')) || ~isempty(strfind(id, 'xcode'))
      compiler = 'clang';
    else
      compiler = 'gcc';
    end
    ver = cc.Version;
  end
end
if isfield(opts, 'compiler')
  compiler = opts.compiler;
end
if isfield(opts, 'compiler_version')
  ver = opts.compiler_version;
elseif isempty(ver) && ~isempty(cxx)
  [status, text] = system(sprintf('"%s" --version', cxx));
  if status == 0
    if isempty(compiler)
      if ~isempty(regexpi(text, 'clang', 'once'))
        compiler = 'clang';
      else
        compiler = 'gcc';
      end
    end
    [status, dumped] = system(sprintf('"%s" -dumpversion', cxx));
    if status == 0
      ver = strtrim(dumped);
    end
  end
end
if isempty(compiler)
  compiler = 'gcc';
end
if p.windows && strcmp(compiler, 'gcc')
  compiler = 'mingw';
end
if isempty(name)
  name = cxx;
end
end

function check_versions(p)
% The oldest MATLAB and compilers the module builds with: the -R2017b API
% needs MATLAB R2018a (9.4); C++17 (if constexpr) needs GCC 7, Clang 5,
% Visual Studio 2017 (15).
if ~p.octave && version_less(p.matlab_version, '9.4')
  error(['build_tofimage: MATLAB R2018a (9.4) or later is needed; this is MATLAB %s. ' ...
         'Build with a newer MATLAB or with GNU Octave.'], p.matlab_version);
end
floors = struct('gcc', '7', 'mingw', '7', 'clang', '5', 'msvc', '15');
if ~isempty(p.compiler_version) && isfield(floors, p.compiler) && ...
   version_less(p.compiler_version, floors.(p.compiler))
  names = struct('gcc', 'GCC 7', 'mingw', 'MinGW-w64 GCC 7', 'clang', 'Clang 5', ...
                 'msvc', 'Visual Studio 2017 (15)');
  error(['build_tofimage: %s or later is needed for C++17; the selected compiler is %s %s. ' ...
         'Install a newer compiler (in MATLAB, choose it with  mex -setup C++ ).'], ...
        names.(p.compiler), compiler_label(p), p.compiler_version);
end
end

function tf = version_less(a, b)
% True when the dotted version a (leading numbers only) is before b.
va = sscanf(regexprep(a, '^[^0-9]*', ''), '%d.')';
vb = sscanf(b, '%d.')';
if isempty(va)
  tf = false;
  return;
end
n = max(numel(va), numel(vb));
va(end + 1:n) = 0;
vb(end + 1:n) = 0;
d = find(va ~= vb, 1);
tf = ~isempty(d) && va(d) < vb(d);
end

function text = compiler_label(p)
labels = struct('gcc', 'GCC', 'mingw', 'MinGW-w64 GCC', 'clang', 'Clang', 'msvc', 'Visual Studio');
text = labels.(p.compiler);
end

% ------------------------------------------------------------------ builds

function commands = build_octave(p, module, srcdir, sources, fpflags, h)
% mkoctfile takes compiler flags from its configuration variables, which the
% environment overrides; the previous values come back afterwards.
if p.dry_run
  cxxflags = '$CXXFLAGS';
  ldflags = '$LDFLAGS';
else
  cxxflags = strtrim(mkoctfile('-p', 'CXXFLAGS'));
  ldflags = strtrim(mkoctfile('-p', 'LDFLAGS'));
end
oldcxx = getenv('CXXFLAGS');
oldld = getenv('LDFLAGS');
restore = onCleanup(@() restore_env(oldcxx, oldld));

extra = {};
if p.mac
  prefix = libomp_prefix(p);
  ompflags = ['-Xpreprocessor -fopenmp -I' prefix '/include'];
  extra = {['-L' prefix '/lib'], '-lomp', ['-Wl,-rpath,' prefix '/lib']};
elseif p.windows
  % Octave's MinGW: its own libgomp and libstdc++ DLLs are loaded with it.
  ompflags = '-fopenmp';
  ldflags = [ldflags ' -fopenmp'];
else
  ompflags = '-fopenmp';
  ldflags = [ldflags ' -fopenmp'];
  extra = {'-Wl,-z,nodelete'};
end
% -g0: mkoctfile's flags ask for debug information (-g), which is 95% of a
% module's size with Highway's code for every instruction set (12 MB
% against 0.6 MB), and nothing a user of the module needs.
cxxflags = [cxxflags ' -std=c++17 -O2 -g0 ' ompflags ' ' fpflags];
[hcompile, hlink, rpath] = highway_flags(h, p);
if ~isempty(rpath)
  extra{end + 1} = rpath;
end
args = {'--mex', '-o', module, ['-I' srcdir], hcompile{:}, sources{:}, hlink{:}, extra{:}};
commands = {strjoin([{['CXXFLAGS="' cxxflags '"'], ['LDFLAGS="' ldflags '"'], 'mkoctfile'}, args], ' ')};
if p.dry_run
  return;
end
setenv('CXXFLAGS', cxxflags);
setenv('LDFLAGS', ldflags);
[status, out] = system(mkoctfile_command(args));
if status ~= 0
  error('build_tofimage: mkoctfile failed:\n%s', out);
end
end

function cmd = mkoctfile_command(args)
% Octave's mkoctfile program, as its mkoctfile function calls it, but with
% the compiler's messages (stderr) in the output, for the build report.
bindir = feval('__octave_config_info__', 'bindir');   % a name MATLAB cannot parse
ext = feval('__octave_config_info__', 'EXEEXT');
program = fullfile(bindir, ['mkoctfile' ext]);
if ~exist(program, 'file')
  program = fullfile(bindir, sprintf('mkoctfile-%s%s', OCTAVE_VERSION, ext));
end
cmd = ['"' program '"'];
for k = 1:numel(args)
  cmd = [cmd ' "' args{k} '"'];
end
cmd = [cmd ' 2>&1'];
end

function commands = build_matlab(p, name, outdir, srcdir, sources, fpflags, h)
args = {'-R2017b', '-O', '-outdir', outdir, '-output', name, ['-I' srcdir]};
[hcompile, hlink, rpath] = highway_flags(h, p);
if ~isempty(rpath)
  rpath = [' ' rpath];
end
if p.mingw
  % -static: libgomp, libstdc++, libgcc and winpthread go into the module,
  % which then needs no DLL of MinGW's beside it. MinGW's linker has no
  % -z nodelete; the module's lock keeps it loaded.
  args = [args, {['CXXFLAGS=$CXXFLAGS -std=c++17 -fopenmp ' fpflags], ...
                 'LDFLAGS=$LDFLAGS -fopenmp -static'}];
elseif p.windows
  % MSVC: /fp:precise rounds every operation as written; src/recon.h turns
  % contraction off for versions that would contract under it.
  args = [args, {'COMPFLAGS=$COMPFLAGS /std:c++17 /openmp /fp:precise'}];
elseif p.mac
  % One OpenMP runtime per process: MATLAB's own (libomp on Apple silicon,
  % libiomp5 on Intel Macs), with only the header taken from Homebrew's
  % libomp. A second runtime aborts with "OMP: Error #15".
  prefix = libomp_prefix(p);
  [ompdir, ompname] = matlab_openmp(p);
  args = [args, {['CXXFLAGS=$CXXFLAGS -std=c++17 -Xpreprocessor -fopenmp ' fpflags], ...
                 ['-I' prefix '/include'], ['-L' ompdir], ['-l' ompname], ...
                 ['LDFLAGS=$LDFLAGS -Wl,-rpath,' ompdir rpath]}];
else
  % MATLAB loads the modules with its own libstdc++, older than a current
  % compiler's ("Invalid MEX-file ... GLIBCXX_3.4.32 not found"): the C++
  % runtime goes into the modules, private to them (--exclude-libs), so they
  % need none of MATLAB's. OpenMP stays shared: one runtime in the process.
  args = [args, {['CXXFLAGS=$CXXFLAGS -std=c++17 -fopenmp ' fpflags], ...
                 ['LDFLAGS=$LDFLAGS -fopenmp -Wl,-z,nodelete -static-libstdc++ -static-libgcc ' ...
                  '-Wl,--exclude-libs,ALL' rpath]}];
end
args = [args, hcompile, sources, hlink];
if any(strcmp(name, {'tofimage_frames', 'tofimage_beamform'}))
  % Ctrl-C: utIsInterruptPending from MATLAB's libut (undocumented, but
  % what MEX functions have long used to see it).
  args = [args, {'-lut'}];
end
commands = {strjoin([{'mex'}, args], ' ')};
if ~p.dry_run
  mex(args{:});
end
end

function h = mingw_vector_flags(h, p)
% MinGW GCC may spill 32- and 64-byte vectors to stack slots with aligned
% moves where Windows aligns the stack to 16 bytes only (GCC bug 54412): an
% access violation in AVX2 and AVX-512 code. Binutils 2.38 and later turn
% such moves into unaligned ones (-muse-unaligned-vector-move); without it,
% Highway's targets beyond SSE4 are left out (x86 targets' bits lie below
% SSE4's, the better ones lowest).
flag = '-Wa,-muse-unaligned-vector-move';
if compiler_accepts(p.cxx, flag)
  h.compile_extra = {flag};
  h.note = ['MinGW: compiled with ' flag ' (aligned vector moves to the 16-byte-aligned stack would fault)'];
else
  h.compile_extra = {'-DHWY_DISABLED_TARGETS=(HWY_SSE4-1)'};
  h.note = ['MinGW: the assembler does not accept ' flag ' (binutils 2.38 or later has it), so ' ...
            'the vector kernel was built without Highway''s AVX2 and AVX-512 targets (SSE4 at best), ' ...
            'which GCC could otherwise compile into faulting stack accesses. A newer MinGW-w64 gives them back.'];
end
end

function ok = compiler_accepts(cxx, flag)
% Compiles an empty translation unit with flag; false without a compiler.
ok = false;
if isempty(cxx)
  return;
end
dir_ = tempname();
mkdir(dir_);
cleanup = onCleanup(@() remove_dir(dir_));
src = fullfile(dir_, 'probe.cpp');
fid = fopen(src, 'w');
fprintf(fid, 'int probe(int x) { return x + 1; }\n');
fclose(fid);
[status, ~] = system(sprintf('"%s" %s -c "%s" -o "%s"', cxx, flag, src, fullfile(dir_, 'probe.o')));
ok = status == 0;
end

function remove_dir(d)
if exist(d, 'dir')
  if exist('OCTAVE_VERSION', 'builtin')
    confirm_recursive_rmdir(false, 'local');
  end
  rmdir(d, 's');
end
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

function text = openmp_fact(p)
% The OpenMP runtime the modules will use, for the build report.
if p.mac && ~p.octave
  [ompdir, name] = matlab_openmp(p);
  text = sprintf('MATLAB''s own %s (omp.h from %s)', fullfile(ompdir, ['lib' name '.dylib']), libomp_prefix(p));
elseif p.mac
  text = sprintf('LLVM''s libomp from %s', libomp_prefix(p));
elseif p.msvc
  text = '/openmp, Visual C++''s vcomp140.dll (OpenMP 2.0)';
elseif p.mingw && ~p.octave
  text = '-fopenmp, libgomp linked into the modules (-static)';
elseif p.windows
  text = '-fopenmp, Octave''s own libgomp';
elseif strcmp(p.compiler, 'clang')
  text = '-fopenmp, the compiler''s runtime (libomp for Clang)';
else
  text = '-fopenmp, the compiler''s runtime (libgomp for GCC)';
end
end

% ----------------------------------------------------------------- Highway

function [h, searched] = find_highway(hwy, p)
% Highway as a struct (source, version, include, libdir, lib, static,
% linkage, dll, why), or [] when none is found or the scalar kernel is
% asked for; searched lists the prefixes looked at, in order.
h = [];
searched = {};
if strcmpi(hwy, 'none')
  return;
end
explicit = {hwy, 'argument'; getenv('HWY_ROOT'), 'HWY_ROOT'};
for k = 1:2
  if ~isempty(explicit{k, 1})
    searched = explicit(k, 1);
    h = highway_at(explicit{k, 1}, explicit{k, 2}, p);
    if isempty(h)
      error('build_tofimage: no Highway 1.0 or later in %s (%s): no include/hwy/highway.h or libhwy', ...
            explicit{k, 1}, explicit{k, 2});
    end
    return;
  end
end
% Every candidate is looked at: the first static libhwy wins, else the
% first shared one.
found = {};
hp = highway_from_pkgconfig(p);
if ~isempty(hp)
  found{end + 1} = hp;
  searched{end + 1} = 'pkg-config';
end
candidates = {};
conda = getenv('CONDA_PREFIX');
if ~isempty(conda)
  candidates(end + 1, :) = {conda, 'conda'};
  candidates(end + 1, :) = {fullfile(conda, 'Library'), 'conda'};
end
for root = {getenv('VCPKG_ROOT'), getenv('VCPKG_INSTALLATION_ROOT')}
  if ~isempty(root{1})
    for t = vcpkg_triplets(p)
      candidates(end + 1, :) = {fullfile(root{1}, 'installed', t{1}), ['vcpkg ' t{1}]};
    end
  end
end
if p.mac
  % MATLAB started from the Dock has no Homebrew on its PATH. Homebrew's
  % prefix follows the architecture it installs for: an Intel MATLAB
  % (under Rosetta) needs Intel libraries from /usr/local, an Apple-silicon
  % one arm64 libraries from /opt/homebrew.
  if p.arm
    candidates(end + 1, :) = {'/opt/homebrew', 'Homebrew'};
  else
    candidates(end + 1, :) = {'/usr/local', 'Homebrew'};
  end
elseif p.linux
  candidates(end + 1, :) = {'/opt/homebrew', 'Homebrew'};
  candidates(end + 1, :) = {'/usr/local', '/usr/local'};
  candidates(end + 1, :) = {'/usr', 'the system'};
end
for k = 1:size(candidates, 1)
  searched{end + 1} = candidates{k, 1};
  hk = highway_at(candidates{k, 1}, candidates{k, 2}, p);
  if ~isempty(hk)
    found{end + 1} = hk;
  end
end
if isempty(found)
  return;
end
static = cellfun(@(x) x.static, found);
if any(static)
  h = found{find(static, 1)};
  h.why = 'a static libhwy is preferred: the modules then need no libhwy at run time';
else
  h = found{1};
  h.why = 'no static libhwy found, so the modules load this one at run time';
end
end

function triplets = vcpkg_triplets(p)
% MEX files use the dynamic C runtime (/MD): a static Highway built for it
% (x64-windows-static-md) first, then the DLL build.
if p.mingw
  triplets = {'x64-mingw-static', 'x64-mingw-dynamic'};
elseif p.windows
  triplets = {'x64-windows-static-md', 'x64-windows'};
elseif p.mac && p.arm
  triplets = {'arm64-osx', 'arm64-osx-dynamic'};
elseif p.mac
  triplets = {'x64-osx', 'x64-osx-dynamic'};
elseif p.arm
  triplets = {'arm64-linux', 'arm64-linux-dynamic'};
else
  triplets = {'x64-linux', 'x64-linux-dynamic'};
end
end

function h = highway_from_pkgconfig(p)
h = [];
if p.windows || p.dry_run
  return;
end
[status, ~] = system('pkg-config --exists "libhwy >= 1.0" 2>/dev/null');
if status ~= 0
  return;
end
[~, incdir] = system('pkg-config --variable=includedir libhwy');
[~, libdir] = system('pkg-config --variable=libdir libhwy');
h = highway_files(strtrim(incdir), {strtrim(libdir)}, 'pkg-config', p);
end

function h = highway_at(prefix, source, p)
% Debian's multiarch folder of this machine only: another architecture's
% libhwy (installed for cross compiling) would not link.
if p.arm
  multiarch = 'aarch64-linux-gnu';
else
  multiarch = 'x86_64-linux-gnu';
end
libdirs = {fullfile(prefix, 'lib'), fullfile(prefix, 'lib64'), fullfile(prefix, 'lib', multiarch)};
h = highway_files(fullfile(prefix, 'include'), libdirs, source, p);
end

function h = highway_files(incdir, libdirs, source, p)
% Highway's header (version 1.0 or later) and library, static preferred.
% On Windows a library with hwy.dll in the bin folder beside lib is the
% import library of that DLL.
h = [];
version = highway_version(fullfile(incdir, 'hwy', 'highway.h'));
if isempty(version)
  return;
end
if p.msvc
  names = {'hwy.lib'};
elseif p.windows
  names = {'libhwy.a', 'libhwy.dll.a'};
elseif p.mac
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
    if p.windows
      for f = {'hwy.dll', 'libhwy.dll'}
        if exist(fullfile(libdirs{d}, '..', 'bin', f{1}), 'file')
          dll = fullfile(libdirs{d}, '..', 'bin', f{1});
        end
      end
      static = isempty(dll) && ~strcmp(names{k}, 'libhwy.dll.a');
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
               'linkage', linkage, 'dll', dll, 'why', '', ...
               'compile_extra', {{}}, 'note', '');
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

function [compile, link, rpath] = highway_flags(h, p)
% Compiler and linker arguments for the vector kernel; rpath is the linker
% flag that lets the loader find a shared libhwy outside the system folders.
compile = {};
link = {};
rpath = '';
if isempty(h)
  return;
end
compile = [{'-DTOFIMAGE_HAVE_HWY'}, h.compile_extra];
if ~is_system_dir(h.include)
  compile{end + 1} = ['-I' h.include];
end
% The library by its full path: on Windows always, since MinGW's -static
% makes -lhwy look for libhwy.a only and so miss a DLL's import library.
if h.static || p.windows
  link = {h.lib};
else
  link = {['-L' h.libdir], '-lhwy'};
end
if ~h.static && p.windows
  compile{end + 1} = '-DHWY_SHARED_DEFINE';   % Highway's functions come from its DLL
end
if ~h.static && ~p.windows && ~is_system_dir(h.libdir)
  rpath = ['-Wl,-rpath,' h.libdir];
end
end

function notes = highway_notes(h, p)
% The build report's lines on Highway: which libhwy and why, the MinGW
% note, and on Linux MATLAB a shared libhwy that MATLAB's own libstdc++
% cannot serve.
notes = {['libhwy: ' h.lib ' (' h.why ')'], h.note};
if isempty(h.why)
  notes{1} = ['libhwy: ' h.lib ' (as given by ' h.source ')'];
end
if p.octave || ~p.linux || h.static
  return;
end
need = glibcxx_max(h.lib);
have = glibcxx_max(p.matlab_libstdcxx);
if ~isempty(need) && ~isempty(have) && need > have
  warning('build_tofimage:libstdcxx', ...
          ['build_tofimage: %s needs GLIBCXX_3.4.%d, but MATLAB''s own %s has only GLIBCXX_3.4.%d: ' ...
           'MATLAB will refuse to load the modules ("GLIBCXX_3.4.%d not found"). Fix: link a static ' ...
           'libhwy (build Highway with -DBUILD_SHARED_LIBS=OFF -DCMAKE_POSITION_INDEPENDENT_CODE=ON ' ...
           'and pass its prefix as HWY_ROOT), or start MATLAB with LD_PRELOAD set to the system''s ' ...
           'libstdc++.so.6.'], h.lib, need, p.matlab_libstdcxx, have, need);
end
end

function note = libstdcxx_note(p, modules)
% MATLAB on Linux starts with its own libstdc++ (sys/os/glnxa64), which may
% be older than the compiler's. The modules carry their own C++ runtime
% (build_matlab), so they should name no GLIBCXX version; the report says
% what they name and warns when it is more than MATLAB's copy has (a shared
% libhwy's own needs are warned about in highway_notes).
need = [];
for k = 1:numel(modules)
  need = max([need, glibcxx_max(modules{k})]);
end
have = glibcxx_max(p.matlab_libstdcxx);
if isempty(need)
  note = 'libstdc++: the modules name no GLIBCXX version';
elseif isempty(have)
  note = sprintf('libstdc++: the modules need GLIBCXX_3.4.%d; MATLAB has no libstdc++ of its own at %s', ...
                 need, p.matlab_libstdcxx);
else
  note = sprintf('libstdc++: the modules need GLIBCXX_3.4.%d; MATLAB''s own %s has up to GLIBCXX_3.4.%d', ...
                 need, p.matlab_libstdcxx, have);
  if need > have
    warning('build_tofimage:libstdcxx', ...
            ['build_tofimage: the modules need GLIBCXX_3.4.%d, newer than MATLAB''s own %s ' ...
             '(GLIBCXX_3.4.%d): if MATLAB reports "GLIBCXX_3.4.%d not found" when calling them, ' ...
             'start MATLAB with LD_PRELOAD set to the system''s libstdc++.so.6, or build with ' ...
             'a compiler of MATLAB''s supported list.'], need, p.matlab_libstdcxx, have, need);
  end
end
end

function v = glibcxx_max(file)
% The highest GLIBCXX_3.4.N named in a shared library (what it needs or,
% for libstdc++ itself, provides), or [] when unknown.
v = [];
if isempty(file) || ~exist(file, 'file')
  return;
end
fid = fopen(file, 'r');
if fid < 0
  return;
end
bytes = fread(fid, Inf, 'uint8=>char')';
fclose(fid);
tokens = regexp(bytes, 'GLIBCXX_3\.4\.(\d+)', 'tokens');
if ~isempty(tokens)
  v = max(cellfun(@(t) str2double(t{1}), tokens));
end
end

function note = copy_dll(dll, outdir, p)
% hwy.dll next to the modules (one folder holds both), where Windows looks
% for it. Copied only when it differs: a loaded module holds the old copy
% open.
[~, name, ext] = fileparts(dll);
target = fullfile(outdir, [name ext]);
if same_file_contents(dll, target)
  note = [name ext ' next to the modules is up to date'];
  return;
end
note = ['copied ' dll ' next to the modules'];
if p.dry_run
  return;
end
[ok, msg] = copyfile(dll, target);
if ~ok
  error(['build_tofimage: the modules were built, but %s could not be replaced by %s (%s): ' ...
         'a loaded module holds it. Restart MATLAB, then run build_tofimage again before ' ...
         'calling tofimage or tofimage_frames (or copy %s there yourself).'], target, dll, msg, dll);
end
end

function tf = same_file_contents(a, b)
tf = false;
if ~exist(a, 'file') || ~exist(b, 'file')
  return;
end
fa = fopen(a, 'r');
fb = fopen(b, 'r');
if fa < 0 || fb < 0
  if fa >= 0, fclose(fa); end
  if fb >= 0, fclose(fb); end
  return;
end
da = fread(fa, Inf, 'uint8=>uint8');
db = fread(fb, Inf, 'uint8=>uint8');
fclose(fa);
fclose(fb);
tf = isequal(da, db);
end

function tf = is_system_dir(d)
% Folders the compiler and the loader search anyway; -I/usr/include would
% also break the C++ library's #include_next.
tf = any(strcmp(regexprep(d, '[/\\]+$', ''), {'/usr/include', '/usr/lib', '/usr/lib64'})) || ...
     ~isempty(regexp(d, '^/usr/lib/[^/]*-linux-gnu[^/]*/?$', 'once'));
end

function text = install_hint(p)
if p.mac
  text = '  Install it with  brew install highway  (or conda install -c conda-forge libhwy), then build again.';
elseif p.windows
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

function restore_env(oldcxx, oldld)
names = {'CXXFLAGS', 'LDFLAGS'};
values = {oldcxx, oldld};
for k = 1:2
  if isempty(values{k}) && exist('OCTAVE_VERSION', 'builtin')
    unsetenv(names{k});
  else
    setenv(names{k}, values{k});
  end
end
end
