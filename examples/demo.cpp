// Sums the columns and the whole of a matrix on the device, the way a caller
// of the library does: it sets up its own context, since the library never does.
#include "device/device.h"
#include "torvane.h"
#include "torvane_reduce.h"

#include <cstdio>
#include <vector>

int main() {
    dev::drv_device device;
    dev::drv_context ctx;
    int major = 0, minor = 0;
    if (dev::drv_init(0) || dev::drv_device_get(&device, 0) ||
        dev::drv_compute_capability(&major, &minor, device) || dev::drv_ctx_create(&ctx, device)) {
        std::fprintf(stderr, "no usable device\n");
        return 1;
    }
    std::printf("device 0: compute capability %d.%d\n", major, minor);

    const unsigned rows = 1000, cols = 20;
    std::vector<float> host(rows * cols);
    for (unsigned j = 0; j < cols; ++j)
        for (unsigned i = 0; i < rows; ++i) host[j * rows + i] = float(j + 1) * 0.5f;

    void *in = nullptr, *out = nullptr;
    if (mmalloc(host.size() * sizeof(float), MM_VIDEO_RAM, &in) ||
        mmalloc(cols * sizeof(float), MM_VIDEO_RAM, &out)) {
        std::fprintf(stderr, "no device memory\n");
        return 1;
    }
    dev::memcpy_htod(in, host.data(), host.size() * sizeof(float));

    pkrError e = pkr_sum_columns_f32f32(static_cast<float *>(out), static_cast<float *>(in), rows, cols);
    std::vector<float> sums(cols);
    dev::memcpy_dtoh(sums.data(), out, cols * sizeof(float));
    std::printf("sum of each column of a %ux%u matrix: %s\n", rows, cols, pkr_strerror(e));
    for (unsigned j = 0; j < cols; j += 5) std::printf("  column %2u: %g\n", j + 1, sums[j]);

    float total = 0;
    e = pkr_sum_vector_f32f32(&total, static_cast<float *>(in), rows * cols);
    std::printf("sum of all %u elements: %g (%s)\n", rows * cols, total, pkr_strerror(e));

    mmstats st;
    if (mmallocstats(&st) == 0)
        std::printf("device memory: %llu bytes, %llu in use, %llu of them live\n",
                    (unsigned long long)st.total, (unsigned long long)st.used,
                    (unsigned long long)st.live);
    mmfree(MM_VIDEO_RAM, in);
    mmfree(MM_VIDEO_RAM, out);
    dev::drv_ctx_destroy(ctx);
    return 0;
}
