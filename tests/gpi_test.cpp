// GPI settings: the number and code checks entry by entry, the echo, the backup image and the
// resume, and the GPI types that have no handler.
#include <cstring>
#include <string>

#include "Main/bp.h"
#include "Main/gpi.h"
#include "Platform/platform.h"
#include "tests/record_hex.h"
#include "tests/sim_fixture.h"

namespace {
using GpiTest = SimTest;
}  // namespace

TEST(GpiCodes, RangeBounds) {
  for (int v : {0, 315, 400, 615, 700, 915, 1000, 1215, 1300, 1319, 1400, 1479, 1500, 1511, 1600, 1611, 1700, 1711,
                1800, 1811})
    EXPECT_TRUE(isGpiCode(v)) << v;
  for (int v : {-1, 316, 399, 616, 699, 916, 999, 1216, 1299, 1320, 1399, 1480, 1499, 1512, 1599, 1612, 1699, 1712,
                1799, 1812})
    EXPECT_FALSE(isGpiCode(v)) << v;
}

TEST_F(GpiTest, EntriesAreCheckedOneByOneEchoedAndBackedUp) {
  KzifGpiInOut r{};
  r.mask = 0xFFFFFFFF;  // ignored
  r.numberEntries1[0] = {3, 245, 3, 0};
  r.numberEntries1[1] = {3, 246, 4, 0};                 // both refused
  r.numberEntries5[15] = {3, static_cast<i16>(0xFFFF), 2, 0};  // value refused, option taken
  r.codeEntries1[0] = {1, 316, 0, 0};
  r.codeEntries4[9] = {3, 1811, 1, 0};
  const std::string send = "send 31 " + hexOf(r);
  const Lines out = run({send.c_str(), "field"});
  ASSERT_EQ(only(out, "msg").size(), 1u);
  // Record mask 0, then entry 0 (mask 3, 245, 3) and entry 1 with nothing taken.
  EXPECT_EQ(only(out, "msg")[0].substr(0, 7 + 36), "msg 31 00000000" "0000000300f503" "00000000000000");
  const auto sent = sentRecords<KzifGpiInOut>(out);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].numberEntries5[15].mask, 2u);
  EXPECT_EQ(sent[0].numberEntries5[15].value, 0);
  EXPECT_EQ(sent[0].numberEntries5[15].option, 2);
  EXPECT_EQ(sent[0].codeEntries1[0].mask, 0u);
  EXPECT_EQ(sent[0].codeEntries4[9].value, 1811);

  const u8* nv = platform::nvWindow() + BP::instance().shareOffset(KzifGpiInOut::TYPE_ID, 0);
  // As the processor stores it; the send marks are gone once the echo is out.
  const u8 entry0[8] = {0, 0, 0, 0, 245, 0, 3, 0};
  EXPECT_EQ(std::memcmp(nv + 4, entry0, 8), 0);
  const u8 last[8] = {0, 0, 0, 0, 0x13, 0x07, 1, 0};
  EXPECT_EQ(std::memcmp(nv + offsetof(KzifGpiInOut, codeEntries4) + 9 * 8, last, 8), 0);

  // An empty record still brings the whole record back, masks clear.
  const std::string empty = "send 31 " + hexOf(KzifGpiInOut{});
  const auto echoed = sentRecords<KzifGpiInOut>(run({empty.c_str(), "field"}));
  ASSERT_EQ(echoed.size(), 1u);
  EXPECT_EQ(echoed[0].numberEntries1[0].mask, 0u);
  EXPECT_EQ(echoed[0].numberEntries1[0].value, 245);

  // After a resume every entry is reported with both bits.
  const auto resumed = sentRecords<KzifGpiInOut>(run({"restart", "field"}));
  ASSERT_EQ(resumed.size(), 1u);
  EXPECT_EQ(resumed[0].codeEntries2[3].mask, 3u);
  EXPECT_EQ(resumed[0].codeEntries4[9].value, 1811);
}

TEST_F(GpiTest, GpiStatusAndCommandHaveNoHandler) {
  EXPECT_EQ(only(run({"send 61 00000000", "send 81 0000", "field"}), "log [ERR]"),
            (Lines{"log [ERR] receive undefined category KzifGpiInStatus", "log [ERR] receive undefined category KzifGpiCmd"}));
}
