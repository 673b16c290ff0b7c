#include "Driver/key.h"

#include <cmath>
#include <cstddef>

#include "Common/assert.h"
#include "Driver/image.h"
#include "Driver/kz.h"
#include "Driver/trace.h"

KZ_SOURCE("Driver/key");

namespace kz {
namespace {

constexpr KeyContextImage powerOnContext() {
  KeyContextImage image{};
  image.priority = {KZ_KEY1, KZ_KEY1 + 2, KZ_KEY1 + 4};
  return image;
}

constexpr DskImage powerOnDsk() {
  DskImage image{};
  image.order = {KZ_DSK1, KZ_DSK1 + 2, KZ_DSK1 + 4};
  return image;
}

// Static initial values equal the power-on state, so that a setter called before kzInitialize
// still records into a sane image.
std::array<KeyContextImage, N_ME_CONTEXTS> contextImages = [] {
  std::array<KeyContextImage, N_ME_CONTEXTS> images{};
  images.fill(powerOnContext());
  return images;
}();
DskImage dskState = powerOnDsk();

KeyContextImage& currentContext() {
  return contextImages[static_cast<std::size_t>(kz::image::currentContextIndex)];
}

std::size_t targetIndex(int target, int first) { return static_cast<std::size_t>((target - first) / 2); }

// The settings a key or downstream key target records into (the caller asserted its kind).
KeySettings& settingsOf(int target) {
  if (isDskTarget(target)) return dskState.keys[targetIndex(target, KZ_DSK1)];
  return currentContext().keys[targetIndex(target, KZ_KEY1)];
}


u32 scaled(f32 value, f32 factor, u32 limit) {
  if (!(value > 0.0f)) return 0;
  const f32 v = value * factor;
  return v >= static_cast<f32>(limit) ? limit : static_cast<u32>(v + 0.5f);
}

// What an edge may be filled with: the utility buses, a colour matte, a colour background, a
// still or a clip.
bool edgeFill(int source) {
  return source == KZ_UTIL1 || source == KZ_UTIL2 ||
         (KZ_COLOR_BKGD_BORDER <= source && source <= KZ_COLOR_USK4_MATTE) || source == KZ_CBGD_1 ||
         source == KZ_CBGD_2 || (KZ_STILL_1 <= source && source < KZ_CLIP_1 + 8);
}

bool fraction(f32 v) { return 0.0f <= v && v <= 1.0f; }

// Where a setter of a key or downstream key records, found once: the target's settings and the
// index of its memo entry (of the current context for a key); no settings for any other target.
// Upstream keys keep no image here yet; their settings are traced only.
struct Recorded {
  KeySettings* settings = nullptr;
  std::size_t index = 0;
  bool key = false;
};
[[gnu::always_inline]] inline Recorded recordedAt(int target) {
  Recorded r;
  if (memo::pairIndex(target, KZ_KEY1, r.index)) {
    r.settings = &currentContext().keys[r.index];
    r.key = true;
  } else if (memo::pairIndex(target, KZ_DSK1, r.index)) {
    r.settings = &dskState.keys[r.index];
  }
  return r;
}

// Takes the arguments into the memo entry of a recorded target; a keyer's change counts for it.
template <std::size_t N, typename... A>
void take(const Recorded& at, memo::PerContext<N, memo::N_KEYS>& keys, std::array<memo::Last<N>, memo::N_KEYS>& dsks,
          A... args) {
  if (at.key) {
    memo::ofContext(keys, at.index).take(args...);
    memo::keyerTook(at.index);
  } else {
    dsks[at.index].take(args...);
  }
}
constexpr int FIRST_KEYER_MATTE = KZ_COLOR_KEY_MATTE4;
constexpr int N_KEYER_MATTES = 4 * N_KEY_TARGETS;  // mattes 4, 1, 2 and 3 of keyers 1..4 in a row
static_assert(KZ_COLOR_KEY_MATTE1 == FIRST_KEYER_MATTE + N_KEY_TARGETS &&
              KZ_COLOR_KEY_MATTE2 == FIRST_KEYER_MATTE + 2 * N_KEY_TARGETS &&
              KZ_COLOR_KEY_MATTE3 == FIRST_KEYER_MATTE + 3 * N_KEY_TARGETS && KZ_COLOR_KEY_MATTE3 + 4 <= KZ_COLOR_DSK_FILL);

}  // namespace

const KeyContextImage& keyContextImage(int context) {
  KZ_CHECK(KZ_CONTEXT_ME1 <= context && context <= KZ_CONTEXT_ME4B);
  return contextImages[static_cast<std::size_t>(context - KZ_CONTEXT_ME1)];
}

const DskImage& dskImage() { return dskState; }

const KeySettings& keySettings(int context, int keyTarget) {
  KZ_CHECK(isKeyTarget(keyTarget));
  return keyContextImage(context).keys[targetIndex(keyTarget, KZ_KEY1)];
}

const KeySettings& dskSettings(int dskTarget) {
  KZ_CHECK(isDskTarget(dskTarget));
  return dskState.keys[targetIndex(dskTarget, KZ_DSK1)];
}

const Matte& matte(int context, int matteId) {
  KZ_CHECK(KZ_COLOR_BKGD_BORDER <= matteId && matteId <= KZ_COLOR_USK4_MATTE);
  if (matteId >= KZ_COLOR_DSK_FILL) return dskState.mattes[static_cast<std::size_t>(matteId - KZ_COLOR_DSK_FILL)];
  return keyContextImage(context).mattes[static_cast<std::size_t>(matteId - KZ_COLOR_BKGD_BORDER)];
}

void resetKeyImages() {
  contextImages.fill(powerOnContext());
  dskState = powerOnDsk();
  memo::forget(memo::contextMatte);
  memo::forget(memo::globalMatte);
  memo::forget(memo::keyClipGain);
  memo::forget(memo::dskClipGain);
  memo::forget(memo::keyBoxMask);
  memo::forget(memo::dskBoxMask);
  memo::forget(memo::keyInvert);
  memo::forget(memo::dskInvert);
  memo::forget(memo::keyMix);
  memo::forget(memo::dskMix);
  memo::forget(memo::uskClipGain);
  memo::forget(memo::uskBoxMask);
  memo::forget(memo::uskInvert);
  for (auto& context : memo::keyerGeneration)
    for (u32& g : context) ++g;
}

}  // namespace kz

static_assert(kz::N_KEY_TARGETS == 4 && kz::N_DSK_TARGETS == 4);

void kz::detail::setMatteColorChanged(int matteId, int y, int cb, int cr) {
  KZ_CHECK(KZ_COLOR_BKGD_BORDER <= matteId && matteId <= KZ_COLOR_USK4_MATTE);
  KZ_CHECK(0 <= y && y <= 1023 && 0 <= cb && cb <= 1023 && 0 <= cr && cr <= 1023);
  const kz::Matte m{static_cast<u16>(y), static_cast<u16>(cb), static_cast<u16>(cr)};
  if (matteId >= KZ_COLOR_DSK_FILL) {
    kz::dskState.mattes[static_cast<std::size_t>(matteId - KZ_COLOR_DSK_FILL)] = m;
  } else {
    kz::currentContext().mattes[static_cast<std::size_t>(matteId - KZ_COLOR_BKGD_BORDER)] = m;
    const unsigned keyerMatte = static_cast<unsigned>(matteId - kz::FIRST_KEYER_MATTE);
    if (keyerMatte < kz::N_KEYER_MATTES) kz::memo::keyerTook(keyerMatte % kz::N_KEY_TARGETS);
  }
  kz::memo::matteOf(matteId)->take(y, cb, cr);
  trace::call("setMatteColor", trace::Id{matteId}, y, cb, cr);
}

void kz::detail::setKeyMixChanged(int target, f32 level) {
  KZ_CHECK(isKeyTarget(target) || isDskTarget(target));
  KZ_CHECK(0.0f <= level && level <= 1.0f);
  kz::settingsOf(target).mix = level;
  kz::memo::keyOrDsk(kz::memo::keyMix, kz::memo::dskMix, target)->take(level);
  trace::call("setKeyMix", trace::Id{target}, level);
}

void kz::detail::setKeyClipGainChanged(int target, int mode, f32 clip, f32 gain, f32 secondGain, f32 density) {
  const kz::Recorded at = kz::recordedAt(target);
  const bool isKey = at.key;
  const bool isDsk = at.settings != nullptr && !at.key;
  const bool isUsk = at.settings == nullptr && isUskTarget(target);
  KZ_CHECK(isKey || isDsk || isUsk);
  trace::call("setKeyClipGain", trace::Id{target}, mode, clip, gain, secondGain, density);
  if (at.settings == nullptr) {
    kz::memo::uskClipGain[kz::targetIndex(target, KZ_USK1)].take(mode, clip, gain, secondGain, density);
    return;
  }
  kz::KeySettings& s = *at.settings;
  s.mode = static_cast<u32>(mode);
  // Kept within the 16 bits the clip has, so that no value (NaN neither) converts out of range; by
  // compares, which no target makes a library call of.
  const f32 c = std::isnan(clip) ? 0.0f : clip < -65535.0f ? -65535.0f : clip > 65535.0f ? 65535.0f : clip;
  s.clip = c >= 0.0f ? -static_cast<i32>(c + 0.5f) : static_cast<i32>(-c + 0.5f);
  s.gain = kz::scaled(gain, 256.0f, kz::KEY_GAIN_MAX);
  s.secondGain = kz::scaled(secondGain, 256.0f, kz::KEY_GAIN_MAX);
  s.density = kz::scaled(density, 1024.0f, kz::KEY_DENSITY_MAX);
  kz::take(at, kz::memo::keyClipGain, kz::memo::dskClipGain, mode, clip, gain, secondGain, density);
}

void setKeyEdge(int target, int edgeCode, int width, int dir, f32 softness) {
  KZ_CHECK(isKeyTarget(target) || isDskTarget(target));
  KZ_CHECK(KZ_KEY_EDGE_FIRST <= edgeCode && edgeCode <= KZ_KEY_EDGE_NONE);
  KZ_CHECK(0 <= width && width <= 4);
  KZ_CHECK(0 <= dir && dir < 360);
  KZ_CHECK(0.0f <= softness && softness <= 1.0f);
  kz::KeySettings& s = kz::settingsOf(target);
  s.edgeCode = static_cast<u16>(edgeCode);
  s.edgeWidth = static_cast<u8>(width);
  s.edgeDirection = static_cast<u16>(dir);
  s.edgeSoftness = softness;
  trace::call("setKeyEdge", trace::Id{target}, trace::Id{edgeCode}, width, dir, softness);
}

void setKeyFillSource(int target, int source) {
  KZ_CHECK(isKeyTarget(target) || isDskTarget(target));
  KZ_CHECK(kz::edgeFill(source));
  kz::settingsOf(target).fillSource = static_cast<u16>(source);
  trace::call("setKeyFillSource", trace::Id{target}, trace::Id{source});
}

void kz::detail::setKeyBoxMaskChanged(int target, f32 x, f32 y, f32 width, f32 height, int enable, int invert) {
  const kz::Recorded at = kz::recordedAt(target);
  const bool isKey = at.key;
  const bool isDsk = at.settings != nullptr && !at.key;
  const bool isUsk = at.settings == nullptr && isUskTarget(target);
  KZ_CHECK(isKey || isDsk || isUsk);
  KZ_CHECK(kz::fraction(x) && kz::fraction(y) && kz::fraction(width) && kz::fraction(height));
  trace::call("setKeyBoxMask", trace::Id{target}, x, y, width, height, enable, invert);
  if (at.settings == nullptr) {
    kz::memo::uskBoxMask[kz::targetIndex(target, KZ_USK1)].take(x, y, width, height, enable, invert);
    return;
  }
  at.settings->boxMask = kz::BoxMask{x, y, width, height, static_cast<u8>(enable != 0), static_cast<u8>(invert != 0)};
  kz::take(at, kz::memo::keyBoxMask, kz::memo::dskBoxMask, x, y, width, height, enable, invert);
}

void kz::detail::setKeyInvertChanged(int target, int invert) {
  KZ_CHECK(isKeyTarget(target) || isDskTarget(target) || isUskTarget(target));
  const kz::Recorded at = kz::recordedAt(target);
  KZ_CHECK(invert == 0 || invert == 1);
  trace::call("setKeyInvert", trace::Id{target}, invert);
  if (at.settings == nullptr) {
    kz::memo::uskInvert[kz::targetIndex(target, KZ_USK1)].take(invert);
    return;
  }
  at.settings->invert = static_cast<u8>(invert);
  kz::take(at, kz::memo::keyInvert, kz::memo::dskInvert, invert);
}

void setKeyPriority(int level1, int level2, int level3) {
  KZ_CHECK(isKeyTarget(level1) && isKeyTarget(level2) && isKeyTarget(level3));
  kz::currentContext().priority = {static_cast<u16>(level1), static_cast<u16>(level2), static_cast<u16>(level3)};
  trace::call("setKeyPriority", trace::Id{level1}, trace::Id{level2}, trace::Id{level3});
}

void setDskSources(int level0, int level1, int level2) {
  KZ_CHECK(isDskTarget(level0) && isDskTarget(level1) && isDskTarget(level2));
  kz::dskState.order = {static_cast<u16>(level0), static_cast<u16>(level1), static_cast<u16>(level2)};
  trace::call("setDskSources", trace::Id{level0}, trace::Id{level1}, trace::Id{level2});
}
