function expect_raised(err, id, message)
  % err (from run_captured) must be `id` with `message` after the host's prefix.
  if isempty(err)
    error('expect:error', 'nothing raised, expected %s "%s"', id, message);
  end
  expect_error(@() rethrow(err), id, message);
end
