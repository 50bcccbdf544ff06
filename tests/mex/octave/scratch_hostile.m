function scratch_hostile()
  % As an unprivileged user in a shared /tmp with another user who has put
  % FIFOs under the first two scratch names and, while each compile runs,
  % links the chosen PTX name to this user's own file: every call returns,
  % the FIFOs only cost their names, nothing is written through the link,
  % nvcc's own temporary files stay out of /tmp, and no file of this user's
  % is left there.
  launch = @knorlmex;
  work = getenv('ISOLATED_WORK');
  [~, uid] = system('id -u');
  uid = strtrim(uid);
  base = sprintf('/tmp/%s_%d', uid, getpid());
  add = kernel_source('add');
  y = pelkor_host('make', single([1 2 3 4]), 0, 1, 0);
  [out, err] = run_captured(@() launch(add, 1, 4, 0, 1, y));
  expect_eq(err, [], 'error');
  expect_eq(out, [sprintf('Pelkor:171(can_use_file) Write access denied to file %s_0.cu\n', base) ...
                  sprintf('Pelkor:171(can_use_file) Write access denied to file %s_1.ptx\n', base)], ...
            'diagnostics');
  expect_eq(pelkor_host('read', y), single([2 3 4 5]), 'launched');

  fclose(fopen(fullfile(work, 'go'), 'w'));
  for k = 1:5
    [~, err] = run_captured(@() launch(add, 1, 4, 0, 1, y));
    expect_eq(err, [], sprintf('error of call %d', k));
  end
  fclose(fopen(fullfile(work, 'stop'), 'w'));
  expect_eq(pelkor_host('read', y), single([7 8 9 10]), 'launched each time');
  [~, kind] = system(sprintf('stat -c %%F %s_2.ptx', base));
  expect_eq(strtrim(kind), 'symbolic link', 'the other user''s link');
  expect_eq(fileread(fullfile(work, 'victim')), 'victim''s own', 'the linked file');
  expect_eq(exist('/tmp/attacker.seen', 'file'), 0, 'nvcc''s temporary files seen in /tmp');
  % The test's own folder may lie under /tmp when the checkout does.
  [~, left] = system(sprintf('find /tmp -path ''%s'' -prune -o -user %s -print', work, uid));
  expect_eq(left, '', 'files of the user left in /tmp');
end
