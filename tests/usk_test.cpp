// The upstream keys and their assignment through the wire and the driver trace: the records' bytes,
// the name rule, the mirror with buses 72..79 of M/E 0, the keyer input routing and the key values
// at the hardware.
#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "Driver/key.h"
#include "Driver/kz.h"
#include "Main/bp.h"
#include "Main/bus.h"
#include "Main/system.h"
#include "Main/usk.h"
#include "Platform/platform.h"
#include "tests/sim_fixture.h"

using category::CategoryBus;
using category::CategoryUpStreamKey;
using category::CategoryUpStreamKeyAssign;

namespace {

// A wire body by its offsets, with a name pair appended when asked for.
class Body {
 public:
  explicit Body(std::size_t size) : bytes_(size, 0) {}
  Body& put(std::size_t at, long long v, int n) {
    for (int i = 0; i < n; ++i) bytes_[at + i] = static_cast<u8>(v >> (8 * (n - 1 - i)));
    return *this;
  }
  Body& name(const std::string& s) {
    bytes_.insert(bytes_.end(), {static_cast<u8>(s.size() >> 8), static_cast<u8>(s.size())});
    bytes_.insert(bytes_.end(), s.begin(), s.end());
    bytes_.push_back(0);
    return *this;
  }
  std::string hex() const {
    std::string h;
    for (u8 b : bytes_) h += hexBytes(b, 1);
    return h;
  }

 private:
  std::vector<u8> bytes_;
};

Body assignBody() { return Body(774); }
Body keyBody(int ch) { return Body(51).put(4, ch, 2); }

class UskTest : public SimTest {
 protected:
  void SetUp() override {
    boot({.trace = true});
    settle();
  }
  Lines send(int type, const Body& b) { return run({("send " + std::to_string(type) + " " + b.hex()).c_str(), "field"}); }
  static const KzifUpStreamKeyAssign& assignment() { return CategoryUpStreamKeyAssign::get().data(); }
  static const KzifUpStreamKey& key(int n) { return CategoryUpStreamKey::get().data(n); }
  static CategoryBus& bus0() { return CategoryBus::get(0); }
  static std::string name1(int n) { return key(n).names.name1.chars; }
};

TEST_F(UskTest, AssignmentRecordIsEchoedByteForByte) {
  Body in = assignBody();
  in.put(4, 0x05, 4).put(8, 10, 1).put(10, 223, 1);  // sources 0 and 2
  in.put(16 + 5 * 3, 1, 4).put(20 + 5 * 3, 6, 1);     // entry 3: keyer 1 always
  in.put(16 + 5 * 149, 1, 4).put(20 + 5 * 149, 8, 1);
  in.put(766, 0x2, 4).put(771, 1, 1);
  EXPECT_EQ(only(send(8, in), "msg 8"), Lines{"msg 8 " + in.hex()});

  // 9, 224 and key 9 are dropped, assign flag 2 is dropped, the rest applies.
  Body bad = assignBody();
  bad.put(4, 0x07, 4).put(8, 9, 1).put(9, 224, 1).put(10, 11, 1);
  bad.put(16, 1, 4).put(20, 9, 1).put(766, 0x3, 4).put(770, 2, 1).put(771, 0, 1);
  Body taken = assignBody();  // what was held before is carried unmarked
  taken.put(4, 0x04, 4).put(8, 10, 1).put(10, 11, 1).put(20 + 5 * 3, 6, 1).put(20 + 5 * 149, 8, 1).put(766, 0x2, 4);
  EXPECT_EQ(only(send(8, bad), "msg 8"), Lines{"msg 8 " + taken.hex()});
}

TEST_F(UskTest, BusesAndAssignmentMirrorEachOtherOnce) {
  // Bus to assignment: the answer back finds the bus equal.
  ASSERT_TRUE(bus0().selectSource(74, 12));
  EXPECT_EQ(assignment().sources.uskSource[2], 12);
  EXPECT_EQ(bus0().getSource(74), 12);
  // Assignment to bus.
  send(8, assignBody().put(4, 0x1, 4).put(8, 20, 1));
  EXPECT_EQ(bus0().getSource(72), 20);
  // Sources the bus refuses (an M/E output, an SDI input it has no line for) are answered with the
  // one the bus keeps, and the exchange ends there.
  for (int refused : {150, 100}) {
    const Lines out = send(8, assignBody().put(4, 0x1, 4).put(8, refused, 1));
    EXPECT_EQ(only(out, "msg 8"), Lines{"msg 8 " + assignBody().put(4, 0x1, 4).put(8, 20, 1).put(10, 12, 1).hex()})
        << refused;
    EXPECT_EQ(bus0().getSource(72), 20);
    EXPECT_EQ(only(run({"field"}), "msg"), Lines{});
  }
  // A bus code whose source would narrow to 20 in one byte (276) is refused by the bus and never
  // reaches the assignment; neither does 312 (56) passed directly, nor a bus outside 0..7.
  Body busRecord(196);
  busRecord.put(13, 1u << 8, 4).put(17 + 2 * 72, 1024 + 276, 2);
  EXPECT_EQ(only(send(47, busRecord), "msg 8"), Lines{});
  EXPECT_EQ(only(run({"field"}), "msg"), Lines{});
  CategoryUpStreamKeyAssign::get().setSource(13, 8);
  CategoryUpStreamKeyAssign::get().setSource(300 + 12, 0);
  EXPECT_EQ(assignment().sources.uskSource[0], 20);
  EXPECT_EQ(bus0().getSource(72), 20);
}

// The upstream key buses of one bus record reach the assignment as each bus selected alone does:
// the same sources handed over in the same order, the same taken and sent back. Among them the
// first and the last bus, a source the assignment holds already, and two refused buses: one whose
// standing code selects no upstream key source, one whose standing source is handed over again.
TEST_F(UskTest, ABusRecordHandsItsUpstreamKeyBusesOverAsEachBusAlone) {
  static std::vector<std::pair<int, int>> handed;
  CategoryBus::setUskSourceObserver([](int usk, int source) { handed.push_back({usk, source}); });
  const int sources[N_USK_BUSES] = {10, 21, 150, 223, 12, 100, 30, 11};
  auto play = [&](bool record) {
    run({"restart init"});
    Body start = assignBody().put(4, 0xff, 4);
    for (int n = 0; n < N_USK_BUSES; ++n) start.put(8 + static_cast<std::size_t>(n), 20 + n, 1);
    send(8, start);
    bus0().record(0).code[74] = 0x0000;  // panel 0's first button: 302, no upstream key source
    handed.clear();
    Body b(196);
    b.put(13, 0xffu << 8, 4);
    for (int n = 0; n < N_USK_BUSES; ++n) b.put(17 + 2 * (72 + n), 1024 + sources[n], 2);
    if (record) run({("send 47 " + b.hex()).c_str()});
    for (int n = 0; !record && n < N_USK_BUSES; ++n) bus0().selectSource(72 + n, sources[n]);
    return std::pair(handed, only(run({"field"}), "msg 8"));
  };
  const auto record = play(true);
  const auto alone = play(false);
  EXPECT_EQ(record.first, (std::vector<std::pair<int, int>>{{0, 10}, {1, 21}, {3, 223}, {4, 12}, {5, 25}, {6, 30}, {7, 11}}));
  EXPECT_EQ(alone.first, (std::vector<std::pair<int, int>>{{0, 10}, {1, 21}, {3, 223}, {4, 12}, {6, 30}, {7, 11}}));
  EXPECT_EQ(record.second, alone.second);
  EXPECT_EQ(record.second.size(), 1u);
}

// A source refused by its range never reaches its bus, nor is it answered; the source beside it
// is taken and mirrored.
TEST_F(UskTest, ASourceOutOfRangeLeavesItsBusAndTheOneBesideItIsTaken) {
  send(8, assignBody().put(4, 0x1, 4).put(8, 20, 1));
  ASSERT_EQ(bus0().getSource(72), 20);
  const Lines out = send(8, assignBody().put(4, 0x3, 4).put(8, 224, 1).put(9, 12, 1));
  EXPECT_EQ(std::pair(bus0().getSource(72), bus0().getSource(73)), std::pair(20, 12));
  EXPECT_EQ(only(out, "msg 8"), Lines{"msg 8 " + assignBody().put(4, 0x2, 4).put(8, 20, 1).put(9, 12, 1).hex()});
}

TEST_F(UskTest, KeyerInputsAndSourcePathsAreRouted) {
  Body in = assignBody();
  in.put(4, 0x0f, 4).put(8, 10, 1).put(9, 11, 1).put(10, 100, 1).put(11, 140, 1);  // 100: SDI 91, no line
  in.put(16 + 5 * 3, 1, 4).put(20 + 5 * 3, 6, 1).put(16 + 5 * 4, 1, 4).put(20 + 5 * 4, 2, 1);
  const Lines out = only(send(8, in), "drv setUskInput");
  // Keyers 0 and 1 are of type 0: their key inputs follow the fills.
  EXPECT_EQ(out[0], "drv setUskInput 0x1280 0x1100");
  EXPECT_EQ(out[1], "drv setUskInput 0x1281 0x1100");
  for (const auto& l : out) EXPECT_EQ(l.find("0x1164"), std::string::npos) << l;  // SDI 91 has no line

  const auto paths = only(run({"field"}), "drv setInputUsk");
  EXPECT_EQ(paths.size(), 32u + 22u);
  EXPECT_EQ(paths[3], "drv setInputUsk 0x1103 1 0x1283");
  EXPECT_EQ(paths[4], "drv setInputUsk 0x1104 0 0x1283");  // key 2 waits for its assign flag
  EXPECT_EQ(paths[53], "drv setInputUsk 0x1193 0 0x1281");

  // The assign buttons come from the panel of any M/E row; a row past the M/Es has none.
  const auto press = [&](int me) {
    char line[96];
    std::snprintf(line, sizeof line, "send 92 0000 00 0000 00 %02x 00 0803 01 00", me);  // code 2051
    return run({line, "field"});
  };
  press(4);
  EXPECT_EQ(assignment().assignment.assignFlag[1], 0);
  EXPECT_EQ(only(press(3), "drv setInputUsk")[4], "drv setInputUsk 0x1104 1 0x1283");
  const internal::KzifButtonEvent release{.code = 2051, .state = 0};
  CategoryUpStreamKeyAssign::get().onButton(release);
  EXPECT_EQ(assignment().assignment.assignFlag[1], 1);
  press(0);
  EXPECT_EQ(assignment().assignment.assignFlag[1], 0);
  EXPECT_EQ(CategoryUpStreamKeyAssign::get().isAssigned(9), 0);
}

// Every kind of source reaches the keyer input of its own kind; a source the router has no line
// for, and a media channel's third id, reach none.
TEST(UskSources, EachKindOfSourceMapsToItsKeyerInput) {
  const std::pair<int, int> cases[] = {
      {10, KZ_IN_1},         {41, KZ_IN_1 + 31},    {42, -1},          {140, KZ_DVI_1},
      {141, KZ_DVI_1 + 1},   {142, -1},             {180, -1},         {181, KZ_STILL_1},
      {182, KZ_STILL_1 + 1}, {183, -1},             {184, KZ_STILL_1 + 2}, {189, -1},
      {191, KZ_STILL_1 + 7}, {201, KZ_CLIP_1},      {202, KZ_CLIP_1 + 1},  {210, KZ_CLIP_1 + 6},
      {211, KZ_CLIP_1 + 7},  {220, KZ_CBGD_1},      {221, KZ_CBGD_2},  {222, 0x1190},
      {223, KZ_BLACK},       {224, -1},             {9, -1},
  };
  for (const auto& [source, input] : cases) EXPECT_EQ(uskInputOfSource(source), input) << "source " << source;
}

TEST_F(UskTest, KeyRecordIsEchoedAndNamesFollowTheTextRule) {
  Body in = keyBody(2);
  in.put(0, 0x3, 4).put(6, 0x1f, 4).put(10, 0x0101010101, 5).put(15, 3599, 2).put(17, 1000, 2).put(19, 1080, 2);
  in.put(21, 0xf, 4).put(25, 1080, 2).put(27, 2000, 2).put(29, 1000, 2).put(31, 1, 1);
  in.put(32, 0x7, 4).put(36, 0x020101, 3).put(39, -5000, 2).put(41, 4000, 2).put(43, -4000, 2).put(45, 5000, 2);
  in.put(47, 0x3, 4).name("Key \\\"A\\\"").name("");
  EXPECT_EQ(only(send(7, in), "msg 7")[0], "msg 7 " + in.hex());
  EXPECT_EQ(key(2).style.keyType, 1);
  EXPECT_EQ(key(2).maskBox[3], 5000);

  // Name 1: a quote unescaped is refused; name 2: an escaped backslash is taken on its own.
  send(7, keyBody(0).put(47, 0x3, 4).name("a\"b").name("ok\\\\"));
  EXPECT_EQ(std::pair(name1(0), std::string(key(0).names.name2.chars)), std::pair(std::string(), std::string("ok\\\\")));
  // Name 1 as sent and as kept: a long name is cut to 12; the stored part is judged, one ending in a
  // lone backslash is refused and the old name stays; length 0 is the empty name.
  for (const auto& [sent, kept] : std::vector<std::pair<std::string, std::string>>{
           {"Thirteen chars", "Thirteen cha"}, {"abcdefghij\\\\x", "abcdefghij\\\\"},
           {"abcdefghijk\\x", "abcdefghij\\\\"}, {"", ""}}) {
    send(7, keyBody(0).put(47, 0x1, 4).name(sent).name(""));
    EXPECT_EQ(name1(0), kept) << sent;
  }
  EXPECT_EQ(key(0).names.name1.length, 0);
  // A name running past the body drops the record; channel 4 is dropped too.
  const std::string cut = keyBody(1).put(0, 0x1, 4).put(15, 100, 2).put(47, 0x1, 4).name("abc").hex();
  EXPECT_EQ(only(run({("send 7 " + cut.substr(0, cut.size() - 4)).c_str(), "field"}), "msg 7"), Lines{});
  EXPECT_EQ(key(1).matteColor[0], 0);
  EXPECT_EQ(only(send(7, keyBody(4).put(0, 0x1, 4).put(15, 100, 2)), "msg 7"), Lines{});
}

TEST_F(UskTest, ClipGainAndInvertReachTheKeyer) {
  struct Row {
    const char* style;  // type, second gain, invert, separate key, mode flag
    int clip, gain, density, adjustFlag;
    const char* clipGain;
    int invert;
  };
  const Row rows[] = {
      {"0100000000", 250, 1000, 500, 0, "0 283 1.16895 0 0.5", 0},
      {"0100000000", 500, 1000, 500, 0, "0 502 1.16895 0 0.5", 0},
      {"0100010000", 1000, 500, 1000, 0, "0 940 0.584475 0 1", 1},
      // Type 0 passes the gain again as the second gain; above 1000 the gain follows the curve.
      {"0001010001", 750, 1500, 250, 1, "3 721 2.80339 1.5 0.25", 1},
      // Type 2 keeps the mode word but not the clip, gain or invert.
      {"0200010001", 750, 1500, 250, 1, "3 0 1 0 0.25", 0},
      {"0300010000", 0, 2000, 0, 0, "4 -1023 1 0 0", 1},
  };
  for (const Row& r : rows) {
    Body in = keyBody(3);
    in.put(6, 0x1f, 4).put(10, std::stoll(r.style, nullptr, 16), 5);
    in.put(21, 0xf, 4).put(25, r.clip, 2).put(27, r.gain, 2).put(29, r.density, 2).put(31, r.adjustFlag, 1);
    send(7, in.name("").name(""));
    Lines keyer3;
    for (const std::string& l : run({"field"}))
      if (l.rfind("drv setKey", 0) == 0 && l.find(" 0x1287 ") != std::string::npos) keyer3.push_back(l);
    EXPECT_EQ(keyer3,
              (Lines{"drv setKeyBoxMask 0x1287 0 0 1 1 0 0", std::string("drv setKeyClipGain 0x1287 ") + r.clipGain,
                     "drv setKeyInvert 0x1287 " + std::to_string(r.invert)}))
        << r.style;
  }
  // Type 0 with a separate key: the update of the same field clears it, and the echo carries the
  // correction.
  const Lines fixed = send(7, keyBody(1).put(6, 0x9, 4).put(13, 1, 1).name("").name(""));
  EXPECT_EQ(key(1).style.styleFlag4, 0);
  const Lines echo = only(fixed, "msg 7");
  ASSERT_EQ(echo.size(), 1u);
  EXPECT_EQ(echo[0].substr(6 + 2 * 6, 18), "000000090000000000");  // style: mask, type 0, separate key 0
}

TEST_F(UskTest, BoxMaskAtTheKeyerInEachMode) {
  const auto box = [&](const Lines& out) { return only(out, "drv setKeyBoxMask 0x1281"); };
  EXPECT_EQ(box(run({"field"})), Lines{"drv setKeyBoxMask 0x1281 0 0 1 1 0 0"});
  // Mode 2, the user box (left, top, bottom, right); flag 2 enables, flag 1 clears the invert.
  Body user = keyBody(0);
  user.put(0, 0x2, 4).put(32, 0x7, 4).put(36, 0x020101, 3).put(39, -2500, 2).put(41, 2000, 2).put(43, -1000, 2);
  user.put(45, 2500, 2);
  EXPECT_EQ(box(send(7, user.name("").name(""))), Lines{"drv setKeyBoxMask 0x1281 0.25 0.3 0.5 0.3 1 0"});
  // Left moved past right pulls right along; an edge of 5001 refuses the whole box but not the rest.
  send(7, keyBody(0).put(0, 0x2, 4).put(39, 3000, 2).put(41, 2000, 2).put(43, -1000, 2).put(45, 2500, 2).name("").name(""));
  EXPECT_EQ(key(0).maskBox[3], 3000);
  send(7, keyBody(0).put(0, 0x3, 4).put(15, 100, 2).put(39, -5001, 2).name("").name(""));
  EXPECT_EQ(std::pair(key(0).maskBox[0], key(0).matteColor[0]), std::pair(i16{3000}, i16{100}));
  // Mode 1 ignores the box and takes the 4:3 frame of the video format.
  const Lines preset = send(7, keyBody(0).put(32, 0x1, 4).put(36, 1, 1).name("").name(""));
  EXPECT_EQ(box(preset), Lines{"drv setKeyBoxMask 0x1281 0.1354 0.011072 0.7292 0.978801 1 0"});
  EXPECT_EQ(box(run({"send 29 00000001 06 00 00 00 00", "field"})),
            Lines{"drv setKeyBoxMask 0x1281 0.020486 0.022431 0.957778 0.955243 1 0"});
  EXPECT_EQ(box(run({"send 29 00000001 04 00 00 00 00", "field"})),
            Lines{"drv setKeyBoxMask 0x1281 0.1354 0.011111 0.7292 0.979308 1 0"});
}

// Keyer by keyer: matte, box, clip and gain, invert; then the keyer inputs (a keyer of type 1 with
// its own key signal takes its key bus, one of type 0 its fill), then the source paths. None of
// them sets an M/E context.
TEST_F(UskTest, OneFieldCallsTheKeyersThenTheRouterInOrder) {
  send(8, assignBody().put(4, 0xf, 4).put(8, 10, 1).put(9, 11, 1).put(10, 12, 1).put(11, 13, 1));
  send(7, keyBody(1).put(6, 0x9, 4).put(10, 0x0100000100, 5).name("").name(""));  // type 1, separate key
  // Each call named by its setter and first id; the source paths collapse into their first call.
  Lines calls;
  for (const std::string& l : only(run({"field"}), "drv ")) {
    const std::size_t id = l.find(' ', 4) + 1;
    const std::string call = l.substr(0, id + 6);
    const int first = std::stoi(l.substr(id, 6), nullptr, 16);
    const bool usk = (0x1280 <= first && first <= 0x1287) || (0x2128 <= first && first <= 0x212b);
    const bool path = call.rfind("drv setInputUsk", 0) == 0;
    if (path && !calls.empty() && calls.back().rfind("drv setInputUsk", 0) == 0) break;
    if (usk || path || (!calls.empty() && call.rfind("drv setMeContext", 0) == 0))
      calls.push_back(call.rfind("drv setUskInput", 0) == 0 ? l : call);
  }
  Lines want;
  for (int n = 0; n < 4; ++n) {
    want.push_back("drv setMatteColor 0x" + hexBytes(0x2128 + n, 2));
    for (const char* setter : {"setKeyBoxMask", "setKeyClipGain", "setKeyInvert"})
      want.push_back(std::string("drv ") + setter + " 0x" + hexBytes(0x1281 + 2 * n, 2));
  }
  for (const char* l : {"0x1280 0x1100", "0x1281 0x1100", "0x1282 0x1102", "0x1283 0x1103"})
    want.push_back(std::string("drv setUskInput ") + l);
  want.push_back("drv setInputUsk 0x1100");
  EXPECT_EQ(calls, want);
}

// A damaged image: values out of range come back as a cold start leaves them (0), the others as
// stored, and reach the hardware only in forms it takes: a source with no input id is not routed,
// a box refused whole is the empty box of a cold start.
TEST_F(UskTest, ResumedImageWithValuesOutOfRange) {
  auto* stored = reinterpret_cast<KzifUpStreamKeyAssign*>(platform::nvWindow() +
                                                          BP::instance().shareOffset(KzifUpStreamKeyAssign::TYPE_ID, 0));
  stored->mask = 0xdeadbeef;
  const u8 sources[] = {5, 250, 12}, keys[] = {9, 255, 1, 8};
  for (int i = 0; i < 3; ++i) stored->sources.uskSource[i] = sources[i];
  for (int i = 0; i < 4; ++i) stored->inputKey[3 + i].key = keys[i];
  stored->assignment.assignFlag[0] = 7;
  auto* keyer = reinterpret_cast<KzifUpStreamKey*>(platform::nvWindow() +
                                                   BP::instance().shareOffset(KzifUpStreamKey::TYPE_ID, 0));
  keyer->style.keyType = 9;
  keyer->matteColor[0] = 9999;
  keyer->keyMask.mode = 2;
  keyer->keyMask.flagA = 5;
  const i16 box[] = {-30000, 30000, -30000, 20000};
  std::copy(std::begin(box), std::end(box), keyer->maskBox);
  dropCommitRecords();  // the copy edited above is the one resumed
  const Lines out = run({"restart resume", "field"});
  EXPECT_EQ(only(out, "log [ERR] Assertion"), Lines{});
  EXPECT_EQ(only(out, "drv setUskInput"), (Lines{"drv setUskInput 0x1282 0x1102", "drv setUskInput 0x1283 0x1102"}));
  const Lines paths = only(out, "drv setInputUsk");
  ASSERT_GE(paths.size(), 7u);
  EXPECT_EQ(Lines(paths.begin() + 3, paths.begin() + 7),
            (Lines{"drv setInputUsk 0x1103 0 0x1281", "drv setInputUsk 0x1104 0 0x1281",
                   "drv setInputUsk 0x1105 0 0x1281", "drv setInputUsk 0x1106 1 0x1287"}));
  EXPECT_EQ(only(out, "drv setKeyBoxMask 0x1281"), Lines{"drv setKeyBoxMask 0x1281 0.5 0.5 0 0 0 1"});
  // The whole assignment is sent once, its own mask as 0: sources 5 and 250 and key 9 as 0.
  const Lines echo = only(out, "msg 8");
  ASSERT_EQ(echo.size(), 1u);
  EXPECT_EQ(echo[0].substr(6, 32), "00000000000000ff00000c0000000000");
  EXPECT_EQ(echo[0].substr(6 + 2 * 31, 10), "0000000100");
}

}  // namespace

// A super-white magenta matte stays magenta: luminance sets the level, not the lightness.
TEST_F(UskTest, MatteColourIsConvertedAtItsVideoLevel) {
  Body in = keyBody(1);
  in.put(0, 0x1, 4).put(15, 3000, 2).put(17, 1000, 2).put(19, 1080, 2).name("").name("");
  const Lines out = send(7, in);
  EXPECT_EQ(only(out, "drv setMatteColor 0x2129"), Lines{"drv setMatteColor 0x2129 1010 857 919"});
}

// What the update keeps worked out follows each of its inputs changed alone: the video format,
// a record written without a merge, and the key style of the keyer whose key input is routed.
TEST_F(UskTest, KeptSettingsFollowEachInputChangedAlone) {
  send(7, keyBody(1).put(0, 0x1, 4).put(15, 3000, 2).put(17, 1000, 2).put(19, 1080, 2).name("").name(""));
  const YCbCr10 m = hslToYCbCr(7, 3000, 1000, 1080);
  EXPECT_EQ(only(run({"send 29 00000001 07 00 00 00 00", "field"}), "drv setMatteColor 0x2129"),
            Lines{"drv setMatteColor 0x2129 " + std::to_string(m.y) + " " + std::to_string(m.cb) + " " +
                  std::to_string(m.cr)});
  CategoryUpStreamKey::get().record(1).adjust.density = 500;
  EXPECT_EQ(only(run({"field"}), "drv setKeyClipGain 0x1283"), Lines{"drv setKeyClipGain 0x1283 0 64 0 0 0.5"});

  send(8, assignBody().put(4, 0x3, 4).put(8, 10, 1).put(9, 11, 1));
  EXPECT_EQ(only(run({"field"}), "drv setUskInput 0x1281"), Lines{"drv setUskInput 0x1281 0x1100"});
  send(7, keyBody(0).put(6, 0x9, 4).put(10, 1, 1).put(13, 1, 1).name("").name(""));  // type 1, own key
  EXPECT_EQ(only(run({"field"}), "drv setUskInput 0x1281"), Lines{"drv setUskInput 0x1281 0x1101"});
  send(7, keyBody(0).put(6, 0x8, 4).put(13, 0, 1).name("").name(""));
  EXPECT_EQ(only(run({"field"}), "drv setUskInput 0x1281"), Lines{"drv setUskInput 0x1281 0x1100"});

  CategoryUpStreamKeyAssign::get().record(0).inputKey[4].key = 7;
  EXPECT_EQ(only(run({"field"}), "drv setInputUsk 0x1104"), Lines{"drv setInputUsk 0x1104 1 0x1285"});
}

// Untraced, unchanged source paths leave their setters alone; whatever else wrote or reset their
// registers in between, the next field brings them back, and a record that moves one is heard.
TEST_F(SimTest, UntracedSourcePathsComeBackAfterTheirRegistersWereWrittenOrReset) {
  const auto keyerOf = [](int entry) { return kz::glueImage().inputUsk[static_cast<std::size_t>(entry)]; };
  Body in = assignBody();
  in.put(16 + 5 * 3, 1, 4).put(20 + 5 * 3, 6, 1);  // entry 3: keyer 1 always
  run({("send 8 " + in.hex()).c_str(), "field", "field"});
  ASSERT_EQ(keyerOf(3), 1);
  setInputUsk(KZ_IN_1 + 3, 0, KZ_USK1_F + 1);
  run({"field"});
  EXPECT_EQ(keyerOf(3), 1) << "another writer";
  kzInitialize();
  ASSERT_EQ(keyerOf(3), kz::NO_USK);
  run({"field"});
  EXPECT_EQ(keyerOf(3), 1) << "a reset of the images";
  run({("send 8 " + assignBody().put(16 + 5 * 3, 1, 4).put(20 + 5 * 3, 8, 1).hex()).c_str(), "field"});
  EXPECT_EQ(keyerOf(3), 3) << "a record";
  run({("send 8 " + assignBody().put(16 + 5 * 3, 1, 4).put(20 + 5 * 3, 0, 1).hex()).c_str(), "field"});
  EXPECT_EQ(keyerOf(3), kz::NO_USK) << "taken off";
}

// Untraced, an unchanged keyer leaves its matte setter alone; whatever else wrote or reset the
// matte in between, the next field brings it back, and a new video format converts it again.
TEST_F(SimTest, UntracedUpstreamKeyMatteComesBackAfterItsRegisterWasWrittenOrReset) {
  const Body in = keyBody(1).put(0, 0x1, 4).put(15, 3000, 2).put(17, 1000, 2).put(19, 1080, 2).name("").name("");
  run({("send 7 " + in.hex()).c_str(), "field", "field"});
  constexpr int MATTE = KZ_COLOR_USK4_MATTE - 2;  // keyer 1's
  const auto expectMatte = [](int format, const char* after) {
    const YCbCr10 m = hslToYCbCr(format, 3000, 1000, 1080);
    const kz::Matte& got = kz::matte(KZ_CONTEXT_ME1, MATTE);
    EXPECT_EQ(std::vector<int>({got.y, got.cb, got.cr}), std::vector<int>({m.y, m.cb, m.cr})) << after;
  };
  const int format = category::CategorySystem::get().videoFormat();
  expectMatte(format, "the record");
  setMatteColor(MATTE, 64, 512, 512);
  run({"field"});
  expectMatte(format, "another writer");
  kzInitialize();
  run({"field"});
  expectMatte(format, "a reset of the images");
  run({"send 29 00000001 07 00 00 00 00", "field"});
  expectMatte(7, "a format change");
  run({"restart resume", "field"});
  expectMatte(7, "a warm start");
}
