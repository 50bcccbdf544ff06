function test_errors()
  % Every failing call raises its triple and leaves nothing held; it gives back
  % all it took, the device copies of its MATLAB arguments included. Its
  % outputs keep their own buffers: the host destroys those objects, which
  % the plain structures here never tell the engine.
  global GARRAY_FAIL
  g = pelkor_host('make', single([1 2 3]), 0, 1, 0);
  live = pelkor_host('live');
  data = num2cell(single(1:18));
  for i = 1:3
    expect_error(@() sdkprobe('fail', 777, g, data{:}), 'pelkor:runtime', 'failed on purpose (sdkprobe:777)');
    expect_clean(live + i);  % its output
  end
  live = live + 3;
  expect_error(@() sdkprobe('raise', g), 'Pelkor:SDK', ...
               'internal error: too many internal allocations (calls:68)');
  live = live + 20;  % its outputs, the twenty that fit
  expect_clean(live);
  pelkor_host('inject', 'dev_access', 9, 'pelkor', 'device lost');
  expect_error(@() sdkprobe('fail', 1, g), 'pelkor:runtime', 'device lost (pelkor:9)');
  live = live + 1;
  expect_clean(live);
  expect_error(@() sdkprobe('link', [2 2]), 'pelkor:runtime', ...
               'pkr_link: address is not a temporary of this call (calls:374)');
  live = live + 1;
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
