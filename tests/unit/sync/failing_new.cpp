#include "unit/sync/failing_new.h"

#include <cstdlib>
#include <new>

namespace vantrel::testing {
namespace {

thread_local uint64_t g_countdown = 0;
thread_local bool g_failed = false;
thread_local size_t g_count_from = 0;
thread_local uint64_t g_counted = 0;

}  // namespace

void FailNthAllocation(uint64_t nth) {
  g_countdown = nth;
  g_failed = false;
}

bool AllocationFailed() { return g_failed; }

void CountAllocationsOfAtLeast(size_t bytes) {
  g_count_from = bytes;
  g_counted = 0;
}

uint64_t CountedAllocations() { return g_counted; }

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
bool CanFailAllocations() { return false; }
#else
bool CanFailAllocations() { return true; }
#endif

}  // namespace vantrel::testing

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// The program's allocation functions; the array, nothrow and sized forms of the library are
// built on these two.
void* operator new(std::size_t size) {
  using namespace vantrel::testing;
  if (g_countdown != 0 && --g_countdown == 0) {
    g_failed = true;
    throw std::bad_alloc();
  }
  if (g_count_from != 0 && size >= g_count_from) ++g_counted;
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}

void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
#endif
