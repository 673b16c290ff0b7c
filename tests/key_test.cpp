// The keyers through the wire and the backup image: the record's bytes both ways, the checks that
// drop one field and keep the rest, the transition link and aspect pair rules, priorities, names,
// the key command and the fader hooks.
#include <array>
#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "Main/bp.h"
#include "Main/faderevent.h"
#include "Main/key.h"
#include "Main/stream.h"
#include "Main/typelist.h"
#include "Platform/platform.h"
#include "tests/key_body.h"
#include "tests/sim_fixture.h"

using category::CategoryFaderEvent;
using category::CategoryKey;

namespace {

class KeyTest : public SimTest {
 protected:
  Lines echo(const KeyBody& body) { return only(run({("send 0 " + body.hex()).c_str(), "field"}), "msg 0 "); }
  static std::string msg(const KeyBody& body) { return "msg 0 " + body.hex(); }
  static KzifKey& live(int me, int ch) { return CategoryKey::get(me).record(ch); }
};

// Every kind of field once, with values inside their ranges.
KeyBody everyKindOfField(int me, int ch) {
  KeyBody b(me, ch);
  b.put(11, 0x1f, 4).put(15, 0x0301010101, 5);                       // style
  b.put(20, 0xf, 4).put(24, 1080, 2).put(26, 2000, 2).put(28, 1000, 2).put(30, 1, 1);  // adjust
  b.field(0, 31, {3599, 1000, 1080}, 2);
  b.put(37, 0x1f, 4).put(41, 0x0404070302, 5);                       // edge
  b.field(1, 46, {1, 2, 3}, 2);
  b.put(52, 0x7, 4).put(56, 0x020101, 3);                            // box mask
  b.field(2, 59, {-5000, 4000, -4000, 5000}, 2);
  b.field(4, 68, {1000}, 2).field(6, 76, {-5000, 5000, 10000, 0}, 2);
  b.field(7, 84, {1}, 1).field(9, 86, {4}, 1);
  b.put(87, 0x7, 4).put(91, 1, 1).put(92, 1000, 2).put(94, 7, 2);    // border
  b.field(12, 103, {-10000, 10000, 5}, 2).field(13, 109, {40000}, 4);
  b.field(16, 123, {-28800, 28800, 1}, 2);
  b.put(129, 0x3, 4).put(133, 5000, 2).put(135, 10000, 2);           // aspect
  b.field(18, 143, {-100}, 2).field(19, 145, {65}, 2);
  b.put(147, 0x3, 4).put(151, 0x0201, 2);                            // crop
  b.field(21, 155, {-100, 200, -300, 400}, 2).field(22, 163, {4}, 1).field(23, 164, {3}, 1);
  b.field(25, 171, {40000}, 4).field(26, 175, {-720, 720, 0}, 2);
  b.put(181, 0x3, 4).put(185, -999, 2).put(187, 999, 2);             // DVE pair
  b.put(195, 0x7, 4).put(199, 1, 1).put(200, 1, 1).put(201, 999, 2);  // setting A
  b.put(203, 0x5, 4).put(207, 1, 1).put(209, 5, 2);                  // setting B, flag and value
  b.field(30, 213, {7, 2}, 1);
  b.field(33, 218, {2}, 1).field(35, 223, {-10000, 10000}, 2).field(37, 228, {3, 4}, 2);
  b.field(40, 237, {-40, 40, 0}, 2);
  b.put(243, 0xf, 4).put(247, 1, 1).put(248, 1000, 2).put(250, 0, 2).put(252, -45, 2);  // page turn
  b.field(43, 266, {1}, 1).field(44, 267, {-500, 500, 1}, 2);
  b.put(273, 0xf, 4).put(277, 0xff, 1).put(278, -1, 2).put(280, 0xfe, 1).put(281, 0x80, 1);  // unchecked
  b.put(282, 0x7, 4).put(286, 0x030300, 3);                          // linked pair
  b.put(289, 0xf, 4).put(293, 1, 1).put(294, 10000, 2).put(296, 0, 2).put(298, -50, 2);
  b.put(300, 0x8, 4).put(309, 50, 2);
  b.field(46, 312, {1}, 1).field(47, 313, {32}, 1);
  b.put(314, 0x5, 4).put(318, 1, 1).put(320, 1, 1);
  b.field(49, 322, {1}, 1);
  return b.names(0x3, "Logo", "Lower third!").tail(0x7, 1, 1, 4);
}

}  // namespace

TEST_F(KeyTest, RecordIsEchoedAsReceivedAndStoredAtItsOffsets) {
  const KeyBody body = everyKindOfField(1, 1);
  // Its new DVE geometry goes down its link to key 4 (mode 3: as it is, the size limited to 10000),
  // which is echoed under its own channel in the same field.
  const Lines out = echo(body);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0], msg(body));
  EXPECT_EQ(out[1].substr(0, 6 + 2 * 11), "msg 0 00013000000000000100" "03");
  EXPECT_EQ(live(1, 3).dveSize, 10000u);
  EXPECT_EQ(std::tuple(live(1, 3).dveLocation[0], live(1, 3).dveRotation[1]), std::tuple(-10000, 28800));

  // The backup image of M/E 1, key 2 (masks cleared by the send), little-endian as stored.
  const u8* nv = platform::nvWindow() + BP::instance().shareOffset(KzifKey::TYPE_ID, 1) + sizeof(KzifKey);
  const std::map<std::size_t, std::vector<u8>> stored = {
      {8, {1, 0, 1, 0}},            {16, {3, 1, 1, 1, 1}},       {28, {0x38, 4, 0xd0, 7, 0xe8, 3, 1}},
      {36, {0x0f, 0x0e, 0xe8, 3, 0x38, 4}},                      {48, {4, 4, 7, 3, 2}},
      {56, {1, 0, 2, 0, 3, 0}},     {68, {2, 1, 1}},             {72, {0x78, 0xec, 0xa0, 0x0f, 0x60, 0xf0, 0x88, 0x13}},
      {82, {0xe8, 3}},              {90, {0x78, 0xec, 0x88, 0x13, 0x10, 0x27}}, {98, {1, 0, 4}},
      {108, {1, 0, 0xe8, 3, 7, 0}}, {124, {0xf0, 0xd8, 0x10, 0x27, 5, 0, 0, 0, 0x40, 0x9c}},
      {148, {0x80, 0x8f, 0x80, 0x70, 1, 0}}, {160, {0x88, 0x13, 0x10, 0x27}}, {170, {0x9c, 0xff, 0x41, 0}},
      {180, {2, 1}},                {186, {0x9c, 0xff, 0xc8, 0, 0xd4, 0xfe, 0x90, 1, 4, 3}},
      {200, {1, 1, 4}},             {212, {0x40, 0x9c, 0, 0, 0x30, 0xfd, 0xd0, 2}},
      {228, {0x19, 0xfc, 0xe7, 3}}, {244, {1, 1, 0xe7, 3}},       {252, {1, 0, 5, 0}},
      {258, {7, 2}},                {263, {2, 0, 0, 0, 0, 0xf0, 0xd8, 0x10, 0x27}},
      {274, {3, 0, 4, 0}},          {284, {0xd8, 0xff, 0x28, 0}}, {296, {1, 0, 0xe8, 3, 0, 0, 0xd3, 0xff}},
      {316, {1, 0, 0x0c, 0xfe, 0xf4, 1, 1, 0}},                  {328, {0xff, 0, 0xff, 0xff, 0xfe, 0x80}},
      {340, {3, 3}},                {348, {1, 0, 0x10, 0x27, 0, 0, 0xce, 0xff}}, {366, {0x32, 0}},
      {369, {1, 32}},               {376, {1, 0, 1}},            {381, {1}},
      {388, {4, 0, 'L', 'o', 'g', 'o'}},                          {404, {12, 0, 'L', 'o', 'w', 'e', 'r', ' ', 't', 'h', 'i', 'r', 'd', '!'}},
  };
  std::array<u8, sizeof(KzifKey)> expected{};
  for (const auto& [at, bytes] : stored) std::memcpy(expected.data() + at, bytes.data(), bytes.size());
  for (std::size_t i = 0; i < sizeof(KzifKey); ++i) EXPECT_EQ(nv[i], expected[i]) << "stored byte " << i;

  // Resumed, the keys of M/E 0 and 1 are reported again, with their names as they were.
  run({"restart resume"});
  EXPECT_EQ(only(run({"field"}), "msg 0 ").size(), 8u);
  EXPECT_EQ(std::string(live(1, 1).names.name2.chars), "Lower third!");
}

TEST_F(KeyTest, EachCheckDropsItsOwnFieldAndKeepsTheRest) {
  KeyBody sent(0, 3);
  sent.put(20, 0x3, 4).put(24, 1081, 2).put(26, 2000, 2);            // clip refused, gain taken
  sent.field(0, 31, {3600, 0, 0}, 2).field(1, 46, {3599, 1000, 1080}, 2);  // hue 3600 refuses colour 1 whole
  sent.field(5, 70, {0, 1001, 0}, 2);                                 // saturation 1001
  sent.field(2, 59, {0, 0, 0, 5001}, 2);                              // one box edge out
  sent.field(6, 76, {0, 0, 10001, 0}, 2);                             // shape width out
  sent.field(13, 109, {10001}, 4);                                    // key 4: at most 10000
  sent.field(30, 213, {1, 1}, 1).field(31, 215, {1, 0}, 1);           // key 4: group 0 only
  sent.put(195, 0x2, 4).put(200, 2, 1);                               // type 2 never from a record
  sent.field(29, 212, {1}, 1);                                        // setting B selected: ours
  sent.field(45, 311, {4}, 1).field(46, 312, {1}, 1);                 // priority 4 refused, group taken
  sent.put(282, 0x3, 4).put(286, 0x0204, 2);                          // linked pair: second 4 refused

  KeyBody echoed(0, 3);
  echoed.put(20, 0x2, 4).put(26, 2000, 2).field(1, 46, {3599, 1000, 1080}, 2).field(31, 215, {1, 0}, 1);
  echoed.field(46, 312, {1}, 1).put(282, 0x1, 4).put(286, 0x02, 1);
  EXPECT_EQ(echo(sent), Lines{msg(echoed)});

  // The same size and patterns are taken by key 1 and key 2.
  // An empty record is still reported, stamped with its key.
  for (const KeyBody& b : {KeyBody(0, 0).field(13, 109, {40000}, 4).field(30, 213, {1, 1}, 1),
                           KeyBody(0, 1).field(30, 213, {9, 1}, 1), KeyBody(3, 1)})
    EXPECT_EQ(echo(b), Lines{msg(b)});
  // M/E 4 or key 4 is no record at all.
  for (const KeyBody& b : {KeyBody(4, 0), KeyBody(0, 4)}) EXPECT_EQ(echo(KeyBody(b).field(13, 109, {1}, 4)), Lines{});
}

// A later record of the same field whose values are refused leaves what an earlier one took,
// values and marks, as it was; what it takes itself is added.
TEST_F(KeyTest, ARefusedValueKeepsWhatAnEarlierRecordOfTheFieldTook) {
  const KeyBody first = KeyBody(0, 3).field(13, 109, {5000}, 4).field(30, 213, {1, 0}, 1);
  KeyBody second(0, 3);
  second.field(13, 109, {10001}, 4).field(30, 213, {1, 1}, 1).field(46, 312, {1}, 1);
  const Lines out = only(run({("send 0 " + first.hex()).c_str(), ("send 0 " + second.hex()).c_str(), "field"}), "msg 0 ");
  EXPECT_EQ(out, Lines{msg(KeyBody(first).field(46, 312, {1}, 1))});
}

// The marks of the sub-records the checks read (settings A and B, the linked pair) that an earlier
// record of the field set are kept by a later one that changes something else.
TEST_F(KeyTest, ALaterRecordKeepsTheSubRecordMarksOfAnEarlierOne) {
  const KeyBody first = KeyBody(2, 1).put(195, 0x4, 4).put(201, 300, 2).put(282, 0x1, 4).put(286, 3, 1);
  const KeyBody second = KeyBody(2, 1).put(203, 0x1, 4).put(207, 1, 1).field(46, 312, {1}, 1);
  const Lines out = only(run({("send 0 " + first.hex()).c_str(), ("send 0 " + second.hex()).c_str(), "field"}), "msg 0 ");
  EXPECT_EQ(out, Lines{msg(KeyBody(first).put(203, 0x1, 4).put(207, 1, 1).field(46, 312, {1}, 1))});
}

TEST_F(KeyTest, BoxEdgesAreKeptAsSentAndCropEdgesAsAdjusted) {
  // Box edges crossing each other are stored as they are; the update sorts them when it draws.
  KeyBody box(0, 1);
  box.field(2, 59, {2000, 0, 0, -2000}, 2);
  EXPECT_EQ(echo(box), Lines{msg(box)});
  // Unlinked crop: a left edge moved past the right one pushes it along.
  KeyBody crop(0, 0);
  crop.field(21, 155, {3000, 0, 0, 1000}, 2);
  EXPECT_EQ(echo(crop), Lines{msg(KeyBody(0, 0).field(21, 155, {3000, 0, 0, 3000}, 2))});
  // Linked (the live link counts): the moved edge mirrors into its partner.
  run({("send 0 " + KeyBody(0, 0).put(147, 0x2, 4).put(152, 1, 1).hex()).c_str(), "field"});
  EXPECT_EQ(echo(KeyBody(0, 0).field(21, 155, {-1000, 3000, 0, 3000}, 2)),
            Lines{msg(KeyBody(0, 0).put(152, 1, 1).field(21, 155, {-1000, 3000, -3000, 1000}, 2))});
  // A top edge moved below the centre mirrors above it: both end at the centre.
  EXPECT_EQ(echo(KeyBody(0, 0).field(21, 155, {-1000, -2000, -3000, 1000}, 2)),
            Lines{msg(KeyBody(0, 0).put(152, 1, 1).field(21, 155, {-1000, 0, 0, 1000}, 2))});
}

TEST_F(KeyTest, AspectPairTakesBothMembersOrNeither) {
  const auto pair = [](u32 mask, int a, int b) { return KeyBody(0, 1).put(129, mask, 4).put(133, a, 2).put(135, b, 2); };
  EXPECT_EQ(echo(pair(0x3, 0, 7000)), Lines{msg(pair(0x3, 10000, 7000))});
  EXPECT_EQ(echo(pair(0x3, 6000, 4000)), Lines{msg(pair(0x0, 10000, 7000))});
  EXPECT_EQ(echo(pair(0x1, 8000, 0)), Lines{msg(pair(0x3, 8000, 10000))});
  EXPECT_EQ(echo(pair(0x0, 0, 0)), Lines{msg(pair(0x0, 8000, 10000))});
}

// The pair as a record sends it is settled (a 0 stands for 10000 and counts as sent; both members
// usable or neither taken) and then merged by its checks, for every mix of marks and of members
// at and around the ends of the range, into a pair that held other values.
TEST_F(KeyTest, AspectPairIsSettledBeforeItsMergeForEveryMixOfMembers) {
  CategoryKey& keys = CategoryKey::get(1);
  const i16 members[] = {0, -1, 4999, 5000, 7500, 10000, 10001};
  const auto usable = [](i16 v) { return 5000 <= v && v <= 10000; };
  for (u32 mask = 0; mask < 4; ++mask)
    for (i16 a : members)
      for (i16 b : members) {
        KzifKey& live = keys.record(2);
        rec::clearMasks(live);
        live.dveAspect.aspectA = 6000;
        live.dveAspect.aspectB = 9000;
        KzifKey in{};
        in.dveAspect = KeyPair16{mask, a, b};
        keys.assign(in, 2);

        KeyPair16 expected{0, 6000, 9000};
        if (mask != 0) {
          const i16 settledA = a == 0 ? i16{10000} : a, settledB = b == 0 ? i16{10000} : b;
          const u32 sent = mask | (a == 0 ? KeyPair16::A : 0u) | (b == 0 ? KeyPair16::B : 0u);
          if (usable(settledA) && usable(settledB)) {
            if (sent & KeyPair16::A) expected.aspectA = settledA;
            if (sent & KeyPair16::B) expected.aspectB = settledB;
            expected.mask = sent;
          }
        }
        const KeyPair16& got = keys.data(2).dveAspect;
        EXPECT_EQ(std::tuple(got.mask, +got.aspectA, +got.aspectB), std::tuple(expected.mask, +expected.aspectA, +expected.aspectB))
            << "mask " << mask << ", members " << a << " " << b;
      }
}

TEST_F(KeyTest, TransitionLinkCopiesSettingAIntoB) {
  // Settings A and B of M/E 2, key 1, each as mask, flag, type, value.
  using S = std::array<int, 4>;
  const auto ab = [](KeyBody b, S a, S s) {
    b.put(195, a[0], 4).put(199, a[1], 1).put(200, a[2], 1).put(201, a[3], 2);
    return b.put(203, s[0], 4).put(207, s[1], 1).put(208, s[2], 1).put(209, s[3], 2);
  };
  const KeyBody plain(2, 0), link = KeyBody(2, 0).field(28, 211, {1}, 1);
  echo(ab(plain, {7, 1, 1, 300}, {7, 0, 0, 100}));
  // Linking with a new A value: B takes the record's value and the live flag and type.
  EXPECT_EQ(echo(ab(link, {4, 0, 0, 500}, {})), Lines{msg(ab(link, {4, 1, 1, 500}, {7, 1, 1, 500}))});
  // Live linked, the record leaves the link alone: A wins over B, each field goes to both.
  EXPECT_EQ(echo(ab(plain, {1, 0, 0, 0}, {5, 1, 0, 700})),
            Lines{msg(ab(KeyBody(2, 0).put(211, 1, 1), {5, 0, 1, 700}, {5, 0, 1, 700}))});
  // Both linked and the record saying so: each setting is taken on its own.
  EXPECT_EQ(echo(ab(link, {}, {4, 0, 0, 9})), Lines{msg(ab(link, {0, 0, 1, 700}, {4, 0, 1, 9}))});
  // Still linked: a field only A carries goes to B under its own bit alone.
  EXPECT_EQ(echo(ab(plain, {2, 1, 0, 0}, {})),
            Lines{msg(ab(KeyBody(2, 0).put(211, 1, 1), {2, 0, 0, 700}, {2, 0, 0, 9}))});
}

TEST_F(KeyTest, PriorityMovesTheOtherKeysAndReportsAllFour) {
  for (int k = 0; k < 4; ++k) live(1, k).priority = static_cast<u8>(k);
  const Lines out = echo(KeyBody(1, 2).field(45, 311, {0}, 1));
  ASSERT_EQ(out.size(), 4u);
  const std::array<int, 4> expected = {1, 2, 0, 3};
  for (int k = 0; k < 4; ++k) {
    EXPECT_EQ(live(1, k).priority, expected[static_cast<std::size_t>(k)]) << k;
    EXPECT_EQ(out[static_cast<std::size_t>(k)], msg(KeyBody(1, k).field(45, 311, {expected[static_cast<std::size_t>(k)]}, 1)));
  }
  // The same priority again, alone or twice within one field, moves nothing and is still reported
  // for all four keys.
  const std::string again = "send 0 " + KeyBody(1, 2).field(45, 311, {0}, 1).hex();
  for (const Lines& repeat : {echo(KeyBody(1, 2).field(45, 311, {0}, 1)), only(run({again.c_str(), again.c_str(), "field"}), "msg 0 ")}) {
    ASSERT_EQ(repeat.size(), 4u);
    for (int k = 0; k < 4; ++k)
      EXPECT_EQ(repeat[static_cast<std::size_t>(k)], msg(KeyBody(1, k).field(45, 311, {expected[static_cast<std::size_t>(k)]}, 1))) << k;
  }
}

TEST_F(KeyTest, NamesKeepTwelveCharactersAndABodyTooShortDropsTheRecord) {
  const std::string twelve = "ABCDEFGHIJKL";
  EXPECT_EQ(echo(KeyBody(0, 0).names(0x3, "", twelve)), Lines{msg(KeyBody(0, 0).names(0x3, "", twelve))});
  EXPECT_EQ(echo(KeyBody(0, 0).names(0x1, twelve + "MNOPQRST", "x").field(46, 312, {1}, 1)),
            Lines{msg(KeyBody(0, 0).names(0x1, twelve, twelve).field(46, 312, {1}, 1))});

  // A name running past the body: the whole record is dropped, the next frame read as usual.
  std::string cut = KeyBody(0, 1).field(46, 312, {1}, 1).names(0x1, "Title", "").hex();
  cut = cut.substr(0, 2 * 329) + "0014" + hexBytes(0x41424344, 4);  // 20 characters announced, 4 sent
  const KeyBody next = KeyBody(0, 2).field(46, 312, {1}, 1);
  EXPECT_EQ(only(run({("send 0 " + cut).c_str(), ("send 0 " + next.hex()).c_str(), "field"}), "msg"), Lines{msg(next)});
  EXPECT_EQ(live(0, 1).group, 0);

  // A damaged image never makes a name longer than its twelve characters.
  u8* nv = platform::nvWindow() + BP::instance().shareOffset(KzifKey::TYPE_ID, 0);
  nv[388] = 60;
  std::memset(nv + 390, 'Z', 14);
  dropCommitRecords();  // the copy edited above is the one resumed
  run({"restart resume"});
  EXPECT_EQ(live(0, 0).names.name1.length, 12);
  EXPECT_EQ(std::string(live(0, 0).names.name1.chars), "ZZZZZZZZZZZZ");
}

TEST_F(KeyTest, CommandCopiesDveSettingsIntoTheKeysOfItsTargetMe) {
  KeyBody dve(0, 0);  // key 1 of M/E 0
  dve.field(7, 84, {1}, 1).field(8, 85, {1}, 1).field(9, 86, {3}, 1).field(12, 103, {1, 2, 3}, 2).field(13, 109, {30000}, 4);
  dve.field(16, 123, {10, 20, 30}, 2).put(129, 0x3, 4).put(133, 6000, 2).put(135, 7000, 2).field(20, 153, {-7}, 2);
  dve.put(147, 0x3, 4).put(151, 0x0100, 2).field(21, 155, {-1, 2, -3, 4}, 2);
  dve.put(87, 0x7, 4).put(91, 1, 1).put(92, 9, 2).put(94, 8, 2);
  dve.field(45, 311, {2}, 1).names(0x1, "not copied", "");
  echo(dve);

  // Codes 1 (key 1 of M/E 0) into keys 1 and 3 of M/E 1; code 5 names M/E 4 and leaves key 2 alone.
  const Lines out = run({"send 74 0a0b 0000 0000 01 0000000f 01 05 01 00", "field"});
  EXPECT_EQ(only(out, "msg 74"), Lines{"msg 74 0a0b00000000010000000f01050100"});
  // Key 1 of M/E 1 carries the sent DVE fields, all of bits 7 to 21 marked, but not the priority or names.
  KeyBody key1 = dve;
  key1.put(8, 1, 1).bits((1ull << 22) - (1ull << 7)).without(45).put(311, 0, 1).names(0, "", "");
  KeyBody key3 = key1;  // no rotation, aspect or value 5, and the size cut to 10000
  key3.put(9, 2, 2).put(109, 10000, 4).put(123, 0, 6).put(129, 0, 8).put(153, 0, 2);
  key3.without(16).without(20);
  EXPECT_EQ(only(out, "msg 0 "), (Lines{msg(key1), msg(key3)}));
}

TEST_F(KeyTest, CommandAnswersEvenWhenItCopiesNothing) {
  live(0, 2).dveSize = 5000;
  live(0, 2).dveRotation[0] = 100;
  // From key 3 into key 1 of the same M/E: no rotation.
  run({"send 74 0000 0000 0000 00 00000000 03 00 00 00", "field"});
  EXPECT_EQ(std::pair(live(0, 0).dveSize, live(0, 0).dveRotation[0]), std::pair(5000u, i16{0}));
  // Target M/E 4 copies nothing and answers 0; an unknown command answers -2 and echoes the rest;
  // a short command is no command.
  for (const auto& [command, answer] : std::vector<std::pair<const char*, Lines>>{
           {"send 74 0102 0000 7fff 04 01020304 01 01 01 01", {"msg 74 010200000000040102030401010101"}},
           {"send 74 0102 0005 0000 01 01020304 01 02 03 04", {"msg 74 01020005fffe010102030401020304"}},
           {"send 74 0102 0000 0000 01", {}}})
    EXPECT_EQ(only(run({command, "field"}), "msg"), answer) << command;
  EXPECT_EQ(only(run({"send 74 01", "field"}), "log"),
            Lines{"log [ERR] receive KzifKeyCmd dropped: length 1, record takes 15"});
  RequestReceiver other(75, {});
  lines.clear();
  EXPECT_THROW(CategoryKey::get(0).receiveRouted(75, other), assert::AssertException);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(") id is 75 must be IndexOf<KzifKeyCmd>::value"), std::string::npos) << lines[0];
}

TEST_F(KeyTest, FaderTableTurnsKeysOnAndOffAndRecordsRequestIt) {
  CategoryFaderEvent& fe = CategoryFaderEvent::get();
  const auto state = [](int me, int k) {
    const KzifKey& r = live(me, k);
    return std::tuple(+r.keyOn, +r.inTransition, +r.transStopped);
  };
  // A record asks key 2 of M/E 3 on: the fader's cut takes it there within two fields.
  fe.link(keyTransIndex(3, 1)).owner = 1;
  run({("send 0 " + KeyBody(3, 1).field(48, 321, {1}, 1).hex()).c_str(), "field"});
  EXPECT_EQ(fe.link(keyTransIndex(3, 1)).owner, FaderLink::FREE);
  // The completed cut flips the end flag: setting B (key out) is selected from then on.
  EXPECT_EQ(only(run({"field"}), "msg 0"), Lines{msg(KeyBody(3, 1).field(50, 323, {1}, 1).field(29, 212, {1}, 1))});
  EXPECT_EQ(only(run({"field"}), "msg 0"),
            Lines{msg(KeyBody(3, 1).field(48, 321, {1}, 1).field(50, 323, {0}, 1).put(212, 1, 1))});
  EXPECT_EQ(state(3, 1), std::tuple(1, 0, 0));

  // An automatic take off over two fields: in transition while it runs.
  fe.transition(keyTransIndex(3, 1)).start(2, 1);
  run({"field 2"});
  EXPECT_EQ(state(3, 1), std::tuple(1, 1, 0));
  EXPECT_EQ(only(run({"field"}), "msg 0"), Lines{msg(KeyBody(3, 1).field(48, 321, {0}, 1).field(51, 324, {0}, 1))});
  EXPECT_EQ(only(run({"field"}), "msg 0"), Lines{});  // nothing changed, nothing reported

  // A key group goes off together.
  for (int k : {0, 2}) {
    live(3, k).group = 1;
    fe.transition(keyTransIndex(3, k)).endFlag = -1;
  }
  run({"field"});
  ASSERT_EQ(std::pair(state(3, 0), state(3, 2)), std::pair(std::tuple(1, 0, 0), std::tuple(1, 0, 0)));
  run({("send 0 " + KeyBody(3, 0).field(48, 321, {0}, 1).hex()).c_str(), "field 3"});
  EXPECT_EQ(std::pair(state(3, 0), state(3, 2)), std::pair(std::tuple(0, 0, 0), std::tuple(0, 0, 0)));
}

// Key on past 1e-5; in transition strictly between 1e-5 and 0.99999, at either end only while
// running; stopped while a cut is pending. A negative end flag measures from the other end.
TEST_F(KeyTest, KeyStatusFollowsItsTransitionOnBothSidesOfEachEnd) {
  using T = AutoTransition;
  struct Case {
    f32 position;
    i32 endFlag, state;
    std::tuple<int, int, int> expected;  // key on, in transition, transition stopped
  };
  const Case cases[] = {
      {0.5f, 1, T::STATE_PAUSED, {1, 1, 0}},      {1.0f, 1, T::STATE_RUNNING, {1, 1, 0}},
      {1.0f, 1, T::STATE_IDLE, {1, 0, 0}},        {0.0f, 1, T::STATE_RUNNING, {0, 1, 0}},
      {0.0f, 1, T::STATE_IDLE, {0, 0, 0}},        {0.5f, 1, T::STATE_CUT_PENDING, {1, 1, 1}},
      {0.99998f, 1, T::STATE_IDLE, {1, 1, 0}},    {0.999995f, 1, T::STATE_RAMP, {1, 0, 0}},
      {2e-5f, 1, T::STATE_IDLE, {1, 1, 0}},       {5e-6f, 1, T::STATE_IDLE, {0, 0, 0}},
      {0.25f, -1, T::STATE_IDLE, {1, 1, 0}},      {1.0f, -1, T::STATE_CUT_PENDING, {0, 0, 1}},
      {0.0f, -1, T::STATE_IDLE, {1, 0, 0}},
  };
  std::array<AutoTransition, N_AUTO_TRANSITIONS> table{};
  AutoTransition& t = table[static_cast<std::size_t>(keyTransIndex(2, 3))];
  for (const Case& c : cases) {
    t.positionA = c.position, t.endFlag = c.endFlag, t.state = c.state;
    followKeyTransitions(table);
    const KzifKey& r = std::as_const(CategoryKey::get(2)).record(3);
    EXPECT_EQ(std::tuple(+r.keyOn, +r.inTransition, +r.transStopped), c.expected)
        << c.position << " end " << c.endFlag << " state " << c.state;
    const KzifKey& other = std::as_const(CategoryKey::get(2)).record(2);
    EXPECT_EQ(std::tuple(+other.keyOn, +other.inTransition, +other.transStopped), std::tuple(0, 0, 0));
  }
}

TEST_F(KeyTest, TransitionSettingHooksFollowTheLinkAndTheSelectedSetting) {
  CategoryKey& keys = CategoryKey::get(2);
  KzifKey& r = live(2, 3);
  const auto cycle = [&](int flag, int type) {
    r.settingA.flag = static_cast<u8>(flag);
    r.settingA.type = static_cast<u8>(type);
    keys.cycleTransSetting(3);
    return std::pair(+r.settingA.flag, +r.settingA.type);
  };
  EXPECT_EQ(cycle(0, 1), std::pair(1, 0));
  EXPECT_EQ(cycle(1, 0), std::pair(1, 1));
  EXPECT_EQ(cycle(1, 1), std::pair(0, 0));
  EXPECT_EQ(cycle(1, 2), std::pair(0, 0));
  EXPECT_EQ(r.settingB.mask, 0u);

  r.settingBSelected = 1;  // as the update keeps it while the key stands on
  CategoryFaderEvent::get().transition(keyTransIndex(2, 3)).endFlag = -1;
  keys.setTransType(3, 2);
  EXPECT_EQ(std::tuple(+r.settingA.type, +r.settingB.type, keys.activeTransType(3)), std::tuple(0, 2, 2));
  // Linked: A decides, both take the step.
  r.transLink = 1;
  r.settingB = KeyTransSetting{0, 1, 1, 0};
  keys.cycleTransSetting(3);
  EXPECT_EQ(std::tuple(+r.settingA.flag, +r.settingA.type, +r.settingB.flag, +r.settingB.type), std::tuple(1, 0, 1, 0));
  keys.setTransType(3, 2);
  EXPECT_EQ(std::pair(+r.settingA.type, +r.settingB.type), std::pair(2, 2));

  keys.toggleTransKind(3);
  EXPECT_EQ(only(run({"field"}), "msg 0"), Lines{msg(KeyBody(2, 3).field(7, 84, {1}, 1).put(195, 0x3, 4).put(199, 1, 1).put(200, 2, 1)
                                                     .put(203, 0x3, 4).put(207, 1, 1).put(208, 2, 1).put(211, 1, 1).put(212, 1, 1)
                                                     .field(48, 321, {1}, 1))});
  // The kind toggles back and forth between the DVE (1) and the wipe (0).
  keys.toggleTransKind(3);
  EXPECT_EQ(+r.transKind, 0);
  keys.toggleTransKind(3);
  EXPECT_EQ(+r.transKind, 1);
}

// A key record merged from its wire body gives what the decoded record's merge gives (the four
// keys of the M/E byte for byte, values and marks, and the key state the record asks for) and
// leaves the body's reader where the decode leaves it, over random bodies: every mask word full,
// clear or random, values mostly near the ranges' low ends (so that many are taken) and some
// anywhere, names of every length a body can carry (negative, empty, past the capacity) and
// bodies cut short. The live keys carry on from one record to the next, their marks cleared now
// and then as a send would.
TEST_F(KeyTest, WireMergeMatchesTheDecodedRecordsMerge) {
  std::uint32_t seed = 12345;
  const auto next = [&seed] {
    seed = seed * 1664525u + 1013904223u;
    return seed >> 8;
  };
  const auto byte = [&next] { return static_cast<u8>(next() % 4 == 0 ? next() : next() % 3); };
  using Keys = std::array<std::array<u8, sizeof(KzifKey)>, CategoryKey::N_KEYS>;
  const auto keysOf = [](int me) {
    Keys k;
    for (int ch = 0; ch < CategoryKey::N_KEYS; ++ch) std::memcpy(k[static_cast<std::size_t>(ch)].data(), &CategoryKey::get(me).data(ch), sizeof(KzifKey));
    return k;
  };
  const auto requests = [](int me) {
    std::array<i32, CategoryKey::N_KEYS> r{};
    for (int ch = 0; ch < CategoryKey::N_KEYS; ++ch) r[static_cast<std::size_t>(ch)] = CategoryKey::get(me).requestedKeyState(ch);
    return r;
  };
  int taken = 0;
  for (int trial = 0; trial < 3000; ++trial) {
    const int me = static_cast<int>(next() % 4), ch = static_cast<int>(next() % 4);
    std::vector<u8> body(329);
    for (u8& b : body) b = byte();
    for (int w = 0; w < 2; ++w) {
      const u32 pick = next() % 3;
      const u32 word = pick == 0 ? 0xFFFFFFFFu : pick == 1 ? 0u : (next() << 8) ^ next();
      for (int i = 0; i < 4; ++i) body[static_cast<std::size_t>(4 * w + i)] = static_cast<u8>(word >> (8 * (3 - i)));
    }
    body[8] = static_cast<u8>(me);
    body[9] = 0;
    body[10] = static_cast<u8>(ch);
    for (int n = 0; n < 2; ++n) {
      const int length = static_cast<int>(next() % 19) - 2;
      body.push_back(static_cast<u8>(static_cast<u16>(length) >> 8));
      body.push_back(static_cast<u8>(length));
      for (int i = 0; i < (length < 0 ? 0 : length + 1); ++i) body.push_back(static_cast<u8>(next() % 2 == 0 ? 'a' + next() % 26 : next()));
    }
    for (int i = 0; i < 7; ++i) body.push_back(byte());
    if (next() % 16 == 0) body.resize(next() % body.size());

    if (next() % 4 == 0)
      for (int k = 0; k < CategoryKey::N_KEYS; ++k) rec::clearMasks(CategoryKey::get(me).record(k));
    for (int k = 0; k < CategoryKey::N_KEYS; ++k) CategoryKey::get(me).clearRequestedKeyState(k);
    const Keys before = keysOf(me);

    KzifKey in{};
    rec::WireReader reader(std::span<const u8>(body.data(), body.size()));
    if (rec::decode(reader, in)) {
      CategoryKey::get(me).assign(in, ch);
      ++taken;
    }
    const Keys decoded = keysOf(me);
    const auto requestedDecoded = requests(me);

    for (int k = 0; k < CategoryKey::N_KEYS; ++k) {
      KzifKey& r = CategoryKey::get(me).record(k);
      std::memcpy(static_cast<void*>(&r), before[static_cast<std::size_t>(k)].data(), sizeof(KzifKey));
      CategoryKey::get(me).clearRequestedKeyState(k);
    }
    RequestReceiver rx(static_cast<u16>(IndexOf<KzifKey>::value), std::span<const u8>(body.data(), body.size()));
    CategoryKey::get(0).receive(rx);
    // The receive pass logs a short body or a length mismatch by where the reader stands.
    ASSERT_EQ(rx.reader().ok(), reader.ok()) << "trial " << trial;
    ASSERT_EQ(rx.reader().position(), reader.position()) << "trial " << trial;
    const Keys wire = keysOf(me);
    for (int k = 0; k < CategoryKey::N_KEYS; ++k)
      for (std::size_t i = 0; i < sizeof(KzifKey); ++i)
        ASSERT_EQ(wire[static_cast<std::size_t>(k)][i], decoded[static_cast<std::size_t>(k)][i])
            << "trial " << trial << ", key " << k << ", byte " << i;
    ASSERT_EQ(requests(me), requestedDecoded) << "trial " << trial;
  }
  EXPECT_GT(taken, 2500);  // most bodies were whole
}

TEST(KeyCode, CodesNameKeysOfMe0To3Only) {
  const auto at = [](int c) {
    const KeyCode k = decodeKeyCode(c);
    return std::tuple(k.valid, k.me, k.key);
  };
  EXPECT_EQ(at(1), std::tuple(true, 0, 0));
  EXPECT_EQ(at(12), std::tuple(true, 1, 3));
  EXPECT_EQ(at(28), std::tuple(true, 3, 3));
  for (int c : {0, 5, 8, 13, 29, 32, 33, 255}) EXPECT_FALSE(std::get<0>(at(c))) << c;
}
