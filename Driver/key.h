// Keyer settings of the M/E contexts and of the downstream keys: mix level, clip and gain, edge,
// box mask, layering and colour mattes. Like every setter, these only record into
// register images; the registers of these settings have no known place in the FPGA blocks of this
// board, so kzUpdate leaves them in their images (as it does the fade keyer level).
#pragma once
#include <array>

#include "Driver/effects.h"  // setKeyShape: the key shape window, kept with the test settings
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

// One colour matte (KZ_COLOR_BKGD_BORDER .. KZ_COLOR_USK4_MATTE) as 10-bit Y, Cb, Cr.
void setMatteColor(int matteId, int y, int cb, int cr);
// Mix level 0.0..1.0 of a key or downstream key.
void setKeyMix(int target, f32 level);
// Key, downstream or upstream key: the mode word, the clip (stored negated), gain and second gain
// (× 256, at most 65535) and density (× 1024, at most 1024).
void setKeyClipGain(int target, int mode, f32 clip, f32 gain, f32 secondGain, f32 density);
// Key or downstream key: edge code KZ_KEY_EDGE_FIRST .. KZ_KEY_EDGE_NONE, width 0..4, direction
// 0..359 degrees, softness 0.0..1.0.
void setKeyEdge(int target, int edgeCode, int width, int direction, f32 softness);
// Key or downstream key: what fills the edge: a utility bus, a colour matte, a colour background,
// a still or a clip.
void setKeyFillSource(int target, int source);
// Key, downstream or upstream key: a rectangular mask, x, y, width and height as fractions 0..1 of
// the picture (y downwards); (0, 0, 1, 1, 0, 0) is the whole picture with the mask off.
void setKeyBoxMask(int target, f32 x, f32 y, f32 width, f32 height, int enable, int invert);
// Key or downstream key: the key invert flag.
void setKeyInvert(int target, int invert);
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
