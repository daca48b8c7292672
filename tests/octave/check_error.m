function check_error(expected, nout, varargin)
% Calls tofimage with the given inputs and nout outputs and checks that it
% fails with exactly the given message: check_error_of for tofimage.
check_error_of('tofimage', expected, nout, varargin{:});
end
