function check_error(expected, nout, varargin)
% Calls tofimage with the given inputs and nout outputs and checks that it
% fails with exactly the given message (Octave puts "tofimage: " in front of
% a MEX module's message).
want = ['tofimage: ' expected];
got = '';
try
  switch nout
    case 0
      tofimage(varargin{:});
    case 1
      R = tofimage(varargin{:}); %#ok<NASGU>
    otherwise
      [R, S] = tofimage(varargin{:}); %#ok<NASGU>
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
