// The Windows utilities in one form (WINUTIL_FORM 64: unsigned 64-bit
// operands; 32: the x86 int operands) with one host's character unit, against
// a small stand-in for the three mx calls that `eq` makes.
#include "winutil_host.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>
#include <vector>

// A character array or any other array, as `eq` sees it.
struct mxArray_tag {
    bool text;
    std::basic_string<mxChar> units;
};
extern "C" {
bool mxIsChar(const mxArray *a) { return a->text; }
mxChar *mxGetChars(const mxArray *a) {
    return a->text ? const_cast<mxChar *>(a->units.data()) : nullptr;
}
size_t mxGetNumberOfElements(const mxArray *a) { return a->units.size(); }
}

namespace {

constexpr bool wide = WINUTIL_FORM == 64;

mxArray text(const std::string &s) {
    mxArray a{true, {}};
    for (unsigned char c : s) a.units.push_back(mxChar(c));
    return a;
}

TEST(WINUTIL_SUITE, Divup) {
    struct Case {
        operand_t a, b, want;
    };
    std::vector<Case> cases = {{10, 3, 4}, {9, 3, 3}, {0, 5, 0}, {1, 1, 1}, {7, 0, 0}, {0, 0, 0}};
    if constexpr (wide) {
        const operand_t top = operand_t(UINT64_MAX);
        cases.push_back({top, 1, top});
        cases.push_back({top, 2, operand_t(uint64_t(1) << 63)});
        cases.push_back({top, top, 1});
    } else {
        // Truncating signed division, plus one for any remainder.
        cases.push_back({operand_t(-7), 2, operand_t(-2)});
        cases.push_back({7, operand_t(-2), operand_t(-2)});
        cases.push_back({operand_t(-6), 3, operand_t(-2)});
        cases.push_back({operand_t(INT_MAX), 1, operand_t(INT_MAX)});
        cases.push_back({operand_t(INT_MAX), 2, operand_t(1 << 30)});
        // The one overflowing quotient wraps instead of trapping.
        cases.push_back({operand_t(INT_MIN), operand_t(-1), operand_t(INT_MIN)});
        cases.push_back({5, operand_t(-1), operand_t(-5)});
    }
    for (const Case &c : cases)
        EXPECT_EQ(divup(c.a, c.b), c.want) << c.a << " / " << c.b;
}

TEST(WINUTIL_SUITE, DivupRows) {
    struct Case {
        unsigned a, b, c, x, y;
    };
    const Case cases[] = {
        {65535u * 256, 256, 4, 65535, 1},
        {65536u * 256, 256, 4, 16384, 4},
        {65535u * 256 + 1, 256, 4, 16384, 4},  // 65536 blocks: rows of 4
        {10, 3, 7, 4, 1},
        {0, 256, 4, 0, 1},
        {100, 0, 4, 0, 1},          // zero divisor: 0 blocks, no trap
        {1u << 31, 1, 0, 0, 0},     // zero product b*c: 0 blocks of c rows
        {1u << 20, 2, 1u << 31, 0, 1u << 31},  // b*c wraps to 0 in 32 bits
    };
    for (const Case &c : cases) {
        if (!wide && c.a > unsigned(INT_MAX)) continue;  // negative int operands: own case below
        const dim3 r = divup_rows(c.a, c.b, c.c);
        EXPECT_EQ(r.x, c.x) << c.a << " " << c.b << " " << c.c;
        EXPECT_EQ(r.y, c.y) << c.a << " " << c.b << " " << c.c;
        EXPECT_EQ(r.z, 1u);
    }
    if constexpr (!wide) {
        // Operands above INT_MAX are negative ints in the x86 form: a quotient
        // below 65536, used as it is.
        const dim3 r = divup_rows(0x80000000u, 1, 4);
        EXPECT_EQ(r.x, 0x80000000u);
        EXPECT_EQ(r.y, 1u);
    }
}

TEST(WINUTIL_SUITE, Prod) {
    const operand_t some[] = {3, 5, 7, 11};
    EXPECT_EQ(prod(0, some), operand_t(1));
    EXPECT_EQ(prod(0, nullptr), operand_t(1));
    EXPECT_EQ(prod(1, some), operand_t(3));
    EXPECT_EQ(prod(4, some), operand_t(1155));
    const operand_t zero[] = {5, 0, 7};
    EXPECT_EQ(prod(3, zero), operand_t(0));
    if constexpr (wide) {
        const operand_t big[] = {operand_t(1) << 32, operand_t(1) << 31, 2};
        EXPECT_EQ(prod(2, big), operand_t(1) << 63);
        EXPECT_EQ(prod(3, big), operand_t(0));  // wraps in 64 bits
    } else {
        const operand_t neg[] = {operand_t(-3), 5, operand_t(-2)};
        EXPECT_EQ(prod(3, neg), operand_t(30));
        const operand_t big[] = {65536, 32768};
        EXPECT_EQ(prod(2, big), operand_t(INT_MIN));  // wraps in 32 bits
    }
}

TEST(WINUTIL_SUITE, Nextpow2AndLog2) {
    const std::pair<unsigned, unsigned> next[] = {
        {0, 0}, {1, 1}, {2, 2}, {3, 4}, {5, 8}, {64, 64}, {65, 128},
        {65536, 65536}, {65537, 131072}, {1u << 31, 1u << 31}, {(1u << 31) + 1, 0}, {UINT_MAX, 0}};
    for (auto [a, want] : next) EXPECT_EQ(nextpow2(a), want) << a;
    for (unsigned e = 0; e < 32; ++e) EXPECT_EQ(log2(1u << e), e);
    EXPECT_EQ(log2(0), 0u);
    EXPECT_EQ(log2(1024), 10u);
    // Not a power of two: the masks of all set bits together.
    EXPECT_EQ(log2(3), 1u);
    EXPECT_EQ(log2(UINT_MAX), 31u);
}

TEST(WINUTIL_SUITE, EqHelperComparesUnitsIgnoringAsciiCase) {
    struct Case {
        std::wstring s;
        const char *t;
        bool want;
    };
    const Case cases[] = {
        {L"Single", "single", true},
        {L"SINGLE", "single", true},
        {L"single", "SiNgLe", true},
        {L"Single", "singles", false},  // t longer
        {L"Single", "singl", false},    // t shorter
        {L"", "", true},
        {L"", "a", false},
        {L"a", "", false},
        {L"double", "single", false},
        {L"a[", "A{", false},  // '[' and '{' differ: only letters are lowered
        {L"@", "`", false},
    };
    for (const Case &c : cases)
        EXPECT_EQ(eq_helper(unsigned(c.s.size()), c.s.c_str(), c.t), c.want)
            << std::string(c.s.begin(), c.s.end()) << " vs " << c.t;
    // Units compare by the low byte of their lowered value.
    const wchar_t high[] = {wchar_t(0x141), wchar_t(0x162), 0};  // low bytes 'A', 'b'
    EXPECT_FALSE(eq_helper(2, high, "ab"));                      // 0x41 is not lowered
    const wchar_t low[] = {wchar_t(0x161), wchar_t(0x162), 0};    // low bytes 'a', 'b'
    EXPECT_TRUE(eq_helper(2, low, "AB"));
    // A char above 127 (negative as char) is compared as its byte.
    const wchar_t latin[] = {wchar_t(0xE9), 0};
    EXPECT_TRUE(eq_helper(1, latin, "\xE9"));
    EXPECT_FALSE(eq_helper(1, latin, "\xC9"));
    // Only n units are read, whatever follows them.
    EXPECT_TRUE(eq_helper(3, L"abcdef", "ABC"));
}

TEST(WINUTIL_SUITE, EqHelperLongTextNeedsNoStack) {
    const std::wstring s(1u << 22, L'x');
    const std::string t(1u << 22, 'X');
    EXPECT_TRUE(eq_helper(unsigned(s.size()), s.c_str(), t.c_str()));
    EXPECT_FALSE(eq_helper(unsigned(s.size()), s.c_str(), t.substr(1).c_str()));
}

TEST(WINUTIL_SUITE, EqOverHostText) {
    const mxArray single = text("Single");
    EXPECT_TRUE(eq(&single, "single"));
    EXPECT_FALSE(eq(&single, "singles"));
    EXPECT_FALSE(eq(&single, "singl"));
    const mxArray empty = text("");
    EXPECT_TRUE(eq(&empty, ""));
    EXPECT_FALSE(eq(&empty, "x"));
    // Arrays that are not text have no units to compare.
    const mxArray number{false, {}};
    EXPECT_FALSE(eq(&number, ""));
    EXPECT_FALSE(eq(&number, "single"));
    EXPECT_FALSE(eq(nullptr, ""));
    if (sizeof(mxChar) > 1) {
        mxArray wideText = text("ab");
        wideText.units[0] = mxChar(0x161);  // low byte 'a'
        EXPECT_TRUE(eq(&wideText, "AB"));
        wideText.units[0] = mxChar(0x141);  // low byte 'A', not lowered
        EXPECT_FALSE(eq(&wideText, "ab"));
    }
}

}  // namespace
