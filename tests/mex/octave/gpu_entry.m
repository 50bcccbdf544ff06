function h = gpu_entry(k)
  % The engine handle in the first word of a uint64 scalar. GPU_ENTRY_MODE
  % makes it fail: 'error' raises, 'null' hands out 0, 'text' a string.
  global GPU_ENTRY_MODE
  if k ~= 3
    error('gpu_entry:arg', 'gpu_entry expects 3');
  end
  switch GPU_ENTRY_MODE
    case 'error'
      error('gpu_entry:none', 'no engine here');
    case 'null'
      h = uint64(0);
    case 'text'
      h = 'engine';
    otherwise
      h = pelkor_host('entry');
  end
end
