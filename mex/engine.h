// What the SDK expects of the array engine (libpelkor64): its buffer record,
// its table of operations and the accessors it exports.
//
// Device addresses are 64-bit here: buffer_t.dev_ptr is widened from the
// 32-bit field of 32-bit hosts, so the record reads host_ptr 0, dev_ptr 8,
// nbytes 16, (unused) 24, is_root 32, parent 40 (48 bytes).
#pragma once

#include "err.h"

#include <mex.h>

#include <cstddef>
#include <cstdint>

struct buffer_t {
    void *host_ptr;       // host copy
    uint64_t dev_ptr;     // device address
    uint32_t nbytes;
    void *engine_data;    // the engine's own; the SDK does not read it
    uint8_t is_root;      // owns its memory; clear for a view made by subbuffer
    buffer_t *parent;     // the buffer a view lies in
};
static_assert(offsetof(buffer_t, dev_ptr) == 8 && offsetof(buffer_t, nbytes) == 16 &&
                  offsetof(buffer_t, is_root) == 32 && offsetof(buffer_t, parent) == 40,
              "buffer record layout");

struct engine_scalar_t {
    float re, im;
};

// Byte counts, offsets and lengths are 32-bit, as the engine keeps them.
struct engine_t {
    void (*alloc)(buffer_t **out, uint32_t bytes, engine_t *e);
    void (*alloc_array)(buffer_t **out, const mxArray *array, engine_t *e);
    void (*subbuffer)(buffer_t **out, buffer_t *parent, uint32_t offset, uint32_t length,
                      engine_t *e);
    void (*unlock)(buffer_t *b);
    void (*free)(buffer_t *b);
    err_t (*host_access)(buffer_t *b, engine_t *e);
    err_t (*host_first_write)(buffer_t *b, engine_t *e);
    err_t (*dev_access)(buffer_t *b, engine_t *e);
    err_t (*share)(buffer_t *b, engine_t *e);
    err_t (*dev_first_write)(buffer_t *b, engine_t *e);
    err_t (*copy)(buffer_t **out, int zero, buffer_t *source, engine_t *e);
    err_t (*reclaim)(uint32_t bytes, engine_t *e);
    void (*end_call)(engine_t *e);
    err_t (*reclaim_all)(engine_t *e);
    bool (*needs_copy)(buffer_t *b);
    err_t (*reclaim_more)(uint32_t bytes, engine_t *e);
    engine_scalar_t (*scalar)(const mxArray *array);
    uint8_t double_enabled;
    uint32_t kiwis_max;  // MiB
    uint8_t tarvex_on;
    err_t (*materialize)(const mxArray *array, engine_t *e);
    err_t (*attach)(const mxArray *array, buffer_t *b);
};

// The array record of a GPU array (the int8 "stack" field), 64-bit host layout.
struct stack_rec_t {
    engine_t *engine;     // 0
    int32_t class_id;     // 8
    int32_t kind;         // 12: 0 buffer, 1 MATLAB data in "leftop", 2 operation node
    uint8_t complex;      // 16
    uint8_t sparse;       // 17
    uint8_t pad[2];       // 18
    uint32_t tesk;        // 20
    uint32_t bananas;     // 24: nodes of the expression
    uint32_t kiwis;       // 28: MiB referenced
    uint64_t nzmax;       // 32
    union {               // 40
        buffer_t *buffer;          // kind 0
        struct {
            uint32_t op_code;      // kinds 1 and 2
            uint8_t op_flag;
            uint8_t op_pad[3];
        } op;
    };
    uint64_t reserved;    // 48
};
static_assert(sizeof(void *) == 8, "the record layout is the 64-bit host's");
static_assert(sizeof(stack_rec_t) == 56 && offsetof(stack_rec_t, class_id) == 8 &&
                  offsetof(stack_rec_t, complex) == 16 && offsetof(stack_rec_t, tesk) == 20 &&
                  offsetof(stack_rec_t, nzmax) == 32 && offsetof(stack_rec_t, buffer) == 40 &&
                  offsetof(stack_rec_t, op.op_flag) == 44 && offsetof(stack_rec_t, reserved) == 48,
              "array record layout");

enum : int { rec_kind_buffer = 0, rec_kind_data = 1, rec_kind_node = 2 };
enum : uint32_t {
    op_matlab_data = 3,
    op_convert = 1026,
    op_complex_single_to_double = 516,
    op_complex_double_to_single = 517,
};

using dim_t = uint64_t;  // sizes and dimension counts on 64-bit hosts

extern "C" {
bool m_is_garray(const mxArray *a);
bool m_is_buffer(const mxArray *a);
buffer_t *m_buffer(const mxArray *a);
stack_rec_t *m_stack(const mxArray *a);
dim_t m_dims(const mxArray *a, const dim_t **sizes);
mxClassID m_class(const mxArray *a);
bool m_complex(const mxArray *a);
bool m_sparse(const mxArray *a);
dim_t m_nzmax(const mxArray *a);
size_t m_element_size(const mxArray *a);
unsigned m_tesk(const mxArray *a);
unsigned m_bananas(const mxArray *a);
unsigned m_kiwis(const mxArray *a);
mxClassID implicit(mxClassID class_id, bool double_enabled);
}
