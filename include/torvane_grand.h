/* torvane uniform random numbers: a device buffer filled with numbers in
 * (0, 1] from 4096 Mersenne-twister generators (period 2^607 - 1 each).
 *
 * pkr_grand_f64(out, n, &size) / pkr_grand_f32(out, n, &size)
 *   size < 0: stores in size the bytes of the buffer that a fill of n numbers
 *     writes (at least n elements, a multiple of 8192), returns 0; nothing else
 *     happens.
 *   size >= 0: fills the buffer at the device address out, which must hold
 *     the bytes the query reports: generator g writes its numbers o = 0, 1, ...
 *     to elements g + 4096 o. The process-wide
 *     seed advances on every fill, so successive fills differ; setting the same
 *     seed before two fills gives the same numbers.
 * Codes: 0 done (the kernel is queued, not waited for), 4 a null size or n
 * above 268,427,264 (double) or 536,862,720 (single): nothing happens, 7 the
 * upload of the generators' parameters failed, else the launch's code (a
 * pending runtime error cancels the launch and is reported). Only the launch's
 * code is stored as the thread's last error. The seed and the parameter
 * tables are process-wide and unlocked: callers serialise fills. */
#ifndef TORVANE_GRAND_H
#define TORVANE_GRAND_H

#include "torvane.h"

#ifdef __cplusplus
extern "C" {
#endif

TORVANE_API pkrError pkr_grand_f64(void *out, unsigned n, int *size_io);
TORVANE_API pkrError pkr_grand_f32(void *out, unsigned n, int *size_io);
TORVANE_API void pkr_grand_set_seed(unsigned seed);
TORVANE_API unsigned pkr_grand_get_seed(void);

#ifdef __cplusplus
}
#endif

#endif
