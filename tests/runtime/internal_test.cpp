// The runtime core from inside: the slab layer over a zone of the test's own
// (which only hands out addresses, never touches them), its consistency
// checks, and the callbacks that the thread contexts get.
#include "rt_support.h"

#include "torvane/mm.h"
#include "torvane/runtime.h"

#include <thread>

using namespace rt;

namespace {

// A zone that hands out address ranges from a private window and records calls.
struct fake_zone {
    static inline uintptr_t next = uintptr_t(1) << 44;
    static inline int maps = 0, unmaps = 0, fail_maps = 0, fail_unmaps = 0;
    static inline size_t last_map = 0;
    static int map(size_t objsize, void **base, size_t size, size_t *bitmap) {
        if (fail_maps > 0) {
            --fail_maps;
            return -1;
        }
        ++maps;
        last_map = size;
        *base = reinterpret_cast<void *>(next);
        next += (size + MiB - 1) / MiB * MiB + MiB;
        *bitmap = mm_bitmap_bytes(objsize, size);
        return 0;
    }
    static int unmap(void *, size_t) {
        ++unmaps;
        if (fail_unmaps > 0) {
            --fail_unmaps;
            return -1;
        }
        return 0;
    }
};
// Host allocations of the slab layer that fail on request: the test links
// with malloc and calloc wrapped. After `skip` more allocations, `fail` fail.
struct host_faults {
    static inline int skip = 0, fail = 0;
    static bool take() {
        if (fail == 0) return false;
        if (skip > 0) {
            --skip;
            return false;
        }
        --fail;
        return true;
    }
};

}  // namespace

extern "C" void *__real_malloc(size_t n);
extern "C" void *__real_calloc(size_t n, size_t size);
extern "C" void *__wrap_malloc(size_t n) { return host_faults::take() ? nullptr : __real_malloc(n); }
extern "C" void *__wrap_calloc(size_t n, size_t size) {
    return host_faults::take() ? nullptr : __real_calloc(n, size);
}

namespace {

const size_t page = 4096;
const mmzone keeping{"keeping", fake_zone::map, fake_zone::unmap, 1, &page};
const mmzone plain{"plain", fake_zone::map, fake_zone::unmap, 0, &page};

class Slab : public ::testing::Test {
protected:
    mmslab cls[mm_classes] = {};
    cpool *pool = nullptr;

    void SetUp() override {
        fake_zone::maps = fake_zone::unmaps = fake_zone::fail_maps = fake_zone::fail_unmaps = 0;
        host_faults::skip = host_faults::fail = 0;
    }
    // The host records go back, so that leak checks see only real leaks.
    void TearDown() override {
        for (auto &c : cls)
            for (mmarena *list : {c.avail, c.full})
                while (list) {
                    mmarena *next = list->next;
                    std::free(list->bitmap);
                    std::free(list);
                    list = next;
                }
        while (pool) {
            cpool *next = pool->next;
            std::free(pool);
            pool = next;
        }
    }

    void *take(int k, size_t s, const mmzone &z = plain) {
        void *p = nullptr;
        EXPECT_EQ(mmslab_acquire(&cls[k], &pool, &p, s, &z), 0);
        return p;
    }
    int give(int k, void *p, const mmzone &z = plain) {
        size_t o = k < mm_big_class ? size_t(1) << k : 0;
        return mmslab_release(&cls[k], &pool, p, &o, &z);
    }
    static size_t length(const mmarena *a) {
        size_t n = 0;
        for (; a; a = a->next) ++n;
        return n;
    }
    size_t pool_nodes() const {
        size_t n = 0;
        for (const cpool *c = pool; c; c = c->next) ++n;
        return n;
    }
};

}  // namespace

TEST_F(Slab, NewArenaMarksSlotsPastItsEnd) {
    struct row {
        int k;
        uint32_t word;  // word 0 after slot 0 was taken
        size_t words;
        bool in_full;
    } rows[] = {{0, 0x00000001, 32768, false}, {15, 0x00000001, 1, false},
                {16, 0xFFFF0001, 1, false},    {19, 0xFFFFFFFD, 1, false},
                {20, 0xFFFFFFFF, 1, true}};
    for (const auto &r : rows) {
        SCOPED_TRACE(r.k);
        void *p = take(r.k, size_t(1) << r.k);
        const mmarena *a = r.in_full ? cls[r.k].full : cls[r.k].avail;
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(r.in_full ? cls[r.k].avail : cls[r.k].full, nullptr);
        EXPECT_EQ(a->a.arena, p);
        EXPECT_EQ(a->a.size, MiB);
        EXPECT_EQ(a->occ, 1u);
        EXPECT_EQ(a->bitmap[0], r.word);
        EXPECT_EQ(a->words, r.words);
        EXPECT_EQ(a->flags, 1u);
        EXPECT_EQ(cls[r.k].committed, MiB);
    }
    EXPECT_EQ(fake_zone::maps, 1);  // one pool mapping served them all
    EXPECT_EQ(fake_zone::last_map, 32 * MiB);
}

TEST_F(Slab, FullArenaMovesOnlyWhenScanned) {
    void *a = take(19, 524288), *b = take(19, 524288);
    EXPECT_EQ(b, static_cast<char *>(a) + 524288);
    mmarena *first = cls[19].avail;
    EXPECT_EQ(first->occ, 2u);
    EXPECT_EQ(cls[19].full, nullptr);  // gave its last slot, not yet found full
    void *c = take(19, 524288);
    EXPECT_EQ(cls[19].full, first);
    EXPECT_EQ(cls[19].avail->a.arena, c);
    EXPECT_EQ(cls[19].committed, 2 * MiB);
    EXPECT_EQ(give(19, a), 0);  // back to the head of avail
    EXPECT_EQ(cls[19].avail, first);
    EXPECT_EQ(cls[19].full, nullptr);
    EXPECT_EQ(take(19, 524288), a);  // lowest clear bit of the first open word
}

TEST_F(Slab, LowestClearBitOfFirstOpenWord) {
    std::vector<char *> p;
    for (int i = 0; i < 100; ++i) p.push_back(static_cast<char *>(take(4, 16)));
    for (int i = 0; i < 100; ++i) EXPECT_EQ(p[i], p[0] + 16 * i);
    for (int i : {70, 3, 40, 33}) EXPECT_EQ(give(4, p[i]), 0);
    for (int i : {3, 33, 40, 70}) EXPECT_EQ(take(4, 16), p[i]);
    EXPECT_EQ(take(4, 16), p[0] + 1600);
}

TEST_F(Slab, RefusesWhatItDoesNotHold) {
    char *p = static_cast<char *>(take(6, 64));
    char *q = static_cast<char *>(take(6, 64));
    const uint32_t word = cls[6].avail->bitmap[0];
    int x;
    for (void *bad : {static_cast<void *>(p + 1), static_cast<void *>(q + 63),
                      static_cast<void *>(p + 128), static_cast<void *>(&x),
                      static_cast<void *>(p + MiB)}) {
        EXPECT_EQ(give(6, bad), -1);
        EXPECT_EQ(cls[6].avail->occ, 2u);
        EXPECT_EQ(cls[6].avail->bitmap[0], word);
    }
    EXPECT_EQ(give(5, p), -1);  // another class
    EXPECT_EQ(give(6, p), 0);
    EXPECT_EQ(give(6, p), -1);  // second free
    EXPECT_EQ(cls[6].avail->occ, 1u);
}

TEST_F(Slab, KeepRule) {
    // Kept: the only arena of avail, also when it comes back from full.
    void *p = take(4, 16, keeping);
    EXPECT_EQ(give(4, p, keeping), 0);
    ASSERT_NE(cls[4].avail, nullptr);
    EXPECT_EQ(cls[4].avail->occ, 0u);
    EXPECT_EQ(cls[4].committed, MiB);
    void *big = take(20, MiB, keeping);
    EXPECT_EQ(cls[20].full->a.arena, big);
    EXPECT_EQ(give(20, big, keeping), 0);
    EXPECT_EQ(cls[20].avail->a.arena, big);
    EXPECT_EQ(cls[20].full, nullptr);
    // Not kept without the zone's keep.
    void *q = take(5, 32);
    EXPECT_EQ(give(5, q), 0);
    EXPECT_EQ(cls[5].avail, nullptr);
    EXPECT_EQ(cls[5].committed, 0u);
    EXPECT_EQ(pool->addr, q);  // its chunk went back at the head
    EXPECT_EQ(take(9, 512), q);
}

TEST_F(Slab, ReclaimDestroysOneEmptyArena) {
    void *a = take(19, 524288, keeping), *b = take(19, 524288, keeping);
    void *c = take(19, 524288, keeping);
    EXPECT_EQ(give(19, c, keeping), 0);  // kept, alone in avail
    EXPECT_EQ(give(19, a, keeping), 0);
    EXPECT_EQ(length(cls[19].avail), 2u);
    EXPECT_EQ(mmslab_reclaim(&cls[19], &pool, &keeping), 0);
    EXPECT_EQ(length(cls[19].avail), 1u);
    EXPECT_EQ(cls[19].avail->occ, 1u);
    EXPECT_EQ(mmslab_reclaim(&cls[19], &pool, &keeping), 0);  // nothing empty left
    EXPECT_EQ(length(cls[19].avail), 1u);
    EXPECT_EQ(give(19, b, keeping), 0);
    EXPECT_EQ(mmslab_reclaim(&cls[19], &pool, &keeping), 0);
    EXPECT_EQ(cls[19].avail, nullptr);
    EXPECT_EQ(cls[19].committed, 0u);
}

TEST_F(Slab, PoolHandsOut31ChunksInOrder) {
    std::vector<char *> p;
    for (int i = 0; i < 31; ++i) p.push_back(static_cast<char *>(take(20, MiB)));
    for (int i = 0; i < 31; ++i) EXPECT_EQ(p[i], p[0] + i * MiB);
    EXPECT_EQ(fake_zone::maps, 1);
    ASSERT_EQ(pool_nodes(), 1u);
    EXPECT_EQ(pool->addr, p[0] + 31 * MiB);
    void *own = take(20, MiB);
    EXPECT_EQ(fake_zone::maps, 2);
    EXPECT_EQ(fake_zone::last_map, MiB);
    EXPECT_EQ(cls[20].full->flags, 0u);
    EXPECT_EQ(give(20, own), 0);
    EXPECT_EQ(fake_zone::unmaps, 1);
    EXPECT_EQ(give(20, p[7]), 0);
    EXPECT_EQ(fake_zone::unmaps, 1);
    ASSERT_EQ(pool_nodes(), 2u);
    EXPECT_EQ(pool->addr, p[7]);
}

TEST_F(Slab, FailedMappings) {
    // Neither the pool nor the arena's own memory: nothing changes.
    fake_zone::fail_maps = 2;
    void *p = &p;
    EXPECT_EQ(mmslab_acquire(&cls[4], &pool, &p, 16, &plain), -1);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(cls[4].avail, nullptr);
    EXPECT_EQ(cls[4].committed, 0u);
    EXPECT_EQ(pool, nullptr);
    // The pool fails once: the arena maps its own, the next one fills the pool.
    fake_zone::fail_maps = 1;
    void *own = take(4, 16);
    EXPECT_EQ(cls[4].avail->flags, 0u);
    EXPECT_EQ(fake_zone::last_map, MiB);
    void *chunk = take(10, 1024);
    EXPECT_EQ(cls[10].avail->flags, 1u);
    EXPECT_EQ(fake_zone::last_map, 32 * MiB);
    // A release whose unmap fails reports it; the arena is gone all the same.
    fake_zone::fail_unmaps = 1;
    EXPECT_NE(give(4, own), 0);
    EXPECT_EQ(cls[4].avail, nullptr);
    EXPECT_EQ(cls[4].committed, 0u);
    EXPECT_EQ(give(4, own), -1);
    EXPECT_EQ(give(10, chunk), 0);
}

// An arena whose bitmap cannot be had gives its memory back where it came
// from, also when the host has no memory left at all: a pool chunk returns
// to the head of the pool in the node it was taken with.
TEST_F(Slab, MemoryGoesBackWhenTheBitmapCannotBeHad) {
    void *first = take(10, 1024);  // fills the pool
    ASSERT_NE(first, nullptr);
    const size_t nodes = pool_nodes();
    void *const head = pool->addr;
    void *p = &p;
    host_faults::skip = 1;  // the arena record; then nothing more
    host_faults::fail = 1000;
    const int r = mmslab_acquire(&cls[4], &pool, &p, 16, &plain);
    host_faults::fail = 0;
    EXPECT_EQ(r, -1);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(cls[4].avail, nullptr);
    EXPECT_EQ(cls[4].committed, 0u);
    EXPECT_EQ(pool_nodes(), nodes);
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(pool->addr, head);
    EXPECT_EQ(take(4, 16), head);  // the next arena gets that chunk
    EXPECT_EQ(pool_nodes(), nodes - 1);

    // Memory mapped for the arena alone goes back to the zone.
    host_faults::skip = 1;
    host_faults::fail = 1000;
    EXPECT_EQ(mmslab_acquire(&cls[20], &pool, &p, 2 * MiB, &plain), -1);
    host_faults::fail = 0;
    EXPECT_EQ(fake_zone::last_map, 2 * MiB);
    EXPECT_EQ(fake_zone::unmaps, 1);
    EXPECT_EQ(cls[20].full, nullptr);
    EXPECT_EQ(cls[20].committed, 0u);
}

TEST_F(Slab, Class20KeptArena) {
    // A freed 4 MiB arena stays in avail and serves a 2 MiB request at slot 0.
    void *four = take(20, 4 * MiB, keeping);
    EXPECT_EQ(give(20, four, keeping), 0);
    size_t o = 0;
    EXPECT_EQ(take(20, 2 * MiB, keeping), four);
    EXPECT_EQ(mmslab_release(&cls[20], &pool, four, &o, &keeping), 0);
    EXPECT_EQ(o, 4 * MiB);  // the arena's own size comes back
    // An 8 MiB request first moves the empty arena to full, where it stays.
    void *eight = take(20, 8 * MiB, keeping);
    EXPECT_EQ(cls[20].full->a.arena, eight);
    EXPECT_EQ(cls[20].full->next->a.arena, four);
    EXPECT_EQ(cls[20].full->next->occ, 0u);
    EXPECT_EQ(cls[20].committed, 12 * MiB);
}

// An emptied arena from `full` is kept only into an empty `avail`.
TEST_F(Slab, EmptiedFullArenaKeptOnlyIntoEmptyAvail) {
    void *x = take(20, 8 * MiB, keeping);
    void *y = take(20, 4 * MiB, keeping);
    EXPECT_EQ(give(20, y, keeping), 0);
    ASSERT_NE(cls[20].avail, nullptr);
    EXPECT_EQ(cls[20].avail->a.arena, y);
    EXPECT_EQ(give(20, x, keeping), 0);
    EXPECT_EQ(fake_zone::unmaps, 1);
    EXPECT_EQ(length(cls[20].avail), 1u);
    EXPECT_EQ(cls[20].full, nullptr);
    EXPECT_EQ(cls[20].committed, 4 * MiB);
}

// The checks of the acquisition stay on in release builds; a bitmap without
// the marks past its last slot lets the block run past the arena.
TEST(SlabDeathTest, BlockOutsideItsArenaAborts) {
    uint32_t word = 0;
    mmarena bad{};
    bad.a = {reinterpret_cast<void *>(uintptr_t(1) << 40), MiB};
    bad.bitmap = &word;
    bad.words = 1;
    bad.objsize = 524288;
    mmslab cls{&bad, nullptr, MiB};
    cpool *pool = nullptr;
    void *p = nullptr;
    ASSERT_EQ(mmslab_acquire(&cls, &pool, &p, 524288, &plain), 0);
    ASSERT_EQ(mmslab_acquire(&cls, &pool, &p, 524288, &plain), 0);
    EXPECT_DEATH(mmslab_acquire(&cls, &pool, &p, 524288, &plain),
                 "src/torvane/slab\\.cpp:[0-9]+: mmslab_acquire: Assertion "
                 "`\\(char \\*\\)\\*addr \\+ s <= \\(char \\*\\)mp->a\\.arena \\+ mp->a\\.size' failed");
}

// ---------------------------------------------------------------- contexts

namespace {

// The memory type of a block, found by which type takes it back.
int type_of(void *p) {
    for (int type : {MM_SYSTEM_RAM, MM_VIDEO_RAM, MM_PCI_SHARED})
        if (mmfree(type, p) == 0) return type;
    return -1;
}

void *user_alloc(size_t) { return reinterpret_cast<void *>(0x1234); }
int user_free(void *) { return 5; }

}  // namespace

TEST(Contexts, CallbacksOfEachKind) {
    make_context();
    struct row {
        int type;
        uint32_t flags;
        int ctx_type, memory;  // memory type behind the callbacks
    } rows[] = {{0, 0, 0, MM_PCI_SHARED}, {0, 1, 0, MM_SYSTEM_RAM}, {1, 0, 1, MM_VIDEO_RAM}};
    for (const auto &r : rows) {
        SCOPED_TRACE(r.type * 10 + int(r.flags));
        thr_options opts{r.flags, nullptr, nullptr};
        thr_seterror(7);
        ASSERT_EQ(torvane_thr_init(r.type, &opts), 0);
        EXPECT_EQ(thr_geterror(), r.type == 0 ? 7 : 0);
        thr_context *ctx = thr_getctx();
        EXPECT_EQ(ctx->type, r.ctx_type);
        void *p = ctx->alloc(100);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(ctx->free(p), 0);
        EXPECT_EQ(ctx->free(p), -1);
        p = ctx->alloc(100);
        EXPECT_EQ(type_of(p), r.memory);
        // A request the memory type cannot satisfy gives null.
        if (r.memory != MM_PCI_SHARED) {
            EXPECT_EQ(ctx->alloc(size_t(1) << 50), nullptr);
        } else if (testenv::sim_backend) {
#if DEV_BACKEND_SIM
            sim::inject(sim::fault_kind::host_alloc, 1, dev::err_memory_allocation);
#endif
            EXPECT_EQ(ctx->alloc(2 * MiB), nullptr);
        }
        EXPECT_EQ(torvane_thr_stop(), 0);
        EXPECT_EQ(thr_getctx(), nullptr);
    }
}

TEST(Contexts, CallerCallbacksWin) {
    for (int type : {0, 1})
        for (uint32_t flags : {0u, 1u}) {
            if (type == 1 && flags) continue;
            thr_options opts{flags, user_alloc, user_free};
            ASSERT_EQ(torvane_thr_init(type, &opts), 0);
            EXPECT_EQ(thr_getctx()->alloc, user_alloc);
            EXPECT_EQ(thr_getctx()->free, user_free);
            EXPECT_EQ(torvane_thr_stop(), 0);
        }
}

TEST(Contexts, DefaultContextAndAccessors) {
    make_context();
    std::thread([] {
        thr_context *ctx = thr_getctx();
        ASSERT_NE(ctx, nullptr);
        EXPECT_EQ(ctx->type, 1);
        EXPECT_EQ(thr_geterror(), 0);
    }).join();
    thr_context *def = thr_getctx();
    void *p = def->alloc(64);
    EXPECT_EQ(type_of(p), MM_VIDEO_RAM);
    EXPECT_EQ(thr_seterror(9), 0);
    EXPECT_EQ(thr_geterror(), 9);
    EXPECT_EQ(thr_seterror(0), 0);
    EXPECT_EQ(thr_geterror(), 0);
    // Stopping the default leaves it untouched, and the thread without a context.
    EXPECT_EQ(torvane_thr_stop(), 3);
    EXPECT_EQ(thr_getctx(), nullptr);
    EXPECT_EQ(def->type, 1);
    EXPECT_EQ(thr_setctx(def), 0);
    EXPECT_EQ(thr_getctx(), def);
}
