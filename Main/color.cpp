#include "Main/color.h"

#include <array>
#include <cstddef>

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
static_assert((Y_BLACK * LUMINANCE_FULL + Y_SPAN * LUMINANCE_LAST + LUMINANCE_FULL / 2) / LUMINANCE_FULL == Y_LAST);
constexpr int C_CENTRE = 512;
constexpr double C_SPAN = 896.0;  // a colour difference of ±0.5 spans 64..960
constexpr int C_FIRST = 64;
constexpr int C_LAST = 960;

int clampTo(int v, int lo, int hi) { return v < lo ? lo : (v > hi ? hi : v); }

// The colour differences of the fully saturated colour of a hue run linearly with the hue
// within each sixth of the circle, where its largest component is 1, its smallest 0 and the
// third runs between them. Each sixth of a matrix keeps them as an offset and a slope per step of
// hue, already scaled to code steps per step of saturation: a conversion is then two products and
// two sums per difference, and never a division. The codes are those of the direct formula (the
// saturated colour's luma, each difference divided out, scaled by the saturation) for every hue
// and saturation under both matrices, which is checked over all of them: no sum lies close enough
// to a half for the difference in rounding to show.
struct SectorLine {
  double cbAt0, cbPerStep, crAt0, crPerStep;
};
using MatrixLines = std::array<SectorLine, 6>;

constexpr MatrixLines linesOf(double kr, double kb) {
  const double kg = 1.0 - kr - kb;
  // The saturated colour at the start of each sixth and at its end (1, the next primary or
  // secondary), red to yellow to green to cyan to blue to magenta and back to red.
  constexpr double corner[7][3] = {{1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {0, 1, 1}, {0, 0, 1}, {1, 0, 1}, {1, 0, 0}};
  const double perCode = C_SPAN / SATURATION_FULL;  // code steps per step of saturation
  MatrixLines lines{};
  for (std::size_t k = 0; k < 6; ++k) {
    double cb[2] = {}, cr[2] = {};
    for (std::size_t end = 0; end < 2; ++end) {
      const double* c = corner[k + end];
      const double yh = kr * c[0] + kg * c[1] + kb * c[2];
      cb[end] = (c[2] - yh) / (2.0 * (1.0 - kb)) * perCode;
      cr[end] = (c[0] - yh) / (2.0 * (1.0 - kr)) * perCode;
    }
    lines[k] = {cb[0], (cb[1] - cb[0]) / HUE_SECTOR, cr[0], (cr[1] - cr[0]) / HUE_SECTOR};
  }
  return lines;
}
constexpr MatrixLines BT709 = linesOf(0.2126, 0.0722);
constexpr MatrixLines BT601 = linesOf(0.299, 0.114);

// The nearest code, halves up. A code lies within 64..960 whatever the hue and saturation (a
// difference of at most a half either way, `steps` within -448..448), so adding a half and
// truncating is exact there, and the code needs no clamp.
static_assert(C_CENTRE - C_SPAN / 2 == C_FIRST && C_CENTRE + C_SPAN / 2 == C_LAST);
int chromaCode(double steps) { return static_cast<int>(C_CENTRE + steps + 0.5); }

[[gnu::always_inline]] inline YCbCr10 convert(int hue, int saturation, int luminance, const MatrixLines& lines) {
  const int l = clampTo(luminance, 0, LUMINANCE_LAST);
  // Exact in integers, rounding half up; luminance 0..1080 gives Y 64..1010 with no clamp.
  const int y = (Y_BLACK * LUMINANCE_FULL + Y_SPAN * l + LUMINANCE_FULL / 2) / LUMINANCE_FULL;
  const int s = clampTo(saturation, 0, SATURATION_FULL);
  const int h = clampTo(hue, 0, HUE_LAST);
  const SectorLine& line = lines[static_cast<std::size_t>(h / HUE_SECTOR)];
  const double step = static_cast<double>(h % HUE_SECTOR);
  const double sat = static_cast<double>(s);
  return YCbCr10{y, chromaCode(sat * (line.cbAt0 + line.cbPerStep * step)),
                 chromaCode(sat * (line.crAt0 + line.crPerStep * step))};
}

}  // namespace

YCbCr10 hslToYCbCr709(int hue, int saturation, int luminance) { return convert(hue, saturation, luminance, BT709); }

YCbCr10 hslToYCbCr601(int hue, int saturation, int luminance) { return convert(hue, saturation, luminance, BT601); }

YCbCr10 hslToYCbCr(int videoFormat, int hue, int saturation, int luminance) {
  return isStandardDefinitionFormat(videoFormat) ? convert(hue, saturation, luminance, BT601)
                                              : convert(hue, saturation, luminance, BT709);
}
