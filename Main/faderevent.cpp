#include "Main/faderevent.h"

#include "Main/dsk.h"
#include "Main/key.h"

KZ_SOURCE("Main/faderevent");

namespace {

constexpr float END_TOLERANCE = 1e-5f;

// The keyers and downstream keys bring their key-on, in-transition and transition-stopped state
// in line with their entries here. It runs before this
// field's step, so that a cut waiting in state 3 is seen for one field before the step completes
// it.
void followTransitionsInKeyRecords(const std::array<AutoTransition, N_AUTO_TRANSITIONS>& transitions) {
  followKeyTransitions(transitions);
  followDskTransitions(transitions);
}

category::CategoryFaderEvent& faderEventObject() {
  static category::CategoryFaderEvent faderEvent;
  return faderEvent;
}

bool validMe(int me) { return 0 <= me && me < N_ME; }

}  // namespace

namespace category {

CategoryFaderEvent::CategoryFaderEvent() {
  // Usable before (or without) the start-up initialisation.
  CategoryFaderEvent::initInternal();
}

CategoryFaderEvent& CategoryFaderEvent::get() { return faderEventObject(); }

void CategoryFaderEvent::initInternal() {
  transitions_.fill(AutoTransition{});
  resetLinks();
  for (int panel = 0; panel < N_PANELS; ++panel) resetCalibration(panel, 0);
  holdTicks_.fill(0);
  // The codes stay: features that watch buttons may have set them before this runs at start-up.
  for (auto& row : watches_)
    for (auto& w : row) w.pressed = 0;
}

void CategoryFaderEvent::update() {
  followTransitionsInKeyRecords(transitions_);
  // Only a running transition or a pending cut steps; the others would return at once.
  for (auto& t : transitions_)
    if (t.state == AutoTransition::STATE_RUNNING || t.state == AutoTransition::STATE_CUT_PENDING) t.step();
}

void CategoryFaderEvent::tick() {
  for (u8& left : holdTicks_)
    if (left > 0) --left;
}

// The fader event's body layout is not known here: the message is taken and nothing else done.
void CategoryFaderEvent::receiveRouted(int, RequestReceiver& rx) { rx.consume(); }

AutoTransition& CategoryFaderEvent::transition(int i) {
  KZ_CHECK(0 <= i && i < N_AUTO_TRANSITIONS);
  return transitions_[static_cast<std::size_t>(i)];
}

const AutoTransition& CategoryFaderEvent::transition(int i) const {
  KZ_CHECK(0 <= i && i < N_AUTO_TRANSITIONS);
  return transitions_[static_cast<std::size_t>(i)];
}

FaderLink& CategoryFaderEvent::link(int i) {
  KZ_CHECK(0 <= i && i < N_LINKS);
  return links_[static_cast<std::size_t>(i)];
}

const FaderLink& CategoryFaderEvent::link(int i) const {
  KZ_CHECK(0 <= i && i < N_LINKS);
  return links_[static_cast<std::size_t>(i)];
}

int CategoryFaderEvent::isBkgdTransAtEnd(int me) const {
  if (!validMe(me)) return 0;
  const AutoTransition& t = transitions_[static_cast<std::size_t>(bkgdTransIndex[static_cast<std::size_t>(me)])];
  if (t.state == AutoTransition::STATE_RUNNING || t.state == AutoTransition::STATE_CUT_PENDING) return 0;
  const float p = t.position();
  return (p <= END_TOLERANCE || p >= 1.0f - END_TOLERANCE) ? 1 : 0;
}

void CategoryFaderEvent::markButton(const internal::KzifButtonEvent& event) {
  if (!validMe(event.me) || event.panel >= N_PANELS || event.state != 1 || event.code < 0) return;
  for (auto& w : watches_[event.me])
    if (w.code == event.code) w.pressed = 1;
}

bool CategoryFaderEvent::watchButton(int me, int slot, int code) {
  if (!validMe(me) || slot < 0 || slot >= N_BUTTON_WATCHES) return false;
  FaderButtonWatch& w = watches_[static_cast<std::size_t>(me)][static_cast<std::size_t>(slot)];
  w.code = code < 0 ? -1 : code;
  w.pressed = 0;
  return true;
}

bool CategoryFaderEvent::buttonPressed(int me, int slot) const {
  if (!validMe(me) || slot < 0 || slot >= N_BUTTON_WATCHES) return false;
  return watches_[static_cast<std::size_t>(me)][static_cast<std::size_t>(slot)].pressed != 0;
}

bool CategoryFaderEvent::clearButtonPress(int me, int slot) {
  if (!validMe(me) || slot < 0 || slot >= N_BUTTON_WATCHES) return false;
  watches_[static_cast<std::size_t>(me)][static_cast<std::size_t>(slot)].pressed = 0;
  return true;
}

bool CategoryFaderEvent::releaseFader(int panel, int me) {
  if (panel < 0 || panel >= N_PANELS || !validMe(me)) return false;
  links_[static_cast<std::size_t>(bkgdTransIndex[static_cast<std::size_t>(me)])].owner = FaderLink::FREE;
  for (int ch = 0; ch < N_KEYER_CHANNELS; ++ch) link(keyTransIndex(me, ch)).owner = FaderLink::FREE;
  // The lever still stands where it left the old M/E; without the hold it would grab the new
  // M/E's transition at that position.
  holdTicks_[static_cast<std::size_t>(panel)] = FADER_HOLD_TICKS;
  return true;
}

bool CategoryFaderEvent::faderHeld(int panel) const {
  if (panel < 0 || panel >= N_PANELS) return false;
  return holdTicks_[static_cast<std::size_t>(panel)] > 0;
}

void CategoryFaderEvent::releaseKeyFaderLinks() {
  for (int me = 0; me < N_ME; ++me)
    for (int ch = 0; ch < N_KEYER_CHANNELS; ++ch) link(keyTransIndex(me, ch)).owner = FaderLink::FREE;
  for (int n = 0; n < N_DSK_CHANNELS; ++n) link(dskTransIndex(n)).owner = FaderLink::FREE;
}

void CategoryFaderEvent::resetLinks() { links_.fill(FaderLink{}); }

bool CategoryFaderEvent::resetCalibration(int panel, int /*selector*/) {
  if (panel < 0 || panel >= N_PANELS) return false;
  calibration_[static_cast<std::size_t>(panel)].fill(FaderCalibrationPair{CALIBRATION_DEFAULT_FIRST, CALIBRATION_DEFAULT_SECOND});
  return true;
}

bool CategoryFaderEvent::setCalibration(int panel, int pair, FaderCalibrationPair value) {
  if (panel < 0 || panel >= N_PANELS || pair < 0 || pair >= N_CALIBRATION_PAIRS) return false;
  calibration_[static_cast<std::size_t>(panel)][static_cast<std::size_t>(pair)] = value;
  return true;
}

const FaderCalibrationPair& CategoryFaderEvent::calibration(int panel, int pair) const {
  KZ_CHECK(0 <= panel && panel < N_PANELS);
  KZ_CHECK(0 <= pair && pair < N_CALIBRATION_PAIRS);
  return calibration_[static_cast<std::size_t>(panel)][static_cast<std::size_t>(pair)];
}

}  // namespace category

void initCategoryFaderEvent() { faderEventObject(); }
