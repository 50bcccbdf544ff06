function test_outputs()
  % New GPU arrays: record, dimensions, buffer; two arrays in one buffer.
  dims = {[4 5 1 1], [4 5]; [4 1 3 1], [4 1 3]; 7, [7 1]; 0, [0 0]; [1 1], [1 1]};
  for i = 1:rows(dims)
    g = sdkprobe('new', dims{i, 1}, 'single', 0, 0);
    expect_eq(g.dims, uint64(dims{i, 2}), sprintf('dims of [%s]', num2str(dims{i, 1})));
  end
  g = sdkprobe('new', [3 2], 'double', 1, 4);
  expect_eq(fieldnames(g), {'stack'; 'dims'; 'leftop'; 'rightop'}, 'fields');
  expect_eq(size(g.stack), [1 56], 'record size');
  expect_eq(class(g.stack), 'int8', 'record class');
  r = pelkor_host('record', g);
  expect_eq([r.engine_ok r.class_id r.kind r.complex r.sparse r.tesk r.bananas r.kiwis r.has_buffer r.reserved], ...
            [1 6 0 1 0 4 1 0 1 0], 'record');
  expect_eq(pelkor_host('buffer', g).nbytes, 96, 'bytes');

  f = sdkprobe('fill', [2 3], 7);
  expect_eq(pelkor_host('read', f), single(7 * ones(2, 3)), 'written output');

  [a, b] = sdkprobe('offset', [2 2], 'single', 3);
  ba = pelkor_host('buffer', a);
  bb = pelkor_host('buffer', b);
  expect_eq([ba.nbytes ba.is_root bb.nbytes bb.is_root bb.parent], [96 1 48 0 ba.id], 'offset buffers');
  expect_eq(pelkor_host('record', b).kiwis, 0, 'view kiwis');

  % A temporary of 7s linked into either of two outputs in one buffer
  % leaves the other as it was.
  [a, b] = sdkprobe('link_pair', 1);
  expect_eq({pelkor_host('read', a), pelkor_host('read', b)}, {single(7 * ones(2)), single(2 * ones(2))}, 'linked into a');
  [a, b] = sdkprobe('link_pair', 2);
  expect_eq({pelkor_host('read', a), pelkor_host('read', b)}, {single(ones(2)), single(7 * ones(2))}, 'linked into b');
  expect_clean();
end
