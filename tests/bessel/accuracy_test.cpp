// The Bessel functions against mpmath's values (data/*.txt, written by
// make_reference.py), through the library's entries and through the same
// kernels as nvcc compiles them (PTX with fused multiply-adds, run by the
// simulated driver). Errors count against a scale that does not vanish at
// the zeros:
//   real J, Y, H  sqrt(J^2 + Y^2), for J |J| where x < |nu|
//   real I        |I| (+ (2/pi) |sin(nu pi)| K for negative orders, where I crosses 0)
//   real K        |K|
//   complex J, Y, H  (|H1| + |H2|) / 2;  I |I| + |K|/pi;  K |K| (+ pi |I| for Re z < 0)
// in units of eps (of the precision) times 1 + |nu| + |x|, the condition of
// the functions in the order and the argument. Values beyond the range of
// the precision must come out as the signed infinity or zero.
#include "support.h"

#if defined(DEV_BACKEND_SIM)
#include "device/sim/control.h"
#include "device/sim/ptx/ptx.h"
#endif

#include <cstring>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <sstream>
#include <string>

namespace {

using cd = std::complex<double>;
enum fn { J, Y, I, K, H1, H2 };
const char *const fn_names[] = {"J", "Y", "I", "K", "H1", "H2"};

// Tolerances in eps (1 + |nu| + |x|) of the scale, per function J Y I K H1 H2,
// real and complex arguments; the same in both precisions. Worst seen on the
// simulated device, through the entries / nvcc's PTX (and in eps of the scale
// alone, the most over both):
//            J          Y          I          K          H1         H2
//   f64  1.4/1.9    1.8/2.0    1.8/1.8    2.4/2.1    1.8/2.0    1.8/2.0     (40, 20, 296, 696, 40, 40)
//   z64  2.0/2.1    2.0/2.3    2.0/2.0    2.2/2.5    4.0/4.6    3.3/3.8     (141, 141, 141, 78, 282, 282)
//   f32  1.2/1.1    1.0/1.0    0.8/0.6    1.6/1.5    1.2/1.1    1.2/1.1     (36, 13, 187, 188, 36, 36)
//   z32  1.3/1.3    2.3/2.3    1.2/1.3    1.5/1.7    2.7/2.9    2.7/2.9     (25, 25, 68, 21, 50, 50)
// I and K at large |x| use most of the condition allowance (e^x).
template <class T>
struct tol {
    static constexpr double real[6] = {6, 6, 6, 8, 6, 6};
    static constexpr double cplx[6] = {8, 8, 8, 8, 12, 12};
};

std::vector<std::vector<double>> load(const char *name, size_t cols) {
    std::vector<std::vector<double>> rows;
    std::ifstream f(std::string(BESSEL_DATA_DIR) + "/" + name);
    EXPECT_TRUE(f.good()) << name;
    std::string line;
    while (std::getline(f, line)) {
        std::istringstream s(line);
        std::vector<double> r;
        std::string v;
        while (s >> v) r.push_back(std::strtod(v.c_str(), nullptr));  // 1e400 -> inf, -0 kept
        EXPECT_EQ(r.size(), cols) << line;
        if (r.size() == cols) rows.push_back(r);
    }
    return rows;
}

// Rows grouped by their order (column 0).
std::map<double, std::vector<std::vector<double>>> by_order(const std::vector<std::vector<double>> &rows) {
    std::map<double, std::vector<std::vector<double>>> g;
    for (const auto &r : rows) g[r[0]].push_back(r);
    return g;
}

// Worst error seen by one check, in eps (1 + |nu| + |x|) of the scale, and
// its failures.
template <class T>
struct tally {
    std::string name;
    double limit;
    double worst = 0, worst_nu = 0, worst_raw = 0;  // worst_raw: in eps of the scale alone
    cd worst_at;
    int compared = 0, edges = 0, failed = 0;

    void fail(double nu, cd at, cd got, cd want, const char *why) {
        if (++failed <= 5)
            ADD_FAILURE() << name << " nu=" << nu << " at " << at.real() << "," << at.imag() << ": got "
                          << got.real() << "," << got.imag() << " want " << want.real() << ","
                          << want.imag() << " (" << why << ")";
    }
    // One part beyond the range: the signed infinity or zero.
    void edge(double nu, cd at, double got, double want, cd g, cd w) {
        ++edges;
        if (std::isinf(want) ? got != want : std::isnan(got)) fail(nu, at, g, w, "out of range");
    }
    void add(double nu, cd at, cd got, cd want, double scale) {
        constexpr double max = std::numeric_limits<T>::max(), tiny = std::numeric_limits<T>::denorm_min();
        const bool over = std::fabs(want.real()) > 2 * max || std::fabs(want.imag()) > 2 * max;
        if (over || scale < tiny / 2) {  // the parts on their own
            if (scale < tiny / 2) {
                ++edges;
                if (got.real() != 0 || got.imag() != 0) fail(nu, at, got, want, "underflow");
                return;
            }
            // A part far below the whole is not checked beyond NaN: the reference
            // holds it to 1e-25 of the whole only.
            for (int part = 0; part < 2; ++part) {
                const double w = part ? want.imag() : want.real(), g = part ? got.imag() : got.real();
                if (std::fabs(w) > 2 * max && std::fabs(w) > 1e-12 * std::abs(want))
                    edge(nu, at, g, w, got, want);
                else if (std::isnan(g))
                    fail(nu, at, got, want, "NaN part");
            }
            return;
        }
        // Finite and normal with room for the relative error.
        if (!(scale < max / 4 && scale > std::numeric_limits<T>::min() * 1e6)) return;
        const double unit = std::numeric_limits<T>::epsilon() * scale * (1 + std::fabs(nu) + std::abs(at));
        const double err = std::abs(got - want) / unit;
        worst_raw = std::max(worst_raw, std::abs(got - want) / (std::numeric_limits<T>::epsilon() * scale));
        ++compared;
        if (err > worst || std::isnan(err)) worst = std::isnan(err) ? INFINITY : err, worst_nu = nu, worst_at = at;
        if (!(err <= limit)) fail(nu, at, got, want, ("error " + std::to_string(err) + " eps").c_str());
    }
    ~tally() {
        std::printf("%-16s %5d points %4d out of range, worst %6.2f eps (1+|nu|+|x|) at nu=%g x=%g%+gi "
                    "(tolerance %g); worst %.3g eps of the scale\n",
                    name.c_str(), compared, edges, worst, worst_nu, worst_at.real(), worst_at.imag(), limit,
                    worst_raw);
    }
};

// The functions of one precision over host vectors, each result as cd.
template <class T>
struct evaluator {
    using C = std::complex<T>;
    virtual ~evaluator() = default;
    virtual std::vector<cd> real(fn f, T nu, const std::vector<T> &xs) = 0;
    virtual std::vector<cd> cplx(fn f, T nu, const std::vector<C> &zs) = 0;
};

template <class V>
std::vector<cd> widen(const V &v) {
    std::vector<cd> r;
    for (const auto &x : v) r.push_back(cd(std::real(x), std::imag(x)));
    return r;
}

// Through the exported entries.
template <class T>
struct entry_evaluator : evaluator<T> {
    using C = std::complex<T>;
    using E = btest::entries<T>;
    std::vector<cd> real(fn f, T nu, const std::vector<T> &xs) override {
        if (f >= H1) return widen(btest::eval(E::h, nu, f == H1 ? 1u : 2u, xs));
        const btest::order_entry<T> e[] = {E::j, E::y, E::i, E::k};
        return widen(btest::eval<T>(e[f], nu, xs));
    }
    std::vector<cd> cplx(fn f, T nu, const std::vector<C> &zs) override {
        if (f >= H1) return widen(btest::eval(E::zh, nu, f == H1 ? 1u : 7u, zs));
        const btest::order_entry<T> e[] = {E::zj, E::zy, E::zi, E::zk};
        return widen(btest::eval<C>(e[f], nu, zs));
    }
};

#if defined(DEV_BACKEND_SIM)
// Through the kernels as nvcc compiles them (BESSEL_PTX_DIR: <function>_<double|single>.ptx,
// default options, so with fused multiply-adds), loaded and launched by the
// driver with the entries' grid.
// A raw parameter block: each value at its alignment.
struct params {
    std::vector<unsigned char> bytes;
    template <class V>
    params &add(const V &v, size_t align = alignof(V)) {
        const size_t off = (bytes.size() + align - 1) / align * align;
        bytes.resize(off + sizeof(V));
        std::memcpy(bytes.data() + off, &v, sizeof(V));
        return *this;
    }
    params &ptr(const void *p) { return add(reinterpret_cast<unsigned long long>(p), 8); }
};

template <class T>
struct ptx_evaluator : evaluator<T> {
    using C = std::complex<T>;
    std::map<std::string, dev::drv_function> kernels;
    std::vector<dev::drv_module> modules;
    ~ptx_evaluator() override {
        for (dev::drv_module m : modules) dev::drv_module_unload(m);
    }

    dev::drv_function kernel(fn f, bool cplx) {
        const std::string file = std::string("bessel") + "jyikhh"[f];
        const std::string key = file + (cplx ? "_cplx" : "_real");
        auto at = kernels.find(key);
        if (at != kernels.end()) return at->second;
        std::ifstream in(std::string(BESSEL_PTX_DIR) + "/" + file + (sizeof(T) == 8 ? "_double" : "_single") + ".ptx");
        std::stringstream text;
        text << in.rdbuf();
        std::string name, line;
        while (std::getline(text, line))  // ".visible .entry _ZN6bessel12besselj_realIdEEv...("
            if (line.find(".entry") != std::string::npos && line.find(key) != std::string::npos) {
                const size_t b = line.find("_Z"), e = line.find('(');
                name = line.substr(b, e - b);
            }
        dev::drv_module m = nullptr;
        dev::drv_function k = nullptr;
        EXPECT_FALSE(name.empty()) << key;
        if (name.empty()) return nullptr;
        int e = dev::drv_module_load_data(&m, text.str().c_str());
        EXPECT_EQ(e, 0) << key << ": " << sim::ptx_log();
        if (e != 0) return nullptr;
        modules.push_back(m);
        EXPECT_EQ(dev::drv_module_get_function(&k, m, name.c_str()), 0) << name;
        return kernels[key] = k;
    }

    template <class Out, class In>
    std::vector<cd> run(fn f, bool cplx, T nu, const std::vector<In> &xs) {
        const dev::drv_function k = kernel(f, cplx);
        if (!k || xs.empty()) return std::vector<cd>(xs.size(), cd(NAN, NAN));
        const unsigned n = unsigned(xs.size());
        In *in = testenv::to_device(xs);
        Out *out = testenv::device_alloc<Out>(n);
        params p;
        p.ptr(out).ptr(in);
        if (f == J)
            p.add(float(nu));  // the record {out, in, float nu, n}
        else
            p.add(nu);
        if (f >= H1) p.add(f == H1 ? 1u : 2u);
        p.add(n);
        EXPECT_EQ(dev::drv_launch(k, dim3((n + 127) / 128), dim3(128), 0, p.bytes.data(), p.bytes.size()), 0)
            << sim::ptx_log();
        const std::vector<Out> r = testenv::from_device(out, n);
        testenv::device_free(in);
        testenv::device_free(out);
        return widen(r);
    }
    std::vector<cd> real(fn f, T nu, const std::vector<T> &xs) override {
        return f >= H1 ? run<C>(f, false, nu, xs) : run<T>(f, false, nu, xs);
    }
    std::vector<cd> cplx(fn f, T nu, const std::vector<C> &zs) override { return run<C>(f, true, nu, zs); }
};
#endif

template <class T>
void real_table(evaluator<T> &ev, const char *how) {
    const auto groups = by_order(load("real.txt", 6));
    ASSERT_FALSE(groups.empty());
    // columns: nu x J Y I K
    for (fn f : {J, Y, H1, H2, I, K}) {
        tally<T> t{std::string(fn_names[f]) + (sizeof(T) == 8 ? " f64 " : " f32 ") + how, tol<T>::real[f]};
        for (const auto &g : groups) {
            const double nu = g.first, a = std::fabs(nu);
            std::vector<T> xs;
            std::vector<const std::vector<double> *> rows;
            for (const auto &r : g.second)
                if (double(T(r[1])) == r[1]) xs.push_back(T(r[1])), rows.push_back(&r);  // floats skip subnormal doubles
            const std::vector<cd> got = ev.real(f, T(nu), xs);
            for (size_t i = 0; i < xs.size(); ++i) {
                const auto &r = *rows[i];
                const double x = r[1], j = r[2], y = r[3], in = r[4], k = r[5];
                const double modulus = std::hypot(j, y), sj = x < a ? std::fabs(j) : modulus;
                switch (f) {
                case J: t.add(nu, x, got[i], j, sj); break;
                case Y: t.add(nu, x, got[i], y, modulus); break;
                case H1:
                case H2:  // the parts apart: J's and Y's own scales
                    t.add(nu, x, got[i].real(), j, sj);
                    t.add(nu, x, got[i].imag(), f == H1 ? y : -y, modulus);
                    break;
                case I: t.add(nu, x, got[i], in, std::fabs(in) + 2 / M_PI * std::fabs(std::sin(M_PI * nu)) * k); break;
                case K: t.add(nu, x, got[i], k, std::fabs(k)); break;
                }
            }
        }
    }
}

template <class T>
void complex_table(evaluator<T> &ev, const char *how) {
    using C = std::complex<T>;
    const auto groups = by_order(load("complex.txt", 15));
    ASSERT_FALSE(groups.empty());
    // columns: nu re im, then J Y I K H1 H2 as pairs from 3
    for (fn f : {J, Y, I, K, H1, H2}) {
        tally<T> t{std::string(fn_names[f]) + (sizeof(T) == 8 ? " z64 " : " z32 ") + how, tol<T>::cplx[f]};
        for (const auto &g : groups) {
            const double nu = g.first;
            std::vector<C> zs;
            for (const auto &r : g.second) zs.push_back(C(T(r[1]), T(r[2])));
            const std::vector<cd> got = ev.cplx(f, T(nu), zs);
            for (size_t i = 0; i < zs.size(); ++i) {
                const auto &r = g.second[i];
                auto val = [&](int k) { return cd(r[3 + 2 * k], r[4 + 2 * k]); };
                const cd z(r[1], r[2]);
                double scale;
                if (f == I)
                    scale = std::abs(val(I)) + std::abs(val(K)) / M_PI;
                else if (f == K)
                    scale = std::abs(val(K)) + (z.real() < 0 ? M_PI * std::abs(val(I)) : 0.0);
                else
                    scale = (std::abs(val(H1)) + std::abs(val(H2))) / 2;
                t.add(nu, z, got[i], val(f), scale);
            }
        }
    }
}

template <class T>
class BesselAccuracy : public ::testing::Test {
protected:
    testenv::device_env env;
};
using precisions = ::testing::Types<double, float>;
TYPED_TEST_SUITE(BesselAccuracy, precisions);

TYPED_TEST(BesselAccuracy, RealArguments) {
    entry_evaluator<TypeParam> ev;
    real_table(ev, "entries");
}

TYPED_TEST(BesselAccuracy, ComplexArguments) {
    entry_evaluator<TypeParam> ev;
    complex_table(ev, "entries");
}

#if defined(DEV_BACKEND_SIM)
// The PTX targets sm_75: the simulated device gets that capability for the
// test and the capability it had back after it.
template <class T>
class BesselAccuracyPtx : public ::testing::Test {
protected:
    struct capability {
        sim::device_desc before;
        capability() {
            dev::drv_device d = 0;
            if (dev::drv_init(0) == 0 && dev::drv_device_get(&d, 0) == 0)
                dev::drv_compute_capability(&before.major, &before.minor, d);
            sim::set_devices({sim::device_desc{7, 5, before.capacity}});
        }
        ~capability() { sim::set_devices({before}); }
    } cap;
    testenv::device_env env;
    void SetUp() override {
        if (std::string(BESSEL_PTX_DIR).empty()) GTEST_SKIP() << "no nvcc";
    }
};
TYPED_TEST_SUITE(BesselAccuracyPtx, precisions);

TYPED_TEST(BesselAccuracyPtx, RealArguments) {
    ptx_evaluator<TypeParam> ev;
    real_table(ev, "nvcc");
}

TYPED_TEST(BesselAccuracyPtx, ComplexArguments) {
    ptx_evaluator<TypeParam> ev;
    complex_table(ev, "nvcc");
}

// Dense arguments where stopping rules that need an exact 1 once gave NaN or
// long runs under fused multiply-adds: the fused and the unfused code agree
// within the tolerance of the real table, measured on the double modulus.
TYPED_TEST(BesselAccuracyPtx, FusedAndUnfusedAgree) {
    using T = TypeParam;
    ptx_evaluator<T> fused;
    entry_evaluator<T> plain;
    entry_evaluator<double> exact;
    for (double nu : {2.7, -2.5, 40.25}) {
        std::vector<T> xs;
        std::vector<double> xd;
        for (int i = 0; i <= 3000; ++i) xs.push_back(T(0.5 + i * 0.02)), xd.push_back(double(xs.back()));
        for (fn f : {J, Y}) {
            const std::vector<cd> a = fused.real(f, T(nu), xs), b = plain.real(f, T(nu), xs);
            const std::vector<cd> j = exact.real(J, nu, xd), y = exact.real(Y, nu, xd);
            int bad = 0;
            for (size_t i = 0; i < xs.size(); ++i) {
                const double scale = std::hypot(j[i].real(), y[i].real());
                if (!(scale < double(std::numeric_limits<T>::max()) / 4)) continue;
                const double lim = tol<T>::real[f] * std::numeric_limits<T>::epsilon() * scale * (1 + std::fabs(nu) + xd[i]);
                if (!(std::abs(a[i] - b[i]) <= lim) && ++bad <= 3)
                    ADD_FAILURE() << fn_names[f] << " nu=" << nu << " x=" << xd[i] << ": fused " << a[i].real()
                                  << " unfused " << b[i].real();
            }
            EXPECT_EQ(bad, 0) << fn_names[f] << " nu=" << nu;
        }
    }
}
#endif

}  // namespace
