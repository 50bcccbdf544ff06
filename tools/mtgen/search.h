// The search for MT607 parameter sets: per generator number a twist constant
// whose recurrence has the full period, then tempering masks that bring the
// output's equidistribution close to its bounds.
#pragma once

#include "mt607.h"

#include <cstdint>

namespace mtgen {

// What made the committed table (mt_data.inc).
constexpr uint64_t table_seed = 20261210;
constexpr int table_tempering_tries = 4;
constexpr unsigned table_rows = 4096;

// Rows that are fixed inputs: emitted as given once checked, never searched.
struct given_row {
    unsigned id;
    mt607::params set;
};
extern const given_row given_rows[3];
const mt607::params *given(unsigned id);

// k(v), v = 1 ... 32: the most consecutive outputs whose top v bits are
// equidistributed over a period. It is at most 607 / v.
struct equidistribution {
    int k[33] = {};
    // Sum over v of the distance to the bound.
    int defect() const;
};
equidistribution measure(const mt607::params &set);

// The parameter set of generator `id` for a search seed: twist constants are
// drawn from the seed's stream for this id until one has the full period;
// then, from each of `tries` random pairs of masks, single bits are flipped
// from the top while that lowers the defect, and the best pair wins. The same
// (seed, id, tries) always give the same set. A given row is returned as it
// stands.
mt607::params search(unsigned id, uint64_t seed, int tries);

}  // namespace mtgen
