#include "app/instance_guard.h"

#include "platform/instance_lock.h"

namespace brivane {

namespace {
InstanceLock& guard() {
  static InstanceLock lock;
  return lock;
}
}  // namespace

bool TakeInstanceGuard() { return guard().tryAcquire() != InstanceLockResult::AlreadyHeld; }

void ReleaseInstanceGuard() { guard().release(); }

}  // namespace brivane
