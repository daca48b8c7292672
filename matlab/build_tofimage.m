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
%   build_tofimage -platforms   prints how the modules are built on each
%                               host, system and compiler: the compiler's
%                               and linker's flags, the OpenMP runtime and
%                               why (the table the build itself follows)
%   build_tofimage(outdir, hwy, opts)  with opts.dry_run = true only decides:
%                               info.commands holds the compiler calls that
%                               would run, in order: the compiles of the
%                               engine's sources, then one call per
%                               module. Other fields of
%                               opts stand in for what is otherwise detected
%                               (os, arch, matlab, compiler,
%                               compiler_version, cxx, matlab_version,
%                               matlab_libstdcxx), to check the decisions
%                               made for other platforms
%
%   Compiles the engine's sources listed in ../src/engine.txt (the engine
%   and its scalar kernels) and, when Google Highway (1.0 or later) is
%   found, the vector kernel's, which is many times faster and gives the
%   same image, once, into object files in a temporary folder (removed
%   afterwards); then links each module listed there from its entry point
%   (../src/<name>.cpp) and those objects:
%     MATLAB  mex -c, then mex, with the separate-complex C API (-R2017b)
%     Octave  mkoctfile -c, then mkoctfile --mex, without the debug
%             information (-g) that
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
%   fast-math (the flags of ../src/engine.txt, which CMake and meson use
%   too), so that images are the same bit for bit on every machine and
%   thread count. The flags and the OpenMP runtime of each host, system and
%   compiler, and why: build_tofimage -platforms
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

% The parts, in private/: build_platform (what this host is),
% build_engine (../src/engine.txt), build_recipes (the table of how each
% platform builds), build_highway (the search for Highway), build_run (the
% compiler calls, with the fallback to the scalar kernel), build_checks
% (what the modules need at run time) and build_user_files.
here = fileparts(mfilename('fullpath'));
if nargin < 1 || isempty(outdir)
  outdir = here;
end
srcdir = fullfile(here, '..', 'src');
if strcmp(outdir, '-platforms')
  print_platforms(srcdir);
  return;
end
if nargin < 2
  hwy = '';
end
if nargin < 3
  opts = struct();
end
p = build_platform(opts);
e = build_engine(srcdir);
r = build_recipes(p, e);
facts = report_facts(p, r);
if ~isempty(p.too_old)
  error('%s', p.too_old);
end
if ~p.dry_run && ~exist(outdir, 'dir')
  mkdir(outdir);
end

[h, searched] = build_highway(hwy, p, r);
modules = cellfun(@(f) fullfile(outdir, [f '.' p.mexext]), e.module, 'UniformOutput', false);
was_locked = ~p.dry_run && module_locked(e.module);
[commands, h, fallback] = build_run(p, r, e, modules, outdir, srcdir, h, was_locked);
notes = build_checks(p, h, modules, outdir);
if ~p.dry_run
  copied = build_user_files(here, outdir, e.user);
  % A module of the same name that is not loaded yet is picked up at the
  % next call; one that is loaded (and locked) stays until the session ends.
  clear(e.module{:});
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
    fprintf('build_tofimage: built %s with the scalar kernel only: Highway not found.\n  Install it with  %s; then build again.\n', ...
            built, r.install);
  end
else
  fprintf('build_tofimage: built %s with the vector kernel (Highway %s from %s: %s, %s)\n', ...
          built, h.version, h.source, h.include, h.linkage);
end
for k = 1:numel(notes)
  fprintf('build_tofimage: %s\n', notes{k});
end
if ~p.dry_run && copied
  fprintf('build_tofimage: copied the help files and tofimage_grid.m to %s\n', outdir);
end
if was_locked
  fprintf(['build_tofimage: a module was already loaded in this session and stays loaded; ' ...
           'restart to use the new build.\n']);
end
if nargout > 0
  info = struct('module', modules{1}, 'modules', {modules}, 'kernel', kernel, 'highway', h, 'notes', {notes}, ...
                'fallback', fallback, 'commands', {commands}, 'searched', {searched}, 'facts', facts);
end
end

function facts = report_facts(p, r)
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
               'compiler_version', p.compiler_version, 'openmp', r.openmp);
compiler = strtrim([p.compiler_label ' ' facts.compiler_version]);
if ~isempty(facts.compiler_name)
  compiler = [compiler ', ' facts.compiler_name];
end
fprintf('build_tofimage: %s on %s, architecture %s (modules .%s); C++ compiler: %s; OpenMP: %s\n', ...
        facts.host, facts.os, facts.arch, facts.mexext, compiler, facts.openmp);
end

function print_platforms(srcdir)
% The recipe table, as the build follows it, with the floating-point flags
% of ../src/engine.txt filled in.
e = build_engine(srcdir);
[~, rows] = build_recipes();
hosts = struct('matlab', 'MATLAB', 'octave', 'GNU Octave');
systems = struct('linux', 'Linux', 'windows', 'Windows', 'mac', 'macOS');
fprintf(['On macOS, <libomp> is LLVM''s libomp (LIBOMP_PREFIX, else Homebrew''s), ' ...
         '<ompdir>/lib<omplib>.dylib MATLAB''s own OpenMP runtime.\n']);
for k = 1:numel(rows)
  x = rows(k);
  fp = e.fp;
  if any(strcmp(x.compilers, 'msvc'))
    fp = e.fp_msvc;
  end
  fprintf('%s on %s, %s\n  OpenMP:  %s\n  compile: %s\n', hosts.(x.host), systems.(x.os), ...
          x.label, x.openmp, strrep(x.cxxflags, '<fp>', strjoin(fp, ' ')));
  if ~isempty(x.ldflags)
    fprintf('  link:    %s\n', x.ldflags);
  end
  if ~isempty(x.args)
    fprintf('  also:    %s\n', strjoin(x.args, ' '));
  end
  fprintf('  why:     %s\n  Highway: %s\n', x.why, x.install);
end
end

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
