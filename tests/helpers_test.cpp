// Small pure helpers: the colour conversion and the panel lamp code maps.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <string>
#include <utility>

#include "Common/assert.h"
#include "Lib/Include/data_internal.h"
#include "Main/color.h"
#include "Platform/host.h"

namespace {

void expectColor(const YCbCr10& c, int y, int cb, int cr) {
  EXPECT_EQ(c.y, y);
  EXPECT_EQ(c.cb, cb);
  EXPECT_EQ(c.cr, cr);
}

// ---- colour conversion -----------------------------------------------------------------------------

TEST(ColorConversion, GreysAreNeutralAndCodesStayInRange) {
  for (auto convert : {&hslToYCbCr709, &hslToYCbCr601}) {
    expectColor(convert(0, 0, 1000), 940, 512, 512);
    expectColor(convert(1800, 0, 0), 64, 512, 512);
    expectColor(convert(0, 0, 500), 502, 512, 512);
    expectColor(convert(0, 0, 1080), 1010, 512, 512);  // super-white lifts Y alone
    expectColor(convert(0, 0, 5000), 1010, 512, 512);
    for (int hue = 0; hue < 3600; hue += 150)
      for (int lum : {0, 90, 500, 1000, 1080}) {
        const YCbCr10 c = convert(hue, 1000, lum);
        EXPECT_TRUE(64 <= c.y && c.y <= 1010 && 64 <= c.cb && c.cb <= 960 && 64 <= c.cr && c.cr <= 960)
            << hue << " " << lum;
      }
  }
}

TEST(ColorConversion, SaturatedColoursDifferBetweenMatricesChosenByFormat) {
  expectColor(hslToYCbCr709(0, 1000, 500), 502, 409, 960);
  expectColor(hslToYCbCr601(0, 1000, 500), 502, 361, 960);
  expectColor(hslToYCbCr(7, 0, 1000, 500), 502, 361, 960);
  expectColor(hslToYCbCr(6, 0, 1000, 500), 502, 361, 960);
  expectColor(hslToYCbCr(5, 0, 1000, 500), 502, 409, 960);
  EXPECT_EQ(hslToYCbCr709(2400, 1000, 500).cb, 960);  // blue: Cb at its top
}

// Luminance is the level alone: a saturated colour keeps its Cb and Cr from black to super-white.
TEST(ColorConversion, PrimariesAndSecondariesKeepTheirColourAtEveryLevel) {
  struct Hue {
    int hue, cb709, cr709, cb601, cr601;
  };
  constexpr Hue hues[] = {
      {0, 409, 960, 361, 960},     // red
      {600, 64, 553, 64, 585},     // yellow
      {1200, 167, 105, 215, 137},  // green
      {1800, 615, 64, 663, 64},    // cyan
      {2400, 960, 471, 960, 439},  // blue
      {3000, 857, 919, 809, 887},  // magenta
  };
  for (const Hue& h : hues)
    for (auto [lum, y] : {std::pair{0, 64}, std::pair{1000, 940}, std::pair{1080, 1010}}) {
      SCOPED_TRACE(std::to_string(h.hue) + " at " + std::to_string(lum));
      expectColor(hslToYCbCr709(h.hue, 1000, lum), y, h.cb709, h.cr709);
      expectColor(hslToYCbCr601(h.hue, 1000, lum), y, h.cb601, h.cr601);
    }
  expectColor(hslToYCbCr709(1800, 333, 250), 283, 546, 363);  // in between: 546.18, 362.82
}

TEST(ColorConversion, LevelsAndColourDifferencesRoundHalfUp) {
  // 64 + 876 × 0.125 = 173.5 and 64 + 876 × 0.375 = 392.5 go up.
  for (auto [lum, y] : {std::pair{125, 174}, std::pair{375, 393}, std::pair{500, 502}, std::pair{1079, 1009}})
    for (int hue : {0, 1234, 3599}) {
      expectColor(hslToYCbCr709(hue, 0, lum), y, 512, 512);
      expectColor(hslToYCbCr601(hue, 0, lum), y, 512, 512);
    }
  // Red's Cr is 512 + 448 × saturation exactly: 533.504 goes up, 546.496 down.
  EXPECT_EQ(hslToYCbCr709(0, 48, 1000).cr, 534);
  EXPECT_EQ(hslToYCbCr709(0, 77, 1000).cr, 546);
  EXPECT_EQ(hslToYCbCr601(0, 48, 1000).cr, 534);
}

TEST(ColorConversion, ValuesBeyondTheirRangesAreTakenAtTheNearestEnd) {
  for (auto convert : {&hslToYCbCr709, &hslToYCbCr601}) {
    // Oversaturation keeps the hue rather than pinning each difference on its own.
    const YCbCr10 full = convert(0, 1000, 1000);
    expectColor(convert(0, 1500, 1000), full.y, full.cb, full.cr);
    expectColor(convert(0, -20, 1000), 940, 512, 512);
    expectColor(convert(0, 1000, -10), 64, full.cb, full.cr);
    expectColor(convert(0, 1000, 1081), 1010, full.cb, full.cr);
    expectColor(convert(-300, 1000, 1000), full.y, full.cb, full.cr);
    const YCbCr10 last = convert(3599, 1000, 1000);
    expectColor(convert(4000, 1000, 1000), last.y, last.cb, last.cr);
    for (int hue : {-32768, 0, 600, 1200, 1800, 2400, 3000, 3599, 32767})
      for (int sat : {-32768, 1000, 32767})
        for (int lum : {-32768, 1080, 32767}) {
          const YCbCr10 c = convert(hue, sat, lum);
          EXPECT_TRUE(64 <= c.y && c.y <= 1010 && 64 <= c.cb && c.cb <= 960 && 64 <= c.cr && c.cr <= 960)
              << hue << " " << sat << " " << lum;
        }
  }
  expectColor(hslToYCbCr709(3599, 1000, 1000), 940, 410, 960);
}

// The conversion as its definition reads: the saturated hue's RGB, the luma sum of all three
// weighted components, each difference divided out and scaled, in doubles. The conversion
// must give the same codes for every hue and saturation under both matrices, ties included.
YCbCr10 convertByDefinition(int hue, int saturation, int luminance, double kr, double kb) {
  const int l = std::clamp(luminance, 0, 1080);
  const int y = std::clamp((64 * 1000 + 876 * l + 500) / 1000, 64, 1010);
  const int s = std::clamp(saturation, 0, 1000);
  const int h = std::clamp(hue, 0, 3599);
  const double up = static_cast<double>(h % 600) / 600;
  const double down = 1.0 - up;
  double r = 0, g = 0, b = 0;
  switch (h / 600) {
    case 0: r = 1.0, g = up, b = 0.0; break;
    case 1: r = down, g = 1.0, b = 0.0; break;
    case 2: r = 0.0, g = 1.0, b = up; break;
    case 3: r = 0.0, g = down, b = 1.0; break;
    case 4: r = up, g = 0.0, b = 1.0; break;
    default: r = 1.0, g = 0.0, b = down; break;
  }
  const double kg = 1.0 - kr - kb;
  const double yh = kr * r + kg * g + kb * b;
  const auto code = [s](double difference) {
    const double v = 512 + 896.0 * (static_cast<double>(s) / 1000) * difference;
    return std::clamp(static_cast<int>(std::lround(v)), 64, 960);
  };
  return YCbCr10{y, code((b - yh) / (2.0 * (1.0 - kb))), code((r - yh) / (2.0 * (1.0 - kr)))};
}

TEST(ColorConversion, EveryHueAndSaturationGivesTheCodesOfTheDefinition) {
  int mismatches = 0;
  for (int hue = -1; hue <= 3600; ++hue)
    for (int sat = -1; sat <= 1001; ++sat) {
      const int lum = (hue * 7 + sat) % 1100;
      const YCbCr10 bt709 = hslToYCbCr709(hue, sat, lum);
      const YCbCr10 bt601 = hslToYCbCr601(hue, sat, lum);
      const YCbCr10 want709 = convertByDefinition(hue, sat, lum, 0.2126, 0.0722);
      const YCbCr10 want601 = convertByDefinition(hue, sat, lum, 0.299, 0.114);
      const bool same = bt709.y == want709.y && bt709.cb == want709.cb && bt709.cr == want709.cr &&
                        bt601.y == want601.y && bt601.cb == want601.cb && bt601.cr == want601.cr;
      if (!same && ++mismatches <= 5) ADD_FAILURE() << "hue " << hue << " saturation " << sat << " luminance " << lum;
    }
  EXPECT_EQ(mismatches, 0);
  // The format picks the matrix: 6 and 7 are standard definition.
  for (int format : {0, 5, 6, 7, 11}) {
    const YCbCr10 c = hslToYCbCr(format, 1234, 567, 890);
    const YCbCr10 want = format == 6 || format == 7 ? hslToYCbCr601(1234, 567, 890) : hslToYCbCr709(1234, 567, 890);
    expectColor(c, want.y, want.cb, want.cr);
  }
}

// ---- lamp code maps --------------------------------------------------------------------------------

class LampMapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host::setConsoleSink([](void* ctx, const char* b, std::size_t n) { static_cast<std::string*>(ctx)->append(b, n); },
                         &console);
  }
  void TearDown() override { host::setConsoleSink(nullptr, nullptr); }

  // Every index that some code in 0..3999 maps to; fails on an index out of range or used twice.
  static std::set<int> mappedIndexes(int (*map)(int), int limit) {
    std::set<int> seen;
    for (int code = 0; code < 4000; ++code) {
      try {
        const int index = map(code);
        EXPECT_TRUE(0 <= index && index < limit && seen.insert(index).second) << "code " << code;
      } catch (const assert::AssertException&) {
      }
    }
    return seen;
  }

  std::string console;
};

TEST_F(LampMapTest, CodesAtTheEndsOfRunsAndEveryIndexOnce) {
  const std::pair<int, int> panelEnds[] = {{200, 0},    {207, 7},    {212, 8},   {2450, 180},
                                           {2804, 212}, {3000, 227}, {700, 246}, {3351, N_LED_INDEX - 1}};
  const std::pair<int, int> meEnds[] = {{0, 0},      {47, 47},    {50, 48},   {208, 192},
                                        {230, 210},  {453, 214},  {250, 215}, {423, N_ME_LED_INDEX - 1}};
  for (auto [code, index] : panelEnds) EXPECT_EQ(ledCodeToIndex(code), index) << code;
  for (auto [code, index] : meEnds) EXPECT_EQ(meLedCodeToIndex(code), index) << code;

  const std::set<int> led = mappedIndexes(&ledCodeToIndex, N_LED_INDEX);
  EXPECT_EQ(led.size(), static_cast<std::size_t>(N_LED_INDEX - 14));
  for (int index = 213; index <= 226; ++index) EXPECT_EQ(led.count(index), 0u) << index;  // the panel's gap
  EXPECT_EQ(mappedIndexes(&meLedCodeToIndex, N_ME_LED_INDEX).size(), static_cast<std::size_t>(N_ME_LED_INDEX));
}

TEST_F(LampMapTest, UnmappedCodesFailWithTheMapsLine) {
  for (int code : {208, 211, 216, 199, 3352, -1}) {
    console.clear();
    EXPECT_THROW(ledCodeToIndex(code), assert::AssertException) << code;
    EXPECT_EQ(console, "\x1b[ERR] Assertion failed: Lib/Include/data_internal(155) NeverReachHere\n") << code;
  }
  for (int code : {48, 212, 424}) {
    console.clear();
    EXPECT_THROW(meLedCodeToIndex(code), assert::AssertException) << code;
    EXPECT_EQ(console, "\x1b[ERR] Assertion failed: Lib/Include/data_internal(353) NeverReachHere\n") << code;
  }
}

}  // namespace
