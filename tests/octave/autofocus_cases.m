function rows = autofocus_cases(methods, arrays, speeds, phantoms)
% Runs tofimage_autofocus on simulated scans (simulate_scan, with the
% demo's noise) of every array, phantom and true speed of sound given, by
% every method given, and prints one line per search: the case, the
% method, the region searched, the c found, its error, the search's time
% (wall clock and CPU of the process, on 2 threads) and the notes.
% Returns a struct array with those fields. With a limited view (the linear
% array), phantoms with a vessel are also searched with the region on the
% vessel's end, the compact feature tofimage_autofocus asks for there.
if nargin < 2
  arrays = {'ring', 'linear'};
end
if nargin < 3
  speeds = [1450 1500 1540 1580];
end
if nargin < 4
  phantoms = {'points', 'vessel', 'disc'};
end
c_range = [1400 1650];
threads = 2;
rows = struct('array', {}, 'phantom', {}, 'c_true', {}, 'method', {}, 'roi', {}, ...
              'c', {}, 'error', {}, 'seconds', {}, 'cpu', {}, 'edge', {}, 'limited_view', {}, ...
              'two_d', {});
fprintf('%-7s %-7s %6s  %-12s %-10s %9s %8s %7s %7s\n', 'array', 'phantom', 'c_true', ...
        'method', 'roi', 'c found', 'error', 'wall s', 'cpu s');
for a = 1:numel(arrays)
  for p = 1:numel(phantoms)
    for c_true = speeds
      scan = simulate_scan(256, 'c', c_true, 'phantom', phantoms{p}, 'array', arrays{a});
      regions = {'field', []};
      if strcmp(arrays{a}, 'linear') && ~isempty(scan.vessel)
        at = scan.vessel(1, :);
        regions(end + 1, :) = {'vessel end', [at(1) - 2e-3, at(1) + 2e-3, at(2) - 2e-3, at(2) + 2e-3]};
      end
      for r = 1:size(regions, 1)
        for m = 1:numel(methods)
          extra = {'method', methods{m}};
          if ~isempty(regions{r, 2})
            extra = [extra, {'roi', regions{r, 2}}];
          end
          wall = tic;
          cpu = cputime;
          [c, info] = tofimage_autofocus(scan.sigMat, scan.n, scan.x_sensor, scan.y_sensor, ...
                                         scan.z_sensor, c_range, 3, scan.t, scan.fs, ...
                                         scan.image_width, threads, extra{:});
          row = struct('array', arrays{a}, 'phantom', phantoms{p}, 'c_true', c_true, ...
                       'method', methods{m}, 'roi', regions{r, 1}, 'c', c, 'error', c - c_true, ...
                       'seconds', toc(wall), 'cpu', cputime - cpu, 'edge', info.edge, ...
                       'limited_view', info.limited_view, 'two_d', info.two_d);
          rows(end + 1) = row; %#ok<AGROW>
          flags = '';
          if row.edge
            flags = [flags ' edge'];
          end
          if row.limited_view
            flags = [flags ' limited-view'];
          end
          fprintf('%-7s %-7s %6d  %-12s %-10s %9.2f %+8.2f %7.2f %7.2f %s\n', row.array, ...
                  row.phantom, c_true, row.method, row.roi, c, row.error, row.seconds, ...
                  row.cpu, flags);
        end
      end
    end
  end
end
end
