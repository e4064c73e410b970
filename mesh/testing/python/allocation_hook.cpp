#include "testing/python/allocation_hook.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace vennu::python {
namespace {

std::atomic<std::int64_t> allocations_left{0};
std::atomic<bool> failed{false};

bool this_allocation_fails() {
  if (allocations_left.load(std::memory_order_relaxed) <= 0) return false;
  if (allocations_left.fetch_sub(1, std::memory_order_relaxed) != 1) return false;
  failed.store(true, std::memory_order_relaxed);
  return true;
}

void* allocate(std::size_t size) noexcept {
  if (this_allocation_fails()) return nullptr;
  return std::malloc(size == 0 ? 1 : size);
}

}  // namespace

void arm_allocation_failure(std::int64_t n) {
  failed.store(false, std::memory_order_relaxed);
  allocations_left.store(n, std::memory_order_relaxed);
}

bool take_allocation_failure() {
  allocations_left.store(0, std::memory_order_relaxed);
  return failed.exchange(false, std::memory_order_relaxed);
}

}  // namespace vennu::python

// The replaced allocation functions. Over-aligned forms are left to the
// library: nothing in the mesh asks for them.

void* operator new(std::size_t size) {
  if (void* block = vennu::python::allocate(size)) return block;
  throw std::bad_alloc();
}

void* operator new[](std::size_t size) {
  if (void* block = vennu::python::allocate(size)) return block;
  throw std::bad_alloc();
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return vennu::python::allocate(size);
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return vennu::python::allocate(size);
}

void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
