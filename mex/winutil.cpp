// The seven utilities under the C++ names and types that the Windows builds
// export: unsigned 64-bit operands in the x86-64 form, int in the x86 form
// (WINUTIL_FORM in winutil_host.h selects one elsewhere, for the tests).
#include "winutil.h"
#include "winutil_host.h"

WINUTIL_API operand_t divup(operand_t a, operand_t b) { return winutil::divup(a, b); }

WINUTIL_API dim3 divup_rows(unsigned a, unsigned b, unsigned c) {
    return winutil::divup_rows<operand_t, dim3>(a, b, c);
}

WINUTIL_API operand_t prod(unsigned count, const operand_t *values) {
    return winutil::prod(count, values);
}

WINUTIL_API unsigned nextpow2(unsigned a) { return winutil::nextpow2(a); }

WINUTIL_API unsigned log2(unsigned a) { return winutil::log2(a); }

WINUTIL_API bool eq_helper(unsigned n, const wchar_t *s, const char *t) {
    return winutil::eq_units(n, s, t);
}

// Text that is not a character array has no units to compare: false.
WINUTIL_API bool eq(const mxArray *a, const char *t) {
    if (!a || !mxIsChar(a)) return false;
    const mxChar *s = mxGetChars(a);
    if (!s) return false;
    return winutil::eq_units(mxGetNumberOfElements(a), s, t);
}
