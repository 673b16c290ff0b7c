#include "Main/channel_locks.h"

#include "Common/assert.h"
#include "Main/bp.h"
#include "Main/stillmemory.h"

KZ_SOURCE("Main/channel_locks");

namespace {
void checkChannel(int ch) { KZ_CHECK(0 <= ch && ch < ClipChannelLocks::N_CHANNELS); }
}  // namespace

int ClipChannelLocks::takeRecordLock(int ch) {
  checkChannel(ch);
  const auto i = static_cast<std::size_t>(ch);
  if (lockState_[i] != NONE) return 2;
  if (isRecording()) return 1;
  const auto* stills = BP::instance().find<category::CategoryStillStatus>();
  if (stills != nullptr && stills->isStillBusy()) return 1;
  lock_[i].lock(FIRST_RESOURCE + ch, true);
  if (!lock_[i].held()) return 2;
  lockState_[i] = WRITING;
  return 0;
}

int ClipChannelLocks::takeReadLock(int ch) {
  checkChannel(ch);
  const auto i = static_cast<std::size_t>(ch);
  if (lockState_[i] == READING) return 0;
  if (lockState_[i] != NONE) return 2;
  lock_[i].lock(FIRST_RESOURCE + ch, false);
  if (!lock_[i].held()) return 2;
  lockState_[i] = READING;
  return 0;
}

void ClipChannelLocks::releaseLock(int ch) {
  checkChannel(ch);
  const auto i = static_cast<std::size_t>(ch);
  lock_[i].unlock();
  lockState_[i] = NONE;
}

void ClipChannelLocks::releaseAllLocks() {
  for (int ch = 0; ch < N_CHANNELS; ++ch)
    if (lockState_[static_cast<std::size_t>(ch)] != NONE) releaseLock(ch);
}

int ClipChannelLocks::isRecording() const {
  for (u32 s : lockState_)
    if (s == WRITING) return 1;
  return 0;
}

u32 ClipChannelLocks::lockState(int ch) const {
  checkChannel(ch);
  return lockState_[static_cast<std::size_t>(ch)];
}
