// The software locks of the four clip channels (resources 4..7, shared with the System Manager):
// a write lock while a channel records, a read lock while it plays. The clip status category
// holds the set; the still engine finds it there through the registry to see whether a clip
// records, and the clip side asks the still status whether a still is being captured, so that a
// recording and a capture never run at once.
#pragma once
#include <array>

#include "Common/lock.h"
#include "Lib/Include/kz_types.h"

class ClipChannelLocks {
 public:
  static constexpr int N_CHANNELS = 4;
  static constexpr int FIRST_RESOURCE = 4;
  // lockState values.
  static constexpr u32 NONE = 0;
  static constexpr u32 READING = 1;  // playing
  static constexpr u32 WRITING = 2;  // recording

  ClipChannelLocks() = default;
  ~ClipChannelLocks() { releaseAllLocks(); }
  ClipChannelLocks(const ClipChannelLocks&) = delete;
  ClipChannelLocks& operator=(const ClipChannelLocks&) = delete;

  // 0 taken; 1 another clip channel records or a still is being captured; 2 this channel already
  // holds a lock or the System Manager holds its resource.
  int takeRecordLock(int ch);
  // 0 taken (or already held for reading); 2 the channel records or its resource is held
  // elsewhere.
  int takeReadLock(int ch);
  void releaseLock(int ch);
  void releaseAllLocks();
  // 1 while any clip channel holds its write lock.
  int isRecording() const;
  u32 lockState(int ch) const;

 private:
  std::array<Lock, N_CHANNELS> lock_{};
  std::array<u32, N_CHANNELS> lockState_{};
};
