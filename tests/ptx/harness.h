// Test support for PTX modules: a device of the capability the corpus is
// compiled for, module loading from text or from the compiled corpus, and
// raw parameter blocks laid out as the driver takes them.
#pragma once

#include "device/kernel.h"
#include "support/devenv.h"
#if defined(DEV_BACKEND_SIM)
#include "device/sim/ptx/ptx.h"
#endif

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace ptxtest {

// The corpus targets sm_75: the simulated device gets that capability.
struct capable_device {
    capable_device() {
#if defined(DEV_BACKEND_SIM)
        sim::set_devices({sim::device_desc{7, 5, size_t(1) << 30}});
#endif
    }
};

class PtxTest : public ::testing::Test {
protected:
    capable_device cap;
    testenv::device_env env;
    std::vector<dev::drv_module> modules;

    ~PtxTest() override {
        for (dev::drv_module m : modules) dev::drv_module_unload(m);
    }

    // Loads PTX text; the function handle of `entry`, or null after a failure
    // reported to gtest.
    dev::drv_function load_text(const std::string &text, const char *entry = "kernel_main") {
        dev::drv_module m = nullptr;
        int e = dev::drv_module_load_data(&m, text.c_str());
        if (e != 0) {
            ADD_FAILURE() << "module load: error " << e << " " << log();
            return nullptr;
        }
        modules.push_back(m);
        dev::drv_function f = nullptr;
        e = dev::drv_module_get_function(&f, m, entry);
        if (e != 0) ADD_FAILURE() << "function " << entry << ": error " << e;
        return f;
    }

    // The corpus kernel `name` ("saxpy") in `variant` ("opt", "debug"); null
    // with the test skipped when the corpus was not built.
    std::string corpus_text(const std::string &name, const std::string &variant) {
        std::string dir = PTX_CORPUS_DIR;
        if (dir.empty()) return {};
        std::ifstream in(dir + "/" + name + "." + variant + ".ptx");
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    static std::string log() {
#if defined(DEV_BACKEND_SIM)
        return sim::ptx_log();
#else
        return {};
#endif
    }
};

#define PTX_CORPUS_OR_SKIP()                                                  \
    do {                                                                      \
        if (std::string(PTX_CORPUS_DIR).empty()) GTEST_SKIP() << "no nvcc";   \
    } while (0)

// A raw parameter block: each value at its alignment, as kernels declare them.
struct params {
    std::vector<unsigned char> bytes;
    template <typename T>
    params &add(const T &v, size_t align = alignof(T)) {
        size_t off = (bytes.size() + align - 1) / align * align;
        bytes.resize(off + sizeof(T));
        std::memcpy(bytes.data() + off, &v, sizeof(T));
        return *this;
    }
    params &ptr(const void *p) { return add(reinterpret_cast<unsigned long long>(p), 8); }
    params &shape(dim3 d) { return add(d, 4); }
};

inline int launch(dev::drv_function f, dim3 grid, dim3 block, unsigned shared, const params &p) {
    return dev::drv_launch(f, grid, block, shared, p.bytes.data(), p.bytes.size());
}

// Distance in units in the last place between two floats of one type.
template <typename F>
inline double ulps(F a, F b) {
    if (a == b) return 0;
    if (a != a || b != b) return (a != a && b != b) ? 0 : 1e30;
    double e = std::ldexp(1.0, std::ilogb(double(b)) - (sizeof(F) == 4 ? 23 : 52));
    if (std::fpclassify(b) == FP_ZERO || std::fpclassify(b) == FP_SUBNORMAL)
        e = sizeof(F) == 4 ? std::ldexp(1.0, -149) : std::ldexp(1.0, -1074);
    return std::fabs(double(a) - double(b)) / e;
}

}  // namespace ptxtest
