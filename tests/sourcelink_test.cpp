// Source link table and button inhibit settings through the wire: which values are taken, what is
// echoed, what the backup image holds, and what a warm start reports.
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "Main/bp.h"
#include "Main/buttoninhibit.h"
#include "Main/sourcelink.h"
#include "Platform/platform.h"
#include "tests/record_hex.h"
#include "tests/sim_fixture.h"

namespace {

std::string zeros(int bytes) { return std::string(static_cast<std::size_t>(bytes) * 2, '0'); }

std::string stored(int typeId, std::size_t from, std::size_t n) {
  const u8* nv = platform::nvWindow() + BP::instance().shareOffset(typeId, 0) + from;
  std::string s;
  for (std::size_t i = 0; i < n; ++i) s += hexBytes(nv[i], 1);
  return s;
}

class SourceLinkTest : public SimTest {
 protected:
  void SetUp() override {
    initCategorySourceLink();
    initCategoryButtonInhibit();
    SimTest::SetUp();
  }
  Lines sendAndField(int type, const std::string& body) {
    const std::string line = "send " + std::to_string(type) + " " + body;
    return only(run({line.c_str(), "field"}), "msg " + std::to_string(type));
  }
  static category::CategorySourceLink& link() { return category::CategorySourceLink::get(); }
};

// ---- source link ------------------------------------------------------------------------------

// A link body with the given link entries (index -> value, each marked), no AUX links.
std::string linkBody(u32 mask, const std::map<int, int>& links, int identity = 0, int direction = 0) {
  u32 words[7] = {};
  for (const auto& [i, v] : links) words[i / 32] |= 1u << (i % 32);
  std::string s = hexBytes(0, 4) + hexBytes(mask, 4);
  for (u32 w : words) s += hexBytes(w, 4);
  for (int i = 0; i < N_LINK_KEYS; ++i) s += hexBytes(links.count(i) ? static_cast<unsigned>(links.at(i)) : 0u, 2);
  return s + hexBytes(static_cast<unsigned>(direction), 1) + hexBytes(static_cast<unsigned>(identity), 1) +
         zeros(4 + N_AUX_LINK_PAIRS);
}

TEST(LinkKeyList, EntryOrderAndGaps) {
  const std::pair<int, int> cases[] = {{9, -1},    {10, 0},    {137, 127}, {138, -1}, {140, 128}, {166, -1},
                                       {178, 154}, {183, -1},  {211, 170}, {233, 178}, {234, -1}, {313, -1},
                                       {314, 179}, {329, 194}, {330, -1}};
  for (const auto& [source, index] : cases) EXPECT_EQ(linkKeyIndex(source), index) << source;
}

TEST_F(SourceLinkTest, EchoBackupAndWarmStartCarryOnlyTheAcceptedValues) {
  // link[0] = 11 and link[194] = 329 are sources of the table, link[1] = 138 is not, link[2] = 0
  // clears; direction 1 is new; identity 2 and AUX flag 1 = 2 are out of range.
  std::string in = hexBytes(0x12345678, 4) + hexBytes(3, 4) + hexBytes(7, 4) + zeros(20) + hexBytes(4, 4) + "000b008a0000" +
                   zeros(191 * 2) + "0149" + "0102" + "00800003" + "0102" + zeros(21) + "01";
  ASSERT_EQ(in.size(), 456u * 2);
  const std::string echo = "00000000" "00000001" "00000005" + zeros(20) + "00000004" + "000b00000000" +
                           zeros(191 * 2) + "0149" + "0100" + "00800001" + "0100" + zeros(21) + "01";
  EXPECT_EQ(sendAndField(37, in), (Lines{"msg 37 " + echo}));
  // Saved in the same field, little-endian as held, the marks already cleared by the send.
  EXPECT_EQ(stored(37, 0, 460), zeros(36) + "0b000000" "0000" + zeros(191 * 2) + "4901" + "0100" + "00000000" +
                                    "01" + zeros(22) + "01" + zeros(4));
  EXPECT_TRUE(link().auxPairLinked(0) && link().auxPairLinked(23));
  EXPECT_FALSE(link().auxPairLinked(1) || link().auxPairLinked(24));
  EXPECT_EQ(only(run({"field"}), "msg 37"), Lines{});  // nothing left to send
  // A warm start reports the table with every entry marked.
  const std::string marked = "00000000" "00000003" + std::string(6 * 8, 'f') + "00000007" + "000b" +
                             zeros(193 * 2) + "0149" + "0100" + "00ffffff" + "01" + zeros(22) + "01";
  EXPECT_EQ(only(run({"restart", "field"}), "msg 37"), (Lines{"msg 37 " + marked}));
}

TEST_F(SourceLinkTest, ZeroClearsALinkAndIdentityModeLinksEachSourceToItself) {
  sendAndField(37, linkBody(1, {{1, 12}, {5, 140}}, 0, 2));  // direction 2 is dropped
  // link[1] cleared, link[5] left alone; direction 0 equals the current one and is not marked.
  EXPECT_EQ(sendAndField(37, linkBody(1, {{1, 0}})),
            (Lines{"msg 37 " + hexBytes(0, 4) + hexBytes(0, 4) + hexBytes(2, 4) + zeros(24) + "0000" "0000" + zeros(6) + "008c" +
                   zeros(189 * 2) + zeros(2 + 4 + 24)}));
  // The record that switches identity on still has its own links read as sent; after it the
  // values are ignored and every marked entry names its own source.
  sendAndField(37, linkBody(2, {{0, 12}}, 1));
  EXPECT_EQ(link().linkedSource(10), 12);
  std::map<int, int> all;
  for (int i = 0; i < N_LINK_KEYS; ++i) all[i] = 999;
  sendAndField(37, linkBody(0, all));
  for (u16 source : linkKeyList) ASSERT_EQ(link().linkedSource(source), source);
  // Off again: 999 is refused as any value outside the table.
  sendAndField(37, linkBody(2, {}));
  sendAndField(37, linkBody(0, {{3, 999}}));
  EXPECT_EQ(link().linkedSource(13), 13);
}

TEST_F(SourceLinkTest, AWholeTableIsTakenWordByWordAndAMarkPastTheLastLinkIsNot) {
  // Every link names the next entry's source but link 70, which names 138 (no entry); the last mask
  // word also marks bits past link 194.
  std::map<int, int> links;
  for (int i = 0; i < N_LINK_KEYS; ++i) links[i] = linkKeyList[static_cast<std::size_t>((i + 1) % N_LINK_KEYS)];
  links[70] = 138;
  std::string body = linkBody(0, links);
  body.replace(16 + 6 * 8, 8, "ffffffff");
  const std::string echo = sendAndField(37, body).at(0);
  EXPECT_EQ(echo.substr(7 + 16, 7 * 8), std::string(16, 'f') + "ffffffbf" + std::string(24, 'f') + "00000007");
  for (int i = 0; i < N_LINK_KEYS; ++i)
    ASSERT_EQ(link().linkedSource(linkKeyList[static_cast<std::size_t>(i)]), i == 70 ? NO_LINK : links[i]) << i;
}

// Each value is taken or refused as the rule says (0 or a source of the table), at the edges of the
// table's runs and past its end, the values that read negative in 16 bits included.
TEST_F(SourceLinkTest, EachLinkValueIsJudgedByTheRuleAtEveryEdge) {
  const int values[] = {0, 1, 9, 10, 137, 138, 139, 140, 233, 234, 313, 314, 329, 330, 331, 0x7fff, 0x8000, 0xffff};
  std::map<int, int> start;
  std::map<int, int> links;
  for (int i = 0; i < N_LINK_KEYS; ++i) {
    start[i] = 12;
    links[i] = values[static_cast<std::size_t>(i) % std::size(values)];
  }
  sendAndField(37, linkBody(0, start));
  sendAndField(37, linkBody(0, links));
  for (int i = 0; i < N_LINK_KEYS; ++i) {
    const int v = links[i];
    ASSERT_EQ(link().linkedSource(linkKeyList[static_cast<std::size_t>(i)]), v == NO_LINK || linkKeyIndex(v) >= 0 ? v : 12)
        << i << " " << v;
  }
}

// ---- button inhibit ---------------------------------------------------------------------------

std::string entry(u32 mask, unsigned first, unsigned second, unsigned third) {
  return hexBytes(mask, 4) + hexBytes(first, 1) + hexBytes(second, 1) + hexBytes(third, 1);
}
// Entries not given are zero, or with `everyMask` fully marked.
std::string inhibitBody(u32 mask, unsigned panel, unsigned flag, std::map<int, std::string> entries,
                        bool everyMask = false) {
  std::string s = hexBytes(mask, 4) + hexBytes(panel, 2) + hexBytes(flag, 1);
  for (int i = 0; i < N_INHIBIT_ENTRIES; ++i)
    s += entries.count(i) ? entries.at(i) : everyMask ? entry(7, 0, 0, 0) : zeros(7);
  return s;
}

TEST_F(SourceLinkTest, InhibitDropsAnOutOfRangeFlagKeepsTheEntriesAndSurvivesARestart) {
  // Two records in one field: their marks gather in one report.
  const std::string first = inhibitBody(1, 1, 2, {{5, entry(1, 100, 0, 0)}});
  const std::string second = inhibitBody(0, 1, 0, {{6, entry(2, 0, 7, 0)}});
  ASSERT_EQ(first.size(), 1638u * 2);
  const Lines out = only(run({("send 34 " + first).c_str(), ("send 34 " + second).c_str(), "field"}), "msg 34");
  EXPECT_EQ(out, (Lines{"msg 34 00000000" "0001" "00" + zeros(35) + "00000001" "640000" "00000002" "000700" +
                        zeros(7 * 226)}));
  // Stored: panel 1's record after panel 0's, numbers stamped, marks cleared by the send.
  EXPECT_EQ(stored(34, 1872, 64), "00000000" "0100" "0000" + zeros(40) + "00000000" "64000000" "00000000" "00070000");
  EXPECT_EQ(stored(34, 0, 8) + stored(34, 2 * 1872, 8), "00000000" "0000" "0000" "00000000" "0200" "0000");
  // A warm start reports every panel with every mask set.
  EXPECT_EQ(only(run({"restart", "field"}), "msg 34"),
            (Lines{"msg 34 " + inhibitBody(1, 0, 0, {}, true),
                   "msg 34 " + inhibitBody(1, 1, 0, {{5, entry(7, 100, 0, 0)}, {6, entry(7, 0, 7, 0)}}, true),
                   "msg 34 " + inhibitBody(1, 2, 0, {}, true)}));
}

TEST_F(SourceLinkTest, InhibitChecksEachSettingAloneAndIgnoresPanelThree) {
  const std::string in = inhibitBody(1, 2, 1,
                                     {{0, entry(7, 225, 10, 4)},    // only the second is in range
                                      {1, entry(7, 224, 0, 3)},     // every limit taken
                                      {232, entry(7, 0, 11, 3)}});  // second above its limit
  const auto held = [](u32 m0, u32 m1, u32 m232) {
    return std::map<int, std::string>{{0, entry(m0, 0, 10, 0)}, {1, entry(m1, 224, 0, 3)}, {232, entry(m232, 0, 0, 3)}};
  };
  EXPECT_EQ(sendAndField(34, in), (Lines{"msg 34 " + inhibitBody(1, 2, 1, held(2, 7, 5))}));
  EXPECT_EQ(sendAndField(34, inhibitBody(1, 3, 1, {{9, entry(4, 0, 0, 1)}})), Lines{});
  // Every mask clear: the panel is still reported, settings as held, masks clear.
  EXPECT_EQ(sendAndField(34, inhibitBody(0, 2, 0, {{1, entry(0, 1, 1, 1)}})),
            (Lines{"msg 34 " + inhibitBody(0, 2, 1, held(0, 0, 0))}));
}

// The entries go through in pairs: a pair with one entry off the common kind, first or second, at
// either end of the table, and the last entry, which has no pair, merge as the declaration does.
TEST_F(SourceLinkTest, InhibitPairsWithOneUncommonEntryMergeAsTheDeclarationDoes) {
  const std::string body = inhibitBody(1, 1, 1,
                                       {{0, entry(7, 224, 10, 3)}, {1, entry(7, 225, 10, 3)},  // first out of range
                                        {2, entry(0, 9, 9, 9)}, {3, entry(7, 1, 2, 3)},        // no mark, then common
                                        {230, entry(7, 5, 6, 1)}, {231, entry(7, 5, 6, 4)},    // third out of range
                                        {232, entry(3, 7, 8, 2)}},                              // two of three marked
                                       true);
  std::vector<u8> bytes;
  for (std::size_t i = 0; i < body.size(); i += 2) bytes.push_back(static_cast<u8>(std::stoi(body.substr(i, 2), nullptr, 16)));
  KzifButtonInhibit expected = std::as_const(category::CategoryButtonInhibit::get()).record(1);
  rec::mergeFromWire(expected, bytes.data());
  rec::stamp(expected, 0, 1);
  EXPECT_EQ(sendAndField(34, body), (Lines{"msg 34 " + hexOf(expected)}));
}

// The table's own test of an entry's wire bytes against the declared ranges: every value of the
// three settings, each of the four mask bytes at every value, and the byte after the entry,
// which is not the entry's.
TEST(InhibitEntryWire, CommonEntryIsExactlyAllThreeMarkedAndInRange) {
  auto word = [](const u8 (&b)[8]) {
    u64 w = 0;
    for (int i = 7; i >= 0; --i) w = w << 8 | b[i];
    return w;
  };
  int mismatches = 0;
  for (int first = 0; first < 256; ++first)
    for (int second = 0; second < 256; ++second)
      for (int third = 0; third < 256; ++third) {
        const u8 b[8] = {0, 0, 0, 7, static_cast<u8>(first), static_cast<u8>(second), static_cast<u8>(third),
                         static_cast<u8>(first ^ third)};
        const bool inRange = InhibitEntry::FIRST.accept(first) && InhibitEntry::SECOND.accept(second) &&
                             InhibitEntry::THIRD.accept(third);
        if (category::CategoryButtonInhibit::isCommonEntry(word(b)) != inRange && ++mismatches < 10)
          ADD_FAILURE() << first << " " << second << " " << third;
      }
  EXPECT_EQ(mismatches, 0);
  const u8 settings[][3] = {{0, 0, 0}, {224, 10, 3}, {225, 10, 3}, {224, 11, 3}, {224, 10, 4}, {255, 255, 255}};
  for (int at = 0; at < 4; ++at)
    for (int v = 0; v < 256; ++v)
      for (const auto& set : settings)
        for (const u8 next : {u8{0}, u8{0xFF}}) {
          u8 b[8] = {0, 0, 0, 7, set[0], set[1], set[2], next};
          b[at] = static_cast<u8>(v);
          const bool marksAll = b[0] == 0 && b[1] == 0 && b[2] == 0 && b[3] == 7;
          const bool inRange = set[0] <= 224 && set[1] <= 10 && set[2] <= 3;
          EXPECT_EQ(category::CategoryButtonInhibit::isCommonEntry(word(b)), marksAll && inRange)
              << at << " " << v << " " << int{set[0]};
        }
}

// Random tables, most of whose entries are of the common kind, merged by the category and by the
// declaration's merge from the same wire bytes: the echo and the stored table must be the same.
TEST_F(SourceLinkTest, InhibitTableMergesAsTheDeclarationDoes) {
  std::mt19937 rng(20240);
  auto byte = [&](int n) { return static_cast<u8>(std::uniform_int_distribution<int>(0, n - 1)(rng)); };
  auto& inhibit = category::CategoryButtonInhibit::get();
  for (int round = 0; round < 40; ++round) {
    const int panel = round % 3;
    KzifButtonInhibit expected = std::as_const(inhibit).record(panel);
    std::vector<std::string> sends;
    // One or two records for the panel in the field: their marks gather.
    for (int k = 0; k < 1 + round % 2; ++k) {
      std::vector<u8> body(rec::wireSizeOf<KzifButtonInhibit>());
      const u32 mask = byte(4);
      body[3] = static_cast<u8>(mask);
      body[5] = static_cast<u8>(panel);
      body[6] = byte(3);
      for (int e = 0; e < N_INHIBIT_ENTRIES; ++e) {
        u8* p = body.data() + 7 + 7 * e;
        const int kind = byte(16);
        // Mostly in range, sometimes at or past a limit.
        p[4] = kind == 1 ? static_cast<u8>(225 + byte(31)) : byte(226);
        p[5] = kind == 2 ? static_cast<u8>(11 + byte(245)) : byte(12);
        p[6] = kind == 3 ? static_cast<u8>(4 + byte(252)) : byte(5);
        if (kind == 4) {
          p[3] = byte(8);  // some of the three marked
        } else if (kind == 5) {
          p[byte(3)] = static_cast<u8>(1 + byte(255));  // a bit outside the three
          p[3] = 7;
        } else if (kind == 6) {
          // no mark
        } else {
          p[3] = 7;
        }
      }
      rec::mergeFromWire(expected, body.data());
      std::string hex;
      for (u8 b : body) hex += hexBytes(b, 1);
      sends.push_back("send 34 " + hex);
    }
    rec::stamp(expected, 0, panel);
    std::vector<const char*> script;
    for (const auto& l : sends) script.push_back(l.c_str());
    lines.clear();
    for (const char* l : script) ASSERT_TRUE(runner->execute(l)) << runner->error();
    ASSERT_TRUE(runner->execute("field"));
    EXPECT_EQ(only(lines, "msg 34"), Lines{"msg 34 " + hexOf(expected)}) << round;
    rec::clearMasks(expected);
    const KzifButtonInhibit& held = std::as_const(inhibit).record(panel);
    EXPECT_EQ(std::memcmp(&held, &expected, sizeof expected), 0) << round;
  }
}

}  // namespace
