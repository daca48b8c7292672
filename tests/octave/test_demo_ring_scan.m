function test_demo_ring_scan()
% End to end through the module: the simulated ring scan of the demo
% (simulate_scan) reconstructs with every point absorber where it truly is,
% and every term gives the same image bit for bit on 1 and 2 threads.
%
% Which image pins the geometry. Each absorber's pressure is an N-shaped
% pulse, odd about its arrival. The module reads every sensor one sample
% after the time of flight (its sample position is d*fs/c - fs*t(1) + 1,
% 0-based), 25 ns into the negative lobe. At the absorber every sensor
% therefore contributes that same negative value, and term 1 (the signal)
% has a sharp minimum there; the 1/d fall-off of the pulses balances the
% sensors on the ring exactly, so the minimum does not drift: it lies
% within a few hundredths of a pixel of the absorber. Term 3 (signal - t *
% derivative) is the image a user looks at: the time derivative of the
% pulse has its extremum at the arrival, so each absorber is a bright
% maximum. It reads the derivative 1.5 samples late (one sample, plus half
% a sample of the forward difference), and its t weighting undoes the 1/d
% balance, so its maxima drift up to about a fifth of a pixel toward the
% ring centre. Both must peak within one pixel of each absorber; term 1's
% minimum, refined between pixels, must also lie within a quarter of a
% pixel, which a grid moved by half a pixel cannot meet.

old_path = path();
cleanup = onCleanup(@() path(old_path));
addpath(repo_path('matlab'), '-end');   % simulate_scan, source_peaks
scan = simulate_scan(256);
pitch = scan.image_width / scan.n;

images = cell(2, 3);
for threads = 1:2
  for term = 1:3
    images{threads, term} = recon(scan, term, threads, [0 0]);
  end
end

for term = 1:3
  assert(isequal(images{1, term}, images{2, term}), ...
         'term %d: the image on 2 threads differs from the image on 1 thread', term);
end

problems = misplaced(scan, images{2, 1}, images{2, 3});
if ~isempty(problems)
  error('the absorbers are not where they truly are:\n%s', sprintf('  %s\n', problems{:}));
end

% The check above must reject images whose geometry is wrong in the ways a
% grid or an orientation is usually wrong. Moving every sensor by (a, b)
% gives the image of a grid moved by (-a, -b).
wrong = {
  'transposed',                      @(s, term) images{2, term}.'
  'upside down',                     @(s, term) flipud(images{2, term})
  'mirrored left to right',          @(s, term) fliplr(images{2, term})
  'grid moved by half a pixel',      @(s, term) recon(s, term, 2, [pitch pitch] / 2)
  'grid moved by half a pixel in x', @(s, term) recon(s, term, 2, [pitch 0] / 2)
  'origin at column and row n/2',    @(s, term) recon(s, term, 2, [pitch -pitch])
};
for k = 1:size(wrong, 1)
  make = wrong{k, 2};
  if isempty(misplaced(scan, make(scan, 1), make(scan, 3)))
    error('the geometry check passes an image that is %s', wrong{k, 1});
  end
end
end

function img = recon(scan, term, threads, sensor_shift)
img = tofimage(scan.sigMat, scan.n, scan.x_sensor + sensor_shift(1), ...
               scan.y_sensor + sensor_shift(2), scan.z_sensor, scan.c, term, ...
               scan.t, scan.fs, scan.image_width, threads);
end

function problems = misplaced(scan, term1, term3)
% Messages for every absorber that an image fails to show where it is.
problems = {};
looks = {term1, -1, 'term 1 minimum'
         term3, +1, 'term 3 maximum'};
for k = 1:size(looks, 1)
  pk = source_peaks(looks{k, 1}, scan.x_pixel, scan.y_pixel, scan.points, looks{k, 2});
  for s = 1:numel(pk)
    p = pk(s);
    where = sprintf('absorber %d, %s at row %d, col %d (true row %.2f, col %.2f)', ...
                    s, looks{k, 3}, p.row, p.col, p.true_row, p.true_col);
    if hypot(p.row - p.true_row, p.col - p.true_col) > 1
      problems{end + 1} = [where ': more than one pixel away']; %#ok<AGROW>
    end
    if p.contrast < 20
      problems{end + 1} = sprintf('%s: only %.1f times the median magnitude', where, p.contrast); %#ok<AGROW>
    end
    if looks{k, 2} < 0 && max(abs([p.fit_row - p.true_row, p.fit_col - p.true_col])) > 0.25
      problems{end + 1} = sprintf('%s: refined to row %.2f, col %.2f', where, p.fit_row, p.fit_col); %#ok<AGROW>
    end
  end
end
end
