// Hardware test mode: which object and channel drive the tests, the driver calls in their order,
// and values at, inside and beyond each driver range.
#include <algorithm>
#include <string>

#include "Driver/effects.h"
#include "Main/testmode.h"
#include "tests/record_hex.h"
#include "tests/sim_fixture.h"

namespace {

class TestModeTest : public SimTest {
 protected:
  void SetUp() override {
    boot({.trace = true});
    settle();
  }
  // Sends channel `ch` of M/E `me` with every value given (the rest 0) and runs one field.
  Lines test(int me, int ch, std::initializer_list<int> values) {
    KzifTest r{};
    r.me = static_cast<u8>(me);
    r.index = static_cast<u16>(ch);
    r.valueMask = 0xFFFFF;
    int i = 0;
    for (int v : values) r.value[i++] = static_cast<i16>(v);
    const std::string line = "send 56 " + hexOf(r);
    return run({line.c_str(), "field"});
  }
  static Lines calls(const Lines& out, const std::string& name) { return only(out, "drv " + name); }
  // The driver calls of the test: its own context, then the four contexts in turn.
  static Lines testCalls(const Lines& out) {
    const Lines drv = only(out, "drv");
    auto from = drv.begin();
    while (from != drv.end() && !(*from == "drv setMeContext 0x3211" && from + 1 != drv.end() &&
                                  from[1] == "drv setMeContext 0x3210"))
      ++from;
    Lines r;
    for (auto it = from; it != drv.end(); ++it)
      if (it->find("setMeInput") == std::string::npos && it->find("setOperateKeyLevel") == std::string::npos &&
          it->find("selectMemorySource") == std::string::npos)
        r.push_back(*it);
    return r;
  }
};

}  // namespace

TEST_F(TestModeTest, OnlyChannelZeroOfTheSecondMeDrivesAndEveryRecordIsEchoed) {
  for (auto [me, ch] : {std::pair{0, 0}, std::pair{2, 0}, std::pair{3, 0}, std::pair{1, 1}}) {
    const Lines out = test(me, ch, {1, 2});
    EXPECT_TRUE(testCalls(out).empty()) << me << " " << ch;
    EXPECT_EQ(only(out, "msg 56").size(), 1u);
  }
  // Echo: mask as held, the object's M/E, the channel, the value mask and the values.
  EXPECT_EQ(only(test(1, 0, {0, 3}), "msg"),
            Lines{"msg 56 00000000010000000fffff00000003" + std::string(72, '0')});
  EXPECT_TRUE(only(test(4, 0, {1}), "msg").empty());   // no such M/E
  EXPECT_TRUE(only(test(1, 16, {1}), "msg").empty());  // no such channel
}

TEST_F(TestModeTest, WipeNoiseFilterShapeTestInItsOrder) {
  const Lines out = test(1, 0, {1, 3, 0, 7, 50, 10, 20, 30, 40, 25, 2, 3});
  const Lines drv = testCalls(out);
  // Its own context, the four contexts of the test, then the contexts of the M/E 2 and 3 objects,
  // which select theirs every field like every object.
  ASSERT_EQ(drv.size(), 1u + 4u * 16u + 2u);
  EXPECT_EQ(Lines(drv.end() - 2, drv.end()), (Lines{"drv setMeContext 0x3212", "drv setMeContext 0x3213"}));
  EXPECT_EQ(drv[0], "drv setMeContext 0x3211");
  EXPECT_EQ(Lines(drv.begin() + 1, drv.begin() + 17),
            (Lines{"drv setMeContext 0x3210", "drv setWipeSize 0x1600 0.125 0.125 3 3",
                   "drv setWipeSize 0x1205 0.125 0.125 3 3", "drv setWipeSize 0x1207 0.125 0.125 3 3",
                   "drv setWipeSize 0x1209 0.125 0.125 3 3", "drv setWipeSize 0x120b 0.125 0.125 3 3",
                   "drv setFilterDust 0x1600 0 0 7", "drv setFilterDust 0x1205 0 0 7",
                   "drv setTestFilterGain 0x1200 1 0.5", "drv setTestFilterGain 0x1201 1 0.5",
                   "drv setKeyShape 0x1205 0.1 0.2 0.3 0.4 0.25", "drv setKeyShape 0x1207 0.1 0.2 0.3 0.4 0.25",
                   "drv setKeyShape 0x1209 0.1 0.2 0.3 0.4 0.25", "drv setKeyShape 0x120b 0.1 0.2 0.3 0.4 0.25",
                   "drv setTestFilterMode 0x1200 1 0", "drv setTestFilterMode 0x1201 1 1"}));
  EXPECT_EQ(drv[17], "drv setMeContext 0x3211");
  EXPECT_EQ(drv[49], "drv setMeContext 0x3213");
  EXPECT_EQ(kz::keyShapeImage(KZ_CONTEXT_ME4B - 4, KZ_KEY4).shape, 512);  // √0.25 × 1023
  // Every field again while the test is selected; a later value 0 stops it without a call.
  EXPECT_EQ(testCalls(run({"field"})).size(), 67u);
  EXPECT_TRUE(testCalls(test(1, 0, {0})).empty());
}

TEST_F(TestModeTest, ValuesBeyondTheDriverRangesAreClampedWhenTheCallIsBuilt) {
  // Inside: n 1 gives half size; beyond: n 9 and -1, gain 150, dust 20, filter gain -5, shape -1.
  EXPECT_EQ(calls(test(1, 0, {1, 1}), "setWipeSize 0x1600")[0], "drv setWipeSize 0x1600 0.5 0.5 1 1");
  const Lines high = test(1, 0, {1, 9, 150, 20, -5, 0, 0, 0, 0, 400});
  EXPECT_EQ(calls(high, "setWipeSize 0x1600")[0], "drv setWipeSize 0x1600 0.125 0.125 3 3");
  EXPECT_EQ(calls(high, "setFilterDust 0x1600")[0], "drv setFilterDust 0x1600 1 1 15");
  EXPECT_EQ(calls(high, "setTestFilterGain 0x1200")[0], "drv setTestFilterGain 0x1200 1 0");
  EXPECT_EQ(calls(high, "setKeyShape 0x1205").back(), "drv setKeyShape 0x1205 0 0 0 0 1");
  const Lines low = test(1, 0, {1, -1, -3, -2, 100, 0, 0, 0, 0, -7});
  EXPECT_EQ(calls(low, "setWipeSize 0x1600")[0], "drv setWipeSize 0x1600 1 1 0 0");
  EXPECT_EQ(calls(low, "setFilterDust 0x1600")[0], "drv setFilterDust 0x1600 1 0 0");
  EXPECT_EQ(calls(low, "setTestFilterGain 0x1200")[0], "drv setTestFilterGain 0x1200 1 1");
  EXPECT_EQ(calls(low, "setKeyShape 0x1205").back(), "drv setKeyShape 0x1205 0 0 0 0 0");
  EXPECT_TRUE(only(low, "log [ERR]").empty());  // no driver assertion failed
  // A gain of 0 turns both bus filters off whatever the dust beside it.
  const Lines off = test(1, 0, {1, 0, 0, 5, 0});
  const Lines gains = calls(off, "setTestFilterGain");
  ASSERT_GE(gains.size(), 2u);
  EXPECT_EQ(Lines(gains.begin(), gains.begin() + 2),
            (Lines{"drv setTestFilterGain 0x1200 0 0", "drv setTestFilterGain 0x1201 0 0"}));
  EXPECT_EQ(calls(off, "setFilterDust 0x1600")[0], "drv setFilterDust 0x1600 0 0 5");
}

TEST_F(TestModeTest, WipeModulationTestWithItsRanges) {
  const Lines out = test(1, 0, {2, 50, 60, 50, 101, 0, 1, 100, -1});
  const Lines drv = testCalls(out);
  ASSERT_EQ(drv.size(), 1u + 4u * 21u + 2u);
  EXPECT_EQ(Lines(drv.begin() + 1, drv.begin() + 6),
            (Lines{"drv setMeContext 0x3210", "drv setWipeModulationPattern 0x1205 0x1520 0x1522",
                   "drv setWipeModulationPattern 0x1205 0x1521 0x1523",
                   "drv setWipeModulation 0x1205 0x1520 0.5 50 1", "drv setWipeModulation 0x1205 0x1521 0.5 100 0"}));
  // The background comes last in each context, under its own id.
  EXPECT_EQ(Lines(drv.begin() + 18, drv.begin() + 23),
            (Lines{"drv setWipeModulationPattern 0x1600 0x1520 0x1522",
                   "drv setWipeModulationPattern 0x1600 0x1521 0x1523",
                   "drv setWipeModulation 0x1600 0x1520 0.5 50 1", "drv setWipeModulation 0x1600 0x1521 0.5 100 0",
                   "drv setMeContext 0x3211"}));
  EXPECT_TRUE(only(out, "log [ERR]").empty());
}
