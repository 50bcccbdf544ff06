function test_lazy()
  % Casts, wraps and punts build expression records that the engine evaluates.
  z = single([1 2; 3 4]) + 1i * single([5 6; 7 8]);
  g = pelkor_host('make', z, 2, 5, 3);
  c = sdkprobe('cast', g, 'double');
  r = pelkor_host('record', c);
  expect_eq([r.kind r.op_code r.op_flag r.class_id r.complex r.tesk r.bananas r.kiwis], ...
            [2 516 0 6 1 2 5 3], 'complex single to double');
  expect_eq(pelkor_host('read', c), double(z), 'evaluated cast');
  expect_eq(pelkor_host('record', sdkprobe('cast', g, 'single')).kind, 0, 'cast to its own class');

  m = sdkprobe('cast', [300 -2.5 1.5], 'int8');
  r = pelkor_host('record', m);
  expect_eq([r.kind r.op_code r.bananas r.kiwis], [1 3 1 0], 'MATLAB data');
  expect_eq(m.leftop, [300 -2.5 1.5], 'data operand');
  expect_eq(pelkor_host('read', m), int8([127 -3 2]), 'evaluated conversion');

  pelkor_host('set', 'double_enabled', 0);
  expect_eq(pelkor_host('record', sdkprobe('wrap', [1 2])).class_id, 7, 'wrap without doubles');
  pelkor_host('set', 'double_enabled', 1);
  expect_eq(pelkor_host('record', sdkprobe('wrap', [1 2])).class_id, 6, 'wrap with doubles');

  live = pelkor_host('live');
  h = pelkor_host('make', single(ones(2)), 0, 5, 4);
  p = sdkprobe('punt', 42, g, h);
  r = pelkor_host('record', p);
  expect_eq([r.kind r.op_code r.op_flag r.bananas r.kiwis r.has_buffer], [2 42 0 11 7 0], 'punt of two');
  expect_eq(pelkor_host('buffer', p.rightop).id, pelkor_host('buffer', h).id, 'right operand');
  p = sdkprobe('punt', 43, 1 + 2i);
  expect_eq(p.leftop, single(1 + 2i), 'scalar operand');
  expect_eq(p.rightop, [], 'no right operand');
  expect_eq(pelkor_host('record', p).bananas, 1, 'punt of a scalar');
  expect_clean(live + 1);  % h only: the punted outputs' buffers went back
end
