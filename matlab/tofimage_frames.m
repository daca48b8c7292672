function varargout = tofimage_frames(varargin)
%TOFIMAGE_FRAMES  tofimage on a stack of frames that share one scan geometry.
%
%   Recon = tofimage_frames(sigMat, n, x_sensor, y_sensor, z_sensor, c, ...
%                           image_select, t, fs, image_width, numCores)
%   Recon = tofimage_frames(..., numCores, 'Progress', false)
%
%   Takes the arguments of tofimage, but sigMat may hold many frames (a cine
%   loop, several wavelengths, repeated acquisitions), all recorded by the
%   same sensors at the same sample times:
%
%   sigMat        time samples x sensors x frames (rows x cols x frames);
%                 a matrix is a stack of one frame. double, single or int16
%                 (as scanners record it); the other arguments are double,
%                 as for tofimage. At most three dimensions.
%   Recon         n x n x frames (double): Recon(:, :, f) is, bit for bit,
%                 tofimage(double(sigMat(:, :, f)), n, x_sensor, ...). A
%                 stack of zero frames gives an n x n x 0 result.
%
%   Every other argument, the grid, the terms and the thread count are those
%   of tofimage: see help tofimage.
%
%   Why a stack is faster than a loop over tofimage: every frame's pixel and
%   sensor meet at the same sample index, since only the samples differ
%   between frames. tofimage_frames finds each index once for a batch of
%   frames and reads that sample in each of them.
%
%   Long calls. A call expected to last more than about 2 s shows one line
%   in the command window, rewritten in place as the batches of frames are
%   done, which ends with the total time:
%       tofimage_frames: 96 of 240 frames, 30.2 frames/s, 5 s left
%       tofimage_frames: 240 frames in 8.1 s (29.7 frames/s)
%   A shorter call prints nothing. To switch the line off (in scripts whose
%   output goes to a log, say), add the option after numCores:
%       Recon = tofimage_frames(sigMat, n, ..., numCores, 'Progress', false);
%
%   Ctrl-C stops the call within one batch of frames (a few frames: under
%   a second on common grids), with the error
%       tofimage_frames: interrupted (Ctrl-C) after 48 of 240 frames
%   The call returns nothing, as after any error: the images of the frames
%   done are discarded. No thread keeps computing, and the next call works.
%   In MATLAB the module asks for Ctrl-C with utIsInterruptPending, from
%   MATLAB's libut: undocumented by MathWorks, but what MEX functions have
%   long used to be interruptible. In GNU Octave it asks Octave's own
%   interrupt flag (octave_quit). To keep the images of a very long stack
%   as they come, call tofimage_frames on parts of it, e.g. 100 frames at a
%   time.
%
%   Memory: a double stack is read in place, never copied. A single or int16
%   stack is converted to double a few frames at a time (exactly, so the
%   images are those of double(sigMat)); the scratch space does not grow
%   with the number of frames.
%
%   Example (a simulated cine loop of 40 frames, kept as int16):
%       scan = simulate_scan(256, 40);          % in matlab/; one absorber moves
%       sigMat = int16(1000 * scan.sigMat);     % 2030 x 256 x 40
%       Recon = tofimage_frames(sigMat, 256, scan.x_sensor, scan.y_sensor, ...
%                               scan.z_sensor, scan.c, 3, scan.t, scan.fs, ...
%                               scan.image_width, 0);
%       size(Recon)                             % 256 256 40
%       imagesc(Recon(:, :, 7)); axis image
%
%   Errors. The first four are checked in this order, before anything else:
%     "Wrong number of input arguments for Recon = tofimage_frames(sigMat, n,  x_sensor, y_sensor, z_sensor, c, image_select, t, fs, image_width, numCores)"
%         fewer than 11 inputs
%     "Wrong number of output arguments for Recon = tofimage_frames(sigMat, n,  x_sensor, y_sensor, z_sensor, c, image_select, t, fs, image_width, numCores )"
%         more than one output
%     "All input arguments must be double (sigMat may also be single or int16) for fcn Recon = tofimage_frames(...)"
%         sigMat of another class, or another of the first 11 inputs not
%         double
%     "t must have the same number of elements as sigMat has rows"
%         size(t,1) differs from size(sigMat,1) (a row vector t fails)
%   Then, still before any output exists:
%     "<name> must be a full array, not sparse"        (any of the 11)
%     "<name> must not be empty"       (n, c, image_select, fs,
%                                       image_width, numCores)
%     "sigMat is too large: its rows and columns must each number less than 2^31"
%     "n must be a number, not NaN"
%     "sigMat must have at most three dimensions (samples x sensors x frames)"
%     "argument 12: the options after numCores are name-value pairs, and the only name is 'Progress'"
%     "the value of 'Progress' must be true or false"
%     "sigMat must have at least two rows (time samples)"
%     "t must have at least as many elements as sigMat has rows"
%     "<name> must have at least as many elements as sigMat has columns"
%                                      (x_sensor, y_sensor, z_sensor)
%     "n must not be negative"
%     "n is too large: n*n must be less than 2^31"   (also n = Inf)
%   GNU Octave shows each of these messages after "tofimage_frames: ".
%   Errors that can arise once the computation runs begin with
%   "tofimage_frames: " in both hosts, and have identifiers:
%     tofimage_frames:interrupted
%         "tofimage_frames: interrupted (Ctrl-C) after 48 of 240 frames"
%     tofimage_frames:outOfMemory
%         "tofimage_frames: out of memory: could not allocate <what> (...)",
%         where <what> is the reconstruction plan, the buffer that converts
%         a batch of frames to double, or the working memory of the
%         reconstruction, followed by the size of the request
%
%   Build: build_tofimage or CMake (`make`) build tofimage_frames beside
%   tofimage. Like tofimage, the module locks itself at its first call, so
%   clear mex leaves it loaded: after rebuilding it at the same place,
%   restart MATLAB or Octave. Do not munlock tofimage_frames: clear mex
%   would then unload it, which can crash MATLAB.
%
%   Reading a stack from a file a part at a time (matfile), choosing the
%   term, units: the README of the tofimage sources, "Using it well".
%
%   See also TOFIMAGE, BUILD_TOFIMAGE.

% This file holds the help text. When it runs, the compiled module is not
% first on the path: call_module (in private/) finds it, or says why not.
varargout = cell(1, max(nargout, 1));
[varargout{:}] = call_module('tofimage_frames', nargout, varargin{:});
end
