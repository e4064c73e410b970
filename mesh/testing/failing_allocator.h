// The global operator new and delete of test builds, replaced so that a test
// can make the Nth allocation fail and a benchmark can count allocations.
//
// Linked into the core's tests, the module's test-hook build (with the
// standard library linked in, so that its own allocations come here too) and
// the JSON benchmark; never into an installed module. Until a test arms it,
// every request goes to malloc.
//
// Thread safety: the count and the armed failure belong to the calling
// thread, so only the thread under test meets the failure, and counting
// costs a benchmark no atomic operation.

#pragma once

#include <cstdint>

namespace vennu {

// How memory runs out once armed: a request is refused and later ones are
// served, or every request from then on is refused, cleanup included.
enum class Exhaustion { kOnce, kFromThenOn };

// From now on, allocation number nth of this thread (1 for the next one)
// throws std::bad_alloc, or returns null for the nothrow forms. 0 disarms.
void arm_allocation_failure(std::uint64_t nth, Exhaustion exhaustion = Exhaustion::kOnce);

// Whether the armed failure has happened since the last arming; disarms.
bool take_allocation_failure();

// Allocations this thread has asked for, served or refused.
std::uint64_t allocation_count();

}  // namespace vennu
