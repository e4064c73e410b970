#include "sync/wait_hook.h"

#include <atomic>

namespace vennu {

namespace {
std::atomic<const LockWaitHook*> wait_hook{nullptr};
}  // namespace

void set_lock_wait_hook(const LockWaitHook* hook) {
  wait_hook.store(hook, std::memory_order_release);
}
const LockWaitHook* lock_wait_hook() { return wait_hook.load(std::memory_order_acquire); }

}  // namespace vennu
