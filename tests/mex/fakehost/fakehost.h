// A recording fake of the MEX host for unit tests: arrays, structures, a
// function table for mexCallMATLAB, the trap flag, and raises thrown as
// fake::raised so that a test catches them.
#pragma once

#include "mex.h"

#include <functional>
#include <string>
#include <vector>

namespace fake {

struct raised {
    std::string id, message;
};

// A host function: outputs, inputs. It raises with fake::fail.
using function = std::function<void(int nlhs, mxArray *plhs[], int nrhs, mxArray *prhs[])>;
void define(const std::string &name, function f);
void undefine(const std::string &name);
[[noreturn]] void fail(const std::string &id, const std::string &message);

// Destroys every array and forgets functions, log, locks and output.
void reset();
// Host events in order: "call <name>", "trap <flag>", "lock", "shared_data_copy",
// "shared_copy", "unshare", "eval <command>".
const std::vector<std::string> &log();
void clear_log();
int locks();
int trap_flag();
// What mexPrintf printed.
const std::string &printed();
// Arrays not yet destroyed, and uses of destroyed arrays.
size_t live_arrays();
size_t destroyed_uses();

mxArray *scalar_u64(uint64_t v);
mxArray *matrix(mwSize m, mwSize n, mxClassID c, bool complex = false);

}  // namespace fake
