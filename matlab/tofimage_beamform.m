function varargout = tofimage_beamform(varargin)
%TOFIMAGE_BEAMFORM  Beamform recorded signals at any points in 3-D.
%
%   img = tofimage_beamform(sigMat, x_sensor, y_sensor, z_sensor, c, t, fs, X, Y, Z)
%   img = tofimage_beamform(..., Z, Name, Value, ...)
%
%   The general beamformer on tofimage's engine: delay-and-sum and its
%   coherence-based relatives (coherence factor, DMAS, signed DMAS), with
%   nearest or linear interpolation, apodization by an f-number about each
%   sensor's normal, per-sensor weights and an optional envelope, at any
%   points: a plane of any orientation, a 3-D volume, a list of points.
%
%   sigMat        time samples x sensors, or time samples x sensors x frames
%                 (a stack: every frame recorded by the same sensors at the
%                 same times). double, single or int16; real.
%   x_sensor, y_sensor, z_sensor   The sensor positions, one element per
%                 sensor (column of sigMat).
%   c             The speed of sound [m/s].
%   t             The sample times, one per row of sigMat, equally spaced, in
%                 the unit of 1/fs.
%   fs            The sampling rate [Hz]; with c it turns distances into
%                 samples.
%   X, Y, Z       the points: three double arrays of one size, any shape
%                 (from meshgrid or ndgrid, a column each, a 3-D volume)
%   img           double, size(X); for a stack of F frames, [size(X) F]:
%                 img(..., f) is the image of sigMat(:, :, f), bit for bit
%                 the image of that frame alone, whatever its class
%
%   For point P and sensor s, with e = sensor - P and the sensor's column g:
%     position = (fs/c) * sqrt((ex*ex + ey*ey) + ez*ez) - (fs*t(1) - SampleOffset)
%   is where the sample of P lies in g, counted from 0 at t(1) (with
%   SampleOffset 0, the physical time of flight). A position outside
%   0 .. rows-1 leaves the sensor out for that point (it is not clamped to
%   the record, unlike in tofimage). The contributions a_s = weight * v of
%   the sensors K that do contribute are then combined by the beamformer.
%
%   Options (names in any case; the last of a repeated name counts):
%   'Interp'       'linear' (default): v = g(i0) + f * (g(i0+1) - g(i0)), with
%                  g the sensor's column, i0 = floor(position) and
%                  f = position - i0, used where 0 <= position <= rows-1.
%                  'nearest': the sample at the position rounded half away
%                  from zero, as tofimage reads it. A position outside the
%                  record leaves the sensor out for that point; it is not
%                  clamped.
%   'Beamformer'   'das' (default): S = sum of a_s over the contributing
%                  sensors K, with a_s = weight x value. 'cf': the coherence
%                  factor S^2 / (|K| * sum of a_s^2), 0 where that denominator
%                  is 0. 'das-cf': S times the coherence factor. 'dmas':
%                  delay-multiply-and-sum, the sum over pairs i < j of
%                  sign(a_i a_j) sqrt(|a_i a_j|), computed in one pass as
%                  ((sum h)^2 - sum h^2) / 2 with h = sign(a) sqrt(|a|).
%                  'sdmas': signed DMAS, sign(S) * DMAS.
%   'Term'         What each column holds before any delay, as tofimage's
%                  three terms: 'signal' or 1 (default); 'derivative' or 2,
%                    D(i) = (t(i) / (t(2) - t(1))) * (s(i+1) - s(i)),
%                  0 at a column's last sample; 'difference' or 3, s - D.
%   'FNumber'      F > 0: each sensor sees only the points within the
%                  acceptance angle atan(1 / (2F)) about its normal; 0
%                  (default): every point. Needs 'Normals'.
%   'Normals'      sensors x 3 [nx ny nz]: the direction each sensor faces,
%                  one row per column of sigMat (any length; normalised). []
%                  (default): none.
%   'Window'       The apodization over the acceptance angle, of x = theta /
%                  theta_max: 'box' (default) 1; 'hann' 0.5 * (1 + cos(pi x));
%                  'tukey' (alpha 0.5) flat up to x = 0.5, then a half cosine
%                  down to 0 at x = 1. Used with 'FNumber'.
%   'Weights'      One weight per sensor, as sigMat has columns
%                  (default all 1); a weight of 0 leaves the sensor out
%                  (a bad channel), at no cost.
%   'Envelope'     true: each column (after the term) is replaced by its
%                  analytic signal (the FFT-based Hilbert transform, with this
%                  host's fft and ifft), the complex values are summed, and
%                  the image is |S|. 'das' only. Default false.
%   'SampleOffset' Added to every position (default 0: the physical time of
%                  flight). tofimage reads one sample after the time of
%                  flight: with 'nearest', SampleOffset 1, 'das' and terms 1
%                  and 2, at the points of tofimage_grid (Z = 0), the image is
%                  tofimage's, bit for bit.
%   'NumCores'     Threads (default 0: as many as OpenMP chooses), as
%                  tofimage's numCores. The image does not depend on it.
%   'Progress'     false: no progress line for long calls (default true).
%
%   Every sum runs over the sensors in increasing order, one IEEE operation
%   at a time, so the image is the same bit for bit on every machine,
%   instruction set, thread count and frame batch.
%
%   Examples. A ring of sensors in the x-y plane (simulate_scan, in
%   matlab/), its image on a 20 mm square of 200 x 200 points:
%       scan = simulate_scan(256);
%       [X, Y] = meshgrid(linspace(-10e-3, 10e-3, 200));
%       Z = zeros(size(X));
%       img = tofimage_beamform(scan.sigMat, scan.x_sensor, scan.y_sensor, ...
%                               scan.z_sensor, scan.c, scan.t, scan.fs, X, Y, Z);
%       imagesc(X(1, :), Y(:, 1), img); axis xy image
%
%   A linear array along x at depth z = 15 mm, facing -z, imaged in its x-z
%   plane (simulate_scan puts it at y = 15 mm in the plane z = 0: its y is
%   the depth here), with an f-number of 1.5, a Hann window and signed DMAS:
%       scan = simulate_scan(256, 'array', 'linear');
%       [X, Z] = meshgrid(linspace(-12e-3, 12e-3, 240), linspace(-12e-3, 12e-3, 240));
%       Y = zeros(size(X));
%       normals = repmat([0 0 -1], numel(scan.x_sensor), 1);
%       img = tofimage_beamform(scan.sigMat, scan.x_sensor, scan.z_sensor, ...
%                               scan.y_sensor, scan.c, scan.t, scan.fs, X, Y, Z, ...
%                               'FNumber', 1.5, 'Normals', normals, ...
%                               'Window', 'hann', 'Beamformer', 'sdmas');
%       imagesc(X(1, :), Z(:, 1), img); axis xy image
%
%   A 3-D volume of 64 x 64 x 32 points about the ring's plane, as the
%   envelope of each frame of a cine loop of 10 frames kept as int16:
%       scan = simulate_scan(256, 10);
%       [X, Y, Z] = ndgrid(linspace(-5e-3, 5e-3, 64), linspace(-5e-3, 5e-3, 64), ...
%                          linspace(-2e-3, 2e-3, 32));
%       img = tofimage_beamform(int16(1000 * scan.sigMat), scan.x_sensor, ...
%                               scan.y_sensor, scan.z_sensor, scan.c, scan.t, ...
%                               scan.fs, X, Y, Z, 'Envelope', true);
%       size(img)                           % 64 64 32 10
%
%   Long calls, Ctrl-C and memory work as in tofimage_frames: a call
%   expected to last more than about 2 s shows a progress line (unless
%   'Progress' is false); Ctrl-C stops it between batches of frames with
%   the error tofimage_beamform:interrupted; a single or int16 stack is
%   converted to double a few frames at a time; memory that runs out is
%   the error tofimage_beamform:outOfMemory, naming what could not be
%   allocated. A failure of the host's fft or ifft for the envelope is the
%   error tofimage_beamform:fft, with the host's message.
%
%   Errors, before any computation (GNU Octave shows each after
%   "tofimage_beamform: "):
%     "Wrong number of input arguments for img = tofimage_beamform(sigMat, x_sensor, y_sensor, z_sensor, c, t, fs, X, Y, Z, Name, Value, ...)"
%     "Wrong number of output arguments for img = tofimage_beamform(sigMat, x_sensor, y_sensor, z_sensor, c, t, fs, X, Y, Z, Name, Value, ...)"
%     "All input arguments before the options must be double (sigMat may also be single or int16) for fcn img = tofimage_beamform(...)"
%     "<name> must be a full array, not sparse"
%     "<name> must be real, not complex"
%     "sigMat must have at most three dimensions (samples x sensors x frames)"
%     "sigMat is too large: its rows and columns must each number less than 2^31"
%     "t must have as many elements as sigMat has rows"
%     "<name> must have as many elements as sigMat has columns (sensors)"
%     "<name> must be a scalar"                     (c, fs)
%     "X, Y and Z must have the same size"
%     "X must have fewer than 64 dimensions"
%     "argument 11: the options after Z are name-value pairs; the names are Interp, Beamformer, Term, FNumber, Normals, Window, Weights, Envelope, SampleOffset, NumCores and Progress"
%     "the option '<name>' has no value"
%     "the value of '<name>' must be a character vector"     (Interp, Beamformer, Window)
%     "the value of 'Term' must be a character vector or 1, 2 or 3"
%     "the value of '<name>' must be a real number"   (FNumber, SampleOffset, NumCores)
%     "the value of 'Normals' must be a sensors x 3 double matrix (one row per sensor), or []"
%     "the value of 'Weights' must be a double vector with one element per sensor, or []"
%     "the value of '<name>' must be true or false"   (Envelope, Progress)
%     "Interp must be 'nearest' or 'linear'"
%     "Beamformer must be 'das', 'cf', 'das-cf', 'dmas' or 'sdmas'"
%     "Term must be 'signal', 'derivative' or 'difference' (or 1, 2, 3)"
%     "Window must be 'box', 'hann' or 'tukey'"
%   and, on the values:
%     "sigMat must have at least two rows (time samples)"
%     "t must start with two different finite sample times"
%     "c must be a positive finite number"
%     "fs must be a positive finite number"
%     "<name> must be finite (no NaN or Inf)"   (x_sensor, y_sensor, z_sensor,
%                                                X, Y, Z)
%     "Normals must be finite (no NaN or Inf)"
%     "Weights must be finite (no NaN or Inf)"
%     "SampleOffset must be finite"
%     "FNumber must be a finite number >= 0 (0: no f-number)"
%     "FNumber needs Normals: one direction per sensor (sensors x 3)"
%     "Normals: the normal of sensor <k> has zero (or no finite) length"
%     "Envelope works with the 'das' beamformer only"
%     "the image has too many frames", "there are too many points"
%   Normals are checked only with an f-number, which is what uses them.
%   Errors once the computation runs begin with "tofimage_beamform: " in
%   both hosts, and have identifiers:
%     tofimage_beamform:interrupted
%         "tofimage_beamform: interrupted (Ctrl-C) after 48 of 240 frames"
%     tofimage_beamform:outOfMemory
%         "tofimage_beamform: out of memory: could not allocate <what> (...)"
%     tofimage_beamform:fft
%         "tofimage_beamform: the envelope's Fourier transform failed (<the host's message>)"
%
%   Build: build_tofimage or CMake (`make`) build tofimage_beamform beside
%   tofimage. Like tofimage, the module locks itself at its first call.
%
%   See also TOFIMAGE, TOFIMAGE_FRAMES, TOFIMAGE_GRID, BUILD_TOFIMAGE.

% This file holds the help text. When it runs, the compiled module is not
% first on the path: call_module (in private/) finds it, or says why not.
varargout = cell(1, max(nargout, 1));
[varargout{:}] = call_module('tofimage_beamform', nargout, varargin{:});
end
