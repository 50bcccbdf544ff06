// Barriers and warp collectives.
#include "parser.h"

namespace sim {
namespace ptx {
namespace parsing {

void parser::build_bar(inst &in) {
    auto &ops = in.ops;
    if (has(in, "warp")) {
        count(in, 1);
        insn n = base_insn(&h_bar_warp);
        n.o[0] = src(ops[0], ty::u32);
        n.imm = site();
        return emit(n);
    }
    if (has(in, "arrive")) fail(in.line, "barrier arrivals are not supported");
    if (has(in, "red")) {
        // bar.red.popc.u32 d, 0, {!}p;  bar.red.and.pred / .or.pred p, 0, {!}q;
        count(in, 3);
        if (ops[1].k != operand::imm || ops[1].bits != 0)
            fail(in.line, "only barrier 0 of the whole block is supported");
        insn n = base_insn(&h_bar_red);
        n.aux = has(in, "popc") ? 0 : has(in, "and") ? 1 : has(in, "or") ? 2 : 255;
        if (n.aux == 255) fail(in.line, "barrier reduction needs popc, and or or");
        n.o[0] = dst(ops[0]);
        n.o[1] = src(ops[2], ty::pred);
        n.imm = site();
        m.bar_red = true;
        return emit(n);
    }
    if (!has(in, "sync") && in.opcode != "bar") fail(in.line, "unsupported barrier");
    count(in, 1, 2);
    if (ops[0].k == operand::name && ops.size() == 1) {
        // The barrier's number in a register (cooperative groups under -G):
        // checked when it runs.
        insn n = base_insn(&h_bar_id);
        n.o[0] = src(ops[0], ty::u32);
        n.imm = site();
        return emit(n);
    }
    if (ops[0].k != operand::imm || ops[0].bits != 0 || ops.size() == 2)
        fail(in.line, "only barrier 0 of the whole block is supported");
    insn n = base_insn(&h_bar);
    n.imm = site();
    emit(n);
}

void parser::build_shfl(inst &in) {
    count(in, 5);
    auto &ops = in.ops;
    if (!has(in, "sync")) fail(in.line, "shfl without .sync is not supported");
    insn n = base_insn(&h_shfl);
    n.aux = has(in, "up") ? detail::wm_up : has(in, "down") ? detail::wm_down
            : has(in, "bfly") ? detail::wm_xor : detail::wm_idx;
    if (!has(in, "up") && !has(in, "down") && !has(in, "bfly") && !has(in, "idx")) fail(in.line, "shfl needs a mode");
    n.o[0] = dst(ops[0]);
    n.o[1] = ops[0].has2 ? ops[0].slot2 : sink_slot;
    n.o[2] = src(ops[1], ty::b32);
    n.o[3] = src(ops[2], ty::b32);
    n.o[4] = src(ops[3], ty::b32);
    n.o[5] = src(ops[4], ty::b32);
    n.imm = site();
    emit(n);
}

void parser::build_vote(inst &in) {
    count(in, 3);
    auto &ops = in.ops;
    if (!has(in, "sync")) fail(in.line, "vote without .sync is not supported");
    insn n = base_insn(&h_vote);
    n.aux = has(in, "ballot") ? 0 : has(in, "any") ? 1 : has(in, "all") ? 2 : has(in, "uni") ? 3 : 255;
    if (n.aux == 255) fail(in.line, "vote needs a mode");
    n.o[0] = dst(ops[0]);
    n.o[1] = src(ops[1], ty::pred);
    n.o[2] = src(ops[2], ty::b32);
    n.imm = site();
    emit(n);
}

// match.any.sync.bN d, a, mask;  match.all.sync.bN d{|p}, a, mask;
void parser::build_match(inst &in) {
    count(in, 3);
    auto &ops = in.ops;
    if (!has(in, "sync")) fail(in.line, "match without .sync is not supported");
    const bool all = has(in, "all");
    if (!all && !has(in, "any")) fail(in.line, "match needs .any or .all");
    ty t = type(in);
    if (t != ty::b32 && t != ty::b64) fail(in.line, "match compares 32- or 64-bit values");
    if (ops[0].has2 && !all) fail(in.line, "match.any sets no predicate");
    insn n = base_insn(&h_match);
    n.aux = uint8_t((all ? 1 : 0) | (t == ty::b64 ? 2 : 0));
    n.o[0] = dst(ops[0]);
    n.o[1] = src(ops[1], t);
    n.o[2] = src(ops[2], ty::b32);
    n.o[3] = ops[0].has2 ? ops[0].slot2 : sink_slot;
    n.imm = site();
    emit(n);
}

}  // namespace parsing
}  // namespace ptx
}  // namespace sim
