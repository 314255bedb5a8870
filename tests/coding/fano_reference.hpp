// The Fano decoder written as plainly as its definition, kept for the tests
// and benchmarks that compare the library's fast decoder with it.
#pragma once

#include "coding/coding.hpp"

namespace beacon::test {

// The Fano decoder in its plainest form, same interface as fano() (memory
// it cannot have throws std::bad_alloc rather than giving FANO_NO_MEMORY).
int fano_reference(std::int32_t& final_metric, std::uint32_t& cycle_count,
                   std::uint32_t& furthest_node, std::uint8_t* decoded,
                   const std::uint8_t* soft_symbols, std::uint32_t bit_count,
                   const MetricTable& mettab, std::int32_t threshold_step,
                   std::uint32_t cycles_per_bit);

}  // namespace beacon::test
