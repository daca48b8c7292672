function demo_picture
% What `make demo` runs works headless: demo_tofimage prints its report,
% ending with the path of the picture, and draws the picture there (into a
% folder it creates when needed).

folder = tempname();
png = fullfile(folder, 'pictures', 'demo.png');
cleanup = onCleanup(@() rmdir_quietly(folder));

out = evalc('demo_tofimage(png)');

lines = strsplit(strtrim(out), "\n");
assert(strcmp(lines{end}, ['Picture: ' png]), ...
       'the report does not end with the path of the picture; it ends with:\n%s', lines{end});
for term = 1:3
  assert(~isempty(regexp(out, sprintf('term %d  [^\\n]* \\d+\\.\\d{3} s\\n', term), 'once')), ...
         'the report gives no time for term %d:\n%s', term, out);
end
assert(~isempty(regexp(out, 'all three terms in \d+\.\d{3} s: [\d.e+]+ pixel-sensor evaluations per second', 'once')), ...
       'the report gives no throughput:\n%s', out);
for s = 1:4
  assert(~isempty(regexp(out, sprintf(['absorber %d  true position  x = [ -]\\d+\\.\\d{3} mm[^\\n]*\\n' ...
                                        ' +term 3 maximum x = [^\\n]* px away\\n' ...
                                        ' +term 1 minimum x = [^\\n]* px away\\n'], s), 'once')), ...
         'the report does not say where the images peak near absorber %d:\n%s', s, out);
end

assert(exist(png, 'file') == 2, 'no picture at %s', png);
img = imread(png);
assert(ndims(img) == 3 && size(img, 3) == 3 && size(img, 1) >= 800 && size(img, 2) >= 800, ...
       'the picture is %s, not a large colour image', mat2str(size(img)));
% Four panels with a diverging colour map: many distinct colours, among
% them strong reds (positive) and strong blues (negative).
rgb = double(reshape(img, [], 3));
colours = size(unique(rgb, 'rows'), 1);
assert(colours > 100, 'the picture has only %d colours', colours);
assert(any(rgb(:, 1) > 150 & rgb(:, 2) < 80 & rgb(:, 3) < 80), 'the picture has no red');
assert(any(rgb(:, 3) > 120 & rgb(:, 1) < 80), 'the picture has no blue');
end

function rmdir_quietly(folder)
if exist(folder, 'dir')
  confirm_recursive_rmdir(false, 'local');
  rmdir(folder, 's');
end
end
