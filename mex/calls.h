// The SDK for MEX modules that work on GPU arrays. A module compiles in the
// SDK runtime (calls, err, host) and defines pkrFunction; mexFunction is the
// runtime's and calls it once per MEX call. The MEX file exports mexFunction
// only, so that modules loaded side by side each keep their own.
//
// References. The engine hands out a buffer with one reference (alloc,
// alloc_array, copy); attach and share add one, free drops one. A GPU array
// object owns one reference to the buffer its record names and the host drops
// it when it destroys the object; a view keeps its root alive while it has a
// reference. So an output owns the reference of the buffer it was made with
// (B of pkr_new_offset the one attach gives it, call_duplicate's the one copy
// or share gives), and the call owns only what it took itself:
//   - a temporary's reference (pkr_alloc), until pkr_link hands it to an output;
//   - the reference attach takes when an output is first accessed, or when
//     pkr_link gives it a temporary's storage;
//   - a hold on every buffer it accessed.
// Every call gives back exactly these when it ends, whether it succeeds,
// punts or fails: a failing call leaves its outputs their own references (the
// host destroys them), and releases the device copies of MATLAB data too. An
// output that stops naming its buffer (pkr_link, pkr_punt) drops its own
// reference there.
#pragma once

#include "engine.h"
#include "err.h"

#include <cstdint>

// The module's operation proper.
err_t pkrFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]);

#define PKR_ID_SDK "Pelkor:SDK"
#define PKR_ID_RUNTIME "pelkor:runtime"

// The engine handle; null before the first call that found it.
engine_t *call_gpgpu();
void call_free(int n, buffer_t **list);
void call_unlock(int n, buffer_t **list);
// Gives back what the call holds and the references it took (see above) and
// empties the lists; the outputs keep their own references.
void call_cleanup();
// Raises `e` in the host as "%s (%s:%d)". Inside pkrFunction the call's lists
// are released first. Does not return.
[[noreturn]] void pkr_raise(const char *id, err_t e);

// GPU arrays for the call's outputs. Sizes are dim_t; a raise reports a full
// output list, a failed garray call or an allocation the engine refused.
mxArray *pkr_new_array_N(dim_t n, const dim_t *sizes, mxClassID c, bool complex, unsigned tesk);
mxArray *pkr_new_array(dim_t n, const dim_t *sizes, mxClassID c, bool complex);
mxArray *pkr_new_N(dim_t m, dim_t n, mxClassID c, bool complex, unsigned tesk);
mxArray *pkr_new(dim_t m, dim_t n, mxClassID c, bool complex);
mxArray *pkr_new_sparse(dim_t m, dim_t n, mxClassID c, bool complex, dim_t nzmax);
// Two outputs in one allocation: A holds it, B is a view of its second half.
err_t pkr_new_offset(mxArray **a, mxArray **b, dim_t n, const dim_t *sizes, mxClassID c,
                     bool complex, unsigned tesk);

// Device or host address of an input or output, held until the call ends.
err_t pkr_mem(uint64_t *dev_ptr, const mxArray *a);
err_t pkr_mem_host(void **host_ptr, const mxArray *a);
// A temporary device buffer, freed when the call ends.
err_t pkr_alloc(uint64_t *dev_ptr, uint32_t bytes);
// Makes the temporary at `dev_ptr` the storage of output `a`; the other output
// of a pkr_new_offset pair keeps the shared storage. Refuses (374, 375, 376)
// before changing anything.
err_t pkr_link(mxArray *a, uint64_t dev_ptr);
// An output that reuses input `s`'s storage where the engine allows it.
err_t call_duplicate(mxArray **d, const mxArray *s);
// Lazy class conversion, and conversion to the class the GPU holds.
mxArray *pkr_cast(const mxArray *a, mxClassID c);
mxArray *pkr_wrap(const mxArray *a);
// Hands the operation to the engine as an expression node: the punt, or an
// error for an output that is no GPU array.
err_t pkr_punt(int op, mxArray *out, const mxArray *left, const mxArray *right);

bool pkr_garray(const mxArray *a);
dim_t pkr_dims(const mxArray *a, const dim_t **sizes);
mxClassID pkr_class(const mxArray *a);
bool pkr_complex(const mxArray *a);
bool pkr_sparse(const mxArray *a);
dim_t pkr_nzmax(const mxArray *a);
unsigned pkr_tesk(const mxArray *a);
dim_t pkr_numel(const mxArray *a);
void *pkr_sparse_ir(const mxArray *a, void *data);
void *pkr_sparse_jc(const mxArray *a, void *data);
bool pkr_double_enabled();
