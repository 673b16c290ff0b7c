// Small pure helpers: the HSL colour conversion and the panel lamp code maps.
#include <gtest/gtest.h>

#include <set>
#include <string>

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

TEST(ColorConversion, GreysAreNeutralInBothMatrices) {
  for (auto convert : {&hslToYCbCr709, &hslToYCbCr601}) {
    expectColor(convert(0, 0, 1000), 940, 512, 512);
    expectColor(convert(1800, 0, 0), 64, 512, 512);
    expectColor(convert(0, 0, 1080), 1010, 512, 512);  // super-white lifts Y alone
    expectColor(convert(0, 0, 5000), 1010, 512, 512);
    expectColor(convert(0, 0, 500), 502, 512, 512);
  }
}

TEST(ColorConversion, SaturatedRedDiffersBetweenMatrices) {
  expectColor(hslToYCbCr709(0, 1000, 500), 250, 409, 960);
  expectColor(hslToYCbCr601(0, 1000, 500), 326, 361, 960);
  expectColor(hslToYCbCr(7, 0, 1000, 500), 326, 361, 960);
  expectColor(hslToYCbCr(5, 0, 1000, 500), 250, 409, 960);
  // Blue: Cb at its top, hue 240 degrees.
  EXPECT_EQ(hslToYCbCr709(2400, 1000, 500).cb, 960);
}

TEST(ColorConversion, CodesStayInTheirRangesOverASweep) {
  for (int hue = 0; hue < 3600; hue += 150)
    for (int sat = 0; sat <= 1000; sat += 250)
      for (int lum = 0; lum <= 1080; lum += 90)
        for (auto convert : {&hslToYCbCr709, &hslToYCbCr601}) {
          const YCbCr10 c = convert(hue, sat, lum);
          ASSERT_TRUE(64 <= c.y && c.y <= 1010 && 64 <= c.cb && c.cb <= 960 && 64 <= c.cr && c.cr <= 960)
              << hue << " " << sat << " " << lum;
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
        EXPECT_TRUE(0 <= index && index < limit) << code;
        EXPECT_TRUE(seen.insert(index).second) << "index " << index << " twice, code " << code;
      } catch (const assert::AssertException&) {
      }
    }
    return seen;
  }

  std::string console;
};

TEST_F(LampMapTest, PanelLampsAtTheEndsOfTheirRuns) {
  EXPECT_EQ(ledCodeToIndex(200), 0);
  EXPECT_EQ(ledCodeToIndex(207), 7);
  EXPECT_EQ(ledCodeToIndex(212), 8);
  EXPECT_EQ(ledCodeToIndex(2450), 180);
  EXPECT_EQ(ledCodeToIndex(2804), 212);
  EXPECT_EQ(ledCodeToIndex(3000), 227);
  EXPECT_EQ(ledCodeToIndex(700), 246);
  EXPECT_EQ(ledCodeToIndex(3351), N_LED_INDEX - 1);
  EXPECT_EQ(console, "");
}

TEST_F(LampMapTest, MeLampsAtTheEndsOfTheirRuns) {
  EXPECT_EQ(meLedCodeToIndex(0), 0);
  EXPECT_EQ(meLedCodeToIndex(47), 47);
  EXPECT_EQ(meLedCodeToIndex(50), 48);
  EXPECT_EQ(meLedCodeToIndex(208), 192);
  EXPECT_EQ(meLedCodeToIndex(230), 210);
  EXPECT_EQ(meLedCodeToIndex(453), 214);
  EXPECT_EQ(meLedCodeToIndex(250), 215);
  EXPECT_EQ(meLedCodeToIndex(423), N_ME_LED_INDEX - 1);
}

TEST_F(LampMapTest, EveryIndexHasOneCodeExceptThePanelGap) {
  const std::set<int> led = mappedIndexes(&ledCodeToIndex, N_LED_INDEX);
  EXPECT_EQ(led.size(), static_cast<std::size_t>(N_LED_INDEX - 14));
  EXPECT_EQ(led.count(212) + led.count(227), 2u);
  for (int index = 213; index <= 226; ++index) EXPECT_EQ(led.count(index), 0u) << index;
  EXPECT_EQ(mappedIndexes(&meLedCodeToIndex, N_ME_LED_INDEX).size(), static_cast<std::size_t>(N_ME_LED_INDEX));
}

TEST_F(LampMapTest, UnmappedCodesFailWithTheMapsLine) {
  for (int code : {208, 211, 216, 199, 3352, -1}) {
    console.clear();
    try {
      ledCodeToIndex(code);
      ADD_FAILURE() << code;
    } catch (const assert::AssertException& e) {
      EXPECT_EQ(e.line(), 155);
    }
    EXPECT_EQ(console, "\x1b[ERR] Assertion failed: Lib/Include/data_internal(155) NeverReachHere\n") << code;
  }
  console.clear();
  EXPECT_THROW(meLedCodeToIndex(48), assert::AssertException);
  EXPECT_THROW(meLedCodeToIndex(212), assert::AssertException);
  EXPECT_THROW(meLedCodeToIndex(424), assert::AssertException);
  EXPECT_EQ(console.substr(0, console.find('\n') + 1),
            "\x1b[ERR] Assertion failed: Lib/Include/data_internal(353) NeverReachHere\n");
}

}  // namespace
