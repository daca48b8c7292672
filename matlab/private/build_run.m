function [commands, h, fallback] = build_run(p, r, e, modules, outdir, srcdir, h, was_locked)
%BUILD_RUN  Builds each module of e.module into its path in modules, by the
%   recipe r, with the vector kernel when Highway h is given; commands holds
%   the compiler calls in the order they run (in a dry run, only these): the
%   compiles of the engine's sources, then one call per module. When the
%   vector kernel does not compile or link with this Highway (another
%   compiler's library, an unusual build, an old compiler), all modules are
%   built again with the scalar kernel, h becomes [] and fallback is the
%   warning given, which quotes the compiler's first error.
fallback = '';
if ~isempty(h) && ~p.dry_run
  fprintf('build_tofimage: compiling the vector kernel, once for all modules: a minute or so ...\n');
end
try
  if isempty(h)
    commands = build_modules(p, r, e, modules, outdir, srcdir, e.engine, []);
  else
    if p.mingw
      h = mingw_vector_flags(h, p);
    end
    commands = build_modules(p, r, e, modules, outdir, srcdir, [e.engine, e.vector], h);
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
                     h.version, h.source, h.include, first_error(err.message), p.compiler_label);
  h = [];
  try
    commands = build_modules(p, r, e, modules, outdir, srcdir, e.engine, []);
  catch err2
    locked_hint(err2, was_locked, p);
  end
  warning('build_tofimage:scalarFallback', '%s', fallback);
end
end

function commands = build_modules(p, r, e, modules, outdir, srcdir, engine, h)
% The engine's sources compiled once into object files in a temporary
% folder (removed afterwards, also on an error), then each module, in the
% order of e.module, from its entry point and those objects. commands: the
% compiler calls in the order they run.
[hcompile, hlink, rpath] = highway_flags(h, p);
objdir = tempname();
if ~p.dry_run
  mkdir(objdir);
  remove_objects = onCleanup(@() remove_folder(objdir));
end
if p.octave
  objects = object_files(p, objdir, engine);
  [env, restore] = octave_env(p, r);
  % mkoctfile -c names one object per call.
  commands = cell(1, numel(engine));
  for k = 1:numel(engine)
    commands{k} = run_mkoctfile(p, env, [{'-c', ['-I' srcdir]}, hcompile, {engine{k}, '-o', objects{k}}]);
  end
  extra = r.args;
  if ~isempty(rpath)
    extra{end + 1} = rpath;
  end
  for k = 1:numel(e.module)
    entry = fullfile(srcdir, [e.module{k} '.cpp']);
    commands{end + 1} = run_mkoctfile(p, env, [{'--mex', '-o', modules{k}, ['-I' srcdir]}, hcompile, ...
                                               {entry}, objects, hlink, extra]);
  end
  return;
end
% MATLAB: mex -c leaves each object, named after its source, in -outdir.
flags = [{'-R2017b', '-O'}, matlab_flags(p, r, rpath), hcompile];
commands = {run_mex(p, [{'-c', '-outdir', objdir, ['-I' srcdir]}, flags, engine])};
objects = object_files(p, objdir, engine);
for k = 1:numel(e.module)
  args = [{'-outdir', outdir, '-output', e.module{k}, ['-I' srcdir]}, flags, ...
          {fullfile(srcdir, [e.module{k} '.cpp'])}, objects, hlink];
  if any(strcmp(e.module{k}, e.ctrl_c))
    % Ctrl-C: utIsInterruptPending from MATLAB's libut (undocumented, but
    % what MEX functions have long used to see it).
    args{end + 1} = '-lut';
  end
  commands{end + 1} = run_mex(p, args);
end
end

function command = run_mex(p, args)
command = strjoin([{'mex'}, args], ' ');
if ~p.dry_run
  mex(args{:});
end
end

function objects = object_files(p, objdir, sources)
% The object file of each source in objdir: its base name with .o, or with
% .obj where mex compiles on Windows (Visual C++ and MinGW alike). After a
% real compile, the file mex made under the source's name, whatever its
% extension.
ext = '.o';
if p.windows && ~p.octave
  ext = '.obj';
end
objects = cell(1, numel(sources));
for k = 1:numel(sources)
  [~, base] = fileparts(sources{k});
  objects{k} = fullfile(objdir, [base ext]);
  if ~p.dry_run && ~p.octave && ~exist(objects{k}, 'file')
    made = dir(fullfile(objdir, [base '.*']));
    if isempty(made)
      error('build_tofimage: mex -c left no object file of %s in %s', sources{k}, objdir);
    end
    objects{k} = fullfile(objdir, made(1).name);
  end
end
end

function args = matlab_flags(p, r, rpath)
% The recipe's flags as mex takes them, added to mex's own.
if p.msvc
  args = [{['COMPFLAGS=$COMPFLAGS ' r.cxxflags]}, r.args];
  return;
end
args = [{['CXXFLAGS=$CXXFLAGS ' r.cxxflags]}, r.args, {strtrim(['LDFLAGS=$LDFLAGS ' r.ldflags ' ' rpath])}];
end

function [env, restore] = octave_env(p, r)
% mkoctfile takes compiler flags from its configuration variables, which the
% environment overrides: mkoctfile's own, then the recipe's, set for every
% call of this build; the previous values come back when restore is
% cleared.
if p.dry_run
  env = {'$CXXFLAGS', '$LDFLAGS'};
else
  env = {strtrim(mkoctfile('-p', 'CXXFLAGS')), strtrim(mkoctfile('-p', 'LDFLAGS'))};
end
env = {[env{1} ' ' r.cxxflags], strtrim([env{2} ' ' r.ldflags])};
oldcxx = getenv('CXXFLAGS');
oldld = getenv('LDFLAGS');
restore = onCleanup(@() restore_env(oldcxx, oldld));
if ~p.dry_run
  setenv('CXXFLAGS', env{1});
  setenv('LDFLAGS', env{2});
end
end

function command = run_mkoctfile(p, env, args)
% One call of mkoctfile, with the flags env (CXXFLAGS, LDFLAGS) in force.
command = strjoin([{['CXXFLAGS="' env{1} '"'], ['LDFLAGS="' env{2} '"'], 'mkoctfile'}, args], ' ');
if p.dry_run
  return;
end
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

function tf = is_system_dir(d)
% Folders the compiler and the loader search anyway; -I/usr/include would
% also break the C++ library's #include_next.
tf = any(strcmp(regexprep(d, '[/\\]+$', ''), {'/usr/include', '/usr/lib', '/usr/lib64'})) || ...
     ~isempty(regexp(d, '^/usr/lib/[^/]*-linux-gnu[^/]*/?$', 'once'));
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
cleanup = onCleanup(@() remove_folder(dir_));
src = fullfile(dir_, 'probe.cpp');
fid = fopen(src, 'w');
fprintf(fid, 'int probe(int x) { return x + 1; }\n');
fclose(fid);
[status, ~] = system(sprintf('"%s" %s -c "%s" -o "%s"', cxx, flag, src, fullfile(dir_, 'probe.o')));
ok = status == 0;
end

function remove_folder(d)
if exist(d, 'dir')
  if exist('OCTAVE_VERSION', 'builtin')
    confirm_recursive_rmdir(false, 'local');
  end
  rmdir(d, 's');
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
