function test_demo_picture()
% What `make demo` runs works headless: demo_tofimage (matlab/) prints its
% report, with the cine loop's rates and the linear array's images, ending
% with the path of the picture, and draws the picture there (into a folder
% it creates when needed).

folder = tempname();
png = fullfile(folder, 'pictures', 'demo.png');
old_path = path();
cleanup = onCleanup(@() finish(old_path, folder));
addpath(repo_path('matlab'), '-end');   % after the modules on the path

out = evalc('demo_tofimage(png)');

lines = strsplit(strtrim(out), sprintf('\n'));
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
% The cine loop: a rate for each way, the same images, and the moving
% absorber where it truly is in every frame.
for way = {'tofimage, frame by frame', 'tofimage_frames, double stack', ...
           'tofimage_frames, int16 stack'}
  assert(~isempty(regexp(out, [way{1} ' +\d+\.\d{3} s +\d+\.\d frames per second'], 'once')), ...
         'the report gives no rate for the cine loop through %s:\n%s', way{1}, out);
end
assert(~isempty(strfind(out, 'every frame the same image bit for bit, each way')), ...
       'the report does not say that the cine loop''s images agree:\n%s', out);
% The speed of sound hidden from the reconstruction is found.
found = regexp(out, 'found c = (\d+\.\d+) m/s \(([-+]\d+\.\d+) m/s\) in \d+\.\d{3} s', ...
               'tokens', 'once');
assert(~isempty(found) && abs(str2double(found{2})) <= 5, ...
       'the demo does not find the hidden speed of sound within 5 m/s:\n%s', out);
worst = regexp(out, 'moving absorber: term 3 peaks within (\d+\.\d+) px of it in every frame', ...
               'tokens', 'once');
assert(~isempty(worst) && str2double(worst{1}) <= 1, ...
       'the moving absorber is not within a pixel of its track in every frame:\n%s', out);

% The linear array's x-z plane, four ways through tofimage_beamform: each
% timed, each with the point absorbers where they are.
for way = {'nearest DAS', 'linear DAS', 'linear DAS, F = 1.5', 'linear sDMAS'}
  found = regexp(out, [strrep(way{1}, '.', '\.') ' +\d+\.\d{3} s +[\d.e+]+ point-sensor evaluations/s; ' ...
                       'point absorbers: peaks (\d+\.\d+) px off'], 'tokens', 'once');
  assert(~isempty(found) && str2double(found{1}) <= 1.5, ...
         'the report gives no time for the linear array''s %s, or its absorbers are off:\n%s', way{1}, out);
end

assert(exist(png, 'file') == 2, 'no picture at %s', png);
img = imread(png);
assert(ndims(img) == 3 && size(img, 3) == 3 && size(img, 1) >= 800 && size(img, 2) >= 800, ...
       'the picture is %s, not a large colour image', mat2str(size(img)));
% Panels with a diverging colour map: many distinct colours, among
% them strong reds (positive) and strong blues (negative).
rgb = double(reshape(img, [], 3));
colours = size(unique(rgb, 'rows'), 1);
assert(colours > 100, 'the picture has only %d colours', colours);
assert(any(rgb(:, 1) > 150 & rgb(:, 2) < 80 & rgb(:, 3) < 80), 'the picture has no red');
assert(any(rgb(:, 3) > 120 & rgb(:, 1) < 80), 'the picture has no blue');
end

function finish(old_path, folder)
path(old_path);
remove_dir(folder);
end
