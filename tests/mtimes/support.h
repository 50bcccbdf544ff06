// Matrix-multiply tests: operand kinds, host matrices of any kind, the
// reference product in long double and calls of blas on device buffers.
#pragma once

#include "device/device.h"
#include "support/devenv.h"
#include "torvane.h"
#include "torvane_blas.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace mt {

using cld = std::complex<long double>;

// An element type by its two flags.
struct kind {
    bool cplx, dbl;
    size_t size() const { return (dbl ? 8 : 4) * (cplx ? 2 : 1); }
    const char *code() const { return cplx ? (dbl ? "dc" : "c") : (dbl ? "d" : "f"); }
    // Unit roundoff of the precision.
    long double u() const { return dbl ? std::ldexp(1.0L, -53) : std::ldexp(1.0L, -24); }
    bool operator==(const kind &o) const { return cplx == o.cplx && dbl == o.dbl; }
};
constexpr kind kf{false, false}, kd{false, true}, kc{true, false}, kdc{true, true};
const kind all_kinds[] = {kf, kd, kc, kdc};

// The result type of a product: the complex operand's type when one is
// complex, else the single-precision one's (the common type when equal).
inline kind result_kind(kind a, kind b) {
    if (a.cplx != b.cplx) return a.cplx ? a : b;
    return {a.cplx, a.dbl && b.dbl};
}
inline std::string worker_name(kind a, kind b) {
    return std::string("gemm_") + a.code() + b.code();
}

// Column-major elements of one kind, as bytes.
struct matrix {
    kind k;
    std::vector<unsigned char> bytes;
    matrix(kind kk, size_t n) : k(kk), bytes(n * kk.size()) {}
    size_t count() const { return bytes.size() / k.size(); }
    cld get(size_t i) const {
        const unsigned char *p = bytes.data() + i * k.size();
        if (k.dbl) {
            double v[2] = {0, 0};
            std::memcpy(v, p, k.size());
            return {v[0], v[1]};
        }
        float v[2] = {0, 0};
        std::memcpy(v, p, k.size());
        return {v[0], v[1]};
    }
    void set(size_t i, cld z) {
        unsigned char *p = bytes.data() + i * k.size();
        if (k.dbl) {
            const double v[2] = {double(z.real()), double(z.imag())};
            std::memcpy(p, v, k.size());
        } else {
            const float v[2] = {float(z.real()), float(z.imag())};
            std::memcpy(p, v, k.size());
        }
    }
};

// Small integers (exact products and sums) or reals of both signs.
inline matrix random_matrix(kind k, size_t n, unsigned seed, bool integers) {
    matrix m(k, n);
    std::mt19937 g(seed);
    std::uniform_int_distribution<int> ints(-4, 4);
    std::uniform_real_distribution<double> reals(-1, 1);
    for (size_t i = 0; i < n; ++i) {
        const long double re = integers ? ints(g) : reals(g);
        const long double im = k.cplx ? (integers ? ints(g) : reals(g)) : 0;
        m.set(i, {re, im});
    }
    return m;
}

// Device copy of a host matrix, freed with the object.
struct device_matrix {
    void *p = nullptr;
    size_t bytes = 0;
    explicit device_matrix(const std::vector<unsigned char> &h) : bytes(h.size()) {
        p = testenv::to_device(h.empty() ? std::vector<unsigned char>(1) : h);
    }
    explicit device_matrix(size_t n, unsigned char fill = 0xA5)
        : device_matrix(std::vector<unsigned char>(n, fill)) {}
    std::vector<unsigned char> read() const {
        return testenv::from_device(static_cast<unsigned char *>(p), bytes);
    }
    ~device_matrix() {
        if (p) testenv::device_free(p);
    }
    device_matrix(const device_matrix &) = delete;
    device_matrix &operator=(const device_matrix &) = delete;
};

// One product request.
struct product_case {
    int M, K, N, nA = 0, nB = 0;
};
inline long long pages_of(const product_case &q) {
    const int n = q.nA > q.nB ? q.nA : q.nB;
    return n > 1 ? n : 1;
}

inline pkrError call_blas(kind a, kind b, const void *A, const void *B, void *C,
                          const product_case &q, int op = 0, uint64_t extra = 0) {
    return blas(a.cplx, b.cplx, a.dbl, b.dbl, A, B, C, q.M, q.K, q.N, q.nA, q.nB, op, extra);
}

// Page p of C = page p of A times page p of B, in long double, and the sum of
// |a||b| of every element as the scale of its rounding errors.
struct reference {
    std::vector<cld> c;
    std::vector<long double> scale;
};
inline reference reference_product(const matrix &A, const matrix &B, const product_case &q) {
    const long long P = pages_of(q), M = q.M, N = q.N, K = q.K;
    reference r{std::vector<cld>(size_t(P * M * N)), std::vector<long double>(size_t(P * M * N))};
    for (long long p = 0; p < P; ++p) {
        const long long a0 = q.nA ? p * M * K : 0, b0 = q.nB ? p * K * N : 0;
        for (long long j = 0; j < N; ++j)
            for (long long i = 0; i < M; ++i) {
                cld s = 0;
                long double sc = 0;
                for (long long k = 0; k < K; ++k) {
                    const cld x = A.get(size_t(a0 + i + k * M)), y = B.get(size_t(b0 + k + j * K));
                    s += x * y;
                    sc += std::abs(x) * std::abs(y);
                }
                r.c[size_t(p * M * N + i + j * M)] = s;
                r.scale[size_t(p * M * N + i + j * M)] = sc;
            }
    }
    return r;
}

}  // namespace mt
