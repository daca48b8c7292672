function test_build_tofimage_facts()
% build_tofimage's report of what it detected (host, architecture, MEX
% extension, compiler, OpenMP runtime), printed before it builds: through
% dry runs for MATLAB on each platform, whose facts are given, and for the
% host this runs in, whose facts are detected.
here = fileparts(mfilename('fullpath'));
old_path = path();
cleanup = onCleanup(@() path(old_path));
addpath(fullfile(here, '..', '..', 'matlab'));

% Platform, compiler, expected extension, expected OpenMP runtime.
cases = {
  'mac',     'maca64',  'clang', 'mexmaca64', 'libomp.dylib'
  'mac',     'maci64',  'clang', 'mexmaci64', 'libiomp5.dylib'
  'windows', 'win64',   'msvc',  'mexw64',    'vcomp140.dll'
  'windows', 'win64',   'mingw', 'mexw64',    'libgomp linked into the modules'
  'linux',   'glnxa64', 'gcc',   'mexa64',    'libgomp'
};
reported = cell(1, size(cases, 1));
for k = 1:size(cases, 1)
  opts = struct('dry_run', true, 'matlab', true, 'os', cases{k, 1}, 'arch', cases{k, 2}, ...
                'compiler', cases{k, 3}, 'compiler_version', '15.0', 'matlab_version', '9.10.0 (R2021a)', ...
                'cxx', '/bin/false');
  [info, text] = dry_run(opts);
  reported{k} = info.facts.openmp;
  what = sprintf('MATLAB on %s with %s', cases{k, 2}, cases{k, 3});
  expect(strcmp(info.facts.arch, cases{k, 2}) && strcmp(info.facts.mexext, cases{k, 4}), ...
         [what ': architecture and MEX extension'], sprintf('%s, %s', info.facts.arch, info.facts.mexext));
  expect(~isempty(strfind(info.facts.openmp, cases{k, 5})), [what ': the OpenMP runtime'], info.facts.openmp);
  % The report line says all of it before the compiler commands.
  line = regexp(text, 'build_tofimage: MATLAB 9\.10\.0 \(R2021a\) on [^\n]*', 'match', 'once');
  expect(~isempty(line) && ~isempty(strfind(line, ['architecture ' cases{k, 2}])) && ...
         ~isempty(strfind(line, ['.' cases{k, 4}])) && ~isempty(strfind(line, info.facts.openmp)) && ...
         ~isempty(strfind(line, '15.0')), [what ': the printed report'], text);
end
% build_tofimage -platforms prints the table the build follows: every
% platform above with the runtime its report names (on macOS, before the
% folders are filled in).
listing = evalc('build_tofimage -platforms');
for k = 1:size(cases, 1)
  expect(~isempty(strfind(listing, reported{k})) || strcmp(cases{k, 1}, 'mac'), ...
         sprintf('-platforms lists the OpenMP runtime of MATLAB on %s with %s', cases{k, 2}, cases{k, 3}), listing);
end
expect(~isempty(strfind(listing, 'MATLAB on macOS, Apple clang')) && ...
       ~isempty(strfind(listing, 'GNU Octave on Linux, GCC or Clang')), '-platforms names hosts and systems', listing);
% On macOS the modules link MATLAB's own runtime, which the report names.
[info, ~] = dry_run(struct('dry_run', true, 'matlab', true, 'os', 'mac', 'arch', 'maca64', ...
                           'compiler', 'clang', 'compiler_version', '15.0', 'matlab_version', '23.2.0'));
libdir = regexp(info.commands{end}, '-L(\S*maca64)', 'tokens', 'once');
expect(~isempty(libdir) && ~isempty(strfind(info.commands{end}, '-lomp')) && ...
       ~isempty(strfind(info.facts.openmp, fullfile(libdir{1}, 'libomp.dylib'))), ...
       'maca64 links the libomp the report names', [info.facts.openmp ' / ' info.commands{end}]);

% This host: what it detects is what it is.
[info, ~] = dry_run(struct('dry_run', true));
expect(strcmp(info.facts.arch, computer('arch')) && strcmp(info.facts.mexext, mexext()), ...
       'this host: architecture and extension', sprintf('%s, %s', info.facts.arch, info.facts.mexext));
if exist('OCTAVE_VERSION', 'builtin')
  expect(strcmp(info.facts.host, ['GNU Octave ' OCTAVE_VERSION]), 'this host: Octave', info.facts.host);
else
  expect(strcmp(info.facts.host, ['MATLAB ' version()]), 'this host: MATLAB', info.facts.host);
end
expect(~isempty(info.facts.compiler_version) && ~isempty(info.facts.compiler_name), ...
       'this host: the compiler and its version', [info.facts.compiler_name ' ' info.facts.compiler_version]);
end

function [info, text] = dry_run(opts)
text = evalc('info = build_tofimage(tempname(), ''none'', opts);');
end
