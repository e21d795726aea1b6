#pragma once
// Makes one chosen allocation of the calling thread throw std::bad_alloc, to drive the update
// run through running out of memory at every point in turn. Other threads are never touched.
#include <cstdint>

namespace vantrel::testing {

// False in sanitizer builds, whose runtimes own the allocation functions.
bool CanFailAllocations();
// Arms the thread: its `nth` allocation from now on throws (0 disarms).
void FailNthAllocation(uint64_t nth);
// True when the armed failure was thrown since the last FailNthAllocation.
bool AllocationFailed();

}  // namespace vantrel::testing
