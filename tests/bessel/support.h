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
template <>
struct entries<double> {
    static constexpr order_entry<double> j = pkr_besselj_f64, y = pkr_bessely_f64,
                                         i = pkr_besseli_f64, k = pkr_besselk_f64;
    static constexpr order_entry<double> zj = pkr_besselj_c64, zy = pkr_bessely_z64,
                                         zi = pkr_besseli_z64, zk = pkr_besselk_z64;
    static constexpr kind_entry<double> h = pkr_besselh_f64, zh = pkr_besselh_z64;
};
template <>
struct entries<float> {
    static constexpr order_entry<float> j = pkr_besselj_f32, y = pkr_bessely_f32,
                                        i = pkr_besseli_f32, k = pkr_besselk_f32;
    static constexpr order_entry<float> zj = pkr_besselj_c32, zy = pkr_bessely_z32,
                                        zi = pkr_besseli_z32, zk = pkr_besselk_z32;
    static constexpr kind_entry<float> h = pkr_besselh_f32, zh = pkr_besselh_z32;
};

}  // namespace btest
