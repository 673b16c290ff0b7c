// A panel button event as the System Manager relays it (type id 92), and the press memory that
// features keep of one button code. Features that act on buttons include this, not the
// dispatcher that calls them.
#pragma once
#include "Lib/Include/kz_types.h"
#include "Lib/Include/record.h"

namespace internal {

// No field mask. Held in memory with the same fields in the same order.
struct KzifButtonEvent {
  static constexpr int TYPE_ID = 92;
  static constexpr int N_CHANNELS = 1;
  static constexpr const char* NAME = "KzifButtonEvent";
  static constexpr int BTN_TR_MACRO_ATTCH = 1603;

  u16 carried0;  // carried, read by no handler
  u8 flag0;      // boolean, read by no handler
  u16 carried1;  // carried, read by no handler
  u8 panel;      // control panel 0..2
  u8 me;         // M/E 0..3 of the button's row; above 3 for buttons of no M/E
  u8 bus;        // row 0..88 within the M/E
  i16 code;      // button code
  u8 state;      // 1 pressed, 0 released
  u8 flag1;      // boolean, read by no handler

  int getMe() const { return me; }
  int getCode() const { return code; }

  static constexpr auto wire() {
    using R = KzifButtonEvent;
    return rec::list(rec::plain(&R::carried0), rec::plain(&R::flag0, rec::boolean()), rec::plain(&R::carried1),
                     rec::plain(&R::panel), rec::plain(&R::me), rec::plain(&R::bus), rec::plain(&R::code),
                     rec::plain(&R::state), rec::plain(&R::flag1, rec::boolean()));
  }
};

}  // namespace internal

static_assert(rec::wireSizeOf<internal::KzifButtonEvent>() == 12);

// Per-panel press memory of one button code, kept by the features that act on a press only once
// or on a button held down.
struct ButtonLatch {
  i32 code;
  u8 pressed[3];
  u8 held[3];

  // A press sets held and pressed of its panel, a release clears held; only for this code and
  // panels 0..2.
  void update(const internal::KzifButtonEvent& event) {
    if (event.code != code || event.panel > 2) return;
    if (event.state == 1) {
      held[event.panel] = 1;
      pressed[event.panel] = 1;
    } else if (event.state == 0) {
      held[event.panel] = 0;
    }
  }
  // Forgets the presses; held and the code stay.
  void clear() { pressed[0] = pressed[1] = pressed[2] = 0; }
};
