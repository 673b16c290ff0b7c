// Panel lamps: features write a lamp state per panel button, the field cycle steps every lamp
// (blinking included) and sends the lamps whose visible state changed, one record per panel.
#pragma once
#include <array>
#include <cstddef>
#include <cstring>
#include <tuple>
#include <type_traits>

#include "Lib/Include/data_internal.h"
#include "Main/category.h"

namespace internal {

namespace lampwire {
// Body offsets of the wire fields of a record made only of scalars and arrays of scalars.
template <class R>
constexpr auto fieldOffsets() {
  constexpr std::size_t n = std::tuple_size_v<decltype(R::wire())>;
  std::array<std::size_t, n + 1> at{};
  std::size_t i = 0;
  std::apply([&](const auto&... d) { ((at[i + 1] = at[i] + sizeof(typename std::decay_t<decltype(d)>::Member), ++i), ...); },
             R::wire());
  return at;  // the last entry is the body size
}
}  // namespace lampwire

// Lamps of no M/E row, one record per panel (type id 49). Volatile: kept in the category object.
// Stored (in memory, 404 bytes): 0 mask | 4 panel | 8 changeBitmap[11] | 52 lamp[350].
// Wire body (big-endian): 0 u32 mask | 4 u16 panel | 6 11 x u32 changeBitmap |
// 50 350 x u8 lamp. Nothing is merged from an incoming record: it only asks for a resend.
struct KzifLed {
  static constexpr int TYPE_ID = 49;
  static constexpr int N_CHANNELS = 3;
  static constexpr int N_LED = N_LED_INDEX;
  static constexpr int N_WORDS = (N_LED + 31) / 32;
  static constexpr const char* NAME = "KzifLed";
  // A record for a panel that does not exist is ignored without a message.
  static constexpr bool QUIET_BAD_TARGET = true;

  u32 mask;  // never set by the lamps; sent as it stands
  u16 panel;
  u8 reserved0[2];
  u32 changeBitmap[N_WORDS];  // bit (i mod 32) of word (i div 32): lamp i changed since the last send
  u8 lamp[N_LED];             // output state of each lamp
  u8 reserved1[2];

  static constexpr auto wire() {
    using R = KzifLed;
    return rec::list(rec::mask(&R::mask), rec::channel(&R::panel), rec::plain(&R::changeBitmap), rec::plain(&R::lamp));
  }
};
static_assert(sizeof(KzifLed) == 404);
static_assert(rec::wireSizeOf<KzifLed>() == 400);
static_assert(offsetof(KzifLed, panel) == 4);
static_assert(offsetof(KzifLed, changeBitmap) == 8);
static_assert(offsetof(KzifLed, lamp) == 52);
static_assert(lampwire::fieldOffsets<KzifLed>() == std::array<std::size_t, 5>{0, 4, 6, 50, 400});

// Lamps of one M/E's rows, one record per panel (type id 50). Volatile, like KzifLed.
// Stored (in memory, 360 bytes): 0 mask | 4 me | 6 panel | 8 changeBitmap[10] | 48 lamp[309].
// Wire body (big-endian): 0 u32 mask | 4 u8 me | 5 u16 panel | 7 10 x u32 changeBitmap |
// 47 309 x u8 lamp.
struct KzifMeLed {
  static constexpr int TYPE_ID = 50;
  static constexpr int N_CHANNELS = 3;
  static constexpr int N_LED = N_ME_LED_INDEX;
  static constexpr int N_WORDS = (N_LED + 31) / 32;
  static constexpr const char* NAME = "KzifMeLed";
  // A record for an M/E or a panel that does not exist is ignored without a message.
  static constexpr bool QUIET_BAD_TARGET = true;

  u32 mask;  // never set by the lamps; sent as it stands
  u8 me;
  u8 reserved0;
  u16 panel;
  u32 changeBitmap[N_WORDS];
  u8 lamp[N_LED];
  u8 reserved1[3];

  static constexpr auto wire() {
    using R = KzifMeLed;
    return rec::list(rec::mask(&R::mask), rec::me(&R::me), rec::channel(&R::panel), rec::plain(&R::changeBitmap),
                     rec::plain(&R::lamp));
  }
};
static_assert(sizeof(KzifMeLed) == 360);
static_assert(rec::wireSizeOf<KzifMeLed>() == 356);
static_assert(offsetof(KzifMeLed, me) == 4);
static_assert(offsetof(KzifMeLed, panel) == 6);
static_assert(offsetof(KzifMeLed, changeBitmap) == 8);
static_assert(offsetof(KzifMeLed, lamp) == 48);
static_assert(lampwire::fieldOffsets<KzifMeLed>() == std::array<std::size_t, 6>{0, 4, 5, 7, 47, 356});

}  // namespace internal

// One lamp of one panel in the lamp image.
struct LedEntry {
  u8 requested;  // written by the features
  u8 previous;   // requested state seen at the previous step
  u8 output;     // what the panel is told
  u8 changed;    // the output is still to be put into the record
  u8 phase;      // blink phase, in fields
};
static_assert(sizeof(LedEntry) == 5);

// Lamp states: 0 dark; 11, 12 and 13 blink 1, 2 and 3 (lit 20 fields, dark 10, lit on the field
// of the change); any other value is shown steadily.
constexpr u8 LED_BLINK_FIRST = 11;
constexpr u8 LED_BLINK_LAST = 13;
constexpr u8 LED_BLINK_LIT_FIELDS = 20;
constexpr u8 LED_BLINK_PERIOD_FIELDS = 30;

// One field's step of a lamp; true when its output is to be sent.
bool stepLedEntry(LedEntry& e);

namespace category {

// Counts every change of a requested lamp state, of any panel and any lamp category, and every
// reset of a lamp image: a feature that finds the count it saw after its last requests knows that
// each of its lamps still holds the state it asked for.
inline u32 lampRequestGeneration = 0;

// Lamps of three panels over one lamp record type: the records and the lamp image live inside
// the object, nothing goes into the backup image.
template <class T>
class CategoryLedCommon : public CategoryCommon<T> {
 public:
  static constexpr int N_CHANNELS = T::N_CHANNELS;
  static constexpr int N_LED = T::N_LED;

  explicit CategoryLedCommon(bool ownedByMe);

  std::size_t attachBackup(u8* p) override;
  void initIndex(int me, int flags) override;
  void initInternal() override;
  void restore(const u8*) override {}
  void update() override;
  void sendChanges(AcknowledgeSender& tx) override;
  bool nothingToSend() const override;
  // An incoming lamp record takes nothing: the panel's current lamps are sent again.
  void assign(const T& in, int idx) override;
  // The state last requested for a lamp (what the next step will show).
  u8 requested(int panel, int index) const {
    return requested_[static_cast<std::size_t>(panel * N_LED + index)];
  }
  // Features rewrite their lamps every field; the same state again costs a compare and changes
  // nothing at the step. `lamp` is a number from lampOf, worked out once by a feature that
  // rewrites the same lamps every field.
  void requestLamp(int lamp, u8 state) {
    u8& requested = requested_[static_cast<std::size_t>(lamp)];
    if (requested == state) return;
    requested = state;
    ++lampRequestGeneration;
    written_[static_cast<std::size_t>(lamp / 32)] |= 1u << (lamp % 32);
    due_ |= u64{1} << (lamp / 32);
  }
  // requestLamp(first + i, state[i]) for i = 0 .. n - 1, in that order: for a feature that lights
  // a run of neighbouring lamps every field, mostly with the states they hold already.
  // The states are compared four at a time; only a group with a change is requested lamp by lamp.
  void requestLampRun(int first, const u8* state, int n) {
    const u8* requested = &requested_[static_cast<std::size_t>(first)];
    int i = 0;
    for (; i + 4 <= n; i += 4) {
      u32 was;
      u32 now;
      std::memcpy(&was, requested + i, sizeof was);
      std::memcpy(&now, state + i, sizeof now);
      if (was == now) [[likely]] continue;
      for (int k = i; k < i + 4; ++k) requestLamp(first + k, state[k]);
    }
    for (; i < n; ++i) requestLamp(first + i, state[i]);
  }

 protected:
  void request(int panel, int index, u8 state) { requestLamp(panel * N_LED + index, state); }
  // Asserts 0 <= panel < N_CHANNELS; the failure is logged and thrown out of line.
  static void checkPanel(int panel) {
    if (panel < 0 || panel >= N_CHANNELS) [[unlikely]] panelOutOfRange();
  }
  [[noreturn]] static void panelOutOfRange();

 private:
  void stampPanels();
  void sendPanel(AcknowledgeSender& tx, int panel);

  static constexpr int N_LAMPS = N_CHANNELS * N_LED;
  static constexpr std::size_t N_LAMP_WORDS = (N_LAMPS + 31) / 32;
  void stepLamp(int lamp);

  std::array<T, N_CHANNELS> lampRecords_{};
  // The state each lamp was last asked for, beside the image so that a run of lamps is compared
  // at once; the image's own requested field is the copy the step takes.
  std::array<u8, static_cast<std::size_t>(N_LAMPS)> requested_{};
  std::array<LedEntry, static_cast<std::size_t>(N_LAMPS)> image_{};
  // The field step visits only the lamps that can change: those written since their last step
  // and those blinking. Every other lamp already shows its requested state, and stepping it
  // would change nothing.
  std::array<u32, N_LAMP_WORDS> written_{};
  std::array<u32, N_LAMP_WORDS> blinking_{};
  // Bit w: word w of written_ or blinking_ has a lamp to step, so that a field in which no lamp
  // was written or blinks passes the lamps by.
  u64 due_ = 0;
  static_assert(N_LAMP_WORDS <= 64);
};

// Lamps of no M/E row (type id 49, one object).
class CategoryLed : public CategoryLedCommon<internal::KzifLed> {
 public:
  CategoryLed() : CategoryLedCommon(false) {}
  static CategoryLed& get();
  // Writes the requested state of a button's lamp on one panel; seen at the next step.
  void setLed(int panel, int code, u8 state) {
    checkPanel(panel);
    request(panel, ledCodeToIndex(code), state);
  }
  // The lamp number of a button's lamp on one panel, for requestLamp.
  static int lampOf(int panel, int code) {
    checkPanel(panel);
    return panel * N_LED + ledCodeToIndex(code);
  }
  // The requested state of a button's lamp on one panel.
  u8 led(int panel, int code) const;
};

// Lamps of one M/E's rows (type id 50, one object per M/E).
class CategoryMeLed : public CategoryLedCommon<internal::KzifMeLed> {
 public:
  CategoryMeLed() : CategoryLedCommon(true) {}
  static CategoryMeLed& get(int me);
  void setLed(int panel, int code, u8 state) {
    checkPanel(panel);
    request(panel, meLedCodeToIndex(code), state);
  }
  static int lampOf(int panel, int code) {
    checkPanel(panel);
    return panel * N_LED + meLedCodeToIndex(code);
  }
  u8 led(int panel, int code) const;
};

extern template class CategoryLedCommon<internal::KzifLed>;
extern template class CategoryLedCommon<internal::KzifMeLed>;

}  // namespace category

void initCategoryLed();
void initCategoryMeLed();
