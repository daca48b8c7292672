function [h, searched] = build_highway(hwy, p, r)
%BUILD_HIGHWAY  Google Highway for the vector kernel, as a struct (source,
%   version, include, libdir, lib, static, linkage, dll, why), or [] when
%   none is found or hwy is 'none'; searched lists the prefixes looked at,
%   in order. The folder hwy or HWY_ROOT when given, else every candidate
%   (pkg-config, conda, vcpkg, Homebrew, the system): the first static
%   libhwy wins, else the first shared one. The library names and vcpkg's
%   triplets are those of the recipe r.
h = [];
searched = {};
if strcmpi(hwy, 'none')
  return;
end
explicit = {hwy, 'argument'; getenv('HWY_ROOT'), 'HWY_ROOT'};
for k = 1:2
  if ~isempty(explicit{k, 1})
    searched = explicit(k, 1);
    h = highway_at(explicit{k, 1}, explicit{k, 2}, p, r);
    if isempty(h)
      error('build_tofimage: no Highway 1.0 or later in %s (%s): no include/hwy/highway.h or libhwy', ...
            explicit{k, 1}, explicit{k, 2});
    end
    return;
  end
end
found = {};
hp = highway_from_pkgconfig(p, r);
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
    for t = r.triplets
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
  hk = highway_at(candidates{k, 1}, candidates{k, 2}, p, r);
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

function h = highway_from_pkgconfig(p, r)
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
h = highway_files(strtrim(incdir), {strtrim(libdir)}, 'pkg-config', p, r);
end

function h = highway_at(prefix, source, p, r)
% Debian's multiarch folder of this machine only: another architecture's
% libhwy (installed for cross compiling) would not link.
if p.arm
  multiarch = 'aarch64-linux-gnu';
else
  multiarch = 'x86_64-linux-gnu';
end
libdirs = {fullfile(prefix, 'lib'), fullfile(prefix, 'lib64'), fullfile(prefix, 'lib', multiarch)};
h = highway_files(fullfile(prefix, 'include'), libdirs, source, p, r);
end

function h = highway_files(incdir, libdirs, source, p, r)
% Highway's header (version 1.0 or later) and library, static preferred.
% On Windows a library with hwy.dll in the bin folder beside lib is the
% import library of that DLL.
h = [];
version = highway_version(fullfile(incdir, 'hwy', 'highway.h'));
if isempty(version)
  return;
end
for d = 1:numel(libdirs)
  for k = 1:numel(r.hwy_libs)
    lib = fullfile(libdirs{d}, r.hwy_libs{k});
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
      static = isempty(dll) && ~strcmp(r.hwy_libs{k}, 'libhwy.dll.a');
    else
      static = strcmp(r.hwy_libs{k}, 'libhwy.a');
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
