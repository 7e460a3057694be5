#include "app/instance_guard.h"

#include "platform/instance_lock.h"

namespace brivane {

namespace {
InstanceLock& guard() {
  static InstanceLock lock;
  return lock;
}
}  // namespace

bool TakeInstanceGuard() {
  InstanceLockResult r = guard().tryAcquire(InstanceLock::defaultPath());
  // A runtime folder that cannot be used: the fallback in /tmp still guards.
  if (r == InstanceLockResult::Unavailable) r = guard().tryAcquire(InstanceLock::fallbackPath());
  return r != InstanceLockResult::AlreadyHeld;
}

void ReleaseInstanceGuard() { guard().release(); }

}  // namespace brivane
