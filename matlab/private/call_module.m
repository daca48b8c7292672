function varargout = call_module(name, nout, varargin)
%CALL_MODULE  Pass a call made to a help file on to its compiled module.
%   [out{1:max(nout,1)}] = call_module(name, nout, args{:}) runs when the
%   help file name.m (tofimage.m, tofimage_frames.m) was called instead of
%   the compiled module of that name: either the module was never built, or
%   the help file's folder comes before the module's on the path. In the
%   second case the module's folder is moved to the front of the path and
%   the call is passed on; otherwise an error says what to do.
ext = mexext();
here = fileparts(fileparts(mfilename('fullpath')));   % the help file's folder
found = '';
dirs = strsplit(path(), pathsep());
for k = 1:numel(dirs)
  if ~strcmp(dirs{k}, here) && exist(fullfile(dirs{k}, [name '.' ext]), 'file')
    found = dirs{k};
    break;
  end
end
if isempty(found)
  error([name ':notBuilt'], ...
        ['%s: the compiled module (%s.%s) was not found on the path. ' ...
         'Build it with build_tofimage, or with `make` and addpath the build folder.'], ...
        name, name, ext);
end
if strcmp(here, pwd())
  error([name ':shadowed'], ...
        ['%s: the current folder %s holds the help file %s.m, which hides ' ...
         'the compiled module in %s; change to another folder, or run build_tofimage ' ...
         'to build the module here.'], name, here, name, found);
end
warning([name ':shadowed'], ...
        ['%s: the help file in %s was ahead of the compiled module on the path; ' ...
         'moving %s to the front of the path.'], name, here, found);
addpath(found);
if ~strcmp(which(name), fullfile(found, [name '.' ext]))
  error([name ':shadowed'], '%s: could not put the compiled module in %s first on the path.', ...
        name, found);
end
varargout = cell(1, max(nout, 1));
[varargout{:}] = feval(name, varargin{:});
end
