// Panel button events (type id 92): held back until a field in which they may be handled, then
// handed to the features that own the button.
#pragma once
#include "Main/button_event_record.h"
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
