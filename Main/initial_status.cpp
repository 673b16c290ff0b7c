#include "Main/initial_status.h"

namespace category {

void CategoryInitialStatus::initInternal() {
  CategoryCommon::initInternal();
  records_[0].mask = 0;
}

void CategoryInitialStatus::assign(const internal::KzifInitialStatus& in, int idx) {
  CategoryCommon::assign(in, idx);
  if (in.mask & (1u << internal::KzifInitialStatus::BIT_BLOCK))
    for (int i = 0; i < internal::KzifInitialStatus::N_BLOCK_WORDS; ++i) records_[idx].blockWords[i] = in.blockWords[i];
}

// The pulse goes out with one report only. A report held back by a backlog keeps it (and the
// marks), so that the panels still see it once the ring drains.
void CategoryInitialStatus::sendChanges(AcknowledgeSender& tx) {
  internal::KzifInitialStatus& r = records_[0];
  if (!changed(0) && r.mask == 0) {
    r.pulse = 0;
    return;
  }
  if (tx.backlogged()) return;
  CategoryCommon::sendChanges(tx);
  r.mask = 0;
  r.pulse = 0;
}

}  // namespace category

void initCategoryInitialStatus() { static category::CategoryInitialStatus initialStatus; }
