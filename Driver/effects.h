// Test settings of the M/E video processing: wipe size and modulation, the noise ("dust") and
// bus test filters, and the key shape. Like every setter, these only record into the images of
// the current M/E context and assert their ranges.
#pragma once
#include "Driver/memo.h"
#include "Driver/trace.h"
#include "Lib/Include/kz_types.h"

constexpr int KZ_TRANS_MOD_X = 0x1520;
constexpr int KZ_TRANS_MOD_Y = 0x1521;
constexpr int KZ_TRANS_MOD_SINE = 0x1522;
constexpr int KZ_TRANS_MOD_DELTA = 0x1523;

// target KZ_BKGD or a key KZ_KEY1 .. KZ_KEY4; width, height 0..1; shifts 0..3.
void setWipeSize(int target, f32 width, f32 height, int shiftX, int shiftY);
// direction KZ_TRANS_MOD_X or _Y; pattern KZ_TRANS_MOD_SINE or _DELTA.
void setWipeModulationPattern(int target, int dir, int pattern);
// amplitude 0..0.5, frequency 0..100, phase 0..1.
void setWipeModulation(int target, int dir, f32 amp, f32 freq, f32 phase);
// Noise of KZ_BKGD or a key: on 0 or 1, gain 0..1, dust 0..15.
void setFilterDust(int target, int on, f32 gain, int dust);
// Test filters of KZ_ABUS and KZ_BBUS (other targets are ignored): gain 0..1, mode 0 or 1.
void setTestFilterGain(int target, int on, f32 gain);
void setTestFilterMode(int target, int on, int mode);
// Key rectangle as fractions of the picture and the shape 0..1 (kept as √shape × 1023).
inline void setKeyShape(int target, f32 left, f32 top, f32 width, f32 height, f32 shape);

namespace kz {

struct WipeImage {
  f32 width, height;
  u8 shiftX, shiftY;
  u8 pattern[2];  // X, Y: 0 sine, 1 delta
  f32 amplitude[2], frequency[2], phase[2];
};
struct DustImage {
  u8 on;
  u8 dust;
  f32 gain;
  u32 rampIn;  // fields since it was switched on
};
struct BusFilterImage {
  u8 gainOn;
  f32 gain;
  u32 gainCount;
  u8 modeOn;
  u8 mode;
  u32 modeCount;
};
// The rectangle stays in fractions of the picture until the driver knows the video format.
struct KeyShapeImage {
  f32 left, top, width, height;
  u16 shape;         // 0..1023
  f32 shapeAsked;    // the softness shape was worked out from (0.0 is shape 0)
};

// The key shape image of context (KZ_CONTEXT_ME1 .. KZ_CONTEXT_ME4B) for a key; asserted.
const KeyShapeImage& keyShapeImage(int context, int key);
// The wipe and noise of KZ_BKGD or a key, and the test filters of KZ_ABUS or KZ_BBUS, under a
// context; asserted.
const WipeImage& wipeImage(int context, int target);
const DustImage& dustImage(int context, int target);
const BusFilterImage& busFilterImage(int context, int target);
// Power-on state of every context.
void resetEffectImages();

}  // namespace kz

namespace kz::detail {
void setKeyShapeChanged(int target, f32 left, f32 top, f32 width, f32 height, f32 shape);
}
namespace kz::memo {
inline PerContext<5, N_KEYS> keyShape{};
}

inline void setKeyShape(int target, f32 left, f32 top, f32 width, f32 height, f32 shape) {
  std::size_t k = 0;
  if (kz::memo::pairIndex(target, KZ_KEY1, k) &&
      kz::memo::ofContext(kz::memo::keyShape, k).same(left, top, width, height, shape)) {
    trace::call("setKeyShape", trace::Id{target}, left, top, width, height, shape);
    return;
  }
  kz::detail::setKeyShapeChanged(target, left, top, width, height, shape);
}
