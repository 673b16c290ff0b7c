#include "Main/initialize.h"

#include "Main/bp.h"
#include "Main/cp_config.h"
#include "Main/faderevent.h"
#include "Main/keypreset.h"

KZ_SOURCE("Main/initialize");

namespace {
// The features still to come join here, after the fader links are free again: the key presets,
// the chroma key tables of M/E 1 and 2, and the key source memory.
void resetFeaturesNotBuiltYet() {
  if (auto* presets = BP::instance().find<category::CategoryKeyPreset>()) presets->reset();
}

void carryOutInitialCommand() {
  category::CategoryFaderEvent::get().resetLinks();
  if (auto* panels = BP::instance().find<category::CategoryControlPanelConfig>()) panels->clearKeyFaderButtonEnables();
  resetFeaturesNotBuiltYet();
}
}  // namespace

namespace category {

void CategoryInitialize::receiveRouted(int typeId, RequestReceiver& rx) {
  rx.consume();
  KZ_CHECK_EQ(typeId, IndexOf<KzifInitialize>::value);
  carryOutInitialCommand();
  ++executed_;
}

}  // namespace category

void initCategoryInitialize() { static category::CategoryInitialize initialize; }
