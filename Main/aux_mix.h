// The AUX mix: AUX 1..4 dissolve from the source they showed to a newly selected one over a set
// number of frames, stepped once per field by the buses of M/E 0.
#pragma once
#include <array>
#include <cstddef>

#include "Lib/Include/kz_types.h"

// One AUX mix channel (24 bytes, as in memory).
struct AuxMixChannel {
  i32 from;      // SourceId mixed from; -1 none
  i32 to;        // SourceId now selected
  u32 spare;
  f32 position;  // 0.0 all `from` .. 1.0 all `to`
  i32 frames;    // duration, 0..999
  u8 running;
};
static_assert(sizeof(AuxMixChannel) == 24);
static_assert(offsetof(AuxMixChannel, position) == 12);

// The sixteen AUX mix channels of one bus object; channel n serves AUX n + 1 (bus 24 + n).
class AuxMix {
 public:
  static constexpr int N_CHANNELS = 16;
  static constexpr int MAX_FRAMES = 999;

  struct Sources {
    int from;  // the selected source itself when nothing is mixed from
    int to;
    f32 position;
  };

  void reset() { channels_ = {}; }
  // frames clamped to 0..999; a channel outside 0..15 is ignored.
  void setDuration(int ch, int frames) {
    if (ch < 0 || ch >= N_CHANNELS) return;
    channels_[static_cast<std::size_t>(ch)].frames = frames < 0 ? 0 : frames > MAX_FRAMES ? MAX_FRAMES : frames;
  }
  // One field's step towards `source`, at the pace framesPerField gives for videoFormat and
  // fieldOne (CategorySystem::isField(1)). Frames below 2 cut. A channel at rest on its source,
  // as nearly every channel is in nearly every field, is passed by here.
  void update(int ch, int source, int videoFormat, bool fieldOne) {
    if (ch < 0 || ch >= N_CHANNELS) return;
    const AuxMixChannel& c = channels_[static_cast<std::size_t>(ch)];
    if (!c.running && source == c.to) return;
    step(ch, source, videoFormat, fieldOne);
  }
  Sources sources(int ch) const;
  int running(int ch) const;

 private:
  void step(int ch, int source, int videoFormat, bool fieldOne);
  std::array<AuxMixChannel, N_CHANNELS> channels_{};
};
