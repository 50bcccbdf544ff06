function [out, err] = run_captured(f)
  % Runs f() with standard output captured (the module's diagnostics, its
  % messages and the compiler's output); err is what it raised, or [].
  err = [];
  simdev('capture');
  try
    f();
  catch e
    err = e;
  end
  out = simdev('captured');
end
