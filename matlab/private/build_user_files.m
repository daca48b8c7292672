function copied = build_user_files(here, outdir, files)
%BUILD_USER_FILES  The M-files users call besides the modules, into outdir
%   (unless it is this folder): files, the user entries of src/engine.txt
%   (the help files, with private/call_module.m that they run when the
%   module is missing or behind them on the path, and tofimage_grid.m). The
%   demo's files, this script and its parts (private/build_*.m) belong to
%   the sources.
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
