#include "retry.h"

#include "device/device.h"

const char *const knorl_a113_message =
    "Pelkor Error A113: GPU failure. Save your work and restart MATLAB. Please read the FAQ "
    "entry at https://help.example.org/faq?q=a113";

err_t knorl_retry(engine_t *g, int line, const char *function, cuda_api api,
                  const std::function<int()> &call) {
    int r = call();
    if (r == 0) return err_ok();
    // The engine gives device memory back in growing steps between tries.
    const std::function<err_t()> steps[] = {
        [g] { return g->reclaim(knorl_reclaim_bytes, g); },
        [g] { return g->reclaim_more(knorl_reclaim_bytes, g); },
        [g] { return g->reclaim_all(g); },
    };
    for (const auto &step : steps) {
        err_t e = step();
        if (err_failed(e)) return err_set(e.line, e.file, e.msg);
        r = call();
        if (r == 0) return err_ok();
    }
    if (api == cuda_api::driver)
        pkr_diag(line, function, "CUDA driver error: %s", pkr_cu_error_string(r));
    else
        pkr_diag(line, function, "CUDA runtime error: %s", dev::error_string(r));
    return err_set(line, "knorlmex", knorl_a113_message);
}
