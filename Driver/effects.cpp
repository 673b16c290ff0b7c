#include "Driver/effects.h"

#include <array>
#include <cmath>
#include <cstddef>

#include "Common/assert.h"
#include "Driver/image.h"
#include "Driver/kz.h"
#include "Driver/trace.h"

KZ_SOURCE("Driver/effects");

namespace kz {
namespace {

constexpr int N_TARGETS = 5;  // the background and four keys
constexpr int N_KEYS = 4;

std::array<std::array<WipeImage, N_TARGETS>, N_ME_CONTEXTS> wipes{};
std::array<std::array<DustImage, N_TARGETS>, N_ME_CONTEXTS> dusts{};
std::array<std::array<BusFilterImage, 2>, N_ME_CONTEXTS> busFilters{};
std::array<std::array<KeyShapeImage, N_KEYS>, N_ME_CONTEXTS> keyShapes{};

std::size_t contextIndex(int context) { return static_cast<std::size_t>(context - KZ_CONTEXT_ME1); }
std::size_t current() { return static_cast<std::size_t>(kz::image::currentContextIndex); }
std::size_t targetIndex(int target) {
  return target == KZ_BKGD ? 0 : 1 + static_cast<std::size_t>((target - KZ_KEY1) / 2);
}

}  // namespace

const KeyShapeImage& keyShapeImage(int context, int key) {
  KZ_CHECK(KZ_CONTEXT_ME1 <= context && context <= KZ_CONTEXT_ME4B);
  KZ_CHECK(KZ_KEY1 <= key && key <= KZ_KEY4);
  return keyShapes[contextIndex(context)][static_cast<std::size_t>((key - KZ_KEY1) / 2)];
}
const WipeImage& wipeImage(int context, int target) {
  KZ_CHECK(KZ_CONTEXT_ME1 <= context && context <= KZ_CONTEXT_ME4B);
  KZ_CHECK(target == KZ_BKGD || (KZ_KEY1 <= target && target <= KZ_KEY4));
  return wipes[contextIndex(context)][targetIndex(target)];
}
const DustImage& dustImage(int context, int target) {
  KZ_CHECK(KZ_CONTEXT_ME1 <= context && context <= KZ_CONTEXT_ME4B);
  KZ_CHECK(target == KZ_BKGD || (KZ_KEY1 <= target && target <= KZ_KEY4));
  return dusts[contextIndex(context)][targetIndex(target)];
}
const BusFilterImage& busFilterImage(int context, int target) {
  KZ_CHECK(KZ_CONTEXT_ME1 <= context && context <= KZ_CONTEXT_ME4B);
  KZ_CHECK(target == KZ_ABUS || target == KZ_BBUS);
  return busFilters[contextIndex(context)][static_cast<std::size_t>(target - KZ_ABUS)];
}
void resetEffectImages() {
  wipes = {};
  dusts = {};
  busFilters = {};
  keyShapes = {};
  memo::forget(memo::keyShape);
}

}  // namespace kz

void setWipeSize(int target, f32 width, f32 height, int shiftX, int shiftY) {
  KZ_CHECK(target == KZ_BKGD || (KZ_KEY1 <= target && target <= KZ_KEY4));
  KZ_CHECK(0.0f <= width && width <= 1.0f);
  KZ_CHECK(0.0f <= height && height <= 1.0f);
  KZ_CHECK(0 <= shiftX && shiftX <= 3);
  KZ_CHECK(0 <= shiftY && shiftY <= 3);
  kz::WipeImage& w = kz::wipes[kz::current()][kz::targetIndex(target)];
  w.width = width;
  w.height = height;
  w.shiftX = static_cast<u8>(shiftX);
  w.shiftY = static_cast<u8>(shiftY);
  trace::call("setWipeSize", trace::Id{target}, width, height, shiftX, shiftY);
}

void setWipeModulationPattern(int target, int dir, int pattern) {
  KZ_CHECK(target == KZ_BKGD || (KZ_KEY1 <= target && target <= KZ_KEY4));
  KZ_CHECK(dir == KZ_TRANS_MOD_X || dir == KZ_TRANS_MOD_Y);
  KZ_CHECK(pattern == KZ_TRANS_MOD_SINE || pattern == KZ_TRANS_MOD_DELTA);
  kz::wipes[kz::current()][kz::targetIndex(target)].pattern[dir - KZ_TRANS_MOD_X] =
      static_cast<u8>(pattern == KZ_TRANS_MOD_DELTA);
  trace::call("setWipeModulationPattern", trace::Id{target}, trace::Id{dir}, trace::Id{pattern});
}

void setWipeModulation(int target, int dir, f32 amp, f32 freq, f32 phase) {
  KZ_CHECK(target == KZ_BKGD || (KZ_KEY1 <= target && target <= KZ_KEY4));
  KZ_CHECK(dir == KZ_TRANS_MOD_X || dir == KZ_TRANS_MOD_Y);
  KZ_CHECK(0.0f <= amp && amp <= 0.5f);
  KZ_CHECK(0.0f <= freq && freq <= 100.0f);
  KZ_CHECK(0.0f <= phase && phase <= 1.0f);
  kz::WipeImage& w = kz::wipes[kz::current()][kz::targetIndex(target)];
  const int d = dir - KZ_TRANS_MOD_X;
  w.amplitude[d] = amp;
  w.frequency[d] = freq;
  w.phase[d] = phase;
  trace::call("setWipeModulation", trace::Id{target}, trace::Id{dir}, amp, freq, phase);
}

void setFilterDust(int target, int on, f32 gain, int dust) {
  KZ_CHECK(target == KZ_BKGD || (KZ_KEY1 <= target && target <= KZ_KEY4));
  KZ_CHECK(0.0f <= gain && gain <= 1.0f);
  KZ_CHECK(0 <= dust && dust <= 15);
  kz::DustImage& f = kz::dusts[kz::current()][kz::targetIndex(target)];
  if (on && !f.on) f.rampIn = 0;
  f.on = static_cast<u8>(on != 0);
  f.gain = gain;
  f.dust = static_cast<u8>(dust);
  trace::call("setFilterDust", trace::Id{target}, on, gain, dust);
}

void setTestFilterGain(int target, int on, f32 gain) {
  if (target != KZ_ABUS && target != KZ_BBUS) return;
  KZ_CHECK(0.0f <= gain && gain <= 1.0f);
  kz::BusFilterImage& f = kz::busFilters[kz::current()][static_cast<std::size_t>(target - KZ_ABUS)];
  if (on && !f.gainOn) f.gainCount = 0;
  f.gainOn = static_cast<u8>(on != 0);
  f.gain = gain;
  trace::call("setTestFilterGain", trace::Id{target}, on, gain);
}

void setTestFilterMode(int target, int on, int mode) {
  if (target != KZ_ABUS && target != KZ_BBUS) return;
  KZ_CHECK(mode == 0 || mode == 1);
  trace::call("setTestFilterMode", trace::Id{target}, on, mode);
  kz::BusFilterImage& f = kz::busFilters[kz::current()][static_cast<std::size_t>(target - KZ_ABUS)];
  if (on && f.modeOn && on != 2) {
    f.mode = static_cast<u8>(mode);
    return;
  }
  if (on) f.modeCount = 0;
  f.modeOn = static_cast<u8>(on != 0);
  f.mode = static_cast<u8>(mode);
}

void kz::detail::setKeyShapeChanged(int target, f32 left, f32 top, f32 width, f32 height, f32 shape) {
  KZ_CHECK(KZ_KEY1 <= target && target <= KZ_KEY4);
  kz::KeyShapeImage& k = kz::keyShapes[kz::current()][static_cast<std::size_t>((target - KZ_KEY1) / 2)];
  k.left = left;
  k.top = top;
  k.width = width;
  k.height = height;
  // The same softness again (every field, mostly) keeps its register value.
  if (!(shape == k.shapeAsked)) {
    const f32 root = shape > 0.0f ? std::sqrt(shape) : 0.0f;  // a negative or NaN shape counts as none
    const long scaled = std::lround(root * 1023.0f);
    k.shape = static_cast<u16>(scaled < 0 ? 0 : scaled > 1023 ? 1023 : scaled);
    k.shapeAsked = shape;
  }
  std::size_t key = 0;
  if (kz::memo::pairIndex(target, KZ_KEY1, key)) kz::memo::ofContext(kz::memo::keyShape, key).take(left, top, width, height, shape);
  trace::call("setKeyShape", trace::Id{target}, left, top, width, height, shape);
}
