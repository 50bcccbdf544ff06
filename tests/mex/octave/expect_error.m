function expect_error(f, id, message)
  % f() must raise `id` with `message` after the host's "<mex name>: " prefix.
  try
    f();
  catch err
    text = regexprep(err.message, '^\w+: ', '', 'once');
    if ~strcmp(err.identifier, id) || ~strcmp(text, message)
      error('expect:error', 'raised %s "%s", expected %s "%s"', err.identifier, text, id, message);
    end
    return;
  end
  error('expect:error', 'nothing raised, expected %s "%s"', id, message);
end
