#include "Main/macro.h"

#include <cstring>

#include "Common/assert.h"

KZ_SOURCE("Main/macro");

namespace category {

CategoryMacro& CategoryMacro::get() {
  static CategoryMacro macro;
  return macro;
}

void CategoryMacro::onButton(const internal::KzifButtonEvent& event) {
  KZ_CHECK(event.getCode() == internal::KzifButtonEvent::BTN_TR_MACRO_ATTCH);
  if (event.state != 1) return;
  if (event.panel >= KzifMacro::N_GROUPS || event.me >= KzifMacro::N_FLAGS) return;
  u8& flag = record_.attach[event.panel][event.me];
  flag = static_cast<u8>(flag ? 0 : 1);
  record_.mask |= KzifMacro::changeBit(event.panel, event.me);
}

int CategoryMacro::attached(int group, int flag) const {
  if (group < 0 || group >= KzifMacro::N_GROUPS || flag < 0 || flag >= KzifMacro::N_FLAGS) return 0;
  return record_.attach[group][flag];
}

void CategoryMacro::clear() { std::memset(static_cast<void*>(&record_), 0, sizeof record_); }

}  // namespace category
