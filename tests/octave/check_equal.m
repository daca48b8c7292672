function check_equal(got, want, what)
% Bit-for-bit equality of two images, class and size included. NaN equals
% NaN whatever its payload (which instruction sets do not agree on); every
% other value must have the same sign bit too.
same = strcmp(class(got), class(want)) && isequal(size(got), size(want)) && isequaln(got, want);
if same && isnumeric(got)
  numbers = ~isnan(got(:));
  same = isequal(negative(got(numbers)), negative(want(numbers)));
end
if ~same
  if isequal(size(got), size(want)) && isnumeric(got)
    detail = sprintf('largest difference %g, NaN in %d and %d pixels', ...
                     max(abs(double(got(:)) - double(want(:)))), nnz(isnan(got)), nnz(isnan(want)));
  else
    detail = sprintf('size %s, expected %s', mat2str(size(got)), mat2str(size(want)));
  end
  error('check_equal:differ', '%s: image differs from the expected one (%s)', what, detail);
end
end

function tf = negative(v)
% The sign bit of numbers that are not NaN: -0 has it, as 1/-0 = -Inf shows.
tf = v < 0 | (v == 0 & 1 ./ v < 0);
end
