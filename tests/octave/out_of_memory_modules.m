function out_of_memory_modules()
% The gateways where memory runs out: each must raise an error that names
% it and what it could not allocate, never let a C++ exception out into the
% host, and work again once memory is there. Run against the test builds of
% the modules (cmake/mex.cmake), whose operator new fails beyond
% TOFIMAGE_TEST_ALLOC_LIMIT bytes (tests/mex/alloc_limit.cpp).
if ~strcmp(fileparts(which('tofimage')), fileparts(which('tofimage_frames'))) || ...
   ~strcmp(fileparts(which('tofimage')), fileparts(which('tofimage_beamform'))) || ...
   ~strcmp(fileparts(which('tofimage')), fileparts(which('tofimage_autofocus_search'))) || ...
   isempty(strfind(which('tofimage'), 'alloc-limit'))
  error('out_of_memory_modules: the test builds of the modules are not first on the path');
end
args = ring_args(16, 300, 500, 3, 2, 1);
stack = int16(1000 * randn(500, 300, 20));
want = tofimage(args{:});
wantFrames = tofimage_frames(stack, args{2:end});
% tofimage_beamform at 16 x 16 points.
[X, Y] = meshgrid(linspace(-0.0125, 0.0125, 16));
beam = {args{[3 4 5 6 8 9]}, X, Y, zeros(16)};
wantBeam = tofimage_beamform(stack, beam{:});
% The speed-of-sound search's gateway, analytic (through the host's fft).
search = {args{1}, args{[3 4 5 8 9]}, [1400 1650], 3, 16, args{10}, [], 16, 'coherence', ...
          0, 'nearest', 1, true};
wantSearch = tofimage_autofocus_search(search{:});

% The plan's copies of the 300 sensor positions (2400 bytes) fail.
setenv('TOFIMAGE_TEST_ALLOC_LIMIT', '2000');
check_error_of('tofimage', ['out of memory: could not allocate the reconstruction plan ' ...
                            '(300 sensors, 500 samples, 16 x 16 image)'], 1, args{:});
check_error_of('tofimage_frames', ['out of memory: could not allocate the reconstruction plan ' ...
                                   '(20 frames of 500 x 300 samples, 16 x 16 images)'], ...
               1, stack, args{2:end});
check_error_of('tofimage_beamform', ['out of memory: could not allocate the beamforming plan ' ...
                                     '(20 frames of 500 x 300 samples, 256 points)'], 1, stack, beam{:});
% Its outputs are made before the search, whose copy of the signals fails.
check_error_of('tofimage_autofocus_search', 'tofimage_autofocus: out of memory', 1, search{:});
% The plan fits; the buffer that converts int16 frames to double (several
% frames of 1.2 MB) does not. A double stack needs no such buffer.
setenv('TOFIMAGE_TEST_ALLOC_LIMIT', '1000000');
check_error_of('tofimage_frames', ['out of memory: could not allocate the buffer that ' ...
                                   'converts a batch of frames to double (20 frames of ' ...
                                   '500 x 300 samples, 16 x 16 images)'], 1, stack, args{2:end});
check_equal(tofimage_frames(double(stack), args{2:end}), wantFrames, 'a double stack within the limit');
check_error_of('tofimage_beamform', ['out of memory: could not allocate the buffer that ' ...
                                     'converts a batch of frames to double (20 frames of ' ...
                                     '500 x 300 samples, 256 points)'], 1, stack, beam{:});
check_equal(tofimage_beamform(double(stack), beam{:}), wantBeam, 'a double stack beamformed within the limit');

setenv('TOFIMAGE_TEST_ALLOC_LIMIT', '');
check_equal(tofimage(args{:}), want, 'tofimage after running out of memory');
check_equal(tofimage_frames(stack, args{2:end}), wantFrames, 'tofimage_frames after running out of memory');
check_equal(tofimage_beamform(stack, beam{:}), wantBeam, 'tofimage_beamform after running out of memory');
check_equal(tofimage_autofocus_search(search{:}), wantSearch, ...
            'tofimage_autofocus_search after running out of memory');
end
