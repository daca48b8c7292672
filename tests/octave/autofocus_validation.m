function rows = autofocus_validation(variants, quick, only)
% The validation suite of tofimage_autofocus: every case of both
% simulators, the project's (simulate_scan, 3-D-like N-shaped pulses, ring
% of radius 40 mm or a linear array) and k-Wave's 2-D scans
% (tests/data/kwave_scans.mat, made by tests/data/kwave/make_kwave_scans.m),
% searched with each variant given ({name, option, value, ...} rows; by
% default the analytic and the real coherence). Prints one line per search
% and returns them: simulator, array, phantom, c_true, variant, region, c
% found, error, the target that holds there (NaN where none: extended
% structures in a limited view), whether the search saw 2-D waves
% (info.two_d) and its wall-clock time.
% quick (default false): the project's simulator at two speeds only.
% only (default ''): 'project' or 'k-Wave' leaves out the other simulator.
here = fileparts(mfilename('fullpath'));
addpath(fullfile(here, '..', '..', 'matlab'), '-end');
if nargin < 1 || isempty(variants)
  variants = {'analytic', 'analytic', true; 'real', 'analytic', false};
end
if nargin < 2
  quick = false;
end
if nargin < 3
  only = '';
end
speeds = [1450 1500 1540 1580];
if quick
  speeds = [1450 1580];
end
scans = {};
if strcmp(only, 'k-Wave')
  speeds = [];
end
for array = {'ring', 'linear'}
  for phantom = {'points', 'vessel', 'disc'}
    for c_true = speeds
      s = simulate_scan(256, 'c', c_true, 'phantom', phantom{1}, 'array', array{1});
      vessel_end = [NaN NaN];
      if ~isempty(s.vessel)
        vessel_end = s.vessel(1, :);
      end
      scans{end + 1} = struct('simulator', 'project', 'array', array{1}, 'phantom', phantom{1}, ...
                              'c', c_true, 'sigMat', s.sigMat, 'x', s.x_sensor, 'y', s.y_sensor, ...
                              't', s.t, 'fs', s.fs, 'width', s.image_width, ...
                              'vessel_end', vessel_end); %#ok<AGROW>
    end
  end
end
kw = load(fullfile(here, '..', 'data', 'kwave_scans.mat'));
for k = 1:numel(kw.scans)
  s = kw.scans(k);
  scans{end + 1} = struct('simulator', 'k-Wave', 'array', s.array, 'phantom', s.phantom, ...
                          'c', s.c, 'sigMat', double(s.data) * s.scale, 'x', s.x_sensor, ...
                          'y', s.y_sensor, 't', kw.t, 'fs', kw.fs, 'width', 16e-3, ...
                          'vessel_end', s.vessel_end); %#ok<AGROW>
end
rows = struct('simulator', {}, 'array', {}, 'phantom', {}, 'c_true', {}, 'variant', {}, ...
              'roi', {}, 'c', {}, 'error', {}, 'target', {}, 'two_d', {}, 'seconds', {});
fprintf('%-8s %-7s %-7s %6s %-9s %-10s %8s %7s %6s %4s %6s\n', 'sim', 'array', 'phantom', ...
        'c_true', 'variant', 'roi', 'c found', 'error', 'target', '2-D', 'wall s');
for k = 1:numel(scans)
  s = scans{k};
  if ~isempty(only) && ~strcmp(only, s.simulator)
    continue;
  end
  regions = {'field', []};
  if strcmp(s.array, 'linear') && ~any(isnan(s.vessel_end))
    at = s.vessel_end;
    regions(end + 1, :) = {'vessel end', [at(1) + 2e-3 * [-1 1], at(2) + 2e-3 * [-1 1]]};
  end
  for r = 1:size(regions, 1)
    % Targets: 3 m/s on the ring; 10 m/s on the linear array's compact
    % features (points over the field, a vessel's end); none for extended
    % structures seen from one side, which focus at a spread of c.
    if strcmp(s.array, 'ring')
      target = 3;
    elseif strcmp(s.phantom, 'points') && isempty(regions{r, 2})
      target = 10;
    elseif strcmp(s.phantom, 'vessel') && ~isempty(regions{r, 2})
      target = 10;
    else
      target = NaN;
    end
    for v = 1:size(variants, 1)
      extra = variants(v, 2:end);
      if ~isempty(regions{r, 2})
        extra = [extra, {'roi', regions{r, 2}}]; %#ok<AGROW>
      end
      wall = tic;
      cols = size(s.sigMat, 2);
      [c, info] = tofimage_autofocus(s.sigMat, 256, s.x, s.y, zeros(cols, 1), [1400 1650], 3, s.t, ...
                             s.fs, s.width, 2, extra{:});
      row = struct('simulator', s.simulator, 'array', s.array, 'phantom', s.phantom, ...
                   'c_true', s.c, 'variant', variants{v, 1}, 'roi', regions{r, 1}, 'c', c, ...
                   'error', c - s.c, 'target', target, 'two_d', info.two_d, ...
                   'seconds', toc(wall));
      rows(end + 1) = row; %#ok<AGROW>
      fprintf('%-8s %-7s %-7s %6d %-9s %-10s %8.2f %+7.2f %6g %4d %6.2f\n', row.simulator, ...
              row.array, row.phantom, row.c_true, row.variant, row.roi, row.c, row.error, ...
              row.target, row.two_d, row.seconds);
    end
  end
end
end
