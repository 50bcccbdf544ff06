// Error texts and the per-thread state machine, each case in a fresh thread.
#include "rt_support.h"

#include <thread>

using namespace rt;

namespace {

pkrError last_error() {
    pkrError e = -1;
    EXPECT_EQ(torvane_last_error(&e), 0);
    return e;
}

template <class F>
void in_new_thread(F f) {
    std::thread(f).join();
}

void *user_alloc(size_t) { return nullptr; }
int user_free(void *) { return 0; }

// Blocks in use of the "System RAM" class that holds context records.
unsigned records_in_use() {
    const auto d = parse_one(dump(MM_SYSTEM_RAM));
    for (const auto &c : d.classes)
        for (const auto &a : c.arenas)
            if (a.osiz == 32) return a.occ;
    return 0;
}

}  // namespace

TEST(ErrorTexts, EveryCode) {
    struct row {
        pkrError code;
        const char *text;
    } rows[] = {{0, "No error"},
                {1, "Out of memory"},
                {2, "Permission denied"},
                {3, "Bad address"},
                {4, "Invalid argument"},
                {5, "No hardware support"},
                {6, "Operation (parameter types) unsupported"},
                {7, "I/O error (processing hw/lib exception)"},
                {8, "(unsupported)"},
                {9, "Unsupported Mixed Type Arguments"},
                {10, "(unknown)"},
                {-1, "(unknown)"},
                {INT32_MIN, "(unknown)"}};
    for (const auto &r : rows) EXPECT_STREQ(pkr_strerror(r.code), r.text) << r.code;
}

// Default -> no context (3) -> no context (3, unchanged) -> own -> none (0).
TEST(ThreadState, DefaultToNoContextAndBack) {
    in_new_thread([] {
        EXPECT_EQ(last_error(), 0);
        EXPECT_EQ(torvane_thr_stop(), 3);
        EXPECT_EQ(torvane_thr_stop(), 3);
        EXPECT_EQ(last_error(), 0);  // stop stores nothing

        EXPECT_EQ(torvane_thr_init(2, nullptr), 4);  // leaves 4 as the last error
        EXPECT_EQ(torvane_thr_init(0, nullptr), 0);
        EXPECT_EQ(last_error(), 4);                  // a host context stores nothing
        EXPECT_EQ(records_in_use(), 1u);
        EXPECT_EQ(torvane_thr_stop(), 0);
        EXPECT_EQ(records_in_use(), 0u);              // the record went back
        EXPECT_EQ(torvane_thr_stop(), 3);
    });
}

TEST(ThreadState, GpuContextRecord) {
    in_new_thread([] {
        EXPECT_EQ(torvane_thr_init(2, nullptr), 4);
        EXPECT_EQ(torvane_thr_init(1, nullptr), 0);
        EXPECT_EQ(last_error(), 0);  // the GPU path stores 0
        EXPECT_EQ(records_in_use(), 1u);
        EXPECT_EQ(torvane_thr_stop(), 0);
        EXPECT_EQ(records_in_use(), 0u);
        const thr_options both{0, user_alloc, user_free};
        EXPECT_EQ(torvane_thr_init(1, &both), 0);
        EXPECT_EQ(torvane_thr_stop(), 0);
    });
}

TEST(ThreadState, RefusedOptions) {
    struct row {
        int type;
        thr_options opts;
        bool null_opts;
        pkrError result;
        bool stored;
    } rows[] = {
        {0, {0, user_alloc, nullptr}, false, 4, false},
        {0, {0, nullptr, user_free}, false, 4, false},
        {1, {1, user_alloc, nullptr}, false, 4, false},
        {2, {}, true, 4, true},
        {-1, {}, true, 4, true},
        {1, {1, nullptr, nullptr}, false, 4, true},
        {1, {0xff01, user_alloc, user_free}, false, 4, true},
    };
    for (const auto &r : rows) {
        in_new_thread([&r] {
            SCOPED_TRACE(r.type);
            EXPECT_EQ(torvane_thr_init(r.type, r.null_opts ? nullptr : &r.opts), r.result);
            EXPECT_EQ(last_error(), r.stored ? r.result : 0);
            EXPECT_EQ(records_in_use(), 0u);
            EXPECT_EQ(torvane_thr_stop(), 3);  // still the default context
        });
    }
}

// Only bit 0 of the lowest-addressed byte of `flags` is read.
TEST(ThreadState, OnlyTheLowestFlagBitCounts) {
    in_new_thread([] {
        thr_options opts{0x100, nullptr, nullptr};
        EXPECT_EQ(torvane_thr_init(1, &opts), 0);
        EXPECT_EQ(torvane_thr_stop(), 0);
    });
}

TEST(ThreadState, LastErrorIsPerThreadAndStays) {
    EXPECT_EQ(torvane_thr_init(7, nullptr), 4);
    EXPECT_EQ(last_error(), 4);
    EXPECT_EQ(last_error(), 4);
    in_new_thread([] { EXPECT_EQ(last_error(), 0); });
    EXPECT_EQ(torvane_clear_error(), 0);
    EXPECT_EQ(last_error(), 0);
}

// Every thread begins in the default context, also after others left theirs.
TEST(ThreadState, EveryThreadStartsWithTheDefault) {
    EXPECT_EQ(torvane_thr_stop(), 3);
    EXPECT_EQ(torvane_thr_init(0, nullptr), 0);
    for (int i = 0; i < 3; ++i)
        in_new_thread([] {
            EXPECT_EQ(last_error(), 0);
            EXPECT_EQ(torvane_thr_stop(), 3);
        });
    EXPECT_EQ(torvane_thr_stop(), 0);
}
