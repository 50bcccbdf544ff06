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
#endif

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

// Tolerances in eps (1 + |nu| + |x|) of the scale, per function:
// J Y I K H1 H2, real and complex arguments. The worst errors seen are in
// the note of the change that set them; these leave about 4x room.
template <class T>
struct tol;
template <>
struct tol<double> {
    static constexpr double real[6] = {8, 8, 8, 8, 8, 8};
    static constexpr double cplx[6] = {40, 40, 40, 40, 40, 40};
};
template <>
struct tol<float> {
    static constexpr double real[6] = {8, 8, 8, 8, 8, 8};
    static constexpr double cplx[6] = {40, 40, 40, 40, 40, 40};
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
    double worst = 0, worst_nu = 0;
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
            if (std::fabs(want.real()) > 2 * max) edge(nu, at, got.real(), want.real(), got, want);
            if (std::fabs(want.imag()) > 2 * max) edge(nu, at, got.imag(), want.imag(), got, want);
            return;
        }
        // Finite and normal with room for the relative error.
        if (!(scale < max / 4 && scale > std::numeric_limits<T>::min() * 1e6)) return;
        const double unit = std::numeric_limits<T>::epsilon() * scale * (1 + std::fabs(nu) + std::abs(at));
        const double err = std::abs(got - want) / unit;
        ++compared;
        if (err > worst || std::isnan(err)) worst = std::isnan(err) ? INFINITY : err, worst_nu = nu, worst_at = at;
        if (!(err <= limit)) fail(nu, at, got, want, ("error " + std::to_string(err) + " eps").c_str());
    }
    ~tally() {
        std::printf("%-16s %5d points %4d out of range, worst %8.2f eps (1+|nu|+|x|) at nu=%g x=%g%+gi; "
                    "tolerance %g\n",
                    name.c_str(), compared, edges, worst, worst_nu, worst_at.real(), worst_at.imag(), limit);
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

}  // namespace
