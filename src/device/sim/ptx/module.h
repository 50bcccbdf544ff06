// The internal form of a loaded PTX module: every instruction decoded once
// into a handler and operand slots, so that running it does no text work.
//
// Each function frame is an array of 64-bit slots: fixed ones (constants 1
// and 0, the special registers), then the immediates and symbol addresses of
// the function, then its registers. An operand is always a slot index, so a
// handler never asks whether it reads a register or an immediate.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace sim {
namespace ptx {

struct thread;
struct insn;
using handler = void (*)(thread &, const insn &);

struct insn {
    handler fn;
    uint32_t guard;    // predicate slot; slot_one when unguarded
    uint8_t want;      // the guard's value that lets the instruction run
    uint8_t n;         // vector elements
    uint8_t dw;        // destination register bytes (sign-extending loads)
    uint8_t aux;       // per-handler detail
    uint32_t o[6];     // operand slots, destination first
    int64_t imm;       // address offset, branch target, call site
    uint32_t line;     // source line
    uint32_t site;     // the race checker's name of the function and line (race.cpp)
};

// Fixed slots of every frame.
enum : uint32_t {
    slot_one,
    slot_zero,
    slot_tid,      // x, y, z
    slot_ntid = slot_tid + 3,
    slot_ctaid = slot_ntid + 3,
    slot_nctaid = slot_ctaid + 3,
    slot_laneid = slot_nctaid + 3,
    slot_warpid,
    slot_nwarpid,
    slot_lanemask_eq,
    slot_lanemask_lt,
    slot_lanemask_le,
    slot_lanemask_gt,
    slot_lanemask_ge,
    slot_fixed  // first slot of the function's own
};

struct copy_rec {
    uint32_t from, to, bytes;
};

// Functions a module may call without defining them, as the driver provides them.
enum builtin : int { bi_none, bi_vprintf, bi_assertfail, bi_malloc, bi_free };

constexpr uint32_t no_function = ~0u;

struct call_site {
    uint32_t callee;
    int builtin = bi_none;
    std::vector<copy_rec> args;  // caller's argument variables to the callee's parameters
    bool has_ret = false;
    copy_rec ret{};              // callee's return variable to the caller's
    // A call through a function address: the site as it would be for each
    // function of the module (callee no_function where the parameters differ).
    bool indirect = false;
    std::vector<call_site> targets;
};

struct param_rec {
    uint32_t off, bytes;
};

struct shared_var {
    uint32_t bytes, align;
    std::string name;
};
constexpr uint32_t no_shared_var = ~0u;

// Bytes after a static shared array that the array must not reach.
struct shared_zone {
    uint32_t offset, bytes;
    const char *array;
};

struct function {
    std::string name;
    bool entry = false, defined = false;
    uint32_t line = 0;
    std::vector<insn> code;
    std::vector<uint64_t> init;      // slot values at frame start (registers 0)
    uint32_t param_bytes = 0;        // the frame's parameter area
    std::vector<param_rec> formals;  // in declaration order
    uint32_t formal_bytes = 0;       // end of the last formal (an entry's parameter block)
    bool has_ret = false;
    param_rec ret{};
    uint32_t local_bytes = 0;        // local depots of one frame
    std::vector<std::pair<uint32_t, uint32_t>> depots;  // slot, offset in the frame's local part
    std::vector<uint32_t> callees;
    // Worst case of any call chain from here, found when the module links;
    // for recursive chains, what the device stack can hold (need_stack).
    uint32_t need_local = 0, need_frames = 0, need_depth = 0, need_stack = 0;
    bool recursive = false;
    // Block shapes the entry declares: at most maxntid threads, exactly reqntid (0: none).
    uint32_t maxntid = 0, reqntid[3] = {0, 0, 0};
    // Slots that hold the shared-window address of a shared variable (its
    // index in module::shared_vars; no_shared_var: the dynamic array).
    std::vector<std::pair<uint32_t, uint32_t>> shared_refs;
    // An entry's own shared memory: the variables that it and its callees
    // name, laid out with a red zone after each; the dynamic array follows.
    std::vector<uint32_t> shared_at;  // window offset of each module variable it names
    std::vector<shared_zone> zones;
    uint32_t shared_static = 0;       // bytes of its variables as a GPU lays them out
    uint32_t shared_dynamic = 0;      // window offset of the dynamic array

    uint32_t frame_bytes() const {
        return uint32_t((init.size() * 8 + param_bytes + 15) & ~size_t(15));
    }
    // What a frame takes of the device stack: its local depot, and at least
    // the saved registers and return address of a call.
    uint32_t stack_bytes() const { return std::max<uint32_t>(16, (local_bytes + 15) & ~15u); }
};

struct module {
    std::vector<function> funcs;
    std::map<std::string, uint32_t> by_name;
    // Module variables in .global and .const, one block.
    std::unique_ptr<unsigned char[]> vars;
    size_t var_bytes = 0;
    unsigned char *var_base = nullptr;  // aligned start within `vars`
    std::vector<shared_var> shared_vars;  // .shared variables; each entry has its own layout
    // Module-level .global and .const variables by name: offset from var_base, bytes.
    std::map<std::string, std::pair<uint64_t, uint64_t>> var_names;
    uint32_t shared_extern_align = 0;   // non-zero when an .extern .shared array exists
    int target = 0;                     // sm_XY as XY
    bool bar_red = false;               // uses barrier reductions (their counters follow the shared memory)
    std::vector<call_site> calls;       // every call instruction's, by its index
    // Function addresses: outside any address space the host maps, so that
    // data accesses through them fault, and distinct between modules.
    uint64_t code_base = 0;

    uint64_t function_address(uint32_t k) const { return code_base + 16 * uint64_t(k); }
    bool function_at(uint64_t a, uint32_t &k) const {
        if (a < code_base || (a - code_base) % 16 || (a - code_base) / 16 >= funcs.size()) return false;
        k = uint32_t((a - code_base) / 16);
        return true;
    }
    // Names of the barriers' and warp collectives' lines ("line 12"), by the
    // index in their instruction's imm: reports and barrier matching use them.
    std::deque<std::string> sites;

    bool holds(uintptr_t a, size_t bytes) const {
        uintptr_t lo = reinterpret_cast<uintptr_t>(var_base);
        return a >= lo && a - lo <= var_bytes && bytes <= var_bytes - (a - lo);
    }
};

// race.cpp: under the race checker, names every instruction's function and
// line for its reports; nothing elsewhere.
void name_race_sites(module &m);
// The function and line of a race_pc (ops.h), for the checker's symbolizer hook.
bool race_site_name(uintptr_t pc, const char **func, int *line);

// A GPU's default stack per thread. Chains of calls that the linker can
// bound get the stack they need; recursive ones get this much.
constexpr uint32_t device_stack_bytes = 1024;

// Parses and links `text`. Returns 0, or 218 (222 for a PTX version newer
// than the driver's) with `diag` naming the line.
// `capability` is the device's (major * 10 + minor).
int load(const char *text, int capability, std::unique_ptr<module> &out, std::string &diag);

// Runs `entry` of `m` as a grid on the simulated device's scheduler. Returns
// 0 or the fault that stopped it (700, 716, 719).
struct grid_shape {
    unsigned grid[3], block[3];
    unsigned shared_bytes;  // dynamic
    int device;
    uint64_t resident;      // blocks the device holds at once
};
int run(const module &m, const function &entry, const grid_shape &shape,
        const unsigned char *params, size_t param_bytes);

}  // namespace ptx
}  // namespace sim
