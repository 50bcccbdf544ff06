// Fixture of the SDK and engine unit tests: a fresh fake host with gpu_entry
// and garray defined, a fresh engine, and helpers to make and read arrays.
#pragma once

#include "control.h"
#include "fakehost.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace mextest {

// The GPU array objects garray made since the list was last cleared.
inline std::vector<mxArray *> &made_objects() {
    static std::vector<mxArray *> made;
    return made;
}

inline void define_host_functions() {
    fake::define("gpu_entry", [](int, mxArray **out, int, mxArray **) {
        out[0] = fake::scalar_u64(reinterpret_cast<uint64_t>(pelkor::engine()));
    });
    fake::define("garray", [](int, mxArray **out, int, mxArray **in) {
        out[0] = mxDuplicateArray(in[0]);
        made_objects().push_back(out[0]);
    });
}

struct HostTest : ::testing::Test {
    void SetUp() override {
        fake::reset();
        pelkor::reset();
        made_objects().clear();
        define_host_functions();
    }
    void TearDown() override {
        EXPECT_TRUE(pelkor::faults().empty()) << ::testing::PrintToString(pelkor::faults());
        EXPECT_EQ(fake::destroyed_uses(), 0u);
        pelkor::reset();
        fake::reset();
    }
};

// A matrix of doubles (or `c`) holding 1, 2, 3, ...
inline mxArray *counting(mwSize m, mwSize n, mxClassID c = mxDOUBLE_CLASS, bool complex = false) {
    mxArray *a = fake::matrix(m, n, c, complex);
    for (size_t i = 0; i < m * n; ++i) {
        double v = double(i + 1);
        switch (c) {
        case mxDOUBLE_CLASS: static_cast<double *>(mxGetData(a))[i] = v; break;
        case mxSINGLE_CLASS: static_cast<float *>(mxGetData(a))[i] = float(v); break;
        default: static_cast<uint8_t *>(mxGetData(a))[i] = uint8_t(v); break;
        }
        if (complex && c == mxDOUBLE_CLASS) static_cast<double *>(mxGetImagData(a))[i] = -v;
        if (complex && c == mxSINGLE_CLASS) static_cast<float *>(mxGetImagData(a))[i] = float(-v);
    }
    return a;
}

inline mxArray *gpu(mxArray *data, unsigned tesk = 0, unsigned bananas = 1, unsigned kiwis = 0) {
    mxArray *g = pelkor::make_garray(data, tesk, bananas, kiwis);
    EXPECT_NE(g, nullptr);
    return g;
}

inline std::vector<double> values(const mxArray *a) {
    std::vector<double> v;
    for (size_t i = 0; i < mxGetNumberOfElements(a); ++i) {
        switch (mxGetClassID(a)) {
        case mxDOUBLE_CLASS: v.push_back(static_cast<double *>(mxGetData(a))[i]); break;
        case mxSINGLE_CLASS: v.push_back(static_cast<float *>(mxGetData(a))[i]); break;
        case mxINT8_CLASS: v.push_back(static_cast<int8_t *>(mxGetData(a))[i]); break;
        default: v.push_back(static_cast<uint8_t *>(mxGetData(a))[i]); break;
        }
    }
    return v;
}

inline std::vector<double> imag_values(const mxArray *a) {
    std::vector<double> v;
    for (size_t i = 0; i < mxGetNumberOfElements(a); ++i) {
        if (mxGetClassID(a) == mxDOUBLE_CLASS) v.push_back(static_cast<double *>(mxGetImagData(a))[i]);
        else v.push_back(static_cast<float *>(mxGetImagData(a))[i]);
    }
    return v;
}

inline std::vector<uint64_t> dims_of(const mxArray *g) {
    const mxArray *d = mxGetField(g, 0, "dims");
    const auto *p = static_cast<const uint64_t *>(mxGetData(d));
    return std::vector<uint64_t>(p, p + mxGetNumberOfElements(d));
}

}  // namespace mextest
