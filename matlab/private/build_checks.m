function notes = build_checks(p, h, modules, outdir)
%BUILD_CHECKS  What the built modules need at run time, checked, as the
%   build report's notes: which libhwy and why, with MinGW's note; hwy.dll
%   next to the modules on Windows; on Linux MATLAB, the GLIBCXX versions
%   the modules and a shared libhwy need against MATLAB's own libstdc++
%   (a warning when MATLAB's is older).
notes = {};
if ~isempty(h)
  notes = {['libhwy: ' h.lib ' (' h.why ')'], h.note};
  if isempty(h.why)
    notes{1} = ['libhwy: ' h.lib ' (as given by ' h.source ')'];
  end
  if ~p.octave && p.linux && ~h.static
    shared_libhwy_check(h, p);
  end
  if ~isempty(h.dll)
    notes{end + 1} = copy_dll(h.dll, outdir, p);
  end
end
if ~p.dry_run && ~p.octave && p.linux
  notes{end + 1} = libstdcxx_note(p, modules);
end
notes = notes(~cellfun(@isempty, notes));
end

function shared_libhwy_check(h, p)
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
% (the recipe's -static-libstdc++), so they should name no GLIBCXX version;
% the report says what they name and warns when it is more than MATLAB's
% copy has.
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
bytes = read_bytes(file);
if isempty(bytes)
  return;
end
bytes(bytes > 127) = 32;   % Octave's regexp takes valid UTF-8 only
tokens = regexp(char(bytes'), 'GLIBCXX_3\.4\.(\d+)', 'tokens');
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
if exist(target, 'file') && isequal(read_bytes(dll), read_bytes(target))
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

function bytes = read_bytes(file)
% The file's bytes, or [] when it is absent or cannot be read.
bytes = [];
if isempty(file) || ~exist(file, 'file')
  return;
end
fid = fopen(file, 'r');
if fid < 0
  return;
end
bytes = fread(fid, Inf, 'uint8=>uint8');
fclose(fid);
end
