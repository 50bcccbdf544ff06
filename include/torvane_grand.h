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
 * Seeding: generator 0 starts from the seed, generator g from generator g-1's
 * seed times 16807 (modulo 2^32), then modulo 2^31 - 1; a fill then adds
 * generator 4095's seed to the process-wide seed. A generator seed that would
 * be 0 is 2^31 - 1 instead, so no generator starts from 0 and every fill moves
 * the seed. This changes the numbers only of the seeds whose chain reaches 0:
 * 0 itself (which now fills like 2147483647) and six others (868985321,
 * 1737970642, 2204701662, 3073686983, 3249834479, 4118819800), which used
 * to give generators seed 0 and leave the process-wide seed unchanged.
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
