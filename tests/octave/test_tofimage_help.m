function test_tofimage_help()
% help tofimage explains the call from the build folder, and the help file
% in matlab/ never hides the compiled module.
checks = 0;
module = which('tofimage');
[folder, ~, ext] = fileparts(module);
if ~strcmp(ext, ['.' mexext()])
  error('test_tofimage_help: tofimage resolves to %s, not to the compiled module', module);
end
text = evalc('help tofimage');
must = {'Recon = tofimage(sigMat, n, x_sensor, y_sensor, z_sensor, c, ...', ...
        'image_select, t, fs, image_width, numCores)', ...
        'Wrong number of input arguments for Recon = tofimage(sigMat, n,  x_sensor, y_sensor, z_sensor, c, image_select, t, fs, image_width, numCores)', ...
        'Wrong number of output arguments for Recon = tofimage(sigMat, n,  x_sensor, y_sensor, z_sensor, c, image_select, t, fs, image_width, numCores )', ...
        'All input arguments must be double for fcn Recon = tofimage(...)', ...
        't must have the same number of elements as sigMat has rows', ...
        'must be a full array, not sparse', 'must not be empty', ...
        'n must be a number, not NaN', 'n must not be negative', ...
        'n is too large: n*n must be less than 2^31', ...
        'sigMat must have at least two rows (time samples)', ...
        'must have at least as many elements as sigMat has columns', ...
        'sigMat is too large: its rows and columns must each number less than 2^31', ...
        'speed of sound [m/s]', 'sampling rate [Hz]', 'sample times [s]', ...
        'numCores', 'half - 1', 'rows toward decreasing y', ...
        '5    2     -1, 0, 1, 2, 3             1, 0, -1, -2, -3'};
for k = 1:numel(must)
  if isempty(strfind(text, must{k}))
    error('test_tofimage_help: the help lacks "%s"', must{k});
  end
  checks = checks + 1;
end
% Every message the module can raise is listed in the help: compare with the
% engine's and the gateway's sources.
src = fullfile(fileparts(mfilename('fullpath')), '..', '..', 'src');
code = [fileread(fullfile(src, 'tofimage.cpp')), fileread(fullfile(src, 'recon.cpp'))];
msgs = regexp(code, '(?:mexErrMsgTxt\(|takeMessage\(|return |\+ )\s*"([^"]+)"', 'tokens');
for k = 1:numel(msgs)
  m = msgs{k}{1};
  if any(strcmp(m, {'Recon must have n*n elements', 'Recon has no data', 'sigMat has no data', ...
                    'sigMat must not have a negative number of columns', ...
                    'sigMat has fewer elements than rows times columns', ...
                    'the number of frames must not be negative', ...
                    'sigMat has too many frames', 'Recon has too many frames'}))
    continue;   % conditions the gateway rules out before they can arise
  end
  if numel(m) > 20 && isempty(strfind(text, m))
    error('test_tofimage_help: the message "%s" is not in the help', m);
  end
  checks = checks + 1;
end
if numel(msgs) < 14
  error('test_tofimage_help: only %d messages found in the sources', numel(msgs));
end

% The help file in matlab/ ahead of the build folder: the call still reaches
% the compiled module (with a warning) and puts it first on the path again.
matlab_dir = fullfile(fileparts(mfilename('fullpath')), '..', '..', 'matlab');
matlab_dir = canonicalize_file_name(matlab_dir);
old_path = path();
restore = onCleanup(@() path(old_path));
addpath(matlab_dir);
if ~strcmp(which('tofimage'), fullfile(matlab_dir, 'tofimage.m'))
  error('test_tofimage_help: matlab/tofimage.m is not ahead on the path');
end
args = worked_example_args(2);
lastwarn('');
R = tofimage(args{:});            % prints the warning
check_equal(R, expected_worked_example(2), 'call through the help file');
[~, id] = lastwarn();
if ~strcmp(id, 'tofimage:shadowed')
  error('test_tofimage_help: no warning when the help file hid the module');
end
if ~strcmp(which('tofimage'), module)
  error('test_tofimage_help: the module is not first on the path after the call');
end
% Errors of the module come through unchanged.
addpath(matlab_dir);
check_error('t must have the same number of elements as sigMat has rows', 1, ...
            args{1:7}, args{8}', args{9:11});
checks = checks + 4;
printf('test_tofimage_help: %d checks passed\n', checks);
end
