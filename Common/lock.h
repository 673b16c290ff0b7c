// Software read/write locks on 128 resources shared with the System Manager. Each resource is a
// word in shared memory, changed only under hardware lock 0x4000; a lock is tried once, never
// waited for.
#pragma once
#include "Lib/Include/kz_types.h"

// Lock word encoding, shared with the System Manager: 0 free, LOCK_WRITER when a writer holds
// it, otherwise the number of readers.
constexpr u32 LOCK_WRITER = 0x80000000u;
constexpr int LOCK_HW_GUARD = 0x4000;

class Lock {
 public:
  Lock() = default;
  // One try. A write lock needs a free resource, a read lock no writer. When refused the handle
  // stays not held (resource() == -1). Asserts that the handle is free and resource < 128.
  void lock(int resource, bool write);
  // Releases a held handle; a handle that is not held is left alone.
  void unlock();
  int resource() const { return resource_; }
  bool isWrite() const { return write_; }
  bool held() const { return resource_ != -1; }

 private:
  bool write_ = false;
  int resource_ = -1;
};

namespace locks {
// The raw word of a resource (for the host runner and tests that play the other core).
u32 word(int resource);
// The other core's side: take (write) or release one resource under the hardware lock.
bool remoteAcquire(int resource, bool write);
void remoteRelease(int resource, bool write);
}  // namespace locks
