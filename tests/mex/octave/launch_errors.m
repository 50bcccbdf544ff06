function launch_errors()
  % Every error site of the command: identifier and message, what it prints,
  % and that the call leaves nothing held.
  launch = @knorlmex;
  id = 'pelkor:runtime';
  expect_error(@() launch(1), id, ...
               'launch(gsingle([])) usage only valid after a kernel has been loaded (knorlmex:600)');
  expect_error(@() launch(), id, 'wrong number of inputs (knorlmex:591)');
  expect_error(@() launch('k', 1, 1, 0), id, 'wrong number of inputs (knorlmex:591)');
  add = kernel_source('add');
  y = pelkor_host('make', single([1 2 3 4]), 0, 1, 0);
  live = pelkor_host('live');
  for k = 1:4
    args = {add, 1, 4, 0, 1, y};
    args{k} = y;
    expect_error(@() launch(args{:}), id, ['launch(kernel, grid, threads, smem, ...): ' ...
                 'kernel, grid, threads, smem must be MATLAB variables (knorlmex:596)']);
  end
  bad_first = {{{add}, 1, 4, 0}, {add, {1}, 4, 0}, {add, 1, struct('x', 4), 0}, {add, 1, 4, []}, ...
               {add, 1, 4, {0}}, {add, int32(1), 4, 0}, {add, 1i, 4, 0}, {add, 1, 4, [0 0]}};
  for k = 1:numel(bad_first)
    expect_error(@() launch(bad_first{k}{:}, 1, y), id, ['launch(kernel, grid, threads, smem, ...): ' ...
                 'kernel must be text, grid and threads real double arrays, smem a real number (knorlmex:598)']);
  end
  bad_args = {{1}, struct('a', 1), 'x'};
  for k = 1:numel(bad_args)
    expect_error(@() launch(add, 1, 4, 0, bad_args{k}, y), id, ['launch(kernel, grid, threads, ' ...
                 'smem, ...): kernel arguments must be numeric or logical arrays or GPU arrays (knorlmex:599)']);
  end
  expect_clean(live);

  % A source that does not compile is the compile error, and the kernel
  % loaded before it is not run in its place.
  launch(add, 1, 4, 0, 1, y);
  expect_eq(pelkor_host('read', y), single([2 3 4 5]), 'first launch');
  [~, err] = run_captured(@() launch(strrep(add, '__fadd_rn', 'no_such_function'), 1, 4, 0, 1, y));
  expect_raised(err, id, ['compilation failed, check that ''nvcc'' is in your PATH. If running Fedora 10 ' ...
                'on a 64 bit installation, a common cause of this is missing 32 bit headers. Make ' ...
                'sure the package glibc-devel.i386 is installed. (sudo yum install glibc-devel.i386). ' ...
                '(knorlmex:382)']);
  expect_eq(pelkor_host('read', y), single([2 3 4 5]), 'after the failed compile');
  expect_no_scratch();
  expect_clean(live);

  % No kernel_main, or one without C linkage.
  hint = sprintf(['knorl: Could not load kernel. Make sure that you have named your kernel \n' ...
                  '         ''kernel_main'' and that it is preceded by extern "C": \n\n' ...
                  '         extern "C" __global__ void kernel_main(float *A) {\n           ... }\n\n']);
  for source = {strrep(add, 'kernel_main', 'kernel_other'), strrep(add, 'extern "C" ', '')}
    [out, err] = run_captured(@() launch(source{1}, 1, 4, 0, 1, y));
    expect_raised(err, id, 'knorl: kernel load error (knorlmex:464)');
    expect_eq(out, hint, 'load hint');
    expect_no_scratch();
  end
  expect_eq(pelkor_host('read', y), single([2 3 4 5]), 'after the failed loads');

  % Refused launches print the whole block and raise the invoke error.
  block = ['\nknorl: CUDA kernel launch failed. You must have written something nasty:\n\n' ...
           '         Launch parameters:\n             gridsize, (%s) \n' ...
           '             blocksize, (%s)\n             shared memory, %s bytes\n' ...
           '         Expected kernel signature:\n             kernel_main(float,float *, dim3)\n' ...
           '         CUDA said: invalid value\n%s'];
  block_hint = 'Make sure block size fits within hardware limits';
  shared_hint = 'Make sure shared memory fits within hardware limits.';
  refused = {
    % grid, threads, smem, printed grid, block, shared, hint
    1, 2000, 0, '1,1', '2000,1,1', '0', block_hint
    1, [32 32 2], 0, '1,1', '32,32,2', '0', block_hint
    1, -1, 0, '1,1', '4294967295,1,1', '0', block_hint
    1, 4, 48 * 1024 + 1, '1,1', '4,1,1', '49153', shared_hint
    1, 4, -1, '1,1', '4,1,1', '18446744073709551615', shared_hint
    NaN, 4, 0, '0,1', '4,1,1', '0', ''
    [1 70000], 4, 0, '1,70000', '4,1,1', '0', ''
    2^40, 4, 0, '4294967295,1', '4,1,1', '0', ''
  };
  for k = 1:rows(refused)
    r = refused(k, :);
    [out, err] = run_captured(@() launch(add, r{1}, r{2}, r{3}, 1, y));
    expect_raised(err, 'Pelkor:SDK', 'knorl: kernel invoke error (knorlmex:536)');
    if isempty(r{7})
      tail = sprintf('\n');
    else
      tail = sprintf('         Hint: %s\n\n', r{7});
    end
    expect_eq(out, sprintf(block, r{4}, r{5}, r{6}, tail), sprintf('launch block %d', k));
    expect_clean(live);
    expect_no_scratch();
  end
  expect_eq(pelkor_host('read', y), single([2 3 4 5]), 'after the refused launches');

  % More parameters than the driver takes.
  many = num2cell(ones(1, 1025));
  [out, err] = run_captured(@() launch(kernel_source('nothing'), 1, 1, 0, many{:}));
  expect_raised(err, 'Pelkor:SDK', 'knorl: kernel invoke error (knorlmex:536)');
  expect_eq(strfind(out, 'Hint: Kernel parameter length too large') > 0, true, 'parameter hint');
  expect_eq(strfind(out, ['kernel_main(' strjoin(repmat({'float'}, 1, 1025), ',') ')']) > 0, true, ...
            'long signature');
  expect_clean(live);
end
