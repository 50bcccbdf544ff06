// The Hankel entries and their launcher.
#include "hankel.h"

namespace hankel_matrix {
namespace {

template <class To, class Tc, class Tr>
kernel_fn kernel_of() {
    if constexpr (all_single<To, Tc, Tr>) {
        return hankel_32_fn[complexity<Tc, Tr>];
    } else {
        using t = types_64<slot_64<To, Tc, Tr>()>;
        static_assert(std::is_same<typename t::To, To>::value &&
                          std::is_same<typename t::Tc, Tc>::value &&
                          std::is_same<typename t::Tr, Tr>::value,
                      "an entry's types are those of its slot");
        return hankel_64_fn[slot_64<To, Tc, Tr>()];
    }
}

pkrError hank(void *out, unsigned m, void *c, unsigned n, void *r, kernel_fn kernel) {
    return launch::run(launch::standard, kernel, arrays::tiles_16(m, n), param_t{out, m, c, n, r});
}

}  // namespace
}  // namespace hankel_matrix

#define TV_HANKEL_ENTRY(code, To, Tc, Tr)                                                  \
    extern "C" TORVANE_API pkrError pkr_hankel_##code(void *out, unsigned m, void *c,     \
                                                      unsigned n, void *r) {               \
        return hankel_matrix::hank(out, m, c, n, r, hankel_matrix::kernel_of<To, Tc, Tr>()); \
    }
TORVANE_HANKEL_TYPES(TV_HANKEL_ENTRY)
