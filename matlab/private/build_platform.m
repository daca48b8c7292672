function p = build_platform(opts)
%BUILD_PLATFORM  What the build depends on: host, system, architecture,
%   compiler and versions, as detected here. Fields of opts replace what
%   would be detected. p.too_old is the message that stops the build when
%   MATLAB or the compiler is older than the modules need, else ''.
p.dry_run = isfield(opts, 'dry_run') && opts.dry_run;
p.octave = exist('OCTAVE_VERSION', 'builtin') ~= 0;
if isfield(opts, 'matlab')
  p.octave = ~opts.matlab;
end
if p.octave
  p.host = 'octave';
else
  p.host = 'matlab';
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
  p.arm = ~isempty(regexpi(p.arch, '^(maca64|aarch64|arm64)', 'once'));
else
  % MATLAB's computer('arch'): maca64, maci64, glnxa64, win64. Octave's
  % (and computer()) names the host triplet: aarch64-..., arm64-...
  p.arch = computer('arch');
  p.arm = ~isempty(regexpi([p.arch ' ' computer()], '(^|\s)(maca64|aarch64|arm64)', 'once'));
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
labels = struct('gcc', 'GCC', 'mingw', 'MinGW-w64 GCC', 'clang', 'Clang', 'msvc', 'Visual Studio');
p.compiler_label = labels.(p.compiler);
p.too_old = too_old(p);
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
elseif ~isfield(opts, 'compiler')
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

function msg = too_old(p)
% The oldest MATLAB and compilers the modules build with: the -R2017b API
% needs MATLAB R2018a (9.4); C++17 (if constexpr) needs GCC 7, Clang 5,
% Visual Studio 2017 (15).
msg = '';
if ~p.octave && version_less(p.matlab_version, '9.4')
  msg = sprintf(['build_tofimage: MATLAB R2018a (9.4) or later is needed; this is MATLAB %s. ' ...
                 'Build with a newer MATLAB or with GNU Octave.'], p.matlab_version);
  return;
end
floors = struct('gcc', '7', 'mingw', '7', 'clang', '5', 'msvc', '15');
names = struct('gcc', 'GCC 7', 'mingw', 'MinGW-w64 GCC 7', 'clang', 'Clang 5', ...
               'msvc', 'Visual Studio 2017 (15)');
if ~isempty(p.compiler_version) && version_less(p.compiler_version, floors.(p.compiler))
  msg = sprintf(['build_tofimage: %s or later is needed for C++17; the selected compiler is %s %s. ' ...
                 'Install a newer compiler (in MATLAB, choose it with  mex -setup C++ ).'], ...
                names.(p.compiler), p.compiler_label, p.compiler_version);
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
