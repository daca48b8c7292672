function varargout = tofimage(varargin)
%TOFIMAGE  Time-of-flight delay-and-sum image from point-sensor signals.
%
%   Recon = tofimage(sigMat, n, x_sensor, y_sensor, z_sensor, c, ...
%                    image_select, t, fs, image_width, numCores)
%
%   Reconstructs an n-by-n image in the plane z = 0 from the signals that a
%   set of point sensors recorded. For every pixel and every sensor the
%   one-way travel time from the pixel centre to the sensor at the speed of
%   sound c is turned into a sample position, counted in samples from the
%   first sample time t(1), plus one sample:
%       Y = (fs/c)*d - (fs*t(1) - 1)      (d: pixel-to-sensor distance)
%   Y is rounded to the nearest sample, ties away from zero (0.5 -> 1,
%   -0.5 -> -1), and clamped to the recorded window: positions before the
%   first sample use the first sample, positions after the last sample use
%   the last one, and NaN or infinite positions, and positions that round
%   to 2^31 or more, use the first sample. The selected term of every
%   sensor is summed into the pixel in sensor order; there is no
%   interpolation, weighting or normalisation.
%
%   All arguments must be double (real, full). Units may be any consistent
%   set; the examples below use metres, seconds and hertz.
%
%   sigMat        The recorded signals, time samples x sensors (rows x cols):
%                 column s holds the samples of sensor s, row i the sample at
%                 time t(i). At least 2 rows. A stack (more than two
%                 dimensions) gives the image of its first frame,
%                 sigMat(:, :, 1), with the warning tofimage:firstFrameOnly:
%                 tofimage_frames reconstructs every frame.
%   n             The image is n x n pixels. A number that is not whole is
%                 truncated toward zero (64.9 gives 64); 0 gives an empty
%                 image.
%   x_sensor, y_sensor, z_sensor   The sensor positions [m], at least one per
%                 sensor (column of sigMat); more are ignored. The image lies
%                 in the plane z = 0.
%   c             The speed of sound [m/s].
%   image_select  The term summed for every sensor, with s(i) the sample read
%                 and s(i+1) the one after it:
%                   1          the signal:                s(i)
%                   2          its time-weighted derivative:
%                              t(i) * (s(i+1) - s(i)) / (t(2) - t(1))
%                   any other  the signal minus that derivative term
%                 s(i+1) is the element after s(i) in sigMat(:): after the
%                 last sample of a sensor it is the first sample of the next
%                 sensor, and after the very last element it is s(i) itself,
%                 so the difference is zero, or NaN where that sample is
%                 infinite or NaN. Term 3 is the usual back-projection term
%                 for point detectors (docs/concepts.md of the tofimage
%                 sources, "The three terms").
%   t             The sample times [s], a column with one entry per row of
%                 sigMat (size(t,1) must equal size(sigMat,1): pass t(:) for a
%                 row); extra columns are ignored. In the unit of 1/fs: with t
%                 in microseconds but fs in hertz, a t(1) other than 0 reads
%                 the same samples for every pixel, an image of one value.
%                 t(1) places the samples in time; t(i) and t(2) - t(1) weight
%                 the derivative terms.
%   fs            The sampling rate [Hz]; with c it turns distances into
%                 samples.
%   image_width   The side length of the square image [m]; the pixel pitch is
%                 dx = image_width / n.
%   numCores      The number of threads. 0, negative or NaN use the OpenMP
%                 runtime's default; very large requests are capped at a few
%                 threads per processor. The image is the same bit for bit
%                 whatever the thread count.
%
%   A scalar argument given as an array uses its first element; a complex
%   argument uses its real part. More than 11 inputs are accepted and the
%   extra ones are ignored.
%
%   Recon         The n x n image (double). Recon(K+1, L+1) is the pixel in
%                 row K and column L (K, L = 0 .. n-1). It has the same bits
%                 on every machine, instruction set and thread count, NaN
%                 payloads aside: where two NaNs meet in a sum, which one's
%                 payload survives depends on the instruction set, so a NaN
%                 pixel is NaN everywhere but not always the same NaN.
%
%   Where the grid sits. With half = floor(n/2), the centre of pixel
%   (row K, column L) is at
%       x = (L - (half - 1)) * dx,    y = ((half - 1) - K) * dx,   z = 0,
%   so the origin is at column half - 1 and row half - 1, columns run toward
%   increasing x and rows toward decreasing y (row 0, the first row of
%   Recon, is the top of the image as imagesc shows it). The grid is not
%   centred on the origin: x runs from -(half-1)*dx to (n-half)*dx.
%
%       n   half   x of columns 0..n-1 [dx]   y of rows 0..n-1 [dx]
%       1    0     1                          -1
%       2    1     0, 1                       0, -1
%       3    1     0, 1, 2                    0, -1, -2
%       4    2     -1, 0, 1, 2                1, 0, -1, -2
%       5    2     -1, 0, 1, 2, 3             1, 0, -1, -2, -3
%
%   Example (two sensors, six samples):
%       sigMat = [10 0; 20 1; 30 4; 40 9; 50 16; 60 25];
%       t = (2:7)';
%       R = tofimage(sigMat, 2, [0 2], [0.5 2], [0 0], 1, 1, t, 1, 2, 1)
%       % R = [14 11; 29 24]
%
%   Errors. The first four are checked in this order, before anything else:
%     "Wrong number of input arguments for Recon = tofimage(sigMat, n,  x_sensor, y_sensor, z_sensor, c, image_select, t, fs, image_width, numCores)"
%         fewer than 11 inputs
%     "Wrong number of output arguments for Recon = tofimage(sigMat, n,  x_sensor, y_sensor, z_sensor, c, image_select, t, fs, image_width, numCores )"
%         more than one output
%     "All input arguments must be double for fcn Recon = tofimage(...)"
%         one of the first 11 inputs is not double (single, integer,
%         logical, char, cell, ...)
%     "t must have the same number of elements as sigMat has rows"
%         size(t,1) differs from size(sigMat,1) (a row vector t fails)
%   Then, still before any output exists:
%     "<name> must be a full array, not sparse"        (any of the 11)
%     "<name> must not be empty"       (n, c, image_select, fs,
%                                       image_width, numCores)
%     "sigMat is too large: its rows and columns must each number less than 2^31"
%     "n must be a number, not NaN"
%     "sigMat must have at least two rows (time samples)"
%     "t must have at least as many elements as sigMat has rows"
%     "<name> must have at least as many elements as sigMat has columns"
%                                      (x_sensor, y_sensor, z_sensor)
%     "n must not be negative"
%     "n is too large: n*n must be less than 2^31"   (also n = Inf)
%   GNU Octave shows each message after "tofimage: ".
%   And, should memory run out for the engine's working memory (the error
%   reads the same in both hosts; identifier tofimage:outOfMemory):
%     "tofimage: out of memory: could not allocate the reconstruction plan (256 sensors, 2030 samples, 512 x 512 image)"
%   A sigMat of more than two dimensions is not an error: its first frame
%   gives the image, with the warning tofimage:firstFrameOnly:
%     "sigMat has more than two dimensions; only its first frame, sigMat(:, :, 1), is used. tofimage_frames reconstructs every frame."
%
%   Build: in MATLAB or Octave run build_tofimage (matlab/build_tofimage.m),
%   or build with CMake (`make`), which writes build/tofimage.mex for Octave.
%   build_tofimage prints whether the module has the vector kernel (with
%   Google Highway) or the scalar kernel only; both give the same image.
%   The module locks itself at its first call (mexLock): clear mex leaves
%   it loaded, since unloading it under the OpenMP runtime's worker threads
%   can crash MATLAB. After rebuilding it at the same place, restart MATLAB
%   or Octave to use the new build (on Windows, restart before rebuilding).
%   Do not munlock tofimage: clear mex would then unload the module, which
%   is not safe everywhere.
%
%   Which term to use, units, moving the field of view (shift the sensor
%   coordinates), saving results and reading big stacks from files: the
%   README of the tofimage sources, section "Using it well".
%
%   See also TOFIMAGE_GRID, TOFIMAGE_FRAMES, BUILD_TOFIMAGE.

% This file holds the help text. When it runs, the compiled module is not
% first on the path: call_module (in private/) finds it, or says why not.
varargout = cell(1, max(nargout, 1));
[varargout{:}] = call_module('tofimage', nargout, varargin{:});
end
