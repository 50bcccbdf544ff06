function test_engine_lookup()
  % No engine: every call asks again and raises; once found, the module locks.
  global GPU_ENTRY_MODE
  for mode = {'error', 'null', 'text'}
    GPU_ENTRY_MODE = mode{1};
    expect_error(@() knorlmex(), 'Pelkor:SDK', 'unable to find Pelkor engine (calls:472)');
    expect_eq(mislocked('knorlmex'), false, ['locked after ' mode{1}]);
  end
  GPU_ENTRY_MODE = 'engine';
  expect_error(@() knorlmex(), 'pelkor:runtime', 'wrong number of inputs (knorlmex:591)');
  expect_eq(mislocked('knorlmex'), true, 'locked');
  GPU_ENTRY_MODE = 'error';  % not asked again
  expect_error(@() knorlmex(1, 2, 3, 4), 'pelkor:runtime', 'wrong number of inputs (knorlmex:591)');
  a = pelkor_host('make', single([1 2]), 1, 1, 0);
  b = pelkor_host('make', single([1 2]), 2, 1, 0);
  expect_error(@() knorlmex(a, 5, b), 'Pelkor:SDK', 'unsupported: using multiple iterators (calls:496)');
  expect_error(@() knorlmex(a, 5, a, [1 2]), 'pelkor:runtime', 'wrong number of inputs (knorlmex:591)');
  clear knorlmex
  expect_eq(mislocked('knorlmex'), true, 'locked after clear');
  expect_clean(2);
end
