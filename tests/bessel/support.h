// Calling the Bessel entries on host vectors.
#pragma once

#include "support/devenv.h"
#include "torvane_bessel.h"

#include <complex>
#include <vector>

namespace btest {

template <class T>
using order_entry = pkrError (*)(void *, void *, T, unsigned);
template <class T>
using kind_entry = pkrError (*)(void *, void *, T, unsigned, unsigned);

// out = f(in) through one launch; the result has Out elements.
template <class Out, class In, class Call>
std::vector<Out> eval(const std::vector<In> &in, Call call) {
    In *d_in = testenv::to_device(in);
    Out *d_out = testenv::device_alloc<Out>(in.size());
    const pkrError e = call(static_cast<void *>(d_out), static_cast<void *>(d_in), unsigned(in.size()));
    EXPECT_EQ(e, 0);
    std::vector<Out> out = testenv::from_device(d_out, in.size());
    testenv::device_free(d_in);
    testenv::device_free(d_out);
    return out;
}

template <class Out, class In, class T>
std::vector<Out> eval(order_entry<T> f, T nu, const std::vector<In> &in) {
    return eval<Out>(in, [&](void *o, void *i, unsigned n) { return f(o, i, nu, n); });
}
template <class In, class T>
std::vector<std::complex<T>> eval(kind_entry<T> f, T nu, unsigned k, const std::vector<In> &in) {
    return eval<std::complex<T>>(in, [&](void *o, void *i, unsigned n) { return f(o, i, nu, k, n); });
}

// The entries of one precision.
template <class T>
struct entries;
#define BT_ENTRIES(T, b)                                                                    \
    template <>                                                                             \
    struct entries<T> {                                                                     \
        static constexpr order_entry<T> j = pkr_besselj_f##b, y = pkr_bessely_f##b,         \
                                        i = pkr_besseli_f##b, k = pkr_besselk_f##b;         \
        static constexpr order_entry<T> zj = pkr_besselj_c##b, zy = pkr_bessely_z##b,     \
                                        zi = pkr_besseli_z##b, zk = pkr_besselk_z##b;   \
        static constexpr kind_entry<T> h = pkr_besselh_f##b, zh = pkr_besselh_z##b;       \
    };
BT_ENTRIES(double, 64)
BT_ENTRIES(float, 32)
#undef BT_ENTRIES

}  // namespace btest
