function test_build_tofimage_decisions()
% What matlab/build_tofimage.m decides for platforms this machine is not
% (MATLAB on Windows with MinGW, macOS under either architecture, MATLAB on
% Linux), through its dry run: the facts it would detect are given, fake
% Highway folders stand in for installed ones, nothing is compiled. The
% assembler probe runs the real MinGW-w64 cross compiler where it is
% installed. In Octave, its own dry runs too, and a version floor checked
% against a compiler that Octave's mkoctfile really reports.
old_path = path();
env = {'HWY_ROOT', 'CONDA_PREFIX', 'VCPKG_ROOT', 'VCPKG_INSTALLATION_ROOT', 'CXX', 'LIBOMP_PREFIX'};
old_env = cellfun(@getenv, env, 'UniformOutput', false);
work = tempname();
mkdir(work);
cleanup = onCleanup(@() finish(old_path, env, old_env, work));
addpath(repo_path('matlab'));
for k = 1:numel(env)
  set_env(env{k}, '');
end
win = struct('dry_run', true, 'matlab', true, 'os', 'windows', 'arch', 'win64', ...
             'compiler', 'mingw', 'compiler_version', '8.1.0', 'matlab_version', '9.14.0');

% A shared Highway for MinGW (vcpkg's x64-mingw-dynamic): the import library
% by its full path, since -static would make -lhwy look for libhwy.a only.
dyn = fake_highway(fullfile(work, 'mingw-dynamic'), {'lib/libhwy.dll.a', 'bin/hwy.dll'});
mingw = find_program({'x86_64-w64-mingw32-g++-posix', 'x86_64-w64-mingw32-g++'});
opts = win;
opts.cxx = mingw;
info = quiet_build(fullfile(work, 'out1'), dyn, opts);
% One mex -c of the engine's sources into a temporary folder, then one call
% per module from its gateway and those objects (.obj on Windows).
compile = info.commands{1};
mods = info.commands(2:end);
objdir = regexp(compile, '^mex -c -outdir (\S+)', 'tokens', 'once');
expect(numel(mods) == 4 && ~isempty(objdir) && ...
       all(~cellfun(@isempty, strfind(mods, fullfile(objdir{1}, 'recon_simd.obj')))), ...
       'the modules link the objects mex -c left in its -outdir', strjoin(info.commands, '\n'));
cmd = mods{1};
expect(~isempty(strfind(cmd, fullfile(dyn, 'lib', 'libhwy.dll.a'))) && isempty(strfind(cmd, '-lhwy')), ...
       'MinGW with a shared Highway links the import library by its full path', cmd);
expect(~isempty(strfind(compile, '-DHWY_SHARED_DEFINE')) && ~isempty(strfind(cmd, '-static')), ...
       'MinGW with a shared Highway: -DHWY_SHARED_DEFINE and -static', strjoin(info.commands, '\n'));
% Each module from its own gateway, with the same Highway.
expect(~isempty(strfind(cmd, '-output tofimage ')) && ...
       ~isempty(strfind(cmd, 'tofimage.cpp')) && isempty(strfind(cmd, 'tofimage_frames')) && ...
       ~isempty(strfind(mods{2}, '-output tofimage_frames ')) && ...
       ~isempty(strfind(mods{2}, 'tofimage_frames.cpp')) && ...
       ~isempty(strfind(mods{2}, fullfile(dyn, 'lib', 'libhwy.dll.a'))) && ...
       ~isempty(strfind(mods{3}, '-output tofimage_beamform ')) && ...
       ~isempty(strfind(mods{3}, 'tofimage_beamform.cpp')) && ...
       isempty(strfind(mods{3}, 'tofimage_frames')) && ...
       ~isempty(strfind(mods{4}, '-output tofimage_autofocus_search ')) && ...
       ~isempty(strfind(mods{4}, 'tofimage_autofocus_search.cpp')) && ...
       ~isempty(strfind(mods{4}, fullfile(dyn, 'lib', 'libhwy.dll.a'))), ...
       'the dry run builds tofimage, tofimage_frames, tofimage_beamform and tofimage_autofocus_search, each from its gateway', ...
       strjoin(info.commands, '\n'));
% Only the stack gateways ask for Ctrl-C, through MATLAB's libut.
expect(~isempty(regexp(mods{2}, ' -lut( |$)', 'once')) && ...
       ~isempty(regexp(mods{3}, ' -lut( |$)', 'once')) && isempty(strfind(cmd, '-lut')) && ...
       isempty(strfind(mods{4}, '-lut')) && isempty(strfind(compile, '-lut')), ...
       'tofimage_frames and tofimage_beamform link MATLAB''s libut, tofimage and the search do not', ...
       strjoin(info.commands, '\n'));
if ~isempty(mingw)
  % Binutils 2.40 has the flag: the real probe must find it.
  expect(~isempty(strfind(compile, '-Wa,-muse-unaligned-vector-move')) && isempty(strfind(compile, 'HWY_DISABLED_TARGETS')), ...
         'MinGW whose assembler accepts -muse-unaligned-vector-move uses it', compile);
else
  fprintf('test_build_tofimage_decisions: no MinGW-w64 here, its probe is not run\n');
end
% An assembler without the flag: no AVX2 or AVX-512, and the report says so.
opts.cxx = '/bin/false';
info = quiet_build(fullfile(work, 'out1'), dyn, opts);
expect(~isempty(strfind(info.commands{1}, '-DHWY_DISABLED_TARGETS=(HWY_SSE4-1)')) && ...
       isempty(strfind(info.commands{1}, 'unaligned-vector-move')), ...
       'an assembler without -muse-unaligned-vector-move leaves out the targets beyond SSE4', info.commands{1});
expect(any(~cellfun(@isempty, strfind(info.notes, 'without Highway''s AVX2 and AVX-512'))), ...
       'the build report says that AVX2 and AVX-512 were left out', strjoin(info.notes, '\n'));

% hwy.dll next to the modules: copied when it differs, left alone when the
% same file is already there (a loaded module would hold it open).
expect(any(~cellfun(@isempty, strfind(info.notes, 'copied '))), 'a new hwy.dll is copied', strjoin(info.notes, '\n'));
mkdir(fullfile(work, 'out2'));
copyfile(fullfile(dyn, 'bin', 'hwy.dll'), fullfile(work, 'out2'));
info = quiet_build(fullfile(work, 'out2'), dyn, opts);
expect(any(~cellfun(@isempty, strfind(info.notes, 'hwy.dll next to the modules is up to date'))), ...
       'an unchanged hwy.dll is not copied again', strjoin(info.notes, '\n'));

% macOS: Homebrew's prefix follows MATLAB's architecture (an Intel MATLAB
% under Rosetta must not take arm64 libraries from /opt/homebrew).
mac = struct('dry_run', true, 'matlab', true, 'os', 'mac', 'compiler', 'clang', ...
             'compiler_version', '14.0', 'matlab_version', '9.14.0');
for a = {{'maci64', '/usr/local', '/opt/homebrew'}, {'maca64', '/opt/homebrew', '/usr/local'}}
  opts = mac;
  opts.arch = a{1}{1};
  info = quiet_build(fullfile(work, 'out3'), '', opts);
  expect(any(strcmp(info.searched, a{1}{2})) && ~any(strcmp(info.searched, a{1}{3})), ...
         sprintf('MATLAB %s looks for Homebrew in %s only', a{1}{1}, a{1}{2}), strjoin(info.searched, ' '));
  expect(~isempty(strfind(info.commands{1}, [a{1}{2} '/opt/libomp/include'])), ...
         sprintf('MATLAB %s takes omp.h from %s', a{1}{1}, a{1}{2}), info.commands{1});
end

octave = exist('OCTAVE_VERSION', 'builtin') ~= 0;
if octave
  % A static libhwy found anywhere beats a shared one found first (here
  % the system's, on Debian), and the report says which and why.
  conda = fake_highway(fullfile(work, 'conda'), {'lib/libhwy.a'});
  setenv('CONDA_PREFIX', conda);
  info = quiet_build(fullfile(work, 'out4'), '', struct('dry_run', true));
  set_env('CONDA_PREFIX', '');
  expect(strcmp(info.highway.source, 'conda') && info.highway.static, ...
         'a static libhwy is preferred over a shared one found earlier', info.highway.lib);
  expect(~isempty(strfind(info.notes{1}, 'static libhwy is preferred')), 'the report says why', info.notes{1});
  % Octave: mkoctfile -c once for each source of the engine, then once
  % for each module.
  mods = info.commands(end - 3:end);
  expect(~isempty(strfind(mods{1}, ['-o ' fullfile(work, 'out4', ['tofimage.' mexext()])])) && ...
         ~isempty(strfind(mods{2}, ['-o ' fullfile(work, 'out4', ['tofimage_frames.' mexext()])])) && ...
         ~isempty(strfind(mods{3}, ['-o ' fullfile(work, 'out4', ['tofimage_beamform.' mexext()])])) && ...
         ~isempty(strfind(mods{4}, ['-o ' fullfile(work, 'out4', ['tofimage_autofocus_search.' mexext()])])) && ...
         all(~cellfun(@isempty, strfind(info.commands, conda))), ...
         'Octave''s dry run builds every module with the same Highway', strjoin(info.commands, '\n'));
end

% MATLAB on Linux with a shared libhwy that needs a newer libstdc++ than
% MATLAB's own: a warning that names the fix.
shared = fake_highway(fullfile(work, 'shared'), {'lib/libhwy.so'});
write_file(fullfile(shared, 'lib', 'libhwy.so'), sprintf('\177ELF GLIBCXX_3.4.21 GLIBCXX_3.4.30 GLIBCXX_3.4.9'));
matlab_lib = fullfile(work, 'libstdc++.so.6');
write_file(matlab_lib, sprintf('\177ELF GLIBCXX_3.4 GLIBCXX_3.4.21 GLIBCXX_3.4.28'));
lnx = struct('dry_run', true, 'matlab', true, 'os', 'linux', 'arch', 'glnxa64', 'compiler', 'gcc', ...
             'compiler_version', '12.2.0', 'matlab_version', '9.14.0', 'matlab_libstdcxx', matlab_lib);
[info, msg, id] = quiet_build(fullfile(work, 'out5'), shared, lnx);
% The modules themselves carry the C++ runtime, private to them, and keep
% OpenMP shared (tests/mex/check_symbol_versions.py checks the same link).
expect(all(~cellfun(@isempty, regexp(info.commands, ...
       'LDFLAGS=\$LDFLAGS -fopenmp .*-static-libstdc\+\+ -static-libgcc -Wl,--exclude-libs,ALL', 'once'))), ...
       'MATLAB on Linux links the C++ runtime into both modules', strjoin(info.commands, '\n'));
expect(strcmp(id, 'build_tofimage:libstdcxx') && ~isempty(strfind(msg, 'GLIBCXX_3.4.30')) && ...
       ~isempty(strfind(msg, 'static')), 'a libhwy too new for MATLAB''s libstdc++ is warned about', msg);
write_file(matlab_lib, sprintf('\177ELF GLIBCXX_3.4.30 GLIBCXX_3.4.31'));
[~, msg, id] = quiet_build(fullfile(work, 'out5'), shared, lnx);
expect(isempty(id), 'no warning when MATLAB''s libstdc++ serves libhwy', msg);

% Version floors: one clear message naming the minimum, before compiling.
opts = win;
opts.matlab_version = '9.3.0.713579 (R2017b)';
expect_error(@() quiet_build(fullfile(work, 'out6'), 'none', opts), 'MATLAB R2018a (9.4) or later is needed', 'MATLAB R2017b');
opts = win;
opts.compiler_version = '6.3.0';
expect_error(@() quiet_build(fullfile(work, 'out6'), 'none', opts), 'MinGW-w64 GCC 7 or later is needed', 'MinGW GCC 6.3');
if octave && isunix()
  % Octave with a compiler (as mkoctfile reports it from CXX) that is GCC 6.
  fake_gxx = fullfile(work, 'g++-6');
  write_file(fake_gxx, sprintf('#!/bin/sh\necho 6.5.0\n'));
  system(sprintf('chmod +x "%s"', fake_gxx));
  setenv('CXX', fake_gxx);
  expect_error(@() quiet_build(fullfile(work, 'out6'), 'none', struct('dry_run', true)), ...
               'GCC 7 or later is needed for C++17; the selected compiler is GCC 6.5.0', 'Octave with GCC 6');
  set_env('CXX', '');
end
if ~octave
  fprintf('test_build_tofimage_decisions: Octave''s own dry runs are not made in MATLAB\n');
end
fprintf('test_build_tofimage_decisions: passed\n');
end

function [info, msg, id] = quiet_build(outdir, hwy, opts)
% A dry run with its report swallowed; the last warning it gave, if any.
lastwarn('', '');
evalc('info = build_tofimage(outdir, hwy, opts);');
[msg, id] = lastwarn();
end

function prefix = fake_highway(prefix, libs)
% A Highway 1.2.0 install tree: the version header and empty library files.
write_file(fullfile(prefix, 'include', 'hwy', 'highway.h'), ...
           sprintf('#define HWY_MAJOR 1\n#define HWY_MINOR 2\n#define HWY_PATCH 0\n'));
for k = 1:numel(libs)
  write_file(fullfile(prefix, libs{k}), 'not a library');
end
end

function write_file(name, text)
d = fileparts(name);
if ~exist(d, 'dir')
  mkdir(d);
end
fid = fopen(name, 'w');
fwrite(fid, text);
fclose(fid);
end

function path_ = find_program(names)
path_ = '';
for k = 1:numel(names)
  [status, out] = system(sprintf('command -v %s', names{k}));
  if status == 0
    path_ = strtrim(out);
    return;
  end
end
end


function expect_error(f, text, what)
got = '';
try
  f();
catch err
  got = err.message;
end
expect(~isempty(strfind(got, text)), sprintf('%s stops with "%s"', what, text), got);
end

function finish(old_path, env, old_env, work)
path(old_path);
cellfun(@set_env, env, old_env);
remove_dir(work);
end
