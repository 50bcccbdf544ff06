// Test support for code that needs a device, on either backend.
//
//   TEST(Foo, Bar) {
//       testenv::device_env env;                 // init, device 0, context, cuBLAS
//       float *d = testenv::to_device(std::vector<float>{1, 2, 3});
//       ... launch ...
//       std::vector<float> h = testenv::from_device(d, 3);
//       testenv::device_free(d);
//   }
//
// Or derive a fixture from testenv::DeviceTest. SIM_ONLY() skips a test on
// the real backend (for sim::inject, sim::set_thread_order and the like).
// Failures of these helpers are reported as gtest failures.
#pragma once

#include "device/device.h"
#if defined(DEV_BACKEND_SIM)
#include "device/sim/control.h"
#endif

#include <gtest/gtest.h>

#include <vector>

namespace testenv {

#if defined(DEV_BACKEND_SIM)
constexpr bool sim_backend = true;
#else
constexpr bool sim_backend = false;
#endif

// A context on device 0, current on the constructing thread, and cuBLAS.
struct device_env {
    dev::drv_context ctx = nullptr;
    bool ok = false;

    device_env() {
        dev::drv_device d = 0;
        int e = dev::drv_init(0);
        if (e == 0) e = dev::drv_device_get(&d, 0);
        if (e == 0) e = dev::drv_ctx_create(&ctx, d);
        if (e == 0) e = dev::blas_init();
        ok = e == 0;
        if (!ok) ADD_FAILURE() << "no device for the test: error " << e;
    }
    ~device_env() {
        if (ok) dev::blas_shutdown();
        if (ctx) dev::drv_ctx_destroy(ctx);
    }
    device_env(const device_env &) = delete;
    device_env &operator=(const device_env &) = delete;
};

class DeviceTest : public ::testing::Test {
protected:
    device_env env;
};

template <typename T>
T *device_alloc(size_t n) {
    void *p = nullptr;
    int e = dev::malloc(&p, n * sizeof(T));
    if (e) ADD_FAILURE() << "device allocation of " << n * sizeof(T) << " bytes: error " << e;
    return static_cast<T *>(p);
}

template <typename T>
T *to_device(const std::vector<T> &v) {
    T *p = device_alloc<T>(v.size());
    if (p && !v.empty()) {
        int e = dev::memcpy_htod(p, v.data(), v.size() * sizeof(T));
        if (e) ADD_FAILURE() << "copy to the device: error " << e;
    }
    return p;
}

template <typename T>
std::vector<T> from_device(const T *p, size_t n) {
    std::vector<T> v(n);
    if (n) {
        int e = dev::memcpy_dtoh(v.data(), p, n * sizeof(T));
        if (e) ADD_FAILURE() << "copy from the device: error " << e;
    }
    return v;
}

inline void device_free(void *p) {
    int e = dev::free(p);
    if (e) ADD_FAILURE() << "device free: error " << e;
}

}  // namespace testenv

#define SIM_ONLY()                                                       \
    do {                                                                 \
        if (!::testenv::sim_backend) GTEST_SKIP() << "simulated device only"; \
    } while (0)
