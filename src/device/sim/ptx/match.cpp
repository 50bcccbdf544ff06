// match.{any,all}.sync: the warp's lanes that hold the same value.
#include "../internal.h"
#include "../simkernel.h"
#include "ops.h"

namespace sim {
namespace ptx {

// o[0] the lanes, o[1] the value, o[2] the member mask, o[3] the predicate
// of match.all (the sink without one); aux bit 0 all, bit 1 a 64-bit value.
void h_match(thread &t, const insn &i) {
    const uint64_t v = i.aux & 2 ? t.r[i.o[1]] : uint64_t(uint32_t(t.r[i.o[1]]));
    const uint32_t lanes = uint32_t(detail::warp_op(get<uint32_t>(t, i.o[2]),
                                                    i.aux & 1 ? detail::wm_match_all : detail::wm_match_any,
                                                    v, 0, 0, nullptr, site(t, i)));
    put<uint32_t>(t, i.o[0], lanes);
    if (i.aux & 1) t.r[i.o[3]] = lanes != 0;
    check_abort(t);
}

}  // namespace ptx
}  // namespace sim
