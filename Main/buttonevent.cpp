#include "Main/buttonevent.h"

#include "Common/log.h"
#include "Main/bkgd.h"
#include "Main/clip.h"
#include "Main/bp.h"
#include "Main/bus.h"
#include "Main/faderevent.h"
#include "Main/keypreset.h"
#include "Main/image.h"
#include "Main/macro.h"
#include "Main/system.h"
#include "Main/usk.h"

KZ_SOURCE("Main/buttonevent");

using internal::KzifButtonEvent;

void ButtonEventQueue::push(const KzifButtonEvent& event) {
  KZ_CHECK(full() == false);
  slots_[write_] = event;
  write_ = (write_ + 1) % N_SLOTS;
}

KzifButtonEvent ButtonEventQueue::pop() {
  KZ_CHECK(empty() == false);
  const KzifButtonEvent event = slots_[read_];
  read_ = (read_ + 1) % N_SLOTS;
  return event;
}

namespace {

void keyPresetOnButton(const KzifButtonEvent& event) {
  if (auto* presets = BP::instance().find<category::CategoryKeyPreset>()) presets->onButton(event);
}

void busOnButton(int me, const KzifButtonEvent& event) {
  if (auto* buses = BP::instance().find<category::CategoryBus>(me)) buses->onButton(event);
}

void uskAssignOnButton(const KzifButtonEvent& event) {
  if (event.getMe() >= N_ME) return;
  if (auto* assignment = BP::instance().find<category::CategoryUpStreamKeyAssign>()) assignment->onButton(event);
}

void clipStatusOnButton(const KzifButtonEvent& event) {
  if (auto* clips = BP::instance().find<category::CategoryClipStatus>()) clips->onButton(event);
}

void imageOnButton(int me, const KzifButtonEvent& event) {
  if (auto* image = BP::instance().find<category::CategoryImage>(me)) image->onButton(event);
}

void bkgdOnButton(int me, const KzifButtonEvent& event) { category::CategoryBkgd::get(me).onButton(event); }

void faderMarkButton(const KzifButtonEvent& event) { category::CategoryFaderEvent::get().markButton(event); }

void macroOnButton(const KzifButtonEvent& event) { category::CategoryMacro::get().onButton(event); }

bool in(int code, int first, int last) { return first <= code && code <= last; }

}  // namespace

namespace category {

CategoryButtonEvent& CategoryButtonEvent::get() {
  return BP::instance().require<CategoryButtonEvent>();
}

void CategoryButtonEvent::update() {
  const CategorySystem& system = CategorySystem::get();
  dispatchEnabled_ = panelEventsInField(system.videoFormat(), system.record(0).fieldSelect, system.fieldParity()) ? 1 : 0;
}

void CategoryButtonEvent::drain() {
  if (!dispatchEnabled_) return;
  dispatchAll();
}

// A handler that fails an assertion abandons that one event; the ones behind it still go out, and
// in a burst the event that caused it is still queued afterwards, so none is lost.
void CategoryButtonEvent::dispatchAll() {
  while (!queue_.empty()) {
    const KzifButtonEvent event = queue_.pop();
    try {
      dispatch(event);
    } catch (const assert::AssertException&) {
    }
  }
}

void CategoryButtonEvent::receiveRouted(int, RequestReceiver& rx) {
  KzifButtonEvent event{};
  const bool whole = rec::decode(rx.reader(), event);
  rx.consume();
  if (!whole) return;  // a short body is no event
  if (dispatchEnabled_) {
    dispatch(event);
    return;
  }
  if (queue_.full()) {
    libkz::getLogger().printf(libkz::LOG_ERR, "button event buffer full");
    dispatchAll();
  }
  queue_.push(event);
}

void CategoryButtonEvent::call(int step, int me, const KzifButtonEvent& event) {
  if (observer_) observer_(step, me, event);
  switch (step) {
    case 1:
      busOnButton(me, event);
      bkgdOnButton(me, event);
      break;
    case 2: CategorySystem::get().onButton(event); break;
    case 4: busOnButton(me, event); break;
    case 5: imageOnButton(me, event); break;
    case 6:
      bkgdOnButton(me, event);
      clipStatusOnButton(event);
      faderMarkButton(event);
      break;
    case 7: keyPresetOnButton(event); break;
    case 8: macroOnButton(event); break;
    case 9: faderMarkButton(event); break;
    case 10: uskAssignOnButton(event); break;
    default: break;
  }
}

// Each step whose codes match makes its calls, and later steps are still tried.
void CategoryButtonEvent::dispatch(const KzifButtonEvent& event) {
  const int code = event.code;
  // A bus row button, the common event, is no code of the steps before its own and matches no
  // later step: its one call is made straight away.
  if (in(code, 1100, 1291)) {
    if (event.me > 3) return;
    if (observer_) observer_(4, event.me, event);
    busOnButton(event.me, event);
    return;
  }
  if (code == 3000)
    for (int me = 0; me < N_ME; ++me) call(1, me, event);
  if (code == 2006 || code == 2013) call(2, event.me, event);
  if (event.me > 3) return;
  const int me = event.me;
  if (code == 1295 || code == 1296) call(5, me, event);
  if (in(code, 1600, 1839) || in(code, 2100, 2139)) call(6, me, event);
  if (in(code, 1700, 1707) || in(code, 1800, 1807) || in(code, 2100, 2103)) call(7, me, event);
  if (code == KzifButtonEvent::BTN_TR_MACRO_ATTCH) call(8, me, event);
  if (code == 3100 || code == 3101) call(9, me, event);
  if (in(code, 2050, 2053)) call(10, me, event);
}

}  // namespace category

void initCategoryButtonEvent() {
  static category::CategoryButtonEvent events;
  events.resetDispatch();  // a power cycle starts holding events back, as construction does
  BP::instance().setFieldStartHook([] { category::CategoryButtonEvent::get().drain(); });
}
