function test_errors()
  % Every failing call raises its triple and leaves nothing held or allocated.
  global GARRAY_FAIL
  g = pelkor_host('make', single([1 2 3]), 0, 1, 0);
  live = pelkor_host('live');
  expect_error(@() sdkprobe('fail', 777, g, [1 2 3]), 'pelkor:runtime', 'failed on purpose (sdkprobe:777)');
  expect_clean();
  sdkprobe('shell', 'true');  % MATLAB data's buffer lasts until a call ends
  expect_clean(live);
  expect_error(@() sdkprobe('raise', g), 'Pelkor:SDK', ...
               'internal error: too many internal allocations (calls:68)');
  expect_clean(live);
  pelkor_host('inject', 'dev_access', 9, 'pelkor', 'device lost');
  expect_error(@() sdkprobe('fail', 1, g), 'pelkor:runtime', 'device lost (pelkor:9)');
  expect_clean(live);
  expect_error(@() sdkprobe('link', [2 2]), 'pelkor:runtime', ...
               'pkr_link: address is not a temporary of this call (calls:374)');
  expect_clean(live);
  pelkor_host('inject', 'alloc_array', 1, 'pelkor', 'no memory');
  expect_error(@() sdkprobe('new', [2 2], 'single', 0, 0), 'Pelkor:SDK', 'unable to allocate GPU memory (calls:72)');
  GARRAY_FAIL = true;
  expect_error(@() sdkprobe('new', [2 2], 'single', 0, 0), 'Pelkor:SDK', 'unable to create GPU array object (calls:62)');
  GARRAY_FAIL = false;
  expect_error(@() sdkprobe('offset', 2^29, 'single', 0), 'Pelkor:SDK', 'GPU array too large for the engine (calls:112)');
  expect_clean(live);

  a = pelkor_host('make', single(1), 1, 1, 0);
  b = pelkor_host('make', single(1), 2, 1, 0);
  z = pelkor_host('make', single(1), 0, 1, 0);
  expect_error(@() sdkprobe('fail', 1, a, 5, b), 'Pelkor:SDK', 'unsupported: using multiple iterators (calls:496)');
  expect_error(@() sdkprobe('fail', 1, a, z, b), 'pelkor:runtime', 'failed on purpose (sdkprobe:1)');
  pelkor_host('inject', 'materialize', 5, 'pelkor', 'cannot evaluate');
  big = pelkor_host('make', single(1), 0, 21, 0);
  expect_error(@() sdkprobe('new', 1, 'single', 0, 0, big), 'Pelkor:SDK', 'cannot evaluate (pelkor:5)');
  expect_clean();
end
