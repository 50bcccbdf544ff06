// Array-kernel tests: element kinds and host arrays of any kind (those of the
// matrix-multiply tests), output buffers with a guard, the thread's last
// error and a pending runtime error.
#pragma once

#include "mtimes/support.h"
#include "torvane_arrays.h"

#include <cstring>
#include <string>
#include <vector>

namespace at {

using mt::device_matrix;
using mt::kind;
using mt::kc;
using mt::kd;
using mt::kdc;
using mt::kf;
using mt::matrix;

template <class T> constexpr kind kind_of();
template <> constexpr kind kind_of<float>() { return kf; }
template <> constexpr kind kind_of<double>() { return kd; }
template <> constexpr kind kind_of<float2>() { return kc; }
template <> constexpr kind kind_of<double2>() { return kdc; }

inline const char *type_name(kind k) {
    return k.cplx ? (k.dbl ? "double2" : "float2") : (k.dbl ? "double" : "float");
}

inline pkrError last_error() {
    pkrError e = -1;
    EXPECT_EQ(torvane_last_error(&e), 0);
    return e;
}

// Leaves the runtime's invalid-configuration error (9) pending, as a launch
// that the runtime refused does.
void leave_pending();

#if defined(DEV_BACKEND_SIM)
// Records the calling thread's device calls from here on.
inline void start_log() {
    sim::log_calls(true);
    sim::clear_calls();
}

// The calling thread's latest launch in the simulated device's call log.
inline sim::call last_launch() {
    const std::vector<sim::call> calls = sim::calls();
    for (size_t i = calls.size(); i-- > 0;)
        if (calls[i].kind == sim::call_kind::launch) return calls[i];
    ADD_FAILURE() << "no launch logged";
    return {};
}
#endif

constexpr unsigned char fill = 0xA5;  // what an output buffer holds before a call
constexpr size_t guard = 64;          // bytes past the output that must stay untouched

// A device output of `bytes` bytes followed by a guard, all `fill`.
struct out_buffer {
    size_t bytes;
    device_matrix d;
    explicit out_buffer(size_t b) : bytes(b), d(b + guard, fill) {}
    void *p() const { return d.p; }
    // The output's bytes; fails the test where the guard was written.
    std::vector<unsigned char> read() const {
        std::vector<unsigned char> all = d.read();
        for (size_t i = bytes; i < all.size(); ++i)
            if (all[i] != fill) {
                ADD_FAILURE() << "byte " << i - bytes << " past the output written";
                break;
            }
        all.resize(bytes);
        return all;
    }
    bool untouched() const {
        for (unsigned char b : d.read())
            if (b != fill) return false;
        return true;
    }
};

// Bitwise comparison, reporting the first element of `size` bytes that differs.
inline void expect_bytes(const std::vector<unsigned char> &got, const std::vector<unsigned char> &want,
                         size_t size, const std::string &what) {
    ASSERT_EQ(got.size(), want.size()) << what;
    for (size_t i = 0; i < got.size(); i += size)
        if (std::memcmp(&got[i], &want[i], size) != 0) {
            ADD_FAILURE() << what << ": element " << i / size << " differs";
            return;
        }
}

template <class T>
std::vector<unsigned char> as_bytes(const std::vector<T> &v) {
    std::vector<unsigned char> b(v.size() * sizeof(T));
    if (!b.empty()) std::memcpy(b.data(), v.data(), b.size());
    return b;
}

}  // namespace at
