// The control panel configuration through the wire: body layout and backup image, the range tables
// of each column, the escaped network texts, the key-fader button tables with their enables and
// lever-link release, and the enables cleared by a restart and by the system initial command.
#include <cstring>
#include <string>
#include <tuple>
#include <utility>

#include "Main/autotrans.h"
#include "Main/bp.h"
#include "Main/cp_config.h"
#include "Main/faderevent.h"
#include "Platform/platform.h"
#include "tests/record_hex.h"
#include "tests/sim_fixture.h"

namespace {

class ControlPanelConfigTest : public SimTest {
 protected:
  category::CategoryControlPanelConfig& config() { return category::CategoryControlPanelConfig::get(); }
  const KzifControlPanelConfig& stored() { return config().record(0); }
  Lines send(const KzifControlPanelConfig& r) {
    const std::string line = "send 25 " + hexOf(r);
    return run({line.c_str(), "field"});
  }
  KzifControlPanelConfig echo(const KzifControlPanelConfig& r) {
    const auto sent = sentRecords<KzifControlPanelConfig>(send(r));
    EXPECT_EQ(sent.size(), 1u);
    return sent.empty() ? KzifControlPanelConfig{} : sent[0];
  }
  static void text(rec::Text<15>& t, const char* chars, int length = -1) {
    std::memset(t.chars, 0, sizeof t.chars);
    const std::size_t n = std::strlen(chars);
    std::memcpy(t.chars, chars, n < sizeof t.chars ? n : sizeof t.chars);
    t.length = static_cast<i16>(length < 0 ? static_cast<int>(n) : length);
  }
};

}  // namespace

TEST_F(ControlPanelConfigTest, BodyLayoutTextsAndBackupImage) {
  KzifControlPanelConfig empty{};
  EXPECT_EQ(hexOf(empty).size(), 2u * 1239);

  KzifControlPanelConfig in{};
  in.controlPanel.mask = 1u << 7;
  in.controlPanel.value0 = 9;
  in.networkSetting1.mask = 1;
  text(in.networkSetting1.text0, "ab");
  const std::string hex = hexOf(in);
  // mask, then the main panel: mask, six flags and the choice, value0 = 9.
  EXPECT_EQ(hex.substr(0, 34), "00000000" "00000080" "00000000000000" "0009");
  // The first network text follows both panels: length 2, "ab" and its zero.
  EXPECT_EQ(hex.substr(2 * (4 + 37 + 37), 2 * 4 + 2 * 5), "00000001" "0002616200");
  EXPECT_EQ(hex.size(), 2u * (1239 + 2));

  const KzifControlPanelConfig back = echo(in);
  EXPECT_EQ(std::tuple(+back.controlPanel.value0, textOf(back.networkSetting1.text0), back.networkSetting1.mask),
            std::tuple(9, std::string("ab"), 1u));

  // Little-endian: value0 of the main panel, then networkSetting1.text0's length and characters.
  const u8* image = platform::nvWindow() + BP::instance().shareOffset(KzifControlPanelConfig::TYPE_ID, 0);
  EXPECT_EQ(std::tuple(+image[4 + 12], +image[4 + 13], +image[84 + 4]), std::tuple(9, 0, 2));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(image + 84 + 6), 3), std::string("ab\0", 3));
}

TEST_F(ControlPanelConfigTest, RangeTablesDropOneValueAndKeepTheRest) {
  KzifControlPanelConfig in{};
  in.controlPanel.mask = (1u << 7) | (1u << 10) | (1u << 8);
  in.controlPanel.value0 = 5;   // main panel: 6..13
  in.controlPanel.value3 = 10;  // main panel: 0..10
  in.controlPanel.value1 = -1;  // 0xFFFF on the wire
  in.subControlPanel1.mask = (1u << 7) | (1u << 10);
  in.subControlPanel1.value0 = 5, in.subControlPanel1.value3 = 10;
  in.subControlPanel2.flagsA.mask = 0x3;
  in.subControlPanel2.flagsA.flag[0] = 2, in.subControlPanel2.flagsA.flag[1] = 1;
  for (auto* b : {&in.optionBlockList[5], &in.optionBlockList[2]}) {
    b->mask = 0xF;
    b->value0 = 12, b->value1 = 5, b->value2 = 6, b->value3 = 7;
  }
  in.optionBlockList[0].mask = 0x1, in.optionBlockList[0].value0 = 3;  // 0 or 5..12
  in.optionBlockB.mask = 0x2, in.optionBlockB.value1 = 13;            // only optionBlockB takes 13 here
  in.optionBlockA.mask = 0x9, in.optionBlockA.value0 = 0, in.optionBlockA.value3 = 1;  // value0: 1..12
  in.tripletTable.mask = 0x3;
  in.tripletTable.entry0[0] = 3, in.tripletTable.entry0[1] = 16;
  in.tripletTable.entry1[0] = 15, in.tripletTable.entry1[1] = 15, in.tripletTable.entry1[2] = 15;

  const KzifControlPanelConfig back = echo(in);
  EXPECT_EQ(std::tuple(back.controlPanel.mask, +back.controlPanel.value3, back.subControlPanel1.mask,
                       +back.subControlPanel1.value0, back.subControlPanel2.flagsA.mask),
            std::tuple(1u << 10, 10, (1u << 7) | (1u << 10), 5, 0x2u));
  // List entries 4..7 are never taken; the others by their own checks.
  EXPECT_EQ(std::tuple(back.optionBlockList[5].mask, +stored().optionBlockList[5].value0, back.optionBlockList[2].mask,
                       back.optionBlockList[0].mask, back.optionBlockB.mask, back.optionBlockA.mask),
            std::tuple(0u, 0, 0xFu, 0u, 0x2u, 0x8u));
  EXPECT_EQ(std::tuple(back.tripletTable.mask, +stored().tripletTable.entry0[0], +stored().tripletTable.entry1[2]),
            std::tuple(0x2u, 0, 15));

  // A record with nothing marked is still answered.
  EXPECT_EQ(sentRecords<KzifControlPanelConfig>(send(KzifControlPanelConfig{})).size(), 1u);
}

TEST_F(ControlPanelConfigTest, NetworkTextsTakeOnlyTheFirstCheckedAndCut) {
  KzifControlPanelConfig in{};
  in.networkSetting1.mask = 0xF;
  text(in.networkSetting1.text0, "ab\\\"c");
  text(in.networkSetting1.text1, "x");
  in.networkSetting2.mask = 0x1;
  text(in.networkSetting2.text0, "ab\\");  // a lone backslash at the end
  const KzifControlPanelConfig back = echo(in);
  EXPECT_EQ(std::tuple(back.networkSetting1.mask, back.networkSetting2.mask), std::tuple(0x1u, 0u));
  EXPECT_EQ(std::pair(textOf(stored().networkSetting1.text0), textOf(stored().networkSetting1.text1)),
            std::pair(std::string("ab\\\"c"), std::string()));

  // A text of 20 characters is read to its end and cut at 15; the next field is still read.
  KzifControlPanelConfig longer{};
  longer.networkSetting1.mask = 0x1, longer.networkSetting2.mask = 0x1;
  text(longer.networkSetting2.text0, "z");
  std::string hex = hexOf(longer);
  const std::size_t at = 2 * (4 + 37 + 37 + 4);
  ASSERT_EQ(hex.substr(at, 6), "000000");
  hex.replace(at, 6, "0014" + std::string(40, '6') + "00");  // twenty 'f' and the zero
  run({("send 25 " + hex).c_str(), "field"});
  EXPECT_EQ(std::pair(textOf(stored().networkSetting1.text0), textOf(stored().networkSetting2.text0)),
            std::pair(std::string(15, 'f'), std::string("z")));

  // An empty text is taken; a text running past the body drops the whole record.
  KzifControlPanelConfig empty{};
  empty.networkSetting1.mask = 0x1, empty.controlPanel.mask = 1u << 0, empty.controlPanel.flag0 = 1;
  echo(empty);
  EXPECT_EQ(textOf(stored().networkSetting1.text0), "");
  const std::string cut = hexOf(empty).substr(0, 2 * (4 + 37 + 37 + 4 + 2));
  EXPECT_TRUE(only(run({("send 25 " + cut).c_str(), "field"}), "msg 25").empty());
}

TEST_F(ControlPanelConfigTest, NetworkTextIsWhatItsLengthCountsWhateverTheTerminatorByteHolds) {
  // "abc" with a quote, then "abd" with an x, in the terminator byte: both taken as sent, echoed and
  // stored with a zero there.
  const std::size_t at = 2 * (4 + 37 + 37);
  for (const char* chars : {"abc", "abd"}) {
    KzifControlPanelConfig in{};
    in.networkSetting1.mask = 1;
    text(in.networkSetting1.text0, chars);
    std::string hex = hexOf(in);
    const std::string sent = "00000001" "0003" + hex.substr(at + 12, 6) + "00";
    ASSERT_EQ(hex.substr(at, 20), sent);
    hex.replace(at + 18, 2, chars[2] == 'c' ? "22" : "78");
    const Lines out = only(run({("send 25 " + hex).c_str(), "field"}), "msg 25");
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].substr(7 + at, 20), sent) << chars;
    const u8* image = platform::nvWindow() + BP::instance().shareOffset(KzifControlPanelConfig::TYPE_ID, 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(image + 84 + 4), 18), std::string("\3\0", 2) + chars + std::string(13, '\0'));
  }
}

TEST_F(ControlPanelConfigTest, KeyFaderAssignmentClearsEnablesUnlessTheRecordSetsThem) {
  KzifControlPanelConfig on{};
  for (int p = 0; p < N_PANELS; ++p) on.enables(p, 2).mask = 1u << 3, on.enables(p, 2).enable[3] = 1;
  on.controlPanelKeyFaderEnable[0].mask = 1u << 4, on.controlPanelKeyFaderEnable[0].enable[4] = 2;  // dropped
  // The first and the last button of all: the first of fader 1 and the last of fader 8.
  const std::pair<int, int> corners[] = {{0, 0}, {N_KEY_FADERS - 1, KzifKeyFader::KEY_FADER_BUTTON_NUM - 1}};
  for (int p = 0; p < N_PANELS; ++p)
    for (const auto& [k, b] : corners) on.enables(p, k).mask |= 1u << b, on.enables(p, k).enable[b] = 1;
  echo(on);
  for (int p = 0; p < N_PANELS; ++p) {
    EXPECT_EQ(config().getKeyFaderButtonEnable(p, 2, 3), 1);
    for (const auto& [k, b] : corners) EXPECT_EQ(config().getKeyFaderButtonEnable(p, k, b), 1) << p << k << b;
  }
  EXPECT_EQ(config().getKeyFaderButtonEnable(0, 0, 4), 0);

  // A new assignment of the button clears its enables on every panel but one the record sets.
  KzifControlPanelConfig none{};
  none.button(2, 3).mask = 0x1, none.button(2, 3).selMe = 0;
  for (const auto& [k, b] : corners) none.button(k, b).mask = 0x1, none.button(k, b).selMe = 0;
  none.subControlPanel1KeyFaderEnable[2].mask = 1u << 3, none.subControlPanel1KeyFaderEnable[2].enable[3] = 1;
  const KzifControlPanelConfig back = echo(none);
  EXPECT_EQ(std::tuple(+config().getKeyFaderButtonEnable(0, 2, 3), +config().getKeyFaderButtonEnable(1, 2, 3),
                       +config().getKeyFaderButtonEnable(2, 2, 3)),
            std::tuple(0, 1, 0));
  for (int p = 0; p < N_PANELS; ++p)
    for (const auto& [k, b] : corners) EXPECT_EQ(config().getKeyFaderButtonEnable(p, k, b), 0) << p << k << b;
  EXPECT_EQ(std::pair(back.controlPanelKeyFaderEnable[2].mask, back.subControlPanel2KeyFaderEnable[2].mask),
            std::pair(1u << 3, 1u << 3));

  // Toggle: 0 gives 1, 1 gives 0, 2 gives 1; out-of-range indices read key fader 0 and button 0,
  // and a panel outside 0..2 reads 0 and changes nothing.
  for (int want : {1, 0}) {
    config().toggleKeyFaderButtonEnable(0, 2, 3);
    EXPECT_EQ(config().getKeyFaderButtonEnable(0, 2, 3), want);
  }
  config().setKeyFaderButtonEnable(0, 0, 0, 2);
  config().toggleKeyFaderButtonEnable(0, 0, 0);
  EXPECT_EQ(config().getKeyFaderButtonEnable(0, 9, 12), 1);
  config().toggleKeyFaderButtonEnable(3, 0, 0);
  config().toggleKeyFaderButtonEnable(-1, 0, 0);
  EXPECT_EQ(std::pair(+config().getKeyFaderButtonEnable(3, 0, 0), +config().getKeyFaderButtonEnable(0, 0, 0)), std::pair(0, 1));
}

TEST_F(ControlPanelConfigTest, ChangedAssignmentReleasesTheLeverLinkOfItsOldTarget) {
  auto& fader = category::CategoryFaderEvent::get();
  auto assign = [&](int k, int b, int selMe, int selKeyCh) {
    KzifControlPanelConfig in{};
    in.button(k, b).mask = 0x3, in.button(k, b).selMe = static_cast<u8>(selMe);
    in.button(k, b).selKeyCh = static_cast<u8>(selKeyCh);
    return only(send(in), "log");
  };
  auto holdAll = [&] {
    for (int i = 0; i < category::CategoryFaderEvent::N_LINKS; ++i) fader.link(i).owner = 1;
  };
  auto freed = [&] {
    int n = 0, at = -1;
    for (int i = 0; i < category::CategoryFaderEvent::N_LINKS; ++i)
      if (fader.link(i).owner == FaderLink::FREE) ++n, at = i;
    return n == 1 ? at : -n;
  };

  assign(0, 0, 2, 1);  // M/E 2 A side, keyer 1
  assign(0, 1, 7, 1);  // M/E 2 B side
  assign(0, 2, 1, 5);  // M/E 1 A side, keyer 6
  assign(0, 3, 5, 3);  // downstream key 3
  assign(0, 4, 5, 6);  // downstream key channel 6

  holdAll();
  EXPECT_TRUE(assign(0, 0, 10, 1).empty());  // dropped, but it differs from the stored target
  EXPECT_EQ(freed(), keyTransIndex(1, 1));
  EXPECT_EQ(stored().button(0, 0).selMe, 2);
  holdAll();
  EXPECT_TRUE(assign(0, 0, 2, 1).empty());  // the same target: nothing to let go
  EXPECT_EQ(freed(), 0);
  holdAll();
  EXPECT_TRUE(assign(0, 3, 1, 0).empty());
  EXPECT_EQ(freed(), dskTransIndex(3));

  // Targets without a lever link of their own release nothing, and nothing fails.
  holdAll();
  for (int b : {1, 2, 4}) EXPECT_TRUE(assign(0, b, 0, 0).empty()) << b;
  EXPECT_EQ(freed(), 0);
  EXPECT_EQ(stored().button(0, 2).selMe, 0);
}

TEST_F(ControlPanelConfigTest, EnablesAreClearedByARestartAndByTheInitialCommand) {
  KzifControlPanelConfig in{};
  in.button(1, 1).mask = 0x3, in.button(1, 1).selMe = 6, in.button(1, 1).selKeyCh = 7;
  in.controlPanelKeyFaderEnable[1].mask = 0x2, in.controlPanelKeyFaderEnable[1].enable[1] = 1;
  echo(in);
  int selMe = -1, selKeyCh = -1;
  EXPECT_TRUE(config().getKeyFaderButtonAssign(1, 1, selMe, selKeyCh));  // no custom checking yet
  EXPECT_EQ(std::pair(selMe, selKeyCh), std::pair(6, 7));
  // Key fader 9 has no buttons, though its number would wrap onto fader 1: selKeyCh stays as it was.
  selMe = -1;
  EXPECT_FALSE(config().getKeyFaderButtonAssign(9, 1, selMe, selKeyCh));
  EXPECT_EQ(std::pair(selMe, selKeyCh), std::pair(0, 7));
  EXPECT_EQ(std::pair(+config().matchKeyFaderButton(1, 1, 6, 7), +config().matchKeyFaderButton(1, 1, 0, 99)), std::pair(1, 0));

  const auto sent = sentRecords<KzifControlPanelConfig>(run({"send 72", "field"}));
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(std::pair(+sent[0].controlPanelKeyFaderEnable[1].enable[1], sent[0].subControlPanel2KeyFaderEnable[7].mask),
            std::pair(0, 0xFFFu));

  config().setKeyFaderButtonEnable(0, 1, 1, 1);
  run({"field"});
  const auto restored = sentRecords<KzifControlPanelConfig>(run({"restart", "field"}));
  ASSERT_EQ(restored.size(), 1u);
  const KzifControlPanelConfig& r = restored[0];
  EXPECT_EQ(std::tuple(r.controlPanel.mask, r.networkSetting2.mask, r.optionBlockList[7].mask, +r.button(1, 1).selMe,
                       +r.controlPanelKeyFaderEnable[1].enable[1], r.controlPanelKeyFaderEnable[1].mask),
            std::tuple(0x1FFFu, 0xFu, 0xFu, 6, 0, 0xFFFu));
}

// The enables of an unassigned button are judged a key fader at a time: every byte 0 or 1 is the
// mask alone, a byte beyond 1 anywhere (the first eight or the last four) sends each button back
// to its own mask bit and value. Each panel's outcome is the rule button by button.
TEST_F(ControlPanelConfigTest, UnassignedButtonsKeepOnlyTheEnablesTheRecordMarksWithZeroOrOne) {
  constexpr int K = 5, N = KzifKeyFader::KEY_FADER_BUTTON_NUM;
  KzifControlPanelConfig on{};
  for (int p = 0; p < N_PANELS; ++p) {
    on.enables(p, K).mask = (1u << N) - 1;
    for (u8& v : on.enables(p, K).enable) v = 1;
  }
  echo(on);

  KzifControlPanelConfig none{};
  for (int b = 0; b < N; ++b) none.button(K, b).mask = 0x1, none.button(K, b).selMe = 0;
  none.button(K, 7).selMe = 2;  // assigned: its enables are the record's alone
  KeyFaderButtonEnables& first = none.enables(0, K);
  first.mask = 0x3F | (1u << 7);
  for (int b = 0; b < N; ++b) first.enable[b] = static_cast<u8>(b % 2);
  KeyFaderButtonEnables& second = none.enables(1, K);
  second.mask = ((1u << N) - 1) & ~(1u << 10);
  for (u8& v : second.enable) v = 1;
  second.enable[3] = 2, second.enable[10] = 0x80, second.enable[7] = 3;
  KeyFaderButtonEnables& third = none.enables(2, K);
  third.mask = (1u << N) - 1;
  for (u8& v : third.enable) v = 1;
  third.enable[11] = 0xFE;
  const KzifControlPanelConfig sent = none;
  const KzifControlPanelConfig back = echo(none);
  for (int p = 0; p < N_PANELS; ++p) {
    const KeyFaderButtonEnables& e = sent.enables(p, K);
    for (int b = 0; b < N; ++b) {
      const bool marked = (e.mask >> b & 1u) != 0;
      const bool taken = marked && e.enable[b] <= 1;
      // Button 7 is assigned: a refused value leaves the stored 1, an unmarked one too.
      const int want = taken ? e.enable[b] : (b == 7 ? 1 : 0);
      EXPECT_EQ(config().getKeyFaderButtonEnable(p, K, b), want) << p << " " << b;
      EXPECT_EQ(back.enables(p, K).mask >> b & 1u, b == 7 && !taken ? 0u : 1u) << p << " " << b;
    }
  }
}

// Random assignments of every button of every key fader: exactly the buttons a record marks and
// assigns to nothing lose their enables on every panel; any other keeps them.
TEST_F(ControlPanelConfigTest, EveryButtonMarkedUnassignedAndOnlyThoseLoseTheirEnables) {
  constexpr int N = KzifKeyFader::KEY_FADER_BUTTON_NUM;
  unsigned seed = 99;
  auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return seed >> 16;
  };
  for (int round = 0; round < 6; ++round) {
    KzifControlPanelConfig on{};
    for (int p = 0; p < N_PANELS; ++p)
      for (int k = 0; k < N_KEY_FADERS; ++k) {
        on.enables(p, k).mask = (1u << N) - 1;
        for (u8& v : on.enables(p, k).enable) v = 1;
      }
    echo(on);
    KzifControlPanelConfig record{};
    for (int k = 0; k < N_KEY_FADERS; ++k)
      for (int b = 0; b < N; ++b) {
        KeyFaderButton& button = record.button(k, b);
        button.mask = next() % 4;  // bit 0 the target, bit 1 the key channel
        button.selMe = static_cast<u8>(next() % 3 == 0 ? 0 : next() % 10);
        button.selKeyCh = static_cast<u8>(next() % 8);
      }
    const KzifControlPanelConfig sent = record;
    echo(record);
    for (int k = 0; k < N_KEY_FADERS; ++k)
      for (int b = 0; b < N; ++b) {
        const KeyFaderButton& button = sent.button(k, b);
        const int want = (button.mask & 0x1u) != 0 && button.selMe == 0 ? 0 : 1;
        for (int p = 0; p < N_PANELS; ++p)
          ASSERT_EQ(config().getKeyFaderButtonEnable(p, k, b), want) << round << " " << k << " " << b << " " << p;
      }
  }
}
