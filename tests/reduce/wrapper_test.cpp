// The typed wrappers: both names of each reach the same result, and the
// library exports exactly the five entries and both names of every wrapper.
#include "model.h"
#include "support/exports.h"

#include <set>

namespace {

using namespace rmodel;

// The bytes of n random input elements: logical inputs get 0 and 1.
template <class T>
T *device_input(size_t n, unsigned seed) {
    std::vector<unsigned char> bytes(n * sizeof(T));
    if constexpr (std::is_same<T, bool>::value) {
        for (size_t i = 0; i < n; ++i) bytes[i] = (i * 7 + seed) % 3 == 0;
    } else {
        const std::vector<T> v = random_input<T>(n, seed);
        std::memcpy(bytes.data(), v.data(), bytes.size());
    }
    return reinterpret_cast<T *>(testenv::to_device(bytes));
}

// Calls `a` and then `b` on the same input; codes and result bytes must agree.
template <class R, class T, class F>
void same_result(const char *name, F a, F b, bool vector, pkrError want) {
    SCOPED_TRACE(name);
    const unsigned rows = 37, cols = 29;
    T *in = device_input<T>(rows * cols, 3);
    std::vector<unsigned char> got[2];
    for (int k = 0; k < 2; ++k) {
        const F f = k ? b : a;
        if (vector) {
            std::vector<unsigned char> out(sizeof(R), 0xA5);
            EXPECT_EQ(f(reinterpret_cast<R *>(out.data()), in, rows, cols), want);
            got[k] = out;
        } else {
            R *out = testenv::device_alloc<R>(cols > rows ? cols : rows);
            std::vector<unsigned char> fill(sizeof(R) * (cols > rows ? cols : rows), 0xA5);
            dev::memcpy_htod(out, fill.data(), fill.size());
            EXPECT_EQ(f(out, in, rows, cols), want);
            got[k] = testenv::from_device(reinterpret_cast<unsigned char *>(out), fill.size());
            testenv::device_free(out);
        }
    }
    EXPECT_EQ(got[0], got[1]);
    testenv::device_free(in);
}

template <class R, class T>
using matrix_fn = pkrError (*)(R *, T *, unsigned, unsigned);

// The vector wrappers take one count; both names get the whole matrix.
#define TV_TEST_VECTOR_PLAIN(op, sfx, R, T)              \
    [](R *o, T *i, unsigned r, unsigned c) -> pkrError { \
        return pkr_##op##_vector_##sfx(o, i, r * c);     \
    }
#define TV_TEST_VECTOR_TEMPLATE(op, R, T)                \
    [](R *o, T *i, unsigned r, unsigned c) -> pkrError { \
        return pkr_##op##_vector<R, T>(o, i, r * c);     \
    }

#define TV_TEST_PAIR(op, sfx, R, T, ot, it, cx)                                                  \
    same_result<R, T, matrix_fn<R, T>>("pkr_" #op "_rows_" #sfx, &pkr_##op##_rows_##sfx,         \
                                       &pkr_##op##_rows<R, T>, false, 0);                        \
    same_result<R, T, matrix_fn<R, T>>("pkr_" #op "_columns_" #sfx, &pkr_##op##_columns_##sfx,   \
                                       &pkr_##op##_columns<R, T>, false, 0);                     \
    same_result<R, T, matrix_fn<R, T>>("pkr_" #op "_vector_" #sfx,                               \
                                       TV_TEST_VECTOR_PLAIN(op, sfx, R, T),                      \
                                       TV_TEST_VECTOR_TEMPLATE(op, R, T), true,                  \
                                       0);

TEST(ReduceWrappers, BothNamesAgree) {
    testenv::device_env env;
    counting_ctx::install();
    TORVANE_REDUCE_WRAPPER_TYPES(TV_TEST_PAIR)
}

// The dynamic symbols that belong to the reductions, demangled.
std::set<std::string> exported_reductions() {
    return testenv::exported_names(TORVANE_LIB_PATH,
                                   {"pkr_all_", "pkr_any_", "pkr_max_", "pkr_min_", "pkr_sum_",
                                    "_stride_r", "reduce::", "param_t", "_fns"});
}

#define TV_TEST_ENTRY_NAME(op) want.insert(#op "_stride_r");
#define TV_TEST_WRAPPER_NAMES(op, sfx, R, T, ot, it, cx)                                       \
    want.insert("pkr_" #op "_rows_" #sfx);                                                     \
    want.insert("pkr_" #op "_columns_" #sfx);                                                  \
    want.insert("pkr_" #op "_vector_" #sfx);                                                   \
    want.insert("int pkr_" #op "_rows<" #R ", " #T ">(" #R "*, " #T                            \
                "*, unsigned int, unsigned int)");                                             \
    want.insert("int pkr_" #op "_columns<" #R ", " #T ">(" #R "*, " #T                         \
                "*, unsigned int, unsigned int)");                                             \
    want.insert("int pkr_" #op "_vector<" #R ", " #T ">(" #R "*, " #T "*, unsigned int)");

TEST(ReduceWrappers, ExportedSymbols) {
    std::set<std::string> want;
    TORVANE_REDUCE_OPS(TV_TEST_ENTRY_NAME)
    TORVANE_REDUCE_WRAPPER_TYPES(TV_TEST_WRAPPER_NAMES)
    ASSERT_EQ(want.size(), 155u);
    const std::set<std::string> got = exported_reductions();
    std::vector<std::string> missing, extra;
    for (const auto &n : want)
        if (!got.count(n)) missing.push_back(n);
    for (const auto &n : got)
        if (!want.count(n)) extra.push_back(n);
    EXPECT_TRUE(missing.empty()) << missing.size() << " missing, first " << missing[0];
    EXPECT_TRUE(extra.empty()) << extra.size() << " unexpected, first " << extra[0];
}

}  // namespace
