// Uniform random numbers through the library's entries: the numbers against
// a host model of every generator, the seed chain, the size query and its
// bounds, and failures of the upload and the launch.
#include "model.h"
#include "support/devenv.h"
#include "support/exports.h"
#include "torvane_grand.h"

#include <algorithm>
#include <cstring>

namespace {

pkrError last_error() {
    pkrError e = -1;
    EXPECT_EQ(torvane_last_error(&e), 0);
    return e;
}

struct precision {
    const char *name;
    pkrError (*fill)(void *, unsigned, int *);
    size_t bytes;
};
const precision precisions[] = {{"double", &pkr_grand_f64, 8}, {"single", &pkr_grand_f32, 4}};

class Grand : public testenv::DeviceTest {
protected:
    void *buf = nullptr;
    size_t buf_bytes = 0;
    // The seed is process-wide: every case starts from the initial one,
    // whatever ran before it in this process.
    void SetUp() override { pkr_grand_set_seed(777); }
    void TearDown() override { release(); }
    void release() {
        if (buf) testenv::device_free(buf);
        buf = nullptr;
    }
    // A device buffer of `bytes` bytes, every byte 0xAB.
    void *buffer(size_t bytes) {
        release();
        buf = testenv::to_device(std::vector<unsigned char>(bytes, 0xAB));
        buf_bytes = bytes;
        return buf;
    }
    // Asks for the size of n numbers and makes a buffer of that size.
    int sized(const precision &p, unsigned n) {
        int size = -1;
        EXPECT_EQ(p.fill(nullptr, n, &size), 0);
        buffer(size_t(size));
        return size;
    }
    pkrError query_and_fill(const precision &p, unsigned n) {
        int size = sized(p, n);
        return p.fill(buf, n, &size);
    }
    // Leaves 7 as the thread's last error, the seed as it was: a failed
    // copy's pending error cancels a fill.
    void store_error() {
        const unsigned seed = pkr_grand_get_seed();
        char host[4] = {};
        EXPECT_NE(dev::memcpy_htod(reinterpret_cast<void *>(16), host, sizeof host), 0);
        int size = 0;
        EXPECT_EQ(pkr_grand_f32(nullptr, 0, &size), 7);
        EXPECT_EQ(last_error(), 7);
        pkr_grand_set_seed(seed);
    }
    template <typename T>
    std::vector<T> read() {
        EXPECT_EQ(dev::synchronize(), 0);
        return testenv::from_device(static_cast<T *>(buf), buf_bytes / sizeof(T));
    }
    template <typename T>
    void expect_model(uint32_t seed, int per_rng) {
        const std::vector<T> got = read<T>(), want = grand_model::fill<T>(seed, per_rng);
        ASSERT_EQ(got.size(), want.size());
        size_t bad = 0, first = 0;
        for (size_t i = 0; i < got.size(); ++i)
            if (std::memcmp(&got[i], &want[i], sizeof(T)) != 0 && bad++ == 0) first = i;
        EXPECT_EQ(bad, 0u) << "first at element " << first << " (generator " << first % 4096
                           << ", number " << first / 4096 << ")";
    }
};

// The entries leave the library under plain names; the tables and the
// kernels do not.
TEST(GrandExports, OnlyThePlainEntries) {
    const std::set<std::string> want = {"pkr_grand_f32", "pkr_grand_f64", "pkr_grand_get_seed",
                                        "pkr_grand_set_seed"};
    EXPECT_EQ(testenv::exported_names(TORVANE_LIB_PATH, {"grand", "MT", "Random"}), want);
}

// Every generator of the table, bit for bit, in both precisions; the
// seeds include ones whose products wrap at 2^32.
TEST_F(Grand, NumbersMatchTheModelOfEveryGenerator) {
    const struct {
        uint32_t seed;
        unsigned n;
        int per_rng;
    } cases[] = {{777, 1, 2}, {0xFFFFFFFFu, 4096 * 5 + 1, 6}, {2147483647u, 4096 * 4, 4}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.seed);
        pkr_grand_set_seed(c.seed);
        ASSERT_EQ(query_and_fill(precisions[0], c.n), 0);
        expect_model<double>(c.seed, c.per_rng);
        pkr_grand_set_seed(c.seed);
        ASSERT_EQ(query_and_fill(precisions[1], c.n), 0);
        expect_model<float>(c.seed, c.per_rng);
    }
}

TEST_F(Grand, ValuesLieInTheUnitInterval) {
    for (const precision &p : precisions) {
        ASSERT_EQ(query_and_fill(p, 8192 * 4), 0);
        double lo = 1, hi = 0, sum = 0;
        size_t count = 0;
        auto scan = [&](auto values) {
            for (auto v : values) {
                lo = v < lo ? v : lo;
                hi = v > hi ? v : hi;
                sum += v;
                ++count;
            }
        };
        if (p.bytes == 8) scan(read<double>()); else scan(read<float>());
        EXPECT_GT(lo, 0.0) << p.name;
        EXPECT_LE(hi, 1.0) << p.name;
        EXPECT_NEAR(sum / count, 0.5, 0.005) << p.name;
    }
}

// The chain by hand: 16807 * 13059039 = 219483268473 is 439936377 modulo
// 2^32 (below 2^31 - 1, so it stays); the exact remainder of the full product
// modulo 2^31 - 1 would be 439936479.
TEST(GrandSeeds, ChainWrapsBeforeTheRemainder) {
    const struct {
        uint32_t seed, s1, s2, s4095;
    } cases[] = {
        {777, 13059039u, 439936377u, 1754167033u},
        {1, 16807u, 282475249u, 2063522358u},
        {0xFFFFFFFFu, 2147466842u, 1865025206u, 1620060979u},
        {2147483647u, 2147466841u, 1865008399u, 812950008u},
        // Chains that would reach 0 take 2^31 - 1 there and go on from it.
        {0, 2147466841u, 1865008399u, 812950008u},
        {868985321u, 2147483647u, 2147466841u, 1125091121u},
        {3249834479u, 868985321u, 2147483647u, 1938769232u},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.seed);
        const std::vector<uint32_t> s = grand_model::seeds(c.seed);
        EXPECT_EQ(s[1], c.s1);
        EXPECT_EQ(s[2], c.s2);
        EXPECT_EQ(s[4095], c.s4095);
    }
}

// The seeds whose chain would give a generator seed 0 (from the seed itself,
// from generator 1 or from generator 2 on): no generator starts from 0, the
// numbers are the model's, and the seed moves. 2345864403 is moved to 0 by a
// fill, and the fill after it goes on from there.
TEST_F(Grand, SeedsThatWouldReachZero) {
    const struct {
        uint32_t seed, next;
    } cases[] = {
        {0, 812950008u},           {868985321u, 1994076442u},  {1737970642u, 2863061763u},
        {2204701662u, 4143470894u}, {3073686983u, 717488919u}, {3249834479u, 893636415u},
        {4118819800u, 1762621736u}, {2345864403u, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.seed);
        const std::vector<uint32_t> s = grand_model::seeds(c.seed);
        EXPECT_EQ(std::count(s.begin(), s.end(), 0u), 0);
        pkr_grand_set_seed(c.seed);
        ASSERT_EQ(query_and_fill(precisions[0], 4096 * 8), 0);
        EXPECT_EQ(pkr_grand_get_seed(), c.next);
        expect_model<double>(c.seed, 8);
    }
    ASSERT_EQ(pkr_grand_get_seed(), 0u);
    ASSERT_EQ(query_and_fill(precisions[1], 4096 * 8), 0);
    EXPECT_EQ(pkr_grand_get_seed(), 812950008u);
    expect_model<float>(0, 8);
    // Generators from one shared state put their number 7 on one side of 0.5.
    const std::vector<float> v = read<float>();
    const auto low = std::count_if(v.begin() + 7 * 4096, v.begin() + 8 * 4096,
                                   [](float x) { return x < 0.5f; });
    EXPECT_GT(low, 1800);
    EXPECT_LT(low, 2300);
}

// The seed advances by the last generator's seed on every fill, and the
// generators of a fill run from the chain of the seed before it.
TEST_F(Grand, SeedAdvancesOnEveryFill) {
    EXPECT_EQ(pkr_grand_get_seed(), 777u);
    ASSERT_EQ(query_and_fill(precisions[0], 1), 0);
    EXPECT_EQ(pkr_grand_get_seed(), 1754167810u);
    ASSERT_EQ(query_and_fill(precisions[1], 1), 0);
    EXPECT_EQ(pkr_grand_get_seed(), 3140063192u);
    expect_model<float>(1754167810u, 2);
}

TEST_F(Grand, SetSeedRepeatsAFill) {
    pkr_grand_set_seed(12345);
    EXPECT_EQ(pkr_grand_get_seed(), 12345u);
    ASSERT_EQ(query_and_fill(precisions[0], 4096), 0);
    const std::vector<double> first = read<double>();
    const unsigned after = pkr_grand_get_seed();
    EXPECT_NE(after, 12345u);

    pkr_grand_set_seed(12345);
    ASSERT_EQ(query_and_fill(precisions[0], 4096), 0);
    EXPECT_EQ(read<double>(), first);
    EXPECT_EQ(pkr_grand_get_seed(), after);
    ASSERT_EQ(query_and_fill(precisions[0], 4096), 0);
    EXPECT_NE(read<double>(), first);  // unset, the next fill continues
}

// Bytes for n numbers: 4096 generators times ceil(n / 4096) rounded up to
// even, up to the largest n whose size fits an int. Above it, and for a null
// size, the answer is 4 and nothing changes.
TEST_F(Grand, SizeQuery) {
    const struct {
        unsigned n;
        int f64, f32;  // -1: refused with 4
    } cases[] = {
        {0, 0, 0},
        {1, 65536, 32768},
        {4096, 65536, 32768},
        {4097, 65536, 32768},
        {8193, 131072, 65536},
        {12288, 131072, 65536},
        {268427264u, 2147418112, 1073709056},
        {268427265u, -1, 1073741824},
        {536862720u, -1, 2147450880},
        {536862721u, -1, -1},
        {0xFFFFFFFFu, -1, -1},
    };
    store_error();
    for (const auto &c : cases)
        for (const precision &p : precisions) {
            SCOPED_TRACE(std::to_string(c.n) + " " + p.name);
            const int want = p.bytes == 8 ? c.f64 : c.f32;
            int size = -5;
            EXPECT_EQ(p.fill(nullptr, c.n, &size), want < 0 ? 4 : 0);
            EXPECT_EQ(size, want < 0 ? -5 : want);
            EXPECT_EQ(pkr_grand_get_seed(), 777u);
            EXPECT_EQ(p.fill(nullptr, c.n, nullptr), 4);
        }
    EXPECT_EQ(last_error(), 7);
    // A fill above the bound is refused before anything happens.
    int size = 0;
    EXPECT_EQ(pkr_grand_f64(nullptr, 268427265u, &size), 4);
    EXPECT_EQ(pkr_grand_get_seed(), 777u);
    EXPECT_EQ(last_error(), 7);
}

// n = 0 still launches: nothing is written, the seed advances, 0 is stored.
TEST_F(Grand, ZeroNumbersLaunchAndWriteNothing) {
    for (const precision &p : precisions) {
        SCOPED_TRACE(p.name);
        const unsigned before = pkr_grand_get_seed();
        store_error();
        int size = 0;
        buffer(64);
        EXPECT_EQ(p.fill(buf, 0, &size), 0);
        EXPECT_EQ(last_error(), 0);
        EXPECT_NE(pkr_grand_get_seed(), before);
        for (unsigned char b : read<unsigned char>()) ASSERT_EQ(b, 0xAB);
    }
}

// An error left pending by earlier work cancels one fill: mapped, stored
// and returned, nothing written, the seed advanced; the next fill goes ahead.
TEST_F(Grand, PendingErrorCancelsOneFill) {
    for (const precision &p : precisions) {
        SCOPED_TRACE(p.name);
        int size = sized(p, 4096);
        char host[4] = {};
        ASSERT_NE(dev::memcpy_htod(reinterpret_cast<void *>(16), host, sizeof host), 0);
        const unsigned before = pkr_grand_get_seed();
        EXPECT_EQ(p.fill(buf, 4096, &size), 7);
        EXPECT_EQ(last_error(), 7);
        EXPECT_NE(pkr_grand_get_seed(), before);
        EXPECT_EQ(dev::synchronize(), 0);
        for (unsigned char b : read<unsigned char>()) ASSERT_EQ(b, 0xAB);
        const unsigned seed = pkr_grand_get_seed();
        EXPECT_EQ(p.fill(buf, 4096, &size), 0);
        EXPECT_EQ(last_error(), 0);
        if (p.bytes == 8) expect_model<double>(seed, 2); else expect_model<float>(seed, 2);
    }
}

#if defined(DEV_BACKEND_SIM)
// One upload of the staging table to the precision's own array, then one
// launch of 32 blocks of 128 threads; a size query does neither.
TEST_F(Grand, UploadsThenLaunchesOnce) {
    sim::log_calls(true);
    const void *dst[2] = {};
    for (int i = 0; i < 2; ++i) {
        const precision &p = precisions[i];
        SCOPED_TRACE(p.name);
        int size = sized(p, 100);
        sim::clear_calls();
        ASSERT_EQ(p.fill(buf, 100, &size), 0);
        const std::vector<sim::call> c = sim::calls();
        ASSERT_EQ(c.size(), 2u);
        EXPECT_EQ(c[0].kind, sim::call_kind::memcpy_to_symbol);
        EXPECT_EQ(c[0].bytes, 65536u);
        EXPECT_EQ(c[0].offset, 0u);
        dst[i] = c[0].dst;
        EXPECT_EQ(c[1].kind, sim::call_kind::launch);
        EXPECT_EQ(c[1].name, i == 0 ? "grand::RandomGPU<double>" : "grand::RandomGPU<float>");
        EXPECT_EQ(c[1].grid.x, 32u);
        EXPECT_EQ(c[1].grid.y, 1u);
        EXPECT_EQ(c[1].block.x, 128u);
        EXPECT_EQ(c[1].block.y, 1u);
    }
    EXPECT_NE(dst[0], dst[1]);
}

// A failed upload answers 7 and stores nothing; the seed has advanced; the
// copy's error stays pending and cancels the next fill, which stores it.
TEST_F(Grand, FailedUpload) {
    for (const precision &p : precisions) {
        SCOPED_TRACE(p.name);
        int size = sized(p, 4096);
        ASSERT_EQ(p.fill(buf, 4096, &size), 0);  // stores 0
        pkr_grand_set_seed(777);
        const size_t launches = sim::stats().launches;
        sim::inject(sim::fault_kind::memcpy_to_symbol, 1, 2);
        EXPECT_EQ(p.fill(buf, 4096, &size), 7);
        EXPECT_EQ(last_error(), 0);
        EXPECT_EQ(pkr_grand_get_seed(), 1754167810u);
        EXPECT_EQ(p.fill(buf, 4096, &size), 1);  // the copy's pending 2
        EXPECT_EQ(last_error(), 1);
        EXPECT_EQ(sim::stats().launches, launches);
        EXPECT_EQ(pkr_grand_get_seed(), 3140063192u);
        EXPECT_EQ(p.fill(buf, 4096, &size), 0);
        EXPECT_EQ(last_error(), 0);
        EXPECT_EQ(sim::stats().launches, launches + 1);
    }
}

// A refused launch and an earlier kernel's fault: mapped, stored, returned,
// with the seed advanced; the call after them fills again.
TEST_F(Grand, LaunchFailures) {
    const struct {
        sim::fault_kind kind;
        int code;
        pkrError want;
    } cases[] = {
        {sim::fault_kind::launch_config, 2, 1},
        {sim::fault_kind::launch_config, 9, 7},
        {sim::fault_kind::launch_config, 209, 5},
    };
    for (const precision &p : precisions)
        for (const auto &c : cases) {
            SCOPED_TRACE(std::string(p.name) + " " + std::to_string(c.code));
            int size = sized(p, 4096);
            const unsigned before = pkr_grand_get_seed();
            sim::inject(c.kind, 1, c.code);
            EXPECT_EQ(p.fill(buf, 4096, &size), c.want);
            EXPECT_EQ(last_error(), c.want);
            EXPECT_NE(pkr_grand_get_seed(), before);
            for (unsigned char b : read<unsigned char>()) ASSERT_EQ(b, 0xAB);
            EXPECT_EQ(p.fill(buf, 4096, &size), 0);
            EXPECT_EQ(last_error(), 0);
        }
}

#endif

}  // namespace
