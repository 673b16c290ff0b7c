#include "Main/color.h"

#include <cmath>

#include "Main/video_format.h"

namespace {

float clampf(float v, float lo, float hi) { return v < lo ? lo : (v > hi ? hi : v); }

float hueChannel(float p, float q, float t) {
  if (t < 0.0f) t += 1.0f;
  if (t > 1.0f) t -= 1.0f;
  if (t < 1.0f / 6.0f) return p + (q - p) * 6.0f * t;
  if (t < 0.5f) return q;
  if (t < 2.0f / 3.0f) return p + (q - p) * (2.0f / 3.0f - t) * 6.0f;
  return p;
}

int toCode(float v, int lo, int hi) {
  const long r = std::lround(v);
  return static_cast<int>(r < lo ? lo : (r > hi ? hi : r));
}

// HSL to R'G'B' (luminance clamped to 100 % for the hue circle), then to Y'CbCr with the
// coefficients kr, kb; luminance above 100 % lifts Y' alone, as super-white.
YCbCr10 convert(int hue, int saturation, int luminance, float kr, float kb) {
  const float h = clampf(static_cast<float>(hue), 0.0f, 3599.0f) / 3600.0f;
  const float s = clampf(static_cast<float>(saturation), 0.0f, 1000.0f) / 1000.0f;
  const float lFull = clampf(static_cast<float>(luminance), 0.0f, 1080.0f) / 1000.0f;
  const float l = lFull > 1.0f ? 1.0f : lFull;
  float r = l, g = l, b = l;
  if (s > 0.0f) {
    const float q = l < 0.5f ? l * (1.0f + s) : l + s - l * s;
    const float p = 2.0f * l - q;
    r = hueChannel(p, q, h + 1.0f / 3.0f);
    g = hueChannel(p, q, h);
    b = hueChannel(p, q, h - 1.0f / 3.0f);
  }
  const float kg = 1.0f - kr - kb;
  float y = kr * r + kg * g + kb * b;
  const float cb = (b - y) / (2.0f * (1.0f - kb));
  const float cr = (r - y) / (2.0f * (1.0f - kr));
  if (lFull > 1.0f) y += lFull - 1.0f;
  return YCbCr10{toCode(64.0f + 876.0f * y, 64, 1010), toCode(512.0f + 896.0f * cb, 64, 960),
                 toCode(512.0f + 896.0f * cr, 64, 960)};
}

}  // namespace

YCbCr10 hslToYCbCr709(int hue, int saturation, int luminance) {
  return convert(hue, saturation, luminance, 0.2126f, 0.0722f);
}

YCbCr10 hslToYCbCr601(int hue, int saturation, int luminance) {
  return convert(hue, saturation, luminance, 0.299f, 0.114f);
}

YCbCr10 hslToYCbCr(int videoFormat, int hue, int saturation, int luminance) {
  return isStandardDefinitionFormat(videoFormat) ? hslToYCbCr601(hue, saturation, luminance)
                                              : hslToYCbCr709(hue, saturation, luminance);
}
