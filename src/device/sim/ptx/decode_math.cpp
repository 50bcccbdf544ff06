// Integer, floating-point and half-precision arithmetic, bit operations,
// comparisons and conversions.
#include "parser.h"
#include "half.h"

namespace sim {
namespace ptx {
namespace parsing {

// add sub mul fma min max neg abs setp of .f16 and .f16x2.
void parser::build_half(inst &in) {
    auto &ops = in.ops;
    std::string_view o = in.opcode;
    ty t = type(in);
    const bool pair = t == ty::f16x2;
    if (o == "setp") return build_setp(in);
    static const struct {
        const char *name;
        int op, operands;
    } forms[] = {{"add", hf_add, 3}, {"sub", hf_sub, 3}, {"mul", hf_mul, 3}, {"fma", hf_fma, 4},
                 {"min", hf_min, 3}, {"max", hf_max, 3}, {"neg", hf_neg, 2}, {"abs", hf_abs, 2}};
    int op = -1, operands = 0;
    for (const auto &f : forms)
        if (o == f.name) op = f.op, operands = f.operands;
    if (op < 0) fail(in.line, "unsupported half-precision instruction '" + str(o) + "'");
    if (has(in, "NaN") || has(in, "xorsign") || has(in, "relu") || has(in, "oob"))
        fail(in.line, "unsupported form of '" + str(o) + "'");
    if (has(in, "rz") || has(in, "rm") || has(in, "rp")) fail(in.line, "half precision rounds to nearest only");
    count(in, size_t(operands));
    insn n = base_insn(nullptr);
    n.aux = float_flags(in);
    n.o[0] = dst(ops[0]);
    for (int k = 1; k < operands; ++k) n.o[k] = src(ops[size_t(k)], pair ? ty::b32 : ty::b16);
    n.fn = by_value<hf_abs + 1>(op, [&](auto x) -> handler {
        return pair ? &h_half<decltype(x)::value, true> : &h_half<decltype(x)::value, false>;
    });
    emit(n);
}

uint8_t parser::float_flags(const inst &in) {
    return uint8_t((has(in, "ftz") ? 1 : 0) | (has(in, "sat") ? 2 : 0));
}

void parser::build_cvt(inst &in) {
    count(in, 2);
    ty d = type(in, 1), s = type(in, 0);
    int m = mode(in);
    bool sat = has(in, "sat");
    insn n = base_insn(nullptr);
    unsigned w;
    n.o[0] = dst(in.ops[0], &w);
    n.dw = uint8_t(w);
    n.o[1] = src(in.ops[1], s);
    n.aux = float_flags(in);
    if (is_int(d) && is_int(s)) {
        n.fn = by_int(d, [&](auto dd) -> handler {
            return by_int(s, [&](auto ss) -> handler {
                using D = decltype(dd);
                using S = decltype(ss);
                return sat ? &h_cvt_ii<D, S, true> : &h_cvt_ii<D, S, false>;
            });
        });
    } else if (is_int(d) && is_float(s)) {
        if (!integral_rounding(in)) fail(in.line, "float to integer conversion needs an integer rounding");
        n.fn = by_int(d, [&](auto dd) -> handler {
            return by_float(s, [&](auto ss) -> handler {
                return by_mode(m, [&](auto mm) -> handler {
                    return &h_cvt_fi<decltype(dd), decltype(ss), decltype(mm)::value>;
                });
            });
        });
    } else if (is_float(d) && is_int(s)) {
        if (integral_rounding(in)) fail(in.line, "integer to float conversion takes a float rounding");
        n.fn = by_float(d, [&](auto dd) -> handler {
            return by_int(s, [&](auto ss) -> handler {
                return by_mode(m, [&](auto mm) -> handler {
                    return &h_cvt_if<decltype(dd), decltype(ss), decltype(mm)::value>;
                });
            });
        });
    } else if (s == ty::f16 && (is_float(d) || is_int(d))) {
        if (is_int(d) && !integral_rounding(in)) fail(in.line, "float to integer conversion needs an integer rounding");
        n.fn = by_number(d, [&](auto dd) -> handler {
            return by_mode(m, [&](auto mm) -> handler { return &h_cvt_from_half<decltype(dd), decltype(mm)::value>; });
        });
    } else if (d == ty::f16 && (is_float(s) || is_int(s))) {
        if (integral_rounding(in)) fail(in.line, "conversion to half takes a float rounding");
        if (is_float(s) && !(has(in, "rn") || has(in, "rz") || has(in, "rm") || has(in, "rp")))
            fail(in.line, "conversion to half needs a rounding");
        n.fn = by_number(s, [&](auto ss) -> handler {
            return by_mode(m, [&](auto mm) -> handler { return &h_cvt_to_half<decltype(ss), decltype(mm)::value>; });
        });
    } else if (d == ty::f16 && s == ty::f16) {
        fail(in.line, "half-precision rounding to integral values is not supported");
    } else if (is_float(d) && is_float(s)) {
        if (integral_rounding(in)) {
            if (d != s) fail(in.line, "integral rounding keeps the type");
            n.aux |= 4;
        }
        n.fn = by_float(d, [&](auto dd) -> handler {
            return by_float(s, [&](auto ss) -> handler {
                return by_mode(m, [&](auto mm) -> handler {
                    return &h_cvt_ff<decltype(dd), decltype(ss), decltype(mm)::value>;
                });
            });
        });
    }
    emit(n);
}

void parser::build_setp(inst &in) {
    count(in, 2 + 1, 4);
    auto &ops = in.ops;
    static const char *const names[] = {"eq", "ne", "lt", "le", "gt", "ge", "equ", "neu", "ltu", "leu", "gtu", "geu", "num", "nan", "lo", "ls", "hi", "hs"};
    int c = -1;
    for (int k = 0; k < 18; ++k)
        if (in.mods.size() > 0 && in.mods[0] == names[k]) c = k;
    if (c < 0) fail(in.line, "setp needs a comparison");
    ty t = type(in);
    if (c >= 14) {
        c -= 12;  // lo ls hi hs: unsigned lt le gt ge
        if (t == ty::s8) t = ty::u8;
        if (t == ty::s16) t = ty::u16;
        if (t == ty::s32) t = ty::u32;
        if (t == ty::s64) t = ty::u64;
    }
    if (is_int(t) && c >= c_equ) fail(in.line, "unordered comparisons are for floats");
    const bool half = t == ty::f16 || t == ty::f16x2;
    insn n = base_insn(nullptr);
    n.o[0] = dst(ops[0]);
    n.o[1] = ops[0].has2 ? ops[0].slot2 : sink_slot;
    n.o[2] = src(ops[1], half ? (t == ty::f16 ? ty::b16 : ty::b32) : t);
    n.o[3] = src(ops[2], half ? (t == ty::f16 ? ty::b16 : ty::b32) : t);
    n.o[4] = slot_one;
    n.aux = 0;
    if (ops.size() == 4) {
        n.o[4] = src(ops[3], ty::pred);
        n.aux = has(in, "and") ? 1 : has(in, "or") ? 2 : has(in, "xor") ? 3 : 255;
        if (n.aux == 255) fail(in.line, "setp with a third predicate needs and, or or xor");
    }
    if (half) {
        if (has(in, "ftz")) n.aux |= 4;
        n.fn = by_value<c_nan + 1>(c, [&](auto cc) -> handler {
            return t == ty::f16x2 ? &h_setp_half<decltype(cc)::value, true> : &h_setp_half<decltype(cc)::value, false>;
        });
        return emit(n);
    }
    auto pick = [&](auto x) -> handler {
        return by_value<c_nan + 1>(c, [&](auto cc) -> handler { return &h_setp<decltype(x), decltype(cc)::value>; });
    };
    n.fn = is_float(t) ? by_float(t, pick) : by_int(t, pick);
    emit(n);
}

void parser::build_arith(inst &in) {
    auto &ops = in.ops;
    std::string_view o = in.opcode;
    ty t = type(in);
    const bool three = o == "mad" || o == "fma" || o == "madc" || o == "mad24";
    count(in, three ? 4 : 3);
    insn n = base_insn(nullptr);
    const bool wide = has(in, "wide"), hi = has(in, "hi");
    ty st = t;  // source type
    n.o[0] = dst(ops[0]);
    n.o[1] = src(ops[1], st);
    n.o[2] = src(ops[2], (o == "shl" || o == "shr") ? ty::u32 : st);
    if (three) {
        ty ct = t;
        if (wide) ct = t == ty::s16 ? ty::s32 : t == ty::u16 ? ty::u32 : t == ty::s32 ? ty::s64 : ty::u64;
        n.o[3] = src(ops[3], ct);
    }
    if (is_float(t)) {
        int m = mode(in);
        bool has_mode = has(in, "rn") || has(in, "rz") || has(in, "rm") || has(in, "rp");
        n.aux = float_flags(in);
        int fo;
        if (o == "add") fo = f_add;
        else if (o == "sub") fo = f_sub;
        else if (o == "mul") fo = f_mul;
        else if (o == "fma" || o == "mad") fo = f_fma;
        else if (o == "min") fo = f_min;
        else if (o == "max") fo = f_max;
        else if (o == "div") {
            if (has(in, "approx")) {
                n.fn = by_float(t, [](auto x) -> handler { return &h_funary<decltype(x), u_fast_div, rn>; });
                if (t != ty::f32) fail(in.line, "approximate division is single precision");
                return emit(n);
            }
            if (has(in, "full")) {
                n.fn = by_float(t, [](auto x) -> handler { return &h_funary<decltype(x), u_approx_div, rn>; });
                if (t != ty::f32) fail(in.line, "approximate division is single precision");
                return emit(n);
            }
            if (!has_mode) fail(in.line, "div of floats needs a rounding");
            fo = f_div;
        } else {
            fail(in.line, "'" + str(o) + "' is not defined for floats");
        }
        if (fo == f_fma && !has_mode) fail(in.line, str(o) + " of floats needs a rounding");
        if ((fo == f_min || fo == f_max) && has(in, "NaN")) fail(in.line, "min/max .NaN is not supported");
        n.fn = by_float(t, [&](auto x) -> handler {
            return by_mode(m, [&](auto mm) -> handler {
                return by_value<7>(fo, [&](auto op) -> handler {
                    return &h_fbin<decltype(x), decltype(op)::value, decltype(mm)::value>;
                });
            });
        });
        return emit(n);
    }
    if (t == ty::pred && (o == "and" || o == "or" || o == "xor")) t = ty::u8;
    if (!is_int(t)) fail(in.line, "unsupported type");
    if (has(in, "sat")) {
        if (t != ty::s32 || (o != "add" && o != "sub")) fail(in.line, "saturation is for add and sub of s32");
        n.fn = o == "add" ? &h_add_sat<false> : &h_add_sat<true>;
        return emit(n);
    }
    auto wide_of = [&](auto x) -> handler {
        using T = decltype(x);
        if constexpr (sizeof(T) == 8 || sizeof(T) == 1) {
            return nullptr;
        } else {
            using W = std::conditional_t<sizeof(T) == 2, std::conditional_t<std::is_signed<T>::value, int32_t, uint32_t>,
                                         std::conditional_t<std::is_signed<T>::value, int64_t, uint64_t>>;
            return o == "mul" ? &h_mul_wide<T, W> : &h_mad_wide<T, W>;
        }
    };
    if (o == "add" || o == "sub") {
        if (has(in, "cc")) {
            n.aux = 2;
            n.fn = bytes_of(t) == 4 ? (o == "add" ? &h_addc<uint32_t> : &h_subc<uint32_t>)
                   : bytes_of(t) == 8 ? (o == "add" ? &h_addc<uint64_t> : &h_subc<uint64_t>) : nullptr;
            return emit(n);
        }
        n.fn = by_int(t, [&](auto x) -> handler {
            return o == "add" ? &h_add<decltype(x)> : &h_sub<decltype(x)>;
        });
    } else if (o == "addc" || o == "subc") {
        n.aux = uint8_t(1 | (has(in, "cc") ? 2 : 0));
        n.fn = bytes_of(t) == 4 ? (o == "addc" ? &h_addc<uint32_t> : &h_subc<uint32_t>)
               : bytes_of(t) == 8 ? (o == "addc" ? &h_addc<uint64_t> : &h_subc<uint64_t>) : nullptr;
    } else if (o == "madc" || (o == "mad" && has(in, "cc"))) {
        n.aux = uint8_t((o == "madc" ? 1 : 0) | (has(in, "cc") ? 2 : 0) | (hi ? 4 : 0));
        n.fn = bytes_of(t) == 4 ? &h_madc<uint32_t> : bytes_of(t) == 8 ? &h_madc<uint64_t> : nullptr;
    } else if (o == "mul" || o == "mad") {
        if (wide) n.fn = by_int(t, wide_of);
        else if (hi) n.fn = by_int(t, [&](auto x) -> handler { return o == "mul" ? &h_mul_hi<decltype(x)> : &h_mad_hi<decltype(x)>; });
        else n.fn = by_int(t, [&](auto x) -> handler { return o == "mul" ? &h_mul_lo<decltype(x)> : &h_mad_lo<decltype(x)>; });
    } else if (o == "mul24" || o == "mad24") {
        if (hi || bytes_of(t) != 4) fail(in.line, "only the low half of 24-bit products is supported");
        n.aux = o == "mad24";
        n.fn = is_signed(t) ? &h_mul24_lo<int32_t> : &h_mul24_lo<uint32_t>;
    } else {
        n.fn = by_int(t, [&](auto x) -> handler { return int_handler<decltype(x)>(o); });
    }
    emit(n);
}

void parser::build_unary(inst &in) {
    auto &ops = in.ops;
    std::string_view o = in.opcode;
    count(in, 2);
    ty t = type(in);
    insn n = base_insn(nullptr);
    n.o[0] = dst(ops[0]);
    n.o[1] = src(ops[1], t);
    if (t == ty::pred) {
        if (o != "not") fail(in.line, "unsupported predicate operation");
        n.fn = &h_not_pred;
        return emit(n);
    }
    if (is_float(t)) {
        n.aux = float_flags(in);
        int m = mode(in);
        bool approx = has(in, "approx");
        int u;
        if (o == "abs") u = u_abs;
        else if (o == "neg") u = u_neg;
        else if (o == "sqrt") u = u_sqrt;
        else if (o == "rcp") u = u_rcp;
        else if (o == "rsqrt" && approx) u = u_rsqrt;
        else if (o == "sin" && approx && t == ty::f32) u = u_sin;
        else if (o == "cos" && approx && t == ty::f32) u = u_cos;
        else if (o == "lg2" && approx && t == ty::f32) u = u_lg2;
        else if (o == "ex2" && approx && t == ty::f32) u = u_ex2;
        else if (o == "tanh" && approx && t == ty::f32) u = u_tanh;
        else fail(in.line, "unsupported form of '" + str(o) + "'");
        if ((u == u_sqrt || u == u_rcp) && !approx && !(has(in, "rn") || has(in, "rz") || has(in, "rm") || has(in, "rp")))
            fail(in.line, str(o) + " needs .approx or a rounding");
        if (approx) m = rn;
        n.fn = by_float(t, [&](auto x) -> handler {
            return by_mode(m, [&](auto mm) -> handler {
                return by_value<u_tanh + 1>(u, [&](auto op) -> handler {
                    return &h_funary<decltype(x), decltype(op)::value, decltype(mm)::value>;
                });
            });
        });
        return emit(n);
    }
    n.aux = has(in, "shiftamt");
    n.fn = by_int(t, [&](auto x) -> handler { return int_handler<decltype(x)>(o); });
    if ((o == "abs" || o == "neg") && !is_signed(t)) n.fn = nullptr;
    if ((o == "popc" || o == "clz" || o == "brev") && info(t).kind != 'b') n.fn = nullptr;
    if ((o == "popc" || o == "clz" || o == "brev" || o == "bfind") && bytes_of(t) < 4) n.fn = nullptr;
    emit(n);
}

void parser::build_bits(inst &in) {
    auto &ops = in.ops;
    std::string_view o = in.opcode;
    ty t = type(in);
    insn n = base_insn(nullptr);
    if (o == "bfe") {
        count(in, 4);
        n.fn = bytes_of(t) < 4 ? nullptr : by_int(t, [](auto x) -> handler { return &h_bfe<decltype(x)>; });
        n.o[0] = dst(ops[0]);
        n.o[1] = src(ops[1], t);
        n.o[2] = src(ops[2], ty::u32);
        n.o[3] = src(ops[3], ty::u32);
    } else if (o == "bfi") {
        count(in, 5);
        n.fn = t == ty::b32 ? &h_bfi<uint32_t> : t == ty::b64 ? &h_bfi<uint64_t> : nullptr;
        n.o[0] = dst(ops[0]);
        n.o[1] = src(ops[1], t);
        n.o[2] = src(ops[2], t);
        n.o[3] = src(ops[3], ty::u32);
        n.o[4] = src(ops[4], ty::u32);
    } else if (o == "prmt") {
        count(in, 4);
        static const char *const modes[] = {"f4e", "b4e", "rc8", "ecl", "ecr", "rc16"};
        for (unsigned k = 0; k < 6; ++k)
            if (has(in, modes[k])) n.aux = uint8_t(k + 1);
        n.fn = t == ty::b32 ? &h_prmt : nullptr;
        n.o[0] = dst(ops[0]);
        n.o[1] = src(ops[1], t);
        n.o[2] = src(ops[2], t);
        n.o[3] = src(ops[3], t);
    } else {
        count(in, 4);
        if (!has(in, "l") && !has(in, "r")) fail(in.line, "shf needs a direction");
        n.aux = uint8_t((has(in, "l") ? 1 : 0) | (has(in, "clamp") ? 2 : 0));
        n.fn = t == ty::b32 ? &h_shf : nullptr;
        n.o[0] = dst(ops[0]);
        n.o[1] = src(ops[1], t);
        n.o[2] = src(ops[2], t);
        n.o[3] = src(ops[3], ty::u32);
    }
    emit(n);
}

}  // namespace parsing
}  // namespace ptx
}  // namespace sim
