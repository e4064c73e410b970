// The hook through which a section that must wait for its lock lets go of
// the caller's outer lock (the embedding's interpreter lock) meanwhile.
//
// Thread safety: set once, before any thread uses a guard; read by any.

#pragma once

#include <cstdint>

namespace vennu {

// Set once, before any thread uses a guard (nullptr, the default, waits
// with whatever the thread holds).
struct LockWaitHook {
  // Lets go of the thread's outer lock, if it holds it; the result is for
  // take_back.
  void* (*let_go)();
  // Takes back what let_go let go of. May end the thread by unwinding.
  void (*take_back)(void* released);
};
void set_lock_wait_hook(const LockWaitHook* hook);
const LockWaitHook* lock_wait_hook();

enum class OuterLock : std::uint8_t { kLetGo, kKeep };

}  // namespace vennu
