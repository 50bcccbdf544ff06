// Instructions to handlers: the dispatch by name, and the small families
// without a source of their own.
#include "parser.h"

namespace sim {
namespace ptx {
namespace parsing {

void parser::build(inst &in) {
    std::string_view o = in.opcode;
    auto &ops = in.ops;
    if (o != "mov" && o != "ld" && o != "ldu" && o != "st" && o != "cvt" && o != "atom" && o != "selp")
        for (auto md : in.mods) {
            const ty_rec *r = type_of(md);
            if (r && (r->t == ty::f16 || r->t == ty::f16x2)) return build_half(in);
            if (r && r->kind == 'h') fail(in.line, "bf16 arithmetic is not supported");
        }
    if (o == "mov") return build_mov(in);
    if (o == "ld" || o == "ldu") return build_ld(in);
    if (o == "st") return build_st(in);
    if (o == "cvta") {
        count(in, 2);
        int sp = space_of(in);
        bool to = has(in, "to");
        unsigned w;
        insn n = base_insn(nullptr);
        n.o[0] = dst(ops[0], &w);
        ty t = type(in);
        n.dw = uint8_t(bytes_of(t));
        n.o[1] = src(ops[1], ty::u64);
        if (ops[1].k == operand::name) {
            ty rt;
            int nsp;
            name_slot(ops[1].id, in.line, &rt, &nsp);
            if (rt == ty::none && nsp == sp_global && sp != sp_global && sp != sp_const)
                fail(in.line, "bad cvta operand");
        }
        n.fn = by_space(sp, [&](auto s) -> handler {
            return to ? &h_cvta<decltype(s)::value, true> : &h_cvta<decltype(s)::value, false>;
        });
        return emit(n);
    }
    if (o == "cvt") return build_cvt(in);
    if (o == "setp") return build_setp(in);
    if (o == "selp") {
        count(in, 4);
        ty t = type(in);
        insn n = base_insn(&h_selp);
        n.o[0] = dst(ops[0]);
        n.o[1] = src(ops[1], t);
        n.o[2] = src(ops[2], t);
        n.o[3] = src(ops[3], ty::pred);
        return emit(n);
    }
    if (o == "bra") {
        count(in, 1);
        if (ops[0].k != operand::name) fail(in.line, "bra needs a label");
        insn n = base_insn(&h_bra);
        branch_fixups.push_back({f->code.size(), {str(ops[0].id), in.line}});
        return emit(n);
    }
    if (o == "ret") { count(in, 0); return emit(base_insn(&h_ret)); }
    if (o == "exit") { count(in, 0); return emit(base_insn(&h_exit)); }
    if (o == "trap") { count(in, 0); return emit(base_insn(&h_trap)); }
    if (o == "membar" || o == "fence") return emit(base_insn(&h_fence));
    if (o == "tex") return build_tex(in);
    if (o == "prefetch" || o == "prefetchu" || o == "pmevent" || o == "nanosleep") return emit(base_insn(&h_nop));
    if (o == "bar" || o == "barrier") return build_bar(in);
    if (o == "shfl") return build_shfl(in);
    if (o == "vote") return build_vote(in);
    if (o == "match") return build_match(in);
    if (o == "fns") {
        count(in, 4);
        if (type(in) != ty::b32) fail(in.line, "fns takes .b32");
        insn n = base_insn(&h_fns);
        n.o[0] = dst(ops[0]);
        n.o[1] = src(ops[1], ty::b32);
        n.o[2] = src(ops[2], ty::b32);
        n.o[3] = src(ops[3], ty::s32);
        return emit(n);
    }
    if (o == "activemask") {
        count(in, 1);
        insn n = base_insn(&h_activemask);
        n.o[0] = dst(ops[0]);
        return emit(n);
    }
    if (o == "atom" || o == "red") return build_atom(in, o == "red");
    if (o == "add" || o == "sub" || o == "mul" || o == "div" || o == "min" || o == "max" ||
        o == "mad" || o == "fma" || o == "rem" || o == "and" || o == "or" || o == "xor" ||
        o == "shl" || o == "shr" || o == "addc" || o == "subc" || o == "madc" || o == "mul24" ||
        o == "mad24")
        return build_arith(in);
    if (o == "abs" || o == "neg" || o == "not" || o == "cnot" || o == "popc" || o == "clz" ||
        o == "brev" || o == "bfind" || o == "sqrt" || o == "rsqrt" || o == "rcp" || o == "sin" ||
        o == "cos" || o == "lg2" || o == "ex2" || o == "tanh")
        return build_unary(in);
    if (o == "copysign") {
        count(in, 3);
        ty t = type(in);
        insn n = base_insn(by_float(t, [](auto x) -> handler { return &h_funary<decltype(x), u_copysign, rn>; }));
        n.o[0] = dst(ops[0]);
        n.o[1] = src(ops[1], t);
        n.o[2] = src(ops[2], t);
        return emit(n);
    }
    if (o == "testp") {
        count(in, 2);
        ty t = type(in);
        static const char *const kinds[] = {"finite", "infinite", "number", "notanumber", "normal", "subnormal"};
        insn n = base_insn(by_float(t, [](auto x) -> handler { return &h_testp<decltype(x)>; }));
        n.aux = 255;
        for (unsigned k = 0; k < 6; ++k)
            if (has(in, kinds[k])) n.aux = uint8_t(k);
        if (n.aux == 255) fail(in.line, "testp needs a test");
        n.o[0] = dst(ops[0]);
        n.o[1] = src(ops[1], t);
        return emit(n);
    }
    if (o == "bfe" || o == "bfi" || o == "prmt" || o == "shf") return build_bits(in);
    if (o == "sad") {
        count(in, 4);
        ty t = type(in);
        insn n = base_insn(by_int(t, [](auto x) -> handler { return &h_sad<decltype(x)>; }));
        if (bytes_of(t) < 2) n.fn = nullptr;
        n.o[0] = dst(ops[0]);
        n.o[1] = src(ops[1], t);
        n.o[2] = src(ops[2], t);
        n.o[3] = src(ops[3], t);
        return emit(n);
    }
    if (o == "dp4a") {
        count(in, 4);
        ty ta = type(in, 1), tb = type(in, 0);
        if (bytes_of(ta) != 4 || bytes_of(tb) != 4) fail(in.line, "dp4a takes 32-bit operands");
        insn n = base_insn(&h_dp4a);
        n.aux = uint8_t((is_signed(ta) ? 1 : 0) | (is_signed(tb) ? 2 : 0));
        n.o[0] = dst(ops[0]);
        n.o[1] = src(ops[1], ta);
        n.o[2] = src(ops[2], tb);
        n.o[3] = src(ops[3], ty::b32);
        return emit(n);
    }
    fail(in.line, "unsupported instruction '" + str(in.opcode) + "'");
}

}  // namespace parsing
}  // namespace ptx
}  // namespace sim
