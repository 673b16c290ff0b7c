#include "Main/shotmem.h"

#include "Main/bp.h"

KZ_SOURCE("Main/shotmem");

namespace category {

CategoryShotMemoryStatus& CategoryShotMemoryStatus::get() {
  return BP::instance().require<CategoryShotMemoryStatus>();
}

void CategoryShotMemoryStatus::initInternal() {
  CategoryCommon::initInternal();
  maybeMarked_.markAll();
}

void CategoryShotMemoryStatus::assign(const KzifShotMemoryStatus& in, int idx) {
  CategoryCommon::assign(in, idx);
  maybeMarked_.mark(idx);
}

void CategoryShotMemoryStatus::sendChanges(AcknowledgeSender& tx) {
  maybeMarked_.visit([&](int ch) {
    if (tx.backlogged()) return false;  // the changes stay pending until the backlog drains
    sendIfMarked(tx, ch);
    return true;
  });
}

void CategoryShotMemoryStatus::send(AcknowledgeSender& tx, int ch) {
  if (ch < 0 || ch >= N_CHANNELS || tx.backlogged()) return;
  sendIfMarked(tx, ch);
}

// The framework's send of one channel, which also lets the channel go from the ones looked at.
void CategoryShotMemoryStatus::sendIfMarked(AcknowledgeSender& tx, int ch) {
  maybeMarked_.unmark(ch);
  KzifShotMemoryStatus& r = records_[ch];
  if (!changed_[static_cast<std::size_t>(ch)] && !rec::anyMask(r)) return;
  rec::stamp(r, me_, ch);
  tx.writeRecord(r);  // a failed write is logged by the sender; the change is not kept
  rec::clearMasks(r);
  changed_[static_cast<std::size_t>(ch)] = 0;
}

int CategoryShotMemoryStatus::isStored(int s) const {
  if (s < 0 || s >= N_CHANNELS || records_ == nullptr) return 0;
  return records_[s].stored == 1 ? 1 : 0;
}

}  // namespace category

void initCategoryShotMemoryStatus() { static category::CategoryShotMemoryStatus status; }
