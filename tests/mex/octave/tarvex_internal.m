function tarvex_internal(name, nout, varargin)
  % Records each profiling run in TARVEX_CALLS; TARVEX_NESTED is called from
  % inside it (a cell: function and arguments); TARVEX_FAIL makes it fail.
  global TARVEX_CALLS TARVEX_FAIL TARVEX_NESTED
  TARVEX_CALLS{end + 1} = {name, nout, varargin};
  if ~isempty(TARVEX_NESTED)
    feval(TARVEX_NESTED{:});
  end
  if ~isempty(TARVEX_FAIL) && TARVEX_FAIL
    error('tarvex:mismatch', 'GPU and CPU results differ');
  end
end
