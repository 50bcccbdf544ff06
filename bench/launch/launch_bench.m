function launch_bench()
  % Median time of launch of a trivial kernel minus the median of the nvcc
  % command it runs, alone through the same shell escape: the command's own
  % overhead (scratch files, PTX load, launch). Measured with the real nvcc,
  % whose second or so varies by more than the overhead on a busy machine,
  % and again with a stand-in nvcc on PATH that copies the PTX the real one
  % made, which leaves the overhead clear of that noise.
  calls = 20;
  source = 'extern "C" __global__ void kernel_main(float *a, dim3 d) { a[threadIdx.x] = 1.0f; }';
  pelkor_host('reset');
  a = pelkor_host('make', zeros(1, 32, 'single'), 0, 1, 0);
  knorlmex(source, 1, 32, 0, a);  % the scratch set-up, once per process
  dir = tempname();
  mkdir(dir);
  cu = fullfile(dir, 'k.cu');
  ptx = fullfile(dir, 'k.ptx');
  command = sprintf('cd ''%s'' && nvcc -D__x86_64__ -ptx -o ''%s'' ''%s'' --ptxas-options=-v -arch=sm_75', ...
                    dir, ptx, cu);
  report('nvcc', measure(calls, source, a, cu, command));

  copyfile(ptx, fullfile(dir, 'made.ptx'));
  f = fopen(fullfile(dir, 'nvcc'), 'w');
  fprintf(f, '#!/bin/sh\nwhile [ "$1" != -o ]; do shift; done\nexec cp ''%s/made.ptx'' "$2"\n', dir);
  fclose(f);
  system(sprintf('chmod +x ''%s/nvcc''', dir));
  path = getenv('PATH');
  setenv('PATH', [dir ':' path]);
  report('stand-in nvcc', measure(calls, source, a, cu, command));
  setenv('PATH', path);

  confirm_recursive_rmdir(false, 'local');
  rmdir(dir, 's');
  exit(0);
end

function t = measure(calls, source, a, cu, command)
  % Interleaved, so that a change in the machine's load touches both alike.
  t = zeros(2, calls);
  for k = 1:calls
    tic;
    knorlmex(source, 1, 32, 0, a);
    t(1, k) = toc;
    f = fopen(cu, 'w');
    fputs(f, source);
    fclose(f);
    tic;
    status = system(command);
    t(2, k) = toc;
    if status ~= 0
      error('launch_bench:nvcc', 'the compile command failed');
    end
  end
end

function report(what, t)
  m = 1e3 * median(t, 2);
  printf('%s: launch median %.2f ms, compile command median %.2f ms, overhead %.2f ms over %d calls\n', ...
         what, m(1), m(2), m(1) - m(2), columns(t));
end
