function test_autofocus_kwave()
% tofimage_autofocus on k-Wave's 2-D scans (tests/data/kwave_scans.mat:
% ring and linear array; points, a vessel, a large disc; c from 1450 to
% 1580 m/s; t(1) = 0), whose waves have the long tails of cylindrical
% spreading and whose sensors interpolate the field. Held: the linear
% array's compact features (points over the field, the vessel with the
% region on its end) within 10 m/s. The
% ring's 3 m/s target is not met on these scans yet (docs/autofocus.md):
% its errors are printed, and held only to 20 m/s, today's worst (the disc),
% so that a change for the worse shows.
rows = autofocus_validation({'analytic', 'analytic', true}, false, 'k-Wave');
missed = {};
open = {};
for k = 1:numel(rows)
  r = rows(k);
  if strcmp(r.array, 'linear') && ~isnan(r.target) && abs(r.error) > r.target
    missed{end + 1} = sprintf('linear %s %d (roi %s): %+.2f m/s, beyond %g', r.phantom, ...
                              r.c_true, r.roi, r.error, r.target); %#ok<AGROW>
  end
  if strcmp(r.array, 'ring')
    if abs(r.error) > 20
      missed{end + 1} = sprintf('ring %s %d: %+.2f m/s, beyond 20', r.phantom, r.c_true, ...
                                r.error); %#ok<AGROW>
    elseif abs(r.error) > r.target
      open{end + 1} = sprintf('ring %s %d: %+.2f m/s', r.phantom, r.c_true, r.error); %#ok<AGROW>
    end
  end
end
if ~isempty(missed)
  error('tofimage_autofocus on k-Wave''s scans:\n%s', sprintf('  %s\n', missed{:}));
end
fprintf('ring cases beyond the 3 m/s target (not held yet):\n%s', sprintf('  %s\n', open{:}));
end
