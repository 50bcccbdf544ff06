// Instruction forms and their edge cases, one single-thread kernel per case:
// rounding modes, saturation, shifts of the full width and more, NaN
// operands, out-of-range conversions, carries, bit fields, moves of vectors,
// state spaces and atomics. The approximate forms are checked against the
// error bounds the instruction set documents for them.
#include "harness.h"

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>

using ptxtest::params;
using testenv::device_alloc;
using testenv::device_free;
using testenv::from_device;
using testenv::to_device;

namespace {

uint64_t F(float v) {
    uint32_t b;
    std::memcpy(&b, &v, 4);
    return b;
}
uint64_t D(double v) {
    uint64_t b;
    std::memcpy(&b, &v, 8);
    return b;
}
constexpr uint64_t I(int64_t v) { return uint64_t(v); }
constexpr uint64_t W(int32_t v) { return uint32_t(v); }  // a 32-bit result

// Operands a, b, c arrive in %rd10..12, %r10..12, %rs10..12, %f10..12,
// %fd10..12 and %p10..12 (non-zero); a case leaves its result in %rd20,
// %r20, %rs20, %f20, %fd20 or %p20.
std::string module_for(const std::string &body) {
    std::string s = R"(.version 9.0
.target sm_75
.address_size 64
.shared .align 8 .b8 s[16];
.visible .entry kernel_main(.param .u64 out, .param .u64 in)
{
    .reg .pred %p<24>;
    .reg .b16 %rs<24>;
    .reg .b32 %r<24>;
    .reg .f32 %f<24>;
    .reg .b64 %rd<24>;
    .reg .f64 %fd<24>;
    ld.param.u64 %rd1, [out];
    ld.param.u64 %rd2, [in];
)";
    for (int k = 0; k < 3; ++k) {
        std::string n = std::to_string(10 + k), off = std::to_string(8 * k);
        s += "    ld.global.b64 %rd" + n + ", [%rd2+" + off + "];\n";
        s += "    ld.global.b32 %r" + n + ", [%rd2+" + off + "];\n";
        s += "    ld.global.b16 %rs" + n + ", [%rd2+" + off + "];\n";
        s += "    ld.global.f32 %f" + n + ", [%rd2+" + off + "];\n";
        s += "    ld.global.f64 %fd" + n + ", [%rd2+" + off + "];\n";
        s += "    setp.ne.b64 %p" + n + ", %rd" + n + ", 0;\n";
    }
    s += "    mov.b64 %rd20, 0;\n    mov.b32 %r20, 0;\n    mov.b16 %rs20, 0;\n    mov.f32 %f20, 0f00000000;\n"
         "    mov.f64 %fd20, 0d0000000000000000;\n    setp.ne.b32 %p20, %r10, %r10;\n";
    s += "    " + body + "\n";
    s += R"(    st.global.b64 [%rd1], %rd20;
    st.global.b32 [%rd1+8], %r20;
    st.global.f32 [%rd1+12], %f20;
    st.global.f64 [%rd1+16], %fd20;
    selp.u32 %r21, 1, 0, %p20;
    st.global.b32 [%rd1+24], %r21;
    st.global.b16 [%rd1+28], %rs20;
    ret;
}
)";
    return s;
}

struct result {
    uint64_t l;
    uint32_t i;
    float f;
    double d;
    uint32_t p;
    uint16_t h;
};

enum field { l, i, f, d, p, h };

struct form_case {
    const char *body;
    uint64_t a, b, c;
    field where;
    uint64_t want;
};

uint64_t read(const result &r, field w) {
    switch (w) {
    case l: return r.l;
    case i: return r.i;
    case f: return F(r.f);
    case d: return D(r.d);
    case p: return r.p;
    default: return r.h;
    }
}

class Forms : public ptxtest::PtxTest {
protected:
    // Runs `body` once with a, b, c; the result record.
    result run(const std::string &body, uint64_t a, uint64_t b, uint64_t c) {
        result r{};
        dev::drv_function fn = load_text(module_for(body));
        if (!fn) return r;
        uint64_t *in = to_device(std::vector<uint64_t>{a, b, c});
        result *out = device_alloc<result>(1);
        EXPECT_EQ(ptxtest::launch(fn, dim3(1), dim3(1), 0, params().ptr(out).ptr(in)), 0);
        EXPECT_EQ(dev::synchronize(), 0) << body;
        r = from_device(out, 1)[0];
        device_free(in), device_free(out);
        return r;
    }
    void check(const form_case *cases, size_t n) {
        for (size_t k = 0; k < n; ++k) {
            const form_case &c = cases[k];
            result r = run(c.body, c.a, c.b, c.c);
            EXPECT_EQ(read(r, c.where), c.want) << c.body << "  with a=" << std::hex << c.a << " b=" << c.b << " c=" << c.c;
        }
    }
};

TEST_F(Forms, IntegerArithmeticShiftsAndDivision) {
    static const form_case cases[] = {
        {"shl.b32 %r20, %r10, %r11;", 1, 32, 0, i, 0},
        {"shl.b32 %r20, %r10, %r11;", 3, 31, 0, i, 0x80000000u},
        {"shl.b64 %rd20, %rd10, %r11;", 1, 63, 0, l, 1ull << 63},
        {"shl.b64 %rd20, %rd10, %r11;", 1, 64, 0, l, 0},
        {"shr.s32 %r20, %r10, %r11;", W(-8), 40, 0, i, 0xffffffffu},
        {"shr.s32 %r20, %r10, %r11;", W(-8), 1, 0, i, W(-4)},
        {"shr.u32 %r20, %r10, %r11;", 0x80000000u, 32, 0, i, 0},
        {"shr.s64 %rd20, %rd10, %r11;", I(-1) << 40, 64, 0, l, ~0ull},
        {"shr.u16 %rs20, %rs10, %r11;", 0x8000, 15, 0, h, 1},
        {"div.u32 %r20, %r10, %r11;", 7, 0, 0, i, 0xffffffffu},
        {"div.s32 %r20, %r10, %r11;", W(INT_MIN), W(-1), 0, i, W(INT_MIN)},
        {"div.s32 %r20, %r10, %r11;", W(-7), 2, 0, i, W(-3)},
        {"rem.s32 %r20, %r10, %r11;", W(-7), 3, 0, i, W(-1)},
        {"rem.s32 %r20, %r10, %r11;", W(INT_MIN), W(-1), 0, i, 0},
        {"rem.u32 %r20, %r10, %r11;", 9, 0, 0, i, 9},
        {"div.s64 %rd20, %rd10, %rd11;", I(-9), 2, 0, l, I(-4)},
        {"rem.u64 %rd20, %rd10, %rd11;", ~0ull, 10, 0, l, 5},
        {"mul.lo.s32 %r20, %r10, %r11;", 0x10000, 0x10000, 0, i, 0},
        {"mul.lo.u16 %rs20, %rs10, %rs11;", 0xffff, 0xffff, 0, h, 1},
        {"mad.lo.u16 %rs20, %rs10, %rs11, %rs12;", 0xffff, 0xffff, 2, h, 3},
        {"mul.hi.s32 %r20, %r10, %r11;", W(-2), 0x40000000, 0, i, 0xffffffffu},
        {"mul.hi.u32 %r20, %r10, %r11;", 0xffffffffu, 0xffffffffu, 0, i, 0xfffffffeu},
        {"mul.hi.u64 %rd20, %rd10, %rd11;", ~0ull, ~0ull, 0, l, ~1ull},
        {"mul.hi.s64 %rd20, %rd10, %rd11;", I(-1), I(-1), 0, l, 0},
        {"mul.wide.s32 %rd20, %r10, %r11;", W(-3), 5, 0, l, I(-15)},
        {"mul.wide.u32 %rd20, %r10, %r11;", 0xffffffffu, 0xffffffffu, 0, l, 0xfffffffe00000001ull},
        {"mul.wide.s16 %r20, %rs10, %rs11;", 0x8000, 0x8000, 0, i, 0x40000000u},
        {"mad.lo.s32 %r20, %r10, %r11, %r12;", 6, 7, W(-2), i, 40},
        {"mad.hi.u32 %r20, %r10, %r11, %r12;", 0x80000000u, 4, 5, i, 7},
        {"mad.wide.u16 %r20, %rs10, %rs11, %r12;", 0xffff, 0xffff, 1, i, 0xfffe0002u},
        {"mad.wide.s32 %rd20, %r10, %r11, %rd12;", W(-1), 8, 100, l, 92},
        {"mul24.lo.s32 %r20, %r10, %r11;", 0x00800000, 2, 0, i, 0xff000000u},
        {"mul24.lo.u32 %r20, %r10, %r11;", 0xff000003u, 5, 0, i, 15},
        {"add.cc.u32 %r13, %r10, %r11; addc.u32 %r20, %r12, 0;", 0xffffffffu, 1, 5, i, 6},
        {"add.cc.u32 %r13, %r10, %r11; addc.cc.u32 %r14, %r12, 0; addc.u32 %r20, 0, 0;", 0xffffffffu, 1, 0xffffffffu, i, 1},
        {"sub.cc.u32 %r13, %r10, %r11; subc.u32 %r20, %r12, 0;", 0, 1, 5, i, 4},
        {"add.cc.u64 %rd13, %rd10, %rd11; addc.u64 %rd20, %rd12, 0;", ~0ull, 2, 7, l, 8},
        {"mad.lo.cc.u32 %r13, %r10, %r11, %r12; madc.hi.u32 %r20, %r10, %r11, 0;", 0xffffffffu, 0xffffffffu, 0xffffffffu, i, 0xffffffffu},
        {"abs.s32 %r20, %r10;", W(INT_MIN), 0, 0, i, W(INT_MIN)},
        {"abs.s64 %rd20, %rd10;", I(-5), 0, 0, l, 5},
        {"neg.s32 %r20, %r10;", 5, 0, 0, i, W(-5)},
        {"min.s32 %r20, %r10, %r11;", W(-1), 1, 0, i, W(-1)},
        {"min.u32 %r20, %r10, %r11;", W(-1), 1, 0, i, 1},
        {"max.s64 %rd20, %rd10, %rd11;", I(-1), 1, 0, l, 1},
        {"max.u16 %rs20, %rs10, %rs11;", 0xffff, 1, 0, h, 0xffff},
        {"sub.s16 %rs20, %rs10, %rs11;", 0, 1, 0, h, 0xffff},
        {"add.sat.s32 %r20, %r10, %r11;", W(INT_MAX), 1, 0, i, W(INT_MAX)},
        {"sub.sat.s32 %r20, %r10, %r11;", W(INT_MIN), 1, 0, i, W(INT_MIN)},
        {"add.sat.s32 %r20, %r10, %r11;", W(-5), 2, 0, i, W(-3)},
    };
    check(cases, sizeof cases / sizeof *cases);
}

TEST_F(Forms, BitOperations) {
    static const form_case cases[] = {
        {"bfe.u32 %r20, %r10, %r11, %r12;", 0xf0f0abcdu, 8, 12, i, 0xabu},
        {"bfe.s32 %r20, %r10, %r11, %r12;", 0x00000f00u, 8, 4, i, 0xffffffffu},
        {"bfe.u32 %r20, %r10, %r11, %r12;", 0xffffffffu, 8, 0, i, 0},
        {"bfe.u32 %r20, %r10, %r11, %r12;", 0xffffffffu, 40, 5, i, 0},
        {"bfe.s32 %r20, %r10, %r11, %r12;", 0x80000000u, 40, 5, i, 0xffffffffu},
        {"bfe.u64 %rd20, %rd10, %r11, %r12;", 0x123456789abcdef0ull, 60, 8, l, 1},
        {"bfi.b32 %r20, %r10, %r11, %r12, 8;", 0xff, 0x12345678u, 4, i, 0x12345ff8u},
        {"bfi.b32 %r20, %r10, %r11, %r12, 8;", 0xff, 0x12345678u, 28, i, 0xf2345678u},
        {"bfi.b64 %rd20, %rd10, %rd11, %r12, 4;", 0xa, 0, 60, l, 0xa000000000000000ull},
        {"prmt.b32 %r20, %r10, %r11, %r12;", 0x33221100u, 0x77665544u, 0x5140, i, 0x55114400u},
        {"prmt.b32 %r20, %r10, %r11, %r12;", 0x80u, 0, 0x8, i, 0x808080ffu},
        {"prmt.b32.f4e %r20, %r10, %r11, %r12;", 0x33221100u, 0x77665544u, 2, i, 0x55443322u},
        {"prmt.b32.b4e %r20, %r10, %r11, %r12;", 0x33221100u, 0x77665544u, 0, i, 0x55667700u},
        {"prmt.b32.rc8 %r20, %r10, %r11, %r12;", 0x33221100u, 0, 1, i, 0x11111111u},
        {"prmt.b32.rc16 %r20, %r10, %r11, %r12;", 0x33221100u, 0, 1, i, 0x33223322u},
        {"brev.b32 %r20, %r10;", 1, 0, 0, i, 0x80000000u},
        {"brev.b64 %rd20, %rd10;", 3, 0, 0, l, 0xc000000000000000ull},
        {"clz.b32 %r20, %r10;", 0, 0, 0, i, 32},
        {"clz.b64 %r20, %rd10;", 1, 0, 0, i, 63},
        {"popc.b64 %r20, %rd10;", ~0ull, 0, 0, i, 64},
        {"popc.b32 %r20, %r10;", 0xf0f0u, 0, 0, i, 8},
        {"bfind.u32 %r20, %r10;", 0, 0, 0, i, 0xffffffffu},
        {"bfind.u32 %r20, %r10;", 0x10, 0, 0, i, 4},
        {"bfind.shiftamt.u32 %r20, %r10;", 1, 0, 0, i, 31},
        {"bfind.s32 %r20, %r10;", W(-1), 0, 0, i, 0xffffffffu},
        {"bfind.s32 %r20, %r10;", W(-2), 0, 0, i, 0},
        {"bfind.u64 %r20, %rd10;", 1ull << 40, 0, 0, i, 40},
        {"shf.l.wrap.b32 %r20, %r10, %r11, %r12;", 0x80000000u, 1, 36, i, 0x18},
        {"shf.r.clamp.b32 %r20, %r10, %r11, %r12;", 5, 9, 40, i, 9},
        {"shf.r.wrap.b32 %r20, %r10, %r11, %r12;", 0x10, 0x1, 4, i, 0x10000001u},
        {"not.b32 %r20, %r10;", 0, 0, 0, i, 0xffffffffu},
        {"not.b16 %rs20, %rs10;", 0xff, 0, 0, h, 0xff00},
        {"cnot.b32 %r20, %r10;", 0, 0, 0, i, 1},
        {"cnot.b32 %r20, %r10;", 5, 0, 0, i, 0},
        {"and.b64 %rd20, %rd10, %rd11;", 0xff00ff00ff00ff00ull, 0x0ff00ff00ff00ff0ull, 0, l, 0x0f000f000f000f00ull},
        {"xor.b32 %r20, %r10, -1;", 0x0f, 0, 0, i, 0xfffffff0u},
        {"and.pred %p20, %p10, %p11;", 1, 0, 0, p, 0},
        {"or.pred %p20, %p10, %p11;", 1, 0, 0, p, 1},
        {"xor.pred %p20, %p10, %p11;", 1, 1, 0, p, 0},
        {"not.pred %p20, %p10;", 0, 0, 0, p, 1},
    };
    check(cases, sizeof cases / sizeof *cases);
}

TEST_F(Forms, ComparisonsAndSelection) {
    const uint64_t nan = F(NAN), one = F(1.0f);
    const form_case cases[] = {
        {"setp.lt.f32 %p20, %f10, %f11;", nan, one, 0, p, 0},
        {"setp.ltu.f32 %p20, %f10, %f11;", nan, one, 0, p, 1},
        {"setp.ne.f32 %p20, %f10, %f11;", nan, one, 0, p, 0},
        {"setp.neu.f32 %p20, %f10, %f11;", nan, one, 0, p, 1},
        {"setp.eq.f32 %p20, %f10, %f11;", F(0.0f), F(-0.0f), 0, p, 1},
        {"setp.num.f32 %p20, %f10, %f11;", one, nan, 0, p, 0},
        {"setp.nan.f64 %p20, %fd10, %fd11;", D(NAN), D(1), 0, p, 1},
        {"setp.geu.f64 %p20, %fd10, %fd11;", D(1), D(2), 0, p, 0},
        {"setp.lt.s32 %p20, %r10, %r11;", W(-1), 1, 0, p, 1},
        {"setp.lo.u32 %p20, %r10, %r11;", W(-1), 1, 0, p, 0},
        {"setp.hs.u32 %p20, %r10, %r11;", W(-1), 1, 0, p, 1},
        {"setp.lt.u64 %p20, %rd10, %rd11;", 1, ~0ull, 0, p, 1},
        {"setp.gt.s16 %p20, %rs10, %rs11;", 0x8000, 1, 0, p, 0},
        {"setp.lt.and.s32 %p20, %r10, %r11, %p12;", 1, 2, 0, p, 0},
        {"setp.lt.or.s32 %p20, %r10, %r11, %p12;", 3, 2, 1, p, 1},
        {"setp.lt.xor.s32 %p20, %r10, %r11, %p12;", 1, 2, 1, p, 0},
        {"setp.gt.s32 %p21|%p20, %r10, %r11;", 5, 2, 0, p, 0},
        {"setp.lt.and.s32 %p21|%p20, %r10, %r11, !%p12;", 5, 2, 0, p, 1},
        {"selp.b32 %r20, %r10, %r11, %p12;", 7, 9, 1, i, 7},
        {"selp.f64 %fd20, %fd10, %fd11, %p12;", D(1), D(2), 0, d, D(2)},
        {"@%p12 mov.b32 %r20, %r10;", 7, 0, 0, i, 0},
        {"@!%p12 mov.b32 %r20, %r10;", 7, 0, 0, i, 7},
    };
    check(cases, sizeof cases / sizeof *cases);
}

TEST_F(Forms, FloatRoundingModesSaturationAndSpecialValues) {
    const uint64_t nan = F(NAN), third = D(1.0 / 3);
    const form_case cases[] = {
        {"add.rn.f32 %f20, %f10, %f11;", F(1), F(1e-8f), 0, f, F(1)},
        {"add.rp.f32 %f20, %f10, %f11;", F(1), F(1e-8f), 0, f, 0x3f800001},
        {"add.rm.f32 %f20, %f10, %f11;", F(-1), F(-1e-8f), 0, f, 0xbf800001},
        {"add.rz.f32 %f20, %f10, %f11;", F(-1), F(-1e-8f), 0, f, F(-1)},
        {"sub.rp.f32 %f20, %f10, %f11;", F(1), F(-1e-8f), 0, f, 0x3f800001},
        {"mul.rp.f32 %f20, %f10, %f11;", 0x3eaaaaab, F(3), 0, f, 0x3f800001},
        {"mul.rn.f32 %f20, %f10, %f11;", 0x3eaaaaab, F(3), 0, f, F(1)},
        {"mul.rz.f64 %fd20, %fd10, %fd11;", D(1.0 / 3), D(3), 0, d, 0x3fefffffffffffffull},
        {"mul.rn.f64 %fd20, %fd10, %fd11;", D(1.0 / 3), D(3), 0, d, D(1)},
        {"div.rz.f32 %f20, %f10, %f11;", F(1), F(3), 0, f, 0x3eaaaaaa},
        {"div.rn.f32 %f20, %f10, %f11;", F(1), F(3), 0, f, 0x3eaaaaab},
        {"div.rp.f64 %fd20, %fd10, %fd11;", D(1), D(3), 0, d, 0x3fd5555555555556ull},
        {"div.rm.f64 %fd20, %fd10, %fd11;", D(1), D(3), 0, d, 0x3fd5555555555555ull},
        {"fma.rn.f32 %f20, %f10, %f11, %f12;", F(1 + 0x1p-12f), F(1 - 0x1p-12f), F(-1), f, F(-0x1p-24f)},
        {"fma.rm.f32 %f20, %f10, %f11, %f12;", F(1), F(1e-8f), F(1), f, F(1)},
        {"fma.rp.f32 %f20, %f10, %f11, %f12;", F(1), F(1e-8f), F(1), f, 0x3f800001},
        {"fma.rz.f64 %fd20, %fd10, %fd11, %fd12;", D(1), D(1e-20), D(-1), d, D(-1 + 0x1p-53)},
        {"mad.rn.f32 %f20, %f10, %f11, %f12;", F(2), F(3), F(4), f, F(10)},
        {"sqrt.rn.f32 %f20, %f10;", F(2), 0, 0, f, 0x3fb504f3},
        {"sqrt.rp.f32 %f20, %f10;", F(2), 0, 0, f, 0x3fb504f4},
        {"sqrt.rn.f32 %f20, %f10;", F(-1), 0, 0, f, 0x7fffffff},
        {"sqrt.rn.f64 %fd20, %fd10;", D(2), 0, 0, d, D(std::sqrt(2.0))},
        {"rcp.rn.f32 %f20, %f10;", F(3), 0, 0, f, 0x3eaaaaab},
        {"rcp.rz.f64 %fd20, %fd10;", D(3), 0, 0, d, 0x3fd5555555555555ull},
        {"rcp.rn.f32 %f20, %f10;", F(0.0f), 0, 0, f, F(INFINITY)},
        {"add.sat.f32 %f20, %f10, %f11;", F(0.75f), F(0.5f), 0, f, F(1)},
        {"add.sat.f32 %f20, %f10, %f11;", nan, F(0.5f), 0, f, F(0)},
        {"mul.sat.f32 %f20, %f10, %f11;", F(-2), F(0.5f), 0, f, F(0)},
        {"mul.ftz.f32 %f20, %f10, %f11;", F(1e-38f), F(1e-2f), 0, f, F(0)},
        {"mul.f32 %f20, %f10, %f11;", F(1e-38f), F(1e-2f), 0, f, F(1e-38f * 1e-2f)},
        {"add.ftz.f32 %f20, %f10, %f11;", F(1e-40f), F(0.0f), 0, f, F(0)},
        {"add.f32 %f20, %f10, %f11;", F(INFINITY), F(-INFINITY), 0, f, 0x7fffffff},
        {"add.f64 %fd20, %fd10, %fd11;", D(NAN), D(1), 0, d, 0x7fffffffffffffffull},
        {"min.f32 %f20, %f10, %f11;", nan, F(1), 0, f, F(1)},
        {"max.f32 %f20, %f10, %f11;", F(2), nan, 0, f, F(2)},
        {"max.f32 %f20, %f10, %f11;", nan, nan, 0, f, 0x7fffffff},
        {"min.f32 %f20, %f10, %f11;", F(0.0f), F(-0.0f), 0, f, F(-0.0f)},
        {"max.f64 %fd20, %fd10, %fd11;", D(-0.0), D(0.0), 0, d, D(0.0)},
        {"min.ftz.f32 %f20, %f10, %f11;", F(-1e-40f), F(1), 0, f, F(-0.0f)},
        {"abs.f32 %f20, %f10;", F(-0.0f), 0, 0, f, F(0.0f)},
        {"neg.f32 %f20, %f10;", F(0.0f), 0, 0, f, F(-0.0f)},
        {"neg.f64 %fd20, %fd10;", D(2), 0, 0, d, D(-2)},
        {"copysign.f32 %f20, %f10, %f11;", F(-1), F(2), 0, f, F(-2)},
        {"copysign.f64 %fd20, %fd10, %fd11;", D(1), D(-3), 0, d, D(3)},
        {"testp.finite.f32 %p20, %f10;", F(INFINITY), 0, 0, p, 0},
        {"testp.notanumber.f32 %p20, %f10;", nan, 0, 0, p, 1},
        {"testp.subnormal.f32 %p20, %f10;", F(1e-40f), 0, 0, p, 1},
        {"testp.normal.f64 %p20, %fd10;", D(1e-310), 0, 0, p, 0},
        {"mov.f32 %f20, 0f3F800000;", 0, 0, 0, f, F(1)},
        {"mov.f64 %fd20, 0dBFF0000000000000;", 0, 0, 0, d, D(-1)},
        {"add.f64 %fd20, %fd10, 0.5;", D(1), 0, 0, d, D(1.5)},
        {"cvt.rn.f32.f64 %f20, %fd10;", third, 0, 0, f, 0x3eaaaaab},
        {"cvt.rz.f32.f64 %f20, %fd10;", third, 0, 0, f, 0x3eaaaaaa},
        {"cvt.rp.f32.f64 %f20, %fd10;", D(-1.0 / 3), 0, 0, f, 0xbeaaaaaa},
        {"cvt.rn.f32.f64 %f20, %fd10;", D(1e40), 0, 0, f, F(INFINITY)},
        {"cvt.rz.f32.f64 %f20, %fd10;", D(1e40), 0, 0, f, F(FLT_MAX)},
        {"cvt.rn.ftz.f32.f64 %f20, %fd10;", D(1e-40), 0, 0, f, F(0)},
        {"cvt.f64.f32 %fd20, %f10;", F(0.1f), 0, 0, d, D(double(0.1f))},
        {"cvt.rni.f32.f32 %f20, %f10;", F(2.5f), 0, 0, f, F(2)},
        {"cvt.rmi.f64.f64 %fd20, %fd10;", D(-0.5), 0, 0, d, D(-1)},
        {"cvt.rpi.f32.f32 %f20, %f10;", F(-0.5f), 0, 0, f, F(-0.0f)},
        {"cvt.sat.f32.f32 %f20, %f10;", nan, 0, 0, f, F(0)},
        {"cvt.sat.f32.f32 %f20, %f10;", F(2), 0, 0, f, F(1)},
        {"cvt.ftz.sat.f32.f32 %f20, %f10;", F(-1), 0, 0, f, F(0)},
    };
    check(cases, sizeof cases / sizeof *cases);
}

TEST_F(Forms, IntegerConversionsAndOutOfRangeValues) {
    const form_case cases[] = {
        {"cvt.rzi.s32.f32 %r20, %f10;", F(3e9f), 0, 0, i, W(INT_MAX)},
        {"cvt.rzi.s32.f32 %r20, %f10;", F(-INFINITY), 0, 0, i, W(INT_MIN)},
        {"cvt.rzi.s32.f32 %r20, %f10;", F(NAN), 0, 0, i, 0},
        {"cvt.rni.s32.f32 %r20, %f10;", F(2.5f), 0, 0, i, 2},
        {"cvt.rni.s32.f32 %r20, %f10;", F(-2.5f), 0, 0, i, W(-2)},
        {"cvt.rmi.s32.f32 %r20, %f10;", F(-0.5f), 0, 0, i, W(-1)},
        {"cvt.rpi.u32.f32 %r20, %f10;", F(-0.5f), 0, 0, i, 0},
        {"cvt.rzi.u32.f32 %r20, %f10;", F(-5), 0, 0, i, 0},
        {"cvt.rzi.u32.f32 %r20, %f10;", F(5e9f), 0, 0, i, 0xffffffffu},
        {"cvt.rzi.s64.f64 %rd20, %fd10;", D(1e300), 0, 0, l, uint64_t(INT64_MAX)},
        {"cvt.rzi.u64.f64 %rd20, %fd10;", D(-1), 0, 0, l, 0},
        {"cvt.rzi.u64.f64 %rd20, %fd10;", D(1e20), 0, 0, l, ~0ull},
        {"cvt.rni.s64.f64 %rd20, %fd10;", D(-4.5), 0, 0, l, I(-4)},
        {"cvt.rzi.ftz.s32.f32 %r20, %f10;", F(-1e-40f), 0, 0, i, 0},
        {"cvt.rzi.s16.f32 %rs20, %f10;", F(1e6f), 0, 0, h, 0x7fff},
        {"cvt.rzi.s8.f32 %r20, %f10;", F(-200), 0, 0, i, 0xffffff80u},
        {"cvt.rn.f32.s32 %f20, %r10;", 16777217, 0, 0, f, F(16777216.0f)},
        {"cvt.rz.f32.s32 %f20, %r10;", 16777219, 0, 0, f, F(16777218.0f)},
        {"cvt.rn.f32.s32 %f20, %r10;", 16777219, 0, 0, f, F(16777220.0f)},
        {"cvt.rp.f32.u32 %f20, %r10;", 16777217, 0, 0, f, F(16777218.0f)},
        {"cvt.rm.f32.s64 %f20, %rd10;", I(-16777217), 0, 0, f, F(-16777218.0f)},
        {"cvt.rn.f64.u64 %fd20, %rd10;", ~0ull, 0, 0, d, D(18446744073709551616.0)},
        {"cvt.rz.f64.s64 %fd20, %rd10;", (1ull << 53) + 1, 0, 0, d, D(9007199254740992.0)},
        {"cvt.rn.f32.u16 %f20, %rs10;", 0xffff, 0, 0, f, F(65535)},
        {"cvt.rn.f64.s8 %fd20, %r10;", 0xff, 0, 0, d, D(-1)},
        {"cvt.sat.s8.s32 %r20, %r10;", 300, 0, 0, i, 127},
        {"cvt.sat.s8.s32 %r20, %r10;", W(-300), 0, 0, i, 0xffffff80u},
        {"cvt.u8.u32 %r20, %r10;", 0x1ff, 0, 0, i, 0xff},
        {"cvt.s32.s8 %r20, %r10;", 0x80, 0, 0, i, 0xffffff80u},
        {"cvt.s16.s8 %rs20, %rs10;", 0x80, 0, 0, h, 0xff80},
        {"cvt.s64.s32 %rd20, %r10;", W(-1), 0, 0, l, ~0ull},
        {"cvt.u64.u32 %rd20, %r10;", 0xffffffffu, 0, 0, l, 0xffffffffull},
        {"cvt.u64.s32 %rd20, %r10;", W(-1), 0, 0, l, ~0ull},
        {"cvt.sat.u32.s32 %r20, %r10;", W(-5), 0, 0, i, 0},
        {"cvt.sat.s32.u64 %r20, %rd10;", 1ull << 40, 0, 0, i, W(INT_MAX)},
        {"cvt.u32.u64 %r20, %rd10;", 0x123456789ull, 0, 0, i, 0x23456789u},
        {"cvt.sat.u16.s64 %rs20, %rd10;", I(-1), 0, 0, h, 0},
    };
    check(cases, sizeof cases / sizeof *cases);
}

TEST_F(Forms, HalfPrecisionConversions) {
    const form_case cases[] = {
        {"cvt.f32.f16 %f20, %rs10;", 0x3c00, 0, 0, f, F(1)},
        {"cvt.f32.f16 %f20, %rs10;", 0x7c00, 0, 0, f, F(INFINITY)},
        {"cvt.f32.f16 %f20, %rs10;", 0x0001, 0, 0, f, F(0x1p-24f)},
        {"cvt.f32.f16 %f20, %rs10;", 0xfbff, 0, 0, f, F(-65504)},
        {"cvt.f64.f16 %fd20, %rs10;", 0x2e66, 0, 0, d, D(0.0999755859375)},
        {"cvt.rn.f16.f32 %rs20, %f10;", F(1), 0, 0, h, 0x3c00},
        {"cvt.rn.f16.f32 %rs20, %f10;", F(65520), 0, 0, h, 0x7c00},
        {"cvt.rn.f16.f32 %rs20, %f10;", F(65519), 0, 0, h, 0x7bff},
        {"cvt.rz.f16.f32 %rs20, %f10;", F(65520), 0, 0, h, 0x7bff},
        {"cvt.rn.f16.f32 %rs20, %f10;", F(1e-8f), 0, 0, h, 0},
        {"cvt.rn.f16.f32 %rs20, %f10;", F(3e-8f), 0, 0, h, 1},
        {"cvt.rn.f16.f32 %rs20, %f10;", F(NAN), 0, 0, h, 0x7fff},
        {"cvt.rm.f16.f32 %rs20, %f10;", F(-1.0001f), 0, 0, h, 0xbc01},
        {"cvt.rp.f16.f32 %rs20, %f10;", F(1.0001f), 0, 0, h, 0x3c01},
        {"cvt.rn.f16.f64 %rs20, %fd10;", D(0.1), 0, 0, h, 0x2e66},
        {"cvt.rn.f16.s32 %rs20, %r10;", 70000, 0, 0, h, 0x7c00},
        {"cvt.rn.f16.s32 %rs20, %r10;", 2049, 0, 0, h, 0x6800},
        {"cvt.rzi.s32.f16 %r20, %rs10;", 0xc500, 0, 0, i, W(-5)},
        {"cvt.rn.sat.f16.f32 %rs20, %f10;", F(7), 0, 0, h, 0x3c00},
        {"ld.global.f16 %rs20, [%rd2];", 0x3c00, 0, 0, h, 0x3c00},
        {"atom.global.cas.b16 %rs13, [%rd2], %rs11, %rs12; ld.global.u32 %r20, [%rd2];", 0xaaaa0005u, 5, 9, i, 0xaaaa0009u},
        {"atom.global.cas.b16 %rs20, [%rd2], %rs11, %rs12;", 0xaaaa0005u, 6, 9, h, 5},
    };
    check(cases, sizeof cases / sizeof *cases);
}

// Special values of half arithmetic: NaN results are canonical, ftz flushes
// subnormal operands and results, sat clamps, min and max prefer numbers, and
// pairs work lane by lane.
TEST_F(Forms, HalfPrecisionArithmeticSpecialValues) {
    const form_case cases[] = {
        {"add.f16 %rs20, %rs10, %rs11;", 0x7c00, 0xfc00, 0, h, 0x7fff},
        {"mul.f16 %rs20, %rs10, %rs11;", 0x7bff, 0x3c01, 0, h, 0x7c00},
        {"mul.f16 %rs20, %rs10, %rs11;", 0x0200, 0x3800, 0, h, 0x0100},
        {"mul.ftz.f16 %rs20, %rs10, %rs11;", 0x0200, 0x3c00, 0, h, 0},
        {"add.ftz.f16 %rs20, %rs10, %rs11;", 0x8001, 0x0000, 0, h, 0x0000},
        {"sub.sat.f16 %rs20, %rs10, %rs11;", 0x3c00, 0x4000, 0, h, 0},
        {"fma.rn.sat.f16 %rs20, %rs10, %rs11, %rs12;", 0x4000, 0x4000, 0x3c00, h, 0x3c00},
        {"min.f16 %rs20, %rs10, %rs11;", 0x7e00, 0xc000, 0, h, 0xc000},
        {"max.f16 %rs20, %rs10, %rs11;", 0x8000, 0x0000, 0, h, 0x0000},
        {"min.f16 %rs20, %rs10, %rs11;", 0x7e00, 0x7e01, 0, h, 0x7fff},
        {"neg.f16 %rs20, %rs10;", 0x3c00, 0, 0, h, 0xbc00},
        {"abs.f16 %rs20, %rs10;", 0xfc00, 0, 0, h, 0x7c00},
        {"add.f16x2 %r20, %r10, %r11;", 0x40003c00, 0x3c003c00, 0, i, 0x42004000},
        {"fma.rn.f16x2 %r20, %r10, %r11, %r12;", 0xbc004000, 0x40004000, 0x3c003c00, i, 0xbc004500},
        {"setp.gt.f16 %p20, %rs10, %rs11;", 0x3c01, 0x3c00, 0, p, 1},
        {"setp.lt.f16 %p20, %rs10, %rs11;", 0x7e00, 0x3c00, 0, p, 0},
        {"setp.ltu.f16 %p20, %rs10, %rs11;", 0x7e00, 0x3c00, 0, p, 1},
        {"setp.gt.f16x2 %p21|%p20, %r10, %r11;", 0x3c004000, 0x40003c00, 0, p, 0},
        {"setp.gt.f16x2 %p20|%p21, %r10, %r11;", 0x3c004000, 0x40003c00, 0, p, 1},
    };
    check(cases, sizeof cases / sizeof *cases);
}

// fns: the n-th set bit from a base, either way, or all ones.
TEST_F(Forms, FindNthSetBit) {
    const form_case cases[] = {
        {"fns.b32 %r20, %r10, %r11, %r12;", 0xf0f0, 0, 1, i, 4},
        {"fns.b32 %r20, %r10, %r11, %r12;", 0xf0f0, 0, 5, i, 12},
        {"fns.b32 %r20, %r10, %r11, %r12;", 0xf0f0, 5, 1, i, 5},
        {"fns.b32 %r20, %r10, %r11, %r12;", 0xf0f0, 13, W(-2), i, 12},
        {"fns.b32 %r20, %r10, %r11, %r12;", 0xf0f0, 11, W(-2), i, 6},
        {"fns.b32 %r20, %r10, %r11, %r12;", 0xf0f0, 0, 9, i, 0xffffffffu},
        {"fns.b32 %r20, %r10, %r11, %r12;", 0xf0f0, 4, 0, i, 4},
        {"fns.b32 %r20, %r10, %r11, %r12;", 0xf0f0, 3, 0, i, 0xffffffffu},
        {"fns.b32 %r20, %r10, %r11, %r12;", 0x80000000u, 31, 1, i, 31},
    };
    check(cases, sizeof cases / sizeof *cases);
}

TEST_F(Forms, MovesStateSpacesAndAtomics) {
    const form_case cases[] = {
        {"mov.b64 %rd20, {%r10, %r11};", 1, 2, 0, l, 0x0000000200000001ull},
        {"mov.b64 {%r13, %r20}, %rd10;", 0x1234567800000009ull, 0, 0, i, 0x12345678u},
        {"mov.b32 %r20, {%rs10, %rs11};", 0xaaaa, 0xbbbb, 0, i, 0xbbbbaaaau},
        {"mov.b64 {%rs13, %rs14, %rs20, %rs15}, %rd10;", 0x4444333322221111ull, 0, 0, h, 0x3333},
        {"mov.b64 %rd20, {%rs10, %rs11, %rs12, %rs10};", 1, 2, 3, l, 0x0001000300020001ull},
        {"mov.u32 %r20, %tid.x; add.u32 %r20, %r20, %ntid.y;", 0, 0, 0, i, 1},
        {"mov.u32 %r20, %laneid; add.u32 %r20, %r20, %lanemask_le;", 0, 0, 0, i, 1},
        {".local .align 16 .b8 dep[16]; st.local.v4.b32 [dep], {%r10, %r11, %r12, %r10}; "
         "ld.local.v2.b32 {%r13, %r20}, [dep+8];", 5, 6, 7, i, 5},
        {".local .align 8 .b8 dep[8]; mov.u64 %rd13, dep; cvta.local.u64 %rd14, %rd13; "
         "st.u64 [%rd14], %rd10; ld.local.u64 %rd20, [dep];", 77, 0, 0, l, 77},
        {"st.shared.u32 [s+4], %r10; mov.u64 %rd13, s; cvta.shared.u64 %rd14, %rd13; "
         "ld.u32 %r20, [%rd14+4];", 99, 0, 0, i, 99},
        {"st.shared.u32 [s+4], %r10; mov.u64 %rd13, s; cvta.shared.u64 %rd14, %rd13; "
         "add.u64 %rd14, %rd14, 4; cvta.to.shared.u64 %rd15, %rd14; ld.shared.u32 %r20, [%rd15];", 98, 0, 0, i, 98},
        {"st.shared.v2.f32 [s+8], {%f10, %f11}; ld.shared.f32 %f20, [s+12];", F(1), F(2), 0, f, F(2)},
        {"ld.global.s8 %r20, [%rd2];", 0xfe, 0, 0, i, W(-2)},
        {"ld.global.u8 %r20, [%rd2];", 0xfe, 0, 0, i, 0xfe},
        {"ld.global.s16 %rd20, [%rd2];", 0x8001, 0, 0, l, I(-32767)},
        {"ld.global.nc.v2.u32 {%r13, %r20}, [%rd2];", 0x0000000700000003ull, 0, 0, i, 7},
        {"ld.param.u64 %rd13, [in]; ld.global.u64 %rd20, [%rd13+8];", 0, 42, 0, l, 42},
        {"st.shared.u32 [s], %r10; atom.shared.cas.b32 %r13, [s], %r10, %r11; ld.shared.u32 %r20, [s];", 4, 9, 0, i, 9},
        {"st.shared.u32 [s], %r10; atom.shared.cas.b32 %r20, [s], %r11, %r11;", 4, 9, 0, i, 4},
        {"atom.global.exch.b64 %rd13, [%rd2+16], %rd10; ld.global.u64 %rd20, [%rd2+16];", 5, 0, 8, l, 5},
        {"red.global.add.u32 [%rd2], %r11; ld.global.u32 %r20, [%rd2];", 5, 6, 0, i, 11},
        {"atom.global.inc.u32 %r13, [%rd2], 17; ld.global.u32 %r20, [%rd2];", 17, 0, 0, i, 0},
        {"atom.global.dec.u32 %r13, [%rd2], 9; ld.global.u32 %r20, [%rd2];", 0, 0, 0, i, 9},
        {"atom.global.min.s32 %r13, [%rd2], %r11; ld.global.u32 %r20, [%rd2];", 3, W(-3), 0, i, W(-3)},
        {"atom.global.max.u32 %r13, [%rd2], %r11; ld.global.u32 %r20, [%rd2];", 3, W(-3), 0, i, W(-3)},
        {"atom.global.add.f32 %f13, [%rd2], %f11; ld.global.f32 %f20, [%rd2];", F(1e-40f), F(0), 0, f, F(0)},
        {"atom.global.add.f64 %fd20, [%rd2], %fd11;", D(1.5), D(2), 0, d, D(1.5)},
        {"atom.add.u64 %rd13, [%rd2], %rd11; ld.u64 %rd20, [%rd2];", 1ull << 40, 1ull << 40, 0, l, 1ull << 41},
        {"atom.global.or.b32 %r13, [%rd2], %r11; ld.global.u32 %r20, [%rd2];", 0xf0, 0x0f, 0, i, 0xff},
        {"atom.relaxed.gpu.global.xor.b32 %r13, [%rd2], %r11; ld.global.u32 %r20, [%rd2];", 0xff, 0x0f, 0, i, 0xf0},
        {"membar.gl; fence.sc.gpu; mov.b32 %r20, 3;", 0, 0, 0, i, 3},
    };
    check(cases, sizeof cases / sizeof *cases);
}

TEST_F(Forms, ControlFlowAndCalls) {
    const form_case cases[] = {
        {"mov.u32 %r20, 0;\nloop:\n add.u32 %r20, %r20, 2;\n setp.lt.u32 %p13, %r20, %r10;\n @%p13 bra loop;", 9, 0, 0, i, 10},
        {"bra.uni skip;\n mov.u32 %r20, 5;\nskip:\n add.u32 %r20, %r20, 1;", 0, 0, 0, i, 1},
        {"mov.u32 %r20, 4; @%p10 exit; mov.u32 %r20, 6;", 0, 0, 0, i, 6},
    };
    check(cases, sizeof cases / sizeof *cases);
}

// A call of a function with parameters, a return value and a local depot of its own.
TEST_F(Forms, CallsPassParametersAndReturnValues) {
    std::string text = R"(.version 9.0
.target sm_75
.address_size 64
.func (.param .b64 ret) twice(.param .b64 x, .param .b32 k);
.visible .entry kernel_main(.param .u64 out, .param .u32 v)
{
    .reg .b64 %rd<8>;
    .reg .b32 %r<4>;
    ld.param.u64 %rd1, [out];
    ld.param.u32 %r1, [v];
    cvt.u64.u32 %rd2, %r1;
    {
    .param .b64 a0;
    .param .b32 a1;
    st.param.b64 [a0], %rd2;
    st.param.b32 [a1], 3;
    .param .b64 r0;
    call.uni (r0), twice, (a0, a1);
    ld.param.b64 %rd3, [r0];
    }
    cvta.to.global.u64 %rd4, %rd1;
    st.global.u64 [%rd4], %rd3;
    ret;
}
.func (.param .b64 ret) twice(.param .b64 x, .param .b32 k)
{
    .local .align 8 .b8 depot[8];
    .reg .b64 %rd<4>;
    .reg .b32 %r<3>;
    ld.param.u64 %rd1, [x];
    ld.param.u32 %r1, [k];
    st.local.u64 [depot], %rd1;
    ld.local.u64 %rd2, [depot];
    shl.b64 %rd3, %rd2, %r1;
    st.param.b64 [ret], %rd3;
    ret;
}
)";
    dev::drv_function fn = load_text(text);
    ASSERT_TRUE(fn);
    uint64_t *out = device_alloc<uint64_t>(1);
    ASSERT_EQ(ptxtest::launch(fn, dim3(1), dim3(3), 0, params().ptr(out).add(5u)), 0);
    ASSERT_EQ(dev::synchronize(), 0);
    EXPECT_EQ(from_device(out, 1)[0], 40u);
    device_free(out);
}

// Recursion: each level a frame of its own on the thread's stack.
TEST_F(Forms, RecursiveCalls) {
    std::string text = R"(.version 9.0
.target sm_75
.address_size 64
.func (.param .b64 r) fact(.param .b64 n)
{
    .reg .pred %p<2>;
    .reg .b64 %rd<6>;
    ld.param.u64 %rd1, [n];
    setp.lt.u64 %p1, %rd1, 2;
    @%p1 bra base;
    sub.s64 %rd2, %rd1, 1;
    {
    .param .b64 a;
    st.param.b64 [a], %rd2;
    .param .b64 b;
    call.uni (b), fact, (a);
    ld.param.b64 %rd3, [b];
    }
    mul.lo.s64 %rd4, %rd3, %rd1;
    st.param.b64 [r], %rd4;
    ret;
base:
    st.param.b64 [r], 1;
    ret;
}
.visible .entry kernel_main(.param .u64 out)
{
    .reg .b32 %r<2>;
    .reg .b64 %rd<6>;
    ld.param.u64 %rd1, [out];
    mov.u32 %r1, %tid.x;
    cvt.u64.u32 %rd2, %r1;
    {
    .param .b64 a;
    st.param.b64 [a], %rd2;
    .param .b64 b;
    call.uni (b), fact, (a);
    ld.param.b64 %rd3, [b];
    }
    shl.b64 %rd4, %rd2, 3;
    add.s64 %rd5, %rd1, %rd4;
    st.global.u64 [%rd5], %rd3;
    ret;
}
)";
    dev::drv_function fn = load_text(text);
    ASSERT_TRUE(fn);
    uint64_t *out = device_alloc<uint64_t>(16);
    ASSERT_EQ(ptxtest::launch(fn, dim3(1), dim3(16), 0, params().ptr(out)), 0);
    ASSERT_EQ(dev::synchronize(), 0);
    std::vector<uint64_t> got = from_device(out, 16);
    uint64_t f = 1;
    for (unsigned k = 0; k < 16; ++k) {
        f *= k ? k : 1;
        EXPECT_EQ(got[k], f) << k;
    }
    device_free(out);
}

struct approx_case {
    const char *op;
    double lo, hi;
    double (*ref)(double);
    double rel, abs;  // the documented bound: relative, or absolute where set
};

// Approximate forms over many inputs, each within its documented bound.
TEST_F(Forms, ApproximateFormsWithinTheirBounds) {
    static const approx_case cases[] = {
        {"sin.approx.f32", -100 * M_PI, 100 * M_PI, [](double x) { return std::sin(x); }, 0, std::ldexp(1.0, -20) * 1.5},
        {"cos.approx.ftz.f32", -M_PI, M_PI, [](double x) { return std::cos(x); }, 0, std::ldexp(1.0, -20.9)},
        {"ex2.approx.ftz.f32", -120, 120, [](double x) { return std::exp2(x); }, std::ldexp(1.0, -22), 0},
        {"lg2.approx.f32", 1e-30, 1e30, [](double x) { return std::log2(x); }, std::ldexp(1.0, -22), std::ldexp(1.0, -22.6)},
        {"rsqrt.approx.f32", 1e-30, 1e30, [](double x) { return 1 / std::sqrt(x); }, std::ldexp(1.0, -22.9), 0},
        {"rcp.approx.ftz.f32", -1e30, 1e30, [](double x) { return 1 / x; }, std::ldexp(1.0, -23), 0},
        {"sqrt.approx.f32", 0, 1e30, [](double x) { return std::sqrt(x); }, std::ldexp(1.0, -23), 0},
        {"tanh.approx.f32", -10, 10, [](double x) { return std::tanh(x); }, std::ldexp(1.0, -10.98), 0},
    };
    const unsigned n = 256;
    for (const approx_case &c : cases) {
        std::string text = std::string(R"(.version 9.0
.target sm_75
.address_size 64
.visible .entry kernel_main(.param .u64 out, .param .u64 in)
{
    .reg .b64 %rd<8>;
    .reg .b32 %r<4>;
    .reg .f32 %f<4>;
    ld.param.u64 %rd1, [out];
    ld.param.u64 %rd2, [in];
    mov.u32 %r1, %tid.x;
    mul.wide.u32 %rd3, %r1, 4;
    add.s64 %rd4, %rd2, %rd3;
    add.s64 %rd5, %rd1, %rd3;
    ld.global.f32 %f1, [%rd4];
    )") + c.op + R"( %f2, %f1;
    st.global.f32 [%rd5], %f2;
    ret;
}
)";
        dev::drv_function fn = load_text(text);
        ASSERT_TRUE(fn) << c.op;
        std::vector<float> x(n);
        for (unsigned k = 0; k < n; ++k) {
            double t = double(k) / (n - 1);
            x[k] = c.lo > 0 ? float(c.lo * std::pow(c.hi / c.lo, t)) : float(c.lo + (c.hi - c.lo) * t);
        }
        float *in = to_device(x), *out = device_alloc<float>(n);
        ASSERT_EQ(ptxtest::launch(fn, dim3(1), dim3(n), 0, params().ptr(out).ptr(in)), 0);
        ASSERT_EQ(dev::synchronize(), 0);
        std::vector<float> got = from_device(out, n);
        for (unsigned k = 0; k < n; ++k) {
            double want = c.ref(x[k]);
            if (!std::isfinite(want) || std::fabs(want) > FLT_MAX || (want != 0 && std::fabs(want) < FLT_MIN)) continue;
            double err = std::fabs(double(got[k]) - want);
            double bound = std::max(c.abs, c.rel * std::fabs(want)) + std::ldexp(std::fabs(want), -24);
            EXPECT_LE(err, bound) << c.op << "(" << x[k] << ") = " << got[k] << ", want " << want;
        }
        device_free(in), device_free(out);
    }
}

}  // namespace

namespace {

// Past 2^126 the fast division's reciprocal is flushed: zero, with the sign
// of the quotient. Within range it stays close.
TEST_F(Forms, FastDivisionBeyondTwoTo126) {
    const form_case cases[] = {
        {"div.approx.f32 %f20, %f10, %f11;", F(1), F(3e38f), 0, f, F(0.0f)},
        {"div.approx.f32 %f20, %f10, %f11;", F(-1), F(3e38f), 0, f, F(-0.0f)},
        {"div.approx.f32 %f20, %f10, %f11;", F(6), F(-3), 0, f, F(-2.0f)},
    };
    check(cases, sizeof cases / sizeof cases[0]);
}

// match.any gives each lane the lanes holding its value; match.all the
// whole group, or none and a false predicate.
TEST_F(Forms, WarpMatch) {
    dev::drv_function fn = load_text(R"(.version 9.0
.target sm_75
.address_size 64
.visible .entry kernel_main(.param .u64 out)
{
    .reg .pred %p<4>;
    .reg .b64 %rd<8>;
    .reg .b32 %r<12>;
    ld.param.u64 %rd1, [out];
    mov.u32 %r1, %tid.x;
    rem.u32 %r2, %r1, 3;
    match.any.sync.b32 %r3, %r2, -1;
    cvt.u64.u32 %rd2, %r2;
    match.all.sync.b64 %r4|%p1, %rd2, -1;
    match.all.sync.b32 %r5|%p2, 7, -1;
    selp.u32 %r6, 1, 0, %p1;
    selp.u32 %r7, 1, 0, %p2;
    mul.wide.u32 %rd3, %r1, 32;
    add.s64 %rd4, %rd1, %rd3;
    st.global.v4.u32 [%rd4], {%r3, %r4, %r5, %r6};
    st.global.u32 [%rd4+16], %r7;
    ret;
}
)");
    ASSERT_TRUE(fn);
    const unsigned n = 32;
    unsigned *out = device_alloc<unsigned>(8 * n);
    ASSERT_EQ(ptxtest::launch(fn, dim3(1), dim3(n), 0, params().ptr(out)), 0);
    ASSERT_EQ(dev::synchronize(), 0);
    std::vector<unsigned> got = from_device(out, 8 * n);
    for (unsigned t = 0; t < n; ++t) {
        unsigned same = 0;
        for (unsigned u = 0; u < n; ++u) same |= (u % 3 == t % 3 ? 1u : 0u) << u;
        EXPECT_EQ(got[8 * t], same) << "lane " << t;
        EXPECT_EQ(got[8 * t + 1], 0u) << "lane " << t;
        EXPECT_EQ(got[8 * t + 2], ~0u) << "lane " << t;
        EXPECT_EQ(got[8 * t + 3], 0u) << "lane " << t;
        EXPECT_EQ(got[8 * t + 4], 1u) << "lane " << t;
    }
    device_free(out);
}

}  // namespace
