// The utilities as the Windows builds export them, and where they get the
// host's types: the MEX headers and CUDA's dim3
// in a real Windows build, or layout-identical declarations of their own
// (WINUTIL_BARE) where neither exists: the export check, which builds the
// Windows DLL with no SDKs at all, and the tests on other systems.
#pragma once

#if defined(WINUTIL_BARE)
#if defined(_WIN32)
#define WINUTIL_API __declspec(dllexport)
#else
#define WINUTIL_API
#endif
#ifndef WINUTIL_MXCHAR
#define WINUTIL_MXCHAR wchar_t  // UTF-16 on Windows
#endif
typedef WINUTIL_MXCHAR mxChar;
typedef struct mxArray_tag mxArray;
extern "C" {
bool mxIsChar(const mxArray *a);
mxChar *mxGetChars(const mxArray *a);
decltype(sizeof 0) mxGetNumberOfElements(const mxArray *a);
}
struct dim3 {
    unsigned x, y, z;
};
#else
#include <mex.h>
#include <vector_types.h>
#define WINUTIL_API __declspec(dllexport)
#endif

#if !defined(WINUTIL_FORM)
#if defined(_WIN64)
#define WINUTIL_FORM 64
#else
#define WINUTIL_FORM 32
#endif
#endif

#if WINUTIL_FORM == 64
typedef unsigned long long operand_t;
#else
typedef int operand_t;
#endif

WINUTIL_API operand_t divup(operand_t a, operand_t b);
WINUTIL_API dim3 divup_rows(unsigned a, unsigned b, unsigned c);
WINUTIL_API operand_t prod(unsigned count, const operand_t *values);
WINUTIL_API unsigned nextpow2(unsigned a);
WINUTIL_API unsigned log2(unsigned a);
WINUTIL_API bool eq_helper(unsigned n, const wchar_t *s, const char *t);
WINUTIL_API bool eq(const mxArray *a, const char *t);
