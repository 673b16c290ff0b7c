#include "Main/led.h"

#include <bit>
#include <cstring>
#include <type_traits>

#include "Main/bp.h"

KZ_SOURCE("Main/led");

bool stepLedEntry(LedEntry& e) {
  const u8 r = e.requested;  // read once: features write it outside the field cycle
  const bool changed = r != e.previous;
  e.previous = r;
  if (r < LED_BLINK_FIRST || r > LED_BLINK_LAST) {
    e.output = r;
    e.changed = changed;
  } else if (changed) {
    e.output = static_cast<u8>(r - 10);
    e.phase = 0;
    e.changed = 1;
  } else {
    ++e.phase;
    if (e.phase == LED_BLINK_LIT_FIELDS) {
      e.output = 0;
      e.changed = 1;
    } else if (e.phase >= LED_BLINK_PERIOD_FIELDS) {
      e.phase = 0;
      e.output = static_cast<u8>(r - 10);
      e.changed = 1;
    } else {
      e.changed = 0;
    }
  }
  return e.changed != 0;
}

namespace category {

template <class T>
CategoryLedCommon<T>::CategoryLedCommon(bool ownedByMe) : CategoryCommon<T>(ownedByMe) {
  this->attachInternal(lampRecords_.data());
}

template <class T>
std::size_t CategoryLedCommon<T>::attachBackup(u8*) {
  // A boot starts the lamps afresh, as a power cycle does: no panel is left waiting for a resend.
  this->changed_.fill(0);
  return this->attachInternal(lampRecords_.data());
}

template <class T>
void CategoryLedCommon<T>::stampPanels() {
  for (int panel = 0; panel < N_CHANNELS; ++panel)
    rec::stamp(lampRecords_[static_cast<std::size_t>(panel)], this->me_, panel);
}

template <class T>
void CategoryLedCommon<T>::initIndex(int, int) {
  stampPanels();
}

// The records and the to-send flags stay: what the panels were last told is still true of them.
template <class T>
void CategoryLedCommon<T>::initInternal() {
  // Every boot: one clear of the whole table rather than an entry at a time.
  static_assert(std::is_trivially_copyable_v<LedEntry>);
  std::memset(static_cast<void*>(image_.data()), 0, sizeof image_);
  requested_.fill(0);
  ++lampRequestGeneration;
  written_.fill(0);
  blinking_.fill(0);
  due_ = 0;
  stampPanels();
}

template <class T>
void CategoryLedCommon<T>::stepLamp(int lamp) {
  LedEntry& e = image_[static_cast<std::size_t>(lamp)];
  e.requested = requested_[static_cast<std::size_t>(lamp)];
  const bool send = stepLedEntry(e);
  const auto word = static_cast<std::size_t>(lamp / 32);
  const u32 bit = 1u << (lamp % 32);
  if (e.previous >= LED_BLINK_FIRST && e.previous <= LED_BLINK_LAST)
    blinking_[word] |= bit;
  else
    blinking_[word] &= ~bit;
  if (!send) return;
  e.changed = 0;
  const int panel = lamp / N_LED;
  const int i = lamp % N_LED;
  T& r = lampRecords_[static_cast<std::size_t>(panel)];
  r.lamp[i] = e.output;
  r.changeBitmap[i / 32] |= 1u << (i % 32);
  this->changed_[static_cast<std::size_t>(panel)] = 1;  // so the send pass need not scan the bitmap
  this->markSendPending();
}

template <class T>
void CategoryLedCommon<T>::update() {
  u64 words = due_;
  due_ = 0;
  while (words != 0) {
    const auto w = static_cast<std::size_t>(std::countr_zero(words));
    words &= words - 1;
    // Taken before the lamps are read: a write after this point is stepped in the next field.
    u32 due = written_[w] | blinking_[w];
    written_[w] = 0;
    while (due != 0) {
      const int bit = std::countr_zero(due);
      due &= due - 1;
      stepLamp(static_cast<int>(w) * 32 + bit);
    }
    if (blinking_[w] != 0) due_ |= u64{1} << w;
  }
}

template <class T>
void CategoryLedCommon<T>::sendPanel(AcknowledgeSender& tx, int panel) {
  const auto p = static_cast<std::size_t>(panel);
  T& r = lampRecords_[p];
  if (this->changed_[p] == 0 && r.mask == 0) return;
  rec::stamp(r, this->me_, panel);
  tx.writeRecord(r);  // a failed write is logged by the sender
  this->changed_[p] = 0;
  r.mask = 0;
  std::memset(r.changeBitmap, 0, sizeof r.changeBitmap);
}

template <class T>
void CategoryLedCommon<T>::sendChanges(AcknowledgeSender& tx) {
  for (int panel = 0; panel < N_CHANNELS; ++panel) {
    if (tx.backlogged()) return;  // the marks stay until the backlog drains
    sendPanel(tx, panel);
  }
}

template <class T>
void CategoryLedCommon<T>::assign(const T&, int idx) {
  this->checkChannel(idx);
  rec::stamp(lampRecords_[static_cast<std::size_t>(idx)], this->me_, idx);
  this->changed_[static_cast<std::size_t>(idx)] = 1;
  this->markSendPending();
}

// The panels' records change only by a step, an incoming record or the writable record (which
// marks the object for the send pass itself).
template <class T>
bool CategoryLedCommon<T>::nothingToSend() const {
  for (int panel = 0; panel < N_CHANNELS; ++panel)
    if (this->changed_[static_cast<std::size_t>(panel)] != 0 || lampRecords_[static_cast<std::size_t>(panel)].mask != 0)
      return false;
  return true;
}

template <class T>
void CategoryLedCommon<T>::panelOutOfRange() {
  assert::fail(kzSourceName, __LINE__, "0 <= panel && panel < N_CHANNELS");
}

template class CategoryLedCommon<internal::KzifLed>;
template class CategoryLedCommon<internal::KzifMeLed>;

CategoryLed& CategoryLed::get() { return BP::instance().require<CategoryLed>(); }

u8 CategoryLed::led(int panel, int code) const {
  KZ_CHECK(0 <= panel && panel < N_CHANNELS);
  return requested(panel, ledCodeToIndex(code));
}

CategoryMeLed& CategoryMeLed::get(int me) {
  return BP::instance().require<CategoryMeLed>(me);
}

u8 CategoryMeLed::led(int panel, int code) const {
  KZ_CHECK(0 <= panel && panel < N_CHANNELS);
  return requested(panel, meLedCodeToIndex(code));
}

}  // namespace category

void initCategoryLed() { static category::CategoryLed led; }

void initCategoryMeLed() { static category::CategoryMeLed meLed[N_ME]; }
