// The logic of the five reduction entries: reduction case, element slot, the
// check that the counts describe a layout inside the input, and the call.
#include "reduce.h"

namespace reduce {
namespace {

using u128 = unsigned __int128;

enum : int32_t { type_logical = 3, type_double = 6, type_single = 7 };

kase pick_case(uint32_t nelem, uint32_t stride, uint32_t len, uint32_t slab,
               unsigned char dev_out) {
    if (stride == 1) return (nelem == len && !dev_out) ? case_v : case_c;
    if (nelem == len) return case_v;
    return slab != 0 ? case_r : case_d;
}

unsigned pick_slot(slot_rule rule, bool logical, bool cplx, bool want_idx) {
    switch (rule) {
    case slot_rule::logical_result:
        if (want_idx) return slot_idx;
        if (cplx) return slot_logical_cplx;
        return logical ? slot_logical : slot_logical_real;
    case slot_rule::extremum:
        if (want_idx) return cplx ? slot_idx_cplx : slot_idx;
        if (cplx) return logical ? slot_logical_cplx : slot_cplx;
        return logical ? slot_logical : slot_real;
    case slot_rule::sum:
        if (want_idx) return slot_idx;
        if (cplx) return slot_cplx;
        return logical ? slot_real_logical : slot_real;
    }
    return slot_idx;
}

// The highest element index that result o < nout, member k < len reach when
// member k of result o lies at (o mod group) + (o div group)*gap + k*step.
u128 last_member(uint32_t nout, uint32_t group, u128 gap, uint32_t len, uint32_t step) {
    uint32_t q = (nout - 1) / group, r = (nout - 1) % group;
    u128 top = r + q * gap;
    if (q > 0) {
        u128 full = (group - 1) + (q - 1) * gap;  // the end of the last whole group
        if (full > top) top = full;
    }
    return top + u128(len - 1) * step;
}

// True when the counts describe exactly nout results whose members all lie
// among the nelem input elements. The workers and kernels rely on it: their
// 32-bit index arithmetic is exact only then.
bool counts_fit(kase c, uint32_t nout, uint32_t nelem, uint32_t stride, uint32_t len,
                uint32_t slab, uint32_t pre) {
    switch (c) {
    case case_v:
        return nelem >= 1 && nout == 1;
    case case_c:
        return len >= 1 && nelem % len == 0 && nelem / len == nout;
    case case_d:
        return len >= 1 && stride >= 1 && nelem % len == 0 && nelem / len == nout &&
               last_member(nout, stride, u128(stride) * len, len, stride) < nelem;
    case case_r:
        return len >= 1 && pre >= 1 && uint64_t(nout) * len == nelem &&
               last_member(nout, pre, slab, len, stride) < nelem;
    }
    return false;
}

}  // namespace

pkrError dispatch(const op_tables &op, uint32_t nout, uint32_t nelem, uint32_t stride,
                  uint32_t len, uint32_t slab, uint32_t pre, void *out, int32_t /*out_type*/,
                  void *in, int32_t in_type, float *idx, unsigned char cplx,
                  unsigned char want_idx, unsigned char dev_out) {
    if (nout == 0) return 0;
    // Other type codes would have their elements read as single precision.
    if (in_type != type_logical && in_type != type_double && in_type != type_single) return 6;
    const bool logical = in_type == type_logical;
    // No worker reads one-byte elements as complex values or with positions.
    if (logical && (cplx || want_idx)) return 6;
    const row_t *table = in_type == type_double ? op.dbl : op.sgl;
    const kase c = pick_case(nelem, stride, len, slab, dev_out);
    const worker_fn fn = table[c][pick_slot(op.rule, logical, cplx != 0, want_idx != 0)];
    if (!fn) return 6;
    if (!counts_fit(c, nout, nelem, stride, len, slab, pre)) return 4;
    return fn(param_t{out, in, nullptr, idx, nelem, stride, len, slab, pre, nout});
}

}  // namespace reduce
