function g = garray(s)
  % GPU array objects are plain structures here: a MEX file cannot see into
  % Octave's old-style class objects. GARRAY_FAIL makes the call fail.
  global GARRAY_FAIL
  if ~isempty(GARRAY_FAIL) && GARRAY_FAIL
    error('garray:fail', 'cannot make the object');
  end
  if ~isstruct(s) || ~isequal(fieldnames(s), {'stack'; 'dims'; 'leftop'; 'rightop'})
    error('garray:arg', 'not a GPU array structure');
  end
  g = s;
end
