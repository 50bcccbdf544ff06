// Texture objects of the simulated device, as the PTX `tex` instruction reads
// them: linear memory of one channel format, fetched by integer index.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sim {
namespace ptx {

struct tex_desc {
    const unsigned char *base;
    uint64_t elements;
    uint8_t channels;       // 1, 2 or 4
    uint8_t channel_bytes;  // 4
};

// A handle for `d` (never 0), or 0 when every slot is taken.
uint64_t tex_create(const tex_desc &d);
// False for a handle that is not live.
bool tex_destroy(uint64_t handle);
// The object of a live handle, or null.
const tex_desc *tex_find(uint64_t handle);

}  // namespace ptx
}  // namespace sim
