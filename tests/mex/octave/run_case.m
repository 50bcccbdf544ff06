function run_case(name)
  % Runs one test function and ends Octave with its status.
  pelkor_host('reset');
  try
    feval(name);
  catch err
    fprintf(2, '%s failed: %s\n%s\n', name, err.identifier, err.message);
    for i = 1:numel(err.stack)
      fprintf(2, '  at %s:%d\n', err.stack(i).name, err.stack(i).line);
    end
    exit(1);
  end
  faults = pelkor_host('faults');
  if ~isempty(faults)
    fprintf(2, '%s: engine faults: %s\n', name, strjoin(faults, ', '));
    exit(1);
  end
  exit(0);
end
