function test_profiling()
  % With the engine's profiling switch on, each call first goes through
  % tarvex_internal, which may call the module again without a second run.
  global TARVEX_CALLS TARVEX_FAIL TARVEX_NESTED TARVEX_NAME
  TARVEX_CALLS = {};
  TARVEX_NAME = 'caller';
  TARVEX_NESTED = {@sdkprobe, 'new', [1 1], 'single', 0, 0};
  pelkor_host('set', 'tarvex_on', 1);
  g = sdkprobe('new', [2 2], 'single', 0, 0);
  expect_eq(numel(TARVEX_CALLS), 1, 'profiling runs');
  expect_eq(TARVEX_CALLS{1}{1}, 'caller', 'name');
  expect_eq(TARVEX_CALLS{1}{2}, 1, 'outputs');
  expect_eq(TARVEX_CALLS{1}{3}, {'new', [2 2], 'single', 0, 0}, 'inputs');
  expect_eq(pelkor_host('get', 'tarvex_on'), 1, 'switch back on');
  expect_eq(g.dims, uint64([2 2]), 'the call itself ran');

  TARVEX_NESTED = {};
  TARVEX_FAIL = true;
  expect_error(@() sdkprobe('new', [2 2], 'single', 0, 0), 'Pelkor:SDK', ...
               'GPU output did not match CPU output (Pelkor or precision bug); perhaps try a smaller data size? (calls:458)');
  expect_eq(pelkor_host('get', 'tarvex_on'), 1, 'switch on after a failure');
  TARVEX_FAIL = false;
  pelkor_host('set', 'tarvex_on', 0);
  expect_clean();
end
