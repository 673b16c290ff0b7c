// Operation settings through the wire and the backup image: the field checks with their log lines,
// the key fader and fader releases, the M/E change rows, the fade to black down to the fade keyer
// level, the restore of the fade, and the row code helpers.
#include <string>
#include <utility>
#include <vector>

#include "Driver/operate.h"
#include "Main/bp.h"
#include "Main/faderevent.h"
#include "Main/operate.h"
#include "Platform/platform.h"
#include "tests/sim_fixture.h"

using Lines = std::vector<std::string>;
using category::CategoryFaderEvent;
using category::CategoryOperate;

namespace {

constexpr std::size_t WIRE_SIZE = 774;
constexpr std::size_t FTB = 32;  // wire offset of the fade sub-record (10 bytes)

// A whole record body in hex: zero except for the hex bytes patched in at their wire offsets.
using Patches = std::vector<std::pair<std::size_t, std::string>>;
std::string body(const Patches& patches) {
  std::string hex(2 * WIRE_SIZE, '0');
  for (const auto& [offset, bytes] : patches) hex.replace(2 * offset, bytes.size(), bytes);
  return hex;
}
std::string sendLine(const Patches& p) { return "send 36 " + body(p); }
std::string echo(const Patches& p) { return "msg 36 " + body(p); }

class OperateTest : public SimTest {
 protected:
  void SetUp() override {
    initCategoryFaderEvent();
    initCategoryOperate();
    bootWith(false);
  }
  void bootWith(bool trace) {
    sim::Runner::Options options;
    options.trace = trace;
    boot(options);
    kz::resetOperateKeyLevel();
  }
  Lines play(const std::vector<std::string>& script) {
    lines.clear();
    for (const auto& l : script) EXPECT_TRUE(runner->execute(l)) << l;
    return lines;
  }
  // The fade keyer levels traced, one per field, and the fade sub-record of the last echo.
  static Lines levels(const Lines& out) {
    Lines r;
    for (const auto& l : only(out, "drv setOperateKeyLevel ")) r.push_back(l.substr(23));
    return r;
  }
  static std::string ftbOf(const Lines& out) {
    const Lines msgs = only(out, "msg 36 ");
    return msgs.empty() ? "" : msgs.back().substr(7 + 2 * FTB, 20);
  }
  KzifOperate& live() { return CategoryOperate::get().record(0); }
};

}  // namespace

TEST_F(OperateTest, EachCheckDropsOnlyItsMemberLogsInOrderAndTheRestIsStored) {
  const Lines out = play({sendLine({{0, "000000ff"},                       // every top-level field
                                    {4, "000000030201"},                  // ignore300 2, ignore301 1
                                    {10, "030102"},                       // busRowMode 3, link 1, select 2
                                    {13, "000000ff0203040101000000"},     // row modes 2 3 4 1 | 4..7 ignored
                                    {25, "000000010065"}, {31, "01"},     // percent 101
                                    {32, "0000001f000c03e80200"},         // ftb: source 12, rate 1000, active 2
                                    {42, "000000810100000000000002"},     // aux mix 1 .. 2
                                    {54, "0000000703e703e8ffff"},         // aux rates 999 1000 -1
                                    {74, "0201"},                         // bkgdOption 2, optionFlag2 1
                                    {100, "000000030401"},                // enable 4 ignored, mode 1
                                    {106, "00000003abcd"},                // taken as received
                                    {112, "000000010000000f0400070901"},  // a 0 code: dropped whole
                                    {125, "000000010000000f0413070902"},  // code 19 and flag 2 dropped
                                    {723, "00000001000000031201000001"},  // last entry whole
                                    {736, "000000030506"},                // selects 5, 6
                                    {760, "00000080"}, {771, "05"}, {772, "0102"}}),
                          "field"});
  EXPECT_EQ(only(out, "log [ERR]"), (Lines{"log [ERR] Main/operate(552)BAD Param.[0x03]",
                                           "log [ERR] Main/operate(533)BAD Param.[0x02]",
                                           "log [ERR] Main/operate(573)(ME:1)BAD Param.[0x03]",
                                           "log [ERR] Main/operate(573)(ME:2)BAD Param.[0x04]"}));
  EXPECT_EQ(only(out, "msg 36"),
            Lines{echo({{0, "0000006a"}, {4, "0000000200"}, {9, "010001"}, {13, "00000009020000"}, {20, "01"},
                        {31, "01"}, {32, "00000011"}, {42, "0000000101"}, {54, "0000000103e7"}, {75, "01"},
                        {100, "000000020001"}, {106, "00000003abcd"}, {125, "000000000000000d04000709"},
                        {723, "00000001000000031201000001"}, {736, "0000000105"}, {760, "00000080"},
                        {771, "05"}, {772, "01"}})});

  // The backup image holds the record as it lies in memory, little-endian, masks sent and cleared.
  const u8* stored = platform::nvWindow() + BP::instance().shareOffset(KzifOperate::TYPE_ID, 0);
  const std::vector<std::pair<std::size_t, u8>> named = {
      {9, 1},     {13, 1},    {20, 2},    {23, 1},   {36, 1},   {56, 1},    {68, 0xe7}, {69, 0x03}, {85, 1}, {117, 1},
      {124, 0xab}, {125, 0xcd}, {152, 4}, {154, 7}, {155, 9}, {888, 0x12}, {889, 1},    {892, 1},    {900, 5}, {931, 5},
      {932, 1}};
  std::size_t next = 0;
  for (std::size_t i = 0; i < sizeof(KzifOperate); ++i) {
    const bool isNamed = next < named.size() && named[next].first == i;
    EXPECT_EQ(stored[i], isNamed ? named[next].second : 0) << "stored byte " << i;
    if (isNamed) ++next;
  }
}

TEST_F(OperateTest, KeyFaderLinksGoOnlyOnAChangeAndKeyMemoryCommandsAreNotStored) {
  CategoryFaderEvent& fader = CategoryFaderEvent::get();
  auto hold = [&] {
    fader.link(keyTransIndex(2, 3)).owner = 1;
    fader.link(dskTransIndex(1)).owner = 2;
    fader.link(bkgdTransIndex[0]).owner = 0;
  };
  auto keyLinksHeld = [&] {
    return fader.link(keyTransIndex(2, 3)).owner == 1 && fader.link(dskTransIndex(1)).owner == 2;
  };
  hold();
  play({sendLine({{0, "00000002"}, {11, "00"}}), sendLine({{0, "00000002"}, {11, "02"}}), "field"});
  EXPECT_TRUE(keyLinksHeld());  // the value it has, and a value out of range
  play({sendLine({{0, "00000002"}, {11, "01"}}), "field"});
  EXPECT_EQ(fader.link(keyTransIndex(2, 3)).owner, FaderLink::FREE);
  EXPECT_EQ(fader.link(dskTransIndex(1)).owner, FaderLink::FREE);
  EXPECT_EQ(fader.link(bkgdTransIndex[0]).owner, 0);
  hold();
  play({sendLine({{0, "00000002"}, {11, "01"}}), "field"});
  EXPECT_TRUE(keyLinksHeld());

  play({sendLine({{100, "00000001"}, {104, "01"}}), sendLine({{100, "00000001"}, {104, "02"}}), "field"});
  EXPECT_TRUE(CategoryOperate::get().keySourceMemoryDisabled());
  EXPECT_EQ(live().keySourceMemory.enable, 1);
  play({sendLine({{100, "00000001"}, {104, "03"}}), "field"});
  EXPECT_FALSE(CategoryOperate::get().keySourceMemoryDisabled());
  EXPECT_EQ(live().keySourceMemory.enable, 1);
}

TEST_F(OperateTest, MeChangeRowsStayAPermutationAndReleaseThePanelsFader) {
  CategoryFaderEvent& fader = CategoryFaderEvent::get();
  for (int me = 0; me < N_ME; ++me) fader.link(bkgdTransIndex[static_cast<std::size_t>(me)]).owner = 0;
  // Row 0 to M/E 1: row 1 keeps M/E 0, rows 2 and 3 get the lowest free M/Es, lower first.
  EXPECT_EQ(only(play({sendLine({{76, "0000000101"}}), "field"}), "msg 36"), Lines{echo({{76, "0000000d01000203"}})});
  EXPECT_EQ(fader.link(bkgdTransIndex[0]).owner, FaderLink::FREE);
  EXPECT_EQ(fader.link(bkgdTransIndex[1]).owner, FaderLink::FREE);
  EXPECT_EQ(fader.link(bkgdTransIndex[2]).owner, 0);
  EXPECT_TRUE(fader.faderHeld(0));
  EXPECT_FALSE(fader.faderHeld(1));

  // Back to M/E 0: row 1 takes the freed M/E. Row 2 is never taken from a record.
  EXPECT_EQ(only(play({sendLine({{76, "0000000500"}, {82, "03"}}), "field"}), "msg 36"),
            Lines{echo({{76, "0000000300010203"}})});

  // Two changed rows on one M/E fall back to the plain order.
  Lines out = play({sendLine({{84, "000000030101"}}), "field"});
  EXPECT_EQ(only(out, "log [ERR]"), Lines{"log [ERR] ME Change conflict"});
  EXPECT_EQ(only(out, "msg 36"), Lines{echo({{76, "0000000000010203"}, {84, "0000000f00010203"}})});

  // A row above 1, however it got there, is put back to its own number and the rows resolved.
  live().mainPanelMe.me(1) = 3;
  out = play({"field"});
  EXPECT_EQ(only(out, "log [ERR]"), Lines{"log [ERR] ME Change Main range over 1 3"});
  EXPECT_EQ(only(out, "msg 36"), Lines{echo({{76, "0000000200010203"}, {84, "0000000000010203"}})});

  // A row naming no M/E (a restored image) has no fader to release; the new M/E still does.
  live().subPanel2Me.me(0) = 7;
  fader.link(bkgdTransIndex[1]).owner = 0;
  EXPECT_EQ(only(play({sendLine({{92, "0000000101"}}), "field"}), "log [ERR]"), Lines{});
  EXPECT_EQ(fader.link(bkgdTransIndex[1]).owner, FaderLink::FREE);
  EXPECT_TRUE(fader.faderHeld(2));
  EXPECT_EQ(live().subPanel2Me.me(0), 1);
}

TEST_F(OperateTest, FadeRunsOverItsRateAndBackAndATurnReversesIt) {
  bootWith(true);
  auto fields = [&](int n) {
    Lines all;
    for (int i = 0; i < n; ++i) all.push_back(levels(play({"field"})).at(0));
    return all;
  };
  play({sendLine({{FTB, "00000006000b0004"}}), "field"});
  Lines out = play({sendLine({{FTB, "0000000101"}}), "field"});
  EXPECT_EQ(only(out, "drv selectMemorySource"), Lines{"drv selectMemorySource 0x1193"});
  EXPECT_EQ(levels(out), Lines{"0"});
  EXPECT_EQ(ftbOf(out), "00000019010b00040101");  // running and active from the first field
  EXPECT_EQ(fields(3), (Lines{"0.25", "0.5", "0.75"}));
  EXPECT_EQ(ftbOf(lines), "00000010010b00040100");  // the third field completed it
  EXPECT_EQ(fields(1), Lines{"1"});
  EXPECT_EQ(kz::operateKeyLevel(), 1023);
  EXPECT_EQ(CategoryOperate::get().fadeTransition().endFlag, -1);

  play({sendLine({{FTB, "0000000100"}})});
  EXPECT_EQ(fields(5), (Lines{"1", "0.75", "0.5", "0.25", "0"}));
  EXPECT_EQ(CategoryOperate::get().fadeTransition().endFlag, 1);
  EXPECT_EQ(kz::operateKeyLevel(), 0);

  // Off after two fields of four: back the way it came, the end flag kept.
  play({sendLine({{FTB, "0000000101"}})});
  EXPECT_EQ(fields(2), (Lines{"0", "0.25"}));
  play({sendLine({{FTB, "0000000100"}})});
  EXPECT_EQ(fields(3), (Lines{"0.5", "0.25", "0"}));
  EXPECT_EQ(CategoryOperate::get().fadeTransition().endFlag, 1);
  EXPECT_EQ(ftbOf(lines), "");  // already reported clear and stopped
}

TEST_F(OperateTest, RateZeroCutsAndTwoRequestsInOneFieldFollowTheLastValue) {
  bootWith(true);
  Lines out = play({sendLine({{FTB, "000000050100"}}), "field", "field"});
  EXPECT_EQ(levels(out), (Lines{"0", "1"}));
  EXPECT_EQ(ftbOf(out), "0000000d010000000100");

  // Faded: off then on in one field leaves it faded; clear: on then off leaves it clear.
  out = play({sendLine({{FTB, "0000000100"}}), sendLine({{FTB, "0000000101"}}), "field", "field"});
  EXPECT_EQ(levels(out), (Lines{"1", "1"}));
  play({sendLine({{FTB, "0000000100"}}), "field"});
  out = play({sendLine({{FTB, "0000000101"}}), sendLine({{FTB, "0000000100"}}), "field", "field"});
  EXPECT_EQ(levels(out), (Lines{"0", "0"}));
  EXPECT_EQ(live().ftb.on, 0);

  // A fade under way towards faded keeps going when off and on arrive together.
  play({sendLine({{FTB, "0000000400000004"}}), sendLine({{FTB, "0000000101"}}), "field"});
  out = play({sendLine({{FTB, "0000000100"}}), sendLine({{FTB, "0000000101"}}), "field", "field"});
  EXPECT_EQ(levels(out), (Lines{"0.25", "0.5"}));
  // The same value again raises no request: nothing turns back.
  out = play({sendLine({{FTB, "0000000101"}}), "field"});
  EXPECT_EQ(levels(out), Lines{"0.75"});
}

TEST_F(OperateTest, FadeSourceAndRestoreAtTheStoredStateAtOnce) {
  bootWith(true);
  for (const auto& [source, id] : std::vector<std::pair<const char*, const char*>>{
           {"00", "0x1180"}, {"03", "0x1186"}, {"04", "0x1188"}, {"07", "0x118e"}, {"08", "0x1191"},
           {"09", "0x1192"}, {"0a", "0x1194"}, {"0b", "0x1193"}}) {
    const Lines out = play({sendLine({{FTB, "00000002"}, {FTB + 5, source}}), "field"});
    EXPECT_EQ(only(out, "drv selectMemorySource"), Lines{std::string("drv selectMemorySource ") + id}) << source;
  }
  // Turned back towards clear, then restarted: clear at once.
  play({sendLine({{FTB, "000000050100"}}), "field", sendLine({{FTB, "0000000500"}, {FTB + 6, "0064"}}), "field"});
  Lines out = play({"restart", "field"});
  EXPECT_EQ(levels(out), Lines{"0"});
  EXPECT_EQ(ftbOf(out), "0000001f000b00640000");  // the whole record is reported after a restore
  // On the way to faded, then restarted: at full level from the first field, nothing running.
  play({sendLine({{FTB, "0000000101"}}), "field", "field"});
  out = play({"restart", "field", "field"});
  EXPECT_EQ(levels(out), (Lines{"1", "1"}));
  EXPECT_EQ(ftbOf(out), "0000001f010b00640100");
  EXPECT_EQ(CategoryOperate::get().fadeTransition().positionB, -1.0f);
  // A cold start finds the record zero and the fade clear.
  EXPECT_EQ(levels(play({"restart init", "field"})), Lines{"0"});
}

TEST(OperateHelpersTest, RowCodesSlotOrderAndEntries) {
  EXPECT_EQ(mapOperateCode(5, 1, 0), 1);
  EXPECT_EQ(mapOperateCode(5, 2, 0), 255);
  EXPECT_EQ(mapOperateCode(14, 0, 0), 0);
  EXPECT_EQ(mapOperateCode(9, 0, 1), 12);
  EXPECT_EQ(mapOperateCode(15, 3, 1), 103);
  EXPECT_EQ(mapOperateCode(13, 3, 2), 22);  // any side but 1 is side a
  EXPECT_EQ(mapOperateCode(0, 0, 0), 255);
  EXPECT_EQ(mapOperateCode(19, 0, 0), 255);
  EXPECT_EQ((std::vector<int>{operateSlotOrder(0), operateSlotOrder(1), operateSlotOrder(2), operateSlotOrder(3),
                              operateSlotOrder(4), operateSlotOrder(-1)}),
            (std::vector<int>{2, 3, 0, 1, 0, 0}));
}

TEST_F(OperateTest, GetEntryGivesZeroOutsideTheGroupsAndEntryZeroBeyondTheIndexes) {
  play({sendLine({{112 + 13 * 18, "000000010000000f0102030401"}}), "field"});  // group 3, entry 0
  const OperateEntry e = CategoryOperate::get().getEntry(3, 7);
  EXPECT_EQ((std::vector<int>{e.codes.code(0), e.codes.code(1), e.codes.code(2), e.codes.code(3), e.flag}),
            (std::vector<int>{1, 2, 3, 4, 1}));
  EXPECT_EQ(CategoryOperate::get().getEntry(3, 0).codes.code(3), 4);
  EXPECT_EQ(CategoryOperate::get().getEntry(2, 0).codes.code(3), 0);
  live().entry(7, 0).codes.code2 = 5;
  for (int group : {8, -1}) {
    const OperateEntry zero = CategoryOperate::get().getEntry(group, 0);
    EXPECT_EQ((std::vector<u32>{zero.mask, zero.codes.mask, zero.codes.code2, zero.flag}),
              (std::vector<u32>{0, 0, 0, 0}));
  }
}
