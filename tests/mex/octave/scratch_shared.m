function scratch_shared()
  % As an unprivileged user in a shared /tmp where another user holds the
  % first two scratch names: a name whose file cannot be removed, or
  % written, is not used, and the other user's file keeps its contents.
  launch = @knorlmex;
  [~, uid] = system('id -u');
  base = sprintf('/tmp/%s_%d', strtrim(uid), getpid());
  add = kernel_source('add');
  y = pelkor_host('make', single([1 2 3 4]), 0, 1, 0);
  [out, err] = run_captured(@() launch(add, 1, 4, 0, 1, y));
  expect_eq(err, [], 'error');
  expect_eq(out, [sprintf('Pelkor:180(can_use_file) Unable to remove file %s_0.cu\n', base) ...
                  sprintf('Pelkor:171(can_use_file) Write access denied to file %s_1.ptx\n', base)], ...
            'diagnostics');
  expect_eq(pelkor_host('read', y), single([2 3 4 5]), 'launched');
  expect_eq(fileread([base '_0.cu']), 'theirs', 'the other user''s file');
  expect_eq(isempty(dir([base '_2.*'])), true, 'scratch files removed');
end
