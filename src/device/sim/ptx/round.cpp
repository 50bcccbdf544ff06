// Directed rounding through the host's floating-point environment. Every
// function restores round-to-nearest before it returns.
#include "round.h"

#include <cfenv>
#include <cmath>

namespace sim {
namespace ptx {
namespace directed {

namespace {

struct in_mode {
    explicit in_mode(int mode) {
        std::fesetround(mode == rz ? FE_TOWARDZERO : mode == rm ? FE_DOWNWARD
                        : mode == rp ? FE_UPWARD : FE_TONEAREST);
    }
    ~in_mode() { std::fesetround(FE_TONEAREST); }
};

// Keeps the operation from being evaluated outside the mode.
template <typename T>
T opaque(T v) {
    volatile T x = v;
    return x;
}

}  // namespace

#define SIM_PTX_DIRECTED(T)                                                                 \
    T add(T a, T b, int mode) { in_mode m(mode); return opaque(opaque(a) + opaque(b)); }   \
    T mul(T a, T b, int mode) { in_mode m(mode); return opaque(opaque(a) * opaque(b)); }   \
    T div(T a, T b, int mode) { in_mode m(mode); return opaque(opaque(a) / opaque(b)); }   \
    T fma(T a, T b, T c, int mode) {                                                        \
        in_mode m(mode);                                                                    \
        return opaque(std::fma(opaque(a), opaque(b), opaque(c)));                           \
    }                                                                                       \
    T sqrt(T a, int mode) { in_mode m(mode); return opaque(std::sqrt(opaque(a))); }
SIM_PTX_DIRECTED(float)
SIM_PTX_DIRECTED(double)
#undef SIM_PTX_DIRECTED

float to_f32(double a, int mode) { in_mode m(mode); return opaque(float(opaque(a))); }
float to_f32(int64_t a, int mode) { in_mode m(mode); return opaque(float(opaque(a))); }
float to_f32(uint64_t a, int mode) { in_mode m(mode); return opaque(float(opaque(a))); }
double to_f64(int64_t a, int mode) { in_mode m(mode); return opaque(double(opaque(a))); }
double to_f64(uint64_t a, int mode) { in_mode m(mode); return opaque(double(opaque(a))); }

}  // namespace directed
}  // namespace ptx
}  // namespace sim
