#include "sync/shared_spin_mutex.h"

#include "sync/lock_roster.h"
#include "sync/outer_lock_count.h"
#include "sync/striped_shared_mutex.h"

namespace vennu {

SharedSpinMutex::SharedSpinMutex() noexcept { LockRoster<SharedSpinMutex>::instance().add(this); }
SharedSpinMutex::~SharedSpinMutex() { LockRoster<SharedSpinMutex>::instance().remove(this); }

void hold_all_locks_for_fork() {
  LockRoster<SharedSpinMutex>::instance().hold_all();
  LockRoster<StripedSharedMutex>::instance().hold_all();
}
void release_all_locks_after_fork() {
  LockRoster<StripedSharedMutex>::instance().release_all();
  LockRoster<SharedSpinMutex>::instance().release_all();
}
void reset_all_locks_in_fork_child() {
  reset_parking_in_fork_child();
  LockRoster<StripedSharedMutex>::instance().reset_all();
  LockRoster<SharedSpinMutex>::instance().reset_all();
  OuterLockCount::reset_in_fork_child();
}

}  // namespace vennu
