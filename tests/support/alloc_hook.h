// Test-only allocation seam: makes one chosen allocation on this thread fail,
// whether it comes from operator new (which then throws std::bad_alloc) or
// from a direct malloc in the library (which then returns null). It lives in
// the test executables only; the shipped library has no such switch.
#pragma once

#include <cstdint>

namespace vmd::test {

// From now on, the n-th allocation on this thread fails (1 = the next one).
// Counting restarts at zero.
void fail_allocation(std::int64_t n);

// Lets every allocation succeed again; counting restarts at zero.
void allow_allocations();

// The next direct malloc on this thread returns null (operator new is not
// affected): how a failed copy of the report for the caller is simulated.
void fail_next_malloc();

// Allocations made on this thread since the last fail_allocation or
// allow_allocations.
std::int64_t allocations();

}  // namespace vmd::test
