#include "Main/peripheral.h"

#include "Driver/status.h"
#include "Main/bp.h"
#include "Main/multiview.h"

KZ_SOURCE("Main/peripheral");

namespace category {

CategoryPeripheral& CategoryPeripheral::get() { return BP::instance().require<CategoryPeripheral>(); }

const TallyGroup& CategoryPeripheral::tallyGroup(int group) const {
  KZ_CHECK(0 <= group && group < KzifPeripheral::N_GROUPS);
  return record(0).tallyGroup[group];
}

// Nothing is due after a start until a restore or a record asks for it.
std::size_t CategoryPeripheral::attachBackup(u8* p) {
  tallyModePending_ = false;
  groupsChanged_ = false;
  return CategoryCommon::attachBackup(p);
}

void CategoryPeripheral::restore(const u8* stored) {
  CategoryCommon::restore(stored);
  tallyModePending_ = true;
  groupsChanged_ = true;
}

void CategoryPeripheral::assign(const KzifPeripheral& in, int idx) {
  checkChannel(idx);
  KzifPeripheral filtered = in;
  for (int k = 0; k < KzifPeripheral::N_GROUPS; ++k) {
    TallyGroup& g = filtered.tallyGroup[k];
    for (int i = 0; i < TallyGroup::N_OUTPUTS; ++i)
      if (!isValidTallyOutput(k, g.output[i])) g.mask &= ~(1u << i);
  }
  KzifPeripheral taken{};
  rec::merge(taken, filtered);
  rec::merge(records_[idx], taken, rec::Checks::Skip);
  markChanged(idx);
  if (taken.mask & (1u << KzifPeripheral::BIT_TALLY_MODE)) tallyModePending_ = true;
  for (const TallyGroup& g : taken.tallyGroup)
    if (g.mask != 0) groupsChanged_ = true;
}

void CategoryPeripheral::update() {
  if (tallyModePending_) {
    setPeripheralTally(KZ_DSK_PGM1, record(0).tallyMode == 1 ? 0 : 1);
    tallyModePending_ = false;
  }
  if (groupsChanged_) {
    if (auto* multiview = BP::instance().find<CategoryMultiView>(0)) multiview->invalidateTally();
    groupsChanged_ = false;
  }
}

}  // namespace category

void initCategoryPeripheral() { static category::CategoryPeripheral peripheral; }
