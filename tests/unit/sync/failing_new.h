#pragma once
// Makes one chosen allocation of the calling thread throw std::bad_alloc, to drive the update
// run through running out of memory at every point in turn, and counts the thread's large
// allocations. Other threads are never touched.
#include <cstddef>
#include <cstdint>

namespace vantrel::testing {

// False in sanitizer builds, whose runtimes own the allocation functions.
bool CanFailAllocations();
// Arms the thread: its `nth` allocation from now on throws (0 disarms).
void FailNthAllocation(uint64_t nth);
// True when the armed failure was thrown since the last FailNthAllocation.
bool AllocationFailed();
// Counts the thread's allocations of at least `bytes` from now on (0 stops counting).
void CountAllocationsOfAtLeast(size_t bytes);
uint64_t CountedAllocations();

}  // namespace vantrel::testing
