// The downstream keys through the wire, the backup image and the driver trace: the record's bytes
// both ways, the checks that drop one field and keep the rest, the transition link, priorities
// and layering, the cut that a key-on record asks for, a timed take, and the key settings.
#include <array>
#include <cmath>
#include <cstdlib>
#include <iterator>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "Driver/key.h"
#include "Driver/kz.h"
#include "Main/bp.h"
#include "Main/dsk.h"
#include "Main/faderevent.h"
#include "Main/system.h"
#include "Platform/platform.h"
#include "tests/sim_fixture.h"

using category::CategoryDsk;
using category::CategoryFaderEvent;

namespace {

// A KzifDsk wire body by the wire offsets of the record table, the two names after the fixed part.
class DskBody {
 public:
  explicit DskBody(int ch) : fixed_(96, 0) { put(4, ch, 2); }
  DskBody& put(std::size_t at, long long v, int bytes) {
    for (int i = 0; i < bytes; ++i) fixed_[at + i] = static_cast<u8>(v >> (8 * (bytes - 1 - i)));
    return *this;
  }
  DskBody& field(u32 bit, std::size_t at, std::initializer_list<long long> values, int width) {
    put(0, mask_ |= bit, 4);
    for (long long v : values) put(std::exchange(at, at + width), v, width);
    return *this;
  }
  DskBody& names(u32 mask, std::string a, std::string b) {
    names_ = {std::move(a), std::move(b)};
    return put(92, mask, 4);
  }
  std::string hex() const {
    std::string h;
    for (u8 b : fixed_) h += hexBytes(b, 1);
    for (const std::string& n : names_) {
      h += hexBytes(n.size(), 2);
      for (char c : n) h += hexBytes(static_cast<u8>(c), 1);
      h += "00";
    }
    return h;
  }

 private:
  std::vector<u8> fixed_;
  u32 mask_ = 0;
  std::array<std::string, 2> names_;
};

using Args = std::vector<std::string>;

float real(const std::string& s) { return std::strtof(s.c_str(), nullptr); }

class DskTest : public SimTest {
 protected:
  void SetUp() override {
    boot({.trace = true});
    settle();
  }
  Lines send(const DskBody& body, const char* fields = "field") {
    return run({("send 5 " + body.hex()).c_str(), fields});
  }
  static std::string msg(const DskBody& body) { return "msg 5 " + body.hex(); }
  static KzifDsk& live(int n) { return CategoryDsk::get().record(n); }
  static AutoTransition& transition(int n) { return CategoryFaderEvent::get().transition(dskTransIndex(n)); }
  // The arguments of every traced call of `name`, in order.
  static std::vector<Args> calls(const Lines& out, const std::string& name) {
    std::vector<Args> r;
    for (const auto& l : only(out, "drv " + name + " ")) {
      std::istringstream in(l.substr(5 + name.size()));
      r.emplace_back(std::istream_iterator<std::string>(in), std::istream_iterator<std::string>());
    }
    return r;
  }
  static void expectNear(const Args& got, std::size_t from, const std::vector<float>& want) {
    ASSERT_GE(got.size(), from + want.size());
    for (std::size_t i = 0; i < want.size(); ++i) EXPECT_NEAR(real(got[from + i]), want[i], 1e-4) << i;
  }
};

// Every kind of field once, with values inside their ranges.
DskBody everyKindOfField(int ch) {
  DskBody b(ch);
  b.put(6, 0x1f, 4).put(10, 0x0101010101, 5);                                        // style
  b.put(15, 0xf, 4).put(19, 1080, 2).put(21, 2000, 2).put(23, 1000, 2).put(25, 1, 1);  // adjust
  b.field(0x1, 26, {3599, 1000, 1080}, 2);
  b.put(32, 0x1f, 4).put(36, 0x040407030c, 5);  // edge, fill 12
  b.field(0x2, 41, {1, 2, 3}, 2);
  b.put(47, 0x7, 4).put(51, 0x020101, 3);  // box mask
  b.field(0x4, 54, {-5000, 4000, -4000, 5000}, 2);
  b.put(62, 0x7, 4).put(66, 1, 1).put(68, 999, 2);  // transition
  b.put(70, 0x5, 4).put(74, 1, 1).put(76, 5, 2);    // reverse transition: timed and rate
  b.field(0x8, 78, {0}, 1).field(0x40, 81, {1}, 1);
  b.put(82, 0x7, 4).put(86, 0x010101, 3);  // flags
  return b.names(0x3, "Logo", "Lower third!");
}

}  // namespace

TEST_F(DskTest, RecordIsEchoedAsReceivedAndStoredAtItsOffsets) {
  DskBody in = everyKindOfField(2);
  in.field(0x10, 79, {1}, 1);  // reverse is the update's own: never taken, not echoed
  EXPECT_EQ(only(send(in), "msg 5"), Lines{msg(everyKindOfField(2))});

  const u8* nv = platform::nvWindow() + BP::instance().shareOffset(KzifDsk::TYPE_ID, 0) + 2 * sizeof(KzifDsk);
  const auto le = [&](std::size_t at) { return static_cast<int>(static_cast<i16>(nv[at] | nv[at + 1] << 8)); };
  // Words: masks cleared by the send, channel, gain, fill matte hue, box left, transition rate,
  // name length; bytes: key type, edge fill, reverse, gang.
  for (const auto& [at, v] : std::vector<std::pair<std::size_t, int>>{
           {0, 0}, {4, 2}, {26, 2000}, {32, 3599}, {68, -5000}, {82, 999}, {112, 4}, {128, 12}})
    EXPECT_EQ(le(at), v) << at;
  for (const auto& [at, v] : std::vector<std::pair<std::size_t, int>>{{12, 1}, {48, 12}, {93, 0}, {95, 1}})
    EXPECT_EQ(nv[at], v) << at;
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(nv + 114)), "Logo");

  // Resumed from the image, every field is reported again.
  const Lines warm = only(run({"restart resume", "field"}), "msg 5 ");
  ASSERT_EQ(warm.size(), 4u);
  EXPECT_EQ(warm[2].substr(0, 14), "msg 5 000003ff");
}

TEST_F(DskTest, EachCheckDropsItsOwnFieldAndKeepsTheRest) {
  DskBody bad(1);
  bad.put(6, 0x3, 4).put(10, 0x0201, 2);                      // key type 2 refused, second gain taken
  bad.put(15, 0x3, 4).put(19, 1081, 2).put(21, 5, 2);         // clip 1081 refused, gain taken
  bad.field(0x1, 26, {3600, 500, 500}, 2);                    // one bad member refuses the colour
  bad.put(32, 0x12, 4).put(37, 2, 1).put(40, 13, 1);          // width taken, fill 13 refused
  bad.field(0x4, 54, {0, 0, 0, 5001}, 2);                     // one edge out of range refuses the box
  bad.put(62, 0x7, 4).put(66, 1, 1).put(67, 1, 1).put(68, 1000, 2);  // only timed taken
  bad.field(0x20, 80, {4}, 1);
  bad.names(0x1, "Twenty characters!!!", "");
  DskBody taken(1);
  taken.put(6, 0x2, 4).put(11, 1, 1).put(15, 0x2, 4).put(21, 5, 2).put(32, 0x2, 4).put(37, 2, 1);
  taken.put(62, 0x1, 4).put(66, 1, 1).names(0x1, "Twenty chara", "");
  EXPECT_EQ(only(send(bad), "msg 5"), Lines{msg(taken)});

  // A channel above 3 drops the record without a word.
  EXPECT_EQ(only(send(DskBody(4).field(0x40, 81, {1}, 1)), "msg 5"), Lines{});
  // An index outside the four fails before anything is touched.
  EXPECT_THROW(CategoryDsk::get().assign(KzifDsk{}, 4), assert::AssertException);
}

TEST_F(DskTest, TransitionLinkCopiesAndThenTiesTheTwoSettings) {
  send(DskBody(0).put(62, 0x5, 4).put(66, 1, 1).put(68, 30, 2));
  // Linking with no setting in the record: the reverse setting becomes the forward one.
  send(DskBody(0).field(0x8, 78, {1}, 1));
  EXPECT_EQ(std::tuple(+live(0).reverseTransition.timed, +live(0).reverseTransition.rate), std::tuple(1, 30));
  // While linked, a record's reverse setting changes both, and the forward one wins a field both carry.
  send(DskBody(0).put(62, 0x4, 4).put(68, 40, 2).put(70, 0x5, 4).put(74, 0, 1).put(76, 50, 2));
  EXPECT_EQ(std::tuple(+live(0).transition.timed, +live(0).transition.rate), std::tuple(0, 40));
  EXPECT_EQ(std::tuple(+live(0).reverseTransition.timed, +live(0).reverseTransition.rate), std::tuple(0, 40));
  CategoryDsk::get().cycleTransSetting(0);
  EXPECT_EQ(std::pair(+live(0).transition.timed, +live(0).reverseTransition.timed), std::pair(1, 1));
}

TEST_F(DskTest, PrioritiesStayAPermutationAndTheLaterOfTwoEqualOnesWins) {
  // After a cold start all four stand at 0: the last DSK takes level 0, levels 1 and 2 keep DSK 2
  // and 3.
  EXPECT_EQ(calls(run({"field"}), "setDskSources"), (std::vector<Args>{{"0x1217", "0x1213", "0x1215"}}));
  for (int n = 0; n < 4; ++n) live(n).priority = static_cast<u8>(n);
  const Lines out = only(send(DskBody(0).field(0x20, 80, {2}, 1)), "msg 5");
  ASSERT_EQ(out.size(), 4u);
  for (const auto& l : out) EXPECT_EQ(l.substr(6, 8), "00000020") << l;
  EXPECT_EQ(std::vector<int>({live(0).priority, live(1).priority, live(2).priority, live(3).priority}),
            std::vector<int>({2, 0, 1, 3}));
  EXPECT_EQ(calls(run({"field"}), "setDskSources"), (std::vector<Args>{{"0x1213", "0x1215", "0x1211"}}));
}

TEST_F(DskTest, KeyOnIsCarriedOutAsACutAndStaysOnAir) {
  live(1).gang = 1;
  live(3).gang = 1;
  // The fader hook keeps keyOn at the level in the field the record arrives; the update then cuts
  // DSK 1 and, ganged and off as well, DSK 3.
  EXPECT_EQ(only(send(DskBody(1).field(0x80, 89, {1}, 1)), "msg 5"), Lines{msg(DskBody(1).field(0x80, 89, {0}, 1).put(81, 1, 1))});
  EXPECT_EQ(std::pair(transition(1).state, transition(3).state),
            std::pair(AutoTransition::STATE_CUT_PENDING, AutoTransition::STATE_CUT_PENDING));
  EXPECT_EQ(transition(2).state, AutoTransition::STATE_IDLE);
  // The next step completes the cut: the level reaches the mixer in that field...
  Lines out = run({"field"});
  // ...and the finished cuts clear the stopped mark of both keys, each sent under its own bit.
  Args heads;
  for (const auto& m : only(out, "msg 5")) heads.push_back(m.substr(6, 12));
  EXPECT_EQ(heads, (Args{"000001000001", "000001000003"}));
  const auto mixes = calls(out, "setKeyMix");
  ASSERT_EQ(mixes.size(), 4u);
  EXPECT_EQ(mixes[1], (Args{"0x1213", "1"}));
  EXPECT_EQ(mixes[2], (Args{"0x1215", "0"}));
  // ...and keyOn follows in the one after, and stays: the completed run left the position at 0.
  out = run({"field 3"});
  EXPECT_EQ(std::tuple(+live(1).keyOn, +live(3).keyOn, +live(2).keyOn), std::tuple(1, 1, 0));
  EXPECT_EQ(calls(out, "setKeyMix").back(), (Args{"0x1217", "1"}));
  // Asking for the state it is in does nothing.
  send(DskBody(1).field(0x80, 89, {1}, 1));
  EXPECT_EQ(transition(1).state, AutoTransition::STATE_IDLE);
}

TEST_F(DskTest, TimedTakeRunsOverItsRateToTheMixerAndTheEcho) {
  transition(0).start(4, 0);
  Args levels;
  std::vector<std::string> echoes;
  for (int f = 0; f < 5; ++f) {
    const Lines out = run({"field"});
    for (const auto& c : calls(out, "setKeyMix"))
      if (c[0] == "0x1211") levels.push_back(c[1]);
    for (const auto& m : only(out, "msg 5")) echoes.push_back(m.substr(6, 8));
  }
  ASSERT_EQ(levels.size(), 5u);
  expectNear(levels, 0, {0.25f, 0.5f, 0.75f, 1.0f, 1.0f});
  // In transition from its start, on once it has moved, out of transition when it stands on air.
  EXPECT_EQ(echoes, (Args{"00000200", "00000080", "00000200"}));
  EXPECT_EQ(std::pair(+live(0).keyOn, +live(0).inTransition), std::pair(1, 0));
  // Taken off backwards: reverse follows the direction.
  transition(0).reverse();
  run({"field"});
  EXPECT_EQ(live(0).reverse, 1);
}

TEST_F(DskTest, KeySettingsReachTheirSettersAndTheEdgeOnlyOnChange) {
  DskBody b(2);
  b.put(6, 0x1d, 4).put(10, 0x0100010101, 5);                       // type 1, invert, flag 4, mode
  b.put(15, 0xf, 4).put(19, 500, 2).put(21, 1000, 2).put(23, 250, 2).put(25, 1, 1);
  b.put(32, 0x1f, 4).put(36, 0x0202050105, 5);                      // edge 2, width 2, dir 5, soft 1, still 1
  b.put(47, 0x7, 4).put(51, 0x020001, 3).field(0x4, 54, {-2000, 1000, -3000, 2000}, 2);
  Lines out = send(b);
  const auto t = [&](const std::string& name) {
    for (const auto& c : calls(out, name))
      if (c[0] == "0x1215") return c;
    return Args{};
  };
  const auto clip = t("setKeyClipGain");
  ASSERT_EQ(clip.size(), 6u);
  EXPECT_EQ(clip[1], "3");  // adjust invert and the style mode flag
  expectNear(clip, 2, {502, 1.16895f});
  EXPECT_NEAR(real(clip[5]), 0.25f, 1e-5);
  EXPECT_EQ(t("setKeyInvert"), (Args{"0x1215", "1"}));
  EXPECT_EQ(t("setKeyEdge"), (Args{"0x1215", "0x2001", "2", "225", "0.5"}));
  EXPECT_EQ(t("setKeyFillSource"), (Args{"0x1215", "0x1180"}));
  // The box from its edges, y downwards; flag A goes inverted.
  const auto box = t("setKeyBoxMask");
  ASSERT_EQ(box.size(), 7u);
  expectNear(box, 1, {0.3f, 0.4f, 0.4f, 0.4f});
  EXPECT_EQ(std::pair(box[5], box[6]), std::pair(std::string("1"), std::string("1")));

  // Not written again until it changes, or while the system asks for everything again.
  out = run({"field"});
  EXPECT_TRUE(t("setKeyEdge").empty());
  category::CategorySystem::get().setReapply(1);
  out = run({"field"});
  EXPECT_EQ(calls(out, "setKeyEdge").size(), 4u + 16u);  // and every keyer's
  category::CategorySystem::get().setReapply(0);
  // Edge fills 1 and 2 leave the fill source alone; 3 is colour background 1.
  for (int fill : {1, 2}) {
    out = send(DskBody(2).put(32, 0x10, 4).put(40, fill, 1));
    EXPECT_EQ(t("setKeyEdge").size(), 5u) << fill;
    EXPECT_TRUE(t("setKeyFillSource").empty()) << fill;
    EXPECT_EQ(only(out, "log"), Lines{}) << fill;
  }
  out = send(DskBody(2).put(32, 0x10, 4).put(40, 3, 1));
  EXPECT_EQ(t("setKeyFillSource"), (Args{"0x1215", "0x1191"}));
  // A warm start marks every restored field, so each restored edge goes out once: the four DSKs'
  // and the keyers' of M/E 0 and 1 (2 and 3 start afresh).
  out = run({"restart resume", "field"});
  EXPECT_EQ(calls(out, "setKeyEdge").size(), 4u + 8u);
  EXPECT_EQ(t("setKeyEdge"), (Args{"0x1215", "0x2001", "2", "225", "0.5"}));
  EXPECT_EQ(t("setKeyFillSource"), (Args{"0x1215", "0x1191"}));
  out = run({"field"});
  EXPECT_EQ(calls(out, "setKeyEdge").size(), 0u);
  // A cold start has no change pending: no edge and no edge fill, in the first field or after.
  out = run({"restart init", "field 2"});
  EXPECT_EQ(calls(out, "setKeyEdge").size() + calls(out, "setKeyFillSource").size(), 0u);
}

// Luminance is the matte's video level: a saturated matte keeps its colour at white and at
// super-white, and a change of format to standard definition converts again by its matrix.
TEST_F(DskTest, MattesTakeTheirLevelAndTheMatrixOfTheFormat) {
  Lines out = send(DskBody(2).field(0x1, 26, {0, 1000, 1000}, 2).field(0x2, 41, {2400, 500, 1080}, 2));
  const auto mattes = [&] {
    std::vector<Args> r;
    for (const Args& c : calls(out, "setMatteColor"))
      if (c[0] == "0x2122" || c[0] == "0x2126") r.push_back(c);
    return r;
  };
  EXPECT_EQ(mattes(), (std::vector<Args>{{"0x2122", "940", "409", "960"}, {"0x2126", "1010", "736", "491"}}));
  out = run({"send 29 00000001 07 00 00 00 00", "field"});
  EXPECT_EQ(mattes(), (std::vector<Args>{{"0x2122", "940", "361", "960"}, {"0x2126", "1010", "736", "476"}}));
}

TEST_F(DskTest, RecordWrittenWithoutAMergeReachesItsSettersNextField) {
  send(DskBody(1).field(0x1, 26, {0, 1000, 1000}, 2));
  category::CategoryDsk::get().record(1).adjust.density = 250;
  category::CategoryDsk::get().record(1).matteColor[2] = 0;
  const Lines out = run({"field"});
  std::vector<Args> got;
  for (const Args& c : calls(out, "setKeyClipGain"))
    if (c[0] == "0x1213") got.push_back(c);
  EXPECT_EQ(got, (std::vector<Args>{{"0x1213", "0", "64", "0", "0", "0.25"}}));
  got.clear();
  for (const Args& c : calls(out, "setMatteColor"))
    if (c[0] == "0x2121") got.push_back(c);
  EXPECT_EQ(got, (std::vector<Args>{{"0x2121", "64", "409", "960"}}));  // the red of level 0
}

// Untraced, an unchanged downstream key leaves its mattes, box mask and clip alone; whatever else
// wrote or reset their registers in between, the next field brings them back.
TEST_F(SimTest, UntracedDskSettingsComeBackAfterTheirRegistersWereWrittenOrReset) {
  DskBody b(1);
  b.put(15, 0xf, 4).put(19, 500, 2).put(21, 1000, 2).put(23, 250, 2).put(25, 1, 1);
  b.field(0x1, 26, {0, 1000, 1000}, 2);
  b.put(47, 0x7, 4).put(51, 0x020001, 3).field(0x4, 54, {-2000, 1000, -3000, 2000}, 2);
  run({("send 5 " + b.hex()).c_str(), "field", "field"});
  const int target = KZ_DSK1 + 2;
  const kz::KeySettings settings = kz::dskSettings(target);
  const kz::Matte fill = kz::matte(KZ_CONTEXT_ME1, KZ_COLOR_DSK_FILL + 1);
  ASSERT_EQ(settings.boxMask.enable, 1);
  ASSERT_NE(fill, (kz::Matte{64, 512, 512}));
  // The edge is not theirs: a warm start sends it again.
  const auto held = [](const kz::KeySettings& k) {
    return std::tuple(k.mode, k.clip, k.gain, k.secondGain, k.density, k.invert, k.boxMask);
  };
  const auto expectDsk = [&](const char* after) {
    EXPECT_EQ(held(kz::dskSettings(target)), held(settings)) << after;
    EXPECT_EQ(kz::matte(KZ_CONTEXT_ME1, KZ_COLOR_DSK_FILL + 1), fill) << after;
  };
  setMatteColor(KZ_COLOR_DSK_FILL + 1, 64, 512, 512);
  setKeyClipGain(target, 0, 0.0f, 0.0f, 0.0f, 0.0f);
  setKeyBoxMask(target, 0.0f, 0.0f, 1.0f, 1.0f, 0, 0);
  run({"field"});
  expectDsk("another writer");
  setMeContext(KZ_CONTEXT_ME1 + 3);
  run({"field"});
  expectDsk("another context");
  kzInitialize();
  run({"field"});
  expectDsk("a reset of the images");
  run({"restart resume", "field"});
  expectDsk("a warm start");
  CategoryDsk::get().record(1).adjust.density = 500;
  run({"field"});
  EXPECT_NE(kz::dskSettings(target).density, settings.density) << "a record written in place";
}

// Two records of one DSK in one field: the echo carries the marks of both, the transition settings'
// included; a link taken in the second copies the forward setting the first left; a priority moves
// every DSK from where they stood; the reverse flag is never taken from a record and leaves no mark.
TEST_F(DskTest, RecordsOfOneFieldAddTheirMarksAndTheLinkCopiesWhatTheFirstLeft) {
  for (int n = 0; n < 4; ++n) live(n).priority = static_cast<u8>(n);
  run({"field"});
  const DskBody first = DskBody(0).put(62, 0x5, 4).put(66, 1, 1).put(68, 30, 2).field(0x20, 80, {3}, 1);
  const DskBody second = DskBody(0).field(0x8, 78, {1}, 1).field(0x10, 79, {1}, 1).field(0x4, 54, {1000, 1000, -1000, -1000}, 2);
  const Lines out = only(run({("send 5 " + first.hex()).c_str(), ("send 5 " + second.hex()).c_str(), "field"}), "msg 5");
  ASSERT_EQ(out.size(), 4u);
  const auto word = [](const std::string& l, int at) { return l.substr(6 + 2 * static_cast<std::size_t>(at), 8); };
  EXPECT_EQ(std::tuple(word(out[0], 0), word(out[0], 62), word(out[0], 70)),
            std::tuple(std::string("0000002c"), std::string("00000005"), std::string("00000007")));
  for (int n = 1; n < 4; ++n) EXPECT_EQ(word(out[static_cast<std::size_t>(n)], 0), "00000020") << n;
  EXPECT_EQ(std::tuple(+live(0).reverseTransition.timed, +live(0).reverseTransition.rate, +live(0).reverse),
            std::tuple(1, 30, 0));
  EXPECT_EQ((std::array{+live(0).boxEdges[0], +live(0).boxEdges[1], +live(0).boxEdges[2], +live(0).boxEdges[3]}),
            (std::array{1000, 1000, -1000, 1000}));  // the right edge was moved from where it stood
  EXPECT_EQ(std::vector<int>({live(0).priority, live(1).priority, live(2).priority, live(3).priority}),
            std::vector<int>({3, 0, 1, 2}));

  // Linked: a forward rate out of range is refused and leaves both rates; the reverse setting's
  // timed flag, taken, goes to both.
  const DskBody linked = DskBody(0).put(62, 0x4, 4).put(68, 1000, 2).put(70, 0x1, 4).put(74, 0, 1);
  const Lines back = only(run({("send 5 " + linked.hex()).c_str(), "field"}), "msg 5");
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(std::pair(word(back[0], 62), word(back[0], 70)), std::pair(std::string("00000001"), std::string("00000001")));
  EXPECT_EQ(std::tuple(+live(0).transition.timed, +live(0).transition.rate, +live(0).reverseTransition.timed,
                       +live(0).reverseTransition.rate),
            std::tuple(0, 30, 0, 30));
}
