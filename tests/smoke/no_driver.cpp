// Started where no GPU driver is installed, the cuda build must load and
// report the missing driver as errors of the seam: the driver API refuses to
// initialise, runtime calls fail and leave their error pending, cuBLAS does
// not start. Where a driver and a GPU are present there is nothing to check.
#include "device/device.h"

#include "smoke.h"

#include <cstdio>

namespace {

int failures = 0;

// `text` names the code: the driver's name, the runtime's string or none.
void expect(bool ok, const char *what, int code, const char *text = "") {
    std::printf("%-4s %-42s %4d  %s\n", ok ? "ok" : "FAIL", what, code, text);
    if (!ok) ++failures;
}

}  // namespace

int main() {
    int init = dev::drv_init(0);
    int count = 0;
    if (init == 0 && dev::drv_device_count(&count) == 0 && count > 0) {
        std::printf("GPU driver with %d device(s) present: nothing to check without a driver\n", count);
        return 0;
    }
    expect(init != 0, "drv_init fails", init, dev::drv_error_name(init));
    int e = dev::drv_device_count(&count);
    expect(e != 0, "drv_device_count fails", e, dev::drv_error_name(e));
    dev::drv_context ctx = nullptr;
    e = dev::drv_ctx_create(&ctx, 0);
    expect(e != 0 && !ctx, "drv_ctx_create fails", e, dev::drv_error_name(e));

    void *p = nullptr;
    int m = dev::malloc(&p, 1024);
    expect(m != 0, "malloc fails", m, dev::error_string(m));
    e = dev::get_last_error();
    expect(e == m, "get_last_error reads the malloc's error", e, dev::error_string(e));

    int l = smoke_launch(static_cast<float *>(p), 256);
    expect(l != 0, "launch fails", l, dev::error_string(l));
    e = dev::get_last_error();
    expect(e == l, "get_last_error reads the launch's error", e, dev::error_string(e));

    size_t offset = 0;
    e = smoke_bind(&offset, static_cast<const float *>(p), 1024);
    expect(e != 0, "bind_texture fails", e, dev::error_string(e));
    dev::get_last_error();

    e = dev::blas_init();
    expect(e != 0, "blas_init fails (cuBLAS status)", e);

    std::printf("%s\n", failures ? "FAILED" : "passed");
    return failures ? 1 : 0;
}
