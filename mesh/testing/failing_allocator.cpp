#include "testing/failing_allocator.h"

#include <cstddef>
#include <cstdlib>
#include <limits>
#include <new>

namespace vennu {
namespace {

thread_local std::uint64_t allocations = 0;
thread_local std::uint64_t allocations_until_failure = 0;  // 0: disarmed
thread_local bool keep_failing = false;
thread_local bool failure_delivered = false;

bool next_allocation_fails() {
  ++allocations;
  if (allocations_until_failure == 0) return false;
  if (allocations_until_failure > 1) {
    --allocations_until_failure;
    return false;
  }
  if (!keep_failing) allocations_until_failure = 0;
  failure_delivered = true;
  return true;
}

void* allocate(std::size_t size) noexcept {
  if (next_allocation_fails()) return nullptr;
  return std::malloc(size == 0 ? 1 : size);
}

// malloc's own alignment may be too small and aligned_alloc is not
// everywhere, so over-aligned blocks are cut out of a larger one, with the
// address malloc returned kept just below the block.
void* allocate_aligned(std::size_t size, std::align_val_t alignment) noexcept {
  const auto align = static_cast<std::size_t>(alignment);
  if (size > std::numeric_limits<std::size_t>::max() - align - sizeof(void*)) return nullptr;
  if (next_allocation_fails()) return nullptr;
  void* raw = std::malloc(size + align + sizeof(void*));
  if (raw == nullptr) return nullptr;
  const std::uintptr_t first = reinterpret_cast<std::uintptr_t>(raw) + sizeof(void*);
  void* block = reinterpret_cast<void*>((first + align - 1) / align * align);
  static_cast<void**>(block)[-1] = raw;
  return block;
}

void release_aligned(void* block) noexcept {
  if (block != nullptr) std::free(static_cast<void**>(block)[-1]);
}

void* allocate_or_throw(std::size_t size) {
  if (void* block = allocate(size)) return block;
  throw std::bad_alloc();
}

void* allocate_aligned_or_throw(std::size_t size, std::align_val_t alignment) {
  if (void* block = allocate_aligned(size, alignment)) return block;
  throw std::bad_alloc();
}

}  // namespace

void arm_allocation_failure(std::uint64_t nth, Exhaustion exhaustion) {
  failure_delivered = false;
  keep_failing = exhaustion == Exhaustion::kFromThenOn;
  allocations_until_failure = nth;
}

bool take_allocation_failure() {
  allocations_until_failure = 0;
  const bool delivered = failure_delivered;
  failure_delivered = false;
  return delivered;
}

std::uint64_t allocation_count() { return allocations; }

}  // namespace vennu

void* operator new(std::size_t size) { return vennu::allocate_or_throw(size); }
void* operator new[](std::size_t size) { return vennu::allocate_or_throw(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return vennu::allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return vennu::allocate(size);
}
void* operator new(std::size_t size, std::align_val_t alignment) {
  return vennu::allocate_aligned_or_throw(size, alignment);
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
  return vennu::allocate_aligned_or_throw(size, alignment);
}
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return vennu::allocate_aligned(size, alignment);
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return vennu::allocate_aligned(size, alignment);
}

void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete(void* block, std::align_val_t) noexcept { vennu::release_aligned(block); }
void operator delete[](void* block, std::align_val_t) noexcept { vennu::release_aligned(block); }
void operator delete(void* block, std::size_t, std::align_val_t) noexcept {
  vennu::release_aligned(block);
}
void operator delete[](void* block, std::size_t, std::align_val_t) noexcept {
  vennu::release_aligned(block);
}
void operator delete(void* block, std::align_val_t, const std::nothrow_t&) noexcept {
  vennu::release_aligned(block);
}
void operator delete[](void* block, std::align_val_t, const std::nothrow_t&) noexcept {
  vennu::release_aligned(block);
}
