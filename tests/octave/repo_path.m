function p = repo_path(varargin)
% The absolute path of a folder or file of this repository, e.g.
% repo_path('matlab'), found from this file's place (tests/octave), not
% from the current folder.
root = fileparts(fileparts(fileparts(mfilename('fullpath'))));
old = cd(root);              % resolves a relative or ../ path on the path
root = pwd();
cd(old);
p = fullfile(root, varargin{:});
end
