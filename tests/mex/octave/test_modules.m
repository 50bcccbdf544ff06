function test_modules()
  % Two modules built on the SDK in one session each reach their own entry
  % and keep their own texts of driver and cuFFT codes.
  expect_error(@() knorlmex(), 'pelkor:runtime', 'wrong number of inputs (knorlmex:591)');
  printed = evalc('[d, f] = sdkprobe(''texts'', 209, 8);');
  expect_eq({d, f}, {'no binary for this GPU', 'invalid size'}, 'texts');
  expect_eq(printed, sprintf('driver: no binary for this GPU\ncufft: invalid size\n'), 'printed');
  [d, f] = sdkprobe('texts', 0, 999);
  expect_eq({d, f}, {'unknown', 'unknown'}, 'codes without a text');
  expect_error(@() sdkprobe('nothing'), 'pelkor:runtime', 'unknown command (sdkprobe:2)');
  expect_error(@() knorlmex(1, 2), 'pelkor:runtime', 'wrong number of inputs (knorlmex:591)');
  expect_clean();
end
