#include "Main/sources.h"

#include "Main/bp.h"
#include "Main/clip.h"
#include "Main/source_ids.h"
#include "Main/stillmemory.h"

KZ_SOURCE("Main/sources");

namespace {

constexpr int STILL_MEMORY_TYPE_ID = IndexOf<KzifStillMemory>::value;
constexpr int CLIP_REC_TYPE_ID = IndexOf<KzifClipRec>::value;
// The media recorder inputs: the extended output buses that carry a still or clip's video and key.
constexpr int MEDIA_FILL_BUS = 13;
constexpr int MEDIA_KEY_BUS = 14;

// What a media recorder record says about its monitored channel.
struct MediaMonitor {
  int channel = 0;
  int monitor = 0;
};

MediaMonitor readStillMonitor(category::CategoryInterface& stillMemory) {
  const KzifStillMemory& r = static_cast<const category::CategoryStillMemory&>(stillMemory).record(0);
  return {r.channel, r.recMode.monitor};
}

MediaMonitor readClipMonitor(category::CategoryInterface& clipRec) {
  const KzifClipRec& r = static_cast<const category::CategoryClipRec&>(clipRec).record(0);
  return {r.channel, r.recMode.monitor};
}

// The record's channel comes from the System Manager: a channel outside 0..3 selects nothing.
int isMonitoredSource(const MediaMonitor& m, int firstSource, int source) {
  if (m.monitor != 1 || m.channel < 0 || m.channel >= SOURCE_MEDIA_CHANNELS) return 0;
  const int video = firstSource + SOURCE_IDS_PER_MEDIA_CHANNEL * m.channel;
  return source == video || source == video + 1 ? 1 : 0;
}

int clampToZeroOrBelow(int v) { return v > 0 ? 0 : v; }
int clampToZeroOrAbove(int v) { return v < 0 ? 0 : v; }

}  // namespace

int adjustCropEdges(int linked, const i16 oldEdges[4], i16 newEdges[4]) {
  for (int i = 0; i < 4; ++i)
    if (newEdges[i] < -EDGE_LIMIT || newEdges[i] > EDGE_LIMIT) return 0;

  i16& left = newEdges[EDGE_LEFT];
  i16& top = newEdges[EDGE_TOP];
  i16& bottom = newEdges[EDGE_BOTTOM];
  i16& right = newEdges[EDGE_RIGHT];
  const bool leftChanged = left != oldEdges[EDGE_LEFT];
  const bool topChanged = top != oldEdges[EDGE_TOP];
  const bool bottomChanged = bottom != oldEdges[EDGE_BOTTOM];
  const bool rightChanged = right != oldEdges[EDGE_RIGHT];

  if (linked) {
    // Negating a value within -5000..5000 stays within it.
    if (leftChanged) {
      right = static_cast<i16>(-left);
    } else if (rightChanged) {
      left = static_cast<i16>(-right);
    }
    if (topChanged) {
      bottom = static_cast<i16>(-top);
    } else if (bottomChanged) {
      top = static_cast<i16>(-bottom);
    }
    left = static_cast<i16>(clampToZeroOrBelow(left));
    bottom = static_cast<i16>(clampToZeroOrBelow(bottom));
    top = static_cast<i16>(clampToZeroOrAbove(top));
    right = static_cast<i16>(clampToZeroOrAbove(right));
    return 1;
  }

  if (leftChanged && right < left) right = left;
  if (topChanged && top < bottom) {
    bottom = top;
  } else if (bottomChanged && top < bottom) {
    top = bottom;
  }
  if (rightChanged && left > right) left = right;
  return 1;
}

int reorderPriority(int newPriority, int oldPriority, int currentPriorityOfI, int moved, int i) {
  if (newPriority < 0 || newPriority > 3 || oldPriority < 0 || oldPriority > 3) return currentPriorityOfI;
  if (i == moved) return newPriority;
  const int p = currentPriorityOfI;
  if (newPriority < oldPriority && newPriority <= p && p < oldPriority) return p + 1;
  if (newPriority > oldPriority && oldPriority < p && p <= newPriority) return p - 1;
  return p;
}

int isPatternValid(KeyPattern pattern, int target) {
  (void)pattern;
  switch (target) {
    case KZ_KEY1:
    case KZ_KEY1 + 2:
    case KZ_KEY1 + 4:
    case KZ_KEY1 + 6:
      return 1;
    default:
      return 0;
  }
}

void syncLinkedPairKey(const LinkedPair& incoming, const LinkedPair& live, LinkedPair& change) {
  const int linked = (change.mask & LinkedPair::LINKED) ? change.linked : live.linked;
  if (linked != 1) return;
  // Only what the sender asked for and the keyer accepted is a change; a member this routine
  // filled in on an earlier call is not.
  const u32 asked = incoming.mask & change.mask;
  bool firstChanged = (asked & LinkedPair::FIRST) != 0;
  bool secondChanged = (asked & LinkedPair::SECOND) != 0;
  if (firstChanged && secondChanged) {
    if (change.first == change.second) return;
    if (change.first == live.first && change.second != live.second) firstChanged = false;
  }
  if (firstChanged) {
    change.second = change.first;
    change.mask |= LinkedPair::SECOND;
  } else if (secondChanged) {
    change.first = change.second;
    change.mask |= LinkedPair::FIRST;
  }
}

int mediaSourceKind(int source) {
  if (!isStillOrClip(source)) return -1;
  const int fillFirst = source < SOURCE_CLIP_BASE ? SOURCE_STILL_FILL_FIRST : SOURCE_CLIP_FILL_FIRST;
  return (source - fillFirst) % SOURCE_IDS_PER_MEDIA_CHANNEL == 0 ? MEDIA_FILL_BUS : MEDIA_KEY_BUS;
}

int isStillSourceSelected(int source) {
  category::CategoryInterface* still = BP::instance().own(STILL_MEMORY_TYPE_ID, 0);
  if (still == nullptr) return 0;
  return isMonitoredSource(readStillMonitor(*still), SOURCE_STILL_FILL_FIRST, source);
}

int isClipSourceSelected(int source) {
  category::CategoryInterface* clip = BP::instance().own(CLIP_REC_TYPE_ID, 0);
  if (clip == nullptr) return 0;
  return isMonitoredSource(readClipMonitor(*clip), SOURCE_CLIP_FILL_FIRST, source);
}
