// Bus selection through its records and the driver trace: validation, the loop rule, crosspoint
// reassignment, flip and row swap, AUX mixes, source link follow and the upstream key exchange.
#include <array>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "Main/bkgd.h"
#include "Main/bp.h"
#include "Main/bus.h"
#include "Main/faderevent.h"
#include "Main/inputvideo.h"
#include "Main/operate.h"
#include "Main/sourcelink.h"
#include "Main/transition.h"
#include "Main/xpt.h"
#include "Platform/platform.h"
#include "tests/sim_fixture.h"

namespace {

using category::CategoryBus;
std::string repeat(const std::string& s, int n) { return n > 0 ? s + repeat(s, n - 1) : ""; }
int direct(int source) { return BUS_CODE_SOURCE_BASE + source; }

// Per-entry mask words, then n u16 values; the entries of `v` are marked.
std::string maskedTable(const std::map<int, int>& v, int n) {
  std::vector<u32> words(static_cast<std::size_t>((n + 31) / 32));
  std::string s;
  for (const auto& [i, x] : v) words[static_cast<std::size_t>(i / 32)] |= 1u << (i % 32);
  for (u32 w : words) s += hexBytes(w, 4);
  for (int i = 0; i < n; ++i) s += hexBytes(static_cast<unsigned>(v.count(i) ? v.at(i) : 0), 2);
  return s;
}
std::string sendBus(int me, const std::map<int, int>& codes) {
  return "send 47 00000000" + hexBytes(static_cast<unsigned>(me), 1) + maskedTable(codes, N_BUSES) + "00";
}
// Direction always marked; links by list position; the AUX pairs' mask and flags, pair 0 linked or not.
std::string sendLink(int direction, const std::map<int, int>& links, bool auxPair0 = false) {
  return "send 37 00000000 00000001" + maskedTable(links, N_LINK_KEYS) + hexBytes(static_cast<unsigned>(direction), 1) +
         (auxPair0 ? "00" "00000001" "01" : "00" "00000000" "00") + repeat("00", N_AUX_LINK_PAIRS - 1);
}
// One panel's crosspoint buttons, marked; no option.
std::string sendXpt(int panel, const std::map<int, int>& buttons) {
  return "send 38 00000000 " + hexBytes(static_cast<unsigned>(panel), 2) + maskedTable(buttons, KzifXptAssign::N_BUTTONS) + "00";
}

// A bus echo body: mask, M/E, three bus mask words, 89 codes, flip.
struct Echo {
  std::string body;
  unsigned at(std::size_t byte, std::size_t n) const {
    return static_cast<unsigned>(std::stoul(body.substr(2 * byte, 2 * n), nullptr, 16));
  }
  int code(int b) const { return static_cast<int>(at(17 + 2 * static_cast<std::size_t>(b), 2)); }
  bool marked(int b) const { return (at(5 + 4 * static_cast<std::size_t>(b / 32), 4) >> (b % 32)) & 1u; }
};
// The last bus echo of M/E me.
std::optional<Echo> echoOf(const Lines& out, int me) {
  std::optional<Echo> e;
  for (const auto& l : out)
    if (l.rfind("msg 47 ", 0) == 0 && Echo{l.substr(7)}.at(4, 1) == static_cast<unsigned>(me)) e = Echo{l.substr(7)};
  return e;
}

// Where the trace leaves the routing: "context target" for M/E inputs, the target for the
// others, "mix target" for the AUX mixers.
std::map<std::string, std::string> routing(const Lines& out) {
  std::map<std::string, std::string> r;
  std::string context, drv, name, a, b;
  for (const auto& l : out) {
    std::istringstream(l) >> drv >> name >> a >> b;
    if (name == "setMeContext") context = a;
    if (name == "setMeInput") r[context + " " + a] = b;
    if (name == "setAuxInput" || name == "setDskInput") r[a] = b;
    if (name == "setAuxTransition") r["mix " + a] = b;
  }
  return r;
}

std::vector<std::pair<int, int>> uskCalls;

class BusTest : public SimTest {
 protected:
  void SetUp() override {
    initCategorySourceLink();
    initCategoryXpt();
    initCategoryOperate();
    initCategoryBus();
    boot({.trace = true});
    settle();
    uskCalls.clear();
  }
  void TearDown() override {
    CategoryBus::setUskSourceObserver(nullptr);
    category::CategoryExtendedDisplay::get().setEnable(0);
    SimTest::TearDown();
  }
  Lines play(const std::vector<std::string>& script) {
    lines.clear();
    for (const auto& l : script) EXPECT_TRUE(runner->execute(l)) << l << ": " << runner->error();
    return lines;
  }
  static CategoryBus& bus(int me) { return CategoryBus::get(me); }
  static KzifOperate& operate() { return category::CategoryOperate::get().record(0); }
};

}  // namespace

// Each bus group's list, by its size and the M/E outputs at its edges; bus 12 takes anything.
TEST(BusSources, EachGroupTakesItsListOfSources) {
  auto allowed = [](int bus) {
    std::vector<int> list;
    for (int s = -1; s < 400; ++s)
      if (isAllowedSource(bus, s)) list.push_back(s);
    return list;
  };
  auto outputs = [](const std::vector<int>& list) {
    std::string s;
    for (int v : list)
      if (150 <= v && v <= 165) s += std::to_string(v) + " ";
    return s;
  };
  const auto a = allowed(0), b = allowed(16), u = allowed(72), d = allowed(40);
  EXPECT_EQ((std::array{a.size(), b.size(), u.size(), d.size(), allowed(12).size(), allowed(89).size()}),
            (std::array<std::size_t, 6>{60, 58, 54, 75, 400, 0}));
  EXPECT_EQ(outputs(a) + "| " + outputs(b) + "| " + outputs(d), "150 151 152 154 155 156 | 150 152 154 156 | 150 151 152 153 154 155 156 157 ");
  EXPECT_EQ(allowed(11), a);
  EXPECT_EQ(allowed(88), d);
}

TEST_F(BusTest, ColdStartTurnsUnresolvableCodesBlackAndRoutesEveryBus) {
  boot({.trace = true});
  const Lines out = play({"field"});
  // Every code is 0, button 0 of panel 0, unassigned at start: black on every bus M/E 0 validates
  // (all shared buses too), except the free bus 12.
  EXPECT_EQ(only(out, "msg 47 ").at(0), "msg 47 0000000000ffffefffffffffff01ffffff" + repeat("04df", 12) + "0000" +
                                           repeat("04df", 76) + "00");
  // Black on the 16 M/E bus inputs and the 32 key inputs of the four M/Es, on AUX 1..16 with both
  // sides of the 4 mixers (which stand at their end), on the 3 extended outputs and the 8 DSK inputs.
  const auto r = routing(out);
  EXPECT_EQ(r.size(), 16u + 32u + 16u + 4u + 4u + 3u + 8u);
  for (const auto& [target, source] : r) EXPECT_EQ(source, target.starts_with("mix") ? "1" : "0x1193") << target;
  category::CategoryExtendedDisplay::get().setEnable(1);  // it owns the third extended output
  EXPECT_EQ(routing(play({"field"})).count("0x1292"), 0u);
  // Stored as in memory: codes little-endian from offset 20.
  const u8* nv = platform::nvWindow() + BP::instance().shareOffset(KzifBus::TYPE_ID, 0);
  EXPECT_EQ(nv[20] | nv[21] << 8 | nv[44] << 16, 0x04df);
}

TEST_F(BusTest, RefusedBusesAreEchoedAtTheirCurrentCodeAndTheRestIsTaken) {
  // Taken: input 1 on the A bus, DSK programme on an extended output. Refused: DSK programme on the
  // B bus, a panel 3 button, an M/E output on an upstream key bus, no source.
  const Lines out = play({sendBus(0, {{0, direct(10)}, {13, direct(170)}, {1, direct(170)}, {2, 0x0305},
                                      {72, direct(150)}, {24, direct(303)}}),
                          "field"});
  const auto e = echoOf(out, 0);
  EXPECT_EQ((std::array{e->code(0), e->code(13)}), (std::array{direct(10), direct(170)}));
  for (int b : {1, 2, 72, 24}) EXPECT_EQ(e->marked(b) ? e->code(b) : -1, BUS_CODE_BLACK) << b;
  EXPECT_EQ(routing(out).at("0x3210 0x1200") + " " + routing(out).at("0x1290"), "0x1100 0x11c0");
}

// A record marking every bus is judged a word of buses at a time: the same refusals at the edges of
// each group, in each mask word, and the same take of an AUX mix bus, as a record of a few buses.
TEST_F(BusTest, ARecordOfEveryBusRefusesAndTakesAsOneOfAFewBuses) {
  play({"send 29 00000001 04 00 00 00 00", sendBus(0, {{24, direct(10)}}), "field"});
  operate().auxMixEnable.value[0] = 1;
  operate().auxMixRate.value[0] = 4;
  std::map<int, int> all;
  for (int b = 0; b < N_BUSES; ++b) all[b] = direct(10 + b % 20);
  const std::map<int, int> refused = {{1, direct(170)}, {2, 0x0305},       {5, direct(150)}, {41, direct(303)},
                                      {44, direct(400)}, {72, direct(150)}, {88, direct(234)}, {11, direct(9)}};
  const std::map<int, int> taken = {{12, direct(314)}, {13, direct(170)}, {87, direct(233)}, {24, direct(11)},
                                    {0, direct(223)},   {64, direct(10)}};
  for (const auto& [b, code] : refused) all[b] = code;
  for (const auto& [b, code] : taken) all[b] = code;
  const Lines out = play({sendBus(0, all), "field"});
  const auto e = echoOf(out, 0);
  for (const auto& [b, code] : refused) EXPECT_EQ(e->code(b), BUS_CODE_BLACK) << b;
  for (const auto& [b, code] : taken) EXPECT_EQ(e->code(b), code) << b;
  for (int b : {3, 31, 32, 63, 65, 86}) EXPECT_EQ(e->code(b), direct(10 + b % 20)) << b;
  // AUX 1 mixes from the source it held before the record.
  const auto r = routing(out);
  EXPECT_EQ(r.at("0x1220") + " " + r.at("0x1221") + " " + r.at("mix 0x1220"), "0x1101 0x1100 0.25");
}

TEST_F(BusTest, AnMeCannotTakeItsOwnOutputThroughAnotherMe) {
  // In one field: M/E 0 takes M/E 1's output, so M/E 1 may not take M/E 0's; its free bus may.
  Lines out = play({sendBus(0, {{0, direct(154)}}), sendBus(1, {{0, direct(150)}, {12, direct(150)}}), "field"});
  EXPECT_EQ((std::array{echoOf(out, 0)->code(0), echoOf(out, 1)->code(0), echoOf(out, 1)->code(12)}),
            (std::array{direct(154), int{BUS_CODE_BLACK}, direct(150)}));
  // M/E 0 lets go as M/E 1 takes M/E 0's output; in the next field M/E 0 may take neither M/E 1's
  // output nor its own on buses 0..11, both above them.
  EXPECT_EQ(echoOf(play({sendBus(0, {{0, direct(10)}}), sendBus(1, {{0, direct(150)}}), "field"}), 1)->code(0),
            direct(150));
  out = play({sendBus(0, {{5, direct(155)}, {28, direct(155)}, {0, direct(150)}, {24, direct(150)}}), "field"});
  const auto e = echoOf(out, 0);
  EXPECT_EQ((std::array{e->code(5), e->code(0), e->code(28), e->code(24)}),
            (std::array{int{BUS_CODE_BLACK}, direct(10), direct(155), direct(150)}));
}

TEST_F(BusTest, TheLoopRuleSeesEverySelectionMadeBeforeItInTheSameField) {
  // Selections straight on the bus, with no field between them and the record that is checked.
  ASSERT_TRUE(bus(0).selectSource(0, 154));
  EXPECT_EQ(echoOf(play({sendBus(1, {{0, direct(150)}}), "field"}), 1)->code(0), BUS_CODE_BLACK);
  // Taken and let go again before the check: only the last selection counts.
  ASSERT_TRUE(bus(0).selectSource(1, 154));
  ASSERT_TRUE(bus(0).selectSource(1, 10));
  ASSERT_TRUE(bus(0).selectSource(0, 11));
  EXPECT_FALSE(bus(1).checkReentry(0, 154));  // its own output
  EXPECT_TRUE(bus(1).checkReentry(0, 150));
  EXPECT_EQ(echoOf(play({sendBus(1, {{0, direct(150)}}), "field"}), 1)->code(0), direct(150));
  // Now M/E 1 carries M/E 0: M/E 0 may not take M/E 1's output back, on any loop-checked bus.
  EXPECT_FALSE(bus(0).selectSource(3, 154));
  EXPECT_TRUE(bus(0).selectSource(12, 154));
}

TEST_F(BusTest, ALoopRestoredFromTheBackupImageIsRefusedNotWalkedForEver) {
  // M/E 0 carrying its own output and M/E 2's: a table no checked change could build.
  bus(0).record(0).code[0] = static_cast<u16>(direct(150));
  bus(0).record(0).code[1] = static_cast<u16>(direct(158));
  BP::instance().saveBackup();
  const Lines out = play({"restart resume", sendBus(2, {{0, direct(154)}}), "field"});
  EXPECT_EQ(echoOf(out, 2)->code(0), BUS_CODE_BLACK);
  // Its own output is allowed on the bus and stays; M/E 2's is allowed nowhere.
  EXPECT_EQ(routing(out).at("0x3210 0x1200") + " " + routing(out).at("0x3210 0x1201"), "0x11a0 0x1193");
}

TEST_F(BusTest, TheLoopTableFollowsACrosspointTableBroughtByAWarmStart) {
  // M/E 1's A bus on button 5 of panel 0, input 1 there: M/E 1 carries no M/E.
  play({sendXpt(0, {{5, 10}}), sendBus(1, {{0, 0x0005}}), "field"});
  // The image brings M/E 0's programme on that button, under the same bus code.
  category::CategoryXpt::get().record(0).source[5] = 150;
  BP::instance().saveBackup();
  play({"restart resume", "field"});
  EXPECT_EQ(echoOf(play({sendBus(0, {{0, direct(154)}}), "field"}), 0)->code(0), BUS_CODE_BLACK);
  // Off the button, M/E 1 carries nothing and M/E 0 may take its output.
  play({sendBus(1, {{0, direct(10)}}), "field"});
  EXPECT_EQ(echoOf(play({sendBus(0, {{0, direct(154)}}), "field"}), 0)->code(0), direct(154));
}

// The same on each panel's table: a table brought for another panel's button moves nothing.
TEST_F(BusTest, TheLoopTableFollowsOnlyTheTableOfTheButtonsPanel) {
  for (int panel = 0; panel < 3; ++panel) {
    SCOPED_TRACE(panel);
    const int other = (panel + 1) % 3;
    play({sendXpt(panel, {{5, 10}}), sendXpt(other, {{5, 10}}), sendBus(1, {{0, panel << 8 | 5}}), "field"});
    category::CategoryXpt::get().record(other).source[5] = 150;
    BP::instance().saveBackup();
    play({"restart resume", "field"});
    EXPECT_EQ(echoOf(play({sendBus(0, {{0, direct(154)}}), "field"}), 0)->code(0), direct(154));
    play({sendBus(0, {{0, direct(10)}}), "field"});
    category::CategoryXpt::get().record(panel).source[5] = 150;
    BP::instance().saveBackup();
    play({"restart resume", "field"});
    EXPECT_EQ(echoOf(play({sendBus(0, {{0, direct(154)}}), "field"}), 0)->code(0), direct(10));  // refused
    play({sendBus(1, {{0, direct(10)}}), sendXpt(panel, {{5, 10}}), sendXpt(other, {{5, 10}}), "field"});
  }
}

TEST_F(BusTest, ABusOnAButtonIsRoutedAnewWhenTheButtonsTableChangesUnderTheSameCode) {
  // The A bus and key 1's fill on button 5 of panel 0, input 1 there; the B bus on input 3 directly.
  const Lines before = play({sendXpt(0, {{5, 10}}), sendBus(0, {{0, 0x0005}, {1, direct(12)}, {2, 0x0005}}), "field"});
  EXPECT_EQ(routing(before).at("0x3210 0x1200") + " " + routing(before).at("0x3210 0x1204"), "0x1100 0x1100");
  // A warm start brings input 2 on the button; the codes stay as they were.
  category::CategoryXpt::get().record(0).source[5] = 11;
  BP::instance().saveBackup();
  const Lines out = play({"restart resume", "field"});
  EXPECT_EQ(bus(0).record(0).code[0], 0x0005);
  const auto r = routing(out);
  EXPECT_EQ(r.at("0x3210 0x1200") + " " + r.at("0x3210 0x1204") + " " + r.at("0x3210 0x1201"), "0x1101 0x1101 0x1102");
}

TEST_F(BusTest, ACodeWrittenStraightIntoTheRecordIsValidatedInTheNextField) {
  play({sendBus(0, {{1, direct(12)}}), "field", "field"});
  // M/E 2's output is allowed on no bus of M/E 0; nothing but the record's code says so.
  bus(0).record(0).code[1] = static_cast<u16>(direct(158));
  const Lines out = play({"field"});
  EXPECT_EQ(echoOf(out, 0)->code(1), BUS_CODE_BLACK);
  EXPECT_EQ(routing(out).at("0x3210 0x1201"), "0x1193");
}

TEST_F(BusTest, ReassigningAButtonKeepsTheBusesThatUsedItOnTheirSource) {
  play({sendXpt(0, {{5, 12}}), sendBus(0, {{0, 0x0005}, {30, 0x0005}, {12, 0x0105}}), "field"});
  const Lines out = play({sendXpt(0, {{5, 16}}), "field"});
  const auto e0 = echoOf(out, 0);
  EXPECT_EQ((std::array{e0->code(0), e0->code(30), e0->code(12)}), (std::array{direct(12), direct(12), 0x0105}));
  EXPECT_EQ(routing(out).at("0x3210 0x1200"), "0x1102");
  // Of the shared buses only the AUX bus that changed is copied into the other M/Es.
  EXPECT_EQ(echoOf(out, 2)->body.substr(10, 24), "40000000" "00000000" "00000000");  // bus 30 alone
  EXPECT_EQ(echoOf(out, 2)->code(30), direct(12));
}

TEST_F(BusTest, AReassignedButtonIsFoundOnAnyBusAmongDirectCodes) {
  // Button codes alone among direct codes, in the last whole group of four buses and on the last
  // bus, beside -1 and a code with its top bit set.
  play({sendXpt(1, {{9, 12}, {10, 13}}), "field"});
  play({sendBus(0, {{84, direct(10)}, {85, 0x0109}, {86, 0xFFFF}, {87, 0x8000}, {88, 0x010A}}), "field"});
  const Lines out = play({sendXpt(1, {{9, 16}, {10, 17}}), "field"});
  const auto e = echoOf(out, 0);
  EXPECT_EQ((std::array{e->code(84), e->code(85), e->code(88)}), (std::array{direct(10), direct(12), direct(13)}));
}

TEST_F(BusTest, AMarkedButtonMovesItsBusesOnEveryMeEvenWhenItsValueStays) {
  // Buttons 7 and 55 (column 7, rows 0 and 2) of panel 2 on inputs 14 and 20, selected on M/E 3
  // and M/E 1 (M/E 1's bus 3 on panel 1's button 7, unassigned: black); then button 7 marked again
  // with its own value, and 300 on button 31 (column 7).
  play({sendXpt(2, {{7, 14}, {55, 20}}), sendBus(3, {{4, 0x0207}}), sendBus(1, {{2, 0x0237}, {3, 0x0107}}), "field"});
  const Lines out = play({sendXpt(2, {{7, 14}, {31, 300}}), "field"});
  EXPECT_EQ((std::array{echoOf(out, 3)->code(4), echoOf(out, 1)->code(2), echoOf(out, 1)->code(3)}),
            (std::array{direct(14), direct(20), int{BUS_CODE_BLACK}}));
}

TEST_F(BusTest, FlipFollowsTheBackgroundEndFlagAndTurnsTheBackgroundOver) {
  play({"send 2 00000002 01 00 01 00 00 00 00 00 00 00", "field"});  // M/E 1's flip follows
  category::CategoryFaderEvent::get().transition(bkgdTransIndex[1]).endFlag = -1;
  const Lines out = play({"field"});
  EXPECT_EQ((std::array{echoOf(out, 1)->at(0, 4), echoOf(out, 1)->at(195, 1)}), (std::array{KzifBus::FLIP_BIT, 1u}));
  EXPECT_EQ(only(out, "msg 2 "), Lines{"msg 2 0000000101010100000000000000"});
  EXPECT_FALSE(echoOf(out, 0));
  category::CategoryBkgd::get(2).requestFlip();
  EXPECT_EQ(only(play({"field"}), "msg 2 "), Lines{"msg 2 0000000202000100000000000000"});
}

TEST_F(BusTest, RowSwapFollowsTheOperationSettingAndTheFlip) {
  // {select, mode, M/E 3's mode, end flag, swap}
  const std::array<int, 5> cases[] = {{0, 0, 1, -1, 0}, {0, 1, 0, 1, 0}, {0, 1, 0, -1, 1}, {0, 2, 0, 1, 1},
                                      {0, 2, 0, -1, 0}, {1, 0, 1, -1, 1}, {1, 1, 2, -1, 0}, {1, 2, 2, 1, 1},
                                      {2, 1, 1, -1, 0}};
  for (const auto& [select, mode, meMode, endFlag, swap] : cases) {
    operate().busRowModeSelect = static_cast<u8>(select);
    operate().busRowMode = static_cast<u8>(mode);
    operate().busRowModeMe.value[3] = static_cast<u8>(meMode);
    category::CategoryFaderEvent::get().transition(bkgdTransIndex[3]).endFlag = endFlag;
    play({"field"});
    EXPECT_EQ(bus(3).rowSwap(), swap) << select << " " << mode << " " << meMode << " " << endFlag;
  }
}

TEST_F(BusTest, AuxMixDissolvesFromTheOldToTheNewSourceOverItsDuration) {
  // Input 1 cuts in while the mix is off; input 2 then mixes from it over 4 fields of a 720-line
  // format, retargeted to input 3 halfway and still from input 1.
  play({"send 29 00000001 04 00 00 00 00", sendBus(0, {{24, direct(10)}}), "field"});
  operate().auxMixEnable.value[0] = 1;
  operate().auxMixRate.value[0] = 4;
  Lines mixes;
  for (int f = 0; f < 4; ++f) {
    const auto r = routing(play({f % 2 ? "#" : sendBus(0, {{24, direct(11 + f / 2)}}), "field"}));
    mixes.push_back(r.at("0x1220") + " " + r.at("0x1221") + " " + r.at("mix 0x1220") + " " +
                    std::to_string(category::CategoryTransitionStatus::get().auxMixStatus(0)));
  }
  EXPECT_EQ(mixes, (Lines{"0x1101 0x1100 0.25 1", "0x1101 0x1100 0.5 1", "0x1102 0x1100 0.75 1", "0x1102 0x1100 1 0"}));
  // The status is kept for the four mixers only.
  for (int ch : {-1, category::CategoryTransitionStatus::N_AUX_MIX})
    EXPECT_THROW(category::CategoryTransitionStatus::get().auxMixStatus(ch), assert::AssertException) << ch;
  // A rate of 1 frame: the new source cuts in in its field.
  operate().auxMixRate.value[0] = 1;
  EXPECT_EQ(routing(play({sendBus(0, {{24, direct(20)}}), "field"})).at("mix 0x1220"), "1");
  // Interlaced, a 2-frame mix steps a whole frame in the first field of each frame only; started
  // in a second field, it is done in the fourth.
  operate().auxMixRate.value[0] = 2;
  play({"send 29 00000001 02 00 00 00 00", "field"});
  Lines interlaced;
  for (int f = 0; f < 4; ++f)
    interlaced.push_back(routing(play({f == 0 ? sendBus(0, {{24, direct(21)}}) : "#", "field"})).at("mix 0x1220"));
  EXPECT_EQ(interlaced, (Lines{"0", "0.5", "0.5", "1"}));
}

TEST_F(BusTest, SourceLinkFollowsTheLeadingBusOfEachPair) {
  // Input 1 links to input 2, input 2 to input 3; the first bus of a pair leads, then the second.
  EXPECT_EQ(echoOf(play({sendLink(0, {{0, 11}, {1, 12}}), sendBus(0, {{2, direct(10)}}), "field"}), 0)->code(3),
            direct(11));
  EXPECT_EQ(echoOf(play({sendLink(1, {}), sendBus(0, {{3, direct(11)}}), "field"}), 0)->code(2), direct(12));
  // AUX pairs while their flag is set; the follower is shared by every M/E.
  EXPECT_EQ(echoOf(play({sendLink(0, {}, true), sendBus(0, {{24, direct(11)}}), "field"}), 3)->code(25), direct(12));
  // The pairs of the second and third mask words: AUX 5 (buses 32, 33) and AUX 21 (64, 65).
  std::string pairs = "00" + hexBytes((1u << 4) | (1u << 20), 4);
  for (int p = 0; p < N_AUX_LINK_PAIRS; ++p) pairs += p == 4 || p == 20 ? "01" : "00";
  for (int leader : {32, 64}) {
    const std::string link = "send 37 00000000 00000001" + maskedTable({}, N_LINK_KEYS) + "00" + pairs;
    EXPECT_EQ(echoOf(play({link, sendBus(0, {{leader, direct(11)}}), "field"}), 3)->code(leader + 1), direct(12)) << leader;
  }
  // A link-suppress of the system settings skips the follow of the next record, once.
  EXPECT_FALSE(echoOf(play({"send 29 00000002 00 01 00 00 00", sendBus(0, {{2, direct(11)}}), "field"}), 0)->marked(3));
  EXPECT_EQ(echoOf(play({"field", sendBus(0, {{2, direct(11)}}), "field"}), 0)->code(3), direct(12));
  // A marked 0, or a 1 whose bit is clear, suppresses nothing.
  EXPECT_EQ(echoOf(play({"send 29 00000002 00 00 00 00 00", sendBus(0, {{2, direct(10)}}), "field"}), 0)->code(3),
            direct(11));
  EXPECT_EQ(echoOf(play({"send 29 00000000 00 01 00 00 00", sendBus(0, {{2, direct(11)}}), "field"}), 0)->code(3),
            direct(12));
}

// A panel press is a one-bus record: a pending link-suppress skips the follow of the press, once.
TEST_F(BusTest, ALinkSuppressIsTakenByThePanelPressAfterIt) {
  const auto press = [](int code, int state) {
    char line[80];
    std::snprintf(line, sizeof line, "send 92 0000 00 0000 00 00 02 %04x %02x 00", code, state);
    return std::string(line);
  };
  // Button 27 of panel 0 holds input 2, which links to input 3.
  play({sendLink(0, {{1, 12}}), sendXpt(0, {{27, 11}}), "field"});
  auto e = echoOf(play({press(1127, 1), press(1127, 0), "field"}), 0);
  EXPECT_EQ((std::array{e->code(2), e->code(3)}), (std::array{27, direct(12)}));
  play({sendBus(0, {{2, direct(10)}, {3, direct(10)}}), "field"});
  e = echoOf(play({"send 29 00000002 00 01 00 00 00", press(1127, 1), press(1127, 0), "field"}), 0);
  EXPECT_EQ((std::array{e->code(2), int{e->marked(3)}}), (std::array{27, 0}));
  EXPECT_EQ(bus(0).record(0).code[3], direct(10));
  // Once: a field with no leading change ends it, and the next press is followed.
  play({sendBus(0, {{2, direct(10)}}), "field", "field"});
  EXPECT_EQ(echoOf(play({press(1127, 1), press(1127, 0), "field"}), 0)->code(3), direct(12));
}

// A row press is held to the loop rule as a one-bus record of the same code is: another M/E's output
// that carries this M/E and this M/E's own are refused on a loop-checked bus, any other source is
// taken, and the free bus takes an output.
TEST_F(BusTest, ARowPressIsHeldToTheLoopRuleAsARecordIs) {
  const auto event = [](int row, int button, int state) {
    char line[80];
    std::snprintf(line, sizeof line, "send 92 0000 00 0000 00 00 %02x %04x %02x 00", row, 1100 + button, state);
    return std::string(line);
  };
  struct Case {
    int row, button, want;
  };
  const Case cases[] = {{0, 5, BUS_CODE_BLACK}, {1, 6, BUS_CODE_BLACK}, {1, 7, 7}, {BUS_FREE, 5, 5}};
  for (bool byPress : {true, false}) {
    SCOPED_TRACE(byPress);
    // Buttons 5..7 of panel 0: M/E 1's programme, M/E 0's own, input 1; M/E 1 carries M/E 0.
    play({sendXpt(0, {{5, 154}, {6, 150}, {7, 10}}),
          sendBus(0, {{0, BUS_CODE_BLACK}, {1, BUS_CODE_BLACK}, {BUS_FREE, BUS_CODE_BLACK}}), sendBus(1, {{0, direct(150)}}),
          "field", "field"});
    // The rule's own edges: the last loop-checked bus and the first bus past it, either side.
    EXPECT_EQ((std::array{bus(0).checkReentry(BUS_LOOP_CHECKED_LAST, 154), bus(0).checkReentry(BUS_LOOP_CHECKED_LAST + 1, 154),
                          bus(0).checkReentry(-1, 150), bus(0).checkReentry(0, 150), bus(0).checkReentry(0, 10)}),
              (std::array{false, true, true, false, true}));
    for (const Case& c : cases) {
      if (byPress)
        play({event(c.row, c.button, 1), event(c.row, c.button, 0), "field"});
      else
        play({sendBus(0, {{c.row, c.button}}), "field"});
      EXPECT_EQ(bus(0).record(0).code[c.row], c.want) << c.row << " " << c.button;
    }
  }
}

// Each M/E follows only the pairs it validates: M/E 1 up to the downstream keys, M/E 2 and 3 the
// keyers alone; the copies they hold of shared buses are left to the M/E that owns them.
TEST_F(BusTest, EachMeFollowsOnlyThePairsOfItsOwnBuses) {
  play({sendLink(0, {{0, 11}}, true), "field"});
  auto e = echoOf(play({sendBus(2, {{2, direct(10)}, {16, direct(10)}, {24, direct(10)}}), "field"}), 2);
  EXPECT_EQ((std::array{e->code(3), int{e->marked(17)}, int{e->marked(25)}}), (std::array{direct(11), 0, 0}));
  e = echoOf(play({sendBus(1, {{16, direct(10)}, {24, direct(10)}}), "field"}), 1);
  EXPECT_EQ((std::array{e->code(17), int{e->marked(25)}}), (std::array{direct(11), 0}));
}

TEST_F(BusTest, UpstreamKeyBusesPassOnlyTheirOwnSourcesOnceEachWay) {
  CategoryBus::setUskSourceObserver([](int usk, int source) {
    uskCalls.push_back({usk, source});
    bus(0).setUskSource(source + 1, usk);  // an answer to the hand-off is not taken
  });
  play({sendBus(0, {{72, direct(10)}}), "field"});
  // From the assignment's side nothing goes back; upstream key 17 does not exist.
  for (auto [source, usk] : {std::pair{12, 1}, std::pair{13, 17}}) bus(0).setUskSource(source, usk);
  // A refused bus still resolving to no upstream key source (302) is not passed on.
  bus(0).record(0).code[74] = 0x0000;
  play({sendBus(0, {{74, direct(150)}}), "field"});
  EXPECT_EQ(uskCalls, (std::vector<std::pair<int, int>>{{0, 10}}));
  // Buses -1 and 89 do not exist; 0 and 88 do.
  ASSERT_TRUE(bus(0).selectSource(0, 13));
  ASSERT_TRUE(bus(0).selectSource(88, 14));
  EXPECT_EQ((std::array{bus(0).getSource(72), bus(0).getSource(73), bus(0).getSource(-1), bus(0).getSource(89),
                        bus(0).getSource(0), bus(0).getSource(88)}),
            (std::array{10, 12, -1, -1, 13, 14}));
}

// The assignment's sources reach the buses as a record marking one bus would: a source the bus
// does not take leaves the code that stands, marked all the same.
TEST_F(BusTest, AnUpstreamKeySourceIsTakenOrRefusedAsAOneBusRecord) {
  play({sendBus(0, {{74, direct(20)}}), "field"});
  bus(0).setUskSource(150, 2);  // an M/E output: no upstream key bus takes one
  bus(0).setUskSource(11, 3);
  const auto e = echoOf(play({"field"}), 0);
  ASSERT_TRUE(e.has_value());
  EXPECT_EQ((std::array{e->marked(74), e->marked(75), e->marked(76)}), (std::array{true, true, false}));
  EXPECT_EQ((std::array{e->code(74), e->code(75)}), (std::array{direct(20), direct(11)}));
}

TEST_F(BusTest, KeyerAndDskRoutingTakeTheKeyBusOnlyWithASeparateKey) {
  play({sendBus(1, {{4, direct(10)}, {5, direct(11)}, {18, direct(140)}, {19, direct(220)}}), "field"});
  lines.clear();
  bus(1).applyKeyXpt(1, 1, 1);
  bus(1).applyDskXpt(1, 1, 0);
  EXPECT_EQ(only(lines, "drv"), (Lines{"drv setMeContext 0x3211", "drv setMeInput 0x1206 0x1100",
                                       "drv setMeInput 0x1207 0x1101", "drv setDskInput 0x1212 0x1120",
                                       "drv setDskInput 0x1213 0x1120"}));
  // Keyers and DSKs 0..3 only: one either side is refused by the bus's own check, before any
  // driver call.
  lines.clear();
  for (int n : {-1, 4}) {
    EXPECT_THROW(bus(1).applyKeyXpt(n, 1, 1), assert::AssertException) << n;
    EXPECT_THROW(bus(1).applyDskXpt(n, 1, 0), assert::AssertException) << n;
  }
  EXPECT_EQ(only(lines, "drv"), Lines{});
  const Lines refused = only(lines, "log [ERR]");
  ASSERT_EQ(refused.size(), 4u);
  for (const std::string& l : refused)
    EXPECT_TRUE(l.starts_with("log [ERR] Assertion failed: Main/bus(") && l.ends_with(") 0 <= n && n < 4")) << l;
  bus(1).applyKeyXpt(3, 0, 0);
  bus(1).applyDskXpt(3, 0, 0);
  EXPECT_EQ(only(lines, "drv"), (Lines{"drv setMeContext 0x3211", "drv setMeInput 0x120a 0x1193", "drv setMeInput 0x120b 0x1193",
                                       "drv setDskInput 0x1216 0x1193", "drv setDskInput 0x1217 0x1193"}));
}

TEST_F(BusTest, HeldSendsDoNotMakeTheLinkFollowAgain) {
  // Input 1 links to input 2. While the System Manager does not read, the selections of two
  // fields wait in the backlog; the follow acts on each change in its own field only, so the
  // later choice of bus 3 stands.
  play({sendLink(0, {{0, 11}}), "field", "drain off"});
  for (int i = 0; i < 1000 && !AcknowledgeSender::instance().backlogged(); ++i) {
    std::vector<std::string> backlog;
    for (int me = 0; me < N_ME; ++me) backlog.push_back(sendBus(me, {{0, direct(10 + i % 8)}}));
    backlog.push_back("field");
    play(backlog);
  }
  ASSERT_TRUE(AcknowledgeSender::instance().backlogged());
  play({sendBus(0, {{2, direct(10)}}), "field"});
  EXPECT_EQ(bus(0).getSource(3), 11);
  play({sendBus(0, {{3, direct(12)}}), "field", "field"});
  EXPECT_EQ(bus(0).getSource(3), 12);
  const Lines out = play({"drain on", "field", "field"});
  EXPECT_EQ(echoOf(out, 0)->code(3), direct(12));
  EXPECT_EQ(bus(0).getSource(3), 12);
}

TEST_F(BusTest, ASelectionOnASharedBusIsCopiedIntoEveryOtherMe) {
  // The DSK and AUX buses are one set for the whole switcher: a selection taken on any M/E lands
  // on all four, whichever M/E it was made on.
  for (int from = 0; from < N_ME; ++from)
    for (int b : {BUS_DSK1_FILL, BUS_DSK4_KEY, BUS_AUX5, BUS_AUX16}) {
      const int source = 10 + from * 2 + (b % 2);
      ASSERT_TRUE(bus(from).selectSource(b, source)) << "M/E " << from << " bus " << b;
      for (int me = 0; me < N_ME; ++me) EXPECT_EQ(bus(me).getSource(b), source) << "from " << from << " to " << me;
    }
  // A refused selection is copied nowhere.
  const int before = bus(0).getSource(BUS_AUX5);
  EXPECT_FALSE(bus(2).selectSource(BUS_AUX5, -5));
  for (int me = 0; me < N_ME; ++me) EXPECT_EQ(bus(me).getSource(BUS_AUX5), before);
}

// Records of every bus, their words of codes all within the inputs that every bus takes (settled
// at once), or with one code at or past either end of that run, or anything: each bus takes or
// refuses its code as a record of that bus alone would, on every M/E.
TEST_F(BusTest, EveryWordOfCodesIsJudgedAsEachOfItsBusesAlone) {
  std::mt19937 rng(4711);
  auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
  for (int round = 0; round < 48; ++round) {
    const int me = round % N_ME;
    std::array<int, N_BUSES> before{};
    for (int b = 0; b < N_BUSES; ++b) before[static_cast<std::size_t>(b)] = bus(me).record(0).code[b];
    std::map<int, int> codes;
    for (int w = 0; w < 3; ++w) {
      const int kind = pick(4);
      const int odd = 32 * w + pick(32);
      for (int b = 32 * w; b < std::min(32 * (w + 1), N_BUSES); ++b) {
        int source = 10 + pick(32);  // inputs 1..32, taken everywhere
        if (kind == 1 && b == odd) source = std::array{9, 42, 0, 140, 223, 150}[static_cast<std::size_t>(pick(6))];
        if (kind == 2) source = pick(8) == 0 ? pick(420) - 20 : 10 + pick(32);
        if (kind == 3 && b == odd) source = 10 + pick(32) + (pick(2) ? 0x8000 : 0x400);  // far off, or negative
        // The loop rule is not what this is about: no M/E output on a bus that feeds the M/E.
        if (b <= BUS_LOOP_CHECKED_LAST && meOfOutput(source) >= 0) source = 10;
        codes[b] = (BUS_CODE_SOURCE_BASE + source) & 0xFFFF;
      }
    }
    const auto e = echoOf(play({sendBus(me, codes), "field"}), me);
    ASSERT_TRUE(e.has_value()) << round;
    for (int b = 0; b < N_BUSES; ++b) {
      const int code = codes[b];
      const bool takes = isAllowedSource(b, resolveSourceCode(code));
      EXPECT_EQ(e->code(b), takes ? code : before[static_cast<std::size_t>(b)]) << round << " bus " << b << " code " << code;
    }
  }
}

// The same for the field's validation of the codes each M/E holds: its own buses, every one an
// input but one at either end of a word, which is turned to black.
TEST_F(BusTest, TheFieldsValidationJudgesEveryWordOfTheMesOwnBusesWhole) {
  for (int me = 0; me < N_ME; ++me)
    for (int odd : {0, 31, 32, 63, 64, 88, 11, 23}) {
      const int last = bus(me).lastOwnBus();
      if (odd > last) continue;
      KzifBus& r = bus(me).record(0);
      for (int b = 0; b <= last; ++b) r.code[b] = static_cast<u16>(direct(10 + b % 32));
      r.code[odd] = static_cast<u16>(direct(odd % 2 ? 42 : 9));
      play({"field"});
      for (int b = 0; b <= last; ++b)
        EXPECT_EQ(bus(me).record(0).code[b], b == odd && !isAllowedSource(b, odd % 2 ? 42 : 9) ? BUS_CODE_BLACK : direct(10 + b % 32))
            << "M/E " << me << " bus " << b;
    }
}

// A direct selection takes exactly the sources a direct code can carry that the bus takes (the
// loop rule aside: no M/E output on a bus that feeds the M/E here).
TEST_F(BusTest, ASelectionTakesWhatADirectCodeCarriesAndTheBusTakes) {
  for (int me : {0, 2})
    for (int b = -1; b <= N_BUSES; ++b)
      for (int s = -3; s < 420; ++s) {
        if (b >= 0 && b <= BUS_LOOP_CHECKED_LAST && meOfOutput(s) >= 0) continue;
        EXPECT_EQ(bus(me).selectSource(b, s), isCodableSource(s) && isAllowedSource(b, s)) << "M/E " << me << " bus " << b << " source " << s;
      }
}
