function test_access()
  % Inputs and outputs reach the device and the host coherently.
  g = pelkor_host('make', single([1 2; 3 4]), 0, 1, 0);
  live = pelkor_host('live');
  pelkor_host('set', 'needs_copy', 1);
  d = sdkprobe('dup', g);  % copied on the device, doubled on the host
  expect_eq(pelkor_host('read', d), single([2 4; 6 8]), 'copy');
  expect_eq(pelkor_host('read', g), single([1 2; 3 4]), 'input after a copy');
  expect_clean(live + 1);

  pelkor_host('set', 'needs_copy', 0);
  s = sdkprobe('dup', g);  % shares the input's buffer
  expect_eq(pelkor_host('buffer', s).id, pelkor_host('buffer', g).id, 'shared buffer');
  expect_eq(pelkor_host('read', g), single([2 4; 6 8]), 'input written in place');

  pelkor_host('set', 'needs_copy', -1);
  m = sdkprobe('dup', single([1 2 3]));  % MATLAB data: always copied
  expect_eq(pelkor_host('read', m), single([2 4 6]), 'copy of MATLAB data');
  expect_clean();
end
