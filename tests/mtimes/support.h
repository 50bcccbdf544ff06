// Matrix-multiply tests: operand kinds, host matrices of any kind, the
// reference product in long double and calls of blas on device buffers.
#pragma once

#include "device/device.h"
#include "support/devenv.h"
#include "torvane.h"
#include "torvane_blas.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
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

constexpr size_t guard = 64;  // bytes after C that must stay untouched

// Runs one product; returns the code and C's pages (host memory for the 1x1
// same-type results) and checks the guard after them.
inline pkrError run_product(kind a, kind b, const matrix &A, const matrix &B,
                            const product_case &q, std::vector<unsigned char> &out,
                            const void **dA_at = nullptr, const void **dC_at = nullptr) {
    const kind rk = result_kind(a, b);
    const size_t cbytes = size_t(pages_of(q) * q.M * q.N) * rk.size();
    device_matrix dA(A.bytes), dB(B.bytes);
    if (dA_at) dA_at[0] = dA.p, dA_at[1] = dB.p;
    pkrError e;
    if (q.M == 1 && q.N == 1 && a == b) {
        out.assign(cbytes + guard, 0xA5);
        if (dC_at) *dC_at = out.data();
        e = call_blas(a, b, dA.p, dB.p, out.data(), q);
    } else {
        device_matrix dC(cbytes + guard);
        if (dC_at) *dC_at = dC.p;
        e = call_blas(a, b, dA.p, dB.p, dC.p, q);
        out = dC.read();
    }
    for (size_t i = cbytes; i < out.size(); ++i)
        if (out[i] != 0xA5) {
            ADD_FAILURE() << "byte " << i - cbytes << " past C written";
            break;
        }
    out.resize(cbytes);
    return e;
}

inline std::string describe(kind a, kind b, const product_case &q) {
    return worker_name(a, b) + " M=" + std::to_string(q.M) + " K=" + std::to_string(q.K) +
           " N=" + std::to_string(q.N) + " nA=" + std::to_string(q.nA) +
           " nB=" + std::to_string(q.nB);
}

// Compares C's first `elements` elements with the reference: exact for
// integer data, else within (K + 2) u sum|a||b| (twice that for complex
// results) plus the final rounding, u of the result's precision.
inline void expect_product(kind rk, const std::vector<unsigned char> &out, const reference &ref,
                           const product_case &q, bool integers, size_t elements = SIZE_MAX) {
    matrix C(rk, out.size() / rk.size());
    C.bytes = out;
    const long double f = rk.cplx ? 2 : 1;
    int bad = 0;
    for (size_t i = 0; i < C.count() && i < elements && bad < 5; ++i) {
        const long double err = std::abs(C.get(i) - ref.c[i]);
        const long double bound =
            integers ? 0 : f * (q.K + 2) * rk.u() * ref.scale[i] + rk.u() * std::abs(ref.c[i]);
        if (err > bound) {
            ++bad;
            ADD_FAILURE() << "element " << i << ": " << double(C.get(i).real()) << ","
                          << double(C.get(i).imag()) << " against " << double(ref.c[i].real())
                          << "," << double(ref.c[i].imag());
        }
    }
}

inline matrix operand_a(kind a, const product_case &q, unsigned seed, bool integers) {
    return random_matrix(a, size_t(q.M) * q.K * (q.nA ? q.nA : 1), seed, integers);
}
inline matrix operand_b(kind b, const product_case &q, unsigned seed, bool integers) {
    return random_matrix(b, size_t(q.K) * q.N * (q.nB ? q.nB : 1), seed, integers);
}

#if defined(DEV_BACKEND_SIM)
// Records the calling thread's device calls while it lives.
struct call_log {
    call_log() {
        sim::clear_calls();
        sim::log_calls(true);
    }
    ~call_log() { sim::log_calls(false); }
    std::vector<sim::call> take() {
        std::vector<sim::call> c = sim::calls();
        sim::clear_calls();
        return c;
    }
};

// The log as one letter per call: b/B a binding that succeeded/failed, u/U
// an unbinding, l/L a launch, c/C a cuBLAS call, m/M a memset.
inline std::string letters(const std::vector<sim::call> &log) {
    std::string s;
    for (const sim::call &c : log) {
        char l = '?';
        switch (c.kind) {
        case sim::call_kind::tex_bind: l = 'b'; break;
        case sim::call_kind::tex_unbind: l = 'u'; break;
        case sim::call_kind::launch: l = 'l'; break;
        case sim::call_kind::blas: l = 'c'; break;
        case sim::call_kind::memset: l = 'm'; break;
        default: break;
        }
        s += c.result ? char(l - 'a' + 'A') : l;
    }
    return s;
}
#endif

}  // namespace mt
