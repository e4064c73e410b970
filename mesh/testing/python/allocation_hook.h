// Making the Nth C++ allocation fail, for tests that sweep every allocation
// of a call.
//
// Only test-hook builds of the module (MESH_TEST_HOOKS) have it: there the
// module replaces the global operator new and delete for its own code (and
// the standard library linked into it), counting allocations while armed.
// An installed module never contains it.
//
// Thread safety: the counter is atomic, but a sweep means "the Nth
// allocation of this thread's next call", so tests arm it with no other
// thread of the module running.

#pragma once

#include <cstdint>

namespace vennu::python {

// From now on, allocation number `n` (1 for the next one) throws
// std::bad_alloc, or returns nullptr for the nothrow forms; later ones
// succeed again. 0 disarms.
void arm_allocation_failure(std::int64_t n);

// Whether the armed failure has happened since the last arming; disarms.
bool take_allocation_failure();

}  // namespace vennu::python
