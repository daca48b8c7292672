function autofocus_bench(varargin)
%AUTOFOCUS_BENCH  Every method of tofimage_autofocus on every simulated case.
%   autofocus_bench prints, for a ring and a linear array, for point
%   absorbers, a vessel, and a large disc crossed by the vessel, at true
%   speeds of sound of 1450, 1500, 1540 and 1580 m/s, the speed each method
%   finds, its error and the time of the search (wall clock and CPU, on 2
%   threads), then the largest error and the mean time per method and array.
%   autofocus_bench(methods) runs only the methods named in that cell array.
%   Run it from the repository root with the modules on the path:
%     octave-cli --path build --path matlab --eval "addpath tests/octave; autofocus_bench"
methods = {'coherence', 'subaperture', 'sharpness'};
if nargin > 0
  methods = varargin{1};
end
rows = autofocus_cases(methods);
fprintf('\n%-7s %-12s %-10s %14s %12s %12s\n', 'array', 'method', 'roi', 'largest |error|', ...
        'mean wall s', 'mean cpu s');
keys = unique(strcat({rows.array}, '|', {rows.method}, '|', {rows.roi}));
for k = 1:numel(keys)
  part = strsplit(keys{k}, '|');
  sel = strcmp({rows.array}, part{1}) & strcmp({rows.method}, part{2}) & strcmp({rows.roi}, part{3});
  fprintf('%-7s %-12s %-10s %14.2f %12.2f %12.2f\n', part{1}, part{2}, part{3}, ...
          max(abs([rows(sel).error])), mean([rows(sel).seconds]), mean([rows(sel).cpu]));
end
end
