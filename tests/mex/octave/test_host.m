function test_host()
  % The device's pending error is cleared at the end of each call; the shell
  % runs through the host's system().
  pelkor_host('pending');
  if pelkor_host('peek') == 0
    error('test:host', 'no pending error to clear');
  end
  sdkprobe('new', 1, 'single', 0, 0);
  expect_eq(pelkor_host('peek'), 0, 'pending error after the call');
  expect_eq(sdkprobe('shell', 'exit 3'), 3, 'exit status');
  expect_eq(sdkprobe('shell', 'true'), 0, 'success');
end
