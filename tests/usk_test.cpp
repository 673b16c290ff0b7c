// The upstream keys and their assignment through the wire and the driver trace: the records' bytes,
// the name rule, the mirror with buses 72..79 of M/E 0, the keyer input routing and the key values
// at the hardware.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "Main/bp.h"
#include "Main/bus.h"
#include "Main/usk.h"
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
  Body& name(const std::string& s, int length) {
    bytes_.push_back(static_cast<u8>(length >> 8));
    bytes_.push_back(static_cast<u8>(length));
    bytes_.insert(bytes_.end(), s.begin(), s.end());
    bytes_.push_back(0);
    return *this;
  }
  Body& name(const std::string& s) { return name(s, static_cast<int>(s.size())); }
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
  Body taken = assignBody();
  taken.put(4, 0x04, 4).put(10, 11, 1).put(10 + 0, 11, 1).put(766, 0x2, 4);
  taken.put(8, 10, 1);  // untouched sources are carried as held
  EXPECT_EQ(only(send(8, bad), "msg 8")[0].substr(0, 6 + 2 * 16), "msg 8 " + taken.hex().substr(0, 32));
  EXPECT_EQ(assignment().inputKey[0].key, 0);
  EXPECT_EQ(assignment().assignment.assignFlag[0], 0);
}

TEST_F(UskTest, BusesAndAssignmentMirrorEachOtherOnce) {
  // Bus to assignment: the answer back finds the bus equal.
  ASSERT_TRUE(bus0().selectSource(74, 12));
  EXPECT_EQ(assignment().sources.uskSource[2], 12);
  EXPECT_EQ(bus0().getSource(74), 12);
  // Assignment to bus.
  send(8, assignBody().put(4, 0x1, 4).put(8, 20, 1));
  EXPECT_EQ(bus0().getSource(72), 20);
  // A source the bus refuses (an M/E output) is answered with the one the bus keeps.
  const Lines out = send(8, assignBody().put(4, 0x1, 4).put(8, 150, 1));
  EXPECT_EQ(bus0().getSource(72), 20);
  EXPECT_EQ(assignment().sources.uskSource[0], 20);
  // The other M/Es' copies of the buses never reach the assignment; no bus outside 0..7 does.
  CategoryUpStreamKeyAssign::get().setSource(13, 8);
  CategoryUpStreamKeyAssign::get().setSource(300 + 12, 0);  // would read back as 56 in one byte
  EXPECT_EQ(assignment().sources.uskSource[0], 20);
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

  internal::KzifButtonEvent press{};
  press.code = 2051;
  press.state = 1;
  CategoryUpStreamKeyAssign::get().onButton(press);
  EXPECT_EQ(only(run({"field"}), "drv setInputUsk")[4], "drv setInputUsk 0x1104 1 0x1283");
  CategoryUpStreamKeyAssign::get().onButton(press);
  EXPECT_EQ(assignment().assignment.assignFlag[1], 0);
  EXPECT_EQ(CategoryUpStreamKeyAssign::get().isAssigned(9), 0);
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
  EXPECT_EQ(std::string(key(0).names.name1.chars), "");
  EXPECT_EQ(std::string(key(0).names.name2.chars), "ok\\\\");
  // A long name is cut to 12; the stored part is judged: one ending in a lone backslash is
  // refused and the old name stays.
  send(7, keyBody(0).put(47, 0x1, 4).name("Thirteen chars").name(""));
  EXPECT_EQ(std::string(key(0).names.name1.chars), "Thirteen cha");
  send(7, keyBody(0).put(47, 0x1, 4).name("abcdefghij\\\\x").name(""));
  EXPECT_EQ(std::string(key(0).names.name1.chars), "abcdefghij\\\\");
  send(7, keyBody(0).put(47, 0x1, 4).name("abcdefghijk\\x").name(""));
  EXPECT_EQ(std::string(key(0).names.name1.chars), "abcdefghij\\\\");
  // Length 0 is the empty name.
  send(7, keyBody(0).put(47, 0x1, 4).name("", 0).name(""));
  EXPECT_EQ(key(0).names.name1.length, 0);
  // A name running past the body drops the record; channel 4 is dropped too.
  const std::string cut = keyBody(1).put(0, 0x1, 4).put(15, 100, 2).put(47, 0x1, 4).name("abc").hex();
  EXPECT_EQ(only(run({("send 7 " + cut.substr(0, cut.size() - 4)).c_str(), "field"}), "msg 7"), Lines{});
  EXPECT_EQ(key(1).matteColor[0], 0);
  EXPECT_EQ(only(send(7, keyBody(4).put(0, 0x1, 4).put(15, 100, 2)), "msg 7"), Lines{});
}

TEST_F(UskTest, ClipAndGainReachTheKeyer) {
  // Keyer 3, type 1, clip 250 and 500, gain 1000, density 500.
  for (int clip : {250, 500, 1000}) {
    Body in = keyBody(3);
    in.put(6, 0x1, 4).put(10, 1, 1).put(21, 0x7, 4).put(25, clip, 2).put(27, 1000, 2).put(29, 500, 2).name("").name("");
    send(7, in);
    const Lines out = run({"field"});
    const float hw = static_cast<float>(clip) * 876.0f / 1000.0f + 64.0f;
    char want[96];
    std::snprintf(want, sizeof want, "drv setKeyClipGain 0x1287 0 %g %g 0 0.5", hw, 1024.0f / 876.0f);
    const Lines got = only(out, "drv setKeyClipGain 0x1287");
    EXPECT_NE(std::find(got.begin(), got.end(), want), got.end()) << want;
  }
  // Type 0 with a separate key: the update of the same field clears it, and the echo carries the
  // correction.
  const Lines fixed = send(7, keyBody(1).put(6, 0x9, 4).put(13, 1, 1).name("").name(""));
  EXPECT_EQ(key(1).style.styleFlag4, 0);
  const Lines echo = only(fixed, "msg 7");
  ASSERT_EQ(echo.size(), 1u);
  EXPECT_EQ(echo[0].substr(6 + 2 * 6, 18), "000000090000000000");  // style: mask, type 0, separate key 0
  EXPECT_FALSE(only(fixed, "drv setKeyInvert 0x1283 0").empty());
}

}  // namespace
