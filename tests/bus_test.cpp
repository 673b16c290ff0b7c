// Bus selection through its records and the driver trace: validation, the loop rule, crosspoint
// reassignment, flip and row swap, AUX mixes, source link follow and the upstream key exchange.
#include <array>
#include <cstdio>
#include <map>
#include <optional>
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
using Lines = std::vector<std::string>;
using Route = std::map<std::string, std::string>;

std::string hex(unsigned long long v, int bytes) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "%0*llx", 2 * bytes, v & ((1ull << (8 * bytes)) - 1));
  return buf;
}
std::string repeat(const std::string& s, int n) { return n > 0 ? s + repeat(s, n - 1) : ""; }
int direct(int source) { return BUS_CODE_SOURCE_BASE + source; }

// Per-entry mask words, then n u16 values; the entries of `v` are marked.
std::string maskedTable(const std::map<int, int>& v, int n) {
  std::vector<u32> words(static_cast<std::size_t>((n + 31) / 32));
  std::string s;
  for (const auto& [i, x] : v) words[static_cast<std::size_t>(i / 32)] |= 1u << (i % 32);
  for (u32 w : words) s += hex(w, 4);
  for (int i = 0; i < n; ++i) s += hex(static_cast<unsigned>(v.count(i) ? v.at(i) : 0), 2);
  return s;
}
std::string sendBus(int me, const std::map<int, int>& codes, u32 mask = 0, int flip = 0) {
  return "send 47 " + hex(mask, 4) + hex(static_cast<unsigned>(me), 1) + maskedTable(codes, N_BUSES) +
         hex(static_cast<unsigned>(flip), 1);
}
// Direction always marked; links by list position; AUX pair k linked for bit k of `aux`.
std::string sendLink(int direction, const std::map<int, int>& links, u32 aux = 0) {
  std::string flags;
  for (int k = 0; k < N_AUX_LINK_PAIRS; ++k) flags += (aux >> k) & 1u ? "01" : "00";
  return "send 37 00000000 00000001" + maskedTable(links, N_LINK_KEYS) + hex(static_cast<unsigned>(direction), 1) +
         "00" + hex(aux, 4) + flags;
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
Route routing(const Lines& out) {
  Route r;
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
  static AutoTransition& bkgdTransition(int me) {
    return category::CategoryFaderEvent::get().transition(bkgdTransIndex[static_cast<std::size_t>(me)]);
  }
};

}  // namespace

TEST_F(BusTest, ColdStartTurnsUnresolvableCodesBlackAndRoutesEveryBus) {
  boot({.trace = true});
  const Lines out = play({"field"});
  // Every code is 0, button 0 of panel 0, unassigned at start: black on every bus an M/E
  // validates, except the free bus 12.
  const std::string black12 = repeat("04df", 12);
  const Lines echoes = only(out, "msg 47 ");
  EXPECT_EQ(echoes.at(0), "msg 47 0000000000ffffefffffffffff01ffffff" + black12 + "0000" + repeat("04df", 76) + "00");
  EXPECT_EQ(echoes.at(1), "msg 47 000000000100ffefff0000000000000000" + black12 + "0000" + repeat("04df", 11) +
                              repeat("0000", 65) + "00");
  EXPECT_EQ(echoes.at(3), "msg 47 000000000300000fff0000000000000000" + black12 + repeat("0000", 77) + "00");

  // Black on the four inputs of every M/E, on AUX 1..16 (both sides of the mixers, which stand at
  // their end; one side of the others) and on the three extended outputs.
  Route black;
  for (int me = 0; me < 4; ++me)
    for (int t = 0; t < 4; ++t) black["0x321" + std::to_string(me) + " 0x120" + std::to_string(t)] = "0x1193";
  for (unsigned id = 0x1220; id < 0x1240; ++id)
    black["0x" + hex(id, 2)] = id < 0x1228 || id % 2 == 0 ? "0x1193" : "none";
  for (unsigned n = 0; n < 4; ++n) black["mix 0x" + hex(0x1220 + 2 * n, 2)] = "1";
  for (const char* ext : {"0x1290", "0x1291", "0x1292"}) black[ext] = "0x1193";
  const Route r = routing(out);
  for (const auto& [target, source] : black) EXPECT_EQ(r.count(target) ? r.at(target) : "none", source) << target;
  category::CategoryExtendedDisplay::get().setEnable(1);  // it owns the third extended output
  EXPECT_EQ(routing(play({"field"})).count("0x1292"), 0u);

  // Stored as in memory: 204 bytes per M/E, codes little-endian from offset 20.
  const u8* nv = platform::nvWindow() + BP::instance().shareOffset(KzifBus::TYPE_ID, 0);
  EXPECT_EQ(BP::instance().shareOffset(KzifBus::TYPE_ID, 1) - BP::instance().shareOffset(KzifBus::TYPE_ID, 0), 208u);
  EXPECT_EQ(nv[20] | nv[21] << 8 | nv[44] << 16, 0x04df);
}

TEST_F(BusTest, RefusedBusesAreEchoedAtTheirCurrentCodeAndTheRestIsTaken) {
  // Taken: input 1 on the A bus, DSK programme on an extended output. Refused: DSK programme on the
  // B bus, a panel 3 button, an M/E 0 output not on a DSK bus, an M/E output on an upstream key
  // bus, no source; flip 2.
  const Lines out = play({sendBus(0, {{0, direct(10)}, {13, direct(170)}, {1, direct(170)}, {2, 0x0305},
                                      {16, direct(151)}, {72, direct(150)}, {24, direct(303)}},
                                 KzifBus::FLIP_BIT, 2),
                          "field"});
  const auto e = echoOf(out, 0);
  for (int b : {0, 1, 2, 13, 16, 24, 72}) EXPECT_TRUE(e->marked(b)) << b;
  EXPECT_EQ(e->code(0), direct(10));
  EXPECT_EQ(e->code(13), direct(170));
  for (int b : {1, 2, 16, 24, 72}) EXPECT_EQ(e->code(b), BUS_CODE_BLACK) << b;
  EXPECT_EQ(e->at(0, 4), 0u);
  EXPECT_EQ(routing(out).at("0x3210 0x1200"), "0x1100");
  EXPECT_EQ(routing(out).at("0x1290"), "0x11c0");
}

TEST_F(BusTest, AnMeCannotTakeItsOwnOutputThroughAnotherMe) {
  // In one field: M/E 0 takes M/E 1's output, so M/E 1 may not take M/E 0's; its free bus may.
  Lines out = play({sendBus(0, {{0, direct(154)}}), sendBus(1, {{0, direct(150)}, {12, direct(150)}}), "field"});
  EXPECT_EQ(echoOf(out, 0)->code(0), direct(154));
  EXPECT_EQ(echoOf(out, 1)->code(0), BUS_CODE_BLACK);
  EXPECT_EQ(echoOf(out, 1)->code(12), direct(150));
  // M/E 0 lets go as M/E 1 takes M/E 0's output; in the next field M/E 0 may take neither M/E 1's
  // output nor its own on buses 0..11, both above them.
  out = play({sendBus(0, {{0, direct(10)}}), sendBus(1, {{0, direct(150)}}), "field"});
  EXPECT_EQ(echoOf(out, 1)->code(0), direct(150));
  out = play({sendBus(0, {{5, direct(155)}, {28, direct(155)}, {0, direct(150)}, {24, direct(150)}}), "field"});
  const auto e = echoOf(out, 0);
  EXPECT_EQ((std::array{e->code(5), e->code(0), e->code(28), e->code(24)}),
            (std::array{int{BUS_CODE_BLACK}, direct(10), direct(155), direct(150)}));
}

TEST_F(BusTest, ALoopRestoredFromTheBackupImageIsRefusedNotWalkedForEver) {
  // M/E 0 carrying its own output and M/E 2's: a table no checked change could build.
  bus(0).record(0).code[0] = static_cast<u16>(direct(150));
  bus(0).record(0).code[1] = static_cast<u16>(direct(158));
  BP::instance().saveBackup();
  const Lines out = play({"restart resume", sendBus(2, {{0, direct(154)}}), "field"});
  EXPECT_EQ(echoOf(out, 2)->code(0), BUS_CODE_BLACK);
  // The warm start reports the flip and every one of the 89 buses once.
  EXPECT_EQ(echoOf(out, 0)->body.substr(0, 38), "00000001" "00" "ffffffff" "ffffffff" "01ffffff" "0496");
  const Route r = routing(out);
  EXPECT_EQ(r.at("0x3210 0x1200"), "0x11a0");  // allowed on the bus: it stays
  EXPECT_EQ(r.at("0x3210 0x1201"), "0x1193");  // M/E 2's output is allowed nowhere
}

TEST_F(BusTest, ReassigningAButtonKeepsTheBusesThatUsedItOnTheirSource) {
  auto xpt = [](unsigned button5) {  // panel 0, button 5 marked
    return "send 38 00000000 0000 00000020" + repeat("00", 20 + 10) + hex(button5, 2) + repeat("0000", 186) + "00";
  };
  Lines out = play({xpt(12), sendBus(0, {{0, 0x0005}, {30, 0x0005}, {12, 0x0105}}), "field"});
  EXPECT_EQ(routing(out).at("0x3210 0x1200"), "0x1102");
  out = play({xpt(16), "field"});
  const auto e0 = echoOf(out, 0);
  EXPECT_EQ((std::array{e0->code(0), e0->code(30), e0->code(12)}), (std::array{direct(12), direct(12), 0x0105}));
  EXPECT_EQ(routing(out).at("0x3210 0x1200"), "0x1102");
  // Of the shared buses only the AUX bus that changed is copied into the other M/Es.
  for (int me = 1; me < 4; ++me) {
    EXPECT_EQ(echoOf(out, me)->body.substr(10, 24), "40000000" "00000000" "00000000") << me;
    EXPECT_EQ(echoOf(out, me)->code(30), direct(12));
    EXPECT_EQ(bus(me).prevCode(30), 0);
  }
}

TEST_F(BusTest, FlipFollowsTheBackgroundEndFlagAndTurnsTheBackgroundOver) {
  play({"send 2 00000002 01 00 01 00 00 00 00 00 00 00", "field"});  // M/E 1's flip follows
  bkgdTransition(1).endFlag = -1;
  Lines out = play({"field"});
  EXPECT_EQ((std::array{echoOf(out, 1)->at(0, 4), echoOf(out, 1)->at(195, 1)}), (std::array{KzifBus::FLIP_BIT, 1u}));
  EXPECT_EQ(only(out, "msg 2 "), Lines{"msg 2 0000000101010100000000000000"});
  EXPECT_FALSE(echoOf(out, 0));
  bkgdTransition(1).endFlag = 1;
  out = play({"field"});
  EXPECT_EQ(echoOf(out, 1)->at(195, 1), 0u);
  EXPECT_EQ(only(out, "msg 2 "), Lines{"msg 2 0000000101000100000000000000"});
  category::CategoryBkgd::get(2).requestFlip();
  EXPECT_EQ(only(play({"field"}), "msg 2 "), Lines{"msg 2 0000000202000100000000000000"});
}

TEST_F(BusTest, RowSwapFollowsTheOperationSettingAndTheFlip) {
  struct Case { int select, mode, meMode, endFlag, swap; };
  const Case cases[] = {{0, 0, 1, -1, 0}, {0, 1, 0, 1, 0}, {0, 1, 0, -1, 1}, {0, 2, 0, 1, 1}, {0, 2, 0, -1, 0},
                        {1, 0, 1, -1, 1}, {1, 1, 2, -1, 0}, {1, 2, 2, 1, 1},  {2, 1, 1, -1, 0}};
  for (const Case& c : cases) {
    operate().busRowModeSelect = static_cast<u8>(c.select);
    operate().busRowMode = static_cast<u8>(c.mode);
    operate().busRowModeMe.value(3) = static_cast<u8>(c.meMode);
    bkgdTransition(3).endFlag = c.endFlag;
    play({"field"});
    EXPECT_EQ(bus(3).rowSwap(), c.swap) << c.select << " " << c.mode << " " << c.meMode << " " << c.endFlag;
  }
}

TEST_F(BusTest, AuxMixDissolvesFromTheOldToTheNewSourceOverItsDuration) {
  // Input 1 cuts in while the mix is off; input 2 then mixes from it over 4 fields of a 720-line
  // format, retargeted to input 3 halfway and still from input 1.
  play({"send 29 00000001 04 00 00 00 00", sendBus(0, {{24, direct(10)}}), "field"});
  operate().auxMixEnable.value(0) = 1;
  operate().auxMixRate.value(0) = 4;
  Lines mixes;
  for (int f = 0; f < 4; ++f) {
    const Route r = routing(play({f % 2 ? "#" : sendBus(0, {{24, direct(11 + f / 2)}}), "field"}));
    mixes.push_back(r.at("0x1220") + " " + r.at("0x1221") + " " + r.at("mix 0x1220") + " " +
                    std::to_string(category::CategoryTransitionStatus::get().auxMixStatus(0)));
  }
  EXPECT_EQ(mixes, (Lines{"0x1101 0x1100 0.25 1", "0x1101 0x1100 0.5 1", "0x1102 0x1100 0.75 1", "0x1102 0x1100 1 0"}));
  EXPECT_EQ(bus(2).prevCode(24), direct(11));
  EXPECT_EQ(bus(2).auxMix().channel(0).from, 10);
  // Half a step per field at 1080 lines; interlaced formats step in field 1 only.
  auto position = [&](const std::vector<std::string>& script) {
    play(script);
    return bus(0).auxMix().channel(0).position;
  };
  EXPECT_EQ((std::array{position({"send 29 00000001 00 00 00 00 00", sendBus(0, {{24, direct(13)}}), "field"}),
                        position({"send 29 00000001 02 00 00 00 00", "hw parity 0", "field"}), position({"field"})}),
            (std::array{0.125f, 0.125f, 0.375f}));
  // A rate of 1, a negative one, or the mix off: the new source cuts in in its field.
  for (auto [rate, enable, source] : {std::tuple{1, 1, 20}, std::tuple{-5, 1, 21}, std::tuple{7, 0, 22}}) {
    operate().auxMixRate.value(0) = static_cast<i16>(rate);
    operate().auxMixEnable.value(0) = static_cast<u8>(enable);
    play({sendBus(0, {{24, direct(source)}}), "field"});
    EXPECT_EQ(bus(0).auxMix().channel(0).position, 1.0f) << rate;
    EXPECT_EQ(bus(0).auxMix().channel(0).to, source) << rate;
  }
  // Above 999 counts as 999, which takes exactly 999 fields at 720 lines and twice that at 1080.
  for (auto [format, fields] : {std::pair{4, 999}, std::pair{0, 1998}}) {
    AuxMix mix;
    mix.setDuration(3, 5000);
    int n = 1;
    for (mix.update(3, 10, format, true); mix.running(3) && n < 5000; ++n) mix.update(3, 10, format, true);
    EXPECT_EQ(n, fields) << format;
  }
}

TEST_F(BusTest, SourceLinkFollowsTheLeadingBusOfEachPair) {
  // Input 1 links to input 2, input 2 to input 3; the first bus of a pair leads.
  Lines out = play({sendLink(0, {{0, 11}, {1, 12}}), sendBus(0, {{2, direct(10)}}), "field"});
  EXPECT_EQ(echoOf(out, 0)->code(3), direct(11));
  EXPECT_FALSE(echoOf(play({sendBus(0, {{3, direct(10)}}), "field"}), 0)->marked(2));
  out = play({sendLink(1, {}), sendBus(0, {{3, direct(11)}}), "field"});
  EXPECT_EQ(echoOf(out, 0)->code(2), direct(12));
  // AUX pairs only while their flag is set; the follower is shared by every M/E.
  EXPECT_FALSE(echoOf(play({sendLink(0, {}), sendBus(0, {{24, direct(10)}}), "field"}), 0)->marked(25));
  out = play({sendLink(0, {}, 1u), sendBus(0, {{24, direct(11)}}), "field"});
  EXPECT_EQ(echoOf(out, 0)->code(25), direct(12));
  EXPECT_EQ(echoOf(out, 3)->code(25), direct(12));
  // A link-suppress of the system settings skips the follow of the next record, once.
  out = play({"send 29 00000002 00 01 00 00 00", sendBus(0, {{2, direct(11)}}), "field"});
  EXPECT_FALSE(echoOf(out, 0)->marked(3));
  EXPECT_TRUE(bus(1).linkSuppressRequested());
  play({"field"});
  EXPECT_FALSE(bus(0).linkSuppressed());
  EXPECT_EQ(echoOf(play({sendBus(0, {{2, direct(11)}}), "field"}), 0)->code(3), direct(12));
}

TEST_F(BusTest, UpstreamKeyBusesPassOnlyTheirOwnSourcesOnceEachWay) {
  CategoryBus::setUskSourceObserver([](int usk, int source) {
    uskCalls.push_back({usk, source});
    bus(0).setUskSource(source + 1, usk);  // an answer to the hand-off is not taken
  });
  play({sendBus(0, {{72, direct(10)}}), "field"});
  EXPECT_EQ(uskCalls, (std::vector<std::pair<int, int>>{{0, 10}}));
  EXPECT_EQ(bus(0).getSource(72), 10);
  // From the assignment's side nothing goes back; bus 89 does not exist.
  for (auto [source, usk] : {std::pair{12, 1}, std::pair{12, 1}, std::pair{13, 17}}) bus(0).setUskSource(source, usk);
  EXPECT_EQ(bus(0).getSource(73), 12);
  // A refused bus still resolving to no upstream key source (302) is not passed on.
  bus(0).record(0).code[74] = 0x0000;
  play({sendBus(0, {{74, direct(150)}}), "field"});
  EXPECT_EQ(uskCalls.size(), 1u);
  EXPECT_EQ((std::array{bus(0).getSource(-1), bus(0).getSource(89)}), (std::array{-1, -1}));
}

TEST_F(BusTest, KeyerAndDskRoutingTakeTheKeyBusOnlyWithASeparateKey) {
  play({sendBus(1, {{4, direct(10)}, {5, direct(11)}, {18, direct(140)}, {19, direct(220)}}), "field"});
  lines.clear();
  bus(1).applyKeyXpt(1, 1, 1);
  bus(1).applyKeyXpt(1, 0, 1);
  bus(1).applyDskXpt(1, 1, 1);
  bus(1).applyDskXpt(1, 1, 0);
  EXPECT_EQ(only(lines, "drv"),
            (Lines{"drv setMeContext 0x3211", "drv setMeInput 0x1206 0x1100", "drv setMeInput 0x1207 0x1101",
                   "drv setMeContext 0x3211", "drv setMeInput 0x1206 0x1100", "drv setMeInput 0x1207 0x1100",
                   "drv setDskInput 0x1212 0x1120", "drv setDskInput 0x1213 0x1191", "drv setDskInput 0x1212 0x1120",
                   "drv setDskInput 0x1213 0x1120"}));
}

TEST(BusSources, AllowedListsCodesAndKzIds) {
  auto count = [](int bus) {
    int n = 0;
    for (int s = -1; s < 400; ++s) n += isAllowedSource(bus, s);
    return n;
  };
  const std::pair<int, int> sizes[] = {{0, 60}, {11, 60}, {16, 58}, {79, 54}, {13, 75}, {88, 75}, {12, 400}, {89, 0}};
  for (auto [bus, n] : sizes) EXPECT_EQ(count(bus), n) << bus;
  EXPECT_FALSE(isAllowedSource(0, 153));

  const std::pair<int, int> codes[] = {{1033, -1}, {1034, 10}, {1326, 302}, {1327, -1}, {1337, -1}, {1338, 314},
                                       {1353, 329}, {1354, -1}, {0x0300, -1}, {0x00c0, -1}, {0x8000 | 1034, -1}};
  for (auto [code, source] : codes) EXPECT_EQ(resolveSourceCode(code), source) << code;

  // The ends of the runs and the orders no formula gives.
  const std::pair<int, int> kz[] = {{41, 0x111f},  {42, 0x1193},  {141, 0x1121}, {165, 0x11af}, {171, 0x11c2},
                                    {172, 0x11c1}, {178, 0x11cc}, {182, 0x1181}, {183, 0x1193}, {184, 0x1182},
                                    {211, 0x118f}, {222, 0x1190}, {237, 0x11cf}};
  for (auto [source, id] : kz) EXPECT_EQ(sourceToKz(source), id) << source;
}
