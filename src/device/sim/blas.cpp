// Legacy cuBLAS on the simulated device: plain reference arithmetic on
// column-major operands. As in the legacy library, calls return no status;
// a failure is kept until blas_get_error() reads it.
#include "internal.h"

#include <cctype>
#include <complex>
#include <cstring>

namespace sim {
namespace detail {
namespace {

template <typename S> struct scalar_of { using type = S; };
template <> struct scalar_of<float2> { using type = std::complex<float>; };
template <> struct scalar_of<double2> { using type = std::complex<double>; };
template <typename S> using scalar_t = typename scalar_of<S>::type;

template <typename S> inline scalar_t<S> in(const S &v) { return v; }
inline std::complex<float> in(const float2 &v) { return {v.x, v.y}; }
inline std::complex<double> in(const double2 &v) { return {v.x, v.y}; }
template <typename S> inline S out(const scalar_t<S> &v) { return v; }
template <> inline float2 out<float2>(const std::complex<float> &v) { return {v.real(), v.imag()}; }
template <> inline double2 out<double2>(const std::complex<double> &v) {
    return {v.real(), v.imag()};
}
template <typename S> inline S conj_if(const S &v, bool) { return v; }
template <typename R> inline std::complex<R> conj_if(const std::complex<R> &v, bool c) {
    return c ? std::conj(v) : v;
}

// Reads the status of the call about to run: not initialised, an injected
// failure, or 0.
int begin() {
    int f = take_fault(fault_kind::blas);
    global_state &g = G();
    std::lock_guard<std::mutex> lock(g.m);
    int status = f ? f : (g.blas_initialized ? 0 : dev::blas_not_initialized);
    if (status) g.blas_status = status;
    return status;
}

void set_status(int status) {
    std::lock_guard<std::mutex> lock(G().m);
    G().blas_status = status;
}

// The log record of a call, finished with its status by log_status().
call blas_call(const char *name) {
    call c = new_call(call_kind::blas);
    c.name = name;
    return c;
}
template <typename S>
void log_scalars(call &c, const S &alpha, const S &beta) {
    c.alpha = double(std::real(in(alpha)));
    c.alpha_im = double(std::imag(in(alpha)));
    c.beta = double(std::real(in(beta)));
    c.beta_im = double(std::imag(in(beta)));
}
void log_status(call &c, int status) {
    if (!recording()) return;
    c.result = status;
    record(c);
}

// First element of a vector of n with increment inc, as BLAS walks it.
inline long start(int n, int inc) { return inc >= 0 ? 0 : long(1 - n) * inc; }

template <typename S>
S dot(const char *name, int n, const S *x, int incx, const S *y, int incy) {
    using V = scalar_t<S>;
    call c = blas_call(name);
    c.n = n, c.x = x, c.incx = incx, c.y = y, c.incy = incy;
    V sum{};
    int status = begin();
    if (!status && n > 0) {
        long ix = start(n, incx), iy = start(n, incy);
        for (int i = 0; i < n; ++i, ix += incx, iy += incy) sum += in(x[ix]) * in(y[iy]);
    }
    log_status(c, status);
    return out<S>(sum);
}

int op_code(char t) {
    switch (std::toupper(static_cast<unsigned char>(t))) {
    case 'N': return 0;
    case 'T': return 1;
    case 'C': return 2;
    default: return -1;
    }
}

template <typename S>
int gemv(char trans, int m, int n, S alpha_, const S *a, int lda, const S *x, int incx, S beta_,
         S *y, int incy) {
    using V = scalar_t<S>;
    if (int status = begin()) return status;
    int op = op_code(trans);
    if (op < 0 || m < 0 || n < 0 || lda < std::max(1, m) || incx == 0 || incy == 0) {
        set_status(dev::blas_invalid_value);
        return dev::blas_invalid_value;
    }
    V alpha = in(alpha_), beta = in(beta_);
    if (m == 0 || n == 0 || (alpha == V(0) && beta == V(1))) return 0;
    int lenx = op ? m : n, leny = op ? n : m;
    long iy = start(leny, incy);
    for (int i = 0; i < leny; ++i, iy += incy) {
        V sum{};
        long ix = start(lenx, incx);
        for (int j = 0; j < lenx; ++j, ix += incx) {
            V aij = op ? conj_if(in(a[long(i) * lda + j]), op == 2) : in(a[long(j) * lda + i]);
            sum += aij * in(x[ix]);
        }
        V old = beta == V(0) ? V(0) : beta * in(y[iy]);
        y[iy] = out<S>(alpha * sum + old);
    }
    return 0;
}

template <typename S>
void gemv(const char *name, char trans, int m, int n, S alpha, const S *a, int lda, const S *x,
          int incx, S beta, S *y, int incy) {
    call c = blas_call(name);
    c.transa = trans, c.m = m, c.n = n, c.a = a, c.lda = lda, c.x = x, c.incx = incx, c.y = y,
    c.incy = incy;
    log_scalars(c, alpha, beta);
    log_status(c, gemv(trans, m, n, alpha, a, lda, x, incx, beta, y, incy));
}

template <typename S>
int gemm(char transa, char transb, int m, int n, int k, S alpha_, const S *a, int lda,
         const S *b, int ldb, S beta_, S *c, int ldc) {
    using V = scalar_t<S>;
    if (int status = begin()) return status;
    int opa = op_code(transa), opb = op_code(transb);
    int rows_a = opa ? k : m, rows_b = opb ? n : k;
    if (opa < 0 || opb < 0 || m < 0 || n < 0 || k < 0 || lda < std::max(1, rows_a) ||
        ldb < std::max(1, rows_b) || ldc < std::max(1, m)) {
        set_status(dev::blas_invalid_value);
        return dev::blas_invalid_value;
    }
    V alpha = in(alpha_), beta = in(beta_);
    if (m == 0 || n == 0 || ((alpha == V(0) || k == 0) && beta == V(1))) return 0;
    for (int j = 0; j < n; ++j)
        for (int i = 0; i < m; ++i) {
            V sum{};
            for (int l = 0; l < k; ++l) {
                V ail = opa ? conj_if(in(a[long(i) * lda + l]), opa == 2) : in(a[long(l) * lda + i]);
                V blj = opb ? conj_if(in(b[long(l) * ldb + j]), opb == 2) : in(b[long(j) * ldb + l]);
                sum += ail * blj;
            }
            S &cij = c[long(j) * ldc + i];
            V old = beta == V(0) ? V(0) : beta * in(cij);
            cij = out<S>(alpha * sum + old);
        }
    return 0;
}

template <typename S>
void gemm(const char *name, char transa, char transb, int m, int n, int k, S alpha, const S *a,
          int lda, const S *b, int ldb, S beta, S *c, int ldc) {
    call r = blas_call(name);
    r.transa = transa, r.transb = transb, r.m = m, r.n = n, r.k = k, r.a = a, r.lda = lda,
    r.b = b, r.ldb = ldb, r.c = c, r.ldc = ldc;
    log_scalars(r, alpha, beta);
    log_status(r, gemm(transa, transb, m, n, k, alpha, a, lda, b, ldb, beta, c, ldc));
}

}  // namespace
}  // namespace detail
}  // namespace sim

namespace dev {

using namespace sim::detail;

int blas_init() {
    if (int f = take_fault(sim::fault_kind::blas)) return f;
    std::lock_guard<std::mutex> lock(G().m);
    G().blas_initialized = true;
    return blas_success;
}

int blas_shutdown() {
    if (int f = take_fault(sim::fault_kind::blas)) return f;
    std::lock_guard<std::mutex> lock(G().m);
    if (!G().blas_initialized) return blas_not_initialized;
    G().blas_initialized = false;
    return blas_success;
}

int blas_get_error() {
    std::lock_guard<std::mutex> lock(G().m);
    int s = G().blas_status;
    G().blas_status = blas_success;
    return s;
}

float blas_sdot(int n, const float *x, int incx, const float *y, int incy) {
    return dot("sdot", n, x, incx, y, incy);
}
double blas_ddot(int n, const double *x, int incx, const double *y, int incy) {
    return dot("ddot", n, x, incx, y, incy);
}
float2 blas_cdotu(int n, const float2 *x, int incx, const float2 *y, int incy) {
    return dot("cdotu", n, x, incx, y, incy);
}
double2 blas_zdotu(int n, const double2 *x, int incx, const double2 *y, int incy) {
    return dot("zdotu", n, x, incx, y, incy);
}

void blas_sgemv(char trans, int m, int n, float alpha, const float *a, int lda, const float *x,
                int incx, float beta, float *y, int incy) {
    gemv("sgemv", trans, m, n, alpha, a, lda, x, incx, beta, y, incy);
}
void blas_dgemv(char trans, int m, int n, double alpha, const double *a, int lda,
                const double *x, int incx, double beta, double *y, int incy) {
    gemv("dgemv", trans, m, n, alpha, a, lda, x, incx, beta, y, incy);
}
void blas_zgemv(char trans, int m, int n, double2 alpha, const double2 *a, int lda,
                const double2 *x, int incx, double2 beta, double2 *y, int incy) {
    gemv("zgemv", trans, m, n, alpha, a, lda, x, incx, beta, y, incy);
}

void blas_sgemm(char transa, char transb, int m, int n, int k, float alpha, const float *a,
                int lda, const float *b, int ldb, float beta, float *c, int ldc) {
    gemm("sgemm", transa, transb, m, n, k, alpha, a, lda, b, ldb, beta, c, ldc);
}
void blas_dgemm(char transa, char transb, int m, int n, int k, double alpha, const double *a,
                int lda, const double *b, int ldb, double beta, double *c, int ldc) {
    gemm("dgemm", transa, transb, m, n, k, alpha, a, lda, b, ldb, beta, c, ldc);
}
void blas_cgemm(char transa, char transb, int m, int n, int k, float2 alpha, const float2 *a,
                int lda, const float2 *b, int ldb, float2 beta, float2 *c, int ldc) {
    gemm("cgemm", transa, transb, m, n, k, alpha, a, lda, b, ldb, beta, c, ldc);
}
void blas_zgemm(char transa, char transb, int m, int n, int k, double2 alpha,
                const double2 *a, int lda, const double2 *b, int ldb, double2 beta, double2 *c,
                int ldc) {
    gemm("zgemm", transa, transb, m, n, k, alpha, a, lda, b, ldb, beta, c, ldc);
}

}  // namespace dev
