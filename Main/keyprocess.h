// The key processing shared by the keyers, the downstream keys and the upstream keys: matte
// colours, the style fix, the box mask, clip and gain, and the edge. Written once over the records
// of the three, which name their sub-records alike (style, adjust, edge, boxMask, boxEdges); each
// caller passes its own driver target and colour ids.
#pragma once
#include <cmath>
#include <utility>

#include "Driver/key.h"
#include "Lib/Include/kz_types.h"
#include "Main/color.h"

namespace keyproc {

// The 4:3 frame of box mask mode 1, in picture units from the centre, top and bottom upward.
struct PresetBox {
  f32 left, right, top, bottom;
};
// Formats outside the table take the 1080-line row.
const PresetBox& presetBox(int videoFormat);

// The last conversion of one matte colour: HSL is converted again only when it or the video
// format changed; the matte itself is written every field.
struct ColorCache {
  i16 hsl[3] = {};
  i16 format = -1;  // -1: nothing converted yet
  YCbCr10 value{};
};
// Converts hue, saturation and luminance (BT.601 for formats 6 and 7, else BT.709) unless the
// cache holds that colour in that format already.
const YCbCr10& convertMatte(const i16 (&hsl)[3], int videoFormat, ColorCache& cache);
// Converts as convertMatte and writes the matte; returns the converted colour.
YCbCr10 applyMatteColor(int matteId, const i16 (&hsl)[3], int videoFormat, ColorCache& cache);
inline void writeMatte(int matteId, const YCbCr10& c) { setMatteColor(matteId, c.y, c.cb, c.cr); }

constexpr u32 STYLE_FLAG4_BIT = 1u << 3;

// A key of type 0 has no separate key signal: style flag 4 goes back to 0 (and is reported).
template <class R>
bool needsStyleFix(const R& r) {
  return r.style.keyType == 0 && r.style.styleFlag4 == 1;
}
template <class R>
void fixStyle(R& r) {
  r.style.styleFlag4 = 0;
  r.style.mask |= STYLE_FLAG4_BIT;
}

constexpr f32 EDGE_UNIT = 10000.0f;

// v within 0..1, as fmin(fmax(v, 0), 1) gives it for the finite values the key processing works
// out (never -0, whose sign the library calls may keep or drop), by two compares rather than two
// calls.
constexpr f32 unitRange(f32 v) { return v < 0.0f ? 0.0f : (v > 1.0f ? 1.0f : v); }

// What the box mask and the clip and gain of one key hand the drivers. Worked out from the record
// and the video format; a caller that keeps it works it out again only when those changed.
struct KeyProcessSettings {
  f32 boxX = 0.0f, boxY = 0.0f, boxWidth = 1.0f, boxHeight = 1.0f;
  int boxEnable = 0, boxInvert = 0;
  int mode = 0;
  f32 clip = 0.0f, gain = 1.0f, secondGain = 0.0f, density = 0.0f;
  int invert = 0;
};

template <class R>
void boxMaskSettings(const R& r, int videoFormat, KeyProcessSettings& s) {
  if (r.boxMask.mode == 0) {
    s.boxX = 0.0f;
    s.boxY = 0.0f;
    s.boxWidth = 1.0f;
    s.boxHeight = 1.0f;
    s.boxEnable = 0;
    s.boxInvert = 0;
    return;
  }
  PresetBox b{};
  if (r.boxMask.mode == 1) {
    b = presetBox(videoFormat);
  } else {  // edges: left, top, bottom, right
    b = PresetBox{r.boxEdges[0] / EDGE_UNIT, r.boxEdges[3] / EDGE_UNIT, r.boxEdges[1] / EDGE_UNIT,
                  r.boxEdges[2] / EDGE_UNIT};
  }
  if (b.left > b.right) std::swap(b.left, b.right);
  if (b.top < b.bottom) std::swap(b.top, b.bottom);
  // Checked edges stay inside the picture; a damaged stored box is kept inside it too.
  const auto unit = unitRange;
  s.boxX = unit(b.left + 0.5f);
  s.boxY = unit(0.5f - b.top);
  s.boxWidth = unit(b.right - b.left);
  s.boxHeight = unit(b.top - b.bottom);
  s.boxEnable = r.boxMask.flagB != 0 ? 1 : 0;
  s.boxInvert = r.boxMask.flagA != 0 ? 0 : 1;
}

[[gnu::always_inline]] inline void writeBoxMask(int target, const KeyProcessSettings& s) {
  setKeyBoxMask(target, s.boxX, s.boxY, s.boxWidth, s.boxHeight, s.boxEnable, s.boxInvert);
}

template <class R>
void applyBoxMask(int target, const R& r, int videoFormat) {
  KeyProcessSettings s;
  boxMaskSettings(r, videoFormat, s);
  writeBoxMask(target, s);
}

// Gain in thousandths: linear up to 1000, then along a tangent curve up to 2000.
f32 keyGain(int gain);

constexpr int KEY_TYPE_CHROMA = 2;
constexpr int KEY_TYPE_FULL = 3;
constexpr u32 MODE_INVERT = 1u << 0;
constexpr u32 MODE_FLAG = 1u << 1;
constexpr u32 MODE_FULL = 1u << 2;

template <class R>
void clipGainSettings(const R& r, KeyProcessSettings& s) {
  const int type = r.style.keyType;
  u32 mode = (r.adjust.invert == 1 ? MODE_INVERT : 0u) | (r.style.modeFlag == 1 ? MODE_FLAG : 0u);
  f32 clip = 0.0f;
  f32 gain = 1.0f;
  if (type == KEY_TYPE_FULL) {
    mode |= MODE_FULL;
    clip = -1023.0f;
  } else if (type != KEY_TYPE_CHROMA) {
    clip = static_cast<f32>(r.adjust.clip) * 876.0f / 1000.0f + 64.0f;
    gain = keyGain(r.adjust.gain) * 1024.0f / 876.0f;
  }
  s.mode = static_cast<int>(mode);
  s.clip = clip;
  s.gain = gain;
  s.secondGain = type == 0 && r.style.secondGain == 1 ? static_cast<f32>(r.adjust.gain) / 1000.0f : 0.0f;
  s.density = static_cast<f32>(r.adjust.density) / 1000.0f;
  s.invert = type != KEY_TYPE_CHROMA && r.style.invertFlag == 1 ? 1 : 0;
}

[[gnu::always_inline]] inline void writeClipGain(int target, const KeyProcessSettings& s) {
  setKeyClipGain(target, s.mode, s.clip, s.gain, s.secondGain, s.density);
  setKeyInvert(target, s.invert);
}

template <class R>
void applyClipGain(int target, const R& r) {
  KeyProcessSettings s;
  clipGainSettings(r, s);
  writeClipGain(target, s);
}

constexpr int EDGE_DIRECTION_MAX = 315;
constexpr int NO_FILL_SOURCE = -1;

// fillSource: what fills the edge, or NO_FILL_SOURCE to leave it as it is.
template <class R>
void applyEdge(int target, const R& r, int fillSource) {
  const int type = r.edge.type;
  const int code = type >= 1 && type <= 4 ? KZ_KEY_EDGE_FIRST + type - 1 : KZ_KEY_EDGE_NONE;
  const int width = code == KZ_KEY_EDGE_NONE ? 0 : (r.edge.width < 4 ? r.edge.width : 4);
  const int direction = r.edge.direction * 45 < EDGE_DIRECTION_MAX ? r.edge.direction * 45 : EDGE_DIRECTION_MAX;
  const f32 quarters = (static_cast<f32>(r.edge.softness) + 1.0f) * 0.25f;  // 0.25 and up
  const f32 softness = quarters < 1.0f ? quarters : 1.0f;
  setKeyEdge(target, code, width, direction, softness);
  if (fillSource != NO_FILL_SOURCE) setKeyFillSource(target, fillSource);
}

}  // namespace keyproc
