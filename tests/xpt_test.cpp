// Crosspoint assignment and the panels' bus status, through their records on the wire and in the
// backup image, and the requests to the buses when a crosspoint button is reassigned.
#include <array>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "Main/bp.h"
#include "Main/bus.h"
#include "Main/operate.h"
#include "Main/sourcelink.h"
#include "Main/system.h"
#include "Main/xpt.h"
#include "Platform/platform.h"
#include "tests/sim_fixture.h"

namespace {

std::string hexOf(const u8* p, std::size_t n) { return n > 0 ? hexBytes(*p, 1) + hexOf(p + 1, n - 1) : ""; }

// A crosspoint body laid out by hand: mask, panel, six button mask words, 192 sources, option.
// The buttons of `values` get their mask bits (every button with `all`); the others hold `fill`.
std::string xptBody(u32 mask, int panel, const std::map<int, int>& values, int option, int fill = 0,
                    bool all = false) {
  std::array<u32, 6> words{};
  for (const auto& [b, v] : values) words[static_cast<std::size_t>(b / 32)] |= 1u << (b % 32);
  if (all) words.fill(0xFFFFFFFFu);
  std::string s = hexBytes(mask, 4) + hexBytes(static_cast<unsigned>(panel), 2);
  for (u32 w : words) s += hexBytes(w, 4);
  for (int b = 0; b < 192; ++b) s += hexBytes(static_cast<u16>(values.count(b) ? values.at(b) : fill), 2);
  return s + hexBytes(static_cast<unsigned>(option), 1);
}

using BusCall = std::array<int, 4>;  // M/E, button, source, panel
std::vector<BusCall> busCalls;

class XptTest : public SimTest {
 protected:
  void SetUp() override {
    initCategorySourceLink();
    initCategoryXpt();
    initCategoryBusStatus();
    SimTest::SetUp();
    category::CategoryXpt::setBusChangeObserver(
        [](int me, int button, int source, int panel) { busCalls.push_back({me, button, source, panel}); });
    busCalls.clear();
  }
  void TearDown() override {
    category::CategoryXpt::setBusChangeObserver(nullptr);
    SimTest::TearDown();
  }
  Lines sendXpt(const std::string& body) { return only(run({("send 38 " + body).c_str(), "field"}), "msg 38"); }
  Lines sendStatus(const std::string& body) { return only(run({("send 48 " + body).c_str(), "field"}), "msg 48"); }
  static category::CategoryXpt& xpt() { return category::CategoryXpt::get(); }
};

// ---- crosspoint assignment ---------------------------------------------------------------------

TEST_F(XptTest, ValueOutsideTheAcceptedListIsDroppedForItsButtonOnly) {
  // The lower end of each accepted run and the value just below it; 302 the last accepted value.
  const std::vector<int> good = {10, 140, 150, 170, 180, 200, 220, 230, 240, 290, 300, 302};
  const std::vector<int> bad = {9, 139, 149, 169, 179, 199, 219, 229, 239, 289, 303, -1};
  std::map<int, int> sent{{3, 12}}, kept{{3, 12}};
  for (std::size_t i = 0; i < good.size(); ++i) sent[100 + int(i)] = kept[100 + int(i)] = good[i];
  for (std::size_t i = 0; i < bad.size(); ++i) sent[130 + int(i)] = bad[i];
  EXPECT_EQ(sendXpt(xptBody(1, 1, sent, 1)), (Lines{"msg 38 " + xptBody(1, 1, kept, 1, 302)}));
  EXPECT_EQ(xpt().sourceOf(0, 3), 302);  // the other panels keep their tables
  // A refused value that is the lowest of its word without standing on the word's first button.
  EXPECT_EQ(sendXpt(xptBody(1, 2, {{0, 140}, {1, 42}}, 1, 141)), (Lines{"msg 38 " + xptBody(1, 2, {{0, 140}}, 1, 302)}));

  // An option of 2 is dropped; with nothing marked the panel comes back with its masks clear
  // (literal bytes, so that a slip shared by the helper and the record cannot hide).
  const std::string again = sendXpt(xptBody(1, 1, {}, 2)).at(0);
  EXPECT_EQ(again.substr(0, 7 + 76) + again.substr(again.size() - 2),
            "msg 38 00000000" "0001" "000000000000000000000000" "000000000000000000000000" "012e012e012e000c" "01");

  // Stored: mask 0, panel 4, mask words from 8, sources from 32, option at 416.
  const u8* stored = BP::instance().backupImage() + BP::instance().shareOffset(KzifXptAssign::TYPE_ID, 0) + 420;
  EXPECT_EQ(hexOf(stored, 40) + hexOf(stored + 32 + 2 * 100, 4) + hexOf(stored + 416, 4),
            "00000000" "01000000" "000000000000000000000000000000000000000000000000" "2e012e012e010c00"
            "0a008c00" "01000000");
}

// A panel held back by a full transmit ring is stored with its marks until it goes out; then the
// stored copy, as the live record, holds them clear.
TEST_F(XptTest, APanelSentLateLeavesItsStoredMarksClear) {
  run({"drain off"});
  AcknowledgeSender& tx = AcknowledgeSender::instance();
  const std::vector<u8> filler(1000, 0);
  for (tx.stream().flush(); !tx.backlogged(); tx.stream().flush())
    while (!tx.backlogged()) ASSERT_TRUE(tx.writeMessage(KzifSystem::TYPE_ID, filler));
  EXPECT_EQ(sendXpt(xptBody(1, 1, {{3, 12}}, 1)), Lines{});
  const u8* nv = platform::nvWindow() + BP::instance().shareOffset(KzifXptAssign::TYPE_ID, 0) + 420;
  EXPECT_EQ(hexOf(nv, 12), "01000000" "01000000" "08000000");
  EXPECT_EQ(only(run({"drain on", "field 3"}), "msg 38").size(), 1u);
  EXPECT_EQ(hexOf(nv, 12), "00000000" "01000000" "00000000");
}

TEST_F(XptTest, FunctionButtonsMakeTheirColumnResolveToNoSource) {
  // Column 5: 300 in row 1. Column 6: 301 in row 3. Column 7: 301 in row 0 before 300 in row 1
  // (the first found counts). Buttons 96..191 form no column.
  sendXpt(xptBody(0, 0, {{29, 300}, {78, 301}, {7, 301}, {31, 300}, {120, 300}, {101, 301}, {5, 20}}, 0));
  EXPECT_EQ((std::array{xpt().columnFlags(0, 5), xpt().columnFlags(0, 6), xpt().columnFlags(0, 7)}),
            (std::array{1u, 2u, 2u}));
  // {panel, button, mask, is}: only the row buttons of a flagged column of that panel, for its flag.
  const std::array<int, 4> function[] = {{0, 53, 1, 1}, {0, 53, 2, 0}, {0, 96 + 5, 3, 0}, {1, 5, 3, 0}};
  for (const auto& [panel, button, mask, yes] : function)
    EXPECT_EQ(xpt().isFunctionColumn(panel, button, static_cast<u32>(mask)), yes == 1) << panel << " " << button;
  for (int row = 0; row < 4; ++row) EXPECT_EQ(xpt().sourceOf(0, 5 + 24 * row) + xpt().sourceOf(0, 6 + 24 * row), -2);
  // A panel one either side of 0..2 fails the panel check, at its fixed position.
  lines.clear();
  for (int panel : {-1, 3}) {
    EXPECT_THROW(xpt().sourceOf(panel, 0), assert::AssertException) << panel;
    EXPECT_THROW(xpt().isFunctionColumn(panel, 5, 1), assert::AssertException) << panel;
  }
  EXPECT_EQ(lines, Lines(4, "log [ERR] Assertion failed: Main/xpt.cpp(287) 0 <= panel && panel < 3"));
  // Replacing the column's only function button brings its sources back.
  sendXpt(xptBody(0, 0, {{29, 11}}, 0));
  EXPECT_EQ(xpt().sourceOf(0, 5), 20);
}

TEST_F(XptTest, ReassignmentAsksEveryBusToKeepTheOldSourceInOrder) {
  sendXpt(xptBody(0, 1, {{5, 13}, {6, 15}}, 0));
  busCalls.clear();
  // Button 5 to 16, button 6 to 20 and button 30 (column 6) to 301; 500 on button 40 is refused.
  sendXpt(xptBody(0, 1, {{5, 16}, {6, 20}, {30, 301}, {40, 500}}, 0));
  std::vector<BusCall> expected;
  for (auto [button, old] : {std::pair{5, 13}, std::pair{6, 15}})
    for (int me = 0; me < 4; ++me) expected.push_back({me, button, old, 1});
  // The column: M/E by M/E, its four row buttons each with the value from before this record.
  for (int me = 0; me < 4; ++me)
    for (int b : {6, 30, 54, 78}) expected.push_back({me, b, b == 6 ? 15 : 302, 1});
  EXPECT_EQ(busCalls, expected);
}

TEST_F(XptTest, AWarmStartReportsTheTableAndResolvesItsColumns) {
  sendXpt(xptBody(1, 2, {{26, 301}, {3, 40}}, 1));
  EXPECT_EQ(only(run({"restart resume", "field"}), "msg 38").at(2),
            "msg 38 " + xptBody(1, 2, {{26, 301}, {3, 40}}, 1, 302, true));
  EXPECT_EQ((std::array{xpt().sourceOf(2, 2), xpt().sourceOf(2, 3)}), (std::array{-1, 40}));
}

TEST_F(XptTest, TheRowButtonOfASourceFollowsTheTable) {
  // Source 20 on buttons 3 and 50, 40 on button 10; 42 only above the row buttons.
  sendXpt(xptBody(0, 0, {{3, 20}, {50, 20}, {10, 40}, {120, 42}}, 0));
  EXPECT_EQ((std::array{xpt().firstRowButtonOf(0, 20), xpt().firstRowButtonOf(0, 40), xpt().firstRowButtonOf(0, 42),
                        xpt().firstRowButtonOf(1, 20), xpt().firstRowButtonOf(0, -1)}),
            (std::array{3, 10, -1, -1, -1}));
  // Button 27 turns column 3 into function buttons: 20 is found on button 50 now. Button 10 moves
  // on to 41, and 40 is on no button any more.
  sendXpt(xptBody(0, 0, {{27, 300}, {10, 41}}, 0));
  EXPECT_EQ((std::array{xpt().firstRowButtonOf(0, 20), xpt().firstRowButtonOf(0, 40), xpt().firstRowButtonOf(0, 41)}),
            (std::array{50, -1, 10}));
  // A warm start finds the same buttons; a cold start none of them.
  run({"restart resume"});
  EXPECT_EQ((std::array{xpt().firstRowButtonOf(0, 20), xpt().firstRowButtonOf(0, 41)}), (std::array{50, 10}));
  run({"restart init"});
  EXPECT_EQ((std::array{xpt().firstRowButtonOf(0, 20), xpt().firstRowButtonOf(0, 41)}), (std::array{-1, -1}));
}

TEST_F(XptTest, AWordOfOneRunOfSourcesIsTakenWholeAndAnyOtherValueByValue) {
  // A full table, word by word: one run exactly (10..41); the same run with 42, which no source is;
  // the AUX run twice; values of two runs; 290 and 291 with 292, which is refused; 302 and 301.
  std::map<int, int> sent, kept;
  for (int i = 0; i < 32; ++i) {
    const std::array<int, 6> word = {10 + i, i == 31 ? 42 : 10 + i, 240 + i % 16, i % 2 ? 41 : 140,
                                     i == 7 ? 292 : 290 + i % 2, i % 2 ? 301 : 302};
    for (int w = 0; w < 6; ++w) sent[32 * w + i] = word[static_cast<std::size_t>(w)];
  }
  kept = sent;
  kept.erase(63);
  kept.erase(128 + 7);
  EXPECT_EQ(sendXpt(xptBody(0, 1, sent, 0, 0, true)), (Lines{"msg 38 " + xptBody(0, 1, kept, 0, 302)}));
}

TEST_F(XptTest, ARecordThatMovesNoValueLeavesTheTableGenerationAndOneThatDoesMovesIt) {
  std::map<int, int> table;
  for (int b = 0; b < 192; ++b) table[b] = 10 + b % 32;
  sendXpt(xptBody(0, 2, table, 0, 0, true));
  const u32 before = xpt().tableGeneration(2);
  const int firstOf13 = xpt().firstRowButtonOf(2, 13);
  sendXpt(xptBody(0, 2, table, 0, 0, true));
  sendXpt(xptBody(0, 2, {{3, 13}}, 0));
  // A whole word taken as it stands, the unmarked buttons past it carrying other values.
  sendXpt(xptBody(0, 2, std::map<int, int>(table.begin(), table.find(32)), 0, 11));
  EXPECT_EQ(xpt().tableGeneration(2), before);
  // Button 3 (holding 13) to 14: the mapped row button of 13 moves on to the next one holding it.
  sendXpt(xptBody(0, 2, {{3, 14}}, 0));
  EXPECT_NE(xpt().tableGeneration(2), before);
  // Only panels 0..2 have a table: the others have no generation, however many tables moved.
  EXPECT_EQ((std::array{xpt().tableGeneration(-1), xpt().tableGeneration(3)}), (std::array<u32, 2>{0, 0}));
  EXPECT_EQ((std::array{firstOf13, xpt().firstRowButtonOf(2, 13), xpt().firstRowButtonOf(2, 14)}),
            (std::array{3, 35, 3}));
  // A function value in a whole table flags its column.
  table[24 + 9] = 301;
  sendXpt(xptBody(0, 2, table, 0, 0, true));
  EXPECT_EQ((std::array{static_cast<int>(xpt().columnFlags(2, 9)), xpt().sourceOf(2, 9), xpt().firstRowButtonOf(2, 19)}),
            (std::array{2, -1, 41}));
  // A value no button may hold (a damaged image) is still found, and only where it is.
  xpt().record(0).source[50] = 400, xpt().record(0).source[51] = 0;
  xpt().updateColumnFlags(0);
  EXPECT_EQ((std::array{xpt().firstRowButtonOf(0, 400), xpt().firstRowButtonOf(0, 303), xpt().firstRowButtonOf(0, 0),
                        xpt().firstRowButtonOf(0, -1)}),
            (std::array{50, -1, 51, -1}));
}

class XptBusTest : public XptTest {
 protected:
  void SetUp() override {
    initCategoryOperate();
    initCategoryBus();
    XptTest::SetUp();
    category::CategoryXpt::setBusChangeObserver(nullptr);  // only the buses that select a button are asked
  }
};

TEST_F(XptBusTest, AReassignedButtonMovesEveryBusSelectingItWhereverTheBusLies) {
  sendXpt(xptBody(0, 1, {{5, 13}, {6, 15}, {7, 17}}, 0));
  // Buses 0, 7 (the last of a group of eight) and 88 (past the groups) on panel 1's buttons 5, 6
  // and 7; bus 41 on panel 2's button 5 and bus 12 on panel 0's, which stay as they are.
  const std::map<int, u16> codes = {{0, 0x105}, {7, 0x106}, {88, 0x107}, {41, 0x205}, {12, 0x005}};
  for (int me : {0, 3})
    for (const auto& [b, code] : codes) category::CategoryBus::get(me).record(0).code[b] = code;
  run({("send 38 " + xptBody(0, 1, {{5, 20}, {6, 21}, {7, 22}}, 0)).c_str()});
  BP::instance().receiveAll();
  for (int me : {0, 3}) {
    const KzifBus& r = category::CategoryBus::get(me).record(0);
    EXPECT_EQ((std::array{r.code[0], r.code[7], r.code[88], r.code[41], r.code[12]}),
              (std::array<u16, 5>{1024 + 13, 1024 + 15, 1024 + 17, 0x205, 0x005}))
        << me;
  }
  // Buttons past the first mask word: 33, 64 (the first of the third word) and 191 (the last).
  sendXpt(xptBody(0, 1, {{33, 11}, {64, 12}, {191, 14}}, 0));
  KzifBus& r = category::CategoryBus::get(0).record(0);
  r.code[1] = 0x121, r.code[2] = 0x140, r.code[3] = 0x1BF;
  run({("send 38 " + xptBody(0, 1, {{33, 20}, {64, 21}, {191, 22}}, 0)).c_str()});
  BP::instance().receiveAll();
  EXPECT_EQ((std::array{r.code[1], r.code[2], r.code[3]}), (std::array<u16, 3>{1024 + 11, 1024 + 12, 1024 + 14}));
  // A function value turns column 4 over while every one of its four row buttons is on a bus:
  // each bus keeps the picture of its own button.
  sendXpt(xptBody(0, 1, {{4, 30}, {28, 31}, {52, 32}, {76, 33}}, 0));
  r.code[0] = 0x104, r.code[1] = 0x11C, r.code[2] = 0x134, r.code[3] = 0x14C;
  run({("send 38 " + xptBody(0, 1, {{28, 300}}, 0)).c_str()});
  BP::instance().receiveAll();
  EXPECT_EQ((std::array{r.code[0], r.code[1], r.code[2], r.code[3]}),
            (std::array<u16, 4>{1024 + 30, 1024 + 31, 1024 + 32, 1024 + 33}));
}

// Random codes on the buses of every M/E: mostly direct codes, some of them buttons of each panel
// (and of panel 3, or past the last button), negative ones and those either side of 0x400, at any
// place in the groups of buses looked at together. A whole table of one panel moves exactly the
// buses on that panel's buttons, each to the source its button had.
TEST_F(XptBusTest, AWholeTableMovesExactlyTheBusesOnItsPanelsButtons) {
  std::mt19937 rng(99);
  auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
  // Buses whose selection is copied nowhere else (not DSK, AUX or upstream key buses).
  std::vector<int> own;
  for (int b = 0; b < N_BUSES; ++b)
    if (b <= 15 || b >= 80) own.push_back(b);
  for (int round = 0; round < 24; ++round) {
    const int panel = round % 3;
    std::map<int, int> before;
    for (int b = 0; b < 192; ++b) before[b] = 10 + pick(32);
    sendXpt(xptBody(0, panel, before, 0, 0, true));
    std::array<std::array<u16, N_BUSES>, N_ME> codes{};
    for (int me = 0; me < N_ME; ++me) {
      KzifBus& r = category::CategoryBus::get(me).record(0);
      for (int b = 0; b < N_BUSES; ++b) r.code[b] = static_cast<u16>(1024 + 10 + pick(32));
      for (int n = pick(6); n > 0; --n) {
        const int b = own[static_cast<std::size_t>(pick(static_cast<int>(own.size())))];
        const int kind = pick(6);
        r.code[b] = static_cast<u16>(kind < 3   ? (pick(4) << 8) | pick(192)
                                     : kind == 3 ? (panel << 8) | (192 + pick(64))
                                     : kind == 4 ? 0x8000 | pick(0x8000)
                                                 : 0x3FF + pick(2));
      }
      for (int b = 0; b < N_BUSES; ++b) codes[static_cast<std::size_t>(me)][static_cast<std::size_t>(b)] = r.code[b];
    }
    std::map<int, int> after;
    for (int b = 0; b < 192; ++b) after[b] = 10 + pick(32);
    run({("send 38 " + xptBody(0, panel, after, 0, 0, true)).c_str()});
    BP::instance().receiveAll();
    for (int me = 0; me < N_ME; ++me)
      for (int b = 0; b < N_BUSES; ++b) {
        const int code = codes[static_cast<std::size_t>(me)][static_cast<std::size_t>(b)];
        const bool onPanel = code >> 8 == panel && (code & 0xFF) < 192;
        EXPECT_EQ(category::CategoryBus::get(me).record(0).code[b], onPanel ? 1024 + before[code & 0xFF] : code)
            << round << " M/E " << me << " bus " << b << " code " << code;
      }
    run({"field"});
  }
}

// ---- bus status of the panels ------------------------------------------------------------------

using BusStatusTest = XptTest;

TEST_F(BusStatusTest, RecordLaysOutAsDocumentedOnTheWireAndInTheImage) {
  // M/E 1, panel 2: rows on buses 3, 11, 102, 255, 200 (kept as sent); pages 0 1 2 3 3 1 2.
  EXPECT_EQ(sendStatus("0000001f 01 0002 0000001f 030b66ffc8 01 00 01 0000007f 00010203030102 01 2f"),
            (Lines{"msg 48 0000001f010002" "0000001f030b66ffc8" "010001" "0000007f00010203030102" "012f"}));
  const u8* stored = BP::instance().backupImage() + BP::instance().shareOffset(KzifBusStatus::TYPE_ID, 1) + 2 * 40;
  EXPECT_EQ(hexOf(stored, 40), "00000000" "0200" "01" "00" "00000000" "030b66ffc8000000" "010001" "00"
                               "00000000" "00010203030102" "00" "012f0000");
  EXPECT_EQ(category::CategoryBusStatus::get(0).record(2).rowBus.bus[4], 0);  // per M/E

  // flag2 2, page entry 0 of 4 and customItem 48 are dropped; page entry 4 takes 3 like the others.
  EXPECT_EQ(sendStatus("0000001e 00 0001 00000001 0500000000 00 02 01 00000011 04000000030000 01 30"),
            (Lines{"msg 48 0000000c000001" "000000010500000000" "000001" "0000001000000000030000" "0100"}));
}

TEST_F(BusStatusTest, SecondFlag1InARowClearsItWhileTheFirstBusLeads) {
  // Sends flag1 `value` for M/E 0 and `panel`; answers "echoed mask:flag1".
  auto flag1 = [&](const char* value, const char* panel = "0000", const char* mask = "00000001") {
    const std::string echo = sendStatus(std::string(mask) + " 00 " + panel + " 00000000 0000000000 " + value +
                                        " 00 00 00000000 00000000000000 00 00").at(0);
    return echo.substr(7, 8) + ":" + echo.substr(39, 2);
  };
  // Panels keep their own last value; the unmasked byte counts as received; a value out of range
  // is dropped but remembered.
  EXPECT_EQ((std::array{flag1("01"), flag1("01", "0001"), flag1("01"), flag1("01", "0000", "00000000"), flag1("07"),
                        flag1("01")}),
            (std::array<std::string, 6>{"00000001:01", "00000001:01", "00000001:00", "00000001:00", "00000000:00",
                                        "00000001:01"}));
  // With the second bus leading (source link direction 1) every 1 is taken as sent.
  run({("send 37 00000000 00000001 " + std::string(28 * 2 + 195 * 4, '0') + " 01 00" + std::string(56, '0')).c_str(),
       "field"});
  EXPECT_EQ(flag1("01"), "00000001:01");
}

// Records merged from their wire bytes (M/E 3) and decoded and assigned (M/E 2) leave the same
// channels: random masks and values in and out of range, flag1 often 1 twice in a row, under
// either source link direction.
TEST_F(BusStatusTest, WireBytesMergeAsTheDecodedRecordIsAssigned) {
  std::mt19937 rng(48);
  auto pick = [&](int n) { return static_cast<u8>(std::uniform_int_distribution<int>(0, n - 1)(rng)); };
  auto& byWire = category::CategoryBusStatus::get(3);
  auto& byAssign = category::CategoryBusStatus::get(2);
  for (int round = 0; round < 60; ++round) {
    if (round == 30) run({("send 37 00000000 00000001 " + std::string(28 * 2 + 195 * 4, '0') + " 01 00" + std::string(56, '0')).c_str()});
    std::array<u8, rec::wireSizeOf<KzifBusStatus>()> body{};
    for (u8& b : body) b = pick(4) == 0 ? pick(255) : pick(3);
    body[3] = pick(32);
    body[4] = 3;
    body[5] = 0;
    body[6] = pick(3);
    std::string hex;
    for (u8 b : body) hex += hexBytes(b, 1);
    KzifBusStatus decoded{};
    rec::WireReader reader(std::span<const u8>(body.data(), body.size()));
    ASSERT_TRUE(rec::decode(reader, decoded));
    byAssign.assign(decoded, body[6]);
    // Both echoes go out in the field, the M/E byte aside the same.
    const Lines echoes = only(run({("send 48 " + hex).c_str(), "field"}), "msg 48");
    ASSERT_EQ(echoes.size(), 2u) << round;
    EXPECT_EQ(echoes[0].substr(0, 15) + echoes[0].substr(17), echoes[1].substr(0, 15) + echoes[1].substr(17)) << round;
    for (int panel = 0; panel < 3; ++panel) {
      KzifBusStatus wire = std::as_const(byWire).record(panel);
      wire.me = 2;
      EXPECT_EQ(hexOf(reinterpret_cast<const u8*>(&wire), sizeof wire),
                hexOf(reinterpret_cast<const u8*>(&std::as_const(byAssign).record(panel)), sizeof wire))
          << round << " panel " << panel;
      EXPECT_EQ(byWire.lastFlag1(panel), byAssign.lastFlag1(panel)) << round;
    }
  }
}

TEST_F(BusStatusTest, RecordsForAPanelAboveTwoOrAnMeAboveThreeAreDropped) {
  const std::string status = " 0000000000 01 00 00 00000000 00000000000000 00 00";
  EXPECT_EQ(run({("send 48 00000001 00 0003 00000000" + status).c_str(),
                 ("send 48 00000001 04 0000 00000000" + status).c_str(),
                 ("send 38 " + xptBody(1, 3, {{0, 300}}, 1)).c_str(), "field"}),
            (Lines{"log [INFO] Connected from System Manager",  // no echo, no assertion; one line per type
                   "log [ERR] receive KzifBusStatus dropped: channel 3 out of range",
                   "log [ERR] receive KzifXptAssign dropped: channel 3 out of range"}));
  EXPECT_TRUE(busCalls.empty());
}

TEST(BusStatusHelpers, OddBusCodeLooksAtTheFourMeRowsOnly) {
  KzifBusStatus ch{};
  ch.rowBus.bus[4] = 3;  // the AUX row does not count
  std::vector<int> odd;
  for (int bus = 0; bus < 256; ++bus)
    if (ch.rowBus.bus[2] = static_cast<u8>(bus); category::CategoryBusStatus::hasOddBusCode(ch)) odd.push_back(bus);
  EXPECT_EQ(odd, (std::vector<int>{3, 5, 7, 9, 11, 17, 19, 21, 23, 103, 105, 107, 109}));
}

}  // namespace
