function check_user_files(folder, what)
% The M-files users call besides the modules lie in FOLDER, beside the
% modules, as copies of matlab/'s: the user entries of src/engine.txt (the
% help files, with the private helper they run, and tofimage_grid.m); and
% tofimage_grid, called with FOLDER first on the path, is that copy. WHAT
% names the folder in messages.
root = fullfile(fileparts(mfilename('fullpath')), '..', '..');
matlab_dir = fullfile(root, 'matlab');
files = regexp(fileread(fullfile(root, 'src', 'engine.txt')), '^user\s+(\S+)', 'tokens', ...
               'lineanchors');
files = [files{:}];
if ~any(strcmp(files, 'tofimage.m')) || ~any(strcmp(files, 'private/call_module.m'))
  error('check_user_files: src/engine.txt lists as user files only: %s', strjoin(files, ', '));
end
for k = 1:numel(files)
  copy = fullfile(folder, files{k});
  if ~exist(copy, 'file') || ~strcmp(fileread(copy), fileread(fullfile(matlab_dir, files{k})))
    error('check_user_files: %s lacks %s, or has another version of it', what, files{k});
  end
end
old_path = path();
restore = onCleanup(@() path(old_path));
addpath(folder);
[x, y] = tofimage_grid(4, 0.004);
if ~strcmp(which('tofimage_grid'), fullfile(folder, 'tofimage_grid.m')) || ...
   ~isequal(x, [-1 0 1 2] * 0.001) || ~isequal(y, [1; 0; -1; -2] * 0.001)
  error('check_user_files: tofimage_grid in %s resolves to %s', what, which('tofimage_grid'));
end
end
