// Allocation failure on demand, for tests of code that must not let an
// exception out (log writers, thread bodies). Include it in exactly one
// source file of a test program: it replaces the global operator new and
// delete of that program (and of the kit's shared libraries it loads).
//
// While a FailingAllocations object lives, every operator new on the thread
// that made it throws std::bad_alloc; other threads are not affected.
#pragma once

#include <cstdlib>
#include <new>

namespace kk::testing {

inline thread_local bool t_fail_allocations = false;

class FailingAllocations {
 public:
  FailingAllocations() { t_fail_allocations = true; }
  ~FailingAllocations() { t_fail_allocations = false; }
  FailingAllocations(const FailingAllocations&) = delete;
  FailingAllocations& operator=(const FailingAllocations&) = delete;
};

}  // namespace kk::testing

void* operator new(std::size_t size) {
  if (kk::testing::t_fail_allocations) throw std::bad_alloc();
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
