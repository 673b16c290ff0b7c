// One automatic or lever-driven transition (a background, a keyer, a downstream key or the fade to
// black), stepped once per field, and where each one stands in the fader event table.
#pragma once
#include <array>
#include <cstddef>

#include "Common/assert.h"
#include "Common/positions.h"
#include "Lib/Include/kz_types.h"

// Layout (64 bytes, little-endian as in memory):
//    0 i32 state        STATE_IDLE .. STATE_RAMP
//    4 i32 direction    negative: the position runs back to 0 (the key goes off); else forward
//    8 i32 endFlag      +1 / -1: which end the last completed forward run reached
//   12 f32 positionA    0..1, what position() returns
//   16 f32 positionB    0..1, the second position of mode 1
//   20 i32 rate         duration of a run in fields; 0 (or less) completes at the next step
//   24 i32 reverseFlag  while non-zero the level is 1 - position
//   28 i32 mode
//   32 i32 returnMode   non-zero: a forward run rests at 1.0 instead of wrapping to 0
//   36 f32 gain
//   40 u8[24] reserved  kept zero
//
// A running entry moves 1/rate per field. Completion is judged to the nearest field (the end
// counts as reached once less than half a step remains), so float rounding of 1/rate can neither
// add a field to a run nor leave a sliver of a step at its end: a run from an end takes exactly
// `rate` fields.
struct AutoTransition {
  static constexpr i32 STATE_IDLE = 0;
  static constexpr i32 STATE_RUNNING = 1;
  static constexpr i32 STATE_PAUSED = 2;
  static constexpr i32 STATE_CUT_PENDING = 3;
  static constexpr i32 STATE_RAMP = 4;  // moved by a lever, not by step()

  i32 state = STATE_IDLE;
  i32 direction = 1;
  i32 endFlag = 1;
  f32 positionA = 0.0f;
  f32 positionB = 0.0f;
  i32 rate = 1;
  i32 reverseFlag = 0;
  i32 mode = 0;
  i32 returnMode = 0;
  f32 gain = 1.0f;
  u8 reserved[24] = {};

  // Runs at `frames` fields (negative taken as 0); a zero direction keeps the current one.
  void start(int frames, int newDirection) {
    if (newDirection != 0) direction = newDirection;
    rate = frames > 0 ? frames : 0;
    state = STATE_RUNNING;
  }
  void reverse() { direction = -direction; }
  // The next step completes the run at once, in the current direction.
  void cut() { state = STATE_CUT_PENDING; }
  // One field's step.
  void step();

  float position() const { return positionA; }
  int getMode() const { return mode; }
  bool forward() const { return direction >= 0; }

 private:
  void complete();
};
static_assert(sizeof(AutoTransition) == 64);
static_assert(offsetof(AutoTransition, positionA) == 12);
static_assert(offsetof(AutoTransition, rate) == 20);
static_assert(offsetof(AutoTransition, gain) == 36);
static_assert(offsetof(AutoTransition, reserved) == 40);

// ---- where each transition stands in the fader event table ----------------------------------------
// 0..19 the background and the four keyers of each M/E (5 per M/E), 20..23 the downstream keys,
// 24..39 the clip channels that follow the keyers' levers (4 per M/E), 40..83 free.
constexpr int N_AUTO_TRANSITIONS = 84;
constexpr int N_KEYER_CHANNELS = 4;  // keyers per M/E
constexpr int N_DSK_CHANNELS = 4;

inline constexpr std::array<int, N_ME> bkgdTransIndex = {0, 5, 10, 15};

inline int keyTransIndex(int me, int ch) {
  assert::check(positions::AUTOTRANS_SOURCE, positions::AUTOTRANS_ME, "0 <= me && me < N_ME", 0 <= me && me < N_ME);
  assert::check(positions::AUTOTRANS_SOURCE, positions::AUTOTRANS_CHANNEL, "0 <= ch && ch < KzifKey::N_CHANNELS",
                0 <= ch && ch < N_KEYER_CHANNELS);
  return 5 * me + 1 + ch;
}

// Unchecked: the table accessors of the fader event category refuse an index outside the table.
constexpr int keySubTransIndex(int me, int ch) { return 24 + 4 * me + ch; }
constexpr int dskTransIndex(int n) { return 20 + n; }
