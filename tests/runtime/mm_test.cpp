// The memory manager through the library's entry points: classes, the three
// memory types and their failures, pools, keep rule, statistics and dumps.
#include "rt_support.h"

#if DEV_BACKEND_SIM
#include "device/sim/control.h"
#endif

#include <climits>
#include <thread>
#if DEV_BACKEND_SIM && defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

using namespace rt;

namespace {

// The test reaches past a request into its size class's slack on purpose;
// on the simulated device under AddressSanitizer those bytes are poisoned.
void reach_slack(void *p, size_t bytes) {
#if DEV_BACKEND_SIM && defined(__SANITIZE_ADDRESS__)
    ASAN_UNPOISON_MEMORY_REGION(p, bytes);
#else
    (void)p, (void)bytes;
#endif
}

// Leaves an allocation failure pending in the CUDA runtime.
void leave_pending_error() {
    void *x = nullptr;
    ASSERT_NE(dev::malloc(&x, size_t(1) << 60), 0);
    ASSERT_NE(dev::peek_last_error(), 0);
}

}  // namespace

TEST(MemoryManager, RoundsRequestsToClasses) {
    struct row {
        size_t request, rounded;
    } rows[] = {{0, 1},      {1, 1},         {2, 2},         {3, 4},        {12, 16},
                {4096, 4096}, {4097, 8192}, {65536, 65536}, {524288, 524288}};
    for (const auto &r : rows) {
        SCOPED_TRACE(r.request);
        void *p = nullptr;
        ASSERT_EQ(mmalloc(r.request, MM_SYSTEM_RAM, &p), 0);
        const auto d = parse_one(dump(MM_SYSTEM_RAM));
        const arena_line *a = d.find(p, r.rounded);
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(a->osiz, r.rounded);
        EXPECT_EQ(a->count, MiB / r.rounded);
        EXPECT_EQ((reinterpret_cast<uintptr_t>(p) - a->addr) % r.rounded, 0u);
        EXPECT_EQ(mmfree(MM_SYSTEM_RAM, p), 0);
    }
}

// Class 20: 1 MiB for requests above 512 KiB up to 1 MiB, cut from the pool;
// beyond 1 MiB an arena of exactly the request. Neither shows in the dump.
TEST(MemoryManager, LargeRequestsUseClass20) {
    make_context();
    void *p = nullptr;
    ASSERT_EQ(mmalloc(524289, MM_VIDEO_RAM, &p), 0);
    auto d = parse_one(dump(MM_VIDEO_RAM));
    ASSERT_EQ(d.pool.size(), 31u);
    EXPECT_EQ(d.pool.front(), reinterpret_cast<uintptr_t>(p) + MiB);  // p was chunk 0
    EXPECT_TRUE(d.classes.empty());

    void *q = nullptr;
    ASSERT_EQ(mmalloc(1048576, MM_VIDEO_RAM, &q), 0);
    EXPECT_EQ(q, static_cast<char *>(p) + MiB);
#if DEV_BACKEND_SIM
    const size_t before = sim::stats().live_bytes;
#endif
    void *r = nullptr;
    ASSERT_EQ(mmalloc(1048577, MM_VIDEO_RAM, &r), 0);
    d = parse_one(dump(MM_VIDEO_RAM));
    EXPECT_EQ(d.pool.size(), 30u);
    EXPECT_TRUE(d.classes.empty());
#if DEV_BACKEND_SIM
    EXPECT_EQ(sim::stats().live_bytes - before, 1048577u);
#endif
    for (void *b : {p, q, r}) EXPECT_EQ(mmfree(MM_VIDEO_RAM, b), 0);
    EXPECT_EQ(parse_one(dump(MM_VIDEO_RAM)).pool.size(), 32u);
}

TEST(MemoryManager, EachTypeServesAndTakesBack) {
    make_context();
    int x = 0;
    for (int type : {MM_SYSTEM_RAM, MM_VIDEO_RAM, MM_PCI_SHARED}) {
        SCOPED_TRACE(type);
        void *p = nullptr, *q = nullptr;
        ASSERT_EQ(mmalloc(100, type, &p), 0);
        ASSERT_EQ(mmalloc(100, type, &q), 0);
        ASSERT_NE(p, nullptr);
        if (type != MM_VIDEO_RAM) std::memset(p, 0x5a, 100);
        const std::string before = dump(type);
        // Caller errors are refused before anything changes.
        EXPECT_EQ(mmfree(type, static_cast<char *>(p) + 1), -1);
        EXPECT_EQ(mmfree(type, &x), -1);
        EXPECT_EQ(mmfree((type + 1) % 3, p), -1);
        EXPECT_EQ(dump(type), before);
        EXPECT_EQ(mmfree(type, p), 0);
        const std::string after = dump(type);
        EXPECT_EQ(mmfree(type, p), -1);  // a second free
        EXPECT_EQ(dump(type), after);
        EXPECT_EQ(mmfree(type, q), 0);
        EXPECT_EQ(mmfree(type, nullptr), 0);
    }
}

// The lowest clear bit of the first word that is not full: freed slots come
// back lowest first, across words, before any fresh one.
TEST(MemoryManager, HandsOutTheLowestFreeSlot) {
    make_context();
    for (int type : {MM_SYSTEM_RAM, MM_VIDEO_RAM, MM_PCI_SHARED})
        for (size_t size : {size_t(16), size_t(4096)}) {
            SCOPED_TRACE(testing::Message() << type << " " << size);
            std::vector<char *> p(100);
            for (auto &b : p) ASSERT_EQ(mmalloc(size, type, reinterpret_cast<void **>(&b)), 0);
            for (size_t i = 0; i < p.size(); ++i) ASSERT_EQ(p[i], p[0] + i * size);
            for (int i : {70, 3, 40, 33, 99}) ASSERT_EQ(mmfree(type, p[i]), 0);
            for (int i : {3, 33, 40, 70, 99}) {
                void *q = nullptr;
                ASSERT_EQ(mmalloc(size, type, &q), 0);
                EXPECT_EQ(q, p[i]);
            }
            for (char *b : p) ASSERT_EQ(mmfree(type, b), 0);
        }
}

TEST(MemoryManager, RefusesUnknownTypes) {
    int sentinel = 0;
    for (int type : {3, -1, 7, INT_MIN}) {
        SCOPED_TRACE(type);
        void *p = &sentinel;
        EXPECT_EQ(mmalloc(16, type, &p), -1);
        EXPECT_EQ(p, nullptr);
        p = &sentinel;
        EXPECT_EQ(mmcalloc(16, type, &p), -1);
        EXPECT_EQ(p, &sentinel);
        EXPECT_EQ(mmfree(type, nullptr), 0);
        EXPECT_EQ(mmfree(type, &sentinel), -1);
        EXPECT_EQ(mmreclaim(type), -1);
        int r = 0;
        EXPECT_EQ(dump(type, &r), "");
        EXPECT_EQ(r, -1);
    }
}

TEST(MemoryManager, SystemRamMappingFailure) {
    int sentinel = 0;
    void *p = &sentinel;
    EXPECT_EQ(mmalloc(size_t(1) << 50, MM_SYSTEM_RAM, &p), -1);
    EXPECT_EQ(p, nullptr);
    p = &sentinel;
    EXPECT_EQ(mmcalloc(size_t(1) << 50, MM_SYSTEM_RAM, &p), -1);
    EXPECT_EQ(p, &sentinel);
    EXPECT_EQ(dump(MM_SYSTEM_RAM), "");
    ASSERT_EQ(mmalloc(size_t(1) << 21, MM_SYSTEM_RAM, &p), 0);  // class 20 still works
    EXPECT_EQ(mmfree(MM_SYSTEM_RAM, p), 0);
}

TEST(MemoryManager, VideoRamNeedsCurrentContext) {
    std::thread([] {
        int sentinel = 0;
        void *p = &sentinel;
        EXPECT_EQ(mmalloc(16, MM_VIDEO_RAM, &p), -1);
        EXPECT_EQ(p, nullptr);
        p = &sentinel;
        EXPECT_EQ(mmcalloc(16, MM_VIDEO_RAM, &p), -1);
        EXPECT_EQ(p, &sentinel);
        EXPECT_EQ(mmfree(MM_VIDEO_RAM, &sentinel), -1);
        EXPECT_EQ(mmreclaim(MM_VIDEO_RAM), -1);
    }).join();
}

TEST(MemoryManager, VideoRamContextQueryFails) {
    SIM_ONLY();
#if DEV_BACKEND_SIM
    make_context();
    sim::inject(sim::fault_kind::ctx_get_device, 1, dev::err_invalid_context);
    void *p = nullptr;
    EXPECT_EQ(mmalloc(16, MM_VIDEO_RAM, &p), -1);
    EXPECT_EQ(p, nullptr);
    ASSERT_EQ(mmalloc(16, MM_VIDEO_RAM, &p), 0);
    sim::inject(sim::fault_kind::ctx_get_device, 1, dev::err_invalid_context);
    EXPECT_EQ(mmfree(MM_VIDEO_RAM, p), -1);
    EXPECT_EQ(mmfree(MM_VIDEO_RAM, p), 0);
#endif
}

// The pool cannot be filled: the arena maps its own 1 MiB; when that fails
// too, the request fails and nothing changes.
TEST(MemoryManager, VideoRamMappingFailure) {
    SIM_ONLY();
#if DEV_BACKEND_SIM
    make_context();
    sim::inject(sim::fault_kind::malloc, 1, dev::err_memory_allocation);
    void *p = nullptr;
    ASSERT_EQ(mmalloc(16, MM_VIDEO_RAM, &p), 0);
    EXPECT_EQ(dev::peek_last_error(), 0);
    auto d = parse_one(dump(MM_VIDEO_RAM));
    EXPECT_TRUE(d.pool.empty());
    ASSERT_NE(d.find(p), nullptr);
    EXPECT_EQ(d.find(p)->flags, 0u);

    const std::string before = dump(MM_VIDEO_RAM);
    sim::inject(sim::fault_kind::malloc, 2, dev::err_memory_allocation);
    void *q = &p;
    EXPECT_EQ(mmalloc(64, MM_VIDEO_RAM, &q), -1);
    EXPECT_EQ(q, nullptr);
    EXPECT_EQ(dump(MM_VIDEO_RAM), before);
    EXPECT_EQ(sim::stats().live_allocations, 1u);

    ASSERT_EQ(mmalloc(64, MM_VIDEO_RAM, &q), 0);  // now the pool fills
    d = parse_one(dump(MM_VIDEO_RAM));
    EXPECT_EQ(d.pool.size(), 31u);
    EXPECT_EQ(d.find(q)->flags, 1u);

    // A failed release of an arena's memory is reported, and left pending for nobody.
    sim::inject(sim::fault_kind::free, 1, dev::err_invalid_value);
    EXPECT_EQ(mmfree(MM_VIDEO_RAM, p), -1);
    EXPECT_EQ(dev::peek_last_error(), 0);
    EXPECT_EQ(mmfree(MM_VIDEO_RAM, p), -1);  // its arena is gone
#endif
}

TEST(MemoryManager, VideoRamPendingError) {
    make_context();
    // A mapping consumes the pending error and fails; the next request works.
    leave_pending_error();
    void *p = &p;
    EXPECT_EQ(mmalloc(2 * MiB, MM_VIDEO_RAM, &p), -1);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(dev::peek_last_error(), 0);
    ASSERT_EQ(mmalloc(2 * MiB, MM_VIDEO_RAM, &p), 0);
    ASSERT_EQ(mmfree(MM_VIDEO_RAM, p), 0);

    // The pool's mapping takes the error, the arena then maps its own 1 MiB.
    leave_pending_error();
    ASSERT_EQ(mmalloc(16, MM_VIDEO_RAM, &p), 0);
    EXPECT_EQ(dev::peek_last_error(), 0);
    auto d = parse_one(dump(MM_VIDEO_RAM));
    EXPECT_TRUE(d.pool.empty());
    EXPECT_EQ(d.find(p)->flags, 0u);

    // Served from an existing arena: no mapping, the error stays pending.
    leave_pending_error();
    void *q = nullptr;
    ASSERT_EQ(mmalloc(16, MM_VIDEO_RAM, &q), 0);
    EXPECT_EQ(dev::peek_last_error(), dev::err_memory_allocation);
    dev::get_last_error();

    // Giving back while an error is pending consumes it and leaves the memory unfreed.
    void *big = nullptr;
    ASSERT_EQ(mmalloc(2 * MiB, MM_VIDEO_RAM, &big), 0);
#if DEV_BACKEND_SIM
    const size_t live = sim::stats().live_allocations;
#endif
    leave_pending_error();
    EXPECT_EQ(mmfree(MM_VIDEO_RAM, big), -1);
    EXPECT_EQ(dev::peek_last_error(), 0);
    EXPECT_EQ(mmfree(MM_VIDEO_RAM, big), -1);  // its arena is gone
#if DEV_BACKEND_SIM
    EXPECT_EQ(sim::stats().live_allocations, live);
#endif
}

TEST(MemoryManager, PciSharedFailures) {
    SIM_ONLY();
#if DEV_BACKEND_SIM
    make_context();
    sim::inject(sim::fault_kind::host_alloc, 2, dev::err_memory_allocation);
    void *p = &p;
    EXPECT_EQ(mmalloc(16, MM_PCI_SHARED, &p), -1);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(dump(MM_PCI_SHARED), "");

    sim::inject(sim::fault_kind::host_alloc, 1, dev::err_memory_allocation);
    ASSERT_EQ(mmalloc(16, MM_PCI_SHARED, &p), 0);  // own 1 MiB, no pool
    auto d = parse_one(dump(MM_PCI_SHARED));
    EXPECT_TRUE(d.pool.empty());
    EXPECT_EQ(d.find(p)->flags, 0u);

    // The last block goes, the arena is destroyed, its memory does not go back.
    sim::inject(sim::fault_kind::free_host, 1, dev::err_invalid_value);
    EXPECT_EQ(mmfree(MM_PCI_SHARED, p), -1);
    EXPECT_EQ(dump(MM_PCI_SHARED), "");
    EXPECT_EQ(mmfree(MM_PCI_SHARED, p), -1);
#endif
}

TEST(MemoryManager, CallocClearsHostTypes) {
    make_context();
    for (int type : {MM_SYSTEM_RAM, MM_PCI_SHARED}) {
        SCOPED_TRACE(type);
        void *p = nullptr, *q = nullptr;
        ASSERT_EQ(mmalloc(200, type, &p), 0);
        std::memset(p, 0xff, 256);
        ASSERT_EQ(mmfree(type, p), 0);
        ASSERT_EQ(mmcalloc(200, type, &q), 0);
        ASSERT_EQ(q, p);  // the same slot again
        const std::vector<unsigned char> zeros(256, 0);
        EXPECT_EQ(std::memcmp(q, zeros.data(), 256), 0);
        EXPECT_EQ(mmfree(type, q), 0);
    }
}

TEST(MemoryManager, CallocClearsVideoRam) {
    make_context();
    struct row {
        size_t request, cleared;
        bool words;
    } rows[] = {{3, 4, true}, {1, 1, false}, {1048577, 1048577, false}, {100, 128, true}};
    for (const auto &r : rows) {
        SCOPED_TRACE(r.request);
        void *p = nullptr, *q = nullptr;
        ASSERT_EQ(mmalloc(r.request, MM_VIDEO_RAM, &p), 0);
        const std::vector<unsigned char> ones(r.cleared, 0xff);
        reach_slack(p, r.cleared);
        ASSERT_EQ(dev::memcpy_htod(p, ones.data(), r.cleared), 0);
        ASSERT_EQ(mmfree(MM_VIDEO_RAM, p), 0);
        // Keep the next one off a fresh allocation, so the clearing shows.
        void *keep = nullptr;
        if (r.request <= MiB) {
            ASSERT_EQ(mmalloc(r.request, MM_VIDEO_RAM, &keep), 0);
            ASSERT_EQ(keep, p);
            reach_slack(keep, r.cleared);
            ASSERT_EQ(dev::memcpy_htod(keep, ones.data(), r.cleared), 0);
            ASSERT_EQ(mmfree(MM_VIDEO_RAM, keep), 0);
        }
#if DEV_BACKEND_SIM
        const sim::counters before = sim::stats();
#endif
        ASSERT_EQ(mmcalloc(r.request, MM_VIDEO_RAM, &q), 0);
#if DEV_BACKEND_SIM
        const sim::counters after = sim::stats();
        EXPECT_EQ(after.memsets_d32 - before.memsets_d32, r.words ? 1u : 0u);
        EXPECT_EQ(after.memsets_d8 - before.memsets_d8, r.words ? 0u : 1u);
#endif
        std::vector<unsigned char> back(r.cleared, 0xee);
        reach_slack(q, r.cleared);
        ASSERT_EQ(dev::memcpy_dtoh(back.data(), q, r.cleared), 0);
        EXPECT_EQ(back, std::vector<unsigned char>(r.cleared, 0));
        EXPECT_EQ(mmfree(MM_VIDEO_RAM, q), 0);
    }
}

// 31 of the 32 chunks serve arenas in ascending order; the 32nd request maps
// its own; a destroyed arena's chunk returns at the head and is used next.
TEST(MemoryManager, VideoRamChunkPool) {
    make_context();
    std::vector<char *> blocks(32);
    for (size_t i = 0; i < blocks.size(); ++i) {
        void *p = nullptr;
        ASSERT_EQ(mmalloc(MiB, MM_VIDEO_RAM, &p), 0);
        blocks[i] = static_cast<char *>(p);
#if DEV_BACKEND_SIM
        EXPECT_EQ(sim::stats().live_allocations, i < 31 ? 1u : 2u) << i;
#endif
    }
    char *base = blocks[0];
    for (size_t i = 0; i < 31; ++i) EXPECT_EQ(blocks[i], base + i * MiB) << i;
    EXPECT_TRUE(blocks[31] < base || blocks[31] >= base + 32 * MiB);
    auto d = parse_one(dump(MM_VIDEO_RAM));
    ASSERT_EQ(d.pool.size(), 1u);
    EXPECT_EQ(d.pool[0], reinterpret_cast<uintptr_t>(base + 31 * MiB));

    ASSERT_EQ(mmfree(MM_VIDEO_RAM, blocks[5]), 0);
    d = parse_one(dump(MM_VIDEO_RAM));
    ASSERT_EQ(d.pool.size(), 2u);
    EXPECT_EQ(d.pool[0], reinterpret_cast<uintptr_t>(blocks[5]));

    void *p = nullptr, *q = nullptr;
    ASSERT_EQ(mmalloc(16, MM_VIDEO_RAM, &p), 0);
    EXPECT_EQ(p, blocks[5]);
    EXPECT_EQ(parse_one(dump(MM_VIDEO_RAM)).find(p)->flags, 1u);
    ASSERT_EQ(mmfree(MM_VIDEO_RAM, p), 0);  // destroyed: the chunk goes back to the head
    ASSERT_EQ(mmalloc(4096, MM_VIDEO_RAM, &q), 0);
    EXPECT_EQ(q, blocks[5]);
    ASSERT_EQ(mmfree(MM_VIDEO_RAM, q), 0);
    ASSERT_EQ(mmfree(MM_VIDEO_RAM, blocks[31]), 0);
#if DEV_BACKEND_SIM
    EXPECT_EQ(sim::stats().live_allocations, 1u);  // the pool's mapping stays
#endif
}

TEST(MemoryManager, VideoRamStatePerDevice) {
    SIM_ONLY();
#if DEV_BACKEND_SIM
    sim::set_devices({{}, {}});
    dev::drv_context c0 = make_context(0);
    dev::drv_context c1 = make_context(1);
    void *p1 = nullptr, *p0 = nullptr;
    ASSERT_EQ(mmalloc(16, MM_VIDEO_RAM, &p1), 0);
    ASSERT_EQ(dev::drv_ctx_set_current(c0), 0);
    ASSERT_EQ(mmalloc(16, MM_VIDEO_RAM, &p0), 0);
    EXPECT_NE(p0, p1);
    const auto all = parse(dump(MM_VIDEO_RAM));
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].number, 0u);
    EXPECT_EQ(all[1].number, 1u);
    EXPECT_NE(all[0].find(p0), nullptr);
    EXPECT_NE(all[1].find(p1), nullptr);
    EXPECT_EQ(mmfree(MM_VIDEO_RAM, p1), -1);  // not this device's
    ASSERT_EQ(dev::drv_ctx_set_current(c1), 0);
    EXPECT_EQ(mmfree(MM_VIDEO_RAM, p1), 0);
    ASSERT_EQ(dev::drv_ctx_set_current(c0), 0);
    EXPECT_EQ(mmfree(MM_VIDEO_RAM, p0), 0);
#endif
}

TEST(MemoryManager, NoStateBeyondDevice31) {
    SIM_ONLY();
#if DEV_BACKEND_SIM
    sim::set_devices(std::vector<sim::device_desc>(33));
    make_context(32);
    void *p = &p;
    EXPECT_EQ(mmalloc(16, MM_VIDEO_RAM, &p), -1);
    EXPECT_EQ(p, nullptr);
    ASSERT_EQ(dev::set_device(32), 0);
    mmstats st{};
    ASSERT_EQ(mmallocstats(&st), 0);
    EXPECT_EQ(st.live, st.used);
    make_context(31);
    ASSERT_EQ(mmalloc(16, MM_VIDEO_RAM, &p), 0);
    EXPECT_EQ(parse(dump(MM_VIDEO_RAM)).at(0).number, 31u);
#endif
}

TEST(MemoryManager, SystemRamKeepsLastEmptyArena) {
    void *p = nullptr, *q = nullptr;
    ASSERT_EQ(mmalloc(16, MM_SYSTEM_RAM, &p), 0);
    ASSERT_EQ(mmfree(MM_SYSTEM_RAM, p), 0);
    auto d = parse_one(dump(MM_SYSTEM_RAM));
    ASSERT_EQ(d.classes.size(), 1u);
    EXPECT_EQ(d.classes[0].committed, MiB);
    ASSERT_EQ(d.classes[0].arenas.size(), 1u);
    EXPECT_EQ(d.classes[0].arenas[0].occ, 0u);
    ASSERT_EQ(mmalloc(16, MM_SYSTEM_RAM, &q), 0);
    EXPECT_EQ(q, p);
    ASSERT_EQ(mmfree(MM_SYSTEM_RAM, q), 0);

    EXPECT_EQ(mmreclaim(MM_SYSTEM_RAM), 0);
    d = parse_one(dump(MM_SYSTEM_RAM));
    EXPECT_TRUE(d.classes.empty());
    ASSERT_EQ(d.pool.size(), 32u);
    EXPECT_EQ(d.pool[0], reinterpret_cast<uintptr_t>(p));
    EXPECT_EQ(d.total, 32 * MiB);

    // Two arenas of 512 KiB blocks: the emptied one survives only while it
    // is the only arena with free slots.
    void *a, *b, *c;
    ASSERT_EQ(mmalloc(524288, MM_SYSTEM_RAM, &a), 0);
    ASSERT_EQ(mmalloc(524288, MM_SYSTEM_RAM, &b), 0);
    ASSERT_EQ(mmalloc(524288, MM_SYSTEM_RAM, &c), 0);
    EXPECT_EQ(parse_one(dump(MM_SYSTEM_RAM)).classes.at(0).arenas.size(), 2u);
    ASSERT_EQ(mmfree(MM_SYSTEM_RAM, c), 0);  // alone in avail: kept
    ASSERT_EQ(mmfree(MM_SYSTEM_RAM, a), 0);  // back to the head of avail
    ASSERT_EQ(mmfree(MM_SYSTEM_RAM, b), 0);  // emptied, not alone: destroyed
    d = parse_one(dump(MM_SYSTEM_RAM));
    ASSERT_EQ(d.classes.size(), 1u);
    EXPECT_EQ(d.classes[0].committed, MiB);
    ASSERT_EQ(d.classes[0].arenas.size(), 1u);
    EXPECT_TRUE(d.classes[0].arenas[0].holds(c, 524288));
    EXPECT_EQ(d.classes[0].arenas[0].occ, 0u);
    EXPECT_EQ(mmreclaim(MM_SYSTEM_RAM), 0);
    EXPECT_TRUE(parse_one(dump(MM_SYSTEM_RAM)).classes.empty());
}

TEST(MemoryManager, VideoRamKeepsNothing) {
    make_context();
    void *p = nullptr;
    ASSERT_EQ(mmalloc(16, MM_VIDEO_RAM, &p), 0);
    ASSERT_EQ(mmfree(MM_VIDEO_RAM, p), 0);
    const std::string text = dump(MM_VIDEO_RAM);
    const auto d = parse_one(text);
    EXPECT_TRUE(d.classes.empty());
    EXPECT_EQ(d.pool.size(), 32u);
    EXPECT_EQ(mmreclaim(MM_VIDEO_RAM), 0);
    EXPECT_EQ(dump(MM_VIDEO_RAM), text);
}

// The kept class-20 arena of "System RAM" serves any request that fits one
// slot of it; one that does not fit moves it to `full` for good.
TEST(MemoryManager, SystemRamClass20KeptArena) {
    void *p = nullptr, *q = nullptr;
    ASSERT_EQ(mmalloc(4 * MiB, MM_SYSTEM_RAM, &p), 0);
    ASSERT_EQ(mmfree(MM_SYSTEM_RAM, p), 0);
    EXPECT_EQ(mmreclaim(MM_SYSTEM_RAM), 0);  // class 20 is never reclaimed
    ASSERT_EQ(mmalloc(2 * MiB, MM_SYSTEM_RAM, &q), 0);
    EXPECT_EQ(q, p);
    EXPECT_EQ(mmfree(MM_SYSTEM_RAM, static_cast<char *>(q) + MiB), -1);
    ASSERT_EQ(mmfree(MM_SYSTEM_RAM, q), 0);

    ASSERT_EQ(mmalloc(8 * MiB, MM_SYSTEM_RAM, &q), 0);
    EXPECT_NE(q, p);
    ASSERT_EQ(mmfree(MM_SYSTEM_RAM, q), 0);  // the new one is kept now
    void *r = nullptr;
    ASSERT_EQ(mmalloc(2 * MiB, MM_SYSTEM_RAM, &r), 0);
    EXPECT_EQ(r, q);
    EXPECT_EQ(mmfree(MM_SYSTEM_RAM, p), -1);  // nothing of the old one is handed out
    EXPECT_EQ(mmfree(MM_SYSTEM_RAM, r), 0);
    EXPECT_EQ(dump(MM_SYSTEM_RAM), "");  // class 20 shows nowhere
}

// ---------------------------------------------------------------- dumps

namespace {
const char opening[] = "/-------------------------- allocator contents ------------------------------\\\n";
const char closing[] = "\\-------------------------- allocator contents ------------------------------/\n";
}  // namespace

TEST(Dumps, NothingAllocated) {
    int r = 0;
    EXPECT_EQ(capture(mmallocinfoall, &r), std::string(opening) + closing);
    EXPECT_EQ(r, 158);
    for (int type : {MM_SYSTEM_RAM, MM_VIDEO_RAM, MM_PCI_SHARED}) {
        EXPECT_EQ(dump(type, &r), "");
        EXPECT_EQ(r, 0);
    }
}

TEST(Dumps, OneSixteenByteBlock) {
    void *p = nullptr;
    ASSERT_EQ(mmalloc(16, MM_SYSTEM_RAM, &p), 0);
    char line[256];
    std::string want = ">--------- Memory type: System RAM #0 -------\n";
    for (int i = 1; i < 32; ++i) {
        snprintf(line, sizeof line, "| \\--> %p pool\n", static_cast<void *>(static_cast<char *>(p) + i * MiB));
        want += line;
    }
    want += "|Allocated for slab: 1048576 bytes\n";
    snprintf(line, sizeof line,
             "| \\--> %p Msize: 1048576 Count: 65536 Occ: 1 Osiz: 16 Flags: 0x0001\n", p);
    want += line;
    want += "| Total allocations: 33554432\n";
    int r = 0;
    EXPECT_EQ(dump(MM_SYSTEM_RAM, &r), want);
    EXPECT_EQ(r, int(want.size()));
    EXPECT_EQ(capture(mmallocinfoall, &r), opening + want + closing);
    EXPECT_EQ(r, int(158 + want.size()));
}

// "Video RAM" prints its devices' parts but counts 0 characters.
TEST(Dumps, VideoRamLinesAreNotCounted) {
    make_context();
    void *p = nullptr;
    ASSERT_EQ(mmalloc(16, MM_VIDEO_RAM, &p), 0);
    int r = -2;
    const std::string text = dump(MM_VIDEO_RAM, &r);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(text.rfind(">--------- Memory type: Video RAM #0 -------\n", 0), 0u);
    EXPECT_EQ(capture(mmallocinfoall, &r), opening + text + closing);
    EXPECT_EQ(r, 158);
}

TEST(Dumps, PrintFailures) {
    make_context();
    void *p = nullptr, *q = nullptr;
    ASSERT_EQ(mmalloc(16, MM_SYSTEM_RAM, &p), 0);
    ASSERT_EQ(mmalloc(16, MM_VIDEO_RAM, &q), 0);
    const std::string full = capture(mmallocinfoall);
    const size_t sys = dump(MM_SYSTEM_RAM).size(), vid = dump(MM_VIDEO_RAM).size();
    size_t third_pool_line = 79;
    for (int i = 0; i < 4; ++i) third_pool_line = full.find('\n', third_pool_line) + 1;
    struct row {
        size_t limit;
        int result;
    } rows[] = {
        {0, 0},                       // opening banner
        {79, -1},                     // "System RAM" header
        {third_pool_line + 5, -1},    // within its pool lines
        {79 + sys, -1},               // "Video RAM"
        {79 + sys + vid, 0},          // closing banner
        {full.size(), int(158 + sys)},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.limit);
        limited_stream s(r.limit);
        EXPECT_EQ(mmallocinfoall(s.f), r.result);
        // Every line is one write: what was printed before the failure stays.
        const size_t kept = r.limit == 0 ? 0 : full.rfind('\n', r.limit - 1) + 1;
        EXPECT_EQ(s.text, full.substr(0, kept));
    }
    limited_stream none(0);
    EXPECT_EQ(mmallocinfo(none.f, MM_SYSTEM_RAM), -1);
    EXPECT_EQ(mmallocinfo(none.f, MM_VIDEO_RAM), -1);
    EXPECT_EQ(mmallocinfo(none.f, MM_PCI_SHARED), 0);  // nothing to print
}

// ---------------------------------------------------------------- statistics

TEST(Stats, IdleCapacityOfTheCurrentDevice) {
    make_context();
    mmstats st{};
    ASSERT_EQ(mmallocstats(&st), 0);
    EXPECT_GT(st.total, 0u);
    EXPECT_LE(st.used, st.total);
    EXPECT_EQ(st.live, st.used);

    void *p = nullptr, *a, *b, *c, *big;
    ASSERT_EQ(mmalloc(16, MM_VIDEO_RAM, &p), 0);
    ASSERT_EQ(mmallocstats(&st), 0);
    EXPECT_EQ(st.used - st.live, 31 * MiB + (65536 - 1) * 16);
    // A full arena counts as used, also before a scan moved it to `full`.
    ASSERT_EQ(mmalloc(524288, MM_VIDEO_RAM, &a), 0);
    ASSERT_EQ(mmalloc(524288, MM_VIDEO_RAM, &b), 0);
    ASSERT_EQ(mmallocstats(&st), 0);
    EXPECT_EQ(st.used - st.live, 30 * MiB + (65536 - 1) * 16);
    ASSERT_EQ(mmalloc(524288, MM_VIDEO_RAM, &c), 0);
    ASSERT_EQ(mmalloc(2 * MiB, MM_VIDEO_RAM, &big), 0);  // class 20 never counts
    ASSERT_EQ(mmallocstats(&st), 0);
    EXPECT_EQ(st.used - st.live, 29 * MiB + (65536 - 1) * 16 + 524288);
    for (void *x : {p, a, b, c, big}) ASSERT_EQ(mmfree(MM_VIDEO_RAM, x), 0);
    ASSERT_EQ(mmallocstats(&st), 0);
    EXPECT_EQ(st.used - st.live, 32 * MiB);  // a pool and no arenas
}

TEST(Stats, FailedQueries) {
    SIM_ONLY();
#if DEV_BACKEND_SIM
    make_context();
    struct row {
        sim::fault_kind kind;
        int code;
    } rows[] = {{sim::fault_kind::get_device, dev::err_no_device},
                {sim::fault_kind::mem_get_info, dev::err_invalid_context}};
    for (const auto &r : rows) {
        SCOPED_TRACE(sim::fault_name(r.kind));
        sim::inject(r.kind, 1, r.code);
        mmstats st{~0ull, ~0ull, ~0ull};
        EXPECT_EQ(mmallocstats(&st), r.code);
        EXPECT_EQ(st.total, 0u);
        EXPECT_EQ(st.live, 0u);
        EXPECT_EQ(st.used, 0u);
        dev::get_last_error();
    }
#endif
}
