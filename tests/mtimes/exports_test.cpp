// The matrix multiply leaves the library as blas and the twelve cuBLAS
// wrappers under their template names, and as nothing else.
#include "support.h"
#include "support/exports.h"

namespace {

std::set<std::string> exported_products() {
    return testenv::exported_names(TORVANE_LIB_PATH,
                                   {"blas", "vv<", "mv<", "mm<", "mtimes", "gemm", "gemv"});
}

#define TV_TEST_BLAS_NAMES(T)                                                               \
    want.insert(#T " vv<" #T ">(unsigned int, " #T " const*, " #T " const*)");              \
    want.insert("void mv<" #T ">(unsigned int, unsigned int, " #T " const*, " #T            \
                " const*, " #T "*)");                                                       \
    want.insert("void mm<" #T ">(unsigned int, unsigned int, unsigned int, " #T " const*, " #T \
                " const*, " #T "*)");

TEST(ProductExports, ExactlyTheEntryAndTheWrappers) {
    std::set<std::string> want = {"blas"};
    TORVANE_BLAS_TYPES(TV_TEST_BLAS_NAMES)
    ASSERT_EQ(want.size(), 13u);
    EXPECT_EQ(exported_products(), want);
}

}  // namespace
