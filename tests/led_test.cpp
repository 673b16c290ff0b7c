// Panel lamps through the wire: blink timing, one record per changed panel, incoming records as
// resend requests, unmapped codes, and the wire layouts of both lamp records (volatile: they are
// never stored).
#include <algorithm>
#include <array>
#include <string>
#include <utility>
#include <vector>

#include "Main/led.h"
#include "tests/sim_fixture.h"

namespace {

std::string z(std::size_t bytes) { return std::string(bytes * 2, '0'); }

u32 wordAt(const std::string& hex, std::size_t off) { return static_cast<u32>(std::stoul(hex.substr(off * 2, 8), nullptr, 16)); }
int byteAt(const std::string& hex, std::size_t off) { return std::stoi(hex.substr(off * 2, 2), nullptr, 16); }

// A lamp message as "49.panel lamp=value ..." or "50.me.panel lamp=value ...", listing the lamps
// its change bitmap marks.
std::string lampChanges(const std::string& msg) {
  const bool me = msg.rfind("msg 50 ", 0) == 0;
  const std::string hex = msg.substr(7);
  const std::size_t bitmap = me ? 7 : 6, lamps = me ? 47 : 50, count = me ? 309 : 350;
  std::string s = me ? "50." + std::to_string(byteAt(hex, 4)) + "." + std::to_string(byteAt(hex, 5) << 8 | byteAt(hex, 6))
                     : "49." + std::to_string(byteAt(hex, 4) << 8 | byteAt(hex, 5));
  for (std::size_t i = 0; i < count; ++i)
    if (wordAt(hex, bitmap + 4 * (i / 32)) >> (i % 32) & 1)
      s += " " + std::to_string(i) + "=" + std::to_string(byteAt(hex, lamps + i));
  return s;
}

// A lamp array: the key preset channel lamps that stand lit at rest (channel 0 on every row, and
// the panel-0 channel lamps of target 2), then `lit`.
std::string lampArray(bool me, int panel, std::initializer_list<std::pair<int, int>> lit) {
  std::vector<int> v(me ? 309 : 350, 0);
  if (me) {
    v[253] = 2;  // 350
  } else {
    v[27] = v[282] = 2;  // 2200, 3128
    if (panel == 0)
      for (int i : {298, 304, 310, 318, 326, 332, 338, 344}) v[static_cast<std::size_t>(i)] = 2;  // 3300..3346
  }
  for (auto [i, state] : lit) v[static_cast<std::size_t>(i)] = state;
  std::string h;
  for (int x : v) h += hexBytes(static_cast<unsigned>(x), 1);
  return h;
}

class LedTest : public SimTest {
 protected:
  void SetUp() override {
    initCategoryLed();
    initCategoryMeLed();
    SimTest::SetUp();
  }
  static category::CategoryLed& led() { return category::CategoryLed::get(); }
  static category::CategoryMeLed& meLed(int me) { return category::CategoryMeLed::get(me); }
  // The lamp messages a script printed (other features may report their own records).
  Lines lampMsgs(std::initializer_list<const char*> script) {
    Lines r;
    for (const auto& m : only(run(script), "msg"))
      if (m.rfind("msg 49 ", 0) == 0 || m.rfind("msg 50 ", 0) == 0) r.push_back(m);
    return r;
  }

  // Runs n fields; one line per field that sent lamps: "field: changes, changes".
  Lines fields(int first, int n) {
    Lines r;
    for (int f = first; f < first + n; ++f) {
      std::string line;
      for (const auto& m : lampMsgs({"field"})) line += (line.empty() ? "" : ", ") + lampChanges(m);
      if (!line.empty()) r.push_back(std::to_string(f) + ": " + line);
    }
    return r;
  }
};

}  // namespace

TEST_F(LedTest, BlinkingStatesAreLitTwentyFieldsAndDarkTen) {
  led().setLed(0, 2000, 11);    // lamp 73
  led().setLed(1, 2001, 12);    // lamp 74
  meLed(2).setLed(2, 5, 13);    // lamp 5
  const std::string lit = "49.0 73=1, 49.1 74=2, 50.2.2 5=3", dark = "49.0 73=0, 49.1 74=0, 50.2.2 5=0";
  EXPECT_EQ(fields(0, 85),
            (Lines{"0: " + lit, "20: " + dark, "30: " + lit, "50: " + dark, "60: " + lit, "80: " + dark}));
  // From 11 to 13 while dark: lit at once with the new value, and the phase starts again.
  led().setLed(0, 2000, 13);
  EXPECT_EQ(fields(85, 31), (Lines{"85: 49.0 73=3", "90: 49.1 74=2, 50.2.2 5=3", "105: 49.0 73=0",
                                   "110: 49.1 74=0, 50.2.2 5=0", "115: 49.0 73=3"}));
  // Written again with the state it holds: the phase runs on, not counted twice in one field.
  // Left for a steady state while lit, and blinking again later: lit at once, a fresh phase.
  led().setLed(0, 2000, 13);
  meLed(2).setLed(2, 5, 4);
  EXPECT_EQ(fields(116, 19), (Lines{"116: 50.2.2 5=4", "120: 49.1 74=2"}));
  meLed(2).setLed(2, 5, 11);
  EXPECT_EQ(fields(135, 31), (Lines{"135: 49.0 73=0, 50.2.2 5=1", "140: 49.1 74=0", "145: 49.0 73=3",
                                    "150: 49.1 74=2", "155: 50.2.2 5=0", "165: 49.0 73=0, 50.2.2 5=1"}));
}

TEST_F(LedTest, ChangedPanelsAreSentOnceEachWithTheirBitmap) {
  led().setLed(0, 200, 1);   // lamp 0
  led().setLed(0, 3351, 7);  // lamp 349, a steady value of the feature's choosing
  led().setLed(2, 2450, 2);  // lamp 180
  meLed(3).setLed(1, 423, 2);  // M/E lamp 308
  EXPECT_EQ(lampMsgs({"field"}),
            (Lines{"msg 49 00000000" "0000" "00000001" + z(36) + "20000000" + lampArray(false, 0, {{0, 1}, {349, 7}}),
                   "msg 49 00000000" "0002" + z(20) + "00100000" + z(20) + lampArray(false, 2, {{180, 2}}),
                   "msg 50 00000000" "03" "0001" + z(36) + "00100000" + lampArray(true, 1, {{308, 2}})}));
  EXPECT_EQ(lampMsgs({"field"}), Lines{});

  led().setLed(0, 200, 1);  // the same state again
  led().setLed(2, 2450, 5);
  led().setLed(2, 2450, 2);  // and back before the step
  EXPECT_EQ(lampMsgs({"field"}), Lines{});

  led().setLed(0, 200, 0);
  EXPECT_EQ(fields(0, 1), Lines{"0: 49.0 0=0"});
}

TEST_F(LedTest, IncomingRecordOnlyAsksForTheCurrentLamps) {
  led().setLed(1, 201, 2);  // lamp 1
  meLed(2).setLed(1, 450, 1);  // lamp 211
  run({"field"});
  const std::string junk = "send 49 ffffffff 0001" + std::string(2 * (44 + 350), 'f');
  EXPECT_EQ(lampMsgs({junk.c_str(), "field"}), (Lines{"msg 49 00000000" "0001" + z(44) + lampArray(false, 1, {{1, 2}})}));

  // A panel above 2 or an M/E above 3: dropped without a word. A body cut short is a wrong
  // length, which is logged.
  const std::string panel3 = "send 49 00000000 0003" + z(394), me4 = "send 50 00000000 04 0000" + z(349),
                    mePanel3 = "send 50 00000000 02 0003" + z(349);
  EXPECT_EQ(run({panel3.c_str(), me4.c_str(), mePanel3.c_str(), "send 49 00000000 0001", "field"}),
            Lines{"log [ERR] receive KzifLed dropped: length 6, record takes 400"});

  const std::string me2 = "send 50 ffffffff 02 0001" + std::string(2 * 349, 'f');
  EXPECT_EQ(lampMsgs({me2.c_str(), "field"}),
            (Lines{"msg 50 00000000" "02" "0001" + z(40) + lampArray(true, 1, {{211, 1}})}));
}

// The lamp maps' own failures are checked with the maps; here, that nothing is lit after them.
TEST_F(LedTest, UnmappedCodesAndBadPanelsTouchNoLamp) {
  EXPECT_THROW(led().setLed(0, 208, 1), assert::AssertException);  // between two lamp runs
  EXPECT_THROW(meLed(0).setLed(0, 48, 1), assert::AssertException);
  lines.clear();
  EXPECT_THROW(led().setLed(3, 200, 1), assert::AssertException);
  EXPECT_THROW(meLed(1).setLed(-1, 0, 1), assert::AssertException);
  // Reading a lamp back holds the panel to the same range, on both sides.
  for (int panel : {-1, 3}) {
    EXPECT_THROW(std::as_const(led()).led(panel, 200), assert::AssertException) << panel;
    EXPECT_THROW(std::as_const(meLed(1)).led(panel, 0), assert::AssertException) << panel;
  }
  ASSERT_EQ(lines.size(), 6u);
  for (const std::string& l : lines)
    EXPECT_TRUE(l.starts_with("log [ERR] Assertion failed: Main/led(") &&
                l.ends_with(") 0 <= panel && panel < N_CHANNELS")) << l;
  EXPECT_EQ(lampMsgs({"field"}), Lines{});
}

TEST_F(LedTest, RestartDarkensTheImageWithoutSendingIt) {
  led().setLed(0, 2400, 1);
  run({"field"});
  // Only what features light again after the start is sent (the key preset and bus row lamps).
  for (const std::string& m : lampMsgs({"restart init", "field", "restart resume", "field"}))
    EXPECT_EQ(lampChanges(m).find(" 16="), std::string::npos) << lampChanges(m);
  led().setLed(0, 2400, 1);  // the old lit state again is a change
  EXPECT_EQ(fields(0, 1), Lines{"0: 49.0 16=1"});
}

// A run of lamps is requested as its lamps one by one: the same states, the same count of
// changes, the same lamps sent, whether the run starts or ends inside a group of four compared at
// once and whichever lamp of a group changes. M/E 0 takes the runs, M/E 1 the lamps one by one,
// on panel 2, which no bus row lights.
TEST_F(LedTest, ARunOfLampsIsRequestedAsItsLampsOneByOne) {
  constexpr int PANEL = 2;
  constexpr int BASE = PANEL * category::CategoryMeLed::N_LED;
  struct Run {
    int first, n;
  };
  // The last run ends on the image's last lamp.
  const Run runs[] = {{0, 24}, {1, 7}, {3, 1}, {4, 4}, {6, 6}, {48, 3}, {305, 4}};
  auto messages = [&] {
    std::pair<std::string, std::string> sent;
    for (const auto& m : lampMsgs({"field"})) {
      const std::string c = lampChanges(m);
      if (c.starts_with("50.0.2")) sent.first = c.substr(6);
      if (c.starts_with("50.1.2")) sent.second = c.substr(6);
    }
    return sent;
  };
  for (const Run& run : runs) {
    for (int variant = 0; variant < 7; ++variant) {
      std::array<u8, 24> was{};
      std::array<u8, 24> now{};
      for (int i = 0; i < run.n; ++i) {
        was[static_cast<std::size_t>(i)] = static_cast<u8>((i + variant) % 3);
        now[static_cast<std::size_t>(i)] = was[static_cast<std::size_t>(i)];
      }
      // 0: nothing changes; 1: the first lamp; 2: the last; 3: the lamp after a group's end;
      // 4: every lamp; 5: every other one, to blinking; 6: the last but one
      if (variant == 1) now[0] = 7;
      for (int i = 0; i < run.n; ++i)
        if (variant == 2 && i == run.n - 1) now[static_cast<std::size_t>(i)] = 7;
      if (variant == 3 && run.n > 4) now[4] = 9;
      if (variant == 4)
        for (int i = 0; i < run.n; ++i) now[static_cast<std::size_t>(i)] = static_cast<u8>(now[static_cast<std::size_t>(i)] + 3);
      if (variant == 5)
        for (int i = 0; i < run.n; i += 2) now[static_cast<std::size_t>(i)] = 12;
      for (int i = 0; i < run.n; ++i)
        if (variant == 6 && i == run.n - 2) now[static_cast<std::size_t>(i)] = 5;
      for (int i = 0; i < run.n; ++i) {
        meLed(0).requestLamp(BASE + run.first + i, was[static_cast<std::size_t>(i)]);
        meLed(1).requestLamp(BASE + run.first + i, was[static_cast<std::size_t>(i)]);
      }
      messages();
      const u32 before = category::lampRequestGeneration;
      meLed(0).requestLampRun(BASE + run.first, now.data(), run.n);
      const u32 byRun = category::lampRequestGeneration - before;
      for (int i = 0; i < run.n; ++i) meLed(1).requestLamp(BASE + run.first + i, now[static_cast<std::size_t>(i)]);
      const u32 oneByOne = category::lampRequestGeneration - before - byRun;
      const std::string what = std::to_string(run.first) + "+" + std::to_string(run.n) + " variant " + std::to_string(variant);
      EXPECT_EQ(byRun, oneByOne) << what;
      int changes = 0;
      for (int i = 0; i < run.n; ++i) changes += now[static_cast<std::size_t>(i)] != was[static_cast<std::size_t>(i)];
      EXPECT_EQ(static_cast<int>(byRun), changes) << what;
      for (int index = std::max(0, run.first - 4); index < std::min(309, run.first + run.n + 4); ++index)
        EXPECT_EQ(std::as_const(meLed(0)).requested(PANEL, index), std::as_const(meLed(1)).requested(PANEL, index))
            << what << " lamp " << index;
      const auto sent = messages();
      EXPECT_EQ(sent.first, sent.second) << what;
      EXPECT_EQ(sent.first.empty(), changes == 0) << what;
    }
  }
}
