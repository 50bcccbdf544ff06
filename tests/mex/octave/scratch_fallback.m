function scratch_fallback()
  % As an unprivileged user with /tmp read-only: the current directory is the
  % scratch directory when it can be used. A directory whose path the
  % compiler would run as a command is refused, and the diagnostic says why; leftover files that the user
  % cannot use, or links, make the next name be tried; a path with a space
  % and a quote compiles.
  launch = @knorlmex;
  work = getenv('ISOLATED_WORK');
  [~, uid] = system('id -u');
  base = sprintf('%s_%d', strtrim(uid), getpid());
  add = kernel_source('add');
  y = pelkor_host('make', single([1 2 3 4]), 0, 1, 0);
  ro = sprintf('Pelkor:158(can_use_dir) Read/Write access denied to directory /tmp\n');
  none = sprintf(['Pelkor:253(set_paths) Neither of the above paths have read and write access for ' ...
                  'the current user. Therefore, the compile-on-demand capabilities of Pelkor cannot ' ...
                  'function. Please enable read and write access to one of the above directories.\n']);
  for d = {'x$(touch F)y', 'x`touch G`y'}
    cd(fullfile(work, d{1}));
    [out, err] = run_captured(@() launch(add, 1, 4, 0, 1, y));
    expect_raised(err, 'pelkor:runtime', 'No scratch directory for compilation available (knorlmex:254)');
    why = sprintf(['Pelkor:156(can_use_dir) Directory %s cannot be used: its path holds $, `, ", \\ or ' ...
                   'a control character, which the compiler''s shell would expand\n'], pwd());
    expect_eq(out, [ro why none], 'refused directory');
  end
  expect_eq(isempty(dir(fullfile(work, '*', 'F'))) && isempty(dir(fullfile(work, 'F'))), true, 'no command run');

  % Ten leftover names the user cannot write: no name is left.
  dq = fullfile(work, 'dir with ''quote');
  cd(dq);
  for k = 0:9
    name{k + 1} = fullfile(dq, sprintf('%s_%d.cu', base, k));
    fclose(fopen(name{k + 1}, 'w'));
    chmod_(name{k + 1}, '400');
  end
  [out, err] = run_captured(@() launch(add, 1, 4, 0, 1, y));
  expect_raised(err, 'pelkor:runtime', ['You do not have permission to read or write any of the above ' ...
                'files. Therefore, the compile-on-demand features of Pelkor cannot function. Please ' ...
                'delete these files or change their read/write permissions to continue. (knorlmex:280)']);
  fall = sprintf('Pelkor:257(set_paths) Warning: Falling back to %s for compile.\n', dq);
  denied = '';
  for k = 1:10
    denied = [denied sprintf('Pelkor:171(can_use_file) Write access denied to file %s\n', name{k})];
  end
  expect_eq(out, [ro fall denied], 'ten names');

  % Try 0 unreadable, try 1 a link: try 2 is used, and the link's target
  % is not made.
  for k = 1:10
    delete(name{k});
  end
  fclose(fopen(name{1}, 'w'));
  chmod_(name{1}, '200');
  link = fullfile(dq, sprintf('%s_1.ptx', base));
  system(sprintf('ln -s "%s/target" "%s"', work, link));
  [out, err] = run_captured(@() launch(add, 1, 4, 0, 1, y));
  expect_eq(err, [], 'error');
  expect_eq(out, [ro fall sprintf('Pelkor:178(can_use_file) Read access denied to file %s\n', name{1}) ...
                  sprintf('Pelkor:171(can_use_file) Write access denied to file %s\n', link)], 'diagnostics');
  expect_eq(exist(fullfile(work, 'target'), 'file'), 0, 'link target');
  expect_eq(pelkor_host('read', y), single([2 3 4 5]), 'launched');
  expect_eq(isempty(dir(fullfile(dq, sprintf('%s_2.*', base)))), true, 'scratch files removed');

  % The names chosen stay for the process, also from another directory.
  cd(work);
  [out, err] = run_captured(@() launch(add, 1, 4, 0, 2, y));
  expect_eq({err, out}, {[], ''}, 'second call');
  expect_eq(pelkor_host('read', y), single([4 5 6 7]), 'launched again');
  expect_eq(isempty(dir(fullfile(dq, sprintf('%s_2.*', base)))), true, 'scratch files removed');
end

function chmod_(file, mode)
  system(sprintf('chmod %s "%s"', mode, file));
end
