#include "Main/system.h"

#include "Main/bp.h"
#include "Main/bus.h"
#include "Main/clip.h"
#include "Main/stillmemory.h"
#include "Main/dsk.h"

KZ_SOURCE("Main/system");

namespace {

// The still pictures do not survive a move to another format group.
void resetStills() {
  if (auto* stills = BP::instance().find<category::CategoryStillMemory>()) stills->resetStills();
}
// The clip channels are reset after any change of the format code.
void requestClipReset() {
  if (auto* clips = BP::instance().find<category::CategoryClipStatus>()) clips->requestReset();
}

void onVideoFormatChanged(int oldFormat, int newFormat) {
  if (formatGroup(newFormat) != formatGroup(oldFormat)) resetStills();
  requestClipReset();
}

// The buses turn this into a one-time skip of their source-link follow.
void requestBusLinkSuppress() {
  for (int me = 0; me < N_ME; ++me)
    if (auto* bus = BP::instance().find<category::CategoryBus>(me))
      bus->requestLinkSuppress();
}

}  // namespace

namespace category {

CategorySystem& CategorySystem::get() { return BP::instance().require<CategorySystem>(); }

void CategorySystem::initInternal() {
  CategoryCommon::initInternal();
  formatChanged_ = 0;
  appliedFormat_ = record(0).videoFormat;
  for (auto& code : pressed_)
    for (u8& p : code) p = 0;
}

void CategorySystem::update() {
  const int format = videoFormat();
  formatChanged_ = format != appliedFormat_;
  if (formatChanged_) {
    const int old = appliedFormat_;
    appliedFormat_ = format;
    onVideoFormatChanged(old, format);
  }
  routeDskOutputs();
}

void CategorySystem::assign(const KzifSystem& in, int idx) {
  CategoryCommon::assign(in, idx);
  if ((in.mask & (1u << 1)) && in.linkSuppress == 1) requestBusLinkSuppress();
}

void CategorySystem::onButton(const internal::KzifButtonEvent& event) {
  if (event.me <= 3 || event.panel > 2) return;
  int which;
  if (event.code == 2006) {
    which = 0;
  } else if (event.code == 2013) {
    which = 1;
  } else {
    return;
  }
  u8& pressed = pressed_[which][event.panel];
  if (event.state == 0) {
    pressed = 0;
    return;
  }
  if (event.state != 1 || pressed) return;
  pressed = 1;
  KzifSystem& r = record(0);
  u8& setting = which == 0 ? r.toggle2006 : r.toggle2013;
  setting = static_cast<u8>(setting ? 0 : 1);
  r.mask |= 1u << (which == 0 ? 2 : 3);
  markChanged(0);
}

bool CategorySystem::isField(int n) const {
  if (!isInterlacedFormat(videoFormat())) return true;
  return fieldParity_ == n;
}

bool CategorySystem::isSecondField() const {
  if (is720Format(videoFormat())) return true;
  return fieldParity_ == 1;
}

}  // namespace category

void initCategorySystem() { static category::CategorySystem system; }
