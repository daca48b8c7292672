function remove_dir(d)
% Deletes the folder d and everything in it, if it exists. A module still
% loaded from it can keep Windows from deleting it: that is a warning only.
if ~exist(d, 'dir')
  return;
end
if exist('OCTAVE_VERSION', 'builtin')
  confirm_recursive_rmdir(false, 'local');
end
[ok, msg] = rmdir(d, 's');
if ~ok
  warning('remove_dir:failed', 'could not delete %s: %s', d, msg);
end
end
