#include "Main/shotmem.h"

#include "Main/bp.h"
#include "Main/keypreset.h"

KZ_SOURCE("Main/shotmem");

namespace category {

CategoryShotMemoryStatus& CategoryShotMemoryStatus::get() {
  return BP::instance().require<CategoryShotMemoryStatus>();
}

int CategoryShotMemoryStatus::isStored(int s) const {
  if (s < 0 || s >= N_CHANNELS || records_ == nullptr) return 0;
  return records_[s].stored == 1 ? 1 : 0;
}

}  // namespace category

void initCategoryShotMemoryStatus() { static category::CategoryShotMemoryStatus status; }

void reportKeyPresetShot(int s, ShotMemoryEvent event) {
  if (s < keypreset::FIRST_SHOT_CHANNEL || s > keypreset::LAST_SHOT_CHANNEL) return;
  auto* presets = BP::instance().find<category::CategoryKeyPreset>();
  if (presets == nullptr) return;
  const keypreset::Address a = keypreset::addressOf(s);
  const int flash = event == ShotMemoryEvent::Recalled ? 0 : 1;
  const int set = event == ShotMemoryEvent::Read ? 0 : 1;
  presets->setShotSelection(a.target, a.channel, a.slot, flash, set);
}
