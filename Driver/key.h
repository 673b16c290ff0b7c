// Keyer settings of the M/E contexts and of the downstream keys: mix level, clip and gain, edge,
// box mask, layering and colour mattes. Like every setter, these only record into
// register images; the registers of these settings have no known place in the FPGA blocks of this
// board, so kzUpdate leaves them in their images (as it does the fade keyer level).
#pragma once
#include <array>

#include "Driver/effects.h"  // setKeyShape: the key shape window, kept with the test settings
#include "Driver/memo.h"
#include "Driver/trace.h"
#include "Lib/Include/kz_types.h"

// ---- targets -----------------------------------------------------------------------------------
// Keyer k of the current context: KZ_KEY1 + 2k; downstream key n: KZ_DSK1 + 2n; upstream key n:
// KZ_USK1 + 2n.
constexpr int KZ_USK1 = KZ_USK1_F + 1;

// Inline: every key setter of every field asks these.
namespace kz::detail {
constexpr bool pairTarget(int target, int first, int count) {
  return first <= target && target < first + 2 * count && (target - first) % 2 == 0;
}
}  // namespace kz::detail
constexpr bool isKeyTarget(int target) { return kz::detail::pairTarget(target, KZ_KEY1, 4); }
constexpr bool isDskTarget(int target) { return kz::detail::pairTarget(target, KZ_DSK1, 4); }
constexpr bool isUskTarget(int target) { return kz::detail::pairTarget(target, KZ_USK1, 4); }

// ---- setters -----------------------------------------------------------------------------------

namespace kz::detail {
// The out-of-line parts of the inline setters below: a call whose arguments differ from the
// last ones taken for its target.
void setMatteColorChanged(int matteId, int y, int cb, int cr);
void setKeyClipGainChanged(int target, int mode, f32 clip, f32 gain, f32 secondGain, f32 density);
void setKeyBoxMaskChanged(int target, f32 x, f32 y, f32 width, f32 height, int enable, int invert);
void setKeyInvertChanged(int target, int invert);
void setKeyMixChanged(int target, f32 level);
}  // namespace kz::detail

namespace kz::memo {
constexpr std::size_t N_CONTEXT_MATTES = KZ_COLOR_DSK_FILL - KZ_COLOR_BKGD_BORDER;
constexpr std::size_t N_GLOBAL_MATTES = KZ_COLOR_USK4_MATTE - KZ_COLOR_DSK_FILL + 1;
inline PerContext<3, N_CONTEXT_MATTES> contextMatte{};
inline std::array<Last<3>, N_GLOBAL_MATTES> globalMatte{};
inline PerContext<5, N_KEYS> keyClipGain{};
inline std::array<Last<5>, N_KEYS> dskClipGain{};
inline PerContext<6, N_KEYS> keyBoxMask{};
inline std::array<Last<6>, N_KEYS> dskBoxMask{};
inline PerContext<1, N_KEYS> keyInvert{};
inline std::array<Last<1>, N_KEYS> dskInvert{};
// Upstream keys keep no image here, but their calls are checked all the same.
inline std::array<Last<5>, N_KEYS> uskClipGain{};
inline std::array<Last<6>, N_KEYS> uskBoxMask{};
inline std::array<Last<1>, N_KEYS> uskInvert{};
inline PerContext<1, N_KEYS> keyMix{};
inline std::array<Last<1>, N_KEYS> dskMix{};

inline Last<3>* matteOf(int matteId) {
  const std::size_t i = static_cast<unsigned>(matteId - KZ_COLOR_BKGD_BORDER);
  if (i < N_CONTEXT_MATTES) return &ofContext(contextMatte, i);
  if (i - N_CONTEXT_MATTES < N_GLOBAL_MATTES) return &globalMatte[i - N_CONTEXT_MATTES];
  return nullptr;
}

// The entry of a key target of the current context, of a downstream key or (given a table) of an
// upstream key; none for any other.
template <std::size_t N>
Last<N>* keyOrDsk(PerContext<N, N_KEYS>& keys, std::array<Last<N>, N_KEYS>& dsks, int target,
                  std::array<Last<N>, N_KEYS>* usks = nullptr) {
  std::size_t k = 0;
  if (pairIndex(target, KZ_KEY1, k)) return &ofContext(keys, k);
  if (pairIndex(target, KZ_DSK1, k)) return &dsks[k];
  if (usks != nullptr && pairIndex(target, KZ_USK1, k)) return &(*usks)[k];
  return nullptr;
}
}  // namespace kz::memo

// One colour matte (KZ_COLOR_BKGD_BORDER .. KZ_COLOR_USK4_MATTE) as 10-bit Y, Cb, Cr.
inline void setMatteColor(int matteId, int y, int cb, int cr) {
  const kz::memo::Last<3>* last = kz::memo::matteOf(matteId);
  if (last != nullptr && last->same(y, cb, cr)) {
    trace::call("setMatteColor", trace::Id{matteId}, y, cb, cr);
    return;
  }
  kz::detail::setMatteColorChanged(matteId, y, cb, cr);
}
// Mix level 0.0..1.0 of a key or downstream key.
inline void setKeyMix(int target, f32 level) {
  const kz::memo::Last<1>* last = kz::memo::keyOrDsk(kz::memo::keyMix, kz::memo::dskMix, target);
  if (last != nullptr && last->same(level)) {
    trace::call("setKeyMix", trace::Id{target}, level);
    return;
  }
  kz::detail::setKeyMixChanged(target, level);
}
// Key, downstream or upstream key: the mode word, the clip (stored negated), gain and second gain
// (× 256, at most 65535) and density (× 1024, at most 1024).
inline void setKeyClipGain(int target, int mode, f32 clip, f32 gain, f32 secondGain, f32 density) {
  const kz::memo::Last<5>* last = kz::memo::keyOrDsk(kz::memo::keyClipGain, kz::memo::dskClipGain, target, &kz::memo::uskClipGain);
  if (last != nullptr && last->same(mode, clip, gain, secondGain, density)) {
    trace::call("setKeyClipGain", trace::Id{target}, mode, clip, gain, secondGain, density);
    return;
  }
  kz::detail::setKeyClipGainChanged(target, mode, clip, gain, secondGain, density);
}
// Key or downstream key: edge code KZ_KEY_EDGE_FIRST .. KZ_KEY_EDGE_NONE, width 0..4, direction
// 0..359 degrees, softness 0.0..1.0.
void setKeyEdge(int target, int edgeCode, int width, int direction, f32 softness);
// Key or downstream key: what fills the edge: a utility bus, a colour matte, a colour background,
// a still or a clip.
void setKeyFillSource(int target, int source);
// Key, downstream or upstream key: a rectangular mask, x, y, width and height as fractions 0..1 of
// the picture (y downwards); (0, 0, 1, 1, 0, 0) is the whole picture with the mask off.
inline void setKeyBoxMask(int target, f32 x, f32 y, f32 width, f32 height, int enable, int invert) {
  const kz::memo::Last<6>* last = kz::memo::keyOrDsk(kz::memo::keyBoxMask, kz::memo::dskBoxMask, target, &kz::memo::uskBoxMask);
  if (last != nullptr && last->same(x, y, width, height, enable, invert)) {
    trace::call("setKeyBoxMask", trace::Id{target}, x, y, width, height, enable, invert);
    return;
  }
  kz::detail::setKeyBoxMaskChanged(target, x, y, width, height, enable, invert);
}
// Key, downstream or upstream key: the key invert flag.
inline void setKeyInvert(int target, int invert) {
  const kz::memo::Last<1>* last = kz::memo::keyOrDsk(kz::memo::keyInvert, kz::memo::dskInvert, target, &kz::memo::uskInvert);
  if (last != nullptr && last->same(invert)) {
    trace::call("setKeyInvert", trace::Id{target}, invert);
    return;
  }
  kz::detail::setKeyInvertChanged(target, invert);
}
// The keys of the current context at layering levels 1, 2 and 3.
void setKeyPriority(int level1, int level2, int level3);
// The downstream keys at layering levels 0, 1 and 2.
void setDskSources(int level0, int level1, int level2);

namespace kz {

constexpr int N_KEY_TARGETS = 4;
constexpr int N_DSK_TARGETS = 4;
constexpr int N_CONTEXT_MATTES = KZ_COLOR_DSK_FILL - KZ_COLOR_BKGD_BORDER;
constexpr int N_GLOBAL_MATTES = KZ_COLOR_USK4_MATTE - KZ_COLOR_DSK_FILL + 1;
constexpr u32 KEY_GAIN_MAX = 65535;
constexpr u32 KEY_DENSITY_MAX = 1024;

struct Matte {
  u16 y, cb, cr;
  bool operator==(const Matte&) const = default;
};

struct BoxMask {
  f32 x = 0.0f, y = 0.0f, width = 1.0f, height = 1.0f;
  u8 enable = 0, invert = 0;
  bool operator==(const BoxMask&) const = default;
};

// What one key or downstream key holds, as recorded by the setters.
struct KeySettings {
  f32 mix = 0.0f;
  u32 mode = 0;
  i32 clip = 0;  // negated
  u32 gain = 0;
  u32 secondGain = 0;
  u32 density = 0;
  u16 edgeCode = KZ_KEY_EDGE_NONE;
  u8 edgeWidth = 0;
  u16 edgeDirection = 0;
  f32 edgeSoftness = 0.0f;
  u16 fillSource = 0;
  u8 invert = 0;
  BoxMask boxMask;
  bool operator==(const KeySettings&) const = default;
};

struct KeyContextImage {
  std::array<KeySettings, N_KEY_TARGETS> keys;
  std::array<u16, 3> priority;  // key targets at levels 1..3
  std::array<Matte, N_CONTEXT_MATTES> mattes;
};

struct DskImage {
  std::array<KeySettings, N_DSK_TARGETS> keys;
  std::array<u16, 3> order;  // DSK ids at levels 0..2
  std::array<Matte, N_GLOBAL_MATTES> mattes;
};

// What context (KZ_CONTEXT_ME1 .. KZ_CONTEXT_ME4B) holds; asserted.
const KeyContextImage& keyContextImage(int context);
const DskImage& dskImage();
// The settings of a key target under a context, of a downstream key, and of a matte (its
// context matters only for the per-context mattes).
const KeySettings& keySettings(int context, int keyTarget);
const KeySettings& dskSettings(int dskTarget);
const Matte& matte(int context, int matteId);
void resetKeyImages();

}  // namespace kz
