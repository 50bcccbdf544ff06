function launch_retry()
  % Guarded CUDA calls: retried after reclaim, reclaim_more and reclaim_all,
  % then the A113 failure; an engine error of a reclaim step ends it.
  launch = @knorlmex;
  id = 'pelkor:runtime';
  a113 = ['Pelkor Error A113: GPU failure. Save your work and restart MATLAB. Please read the FAQ ' ...
          'entry at https://help.example.org/faq?q=a113'];
  add = kernel_source('add');
  y = pelkor_host('make', single([1 2 3 4]), 0, 1, 0);
  live = pelkor_host('live');
  reclaims = @() pelkor_host('log')(strncmp(pelkor_host('log'), 'reclaim', 7));

  % The load fails once: one reclaim of 20 MiB, no trace, the kernel runs.
  simdev('inject', 'module_load', 1, 2);
  pelkor_host('clear');
  [out, err] = run_captured(@() launch(add, 1, 4, 0, 1, y));
  expect_eq(err, [], 'error');
  expect_eq(out, '', 'output');
  expect_eq(reclaims(), {'reclaim 20971520'}, 'reclaims');
  expect_eq(pelkor_host('read', y), single([2 3 4 5]), 'launched');

  % It fails four times: three reclaims in order, one diagnostic, A113.
  simdev('inject', 'module_load', 4, 2);
  pelkor_host('clear');
  [out, err] = run_captured(@() launch(add, 1, 4, 0, 1, y));
  expect_raised(err, id, [a113 ' (knorlmex:455)']);
  expect_eq(out, sprintf('Pelkor:455(cubin_load) CUDA driver error: out of memory\n'), 'diagnostic');
  expect_eq(reclaims(), {'reclaim 20971520', 'reclaim_more 20971520', 'reclaim_all'}, 'reclaims');
  expect_clean(live);
  expect_no_scratch();

  % A reclaim step that fails ends the rule with the engine's triple.
  simdev('inject', 'module_load', 4, 2);
  pelkor_host('inject', 'reclaim_more', 7, 'pelkor', 'reclaim refused');
  pelkor_host('clear');
  [out, err] = run_captured(@() launch(add, 1, 4, 0, 1, y));
  expect_raised(err, id, 'reclaim refused (pelkor:7)');
  expect_eq(out, '', 'output');
  expect_eq(reclaims(), {'reclaim 20971520', 'reclaim_more 20971520'}, 'reclaims');
  simdev('inject', 'module_load', 0, 0);
  expect_clean(live);

  % A parameter call failing once is retried and the kernel runs; failing
  % four times it ends in A113 at its own site, after the calls before it
  % passed: the scalar (567), the array's address (572), its shape (576).
  before = pelkor_host('read', y);
  simdev('inject', 'param_set', 1, 2, 2);
  pelkor_host('clear');
  [out, err] = run_captured(@() launch(add, 1, 4, 0, 1, y));
  expect_eq(err, [], 'error');
  expect_eq(out, '', 'output');
  expect_eq(reclaims(), {'reclaim 20971520'}, 'reclaims');
  expect_eq(pelkor_host('read', y), before + 1, 'launched');
  sites = [567 572 576];
  for k = 1:numel(sites)
    simdev('inject', 'param_set', 4, 2, k - 1);
    pelkor_host('clear');
    [out, err] = run_captured(@() launch(add, 1, 4, 0, 1, y));
    expect_raised(err, id, sprintf('%s (knorlmex:%d)', a113, sites(k)));
    expect_eq(out, sprintf('Pelkor:%d(invoke_kernel) CUDA driver error: out of memory\n', sites(k)), ...
              'diagnostic');
    expect_eq(reclaims(), {'reclaim 20971520', 'reclaim_more 20971520', 'reclaim_all'}, 'reclaims');
    expect_eq(pelkor_host('read', y), before + 1, 'not launched');
    expect_clean(live);
    expect_no_scratch();
  end
  simdev('inject', 'param_set', 0, 0);

  % A refused launch whose synchronisation fails and whose pending error
  % stays non-zero through every read: A113 raised from the launch failure.
  simdev('inject', 'synchronize', 1, 2);
  simdev('inject', 'last_error', 4, 2);
  pelkor_host('clear');
  [out, err] = run_captured(@() launch(add, 1, 2000, 0, 1, y));
  expect_raised(err, 'Pelkor:SDK', [a113 ' (knorlmex:534)']);
  tail = sprintf('Pelkor:534(invoke_kernel_err) CUDA runtime error: out of memory\n');
  expect_eq(strfind(out, 'knorl: CUDA kernel launch failed') > 0, true, 'launch block');
  expect_eq(out(max(1, end - numel(tail) + 1):end), tail, 'diagnostic');
  expect_eq(reclaims(), {'reclaim 20971520', 'reclaim_more 20971520', 'reclaim_all'}, 'reclaims');
  simdev('inject', 'last_error', 0, 0);
  expect_clean(live);
  expect_no_scratch();

  % A refused launch whose synchronisation fails: the pending error is read
  % by the first try, the second reads none, and the result is the invoke
  % error, not A113.
  simdev('inject', 'synchronize', 1, 2);
  pelkor_host('clear');
  [~, err] = run_captured(@() launch(add, 1, 2000, 0, 1, y));
  expect_raised(err, 'Pelkor:SDK', 'knorl: kernel invoke error (knorlmex:536)');
  expect_eq(reclaims(), {'reclaim 20971520'}, 'reclaims');

  % The timing form's synchronisation failing four times.
  launch(add, 1, 4, 0, 1, y);
  simdev('inject', 'synchronize', 4, 2);
  pelkor_host('clear');
  [out, err] = run_captured(@() launch(1));
  expect_raised(err, id, [a113 ' (knorlmex:621)']);
  expect_eq(out, sprintf('Pelkor:621(pkrFunction) CUDA runtime error: out of memory\n'), 'diagnostic');
  expect_eq(reclaims(), {'reclaim 20971520', 'reclaim_more 20971520', 'reclaim_all'}, 'reclaims');

  % An engine error of an argument's device access is returned as it is.
  pelkor_host('inject', 'dev_access', 9, 'pelkor', 'device lost');
  expect_error(@() launch(add, 1, 4, 0, 1, y), id, 'device lost (pelkor:9)');
  expect_clean(live);
end
