// Moves, loads, stores and atomics.
#include "parser.h"

namespace sim {
namespace ptx {
namespace parsing {

void parser::build_mov(inst &in) {
    count(in, 2);
    auto &ops = in.ops;
    ty t = type(in);
    unsigned tb = bytes_of(t);
    if (ops[1].k == operand::vec) {
        insn n = base_insn(&h_pack);
        n.o[0] = dst(ops[0]);
        n.n = uint8_t(ops[1].elems.size());
        if (n.n < 2 || tb % n.n) fail(in.line, "bad vector move");
        n.aux = uint8_t(tb / n.n);
        for (unsigned k = 0; k < n.n; ++k) n.o[k + 1] = src(ops[1].elems[k], ty::b64);
        if (n.n == 4) {
            // five operands do not fit: pack pairs first
            uint32_t lo = new_slot(), hi = new_slot();
            insn a = n;
            a.n = 2, a.o[0] = lo;
            emit(a);
            insn b = n;
            b.n = 2, b.o[0] = hi, b.o[1] = n.o[3], b.o[2] = n.o[4];
            emit(b);
            insn c = n;
            c.n = 2, c.aux = uint8_t(tb / 2), c.o[1] = lo, c.o[2] = hi;
            return emit(c);
        }
        return emit(n);
    }
    if (ops[0].k == operand::vec) {
        insn n = base_insn(&h_unpack);
        n.n = uint8_t(ops[0].elems.size());
        if (n.n < 2 || tb % n.n) fail(in.line, "bad vector move");
        n.aux = uint8_t(tb / n.n);
        for (unsigned k = 0; k < n.n; ++k) n.o[k] = dst(ops[0].elems[k]);
        n.o[4] = src(ops[1], t);
        return emit(n);
    }
    unsigned w;
    insn n = base_insn(&h_mov);
    n.o[0] = dst(ops[0], &w);
    if (ops[1].k == operand::name && (ops[1].id == "%clock" || ops[1].id == "%clock64" || ops[1].id == "%globaltimer")) {
        n.fn = &h_clock;
        n.dw = uint8_t(tb);
        return emit(n);
    }
    if (ops[1].k == operand::name) {
        ty rt;
        n.o[1] = name_slot(ops[1].id, in.line, &rt);
        if (ops[1].neg) n.o[1] = src(ops[1], t);
        if (rt == ty::none && tb < 8) {
            // an address cut to 32 bits
            n.fn = &h_mov_masked;
            n.dw = uint8_t(tb);
        }
        return emit(n);
    }
    n.o[1] = src(ops[1], t);
    return emit(n);
}

unsigned parser::vector_of(const inst &in) {
    if (has(in, "v2")) return 2;
    if (has(in, "v4")) return 4;
    if (has(in, "v8")) fail(in.line, "eight-element vectors are not supported");
    return 1;
}

// tex.1d.v4.{f32,s32,u32}.s32 {d0, d1, d2, d3}, [object, {x}]: element
// fetches from linear memory, all that tex1Dfetch on a texture object makes.
void parser::build_tex(inst &in) {
    count(in, 2);
    auto &ops = in.ops;
    if (!has(in, "1d") || !has(in, "v4") || type(in, 0) != ty::s32)
        fail(in.line, "only 1-D element fetches (tex.1d.v4.T.s32) are supported");
    ty t = type(in, 1);
    if (t != ty::f32 && t != ty::s32 && t != ty::u32) fail(in.line, "unsupported texture fetch type");
    if (ops[0].k != operand::vec || ops[0].elems.size() != 4) fail(in.line, "tex needs four destinations");
    const operand &a = ops[1];
    if (a.k != operand::addr || a.base->k != operand::name || a.off != 0 || a.elems.size() != 1 ||
        a.elems[0].k != operand::vec || a.elems[0].elems.size() != 1)
        fail(in.line, "tex takes [object, {x}]");
    insn n = base_insn(&h_tex);
    for (unsigned k = 0; k < 4; ++k) n.o[k] = dst(ops[0].elems[k]);
    ty rt;
    n.o[4] = name_slot(a.base->id, in.line, &rt);
    if (rt != ty::b64 && rt != ty::u64 && rt != ty::s64) fail(in.line, "a texture object is a 64-bit register");
    n.o[5] = src(a.elems[0].elems[0], ty::s32);
    emit(n);
}

void parser::build_ld(inst &in) {
    count(in, 2);
    auto &ops = in.ops;
    int sp = space_of(in);
    ty t = type(in);
    unsigned b = bytes_of(t), nv = vector_of(in);
    if (t == ty::pred) fail(in.line, "predicates are not loaded");
    if (info(t).kind == 'h') t = bytes_of(t) == 2 ? ty::b16 : ty::b32;
    insn n = base_insn(nullptr);
    n.n = uint8_t(nv);
    if (nv == 1) {
        unsigned w;
        n.o[0] = dst(ops[0], &w);
        n.dw = uint8_t(w);
    } else {
        if (ops[0].k != operand::vec || ops[0].elems.size() != nv) fail(in.line, "vector load needs a vector of registers");
        unsigned w = 8;
        for (unsigned k = 0; k < nv; ++k) {
            unsigned wk;
            n.o[k] = dst(ops[0].elems[k], &wk);
            w = std::min(w, wk);
        }
        n.dw = uint8_t(w);
    }
    address(n, ops[1], sp);
    bool sx = is_signed(t) && b < 8;
    const bool watch = has(in, "volatile") || has(in, "relaxed") || has(in, "acquire");
    n.fn = by_space(sp, [&](auto s) -> handler {
        constexpr int S = decltype(s)::value;
        auto pick = [&](auto bb) -> handler {
            constexpr unsigned B = decltype(bb)::value;
            if (nv == 1 && watch) return sx ? &h_ld_watch<S, B, true> : &h_ld_watch<S, B, false>;
            if (nv == 1) return sx ? &h_ld<S, B, 1, true> : &h_ld<S, B, 1, false>;
            if (nv == 2) return sx ? &h_ld<S, B, 2, true> : &h_ld<S, B, 2, false>;
            return sx ? &h_ld<S, B, 4, true> : &h_ld<S, B, 4, false>;
        };
        return by_width(b, pick);
    });
    emit(n);
}

void parser::build_st(inst &in) {
    count(in, 2);
    auto &ops = in.ops;
    int sp = space_of(in);
    if (sp == sp_const) fail(in.line, "constant memory is read-only");
    ty t = type(in);
    unsigned b = bytes_of(t), nv = vector_of(in);
    if (t == ty::pred) fail(in.line, "predicates are not stored");
    if (info(t).kind == 'h') t = bytes_of(t) == 2 ? ty::b16 : ty::b32;
    insn n = base_insn(nullptr);
    n.n = uint8_t(nv);
    address(n, ops[0], sp);
    if (nv == 1) {
        n.o[0] = src(ops[1], t);
    } else {
        if (ops[1].k != operand::vec || ops[1].elems.size() != nv) fail(in.line, "vector store needs a vector");
        for (unsigned k = 0; k < nv; ++k) n.o[k] = src(ops[1].elems[k], t);
    }
    n.fn = by_space(sp, [&](auto s) -> handler {
        constexpr int S = decltype(s)::value;
        auto pick = [&](auto bb) -> handler {
            constexpr unsigned B = decltype(bb)::value;
            if (nv == 1) return &h_st<S, B, 1>;
            if (nv == 2) return &h_st<S, B, 2>;
            return &h_st<S, B, 4>;
        };
        return by_width(b, pick);
    });
    emit(n);
}

void parser::build_atom(inst &in, bool red) {
    auto &ops = in.ops;
    static const char *const names[] = {"add", "min", "max", "inc", "dec", "and", "or", "xor", "exch", "cas"};
    int op = -1;
    for (int k = 0; k < 10; ++k)
        if (has(in, names[k])) op = k;
    if (op < 0) fail(in.line, "atom needs an operation");
    if (red && (op == a_exch || op == a_cas)) fail(in.line, "red has no " + str(names[op]));
    ty t = type(in);
    if (has(in, "v2") || has(in, "v4") || has(in, "noftz")) fail(in.line, "unsupported atomic form");
    int sp = space_of(in);
    if (sp != sp_global && sp != sp_shared && sp != sp_generic) fail(in.line, "atomics work on global and shared memory");
    size_t need = (red ? 2 : 3) + (op == a_cas ? 1 : 0);
    count(in, need);
    insn n = base_insn(nullptr);
    size_t k = 0;
    if (red) {
        n.aux = 1;
        n.o[0] = sink_slot;
    } else {
        n.o[0] = dst(ops[k++]);
    }
    address(n, ops[k++], sp);
    n.o[1] = src(ops[k++], t);
    n.o[2] = op == a_cas ? src(ops[k++], t) : slot_zero;
    bool bitwise = op == a_and || op == a_or || op == a_xor || op == a_exch || op == a_cas;
    if ((bytes_of(t) < 4 && !(op == a_cas && t == ty::b16)) || (is_float(t) && op != a_add && op != a_exch) ||
        (!is_float(t) && !bitwise && info(t).kind == 'b') || (is_signed(t) && (op == a_inc || op == a_dec)) ||
        ((op == a_inc || op == a_dec) && t != ty::u32))
        fail(in.line, "unsupported atomic type");
    if (t == ty::b16) t = ty::u16;
    if (t == ty::b32 || (t == ty::s32 && bitwise)) t = ty::u32;
    if (t == ty::b64 || (t == ty::s64 && bitwise)) t = ty::u64;
    if (is_float(t) && op == a_exch) t = bytes_of(t) == 4 ? ty::u32 : ty::u64;
    n.fn = by_space(sp, [&](auto s) -> handler {
        constexpr int S = decltype(s)::value;
        return by_number(t, [&](auto x) -> handler {
            using T = decltype(x);
            if constexpr (sizeof(T) < 2) {
                return nullptr;
            } else if constexpr (sizeof(T) == 2) {
                return op == a_cas ? &h_atom<S, T, a_cas> : nullptr;
            } else {
                return by_value<a_cas + 1>(op, [&](auto o) -> handler { return &h_atom<S, T, decltype(o)::value>; });
            }
        });
    });
    emit(n);
}

}  // namespace parsing
}  // namespace ptx
}  // namespace sim
