function e = build_engine(srcdir)
%BUILD_ENGINE  What src/engine.txt lists, which CMake and meson read too:
%   e.module (the modules), e.ctrl_c (those that watch for Ctrl-C),
%   e.engine and e.vector (the sources of the engine and of the vector
%   kernel, as full paths), e.fp and e.fp_msvc (the floating-point flags),
%   e.user (the M-files that go with the modules, relative to matlab/).
list = fullfile(srcdir, 'engine.txt');
if ~exist(list, 'file')
  error('build_tofimage: source file %s not found', list);
end
e = struct('module', {{}}, 'ctrl_c', {{}}, 'engine', {{}}, 'vector', {{}}, 'fp', {{}}, ...
           'fp_msvc', {{}}, 'user', {{}});
lines = regexp(fileread(list), '[^\r\n]+', 'match');
for k = 1:numel(lines)
  if ~isempty(regexp(lines{k}, '^\s*(#|$)', 'once'))
    continue;
  end
  entry = regexp(lines{k}, '^([a-z_]+)\s+(\S+)\s*$', 'tokens', 'once');
  if isempty(entry) || ~isfield(e, entry{1})
    error('build_tofimage: %s, line "%s": expected one of %s and a value', ...
          list, lines{k}, strjoin(fieldnames(e)', ', '));
  end
  values = e.(entry{1});
  values{end + 1} = entry{2};
  e.(entry{1}) = values;
end
for kind = {'engine', 'vector'}
  e.(kind{1}) = cellfun(@(f) fullfile(srcdir, f), e.(kind{1}), 'UniformOutput', false);
end
sources = [e.engine, e.vector, cellfun(@(f) fullfile(srcdir, [f '.cpp']), e.module, 'UniformOutput', false)];
for k = 1:numel(sources)
  if ~exist(sources{k}, 'file')
    error('build_tofimage: source file %s not found', sources{k});
  end
end
end
