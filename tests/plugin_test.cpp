// Plug-in settings and the plug-in status table: checks, texts, the variable body length and the
// status flags that survive a restart through their own share of the backup image.
#include <string>

#include "Main/bp.h"
#include "Main/plugin.h"
#include "Platform/platform.h"
#include "tests/record_hex.h"
#include "tests/sim_fixture.h"

namespace {
using PluginTest = SimTest;

std::string hexText(const std::string& s) {
  std::string h = hexBytes(s.size(), 2);
  for (char c : s) h += hexBytes(static_cast<u8>(c), 1);
  return h + "00";
}
}  // namespace

TEST_F(PluginTest, StatusIsCheckedFieldByFieldWithItsTexts) {
  // index 3, texts "hello" and "", flag 2 refused, value1 65536 taken, value2 32769 refused,
  // value3 6 taken, option 2 refused.
  const std::string body = "0000007f" "0003" + hexText("hello") + hexText("") + "02" + "00010000" + "00008001" +
                           "06" + "02";
  const std::string send = "send 45 " + body;
  EXPECT_EQ(only(run({send.c_str(), "field"}), "msg"),
            Lines{"msg 45 0000002b0003" + hexText("hello") + hexText("") + "00" + "00010000" + "00000000" + "06" + "00"});
  EXPECT_EQ(body.size() / 2, 28u);

  // 33 characters keep their first 32; an index of 30 drops the record.
  const std::string longText(33, 'x');
  const std::string cut = "send 45 00000001 0000 " + hexText(longText) + hexText("") + "00" + "00000000" +
                          "00000000" + "00" + "00";
  const auto sent = sentRecords<KzifPluginStatus>(run({cut.c_str(), "field"}));
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(textOf(sent[0].text1), std::string(32, 'x'));
  const std::string bad = "send 45 00000004 001e 000000 000000 01 00000000 00000000 00 00";
  EXPECT_TRUE(only(run({bad.c_str(), "field"}), "msg").empty());
}

TEST_F(PluginTest, UncheckedTextsKeepAZeroTheyCountAndARecordRunningPastItsBodyIsDropped) {
  const std::string tail = "00" "00000000" "00000000" "00" "00";
  run({("send 45 00000003 0003 " + hexText("old") + hexText("old") + tail).c_str(), "field"});
  // text1: "a", zero, "b" and a Z in the terminator byte; text2: a negative length, no bytes, empty.
  EXPECT_EQ(only(run({("send 45 00000003 0003 0003610062" "5a" "ffff" + tail).c_str(), "field"}), "msg"),
            Lines{"msg 45 00000003" "0003" "000361006200" "000000" + tail});
  // text1 fits, text2 runs past the body: nothing of the record is taken.
  const std::string past = "send 45 00000003 0003 " + hexText("zz") + "0010" "4142";
  EXPECT_EQ(only(run({past.c_str(), ("send 45 00000002 0003 000000" + hexText("ok") + tail).c_str(), "field"}), "msg"),
            Lines{"msg 45 00000002" "0003" "000361006200" + hexText("ok") + tail});
}

TEST_F(PluginTest, FlagsSurviveARestartAndDamagedFlagsCountAsSet) {
  run({"send 45 00000004 0003 000000 000000 01 00000000 00000000 00 00", "send 44 0000000a 00000001 00000002 "
       "00000003 00000004", "field"});
  u8* share = platform::nvWindow() + BP::instance().shareOffset(KzifPluginStatus::TYPE_ID, 0);
  EXPECT_EQ(share[3], 1);
  share[7] = 9;  // damaged
  dropCommitRecords();  // the copy edited above is the one resumed
  const Lines out = run({"restart", "field"});
  const auto status = sentRecords<KzifPluginStatus>(out);
  ASSERT_EQ(status.size(), 30u);
  for (int ch = 0; ch < 30; ++ch) {
    EXPECT_EQ(status[static_cast<std::size_t>(ch)].index, ch);
    EXPECT_EQ(status[static_cast<std::size_t>(ch)].mask, 4u);
    EXPECT_EQ(status[static_cast<std::size_t>(ch)].flag, ch == 3 || ch == 7 ? 1 : 0) << ch;
  }
  // The plug-in words are kept whole, both of them that were sent.
  EXPECT_EQ(only(out, "msg 44"), Lines{"msg 44 0000000f00000000000000020000000000000004"});
}

TEST_F(PluginTest, ColdStartNumbersEveryStatusChannelBeforeAnyRecordArrives) {
  run({"send 45 00000004 001d 000000 000000 01 00000000 00000000 00 00", "field", "restart init", "field"});
  const auto& status = BP::instance().require<category::CategoryPluginStatus>();
  for (int ch = 0; ch < KzifPluginStatus::N_CHANNELS; ++ch) {
    EXPECT_EQ(status.record(ch).index, ch);
    EXPECT_EQ(status.record(ch).flag, 0) << ch;  // nothing survives a cold start
  }
}
