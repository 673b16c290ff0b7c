#include "Main/initialize.h"

#include "Main/bp.h"
#include "Main/chrkey.h"
#include "Main/cp_config.h"
#include "Main/faderevent.h"
#include "Main/keymem.h"
#include "Main/keypreset.h"

KZ_SOURCE("Main/initialize");

namespace {
// Key presets drop their selections.
void resetKeyPresets() {
  if (auto* presets = BP::instance().find<category::CategoryKeyPreset>()) presets->reset();
}

// The chroma data of the keyers of M/E 1 and 2 is read afresh, and every key source unit forgets
// what it holds.
void reloadKeyerStores() {
  for (int me = 0; me < 2; ++me) {
    auto* chroma = BP::instance().find<category::CategoryChromaKey>(me);
    if (chroma == nullptr) continue;
    for (int c = 0; c < category::CategoryChromaKey::N_KEYERS; ++c) chroma->reloadChannelData(c);
  }
  if (KeyMemory* memory = findKeyMemory()) memory->invalidateAll();
}

void carryOutInitialCommand() {
  category::CategoryFaderEvent::get().resetLinks();
  if (auto* panels = BP::instance().find<category::CategoryControlPanelConfig>()) panels->clearKeyFaderButtonEnables();
  resetKeyPresets();
  reloadKeyerStores();
}
}  // namespace

namespace category {

void CategoryInitialize::receiveRouted(int typeId, RequestReceiver& rx) {
  rx.consume();
  KZ_CHECK_EQ(typeId, IndexOf<KzifInitialize>::value);
  carryOutInitialCommand();
}

}  // namespace category

void initCategoryInitialize() { static category::CategoryInitialize initialize; }
