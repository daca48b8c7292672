function check_equal(got, want, what)
% Bit-for-bit equality of two images, class and size included.
if ~strcmp(class(got), class(want)) || ~isequal(size(got), size(want)) || ...
   ~isequal(got, want) || any(signbit(got(:)) ~= signbit(want(:)))
  if isequal(size(got), size(want)) && isnumeric(got)
    detail = sprintf('largest difference %g', max(abs(double(got(:)) - double(want(:)))));
  else
    detail = sprintf('size %s, expected %s', mat2str(size(got)), mat2str(size(want)));
  end
  error('check_equal:differ', '%s: image differs from the expected one (%s)', what, detail);
end
end
