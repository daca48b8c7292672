function check_error_of(fcn, expected, nout, varargin)
% Calls the module fcn (tofimage, tofimage_frames) with the given inputs and
% nout outputs and checks that it fails with exactly the given message
% (Octave puts "fcn: " in front of a MEX module's message, MATLAB does not).
want = expected;
if exist('OCTAVE_VERSION', 'builtin')
  want = [fcn ': ' expected];
end
got = '';
try
  switch nout
    case 0
      feval(fcn, varargin{:});
    case 1
      R = feval(fcn, varargin{:}); %#ok<NASGU>
    otherwise
      [R, S] = feval(fcn, varargin{:}); %#ok<NASGU>
  end
catch err
  got = err.message;
end
if isempty(got)
  error('check_error:noError', 'expected the error\n  %s\nbut the call succeeded', want);
end
if ~strcmp(got, want)
  error('check_error:wrongMessage', 'expected the error\n  [%s]\ngot\n  [%s]', want, got);
end
end
