#include "Main/bkgd.h"

#include "Main/bp.h"

KZ_SOURCE("Main/bkgd");

namespace {

constexpr int ALL_ME_BUTTON = 3000;
constexpr int NO_BUTTON = -1;

}  // namespace

namespace category {

CategoryBkgd::CategoryBkgd() : CategoryCommon(true) {
  for (int i = 0; i < N_LATCHES; ++i) watchButton(i, NO_BUTTON);
}

CategoryBkgd& CategoryBkgd::get(int me) {
  KZ_CHECK(0 <= me && me < N_ME);
  return BP::instance().require<CategoryBkgd>(me);
}

void CategoryBkgd::initIndex(int, int) { rec::stamp(record(0), me_, 0); }

void CategoryBkgd::initInternal() {
  CategoryCommon::initInternal();
  pendingFlip_ = 0;
  // The watched codes are configuration and survive; presses from before the restart do not.
  for (ButtonLatch& l : latches_) {
    for (int p = 0; p < 3; ++p) l.pressed[p] = l.held[p] = 0;
  }
}

bool CategoryBkgd::isBackgroundRowCode(int code) {
  return (1600 <= code && code <= 1839) || (2100 <= code && code <= 2139);
}

void CategoryBkgd::onButton(const internal::KzifButtonEvent& event) {
  if (event.panel > 2) return;
  const int code = event.getCode();
  // Only known codes reach the latches, so that an unwatched latch (code −1) can never match a
  // code read from the wire as 0xFFFF.
  if (code != ALL_ME_BUTTON && (event.getMe() != me_ || !isBackgroundRowCode(code))) return;
  for (ButtonLatch& l : latches_) l.update(event);
}

void CategoryBkgd::watchButton(int i, int code) {
  ButtonLatch& l = latchAt(i);
  l = ButtonLatch{};
  l.code = code;
}

const ButtonLatch& CategoryBkgd::latch(int i) const {
  KZ_CHECK(0 <= i && i < N_LATCHES);
  return latches_[static_cast<std::size_t>(i)];
}

ButtonLatch& CategoryBkgd::latchAt(int i) {
  KZ_CHECK(0 <= i && i < N_LATCHES);
  return latches_[static_cast<std::size_t>(i)];
}

void CategoryBkgd::clearLatches() {
  for (ButtonLatch& l : latches_) l.clear();
}

void CategoryBkgd::flipHook() {
  KzifBkgd& r = record(0);
  if (r.flipEnable != 1) return;
  r.flip = r.flip == 0 ? 1 : 0;
  r.mask |= FLIP_BIT;
}

bool CategoryBkgd::takePendingFlip() {
  if (!pendingFlip_) return false;
  pendingFlip_ = 0;
  KzifBkgd& r = record(0);
  r.flipEnable = 1;
  r.mask |= FLIP_ENABLE_BIT;
  return true;
}

}  // namespace category

void initCategoryBkgd() { static category::CategoryBkgd backgrounds[N_ME]; }
