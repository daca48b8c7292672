function set_env(name, value)
% Sets the environment variable NAME to VALUE, or removes it when VALUE is
% empty: a variable set to '' is not the same as none for some programs
% (mkoctfile takes CXXFLAGS='' as empty flags).
if ~isempty(value)
  setenv(name, value);
elseif exist('OCTAVE_VERSION', 'builtin')
  unsetenv(name);
else
  setenv(name, '');         % MATLAB before R2022b has no unsetenv
end
end
