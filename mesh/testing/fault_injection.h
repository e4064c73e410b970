// Test-only faults inside locked sections.
//
// Builds with MESH_FAULT_INJECTION (the core's test build and the module's
// hook build, never an install) let a test arm a fault at a named site; the
// next time the code passes that site it throws InternalFault, exactly as a
// broken invariant would. Elsewhere inject_fault() compiles to nothing.

#pragma once

#include "base/error.h"

#ifdef MESH_FAULT_INJECTION
#include <atomic>
#endif

namespace vennu {

enum class FaultSite : int {
  kNone = 0,
  kStateWrite,
  kChannelPublish,
};

#ifdef MESH_FAULT_INJECTION
inline std::atomic<FaultSite> armed_fault{FaultSite::kNone};

// The next pass through `site` throws; one fault per arming.
inline void arm_fault(FaultSite site) { armed_fault.store(site); }

inline void inject_fault(FaultSite site) {
  FaultSite expected = site;
  if (armed_fault.compare_exchange_strong(expected, FaultSite::kNone)) {
    throw InternalFault("injected fault");
  }
}
#else
inline void inject_fault(FaultSite) {}
#endif

}  // namespace vennu
