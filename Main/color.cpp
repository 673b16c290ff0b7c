#include "Main/color.h"

#include <cmath>

#include "Main/video_format.h"

namespace {

constexpr int HUE_LAST = 3599;
constexpr int HUE_SECTOR = 600;  // tenths of a degree from one primary or secondary to the next
constexpr int SATURATION_FULL = 1000;
constexpr int LUMINANCE_FULL = 1000;
constexpr int LUMINANCE_LAST = 1080;
constexpr int Y_BLACK = 64;
constexpr int Y_SPAN = 876;  // black 64 to white 940
constexpr int Y_LAST = 1010;
constexpr int C_CENTRE = 512;
constexpr double C_SPAN = 896.0;  // a colour difference of ±0.5 spans 64..960
constexpr int C_FIRST = 64;
constexpr int C_LAST = 960;

int clampTo(int v, int lo, int hi) { return v < lo ? lo : (v > hi ? hi : v); }

struct Rgb {
  double r, g, b;
};

// The fully saturated colour of a hue: its largest component 1, its smallest 0, the third
// running linearly between them within each sixth of the circle.
Rgb saturatedHue(int hue) {
  const int sector = hue / HUE_SECTOR;
  const double up = static_cast<double>(hue % HUE_SECTOR) / HUE_SECTOR;
  const double down = 1.0 - up;
  switch (sector) {
    case 0: return {1.0, up, 0.0};    // red to yellow
    case 1: return {down, 1.0, 0.0};  // yellow to green
    case 2: return {0.0, 1.0, up};    // green to cyan
    case 3: return {0.0, down, 1.0};  // cyan to blue
    case 4: return {up, 0.0, 1.0};    // blue to magenta
    default: return {1.0, 0.0, down};  // magenta to red
  }
}

// The nearest integer, halves away from zero. From 1 up, adding a half and truncating is exact
// (a sum that reaches the next power of two was to round up anyway), and a code lies there: a
// difference of at most a half keeps it on 64..960. Only below 1 could the sum round up wrongly.
int roundToInt(double v) { return v >= 1.0 ? static_cast<int>(v + 0.5) : static_cast<int>(std::lround(v)); }

int chromaCode(double difference, int saturation) {
  const double v = C_CENTRE + C_SPAN * (static_cast<double>(saturation) / SATURATION_FULL) * difference;
  return clampTo(roundToInt(v), C_FIRST, C_LAST);
}

YCbCr10 convert(int hue, int saturation, int luminance, double kr, double kb) {
  const int l = clampTo(luminance, 0, LUMINANCE_LAST);
  // Exact in integers, rounding half up.
  const int y = clampTo((Y_BLACK * LUMINANCE_FULL + Y_SPAN * l + LUMINANCE_FULL / 2) / LUMINANCE_FULL, Y_BLACK, Y_LAST);
  const int s = clampTo(saturation, 0, SATURATION_FULL);
  const Rgb c = saturatedHue(clampTo(hue, 0, HUE_LAST));
  const double kg = 1.0 - kr - kb;
  const double yh = kr * c.r + kg * c.g + kb * c.b;
  const double cb = (c.b - yh) / (2.0 * (1.0 - kb));
  const double cr = (c.r - yh) / (2.0 * (1.0 - kr));
  return YCbCr10{y, chromaCode(cb, s), chromaCode(cr, s)};
}

}  // namespace

YCbCr10 hslToYCbCr709(int hue, int saturation, int luminance) {
  return convert(hue, saturation, luminance, 0.2126, 0.0722);
}

YCbCr10 hslToYCbCr601(int hue, int saturation, int luminance) {
  return convert(hue, saturation, luminance, 0.299, 0.114);
}

YCbCr10 hslToYCbCr(int videoFormat, int hue, int saturation, int luminance) {
  return isStandardDefinitionFormat(videoFormat) ? hslToYCbCr601(hue, saturation, luminance)
                                              : hslToYCbCr709(hue, saturation, luminance);
}
