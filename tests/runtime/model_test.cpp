// A long random run of allocations and frees of all three memory types,
// checked against a model of the live blocks.
#include "rt_support.h"

#if DEV_BACKEND_SIM
#include "device/sim/control.h"
#endif

#include <algorithm>
#include <map>
#include <random>

using namespace rt;

namespace {

struct block {
    size_t size, rounded;  // requested and rounded bytes
    unsigned char tag;
};

size_t rounded_size(size_t n) {
    if (n > MiB) return n;
    size_t s = 1;
    while (s < n) s <<= 1;
    return s;
}

struct model {
    std::map<uintptr_t, block> live[3];
    std::vector<std::pair<int, uintptr_t>> order;  // for picking at random

    void add(int type, void *p, const block &b) {
        auto &m = live[type];
        const auto a = reinterpret_cast<uintptr_t>(p);
        auto next = m.lower_bound(a);
        if (next != m.end()) {
            ASSERT_GE(next->first, a + b.rounded) << "overlaps the next block";
        }
        if (next != m.begin()) {
            auto prev = std::prev(next);
            ASSERT_LE(prev->first + prev->second.rounded, a) << "overlaps the previous block";
        }
        m.emplace(a, b);
        order.emplace_back(type, a);
    }

    // Every block of classes 0 to 19 lies in an arena of its slot size, and
    // every arena's count of slots in use matches the model.
    void check_dumps() const {
        for (int type = 0; type < 3; ++type) {
            const auto d = parse_one(dump(type));
            std::map<uintptr_t, unsigned> in_use;
            for (const auto &[a, b] : live[type]) {
                const arena_line *arena = d.find(reinterpret_cast<void *>(a), b.rounded);
                if (b.rounded > 524288) {
                    ASSERT_EQ(arena, nullptr);  // class 20 shows nowhere
                    continue;
                }
                ASSERT_NE(arena, nullptr) << type << " " << b.size;
                ASSERT_EQ(arena->osiz, b.rounded);
                ++in_use[arena->addr];
            }
            for (const auto &c : d.classes)
                for (const auto &a : c.arenas) ASSERT_EQ(a.occ, in_use[a.addr]) << type;
        }
    }
};

size_t random_size(std::mt19937_64 &rng, int type) {
    const unsigned roll = rng() % 100;
    if (type != MM_SYSTEM_RAM && roll < 3) return 524289 + rng() % (3 * MiB);  // class 20
    const int k = int(rng() % 20);
    if (k == 0) return rng() % 2;  // 0 is served as 1
    const size_t lo = (size_t(1) << (k - 1)) + 1, hi = size_t(1) << k;
    return lo + rng() % (hi - lo + 1);
}

}  // namespace

TEST(MemoryModel, RandomRunAgainstModel) {
    make_context();
    std::mt19937_64 rng(20240611);
    model m;
    const int steps = 120000;
    for (int step = 0; step < steps; ++step) {
        const bool alloc = m.order.size() < 64 || (m.order.size() < 3000 && rng() % 100 < 52);
        if (alloc) {
            const int type = int(rng() % 3);
            const size_t size = random_size(rng, type);
            const bool clear = rng() % 5 == 0;
            void *p = nullptr;
            ASSERT_EQ(clear ? mmcalloc(size, type, &p) : mmalloc(size, type, &p), 0) << size;
            const block b{size, rounded_size(size), static_cast<unsigned char>(rng() | 1)};
            ASSERT_NO_FATAL_FAILURE(m.add(type, p, b));
            if (type != MM_VIDEO_RAM) {
                auto *c = static_cast<unsigned char *>(p);
                if (clear) {
                    ASSERT_TRUE(c[0] == 0 && c[b.rounded - 1] == 0);
                }
                c[0] = c[b.rounded - 1] = b.tag;
            }
        } else {
            const size_t i = rng() % m.order.size();
            const auto [type, a] = m.order[i];
            m.order[i] = m.order.back();
            m.order.pop_back();
            auto it = m.live[type].find(a);
            const block b = it->second;
            auto *c = reinterpret_cast<unsigned char *>(a);
            if (type != MM_VIDEO_RAM) {
                ASSERT_TRUE(c[0] == b.tag && c[b.rounded - 1] == b.tag);
            }
            if (b.rounded > 1 && rng() % 50 == 0) {
                ASSERT_EQ(mmfree(type, c + 1), -1);
            }
            ASSERT_EQ(mmfree(type, c), 0);
            m.live[type].erase(it);
            if (rng() % 20 == 0) {
                ASSERT_EQ(mmfree(type, c), -1);
            }
        }
        if (step % 10000 == 9999) {
            ASSERT_NO_FATAL_FAILURE(m.check_dumps());
        }
    }

    // Everything freed comes back: no arena is left, and each pool holds its 32 chunks.
    std::shuffle(m.order.begin(), m.order.end(), rng);
    for (const auto &[type, a] : m.order) ASSERT_EQ(mmfree(type, reinterpret_cast<void *>(a)), 0);
    EXPECT_EQ(mmreclaim(MM_SYSTEM_RAM), 0);
    for (int type = 0; type < 3; ++type) {
        SCOPED_TRACE(type);
        auto d = parse_one(dump(type));
        EXPECT_TRUE(d.classes.empty());
        ASSERT_EQ(d.pool.size(), 32u);
        std::sort(d.pool.begin(), d.pool.end());
        for (size_t i = 0; i < 32; ++i) EXPECT_EQ(d.pool[i], d.pool[0] + i * MiB);
    }
#if DEV_BACKEND_SIM
    EXPECT_EQ(sim::stats().live_allocations, 1u);
    EXPECT_EQ(sim::stats().live_bytes, 32 * MiB);
#endif
}
