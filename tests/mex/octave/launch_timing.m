function launch_timing()
  % The timing form launches the last kernel again only through device
  % memory that its arguments still have; otherwise it refuses and launches
  % nothing.
  launch = @knorlmex;
  id = 'pelkor:runtime';
  refused = @(k, why) sprintf(['launch(x): argument %d of the last launch %s; launch the kernel ' ...
                               'again with its arguments (knorlmex:602)'], k, why);
  data_gone = 'was MATLAB data, whose device copy was freed when that call ended';
  moved = 'no longer has the device memory it was launched with';
  % y(i) += x(i) + s
  accumulate = [ ...
    'extern "C" __global__ void kernel_main(float *y, dim3 dy, float *x, dim3 dx, float s) {', ...
    '  unsigned i = threadIdx.x;', ...
    '  if (i < dy.x * dy.y) y[i] = __fadd_rn(y[i], __fadd_rn(x[i], s));', ...
    '}'];
  y = pelkor_host('make', single([1 2 3 4]), 0, 1, 0);
  x = pelkor_host('make', single([1 1 1 1]), 0, 1, 0);

  % All GPU arrays: timed as before.
  launch(accumulate, 1, 4, 0, y, x, 0);
  t = launch(1);
  expect_eq(isscalar(t) && t > 0, true, 'timed');
  expect_eq(pelkor_host('read', y), single([1 2 3 4] + 101), 'timed launches');
  expect_clean();

  % MATLAB data as an argument: its device copy is gone after the call.
  launch(accumulate, 1, 4, 0, y, single([1 2 3 4]), 0);
  live = pelkor_host('live');
  expect_error(@() launch(1), id, refused(6, data_gone));
  expect_eq(pelkor_host('read', y), single([1 2 3 4] + 101 + [1 2 3 4]), 'nothing launched');
  expect_clean(live);

  % Memory given back to the host in between: the values are safe there,
  % and the arrays made next may take the freed addresses. An argument placed
  % elsewhere again is refused; one back at its old address, with its
  % values, may be launched on.
  launch(accumulate, 1, 4, 0, y, x, 0);
  before = pelkor_host('read', y);
  pelkor_host('reclaim');
  others = {pelkor_host('make', single([7 7 7 7]), 0, 1, 0), pelkor_host('make', single([8 8 8 8]), 0, 1, 0)};
  live = pelkor_host('live');
  [~, err] = run_captured(@() launch(1));
  if isempty(err)
    expect_eq(pelkor_host('read', y), before + 100, 'timed at the old addresses');
  else
    try
      expect_raised(err, id, refused(5, moved));
    catch
      expect_raised(err, id, refused(6, moved));
    end
    expect_eq(pelkor_host('read', y), before, 'nothing launched after the reclaim');
  end
  expect_eq({pelkor_host('read', others{1}), pelkor_host('read', others{2})}, ...
            {single([7 7 7 7]), single([8 8 8 8])}, 'the other arrays');
  expect_clean(live);

  % An argument freed by its owner: the launch still references its memory,
  % so the timed launches reach no freed memory, and the next launch lets it go.
  w = pelkor_host('make', single([0 0 0 0]), 0, 1, 0);
  launch(accumulate, 1, 4, 0, w, x, 0.5);
  buffer = pelkor_host('buffer', w);
  pelkor_host('free', w);
  launch(1);
  expect_clean();
  live = pelkor_host('live');
  launch(accumulate, 1, 4, 0, y, x, 0);
  expect_eq(pelkor_host('live'), live - 1, 'the freed argument''s memory released');
  clear w;
  t = launch(1);
  expect_eq(t > 0, true, 'timed again');

  % A launch that failed before its parameters were all set is not timed.
  pelkor_host('inject', 'dev_access', 9, 'pelkor', 'refused', 1, 1);
  expect_error(@() launch(accumulate, 1, 4, 0, y, x, 0), id, 'refused (pelkor:9)');
  expect_error(@() launch(1), id, ['launch(x): the last launch did not set its kernel''s parameters; ' ...
                                   'launch the kernel again with its arguments (knorlmex:603)']);
  expect_clean();
  expect_no_scratch();
end
