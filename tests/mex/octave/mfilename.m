function name = mfilename(varargin)
  % The caller's name as the profiling hook asks for it (TARVEX_NAME); the
  % built-in answer otherwise.
  global TARVEX_NAME
  if nargin == 0 && ~isempty(TARVEX_NAME)
    name = TARVEX_NAME;
  else
    name = builtin('mfilename', varargin{:});
  end
end
