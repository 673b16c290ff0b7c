// The panels' bus rows through the wire: row button presses and releases select on the buses, and
// the row lamps come back in the M/E lamp records (status, row buttons with page and shift, lamp
// mode, presets), one panel per field; the custom AUX button table.
#include <algorithm>
#include <array>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "Lib/Include/data_internal.h"
#include "Main/bp.h"
#include "Main/bus.h"
#include "Main/cp_config.h"
#include "Main/custominfo.h"
#include "Main/faderevent.h"
#include "Main/led.h"
#include "Main/operate.h"
#include "Main/peripheral.h"
#include "Main/tally.h"
#include "tests/sim_fixture.h"

using category::CategoryBus;
using V = std::vector<int>;

namespace {

struct Body {
  std::vector<u8> bytes;
  explicit Body(std::size_t size) : bytes(size, 0) {}
  Body& put(std::size_t at, long long v, int n) {
    for (int i = 0; i < n; ++i) bytes[at + i] = static_cast<u8>(v >> (8 * (n - 1 - i)));
    return *this;
  }
  std::string hex() const {
    std::string h;
    for (u8 b : bytes) h += hexBytes(b, 1);
    return h;
  }
};

// Panel 0's crosspoint buttons: button -> value.
Body xptBody(std::initializer_list<std::pair<int, int>> buttons) {
  Body b(415);
  std::array<u32, 6> mask{};
  for (auto [button, value] : buttons) {
    b.put(30 + 2 * static_cast<std::size_t>(button), value, 2);
    mask[static_cast<std::size_t>(button / 32)] |= 1u << (button % 32);
  }
  for (std::size_t w = 0; w < 6; ++w) b.put(6 + 4 * w, mask[w], 4);
  return b;
}

// One panel's bus status of an M/E: the four row buses, the pages (row 4 is the AUX row's page).
Body statusBody(int me, int panel, std::array<int, 4> rows, std::array<int, 5> pages = {}, int flag1 = 0, int flag4 = 0) {
  Body b(32);
  b.put(0, 0x9, 4).put(4, me, 1).put(5, panel, 2).put(7, 0xF, 4);
  for (std::size_t r = 0; r < 4; ++r) b.put(11 + r, rows[r], 1);
  b.put(16, flag1, 1).put(19, 0x7F, 4);
  for (std::size_t r = 0; r < 5; ++r) b.put(23 + r, pages[r], 1);
  b.put(30, flag4, 1);
  return b;
}

std::string press(int panel, int me, int bus, int code, int state) {
  char line[80];
  std::snprintf(line, sizeof line, "send 92 0000 00 0000 %02x %02x %02x %04x %02x 00", panel, me, bus, code & 0xffff, state);
  return line;
}

class BusRowsTest : public SimTest {
 protected:
  void TearDown() override {
    CategoryBus::setBusTallyReader(nullptr);
    SimTest::TearDown();
  }

  Lines send(int type, const Body& b) { return run({("send " + std::to_string(type) + " " + b.hex()).c_str(), "field"}); }
  Lines act(const std::string& line) { return run({line.c_str(), "field"}); }

  // The M/E lamps that the lines sent for (me, panel), by button code; -1 where none changed.
  static std::map<int, int> meLamps(const Lines& out, int me, int panel) {
    std::map<int, int> byIndex;
    const auto byte = [](const std::string& h, std::size_t at) { return std::stoi(h.substr(2 * at, 2), nullptr, 16); };
    for (const std::string& l : out) {
      if (l.rfind("msg 50 ", 0) != 0) continue;
      const std::string h = l.substr(7);
      if (byte(h, 4) != me || (byte(h, 5) << 8 | byte(h, 6)) != panel) continue;
      for (int i = 0; i < N_ME_LED_INDEX; ++i) {
        const u32 word = static_cast<u32>(std::stoul(h.substr(2 * (7 + 4 * (i / 32)), 8), nullptr, 16));
        if (word >> (i % 32) & 1) byIndex[i] = byte(h, 47 + static_cast<std::size_t>(i));
      }
    }
    return byIndex;
  }
  static int lamp(const std::map<int, int>& lamps, int code) {
    const auto it = lamps.find(meLedCodeToIndex(code));
    return it == lamps.end() ? -1 : it->second;
  }
  // What panel 0 is now told of M/E 0's lamps `codes`.
  static V shown(std::initializer_list<int> codes) {
    V r;
    for (int c : codes) r.push_back(category::CategoryMeLed::get(0).led(0, c));
    return r;
  }
  V shownNext(std::initializer_list<int> codes) {  // the same, after one more field
    run({"field"});
    return shown(codes);
  }
  static int code(int me, int bus) { return static_cast<i16>(CategoryBus::get(me).record(0).code[bus]); }

  // Puts exactly these (me, bus) pairs on air through a stand-in tally reader.
  static void putOnAir(std::vector<std::pair<int, int>> buses) {
    onAir = std::move(buses);
    CategoryBus::setBusTallyReader(&tally);
  }
  static inline std::vector<std::pair<int, int>> onAir;
  static int tally(int me, int bus) {
    for (auto [m, b] : onAir)
      if (m == me && b == bus) return 1;
    return 0;
  }
};

TEST_F(BusRowsTest, PressesOnEachRowKindSelectTheButtonAndLightIt) {
  send(38, xptBody({{3, 10}, {27, 11}, {5, 220}}));
  send(48, statusBody(0, 0, {0, 1, 2, 24}));
  // A row: button 3 selected, lit as not on air; its status is the programme side's.
  Lines out = act(press(0, 0, 0, 1103, 1));
  EXPECT_EQ((V{code(0, 0), lamp(meLamps(out, 0, 0), 3), shown({451})[0]}), (V{3, 2, 2}));
  // Only bus 0 is marked, and it holds panel 0's button 3.
  ASSERT_EQ(only(out, "msg 47 ").size(), 1u);
  EXPECT_EQ(only(out, "msg 47 ")[0].substr(7, 46), "00000000" "00" "00000001" "00000000" "00000000" "0003" + hexBytes(1247, 2) + "04df");
  // On air through the tally: status and button follow.
  putOnAir({{0, 0}});
  const auto lamps = meLamps(run({"field"}), 0, 0);
  EXPECT_EQ((V{lamp(lamps, 3), lamp(lamps, 451)}), (V{1, 1}));
  // B row: the preset side at a transition end shows 3 on its button, its status dark.
  act(press(0, 0, 1, 1103, 1));
  EXPECT_EQ(code(0, 1), 3);
  EXPECT_EQ(shown({50 + 3, 452}), (V{3, 0}));
  // Key fill row: taken, but the key is off, so the row is dark.
  act(press(0, 0, 2, 1127, 1));
  EXPECT_EQ(code(0, 2), 27);
  EXPECT_EQ(shown({450, 100 + 3}), (V{0, 0}));
  // AUX row: the one bus pressed is copied into every M/E, and no other.
  CategoryBus::get(2).record(0).code[26] = 1024 + 12;
  act(press(0, 0, 24, 1105, 1));
  for (int me = 0; me < N_ME; ++me) EXPECT_EQ(code(me, 24), 5) << me;
  EXPECT_EQ(code(2, 26), 1024 + 12);
  run({"field", "field"});
  EXPECT_EQ(shown({150 + 5, 453}), (V{2, 2}));
}

TEST_F(BusRowsTest, ReleasesFallBackToAButtonStillHeldAndRefusalsChangeNothing) {
  send(38, xptBody({{3, 10}, {27, 11}, {5, 302}, {40, 150}, {41, 154}}));
  // Each press in its own field, then bus 0 of an M/E: {panel, me, bus, code, state, M/E read, code there}.
  const std::array<int, 7> steps[] = {
      {0, 1, 0, 1103, 1, 1, 3}, {0, 1, 0, 1127, 1, 1, 27},
      {0, 1, 0, 1127, 0, 1, 3},  // back to the first still held
      {0, 1, 0, 1103, 0, 1, 3},  // nothing held: nothing selected
      // Refused: an unassigned button, the M/E's own output.
      {0, 1, 0, 1105, 1, 1, 3}, {0, 1, 0, 1141, 1, 1, 3},
      // Another M/E's output is taken, and then M/E 0 may not take M/E 1's back.
      {0, 1, 0, 1140, 1, 1, 40}, {0, 0, 0, 1141, 1, 0, 1247},
      // Out of range, one field at a time: panel 3, bus 89, code outside the rows, state 2.
      {3, 1, 0, 1103, 1, 1, 40}, {0, 1, 89, 1103, 1, 1, 40}, {0, 1, 0, 1292, 1, 1, 40}, {0, 1, 0, 1103, 2, 1, 40}};
  for (const auto& [panel, me, bus, c, state, at, expected] : steps) {
    act(press(panel, me, bus, c, state));
    EXPECT_EQ(code(at, 0), expected) << panel << " " << me << " " << bus << " " << c << " " << state;
  }
}

// Presses and releases of buttons all over one row, several held at once: each press selects its
// button, each release the first button still held, if any.
TEST_F(BusRowsTest, AReleaseFallsBackToTheFirstOfTheButtonsStillHeldWhereverTheyLie) {
  Body table(415);
  for (std::size_t w = 0; w < 6; ++w) table.put(6 + 4 * w, 0xFFFFFFFFu, 4);
  for (int b = 0; b < 192; ++b) table.put(30 + 2 * static_cast<std::size_t>(b), 10 + b % 32, 2);
  send(38, table);
  std::mt19937 rng(5);
  std::vector<int> held;
  int expected = code(1, 0);
  for (int step = 0; step < 80; ++step) {
    const bool release = !held.empty() && std::uniform_int_distribution<int>(0, 2)(rng) == 0;
    const int button = release ? held[std::uniform_int_distribution<std::size_t>(0, held.size() - 1)(rng)]
                               : std::uniform_int_distribution<int>(0, 191)(rng);
    if (release) {
      held.erase(std::find(held.begin(), held.end(), button));
      if (!held.empty()) expected = *std::min_element(held.begin(), held.end());
    } else {
      if (std::find(held.begin(), held.end(), button) == held.end()) held.push_back(button);
      expected = button;
    }
    act(press(0, 1, 0, 1100 + button, release ? 0 : 1));
    // Nothing held after a release: the bus keeps what it had.
    EXPECT_EQ(code(1, 0), expected - 24 * (expected / 48)) << step << " button " << button;
  }
}

TEST_F(BusRowsTest, SwappedRowsPutTheARowOnBusB) {
  send(38, xptBody({{3, 10}}));
  send(36, Body(774).put(0, 0x1, 4).put(10, 2, 1));  // rows swap while the flip-flop is 0
  const auto lamps = meLamps(act(press(0, 0, 0, 1103, 1)), 0, 0);
  EXPECT_EQ(code(0, 1), 3);
  EXPECT_NE(code(0, 0), 3);
  // Row 0 shows B, the preset side at rest.
  EXPECT_EQ((V{shown({451})[0], lamp(lamps, 3)}), (V{0, 3}));
}

TEST_F(BusRowsTest, PagesAndShiftKeysDecideWhereASelectionIsLit) {
  send(38, xptBody({{23, 300}, {27, 11}}));  // column 23 adds one page
  // Each step: the row 0 lamps of the selection's column 3 and of the shift key, as echoed.
  const auto rowLamps = [](const Lines& out) {
    const auto lamps = meLamps(out, 0, 0);
    return std::pair{lamp(lamps, 3), lamp(lamps, 23)};
  };
  // Index 27: page 1, column 3, reached from page 0 with the shift key, which is lit.
  EXPECT_EQ(rowLamps(act(press(0, 0, 0, 1127, 1))), std::pair(2, 2));
  EXPECT_EQ(shown({0, 5, 22}), (V{0, 0, 0}));  // only the engaged key's column is lit with it
  // Page 2 reaches nothing on page 1.
  EXPECT_EQ(rowLamps(send(48, statusBody(0, 0, {0, 1, 0, 0}, {2, 0, 0, 0, 0}))), std::pair(0, 0));
  // Page 1 is the shifted page.
  EXPECT_EQ(rowLamps(send(48, statusBody(0, 0, {0, 1, 0, 0}, {1, 0, 0, 0, 0}))), std::pair(2, 2));
  // The operation settings may ignore the 300 buttons: page 0 then shows page 0 only.
  send(48, statusBody(0, 0, {0, 1, 0, 0}));
  EXPECT_EQ(rowLamps(send(36, Body(774).put(4, 0x1, 4).put(8, 1, 1))), std::pair(0, 0));
}

TEST_F(BusRowsTest, AShiftKeyAddingTwoPagesReachesPageTwoFromPageZeroAndPageThreeFromPageOne) {
  send(38, xptBody({{23, 301}, {51, 11}, {75, 12}}));  // column 23 adds two pages
  const auto rowLamps = [](const Lines& out) {
    const auto lamps = meLamps(out, 0, 0);
    return std::pair{lamp(lamps, 3), lamp(lamps, 23)};
  };
  // Index 51: page 2, column 3 (code 1148 + 27), reached from page 0 and not from page 1.
  EXPECT_EQ(rowLamps(act(press(0, 0, 0, 1175, 1))), std::pair(2, 2));
  EXPECT_EQ(rowLamps(send(48, statusBody(0, 0, {0, 1, 0, 0}, {1, 0, 0, 0, 0}))), std::pair(0, 0));
  // Index 75: page 3 (code 1196 + 27), reached from page 1 and not from page 0.
  EXPECT_EQ(rowLamps(act(press(0, 0, 0, 1223, 1))), std::pair(2, 2));
  EXPECT_EQ(rowLamps(send(48, statusBody(0, 0, {0, 1, 0, 0}, {0, 0, 0, 0, 0}))), std::pair(0, 0));
}

TEST_F(BusRowsTest, AShiftKeyAssignedAfterTheRowsAreLitLightsThemAgain) {
  send(38, xptBody({{27, 11}}));
  const auto rowLamps = [](const Lines& out) {
    const auto lamps = meLamps(out, 0, 0);
    return std::pair{lamp(lamps, 3), lamp(lamps, 23)};
  };
  // Index 27 is on page 1, which page 0 does not reach without a shift key: nothing lights.
  EXPECT_EQ(rowLamps(act(press(0, 0, 0, 1127, 1))), std::pair(-1, -1));  // neither lamp is echoed
  // Nothing but the crosspoint table changes: column 23 becomes the shift key to page 1.
  EXPECT_EQ(rowLamps(send(38, xptBody({{23, 300}}))), std::pair(2, 2));
}

TEST_F(BusRowsTest, LampModeOneLightsEveryButtonOfTheSource) {
  send(38, xptBody({{3, 10}, {7, 10}}));
  act(press(0, 0, 0, 1103, 1));
  EXPECT_EQ(shown({3, 7}), (V{2, 0}));
  KzifControlPanelConfig c{};
  c.optionBlockA.mask = 1u << 3, c.optionBlockA.value3 = 1;
  category::CategoryControlPanelConfig::get().assign(c, 0);
  EXPECT_EQ(shownNext({3, 7}), (V{2, 2}));
  // A selection on page 1 reached through a shift key: no button of page 0 holds its source, and
  // the key is lit as engaged in this mode too.
  send(38, xptBody({{23, 300}, {27, 11}}));
  act(press(0, 0, 0, 1127, 1));
  EXPECT_EQ(shownNext({3, 7, 23}), (V{0, 0, 2}));
}

// While an AUX bus mixes, its row lights the button of the source it mixes from at 3, and only
// until the mix ends.
TEST_F(BusRowsTest, AnAuxMixLightsTheButtonItMixesFromUntilItEnds) {
  send(38, xptBody({{3, 10}, {5, 11}}));
  send(48, statusBody(0, 0, {0, 1, 2, 24}));
  act(press(0, 0, 24, 1103, 1));
  KzifOperate& op = category::CategoryOperate::get().record(0);
  op.auxMixEnable.value[0] = 1, op.auxMixRate.value[0] = 4;
  act(press(0, 0, 24, 1105, 1));
  V from;
  for (int f = 0; f < 8; ++f) from.push_back(shownNext({150 + 3})[0]);
  EXPECT_EQ(from, (V{3, 3, 3, 3, 3, 3, 0, 0}));
}

TEST_F(BusRowsTest, CodeThreeThousandReachesEveryMeAndLetsGoOnlyOnRelease) {
  send(38, xptBody({{3, 10}, {27, 11}}));
  for (int c : {1103, 1127}) act(press(0, 2, 0, c, 1));
  // Pressed: ignored, both still held, so a release elsewhere in the row falls back to button 3.
  EXPECT_TRUE(only(act(press(0, 0, 0, 3000, 1)), "log").empty());
  act(press(0, 2, 0, 1100, 0));
  EXPECT_EQ(code(2, 0), 3);
  // Released, from a row of no M/E: every M/E lets go, without an assertion.
  act(press(0, 2, 0, 1127, 1));
  EXPECT_TRUE(only(act(press(0, 7, 0, 3000, 0)), "log").empty());
  act(press(0, 2, 0, 1100, 0));
  EXPECT_EQ(code(2, 0), 27);
  // A row event handed to another M/E's buses is refused by the assertion.
  internal::KzifButtonEvent e{};
  e.me = 0, e.code = 1103, e.state = 1;
  lines.clear();
  EXPECT_THROW(CategoryBus::get(1).onButton(e), assert::AssertException);
  EXPECT_EQ(lines, Lines{"log [ERR] Assertion failed: Main/bus.cpp(460) btn.getMe() == getME()"});
}

// Letting go of every button, by code 3000 released or by a start, reaches every M/E and every bus
// of the table, the last ones included: a button held before is not held after it.
TEST_F(BusRowsTest, EveryHeldButtonOfEveryMeAndBusIsLetGoByCodeThreeThousandAndByAStart) {
  const std::pair<int, int> rows[] = {{0, 0}, {1, 23}, {3, 11}, {2, 10}};
  for (bool byStart : {false, true}) {
    send(38, xptBody({{3, 10}, {27, 11}}));
    for (auto [me, bus] : rows)
      for (int c : {1103, 1127}) act(press(0, me, bus, c, 1));
    if (byStart) {
      run({"restart resume", "field"});
      send(38, xptBody({{3, 10}, {27, 11}}));
    } else {
      act(press(0, 0, 0, 3000, 0));
    }
    for (auto [me, bus] : rows) {
      act(press(0, me, bus, 1127, 1));
      act(press(0, me, bus, 1100, 0));
      EXPECT_EQ(code(me, bus), 27) << me << " " << bus << (byStart ? " start" : " 3000");
    }
  }
}

TEST_F(BusRowsTest, RowsOnNoBusAreDarkAndForeignRowsAreLeftAlone) {
  send(38, xptBody({{3, 10}, {23, 300}}));
  act(press(0, 0, 0, 1103, 1));
  ASSERT_EQ(shown({3}), V{2});
  for (int none : {255, 89, 110}) {
    send(48, statusBody(0, 0, {none, 1, 0, 0}, {1, 0, 0, 0, 0}));
    EXPECT_EQ(shown({451, 3, 23}), (V{0, 0, 2})) << none;  // the function column follows page 1
  }
  category::CategoryMeLed::get(0).setLed(0, 451, 7);
  category::CategoryMeLed::get(0).setLed(0, 23, 7);
  send(48, statusBody(0, 0, {102, 1, 0, 0}));
  EXPECT_EQ(shownNext({451, 23}), (V{7, 7}));
}

TEST_F(BusRowsTest, KeyAndDskRowsFollowTheLevelOfTheirTransition) {
  send(48, statusBody(0, 0, {2, 1, 16, 10}));
  EXPECT_EQ(shownNext({451, 450}), (V{0, 0}));
  auto& fader = category::CategoryFaderEvent::get();
  // Fully on air after a completed run: end flag -1, position 0.
  fader.transition(keyTransIndex(0, 0)).endFlag = -1, fader.transition(dskTransIndex(0)).endFlag = -1;
  EXPECT_EQ(shownNext({451, 450}), (V{2, 2}));
  putOnAir({{0, 2}, {1, 16}, {0, 10}});
  EXPECT_EQ(shownNext({451, 450, 453}), (V{1, 1, 1}));  // a utility row shows the tally itself
  fader.transition(keyTransIndex(0, 0)).positionA = 1.0f;  // on its way out and gone
  EXPECT_EQ(shownNext({451}), V{0});
}

TEST_F(BusRowsTest, PresetLampsMatchTheRowsExactlyOrOnTheSecondBusOfAPair) {
  // Group 0 entry 0: rows 2, 3, 0, 1 on codes 1 (bus 2), 8 (bus 11), 5 (bus 0), 6 (bus 1).
  send(36, Body(774).put(112, 0, 4).put(116, 0xF, 4).put(120, 0x01080506, 4));
  send(48, statusBody(0, 0, {0, 1, 2, 11}, {0, 0, 0, 0, 3}, 0, 1));
  EXPECT_EQ(shown({208, 209, 224, 229, 230}), (V{2, 0, 1, 2, 2}));
  // Key source, and utility 1 for utility 2; another key row; back to the exact match.
  for (auto [row2, row3, lit] : {std::array{3, 10, 3}, {4, 11, 0}, {2, 11, 2}}) {
    send(48, statusBody(0, 0, {0, 1, row2, row3}));
    ASSERT_EQ(shown({208}), V{lit}) << row2 << " " << row3;
  }
  // A code no row table knows (a damaged image) lights nothing, whatever bus its row works on.
  category::CategoryOperate::get().record(0).entries[0].codes.code[1] = 19;
  EXPECT_EQ(shownNext({208}), V{0});
  send(48, statusBody(0, 0, {0, 1, 2, 0}));
  for (int code = 19; code <= 255; ++code) {
    category::CategoryOperate::get().record(0).entries[0].codes.code[1] = static_cast<u8>(code);
    ASSERT_EQ(shownNext({208}), V{0}) << code;
  }
}

// Every row code on row 2 of group 0 entry 0 (rows 3, 0, 1 exact on codes 8, 5, 6): lit 2 with
// the row on the code's own bus, 3 on the bus after it where the code is of a pair, else dark.
TEST_F(BusRowsTest, EveryRowCodeLightsItsPresetOnItsOwnBusOnly) {
  struct Row {
    int code, bus;
    bool pair;
  };
  constexpr Row rows[] = {{1, 2, true},    {2, 4, true},    {3, 6, true},    {4, 8, true},    {5, 0, false},
                          {6, 1, false},   {7, 10, true},   {8, 11, true},   {9, 12, false},  {10, 16, true},
                          {11, 18, true},  {12, 20, true},  {13, 22, true},  {14, 22, false}, {15, 102, true},
                          {16, 104, true}, {17, 106, true}, {18, 108, true}};
  for (const Row& r : rows) {
    send(36, Body(774).put(112, 0, 4).put(116, 0xF, 4).put(120, r.code << 24 | 0x080506, 4));
    send(48, statusBody(0, 0, {0, 1, r.bus, 11}));
    ASSERT_EQ(shown({208}), V{2}) << r.code;
    send(48, statusBody(0, 0, {0, 1, r.bus + 1, 11}));
    ASSERT_EQ(shown({208}), V{r.pair ? 3 : 0}) << r.code;
    send(48, statusBody(0, 0, {0, 1, r.bus + 2, 11}));
    ASSERT_EQ(shown({208}), V{0}) << r.code;
  }
}

TEST_F(BusRowsTest, SubPanelsJoinTheRotationOnRequestOneRefreshedPerField) {
  KzifControlPanelConfig c{};
  c.subControlPanel1.mask = c.subControlPanel2.mask = 1u << 12;
  c.subControlPanel1.flag7 = c.subControlPanel2.flag7 = 1;
  category::CategoryControlPanelConfig::get().assign(c, 0);
  run({"field"});
  const auto& cfg = category::CategoryControlPanelConfig::get().record(0);
  EXPECT_EQ(std::tuple(+cfg.subControlPanel1.flag7, +cfg.subControlPanel2.flag7), std::tuple(0, 0));
  EXPECT_TRUE(CategoryBus::panelLampsActive(1) && CategoryBus::panelLampsActive(2));
  run({"field", "field", "field"});  // every panel lit once
  // The on-air change reaches one panel a field, each once in three fields.
  putOnAir({{0, 0}});
  V order;
  for (int f = 0; f < 3; ++f) {
    const Lines out = run({"field"});
    const std::size_t before = order.size();
    for (int p = 0; p < 3; ++p)
      if (lamp(meLamps(out, 0, p), 451) == 1) order.push_back(p);
    EXPECT_EQ(order.size(), before + 1) << f;
  }
  std::sort(order.begin(), order.end());
  EXPECT_EQ(order, (V{0, 1, 2}));
  // Nothing moves: no lamp is sent.
  EXPECT_TRUE(only(run({"field", "field", "field"}), "msg 50").empty());
}

TEST_F(BusRowsTest, CustomAuxButtonsTakeTheBusOfTheirItem) {
  EXPECT_EQ(std::tuple(+customAuxButton(12).bus, +customAuxButton(17).bus, +customAuxButton(17).usable, +customAuxButton(35).lampCode),
            std::tuple(72, -1, 0, 2035));
  // The table a start brings: every button's bus, lamp code and whether it may be used.
  const int initialBus[36] = {24, 26, 28, 30, 32, 34, 36, 38, 40, 42, 44, 46, 72, 74, 76, 78, 13, -1,
                              15, 88, 16, 18, 20, 22, 2,  4,  6,  8,  -1, -1, -1, -1, -1, -1, -1, -1};
  for (int n = 0; n < 36; ++n) {
    const CustomAuxButton& b = customAuxButton(n);
    const int usable = (n >= 17 && n <= 19) || n >= 28 ? 0 : 1;
    EXPECT_EQ(std::tuple(+b.bus, +b.lampCode, +b.group, +b.usable), std::tuple(initialBus[n], 2000 + n, 0, usable)) << n;
  }
  // {button, item, bus then, usable then}
  const std::array<int, 4> items[] = {{0, 3, 28, 1},  {1, 18, 15, 0}, {2, 60, -1, 0}, {3, 29, 4, 1},
                                      {4, 19, 88, 0}, {5, 0, -1, 0},  {6, 44, 2, 1}};
  internal::KzifCustomInfo info{};
  for (const auto& [n, item, b, usable] : items) {
    info.busItems.mask[0] |= 1u << n;
    info.busItems.item[n] = static_cast<u8>(item);
  }
  category::CategoryCustomInfo::get().assign(info, 0);
  for (const auto& [n, item, b, usable] : items)
    EXPECT_EQ(std::tuple(+customAuxButton(n).bus, +customAuxButton(n).usable), std::tuple(b, usable)) << n;
  EXPECT_EQ(customAuxButton(7).bus, 38);  // no item given: as it was
  EXPECT_EQ(std::tuple(+customItemBus(44).me, +customItemBus(31).me, +customItemBus(32).me), std::tuple(2, 0, 4));
  // {item, bus, M/E}: each run of the item table at both ends, and one past the last.
  const std::array<int, 3> table[] = {{0, -1, -1}, {1, 24, 0},  {12, 46, 0}, {13, 72, 0}, {16, 78, 0}, {17, 13, 0},
                                      {18, 15, 0}, {19, 88, 0}, {20, 16, 1}, {23, 22, 1}, {24, 80, 0}, {27, 86, 0},
                                      {28, 2, 0},  {31, 8, 0},  {32, 2, 4},  {59, 8, 7},  {60, -1, -1}};
  for (const auto& [item, b, me] : table)
    EXPECT_EQ(std::pair(+customItemBus(item).bus, +customItemBus(item).me), std::pair(b, me)) << item;
  EXPECT_THROW(updateCustomInfoBus(36), assert::AssertException);
}

}  // namespace

// Without a stand-in reader the rows read the bus tally itself: a bus feeding M/E 1's programme,
// which tally group 1 names, lights its row status and its button as on air.
TEST_F(BusRowsTest, RowsReadTheBusTallyOfTheirMe) {
  KzifPeripheral& p = category::CategoryPeripheral::get().record(0);
  p.tallyMode = 0;
  p.tallyGroup[0].output[0] = 1;  // M/E 1 programme
  send(38, xptBody({{3, 10}}));
  send(48, statusBody(0, 0, {0, 1, 2, 24}));
  act(press(0, 0, 0, 1103, 1));
  run({"field 2"});
  EXPECT_EQ(shown({451, 3}), (V{1, 1}));
  // A utility bus feeds nothing here: its row shows its tally value itself, 0.
  EXPECT_EQ((V{category::CategoryBusTally::get(0).busTally(0), category::CategoryBusTally::get(0).busTally(10)}), (V{1, 0}));
}

// Lamps that went out unchanged are not requested again, but one that another writer changed, or a
// reset of the lamp image, is put back by the next field: the preset, shift and AUX page lamps of
// the M/E and the delegation lamps of the panel.
TEST_F(BusRowsTest, PresetAndDelegationLampsComeBackAfterAnotherWriterOrAResetOfTheLampImage) {
  send(36, Body(774).put(112, 0, 4).put(116, 0xF, 4).put(120, 0x01080506, 4));
  auto& rows = category::CategoryOperate::get().record(0).panelMe(0);
  rows.me[0] = 0, rows.me[1] = rows.me[2] = rows.me[3] = 1;  // row 0 operates M/E 0: group 0
  send(48, statusBody(0, 0, {0, 1, 2, 11}, {0, 0, 0, 0, 3}, 0, 1));
  auto& meLeds = category::CategoryMeLed::get(0);
  auto& leds = category::CategoryLed::get();
  const auto lit = [&] {
    return V{std::as_const(meLeds).led(0, 208), std::as_const(meLeds).led(0, 224), std::as_const(meLeds).led(0, 230),
             std::as_const(leds).led(0, 212), std::as_const(leds).led(0, 215)};
  };
  ASSERT_EQ(lit(), (V{2, 1, 2, 0, 0}));
  send(48, statusBody(0, 0, {0, 1, 13, 11}, {0, 0, 0, 0, 3}, 0, 1));
  ASSERT_EQ(lit(), (V{0, 1, 2, 2, 0}));
  run({"field 2"});
  meLeds.requestLamp(category::CategoryMeLed::lampOf(0, 224), 0);
  meLeds.requestLamp(category::CategoryMeLed::lampOf(0, 230), 0);
  leds.requestLamp(category::CategoryLed::lampOf(0, 212), 0);
  leds.requestLamp(category::CategoryLed::lampOf(0, 215), 3);
  run({"field"});
  EXPECT_EQ(lit(), (V{0, 1, 2, 2, 0}));
  run({"field 2"});
  meLeds.initInternal();
  leds.initInternal();
  run({"field"});
  EXPECT_EQ(lit(), (V{0, 1, 2, 2, 0}));
  // Back to the exact match of entry 0 and to no delegated bus.
  send(48, statusBody(0, 0, {0, 1, 2, 11}, {0, 0, 0, 0, 3}, 0, 1));
  EXPECT_EQ(lit(), (V{2, 1, 2, 0, 0}));
  // Row 1 takes M/E 0 over, nothing else changed: the lamps of its group follow in that field.
  send(48, statusBody(0, 0, {0, 1, 16, 11}, {0, 0, 0, 0, 3}, 0, 1));
  run({"field"});
  ASSERT_EQ(std::as_const(leds).led(0, 712), 0);
  send(36, Body(774).put(76, 3, 4).put(80, 1, 1).put(81, 0, 1));
  ASSERT_EQ((V{rows.me[0], rows.me[1], rows.me[2], rows.me[3]}), (V{1, 0, 2, 3}));
  EXPECT_EQ((V{std::as_const(leds).led(0, 712), std::as_const(leds).led(0, 713)}), (V{2, 0}));
}
