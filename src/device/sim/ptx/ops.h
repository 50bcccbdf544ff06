// Instruction handlers of the PTX executor. The parser picks one handler per
// instruction (type, rounding, state space and vector width are template
// arguments), so a handler does only the operation itself.
#pragma once

#include "../internal.h"
#include "../simkernel.h"
#include "module.h"
#include "round.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>
#include <vector>

namespace sim {
namespace ptx {

struct launch;
struct device_heap;

struct frame {
    const function *f;
    const insn *code;
    uint32_t pc;
    uint64_t *r;
    unsigned char *params;
    uint32_t param_bytes;
    uint32_t local_top, mem_top, stack_top;
    const call_site *site;
};

// The global memory a launch may address, taken when it starts: sorted,
// disjoint ranges [lo, hi) that every thread reads without a lock.
struct range_set {
    std::vector<uintptr_t> lo, hi;
};

struct thread {
    uint64_t *r;
    unsigned char *params;
    uint32_t param_bytes;
    const insn *code;
    uint32_t pc;
    bool stop;
    uint64_t carry;
    unsigned char *local;   // the thread's local window
    uint32_t local_size, local_top;
    unsigned char *shared;  // the block's shared window
    uint32_t shared_size;
    unsigned char *mem;     // frames
    uint32_t mem_size, mem_top;
    frame *frames;
    uint32_t depth, max_depth;
    uint32_t stack_top, stack_size;  // device stack taken by the frames; its size (0: unbounded)
    const launch *L;
    const range_set *ranges;
    uint32_t hint;       // the range of the last global access
    device_heap *heap;   // device malloc's, and its block of the last access
    uintptr_t heap_lo, heap_hi;
    uint32_t red_phase;  // barrier reductions passed
    uint64_t spin_addr, spin_value;  // the last volatile or relaxed load
    uint64_t sreg[slot_fixed];
};

// The program counter that stands for an instruction in race reports: the
// checker asks __tsan_symbolize_external (race.cpp) for those with bit 60 set.
inline uintptr_t race_pc(const insn &i) { return uintptr_t(1) << 60 | uintptr_t(i.site) << 4 | 8; }

// exec.cpp
void fault(thread &t, const insn &i, int code, const char *what);
void memory_fault(thread &t, const insn &i, int code, const char *space, uint64_t addr,
                  unsigned bytes);
bool global_ok_slow(thread &t, uintptr_t a, unsigned bytes);
void check_abort(thread &t);
// A thread that may be spinning (it found `value` at `addr`) lets the other
// threads run first.
void spin(thread &t, uint64_t addr, uint64_t value);

// heap.cpp: device-side malloc and free, from a heap of a fixed size per
// device that lives until the device is reset.
device_heap *heap_of(int device);
bool heap_ok(thread &t, uintptr_t a, unsigned bytes);
uint64_t heap_malloc(thread &t, uint64_t bytes);
void heap_free(thread &t, const insn &i, uint64_t a);

enum space : int { sp_generic, sp_global, sp_shared, sp_local, sp_param, sp_const };

template <typename T>
inline T get(const thread &t, uint32_t s) {
    T v;
    std::memcpy(&v, &t.r[s], sizeof(T));
    return v;
}
// Values are kept zero-extended in their slot.
template <typename T>
inline void put(thread &t, uint32_t s, T v) {
    uint64_t x = 0;
    std::memcpy(&x, &v, sizeof(T));
    t.r[s] = x;
}
inline uint64_t width_mask(unsigned bytes) {
    return bytes >= 8 ? ~0ull : (1ull << (8 * bytes)) - 1;
}
inline uint64_t sign_extend(uint64_t v, unsigned bytes) {
    if (bytes >= 8) return v;
    unsigned sh = 64 - 8 * bytes;
    return uint64_t(int64_t(v << sh) >> sh);
}

// ------------------------------------------------------------ memory

inline bool global_ok(thread &t, uintptr_t a, unsigned bytes) {
    const range_set &g = *t.ranges;
    const uint32_t h = t.hint;
    if (h < g.lo.size() && a >= g.lo[h] && a + bytes <= g.hi[h] && a + bytes >= a) return true;
    return global_ok_slow(t, a, bytes);
}

inline const char *space_name(int sp) {
    static const char *const n[] = {"generic", "global", "shared", "local", "param", "const"};
    return n[sp];
}

// The host address of `bytes` at address `a` of space SP, or null after the fault.
template <int SP>
inline unsigned char *address(thread &t, const insn &i, uint64_t a, unsigned bytes) {
    if (a & (bytes - 1)) {
        memory_fault(t, i, 716, space_name(SP), a, bytes);
        return nullptr;
    }
    unsigned char *base = nullptr;
    uint64_t size = 0;
    bool window = true;
    if (SP == sp_shared) {
        base = t.shared, size = t.shared_size;
    } else if (SP == sp_local) {
        base = t.local, size = t.local_size;
    } else if (SP == sp_param) {
        base = t.params, size = t.param_bytes;
    } else if (SP == sp_generic) {
        uint64_t s = a - reinterpret_cast<uintptr_t>(t.shared), l = a - reinterpret_cast<uintptr_t>(t.local);
        if (t.shared && s < t.shared_size) {
            if (bytes <= t.shared_size - s) return reinterpret_cast<unsigned char *>(a);
        } else if (l < t.local_size) {
            if (bytes <= t.local_size - l) return reinterpret_cast<unsigned char *>(a);
        } else if (global_ok(t, uintptr_t(a), bytes)) {
            return reinterpret_cast<unsigned char *>(a);
        }
        memory_fault(t, i, 700, "generic", a, bytes);
        return nullptr;
    } else {
        window = false;
    }
    if (window) {
        if (a < size && bytes <= size - a) return base + a;
    } else if (global_ok(t, uintptr_t(a), bytes)) {
        return reinterpret_cast<unsigned char *>(a);
    }
    memory_fault(t, i, 700, space_name(SP), a, bytes);
    return nullptr;
}

inline uint64_t effective(const thread &t, const insn &i) { return t.r[i.o[4]] + uint64_t(i.imm); }

template <int SP, unsigned B, unsigned N, bool S>
void h_ld(thread &t, const insn &i) {
    unsigned char *p = address<SP>(t, i, effective(t, i), B * N);
    if (!p) return;
    for (unsigned k = 0; k < N; ++k) {
        uint64_t v = 0;
        std::memcpy(&v, p + k * B, B);
        if (S) v = sign_extend(v, B) & width_mask(i.dw);
        t.r[i.o[k]] = v;
    }
}

// A volatile, relaxed or acquire load: reading again what it read last time,
// the thread spins on a flag that another thread must set.
template <int SP, unsigned B, bool S>
void h_ld_watch(thread &t, const insn &i) {
    const uint64_t a = effective(t, i);
    h_ld<SP, B, 1, S>(t, i);
    if (t.stop) return;
    const uint64_t v = t.r[i.o[0]];
    if (a == t.spin_addr && v == t.spin_value) spin(t, a, v);
    t.spin_addr = a;
    t.spin_value = v;
}

template <int SP, unsigned B, unsigned N>
void h_st(thread &t, const insn &i) {
    unsigned char *p = address<SP>(t, i, effective(t, i), B * N);
    if (!p) return;
    for (unsigned k = 0; k < N; ++k) std::memcpy(p + k * B, &t.r[i.o[k]], B);
}

// cvta: aux 0 to generic, 1 from generic; o[1] the address.
template <int SP, bool TO>
void h_cvta(thread &t, const insn &i) {
    uint64_t a = t.r[i.o[1]];
    uintptr_t base = SP == sp_shared ? reinterpret_cast<uintptr_t>(t.shared)
                     : SP == sp_local ? reinterpret_cast<uintptr_t>(t.local) : 0;
    if (TO) a -= base;
    else a += base;
    t.r[i.o[0]] = a & width_mask(i.dw);
}

// ------------------------------------------------------------ moves

inline void h_mov(thread &t, const insn &i) { t.r[i.o[0]] = t.r[i.o[1]]; }
inline void h_mov_masked(thread &t, const insn &i) { t.r[i.o[0]] = t.r[i.o[1]] & width_mask(i.dw); }

// mov.bN d, {a, b, ...}: aux the element bytes, n the elements.
inline void h_pack(thread &t, const insn &i) {
    uint64_t v = 0;
    for (unsigned k = 0; k < i.n; ++k) v |= (t.r[i.o[k + 1]] & width_mask(i.aux)) << (8 * i.aux * k);
    t.r[i.o[0]] = v;
}
// mov.bN {a, b, ...}, s: o[0..n) the elements, o[4] the source.
inline void h_unpack(thread &t, const insn &i) {
    uint64_t v = t.r[i.o[4]];
    for (unsigned k = 0; k < i.n; ++k) t.r[i.o[k]] = (v >> (8 * i.aux * k)) & width_mask(i.aux);
}

inline void h_selp(thread &t, const insn &i) { t.r[i.o[0]] = t.r[i.o[3]] ? t.r[i.o[1]] : t.r[i.o[2]]; }

// ------------------------------------------------------------ integer arithmetic

template <typename T>
using U = std::make_unsigned_t<T>;

#define SIM_PTX_BIN(name, expr)                                      \
    template <typename T>                                            \
    void name(thread &t, const insn &i) {                            \
        T a = get<T>(t, i.o[1]), b = get<T>(t, i.o[2]);              \
        (void)a, (void)b;                                            \
        put<T>(t, i.o[0], T(expr));                                  \
    }
SIM_PTX_BIN(h_add, U<T>(a) + U<T>(b))
SIM_PTX_BIN(h_sub, U<T>(a) - U<T>(b))
SIM_PTX_BIN(h_mul_lo, uint64_t(U<T>(a)) * uint64_t(U<T>(b)))
SIM_PTX_BIN(h_and, a & b)
SIM_PTX_BIN(h_or, a | b)
SIM_PTX_BIN(h_xor, a ^ b)
SIM_PTX_BIN(h_min, a < b ? a : b)
SIM_PTX_BIN(h_max, a > b ? a : b)
#undef SIM_PTX_BIN

// add.sat.s32 / sub.sat.s32: clamped to the type's range.
template <bool SUB>
void h_add_sat(thread &t, const insn &i) {
    int64_t a = get<int32_t>(t, i.o[1]), b = get<int32_t>(t, i.o[2]);
    int64_t r = SUB ? a - b : a + b;
    put<int32_t>(t, i.o[0], int32_t(r < INT32_MIN ? INT32_MIN : r > INT32_MAX ? INT32_MAX : r));
}

template <typename T>
void h_mul_hi(thread &t, const insn &i) {
    using W = std::conditional_t<sizeof(T) == 8, std::conditional_t<std::is_signed<T>::value, __int128, unsigned __int128>,
                                 std::conditional_t<std::is_signed<T>::value, int64_t, uint64_t>>;
    W p = W(get<T>(t, i.o[1])) * W(get<T>(t, i.o[2]));
    put<T>(t, i.o[0], T(p >> (8 * sizeof(T))));
}
template <typename T, typename W>
void h_mul_wide(thread &t, const insn &i) {
    put<W>(t, i.o[0], W(W(get<T>(t, i.o[1])) * W(get<T>(t, i.o[2]))));
}
// mad.lo/hi/wide: the product as above plus c.
template <typename T>
void h_mad_lo(thread &t, const insn &i) {
    put<T>(t, i.o[0], T(uint64_t(U<T>(get<T>(t, i.o[1]))) * uint64_t(U<T>(get<T>(t, i.o[2]))) +
                        uint64_t(U<T>(get<T>(t, i.o[3])))));
}
template <typename T>
void h_mad_hi(thread &t, const insn &i) {
    using W = std::conditional_t<sizeof(T) == 8, std::conditional_t<std::is_signed<T>::value, __int128, unsigned __int128>,
                                 std::conditional_t<std::is_signed<T>::value, int64_t, uint64_t>>;
    W p = W(get<T>(t, i.o[1])) * W(get<T>(t, i.o[2]));
    put<T>(t, i.o[0], T(U<T>(T(p >> (8 * sizeof(T)))) + U<T>(get<T>(t, i.o[3]))));
}
template <typename T, typename W>
void h_mad_wide(thread &t, const insn &i) {
    using UW = std::make_unsigned_t<W>;
    put<W>(t, i.o[0], W(UW(W(get<T>(t, i.o[1])) * W(get<T>(t, i.o[2]))) + UW(get<W>(t, i.o[3]))));
}
// 24-bit products: the low 24 bits of each operand (sign-extended when signed).
template <typename T>
void h_mul24_lo(thread &t, const insn &i) {
    int64_t a = int64_t(get<T>(t, i.o[1])), b = int64_t(get<T>(t, i.o[2]));
    if (std::is_signed<T>::value) a = int64_t(sign_extend(uint64_t(a) & 0xffffff, 3) << 40) >> 40, b = int64_t(sign_extend(uint64_t(b) & 0xffffff, 3) << 40) >> 40;
    else a &= 0xffffff, b &= 0xffffff;
    uint64_t p = uint64_t(a * b);
    if (i.aux) p += uint64_t(get<T>(t, i.o[3]));  // mad24
    put<T>(t, i.o[0], T(p));
}

// Division by zero gives all ones (the quotient) or the dividend (the
// remainder); the one overflowing signed quotient wraps.
template <typename T>
void h_div(thread &t, const insn &i) {
    T a = get<T>(t, i.o[1]), b = get<T>(t, i.o[2]);
    T r;
    if (b == 0) r = T(~U<T>(0));
    else if (std::is_signed<T>::value && b == T(-1)) r = T(U<T>(0) - U<T>(a));
    else r = T(a / b);
    put<T>(t, i.o[0], r);
}
template <typename T>
void h_rem(thread &t, const insn &i) {
    T a = get<T>(t, i.o[1]), b = get<T>(t, i.o[2]);
    T r;
    if (b == 0) r = a;
    else if (std::is_signed<T>::value && b == T(-1)) r = 0;
    else r = T(a % b);
    put<T>(t, i.o[0], r);
}

template <typename T>
void h_shl(thread &t, const insn &i) {
    uint32_t n = get<uint32_t>(t, i.o[2]);
    U<T> a = U<T>(get<T>(t, i.o[1]));
    put<T>(t, i.o[0], T(n >= 8 * sizeof(T) ? U<T>(0) : U<T>(a << n)));
}
template <typename T>
void h_shr(thread &t, const insn &i) {
    uint32_t n = get<uint32_t>(t, i.o[2]);
    T a = get<T>(t, i.o[1]);
    const unsigned bits = 8 * sizeof(T);
    if (n >= bits) put<T>(t, i.o[0], std::is_signed<T>::value && a < 0 ? T(-1) : T(0));
    else put<T>(t, i.o[0], T(a >> n));
}

template <typename T>
void h_abs(thread &t, const insn &i) {
    T a = get<T>(t, i.o[1]);
    put<T>(t, i.o[0], a < 0 ? T(U<T>(0) - U<T>(a)) : a);
}
template <typename T>
void h_neg(thread &t, const insn &i) {
    put<T>(t, i.o[0], T(U<T>(0) - U<T>(get<T>(t, i.o[1]))));
}
template <typename T>
void h_not(thread &t, const insn &i) { put<T>(t, i.o[0], T(~get<T>(t, i.o[1]))); }
inline void h_not_pred(thread &t, const insn &i) { t.r[i.o[0]] = t.r[i.o[1]] ? 0 : 1; }
template <typename T>
void h_cnot(thread &t, const insn &i) { put<T>(t, i.o[0], T(get<T>(t, i.o[1]) == 0 ? 1 : 0)); }
template <typename T>
void h_popc(thread &t, const insn &i) {
    put<uint32_t>(t, i.o[0], uint32_t(__builtin_popcountll(uint64_t(get<T>(t, i.o[1])))));
}
template <typename T>
void h_clz(thread &t, const insn &i) {
    uint64_t a = uint64_t(get<T>(t, i.o[1]));
    const unsigned bits = 8 * sizeof(T);
    put<uint32_t>(t, i.o[0], a == 0 ? bits : uint32_t(__builtin_clzll(a) - (64 - bits)));
}
template <typename T>
void h_brev(thread &t, const insn &i) {
    T a = get<T>(t, i.o[1]), r = 0;
    for (unsigned k = 0; k < 8 * sizeof(T); ++k)
        if ((a >> k) & 1) r |= T(1) << (8 * sizeof(T) - 1 - k);
    put<T>(t, i.o[0], r);
}
// bfind: the most significant bit that is not a sign bit; aux 1 for .shiftamt.
template <typename T>
void h_bfind(thread &t, const insn &i) {
    const unsigned bits = 8 * sizeof(T);
    uint64_t a = uint64_t(U<T>(get<T>(t, i.o[1])));
    if (std::is_signed<T>::value && ((a >> (bits - 1)) & 1)) a = ~a & width_mask(sizeof(T));
    uint32_t r = 0xffffffffu;
    if (a) {
        r = uint32_t(63 - __builtin_clzll(a));
        if (i.aux) r = bits - 1 - r;
    }
    put<uint32_t>(t, i.o[0], r);
}
template <typename T>
void h_bfe(thread &t, const insn &i) {
    const unsigned msb = 8 * sizeof(T) - 1;
    U<T> a = U<T>(get<T>(t, i.o[1]));
    unsigned pos = get<uint32_t>(t, i.o[2]) & 0xff, len = get<uint32_t>(t, i.o[3]) & 0xff;
    unsigned sbit = 0;
    if (std::is_signed<T>::value && len != 0) sbit = unsigned((a >> std::min(pos + len - 1, msb)) & 1);
    U<T> d = 0;
    for (unsigned k = 0; k <= msb; ++k) {
        unsigned bit = (k < len && pos + k <= msb) ? unsigned((a >> (pos + k)) & 1) : sbit;
        d |= U<T>(bit) << k;
    }
    put<T>(t, i.o[0], T(d));
}
template <typename T>
void h_bfi(thread &t, const insn &i) {
    const unsigned msb = 8 * sizeof(T) - 1;
    T a = get<T>(t, i.o[1]), f = get<T>(t, i.o[2]);
    unsigned pos = get<uint32_t>(t, i.o[3]) & 0xff, len = get<uint32_t>(t, i.o[4]) & 0xff;
    for (unsigned k = 0; k < len && pos + k <= msb; ++k) {
        T bit = T(1) << (pos + k);
        f = ((a >> k) & 1) ? T(f | bit) : T(f & ~bit);
    }
    put<T>(t, i.o[0], f);
}
// prmt: aux the mode (0 the default selector form, then f4e b4e rc8 ecl ecr rc16).
inline void h_prmt(thread &t, const insn &i) {
    uint64_t x = uint64_t(get<uint32_t>(t, i.o[1])) | uint64_t(get<uint32_t>(t, i.o[2])) << 32;
    uint32_t c = get<uint32_t>(t, i.o[3]), d = 0;
    auto byte = [&](unsigned k) { return uint32_t((x >> (8 * (k & 7))) & 0xff); };
    unsigned s = c & 3;
    for (unsigned k = 0; k < 4; ++k) {
        uint32_t v;
        switch (i.aux) {
        case 0: {
            unsigned sel = (c >> (4 * k)) & 0xf;
            v = byte(sel);
            if (sel & 8) v = (v & 0x80) ? 0xff : 0;
            break;
        }
        case 1: v = byte(s + k); break;                         // f4e
        case 2: v = byte((s - k) & 7); break;                   // b4e
        case 3: v = byte(s); break;                             // rc8
        case 4: v = byte(k <= s ? k : s); break;                 // ecl
        case 5: v = byte(k >= s ? k : s); break;                 // ecr
        default: v = byte((s & 1) * 2 + (k & 1)); break;        // rc16
        }
        d |= v << (8 * k);
    }
    put<uint32_t>(t, i.o[0], d);
}
// shf.l / shf.r; aux bit 0 left, bit 1 clamp (else wrap).
inline void h_shf(thread &t, const insn &i) {
    uint64_t x = uint64_t(get<uint32_t>(t, i.o[1])) | uint64_t(get<uint32_t>(t, i.o[2])) << 32;
    uint32_t n = get<uint32_t>(t, i.o[3]);
    n = (i.aux & 2) ? std::min(n, 32u) : (n & 31);
    uint32_t d = (i.aux & 1) ? uint32_t((x << n) >> 32) : uint32_t(x >> n);
    put<uint32_t>(t, i.o[0], d);
}

// Extended-precision forms: aux bit 0 adds the carry in, bit 1 writes the carry out.
template <typename T>
void h_addc(thread &t, const insn &i) {
    T a = get<T>(t, i.o[1]), b = get<T>(t, i.o[2]);
    T cin = (i.aux & 1) ? T(t.carry) : T(0);
    T r = T(a + b + cin);
    if (i.aux & 2) t.carry = (r < a || (cin && r == a)) ? 1 : 0;
    put<T>(t, i.o[0], r);
}
template <typename T>
void h_subc(thread &t, const insn &i) {
    T a = get<T>(t, i.o[1]), b = get<T>(t, i.o[2]);
    T bin = (i.aux & 1) ? T(t.carry) : T(0);
    T r = T(a - b - bin);
    if (i.aux & 2) t.carry = (a < b || (bin && a == b)) ? 1 : 0;
    put<T>(t, i.o[0], r);
}
// mad{c}.lo/hi{.cc}: aux bit 2 takes the high half of the product.
template <typename T>
void h_madc(thread &t, const insn &i) {
    using W = std::conditional_t<sizeof(T) == 8, unsigned __int128, uint64_t>;
    W p = W(get<T>(t, i.o[1])) * W(get<T>(t, i.o[2]));
    T m = (i.aux & 4) ? T(p >> (8 * sizeof(T))) : T(p);
    T c = get<T>(t, i.o[3]);
    T cin = (i.aux & 1) ? T(t.carry) : T(0);
    T r = T(m + c + cin);
    if (i.aux & 2) t.carry = (r < m || (cin && r == m)) ? 1 : 0;
    put<T>(t, i.o[0], r);
}

// sad: c + |a - b|.
template <typename T>
void h_sad(thread &t, const insn &i) {
    T a = get<T>(t, i.o[1]), b = get<T>(t, i.o[2]);
    U<T> diff = a > b ? U<T>(U<T>(a) - U<T>(b)) : U<T>(U<T>(b) - U<T>(a));
    put<T>(t, i.o[0], T(diff + U<T>(get<T>(t, i.o[3]))));
}
// dp4a: c plus the four byte products; aux bit 0 a signed, bit 1 b signed.
inline void h_dp4a(thread &t, const insn &i) {
    uint32_t a = get<uint32_t>(t, i.o[1]), b = get<uint32_t>(t, i.o[2]);
    int64_t sum = int64_t(get<int32_t>(t, i.o[3]));
    for (unsigned k = 0; k < 4; ++k) {
        uint32_t x = (a >> (8 * k)) & 0xff, y = (b >> (8 * k)) & 0xff;
        int64_t sx = (i.aux & 1) ? int64_t(int8_t(x)) : int64_t(x), sy = (i.aux & 2) ? int64_t(int8_t(y)) : int64_t(y);
        sum += sx * sy;
    }
    put<uint32_t>(t, i.o[0], uint32_t(sum));
}

// ------------------------------------------------------------ comparisons

enum cmp_op : int {
    c_eq, c_ne, c_lt, c_le, c_gt, c_ge, c_equ, c_neu, c_ltu, c_leu, c_gtu, c_geu, c_num, c_nan
};

template <typename T, int C>
inline bool compare(T a, T b) {
    if (std::is_floating_point<T>::value) {
        bool un = a != a || b != b;
        switch (C) {
        case c_eq: return !un && a == b;
        case c_ne: return !un && a != b;
        case c_lt: return !un && a < b;
        case c_le: return !un && a <= b;
        case c_gt: return !un && a > b;
        case c_ge: return !un && a >= b;
        case c_equ: return un || a == b;
        case c_neu: return un || a != b;
        case c_ltu: return un || a < b;
        case c_leu: return un || a <= b;
        case c_gtu: return un || a > b;
        case c_geu: return un || a >= b;
        case c_num: return !un;
        default: return un;
        }
    }
    switch (C) {
    case c_eq: return a == b;
    case c_ne: return a != b;
    case c_lt: return a < b;
    case c_le: return a <= b;
    case c_gt: return a > b;
    default: return a >= b;
    }
}

// setp: o[0] p, o[1] q, o[2] a, o[3] b, o[4] c; aux 0 none, 1 and, 2 or, 3 xor.
template <typename T, int C>
void h_setp(thread &t, const insn &i) {
    bool r = compare<T, C>(get<T>(t, i.o[2]), get<T>(t, i.o[3]));
    bool c = t.r[i.o[4]] != 0;
    bool p = r, q = !r;
    switch (i.aux) {
    case 1: p = p && c, q = q && c; break;
    case 2: p = p || c, q = q || c; break;
    case 3: p = p != c, q = q != c; break;
    default: break;
    }
    t.r[i.o[0]] = p;
    t.r[i.o[1]] = q;
}

// ------------------------------------------------------------ floating point

template <typename F>
using bits_of = std::conditional_t<sizeof(F) == 4, uint32_t, uint64_t>;

template <typename F>
inline F canonical_nan() {
    bits_of<F> b = sizeof(F) == 4 ? bits_of<F>(0x7fffffffu) : bits_of<F>(0x7fffffffffffffffull);
    F f;
    std::memcpy(&f, &b, sizeof f);
    return f;
}
template <typename F>
inline F flush(F v) {
    return std::fpclassify(v) == FP_SUBNORMAL ? std::copysign(F(0), v) : v;
}
template <typename F>
inline F saturate(F v) {
    return v != v ? F(0) : v < F(0) ? F(0) : v > F(1) ? F(1) : v;
}
// aux bits of the float handlers: 1 ftz, 2 sat.
template <typename F>
inline F input(const thread &t, const insn &i, uint32_t s) {
    F v = get<F>(t, s);
    return (i.aux & 1) ? flush(v) : v;
}
template <typename F>
inline void output(thread &t, const insn &i, F v) {
    if (v != v) v = canonical_nan<F>();
    if (i.aux & 1) v = flush(v);
    if (i.aux & 2) v = saturate(v);
    put<F>(t, i.o[0], v);
}

enum fop : int { f_add, f_sub, f_mul, f_div, f_fma, f_min, f_max };

template <typename F, int OP, int M>
void h_fbin(thread &t, const insn &i) {
    F a = input<F>(t, i, i.o[1]), b = input<F>(t, i, i.o[2]), r;
    switch (OP) {
    case f_add: r = M == rn ? F(a + b) : directed::add(a, b, M); break;
    case f_sub: r = M == rn ? F(a - b) : directed::add(a, F(-b), M); break;
    case f_mul: r = M == rn ? F(a * b) : directed::mul(a, b, M); break;
    case f_div: r = M == rn ? F(a / b) : directed::div(a, b, M); break;
    case f_fma: {
        F c = input<F>(t, i, i.o[3]);
        r = M == rn ? std::fma(a, b, c) : directed::fma(a, b, c, M);
        break;
    }
    case f_min:
    case f_max:
        if (a != a) r = b;
        else if (b != b) r = a;
        else if (a == b) r = (OP == f_min) == std::signbit(a) ? a : b;
        else r = (OP == f_min) == (a < b) ? a : b;
        break;
    }
    output<F>(t, i, r);
}

enum funary : int {
    u_abs, u_neg, u_sqrt, u_rsqrt, u_rcp, u_sin, u_cos, u_lg2, u_ex2, u_tanh, u_copysign, u_approx_div, u_fast_div
};

// Approximate forms compute in double precision and round: within every
// bound the instruction set documents for them.
template <typename F, int OP, int M>
void h_funary(thread &t, const insn &i) {
    F a = input<F>(t, i, i.o[1]);
    F r;
    switch (OP) {
    case u_abs: {
        put<F>(t, i.o[0], (i.aux & 1) ? flush(std::fabs(a)) : std::fabs(a));
        return;
    }
    case u_neg: {
        put<F>(t, i.o[0], (i.aux & 1) ? flush(F(-a)) : F(-a));
        return;
    }
    case u_copysign: {
        F b = get<F>(t, i.o[2]);
        put<F>(t, i.o[0], std::copysign(b, a));
        return;
    }
    case u_sqrt: r = M == rn ? std::sqrt(a) : directed::sqrt(a, M); break;
    case u_rcp: r = M == rn ? F(F(1) / a) : directed::div(F(1), a, M); break;
    case u_rsqrt: r = F(1.0 / std::sqrt(double(a))); break;
    case u_sin: r = F(std::sin(double(a))); break;
    case u_cos: r = F(std::cos(double(a))); break;
    case u_lg2: r = F(std::log2(double(a))); break;
    case u_ex2: r = F(std::exp2(double(a))); break;
    case u_tanh: r = F(std::tanh(double(a))); break;
    case u_fast_div: {
        // a * (1 / b), the reciprocal flushed to zero beyond 2^126: zero,
        // or NaN for an infinite a.
        F b = input<F>(t, i, i.o[2]);
        if (std::isfinite(b) && std::fabs(double(b)) > 0x1p126)
            r = std::isinf(a) ? std::numeric_limits<F>::quiet_NaN() : F(std::signbit(a) != std::signbit(b) ? -0.0 : 0.0);
        else
            r = F(double(a) / double(b));
        break;
    }
    default: r = F(double(a) / double(input<F>(t, i, i.o[2]))); break;
    }
    output<F>(t, i, r);
}

// testp: aux 0 finite, 1 infinite, 2 number, 3 notanumber, 4 normal, 5 subnormal.
template <typename F>
void h_testp(thread &t, const insn &i) {
    F a = get<F>(t, i.o[1]);
    bool r;
    switch (i.aux) {
    case 0: r = std::isfinite(a); break;
    case 1: r = std::isinf(a); break;
    case 2: r = !std::isnan(a); break;
    case 3: r = std::isnan(a); break;
    case 4: r = std::isnormal(a); break;
    default: r = std::fpclassify(a) == FP_SUBNORMAL; break;
    }
    t.r[i.o[0]] = r;
}

// ------------------------------------------------------------ conversions

// A signed sub-word result sign-extends to its register (dw bytes).
template <typename D>
inline void put_ext(thread &t, const insn &i, D v) {
    if (std::is_signed<D>::value && std::is_integral<D>::value && sizeof(D) < i.dw)
        t.r[i.o[0]] = uint64_t(int64_t(v)) & width_mask(i.dw);
    else
        put<D>(t, i.o[0], v);
}

template <typename D, typename S, bool SAT>
void h_cvt_ii(thread &t, const insn &i) {
    S s = get<S>(t, i.o[1]);
    if (SAT) {
        __int128 v = __int128(s);
        __int128 lo = __int128(std::numeric_limits<D>::min()), hi = __int128(std::numeric_limits<D>::max());
        put_ext<D>(t, i, D(v < lo ? lo : v > hi ? hi : v));
    } else {
        put_ext<D>(t, i, D(s));
    }
}

// Rounding to an integral value: rni rzi rmi rpi as modes rn rz rm rp.
template <typename F>
inline F integral(F v, int m) {
    switch (m) {
    case rn: return std::nearbyint(v);
    case rz: return std::trunc(v);
    case rm: return std::floor(v);
    default: return std::ceil(v);
    }
}

// Float to integer: always saturating, NaN gives 0; aux bit 0 ftz.
template <typename D, typename S, int M>
void h_cvt_fi(thread &t, const insn &i) {
    S s = get<S>(t, i.o[1]);
    if (i.aux & 1) s = flush(s);
    D r;
    if (s != s) {
        r = 0;
    } else {
        long double v = integral<long double>((long double)s, M);
        long double lo = (long double)std::numeric_limits<D>::min(), hi = (long double)std::numeric_limits<D>::max();
        r = v <= lo ? std::numeric_limits<D>::min() : v >= hi ? std::numeric_limits<D>::max() : D(v);
    }
    put_ext<D>(t, i, r);
}

template <typename D, typename S, int M>
void h_cvt_if(thread &t, const insn &i) {
    S s = get<S>(t, i.o[1]);
    D r;
    if (M == rn) r = D(s);
    else if (sizeof(D) == 4) r = D(directed::to_f32(std::conditional_t<std::is_signed<S>::value, int64_t, uint64_t>(s), M));
    else r = D(directed::to_f64(std::conditional_t<std::is_signed<S>::value, int64_t, uint64_t>(s), M));
    output<D>(t, i, r);
}

// Float to float: aux bit 2 rounds to an integral value of the same type.
template <typename D, typename S, int M>
void h_cvt_ff(thread &t, const insn &i) {
    S s = get<S>(t, i.o[1]);
    if ((i.aux & 1) && sizeof(S) == 4) s = flush(s);
    D r;
    if (i.aux & 4) r = D(integral<S>(s, M));
    else if (sizeof(D) >= sizeof(S) || M == rn) r = D(s);
    else r = D(directed::to_f32(double(s), M));
    if (r != r) r = canonical_nan<D>();
    if ((i.aux & 1) && sizeof(D) == 4) r = flush(r);
    if (i.aux & 2) r = saturate(r);
    put<D>(t, i.o[0], r);
}

// Half precision travels as its 16 bits; values convert through double,
// which holds every half exactly.
inline double half_value(uint16_t h) {
    const int e = (h >> 10) & 0x1f, m = h & 0x3ff;
    double v = e == 0 ? std::ldexp(double(m), -24)
               : e == 31 ? (m ? std::numeric_limits<double>::quiet_NaN() : std::numeric_limits<double>::infinity())
                         : std::ldexp(double(m | 0x400), e - 25);
    return (h & 0x8000) ? -v : v;
}
inline uint16_t half_bits(double v, int mode) {
    if (v != v) return 0x7fff;
    const uint16_t sign = std::signbit(v) ? 0x8000 : 0;
    double a = std::fabs(v);
    const bool up = mode == rn ? false : (mode == rp && !sign) || (mode == rm && sign);
    const bool nearest = mode == rn;
    if (std::isinf(a)) return uint16_t(sign | 0x7c00);
    int e;
    std::frexp(a, &e);  // a = f * 2^e, f in [0.5, 1)
    const int qexp = std::max(e - 11, -24);  // the value of the last place
    double q = std::ldexp(a, -qexp);         // exact
    double n = std::floor(q), frac = q - n;
    if (nearest) {
        if (frac > 0.5 || (frac == 0.5 && std::fmod(n, 2.0) != 0)) n += 1;
    } else if (up && frac > 0) {
        n += 1;
    }
    double m = std::ldexp(n, qexp);
    if (m > 65504.0) {
        bool to_inf = nearest || up;
        return uint16_t(sign | (to_inf ? 0x7c00 : 0x7bff));
    }
    if (m < std::ldexp(1.0, -14)) return uint16_t(sign | uint16_t(std::ldexp(m, 24)));
    int me;
    double mf = std::frexp(m, &me);  // m = mf * 2^me
    return uint16_t(sign | uint16_t((me + 14) << 10) | (uint16_t(std::ldexp(mf, 11)) & 0x3ff));
}
// cvt from f16: aux bit 0 ftz (of float results).
template <typename D, int M>
void h_cvt_from_half(thread &t, const insn &i) {
    double v = half_value(get<uint16_t>(t, i.o[1]));
    if (std::is_floating_point<D>::value) {
        D r = D(v);
        if (r != r) r = canonical_nan<D>();
        if ((i.aux & 1) && sizeof(D) == 4) r = flush(r);
        if (i.aux & 2) r = saturate(r);
        put<D>(t, i.o[0], r);
    } else if (v != v) {
        put_ext<D>(t, i, D(0));
    } else {
        long double x = integral<long double>((long double)v, M);
        long double lo = (long double)std::numeric_limits<D>::min(), hi = (long double)std::numeric_limits<D>::max();
        put_ext<D>(t, i, x <= lo ? std::numeric_limits<D>::min() : x >= hi ? std::numeric_limits<D>::max() : D(x));
    }
}
// cvt to f16: aux bit 0 ftz (of a float source), bit 1 sat.
template <typename S, int M>
void h_cvt_to_half(thread &t, const insn &i) {
    S s = get<S>(t, i.o[1]);
    if ((i.aux & 1) && std::is_same<S, float>::value) s = S(flush(float(s)));
    // Integers beyond 2^53 round to a double first, far beyond the largest half.
    double v = double(s);
    if (i.aux & 2) v = saturate(v);
    put<uint16_t>(t, i.o[0], half_bits(v, M));
}

// ------------------------------------------------------------ atomics

enum atom_op : int { a_add, a_min, a_max, a_inc, a_dec, a_and, a_or, a_xor, a_exch, a_cas };

template <typename T, int OP>
inline T atom_apply(T old, T b, T c) {
    switch (OP) {
    case a_add:
        if (std::is_same<T, float>::value) return T(flush(float(flush(float(old)) + flush(float(b)))));
        if (std::is_floating_point<T>::value) return T(old + b);
        return T(U<std::conditional_t<std::is_floating_point<T>::value, int, T>>(old) + U<std::conditional_t<std::is_floating_point<T>::value, int, T>>(b));
    case a_min: return b < old ? b : old;
    case a_max: return b > old ? b : old;
    case a_inc: return old >= b ? T(0) : T(old + 1);
    case a_dec: return (old == 0 || old > b) ? b : T(old - 1);
    case a_exch: return b;
    case a_cas: return old == b ? c : old;
    default: return old;
    }
}

// atom: o[0] d, o[1] b, o[2] c, o[4] the address; red writes nothing (aux 1).
template <int SP, typename T, int OP>
void h_atom(thread &t, const insn &i) {
    unsigned char *p = address<SP>(t, i, effective(t, i), sizeof(T));
    if (!p) return;
    using B = std::conditional_t<sizeof(T) == 2, uint16_t, std::conditional_t<sizeof(T) == 4, uint32_t, uint64_t>>;
    B *q = reinterpret_cast<B *>(p);
    T b = get<T>(t, i.o[1]), c = get<T>(t, i.o[2]);
    B oldb, newb;
    {
#if defined(__SANITIZE_THREAD__)
        sim_atomic_access_ unseen;  // as the C++ path's atomics; spin() below stays seen
#endif
        if (OP == a_and || OP == a_or || OP == a_xor || OP == a_exch || (OP == a_add && std::is_integral<T>::value)) {
            B bb;
            std::memcpy(&bb, &b, sizeof bb);
            switch (OP) {
            case a_and: oldb = __atomic_fetch_and(q, bb, __ATOMIC_SEQ_CST), newb = B(oldb & bb); break;
            case a_or: oldb = __atomic_fetch_or(q, bb, __ATOMIC_SEQ_CST), newb = B(oldb | bb); break;
            case a_xor: oldb = __atomic_fetch_xor(q, bb, __ATOMIC_SEQ_CST), newb = B(oldb ^ bb); break;
            case a_exch: oldb = __atomic_exchange_n(q, bb, __ATOMIC_SEQ_CST), newb = bb; break;
            default: oldb = __atomic_fetch_add(q, bb, __ATOMIC_SEQ_CST), newb = B(oldb + bb); break;
            }
        } else {
            oldb = __atomic_load_n(q, __ATOMIC_RELAXED);
            for (;;) {
                T old;
                std::memcpy(&old, &oldb, sizeof old);
                T next = atom_apply<T, OP>(old, b, c);
                std::memcpy(&newb, &next, sizeof newb);
                if (__atomic_compare_exchange_n(q, &oldb, newb, false, __ATOMIC_SEQ_CST, __ATOMIC_RELAXED)) break;
            }
        }
    }
    // One that left memory as it was may be a spin-wait (a failed compare-and-swap).
    if (oldb == newb) spin(t, uint64_t(reinterpret_cast<uintptr_t>(p)), uint64_t(oldb));
    if (!i.aux) {
        T old;
        std::memcpy(&old, &oldb, sizeof old);
        put<T>(t, i.o[0], old);
    }
}

// ------------------------------------------------------------ control flow

inline void h_bra(thread &t, const insn &i) {
    t.pc = uint32_t(i.imm);
    check_abort(t);
}
void h_ret(thread &t, const insn &i);
void h_exit(thread &t, const insn &i);
void h_call(thread &t, const insn &i);
void h_call_indirect(thread &t, const insn &i);
void h_trap(thread &t, const insn &i);
// The name of a barrier's or warp collective's line, from its imm.
const char *site(const thread &t, const insn &i);
void h_bar(thread &t, const insn &i);
void h_bar_id(thread &t, const insn &i);
void h_bar_red(thread &t, const insn &i);
void h_bar_warp(thread &t, const insn &i);
void h_shfl(thread &t, const insn &i);
void h_vote(thread &t, const insn &i);
void h_match(thread &t, const insn &i);  // match.cpp
void h_activemask(thread &t, const insn &i);
void h_fence(thread &t, const insn &i);
void h_tex(thread &t, const insn &i);  // texture.cpp
void h_clock(thread &t, const insn &i);
inline void h_nop(thread &, const insn &) {}

// fns: the position of the offset-th set bit of a mask counted from base,
// upwards for a positive offset and downwards for a negative one; base
// itself when the offset is 0 and its bit is set; all ones when there is none.
inline void h_fns(thread &t, const insn &i) {
    const uint32_t mask = get<uint32_t>(t, i.o[1]), base = get<uint32_t>(t, i.o[2]);
    const int32_t offset = get<int32_t>(t, i.o[3]);
    uint32_t d = ~0u;
    if (offset == 0) {
        if (base < 32 && ((mask >> base) & 1)) d = base;
    } else {
        int64_t count = offset > 0 ? int64_t(offset) - 1 : -int64_t(offset) - 1;
        const int step = offset > 0 ? 1 : -1;
        for (int64_t pos = base; pos >= 0 && pos < 32; pos += step) {
            if (!((mask >> pos) & 1)) continue;
            if (count-- == 0) {
                d = uint32_t(pos);
                break;
            }
        }
    }
    put<uint32_t>(t, i.o[0], d);
}

}  // namespace ptx
}  // namespace sim
