function expect_eq(actual, expected, what)
  % Same class, size and values.
  if ~isequal(class(actual), class(expected)) || ~isequal(actual, expected)
    error('expect:eq', '%s: got %s (%s), expected %s (%s)', what, disp_text(actual), class(actual), ...
          disp_text(expected), class(expected));
  end
end

function t = disp_text(x)
  if iscell(x)
    t = strjoin(cellfun(@disp_text, x, 'UniformOutput', false), ' | ');
  else
    t = strtrim(disp(x));
  end
end
