#include "Main/aux_mix.h"

#include "Common/assert.h"
#include "Main/video_format.h"

KZ_SOURCE("Main/aux_mix");

void AuxMix::step(int ch, int source, int videoFormat, bool fieldOne) {
  AuxMixChannel& c = channels_[static_cast<std::size_t>(ch)];
  if (!c.running && source != c.to) {
    c.from = c.to;
    if (c.from != -1) {
      c.running = 1;
      if (c.position == 1.0f) c.position = 0.0f;
    } else {
      c.position = 1.0f;
    }
  }
  c.to = source;  // a change during a mix retargets it and keeps mixing from the first source
  if (!c.running) return;
  if (c.frames < 2) {
    c.running = 0;
    c.position = 1.0f;
    return;
  }
  const f32 advance = framesPerField(videoFormat, fieldOne);
  if (advance == 0.0f) return;
  const f32 step = advance / static_cast<f32>(c.frames);
  c.position += step;
  // The end is judged to the nearest field, so that float rounding of the step neither adds a
  // field to the mix nor leaves a sliver of one.
  if (c.position >= 1.0f - step / 2) {
    c.position = 1.0f;
    c.running = 0;
  }
}

AuxMix::Sources AuxMix::sources(int ch) const {
  if (ch < 0 || ch >= N_CHANNELS) return {-1, -1, 0.0f};
  const AuxMixChannel& c = channels_[static_cast<std::size_t>(ch)];
  return {c.from == -1 ? c.to : c.from, c.to, c.position};
}

int AuxMix::running(int ch) const {
  if (ch < 0 || ch >= N_CHANNELS) return 0;
  return channels_[static_cast<std::size_t>(ch)].running;
}
