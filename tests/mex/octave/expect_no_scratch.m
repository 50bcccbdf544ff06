function expect_no_scratch()
  % No scratch file of this process is left in /tmp.
  persistent base
  if isempty(base)
    [~, uid] = system('id -u');
    base = sprintf('/tmp/%s_%d_', strtrim(uid), getpid());
  end
  left = dir([base '*']);
  if ~isempty(left)
    error('expect:scratch', 'scratch files left: %s', strjoin({left.name}, ', '));
  end
end
