function g = garray(s)
  % The GPU array object of the engine stand-in: the structure itself, which
  % MEX files read and write directly.
  if ~isstruct(s) || ~isequal(fieldnames(s), {'stack'; 'dims'; 'leftop'; 'rightop'})
    error('garray:arg', 'not a GPU array structure');
  end
  g = s;
end
