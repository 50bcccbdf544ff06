#include "texts.h"

namespace {

struct entry {
    int code;
    const char *text;
};

const entry driver_texts[] = {
    {1, "invalid value"},
    {2, "out of memory"},
    {3, "not initialized"},
    {4, "deinitialized"},
    {100, "no device"},
    {101, "invalid device"},
    {201, "invalid context"},
    {202, "context already current"},
    {205, "map failed"},
    {206, "unmap failed"},
    {207, "array is mapped"},
    {208, "already mapped"},
    {209, "no binary for this GPU"},
    {210, "already acquired"},
    {211, "not mapped"},
    {300, "invalid source"},
    {301, "file not found"},
    {400, "invalid handle"},
    {500, "not found"},
    {600, "not ready"},
    {700, "launch failed"},
    {701, "insufficient resources"},
    {702, "timeout"},
    {703, "bad texturing"},
};

const entry cufft_texts[] = {
    {1, "invalid plan"},   {2, "allocation failed"}, {3, "invalid type"}, {4, "invalid value"},
    {5, "internal error"}, {6, "execution failed"},  {7, "setup failed"}, {8, "invalid size"},
};

template <int N>
const char *lookup(const entry (&table)[N], int code) {
    for (const entry &e : table)
        if (e.code == code) return e.text;
    return "unknown";
}

}  // namespace

const char *knorl_cu_error_string(int code) { return lookup(driver_texts, code); }
const char *knorl_cufft_error_string(int code) { return lookup(cufft_texts, code); }
