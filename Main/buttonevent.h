// Panel button events as the System Manager relays them (type id 92).
#pragma once
#include "Lib/Include/kz_types.h"
#include "Lib/Include/record.h"

namespace internal {

// Body of 12 bytes; no field mask. Held in memory with the same fields in the same order.
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
    return rec::list(rec::plain(&R::carried0), rec::field(0, &R::flag0, rec::boolean()), rec::plain(&R::carried1),
                     rec::plain(&R::panel), rec::plain(&R::me), rec::plain(&R::bus), rec::plain(&R::code),
                     rec::plain(&R::state), rec::field(1, &R::flag1, rec::boolean()));
  }
};

}  // namespace internal

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

#include "Main/category.h"

// 64 slots; at most 60 are ever used, so a burst is handled before the ring could overflow.
class ButtonEventQueue {
 public:
  static constexpr int N_SLOTS = 64;
  static constexpr int FULL_AT = 60;
  int count() const { return (write_ - read_ + N_SLOTS) % N_SLOTS; }
  bool empty() const { return write_ == read_; }
  bool full() const { return count() >= FULL_AT; }
  void push(const internal::KzifButtonEvent& event);
  internal::KzifButtonEvent pop();
  void clear() { write_ = read_ = 0; }

 private:
  internal::KzifButtonEvent slots_[N_SLOTS] = {};
  i32 write_ = 0;
  i32 read_ = 0;
};

namespace category {

// Panel button events: held back until a field in which they may be handled, then handed to
// the features that own the button, by code range in a fixed order.
class CategoryButtonEvent : public CategoryWithoutStatus<internal::KzifButtonEvent> {
 public:
  static CategoryButtonEvent& get();

  void initInternal() override { queue_.clear(); }
  // Decides whether the next field cycle may dispatch (runs last in the field).
  void update() override;
  UpdateClass updateClass() const override { return UpdateClass::ButtonEvent; }
  void receiveRouted(int typeId, RequestReceiver& rx) override;
  // Start of every field cycle: hands out what waited, oldest first.
  void drain();
  void dispatch(const internal::KzifButtonEvent& event);

  bool dispatchEnabled() const { return dispatchEnabled_ != 0; }
  void resetDispatch() { dispatchEnabled_ = 0; }
  const ButtonEventQueue& queue() const { return queue_; }

  // Test hook: sees each handler call of the dispatch (step of the table, M/E, event).
  using DispatchObserver = void (*)(int step, int me, const internal::KzifButtonEvent& event);
  static void setDispatchObserver(DispatchObserver observer) { observer_ = observer; }

 private:
  void call(int step, int me, const internal::KzifButtonEvent& event);
  void dispatchAll();

  u8 dispatchEnabled_ = 0;
  ButtonEventQueue queue_;
  static inline DispatchObserver observer_ = nullptr;
};

}  // namespace category

void initCategoryButtonEvent();
