// Fader and T-bar events (type id 93): the table of automatic and lever-driven transitions of the
// backgrounds, keyers and downstream keys, stepped every field, with the lever links that tie a
// panel fader to a transition, the fader calibration of the panels and the fader pick-up hold.
#pragma once
#include <array>
#include <cstddef>

#include "Main/autotrans.h"
#include "Main/button_event_record.h"
#include "Main/category.h"

// The event carries the panels' fader and T-bar moves. Its body is not interpreted here (see
// receiveRouted), so the type declares no fields.
struct KzifFaderEvent {
  static constexpr int TYPE_ID = 93;
  static constexpr int N_CHANNELS = 1;
  static constexpr const char* NAME = "KzifFaderEvent";
};

// The tie between one transition and the panel fader that drives it (24 bytes, as in memory):
//    0 i32 owner          the fader holding the link; -1 when free
//    4 f32 pickUpLevel    the transition's position when the fader took the link
//    8 f32 pickUpLever    the lever reading (0..1) at that moment
//   12 f32 lastLever      the lever reading of the previous field, to tell a move from noise
//   16 i32 leverDirection +1 when raising the lever raises the level, -1 when it lowers it
//   20 u32 reserved       kept zero
struct FaderLink {
  static constexpr i32 FREE = -1;
  i32 owner = FREE;
  f32 pickUpLevel = 0.0f;
  f32 pickUpLever = 0.0f;
  f32 lastLever = 0.0f;
  i32 leverDirection = 1;
  u32 reserved = 0;
};
static_assert(sizeof(FaderLink) == 24);
static_assert(offsetof(FaderLink, owner) == 0);
static_assert(offsetof(FaderLink, leverDirection) == 16);

// One calibration point of a panel fader: two raw lever readings.
struct FaderCalibrationPair {
  u16 first;
  u16 second;
};
static_assert(sizeof(FaderCalibrationPair) == 4);

// A button whose presses a lever or transition handler wants to see; code -1 watches nothing.
struct FaderButtonWatch {
  i32 code = -1;
  u8 pressed = 0;
};

namespace category {

class CategoryFaderEvent : public CategoryWithoutStatus<KzifFaderEvent> {
 public:
  static constexpr int N_LINKS = N_AUTO_TRANSITIONS;
  static constexpr int N_PANELS = 3;
  static constexpr int N_CALIBRATION_PAIRS = 4;
  static constexpr u16 CALIBRATION_DEFAULT_FIRST = 2555;
  static constexpr u16 CALIBRATION_DEFAULT_SECOND = 1533;
  static constexpr int FADER_HOLD_TICKS = 16;  // 30 ms loop passes after a release
  static constexpr int N_BUTTON_WATCHES = 8;   // per M/E

  CategoryFaderEvent();
  // The one object; created on first use, so it is there for any caller.
  static CategoryFaderEvent& get();

  void initInternal() override;
  void update() override;
  UpdateClass updateClass() const override { return UpdateClass::FaderEvent; }
  void tick() override;
  void receiveRouted(int typeId, RequestReceiver& rx) override;

  // Entry i of the tables; an index outside 0..83 fails the assertion (the caller's step is
  // abandoned rather than writing beside the table).
  AutoTransition& transition(int i);
  const AutoTransition& transition(int i) const;
  FaderLink& link(int i);
  const FaderLink& link(int i) const;
  // The whole table, for a reader that indexes it with indexes it knows to be in range.
  const std::array<AutoTransition, N_AUTO_TRANSITIONS>& transitions() const { return transitions_; }

  // 1 when the M/E's background transition rests at an end: neither running nor waiting to
  // complete a cut (state not 1 or 3) with its position within 1e-5 of 0 or of 1; else 0, also for
  // an M/E outside 0..3.
  int isBkgdTransAtEnd(int me) const;

  // A press on panel 0..2 of a button of M/E 0..3 sets the pressed flag of every watch entry of
  // that M/E holding its code. Releases and other events change nothing.
  void markButton(const internal::KzifButtonEvent& event);
  // Watch entries: false when me or slot is out of range. Setting a code clears the flag; a
  // negative code empties the entry.
  bool watchButton(int me, int slot, int code);
  bool buttonPressed(int me, int slot) const;
  bool clearButtonPress(int me, int slot);

  // Frees the background and key links of M/E `me` from any fader and holds panel `panel`'s fader
  // for FADER_HOLD_TICKS ticks. False, and nothing changed, for a panel or M/E out of range.
  bool releaseFader(int panel, int me);
  bool faderHeld(int panel) const;
  // Frees the links of every keyer of M/E 0..3 and of the downstream keys.
  void releaseKeyFaderLinks();
  // Every link of the table back to free, with no pick-up state (the system initial command).
  void resetLinks();

  // Puts the four calibration pairs of panel 0..2 back to (2555, 1533); the selector (which
  // setting asked for it) does not change what is reset. False for another panel.
  bool resetCalibration(int panel, int selector);
  // What the panel's fader reports when it is calibrated; false for a panel or pair out of range.
  bool setCalibration(int panel, int pair, FaderCalibrationPair value);
  const FaderCalibrationPair& calibration(int panel, int pair) const;

 private:
  std::array<AutoTransition, N_AUTO_TRANSITIONS> transitions_{};
  std::array<FaderLink, N_LINKS> links_{};
  std::array<std::array<FaderCalibrationPair, N_CALIBRATION_PAIRS>, N_PANELS> calibration_{};
  std::array<u8, N_PANELS> holdTicks_{};
  std::array<std::array<FaderButtonWatch, N_BUTTON_WATCHES>, N_ME> watches_{};
};

}  // namespace category

void initCategoryFaderEvent();
