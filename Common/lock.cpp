#include "Common/lock.h"

#include "Common/assert.h"
#include "Platform/platform.h"

KZ_SOURCE("Common/lock");

namespace {

volatile u32& lockWord(int resource) {
  u8* p = platform::ddr(platform::SW_LOCK_WORDS + 4u * static_cast<u32>(resource), 4);
  return *reinterpret_cast<volatile u32*>(p);
}

// Runs fn on the lock word under the hardware guard; false when the guard is busy.
template <class Fn>
bool underGuard(Fn fn) {
  if (!platform::hwLockTry(LOCK_HW_GUARD)) return false;
  fn();
  platform::hwLockRelease(LOCK_HW_GUARD);
  return true;
}

bool tryTake(int resource, bool write) {
  bool taken = false;
  underGuard([&] {
    volatile u32& w = lockWord(resource);
    if (write) {
      if (w == 0) {
        w = LOCK_WRITER;
        taken = true;
      }
    } else if ((w & LOCK_WRITER) == 0) {
      w = w + 1;
      taken = true;
    }
  });
  return taken;
}

void release(int resource, bool write) {
  // The guard is held only for a few instructions by either core; retry until it is ours so a
  // release is never lost.
  while (!underGuard([&] {
    volatile u32& w = lockWord(resource);
    if (write) {
      if (w == LOCK_WRITER) w = 0;
    } else if ((w & LOCK_WRITER) == 0 && w > 0) {
      w = w - 1;
    }
  })) {
  }
}

}  // namespace

void Lock::lock(int resource, bool write) {
  KZ_CHECK(resource_ == -1);
  KZ_CHECK(0 <= resource && resource < platform::N_SW_LOCKS);
  write_ = write;
  if (tryTake(resource, write)) resource_ = resource;
}

void Lock::unlock() {
  if (resource_ == -1) return;
  release(resource_, write_);
  resource_ = -1;
}

namespace locks {

u32 word(int resource) {
  if (resource < 0 || resource >= platform::N_SW_LOCKS) return 0;
  return lockWord(resource);
}

bool remoteAcquire(int resource, bool write) {
  if (resource < 0 || resource >= platform::N_SW_LOCKS) return false;
  return tryTake(resource, write);
}

void remoteRelease(int resource, bool write) {
  if (resource < 0 || resource >= platform::N_SW_LOCKS) return;
  release(resource, write);
}

}  // namespace locks
