// Operation settings through the wire and the backup image: the field checks with their log lines,
// the key fader and fader releases, the M/E change rows, the fade to black down to the fade keyer
// level, the restore of the fade, and the row code helpers.
#include <array>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "Common/assert.h"
#include "Driver/operate.h"
#include "Main/bp.h"
#include "Main/faderevent.h"
#include "Main/operate.h"
#include "Common/shared.h"
#include "Lib/Include/shared.h"
#include "Platform/platform.h"
#include "tests/sim_fixture.h"

using category::CategoryFaderEvent;
using category::CategoryOperate;

namespace {

constexpr std::size_t WIRE_SIZE = rec::wireSizeOf<KzifOperate>();
constexpr std::size_t FTB = 32;  // wire offset of the fade sub-record (10 bytes)

// A whole record body in hex: zero except for the hex bytes patched in at their offsets.
using Patches = std::vector<std::pair<std::size_t, std::string>>;
std::string body(const Patches& patches, std::size_t size = WIRE_SIZE) {
  std::string hex(2 * size, '0');
  for (const auto& [offset, bytes] : patches) hex.replace(2 * offset, bytes.size(), bytes);
  return hex;
}
std::string sendLine(const Patches& p) { return "send 36 " + body(p); }
std::string echo(const Patches& p) { return "msg 36 " + body(p); }
std::string ftb(const std::string& bytes) { return sendLine({{FTB, bytes}}); }

class OperateTest : public SimTest {
 protected:
  void SetUp() override {
    initCategoryFaderEvent();
    initCategoryOperate();
    boot({.trace = true});
    kz::resetOperateKeyLevel();
  }
  Lines play(const std::vector<std::string>& script) {
    lines.clear();
    for (const auto& l : script) EXPECT_TRUE(runner->execute(l)) << l;
    return lines;
  }
  // The fade keyer levels traced, one per field, and the fade sub-record of the first echo.
  static Lines levels(const Lines& out) {
    Lines r;
    for (const auto& l : only(out, "drv setOperateKeyLevel ")) r.push_back(l.substr(23));
    return r;
  }
  static std::string ftbOf(const Lines& out) { return only(out, "msg 36 ").at(0).substr(7 + 2 * FTB, 20); }
  // Plays the script and a field, then n - 1 more fields; the fade keyer level of each.
  Lines fade(std::vector<std::string> script, int n) {
    Lines all;
    for (script.push_back("field"); n-- > 0; script = {"field"}) all.push_back(levels(play(script)).at(0));
    return all;
  }
  KzifOperate& live() { return CategoryOperate::get().record(0); }
  CategoryFaderEvent& fader = CategoryFaderEvent::get();
};

}  // namespace

TEST_F(OperateTest, EachCheckDropsOnlyItsMemberLogsInOrderAndTheRestIsStored) {
  // At 0 every top-level field; 4 ignore300 2, ignore301 1; 10 busRowMode 3, link 1, select 2; 13 row
  // modes 2 3 4 1, entries 4..7 ignored; 25/31 percent 101; 32 fade on 2 (no request), source 12,
  // rate 1000, active 2; 42 AUX mix 1 .. 2; 54 AUX rates 999 1000 -1; 74 bkgdOption 2, optionFlag2 1;
  // 100 key memory enable 4 (ignored), mode 1; 106 taken as received; 112 an entry with a 0 code,
  // dropped whole; 125 code 19 and flag 2 dropped; 723 the last entry, whole; 736 selects 5, 6.
  const Lines out = play({sendLine({{0, "000000ff"}, {4, "000000030201"}, {10, "030102"},
                                    {13, "000000ff0203040101000000"}, {25, "000000010065"}, {31, "01"},
                                    {32, "0000001f020c03e80200"}, {42, "000000810100000000000002"},
                                    {54, "0000000703e703e8ffff"}, {74, "0201"}, {100, "000000030401"},
                                    {106, "00000003abcd"}, {112, "000000010000000f0400070901"},
                                    {125, "000000010000000f0413070902"}, {723, "00000001000000031201000001"},
                                    {736, "000000030506"}, {760, "00000080"}, {771, "05"}, {772, "0102"}}),
                          "field"});
  EXPECT_EQ(only(out, "log [ERR]"), (Lines{"log [ERR] Main/operate(552)BAD Param.[0x03]",
                                           "log [ERR] Main/operate(533)BAD Param.[0x02]",
                                           "log [ERR] Main/operate(573)(ME:1)BAD Param.[0x03]",
                                           "log [ERR] Main/operate(573)(ME:2)BAD Param.[0x04]"}));
  EXPECT_EQ(only(out, "msg 36"),
            Lines{echo({{0, "0000006a"}, {4, "0000000200"}, {9, "010001"}, {13, "00000009020000"}, {20, "01"},
                        {31, "01"}, {32, "00000010"}, {42, "0000000101"}, {54, "0000000103e7"}, {75, "01"},
                        {100, "000000020001"}, {106, "00000003abcd"}, {125, "000000000000000d04000709"},
                        {723, "00000001000000031201000001"}, {736, "0000000105"}, {760, "00000080"},
                        {771, "05"}, {772, "01"}})});

  // The backup image holds the record as it lies in memory, little-endian, masks sent and cleared.
  const u8* stored = platform::nvWindow() + BP::instance().shareOffset(KzifOperate::TYPE_ID, 0);
  std::string image;
  for (std::size_t i = 0; i < sizeof(KzifOperate); ++i) image += hexBytes(stored[i], 1);
  EXPECT_EQ(image, body({{9, "01"}, {13, "01"}, {20, "02"}, {23, "01"}, {36, "01"}, {56, "01"}, {68, "e703"},
                         {85, "01"}, {117, "01"}, {124, "abcd"}, {152, "04"}, {154, "0709"}, {888, "1201"},
                         {892, "01"}, {900, "05"}, {931, "0501"}},
                        sizeof(KzifOperate)));
}

TEST_F(OperateTest, KeyFaderLinksGoOnlyOnAChange) {
  const std::array links = {keyTransIndex(2, 3), dskTransIndex(1), bkgdTransIndex[0]};
  // The key, downstream key and background links held by faders 1, 2 and 0 before the script.
  auto ownersAfter = [&](const char* linkMode) {
    for (std::size_t i = 0; i < links.size(); ++i) fader.link(links[i]).owner = static_cast<i32>((i + 1) % 3);
    play({sendLine({{0, "00000002"}, {11, linkMode}}), "field"});
    return std::array{fader.link(links[0]).owner, fader.link(links[1]).owner, fader.link(links[2]).owner};
  };
  const std::array<i32, 3> held = {1, 2, 0}, keyLinksFree = {FaderLink::FREE, FaderLink::FREE, 0};
  // Out of range, a change, then the value it has.
  EXPECT_EQ((std::array{ownersAfter("02"), ownersAfter("01"), ownersAfter("01")}),
            (std::array{held, keyLinksFree, held}));
}

TEST_F(OperateTest, MeChangeRowsStayAPermutationAndReleaseThePanelsFader) {
  auto owner = [&](std::size_t me) -> i32& { return fader.link(bkgdTransIndex[me]).owner; };
  for (std::size_t me = 0; me < N_ME; ++me) owner(me) = 0;
  // Row 0 to M/E 1: row 1 keeps M/E 0, rows 2 and 3 get the lowest free M/Es, lower first. The
  // faders of the old and the new M/E are released.
  EXPECT_EQ(only(play({sendLine({{76, "0000000101"}}), "field"}), "msg 36"), Lines{echo({{76, "0000000d01000203"}})});
  EXPECT_EQ((std::array{owner(0), owner(1), owner(2)}), (std::array<i32, 3>{FaderLink::FREE, FaderLink::FREE, 0}));
  EXPECT_TRUE(fader.faderHeld(0) && !fader.faderHeld(1));

  // Two changed rows on one M/E fall back to the plain order.
  Lines out = play({sendLine({{84, "000000030101"}}), "field"});
  EXPECT_EQ(only(out, "log [ERR]"), Lines{"log [ERR] ME Change conflict"});
  EXPECT_EQ(only(out, "msg 36"), Lines{echo({{76, "0000000001000203"}, {84, "0000000f00010203"}})});

  // A row above 1, however it got there, is put back to its own number.
  live().mainPanelMe.me[1] = 3;
  EXPECT_EQ(only(play({"field"}), "log [ERR]"), Lines{"log [ERR] ME Change Main range over 1 3"});
  // A row naming no M/E (a restored image) has no fader to release; the new M/E still does.
  live().subPanel2Me.me[0] = 7, owner(1) = 0;
  EXPECT_EQ(only(play({sendLine({{92, "0000000101"}}), "field"}), "log [ERR]"), Lines{});
  EXPECT_EQ(owner(1), FaderLink::FREE);
  EXPECT_TRUE(fader.faderHeld(2) && live().subPanel2Me.me[0] == 1);
}

TEST_F(OperateTest, RowsChangedInAnEarlierFieldDoNotCompeteWhileSendsAreHeld) {
  // A backlog holds the row marks of the first change; the second change alone decides.
  play({"drain off"});
  for (int i = 0; i < 2000 && !AcknowledgeSender::instance().backlogged(); ++i)
    play({sendLine({{FTB, "0000000400" + hexBytes(static_cast<unsigned>(i % 2 ? 200 : 100), 2)}}), "field"});
  ASSERT_TRUE(AcknowledgeSender::instance().backlogged());
  play({sendLine({{76, "000000030100"}}), "field"});
  const Lines out = play({sendLine({{76, "0000000100"}}), "field"});
  EXPECT_EQ(only(out, "log [ERR]"), Lines{});
  EXPECT_EQ((std::array{live().mainPanelMe.me[0], live().mainPanelMe.me[1]}), (std::array<u8, 2>{0, 1}));
}

TEST_F(OperateTest, FadeRunsOverItsRateAndBackAndATurnReversesIt) {
  play({ftb("00000006000b0004"), "field"});  // rate 4, source 11
  EXPECT_EQ(fade({ftb("0000000101")}, 5), (Lines{"0", "0.25", "0.5", "0.75", "1"}));
  EXPECT_EQ(fade({ftb("0000000100")}, 5), (Lines{"1", "0.75", "0.5", "0.25", "0"}));
  // On again, and off after two fields of four: back the way it came, the end flag kept.
  EXPECT_EQ(fade({ftb("0000000101")}, 2), (Lines{"0", "0.25"}));
  EXPECT_EQ(fade({ftb("0000000100")}, 3), (Lines{"0.5", "0.25", "0"}));
  EXPECT_EQ(CategoryOperate::get().fadeTransition().endFlag, 1);
}

// The fade's status flags are written (and the share marked for the save) only when they change.
TEST_F(OperateTest, TheSaveComparesTheShareOnlyInFieldsThatChangeIt) {
  // An idle field leaves the save nothing to compare, the source link's included.
  const auto operateShares = [this] { return fieldSaveShares(); };
  play({"field 2"});
  EXPECT_EQ(operateShares(), Lines{});
  play({ftb("00000006000b0004")});  // rate 4, source 11
  EXPECT_EQ(operateShares(), Lines{"KzifOperate 0"});
  // On: the request and both flags set in its field, then nothing until the fade stops.
  play({ftb("0000000101")});
  const Lines changed{"KzifOperate 0"};
  EXPECT_EQ((std::array{operateShares(), operateShares(), operateShares(), operateShares(), operateShares()}),
            (std::array{changed, Lines{}, Lines{}, changed, Lines{}}));
}

TEST_F(OperateTest, RateZeroCutsAndTwoRequestsInOneFieldFollowTheLastValue) {
  const Lines out = play({ftb("000000050100"), "field", "field"});
  EXPECT_EQ(std::pair(levels(out), ftbOf(out)), std::pair(Lines{"0", "1"}, std::string("0000000d010000000100")));
  // Faded: off then on in one field leaves it faded; clear: on then off leaves it clear.
  const std::string on = ftb("0000000101"), off = ftb("0000000100");
  EXPECT_EQ(fade({off, on}, 2), (Lines{"1", "1"}));
  play({off, "field"});
  EXPECT_EQ(fade({on, off}, 2), (Lines{"0", "0"}));
  EXPECT_EQ(live().ftb.on, 0);
}

TEST_F(OperateTest, RestoreSetsTheFadeAtTheStoredStateAtOnce) {
  // On the way to faded, then restarted: at full level from the first field and after.
  play({ftb("00000007000b0064"), ftb("0000000101"), "field", "field"});
  const Lines out = play({"restart", "field", "field"});
  EXPECT_EQ(std::pair(levels(out), ftbOf(out)), std::pair(Lines{"1", "1"}, std::string("0000001f010b00640100")));
  // Idle at the faded end, both positions as a restore leaves them.
  const AutoTransition& t = CategoryOperate::get().fadeTransition();
  EXPECT_EQ(std::tuple(t.state, t.endFlag, t.positionA, t.positionB),
            std::tuple(AutoTransition::STATE_IDLE, -1, 0.0f, -1.0f));
}

TEST(OperateHelpersTest, RowCodesAndSlotOrder) {
  // {code, field, side, row}: codes 5, 6 and 14 go by the field; side 1 is side b, any other side a.
  const std::array<int, 4> codes[] = {{5, 1, 0, 1},    {5, 2, 0, 255},  {14, 0, 0, 0},  {9, 0, 1, 12},
                                      {15, 3, 1, 103}, {13, 3, 2, 22},  {0, 0, 0, 255}, {19, 0, 0, 255}};
  for (const auto& [code, field, side, row] : codes)
    EXPECT_EQ(mapOperateCode(code, field, side), row) << code << " " << field << " " << side;
  // Every other code names one row pair, side a then side b, whatever the field.
  const std::array<int, 3> pairs[] = {{1, 2, 3},       {2, 4, 5},       {3, 6, 7},       {4, 8, 9},   {7, 10, 11},
                                      {8, 10, 11},     {9, 12, 12},     {10, 16, 17},    {11, 18, 19}, {12, 20, 21},
                                      {13, 22, 23},    {15, 102, 103},  {16, 104, 105},  {17, 106, 107}, {18, 108, 109}};
  for (const auto& [code, a, b] : pairs)
    EXPECT_EQ((std::array{int{mapOperateCode(code, 0, 0)}, int{mapOperateCode(code, 2, 1)}}), (std::array{a, b})) << code;
  EXPECT_EQ((std::array{operateSlotOrder(0), operateSlotOrder(1), operateSlotOrder(2), operateSlotOrder(3)}),
            (std::array{2, 3, 0, 1}));
}

// The record's accessors reach exactly its three panel tables and its 8 x 6 entries; any other
// panel, group or index fails the assertion rather than reading a neighbour.
TEST(OperateRecordTest, PanelAndEntryAccessorsReachTheirOwnTablesAndAssertOutside) {
  static KzifOperate r{};
  const KzifOperate& c = r;
  EXPECT_EQ((std::array{&r.panelMe(0), &r.panelMe(1), &r.panelMe(2)}),
            (std::array{&r.mainPanelMe, &r.subPanel1Me, &r.subPanel2Me}));
  EXPECT_EQ((std::array{&c.panelMe(0), &c.panelMe(1), &c.panelMe(2)}),
            (std::array<const KzifOperate::PanelMe*, 3>{&r.mainPanelMe, &r.subPanel1Me, &r.subPanel2Me}));
  for (const auto& [group, index, at] : {std::array{0, 0, 0}, {0, 5, 5}, {1, 0, 6}, {7, 5, 47}}) {
    EXPECT_EQ(&r.entry(group, index), &r.entries[at]) << group << " " << index;
    EXPECT_EQ(&c.entry(group, index), &r.entries[at]) << group << " " << index;
  }
  for (int panel : {-1, 3}) {
    EXPECT_THROW(r.panelMe(panel), assert::AssertException) << panel;
    EXPECT_THROW(c.panelMe(panel), assert::AssertException) << panel;
  }
  for (const auto& [group, index] : {std::pair{-1, 0}, {8, 0}, {0, -1}, {0, 6}}) {
    EXPECT_THROW(r.entry(group, index), assert::AssertException) << group << " " << index;
    EXPECT_THROW(c.entry(group, index), assert::AssertException) << group << " " << index;
  }
}

TEST_F(OperateTest, GetEntryGivesZeroOutsideTheGroupsAndEntryZeroBeyondTheIndexes) {
  play({sendLine({{112 + 13 * 18, "000000010000000f0102030401"}}), "field"});  // group 3, entry 0
  live().entry(7, 0).codes.code[2] = 5;  // what group 8 would find one entry past the end
  const OperateEntry e = CategoryOperate::get().getEntry(3, 6), zero = CategoryOperate::get().getEntry(8, 0);
  EXPECT_EQ((std::array<u32, 4>{e.codes.code[0], e.codes.code[3], e.flag, zero.codes.code[2]}),
            (std::array<u32, 4>{1, 4, 1, 0}));
}

// The record is merged once, straight into the live one. Random records (values in and out of
// range, marks here and there, empty rows), two of them between sends, against what a checked
// copy merged again into the live record gives: the record, the fader links let go, the key
// source memory invalidated, and the refusals logged.
TEST_F(OperateTest, OneMergeTakesWhatACheckedCopyMergedAgainWould) {
  std::mt19937 rng(77);
  auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
  auto maybeMask = [&](u32 all) { return pick(3) == 0 ? 0u : static_cast<u32>(pick(1 << 16)) & all; };
  auto headerCount = [] {
    u32 status;
    readKeySourceMemory(keySourceUnitAddress(0), 12, &status, sizeof status);
    return status & KeySourceHeader::COUNTER;
  };
  play({sendLine({{100, "000000010101"}}), "field"});  // the key source memory in use
  bool disabled = false;
  int invalidations = 0;
  Lines expectedLogs;
  for (int round = 0; round < 60; ++round) {
    KzifOperate in{};
    in.mask = maybeMask(0xFF);
    in.xptCodeOption = {maybeMask(3), static_cast<u8>(pick(3)), static_cast<u8>(pick(3))};
    in.busRowMode = static_cast<u8>(pick(4));
    in.keyFaderLinkMode = static_cast<u8>(pick(3));
    in.busRowModeSelect = static_cast<u8>(pick(3));
    in.busRowModeMe.mask = maybeMask(0xFF);
    for (u8& v : in.busRowModeMe.value) v = static_cast<u8>(pick(4));
    in.percentSetting = {maybeMask(1), static_cast<i16>(40 + pick(70))};
    in.optionFlag = static_cast<u8>(pick(3));
    in.ftb = {maybeMask(0x1F), static_cast<u8>(pick(3)), static_cast<u8>(pick(13)), static_cast<i16>(pick(1100)),
              static_cast<u8>(pick(3)), static_cast<u8>(pick(3))};
    in.auxMixEnable.mask = maybeMask(0xFF);
    for (u8& v : in.auxMixEnable.value) v = static_cast<u8>(pick(3));
    in.auxMixRate.mask = maybeMask(0xFF);
    for (i16& v : in.auxMixRate.value) v = static_cast<i16>(pick(1100) - 50);
    in.bkgdOption = static_cast<u8>(pick(3));
    in.optionFlag2 = static_cast<u8>(pick(3));
    for (int panel = 0; panel < KzifOperate::N_PANELS; ++panel) {
      KzifOperate::PanelMe& rows = in.panelMe(panel);
      rows.mask = maybeMask(0xF);
      for (u8& me : rows.me) me = static_cast<u8>(pick(3));
    }
    // Now and then a command (2 disables, 3 enables again) or a value out of range (4).
    const int enable = pick(16);
    in.keySourceMemory = {maybeMask(3), static_cast<u8>(enable < 13 ? enable % 2 : enable - 11), static_cast<u8>(pick(3))};
    in.keyTransOperation = {maybeMask(3), static_cast<u8>(pick(256)), static_cast<u8>(pick(256))};
    for (OperateEntry& e : in.entries) {
      e.mask = maybeMask(1);
      e.flag = static_cast<u8>(pick(3));
      e.codes.mask = maybeMask(0xF);
      for (u8& c : e.codes.code) c = static_cast<u8>(pick(12) == 0 ? 0 : 1 + pick(19));
    }
    for (auto* t : {&in.mainPanelEntrySelect, &in.subPanel1EntrySelect, &in.subPanel2EntrySelect}) {
      t->mask = maybeMask(0xFF);
      for (u8& v : t->value) v = static_cast<u8>(pick(7));
    }
    in.keyTransLedMode = static_cast<u8>(pick(3));
    in.keyTransDirectionMode = static_cast<u8>(pick(3));

    // What a checked copy, its empty-row entries dropped, merged again into the live record gives.
    const KzifOperate before = std::as_const(CategoryOperate::get()).record(0);
    KzifOperate taken = in;
    rec::clearMasks(taken);
    rec::merge(taken, in);
    for (OperateEntry& e : taken.entries)
      for (int k = 0; k < OperateCodes::SIZE; ++k)
        if ((e.codes.mask >> k & 1u) != 0 && e.codes.code[k] == 0) {
          rec::clearMasks(e);
          break;
        }
    KzifOperate expected = before;
    rec::merge(expected, taken);
    rec::stamp(expected, 0, 0);

    for (int i = 0; i < CategoryFaderEvent::N_LINKS; ++i) fader.link(i).owner = 2;
    std::vector<int> freed;
    auto release = [&](int me) {
      if (me < 0 || me >= N_ME) return;
      freed.push_back(bkgdTransIndex[static_cast<std::size_t>(me)]);
      for (int ch = 0; ch < N_KEYER_CHANNELS; ++ch) freed.push_back(keyTransIndex(me, ch));
    };
    if ((taken.mask & KzifOperate::BIT_KEY_FADER_LINK_MODE) != 0 && taken.keyFaderLinkMode != before.keyFaderLinkMode) {
      for (int me = 0; me < N_ME; ++me)
        for (int ch = 0; ch < N_KEYER_CHANNELS; ++ch) freed.push_back(keyTransIndex(me, ch));
      for (int n = 0; n < N_DSK_CHANNELS; ++n) freed.push_back(dskTransIndex(n));
    }
    for (int panel = 0; panel < KzifOperate::N_PANELS; ++panel)
      for (int r = 0; r < KzifOperate::N_ROWS; ++r)
        if ((taken.panelMe(panel).mask >> r & 1u) != 0) {
          release(taken.panelMe(panel).me[r]);
          release(before.panelMe(panel).me[r]);
        }
    if ((in.keySourceMemory.mask & 1u) != 0 && in.keySourceMemory.enable == 2) disabled = true;
    if ((in.keySourceMemory.mask & 1u) != 0 && in.keySourceMemory.enable == 3) disabled = false;
    const KzifOperate::KeySourceMemory& k = taken.keySourceMemory;
    const bool invalidates = !disabled && (((k.mask & 1u) != 0 && k.enable != before.keySourceMemory.enable) ||
                                           ((k.mask & 2u) != 0 && k.mode != before.keySourceMemory.mode));
    const u32 count = headerCount();
    if ((in.mask & 1u) != 0 && (taken.mask & 1u) == 0)
      expectedLogs.push_back("log [ERR] Main/operate(552)BAD Param.[0x" + hexBytes(in.busRowMode, 1) + "]");
    if ((in.mask & 4u) != 0 && (taken.mask & 4u) == 0)
      expectedLogs.push_back("log [ERR] Main/operate(533)BAD Param.[0x" + hexBytes(in.busRowModeSelect, 1) + "]");
    for (int me = 0; me < N_ME; ++me)
      if ((in.busRowModeMe.mask >> me & 1u) != 0 && (taken.busRowModeMe.mask >> me & 1u) == 0)
        expectedLogs.push_back("log [ERR] Main/operate(573)(ME:" + std::to_string(me) + ")BAD Param.[0x" +
                               hexBytes(in.busRowModeMe.value[me], 1) + "]");

    if (round % 2 == 0) lines.clear();
    CategoryOperate::get().assign(in, 0);

    const KzifOperate& held = std::as_const(CategoryOperate::get()).record(0);
    EXPECT_EQ(std::memcmp(&held, &expected, sizeof expected), 0) << round;
    for (int i = 0; i < CategoryFaderEvent::N_LINKS; ++i) {
      const bool let = std::find(freed.begin(), freed.end(), i) != freed.end();
      EXPECT_EQ(fader.link(i).owner, let ? FaderLink::FREE : 2) << round << " link " << i;
    }
    EXPECT_EQ(headerCount(), invalidates ? (count + 1) & KeySourceHeader::COUNTER : count) << round;
    invalidations += invalidates ? 1 : 0;
    // Two records between sends: the second finds the first one's marks.
    if (round % 2 == 1) {
      Lines logged = only(lines, "log [ERR] Main/operate(");
      for (const auto& l : only(play({"field"}), "log [ERR] Main/operate(")) logged.push_back(l);
      EXPECT_EQ(logged, expectedLogs) << round;
      expectedLogs.clear();
    }
  }
  EXPECT_GT(invalidations, 5);
}
