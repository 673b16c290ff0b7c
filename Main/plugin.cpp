#include "Main/plugin.h"

namespace category {

std::size_t CategoryPluginStatus::attachBackup(u8* p) {
  flagShare_ = p;
  attachInternal(channels_.data());
  return N_CHANNELS;  // one flag byte per channel
}

void CategoryPluginStatus::initIndex(int, int) {
  for (int ch = 0; ch < N_CHANNELS; ++ch) rec::stamp(records_[ch], me_, ch);
}

// A stored flag above 1 is a damaged byte: it counts as set, so that no out-of-range value is
// reported.
void CategoryPluginStatus::restore(const u8* stored) {
  for (int ch = 0; ch < N_CHANNELS; ++ch) {
    KzifPluginStatus& r = records_[ch];
    rec::stamp(r, me_, ch);
    r.flag = stored[ch] > 1 ? 1 : stored[ch];
    r.mask |= 1u << KzifPluginStatus::BIT_FLAG;
    mayHoldMarks(ch);
  }
}

void CategoryPluginStatus::afterSend() {
  if (flagShare_ == nullptr) return;
  // The records are not the share: a flag copied into it marks its own byte.
  for (int ch = 0; ch < N_CHANNELS; ++ch)
    if (flagShare_[ch] != records_[ch].flag) {
      flagShare_[ch] = records_[ch].flag;
      shareMarks().setBytes(&flagShare_[ch], 1);
    }
}

}  // namespace category

void initCategoryPlugin() { static category::CategoryPlugin plugin; }
void initCategoryPluginStatus() { static category::CategoryPluginStatus status; }
