#include "Main/initialize.h"

KZ_SOURCE("Main/initialize");

namespace {
// Each feature that has state to bring back joins here as it is built: the fader links and key
// fader button enables, the key presets, the chroma key tables of M/E 1 and 2, and the key source
// memory.
void carryOutInitialCommand() {}
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
