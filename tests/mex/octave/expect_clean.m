function expect_clean(live_before)
  % After a call: no hold open, no fault, and as many live buffers as before.
  holds = pelkor_host('holds');
  if ~isempty(holds)
    error('expect:clean', 'holds left open: %s', strjoin(holds, ', '));
  end
  faults = pelkor_host('faults');
  if ~isempty(faults)
    error('expect:clean', 'engine faults: %s', strjoin(faults, ', '));
  end
  if nargin > 0
    expect_eq(pelkor_host('live'), live_before, 'live buffers');
  end
end
