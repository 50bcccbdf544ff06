// knorlmex: the launch command. launch(kernel, grid, threads, smem, ...)
// compiles CUDA source text to PTX, loads it and launches its kernel_main with
// one parameter per further argument; launch(x) times 100 launches of the
// last loaded kernel.
#include "calls.h"
#include "device/device.h"
#include "params.h"
#include "paths.h"
#include "platform.h"
#include "retry.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char *const file_knorlmex = "knorlmex";

// The macOS build reports every scalar parameter, and its later sites are
// one line further down.
#if defined(__APPLE__)
constexpr int mac_lines = 1;
#else
constexpr int mac_lines = 0;
#endif

bool first_run = true;
dim3 grid(1, 1, 1);
dim3 threads(1, 1, 1);
size_t smem = 0;
dev::drv_module m_module = nullptr;
dev::drv_function m_function = nullptr;
size_t m_paramsz = 0;
engine_t *g = nullptr;
path_t paths;

err_t fail(int line, const char *msg) { return err_set(line, file_knorlmex, msg); }

// What the timing form needs to launch the last kernel again without
// reaching memory that is no longer its arguments'. The parameters hold device
// addresses: MATLAB data has its device copy for its own call only, and a
// GPU array's memory may be given back or moved between calls. So the launch
// keeps a reference to each GPU-array argument's buffer (the engine's share
// and unlock, as an output that reuses an input takes one) and the address it
// passed; the timing form holds them again and launches only where every
// address still stands.
struct kept_arg {
    buffer_t *buffer;
    uint64_t address;
    int position;  // among the launch's arguments, from 1
};
std::vector<kept_arg> kept;
bool params_set = false;  // the loaded kernel's parameters are all set
int lost_arg = 0;         // position of an argument the timing form cannot reach again
const char *lost_why = nullptr;
std::vector<buffer_t *> timing_holds;
std::string timing_refusal;

void release_kept() {
    for (const kept_arg &k : kept) g->free(k.buffer);
    kept.clear();
    params_set = false;
    lost_arg = 0;
}

// The first argument that the timing form cannot reach again.
void lose(int position, const char *why) {
    if (lost_arg) return;
    lost_arg = position;
    lost_why = why;
}

void end_timing_holds() {
    for (buffer_t *b : timing_holds) g->unlock(b);
    timing_holds.clear();
}

err_t refuse_timing(int position, const char *why) {
    char text[512];
    std::snprintf(text, sizeof text,
                  "launch(x): argument %d of the last launch %s; launch the kernel again with "
                  "its arguments",
                  position, why);
    timing_refusal = text;
    return fail(602 + mac_lines, timing_refusal.c_str());
}

// Holds the last launch's GPU-array buffers for the timing form's launches,
// or refuses when one of them is not where the parameters point.
err_t hold_kept() {
    if (!params_set)
        return fail(603 + mac_lines,
                    "launch(x): the last launch did not set its kernel's parameters; launch the "
                    "kernel again with its arguments");
    if (lost_arg) return refuse_timing(lost_arg, lost_why);
    for (const kept_arg &k : kept) {
        err_t r = g->dev_access(k.buffer, g);
        if (err_failed(r)) {
            end_timing_holds();
            return r;
        }
        timing_holds.push_back(k.buffer);
        if (k.buffer->dev_ptr != k.address) {
            end_timing_holds();
            return refuse_timing(k.position, "no longer has the device memory it was launched with");
        }
    }
    return err_ok();
}

int kernel_args(int nrhs) { return nrhs > 4 ? nrhs - 4 : 0; }

// The driver call runs in the runtime's context of the current device, which
// the runtime makes on its first use.
void ensure_context() {
    dev::drv_device d;
    if (dev::drv_ctx_get_device(&d) == 0) return;
    int ordinal = 0;
    dev::get_device(&ordinal);
    dev::set_device(ordinal);
    dev::get_last_error();
}

err_t cubin_load(const path_t &p, dev::drv_module *module, dev::drv_function *function) {
    std::string text;
    if (!read_ptx(p, text)) return fail(452, "knorl: failed to read cubin");
    dev::drv_init(0);
    ensure_context();
    dev::drv_module loaded = nullptr;
    err_t r = knorl_retry(g, 455, "cubin_load", cuda_api::driver,
                          [&] { return dev::drv_module_load_data(&loaded, text.c_str()); });
    if (err_failed(r)) return r;
    dev::drv_function f = nullptr;
    if (dev::drv_module_get_function(&f, loaded, "kernel_main") != 0) {
        mexPrintf(
            "knorl: Could not load kernel. Make sure that you have named your kernel \n"
            "         'kernel_main' and that it is preceded by extern \"C\": \n\n"
            "         extern \"C\" __global__ void kernel_main(float *A) {\n"
            "           ... }\n\n");
        dev::drv_module_unload(loaded);
        return fail(464, "knorl: kernel load error");
    }
    // Only the latest kernel is launched again: the module before it goes.
    if (*module) dev::drv_module_unload(*module);
    *module = loaded;
    *function = f;
    return err_ok();
}

err_t ready_kernel(int, mxArray *[], int nrhs, const mxArray *prhs[]) {
    char *source = mxArrayToString(prhs[0]);
    if (!source) return fail(598, "launch(kernel, grid, threads, smem, ...): kernel must be text");
    err_t r = compile(source, paths);
    mxFree(source);
    if (!err_failed(r)) {
        r = cubin_load(paths, &m_module, &m_function);
        // A new kernel: what was kept for the one before is of no more use.
        if (!err_failed(r)) release_kept();
    }
    if (err_failed(r)) {
        discard(paths);
        return r;
    }
    grid = m_to_dim3(prhs[1]);
    threads = m_to_dim3(prhs[2]);
    smem = size_to_bytes(mxGetScalar(prhs[3]));
    m_paramsz = param_layout(kernel_args(nrhs), prhs + 4);
    return cleanup(paths);
}

err_t invoke_kernel_err(int code, int nrhs, const mxArray *prhs[], const char *hint) {
    const std::string signature = kernel_signature(kernel_args(nrhs), prhs + 4);
    mexPrintf(
        "\nknorl: CUDA kernel launch failed. You must have written something nasty:\n\n"
        "         Launch parameters:\n"
        "             gridsize, (%u,%u) \n"
        "             blocksize, (%u,%u,%u)\n"
        "             shared memory, %llu bytes\n"
        "         Expected kernel signature:\n"
        "             %s\n"
        "         CUDA said: %s\n",
        grid.x, grid.y, threads.x, threads.y, threads.z, static_cast<unsigned long long>(smem),
        signature.c_str(), pkr_cu_error_string(code));
    if (hint)
        mexPrintf("         Hint: %s\n\n", hint);
    else
        mexPrintf("\n");
    if (dev::synchronize() != 0) {
        err_t r = knorl_retry(g, 534, "invoke_kernel_err", cuda_api::runtime,
                              [] { return dev::get_last_error(); });
        if (err_failed(r)) return r;
    }
    return fail(536, "knorl: kernel invoke error");
}

// A refused set-up or launch step is raised at once.
void check_step(int code, int nrhs, const mxArray *prhs[], const char *hint) {
    if (code == 0) return;
    err_t e = invoke_kernel_err(code, nrhs, prhs, hint);
    end_timing_holds();
    pkr_raise(PKR_ID_SDK, e);
}

err_t invoke_kernel(int, mxArray *[], int nrhs, const mxArray *prhs[]) {
    check_step(dev::drv_func_set_block_shape(m_function, threads.x, threads.y, threads.z), nrhs,
               prhs, "Make sure block size fits within hardware limits");
    check_step(dev::drv_param_set_size(m_function, m_paramsz), nrhs, prhs,
               "Kernel parameter length too large");
    check_step(dev::drv_func_set_shared_size(m_function, smem), nrhs, prhs,
               "Make sure shared memory fits within hardware limits.");
    const bool timing = nrhs == 1;
    // The parameters are set anew: nothing of the last launch is kept.
    if (!timing) release_kept();
    std::vector<kept_arg> arrays;
    std::vector<param_slot> slots;
    param_layout(kernel_args(nrhs), prhs + 4, &slots);
    for (size_t i = 0; i < slots.size(); ++i) {
        const mxArray *a = prhs[4 + i];
        const size_t at = slots[i].offset;
        err_t r;
        if (slots[i].scalar) {
            const float v = static_cast<float>(mxGetScalar(a));
            if (mac_lines) pkr_diag(562, "invoke_kernel", "%s %f", "s", v);
            r = knorl_retry(g, 567 + mac_lines, "invoke_kernel", cuda_api::driver,
                            [&] { return dev::drv_param_setf(m_function, at, v); });
            if (err_failed(r)) return r;
            continue;
        }
        uint64_t address = 0;
        r = pkr_mem(&address, a);
        if (err_failed(r)) return r;
        r = knorl_retry(g, 572 + mac_lines, "invoke_kernel", cuda_api::driver, [&] {
            return dev::drv_param_setv(m_function, at, &address, sizeof address);
        });
        if (err_failed(r)) return r;
        const dim3 d = size_to_dim3(a);
        const uint32_t shape[3] = {d.x, d.y, d.z};
        r = knorl_retry(g, 576 + mac_lines, "invoke_kernel", cuda_api::driver, [&] {
            return dev::drv_param_setv(m_function, at + sizeof address, shape, sizeof shape);
        });
        if (err_failed(r)) return r;
        if (pkr_garray(a))
            arrays.push_back({m_buffer(a), address, int(i) + 5});
        else
            lose(int(i) + 5, "was MATLAB data, whose device copy was freed when that call ended");
    }
    if (!timing) {
        // Each GPU array's buffer outlives its array until the next launch;
        // one the engine will not share cannot be timed again.
        for (const kept_arg &k : arrays) {
            if (k.buffer && !err_failed(g->share(k.buffer, g)))
                kept.push_back(k);
            else
                lose(k.position, "could not be kept for timing");
        }
        params_set = true;
    }
    const int launched = dev::drv_launch_grid(m_function, grid.x, grid.y);
    // share held each buffer too; the call's own hold lasts to its end.
    if (!timing)
        for (const kept_arg &k : kept) g->unlock(k.buffer);
    check_step(launched, nrhs, prhs, nullptr);
    return err_ok();
}

err_t time_launches(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]) {
    err_t r = hold_kept();
    if (err_failed(r)) return r;
    const platform::stopwatch clock;
    for (int i = 0; i < 100; ++i) {
        r = invoke_kernel(nlhs, plhs, nrhs, prhs);
        if (err_failed(r)) {
            end_timing_holds();
            return r;
        }
    }
    r = knorl_retry(g, 621 + mac_lines, "pkrFunction", cuda_api::runtime,
                    [] { return dev::synchronize(); });
    end_timing_holds();
    if (err_failed(r)) return r;
    const long elapsed = clock.elapsed_us();
    plhs[0] = mxCreateDoubleScalar(static_cast<float>(elapsed) / 100.0f);
    return err_ok();
}

}  // namespace

err_t pkrFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]) {
    if (nrhs != 1) {
        if (nrhs < 5) return fail(591 + mac_lines, "wrong number of inputs");
        for (int i = 0; i < 4; ++i)
            if (pkr_garray(prhs[i]))
                return fail(596 + mac_lines,
                            "launch(kernel, grid, threads, smem, ...): kernel, grid, threads, "
                            "smem must be MATLAB variables");
        int line = 0;
        if (const char *msg = check_launch_args(nrhs, prhs, &line)) return fail(line, msg);
    }
    if (nrhs == 1 && first_run)
        return fail(600 + mac_lines,
                    "launch(gsingle([])) usage only valid after a kernel has been loaded");
    g = call_gpgpu();
    if (first_run) {
        err_t r = set_paths(paths, platform::host_rules());
        if (err_failed(r)) return r;
        first_run = false;
    }
    if (nrhs == 1) return time_launches(nlhs, plhs, nrhs, prhs);
    err_t r = ready_kernel(nlhs, plhs, nrhs, prhs);
    if (err_failed(r)) return r;
    return invoke_kernel(nlhs, plhs, nrhs, prhs);
}
