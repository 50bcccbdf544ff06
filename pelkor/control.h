// Controls of the array engine stand-in for tests: the engine's call log,
// error triples injected per operation, and the checks that flag a buffer used
// after it was freed, freed twice, or held across the end of a call.
#pragma once

#include "engine.h"

#include <string>
#include <vector>

namespace pelkor {

// The one engine of the process (what gpu_entry hands out).
engine_t *engine();
// Frees every buffer and forgets log, faults, injections and settings.
void reset();

// Each call of the engine as "name args", buffers by id ("b1", "b2", ... in
// order of creation; "null" for none): "alloc_array b1 16", "dev_access b1",
// "subbuffer b3 b2 48 48", "copy b4 b1", "materialize data b5", "end_call".
const std::vector<std::string> &log();
void clear_log();

// The next `count` calls of operation `name` (as in the log) fail after
// `after` calls have passed: operations that return a triple return `e`, the
// allocating ones deliver a null buffer.
void inject(const std::string &name, err_t e, int count = 1, int after = 0);

// Faults seen so far: "use after free b3 (dev_access)", "double free b3",
// "free without reference b3" (a view never attached), "hold open at
// end_call b3", "unknown buffer (unlock)".
const std::vector<std::string> &faults();
// Live buffers held by the call ("b3"), and live buffers of any kind.
std::vector<std::string> open_holds();
size_t live_buffers();

// needs_copy: 0 lets an in-place output share its input's buffer; 1 or -1
// (the default: the engine cannot see who else names a buffer) copies.
void set_needs_copy(int mode);

// What the host's destruction of a GPU array object does: the object gives
// back the reference to the buffer its record names (logged as "drop b3").
// Plain structures stand for the objects here and tell the engine nothing,
// so tests call this where the host would destroy one.
void drop(const mxArray *object);

// The id of a buffer ("b3"), or "null".
std::string id(const buffer_t *b);
// Reference count, hold and state of a buffer, for tests.
struct buffer_state {
    int refs = 0;
    bool held = false, dead = false;
};
buffer_state state(const buffer_t *b);

// A GPU array from MATLAB data, with the given iterator, node count and MiB;
// its buffer holds the data on the device. Null for data the engine cannot hold.
mxArray *make_garray(const mxArray *data, unsigned tesk, unsigned bananas, unsigned kiwis);
// The values of a GPU array or of MATLAB data read back from the device, as
// MATLAB data of the array's class; null with *error set when that fails.
mxArray *read_back(const mxArray *a, err_t *error);

}  // namespace pelkor
