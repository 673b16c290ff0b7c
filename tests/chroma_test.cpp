// Chroma keys through the wire, shared memory and the driver trace: the command that loads a block
// written by the System Manager, the table status handshake, the answers, the M/E-wide values, the
// level and the sample area arithmetic.
#include <cstddef>
#include <cstdio>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "Driver/chroma.h"
#include "Driver/kz.h"
#include "Main/bp.h"
#include "Main/chrkey.h"
#include "Main/mf_config.h"
#include "Platform/platform.h"
#include "tests/key_body.h"
#include "tests/record_hex.h"
#include "tests/sim_fixture.h"

namespace {

constexpr const char* TABLE_READY = "6bcd9a3a";  // the ready word as the other core stores it

std::string keyerToChroma(int me, int ch, int type = 2) {
  return "send 0 " + KeyBody(me, ch).put(11, 1, 4).put(15, type, 1).hex();
}

std::string chroma(KzifChromaKey r) { return "send 1 " + hexOf(r); }

// selector, M/E, channel; bytes 0, 1, 9 and 10 carry 0x11, 0x22, 0x99, 0xaa to be echoed, and the
// answer puts its result in bytes 4 and 5.
std::string command(int selector, int me, int channel, const char* head = "send 75 ", int result = 0) {
  return head + ("1122" + hexBytes(selector, 2)) + hexBytes(result, 2) + hexBytes(me, 1) + hexBytes(channel, 2) +
         "99aa";
}
std::string answer(int selector, int result, int me, int channel) {
  return command(selector, me, channel, "msg 75 ", result);
}

// A block with colours 1,2,3 / 4,5,6 and a table starting with 0x0102 and ending with 0x0304, as
// native little-endian words at the block of `channel`; then the lines `then`.
std::vector<std::string> withBlock(int channel, const std::vector<std::string>& then) {
  std::vector<std::string> r;
  const unsigned base = CHROMAKEY_BASE + CHROMAKEY_STRIDE * static_cast<unsigned>(channel);
  const std::pair<unsigned, const char*> words[] = {
      {0, "010002000300040005000600"}, {12, "0201"}, {12 + 2 * 1151, "0403"}};
  for (const auto& [offset, hex] : words) {
    char b[64];
    std::snprintf(b, sizeof b, "smem 0x%x %s", base + offset, hex);
    r.push_back(b);
  }
  r.insert(r.end(), then.begin(), then.end());
  return r;
}

class ChromaTest : public SimTest {
 protected:
  void SetUp() override {
    boot({.trace = true});
    settle();
  }
  Lines play(const std::vector<std::string>& script) {
    lines.clear();
    for (const auto& l : script) EXPECT_TRUE(runner->execute(l)) << l << ": " << runner->error();
    return lines;
  }
  // The driver lines recorded under M/E context `context` (M/E 1 unless told).
  static Lines underContext(const Lines& out, const std::string& context = "0x3210") {
    Lines r;
    std::string current;
    for (const auto& l : out) {
      if (l.rfind("drv setMeContext ", 0) == 0) current = l.substr(17);
      else if (l.rfind("drv ", 0) == 0 && current == context) r.push_back(l);
    }
    return r;
  }
  static Lines tableWrites(const Lines& out) {
    Lines r;
    for (const auto& l : underContext(out))
      if (l.rfind("drv setChromaKeyColor", 0) == 0 || l.rfind("drv writeChromaKeyTable", 0) == 0) r.push_back(l);
    return r;
  }
};

TEST_F(ChromaTest, TableReachesAKeyerOnceItIsReadyAndBadCommandsAreAnsweredMinusTwo) {
  // A keyer that becomes a chroma keyer later still gets its table, once.
  EXPECT_TRUE(tableWrites(play({"field 3"})).empty());
  EXPECT_EQ(tableWrites(play({keyerToChroma(0, 0), "field"})),
            (Lines{"drv setChromaKeyColor 0x1205 0 0 0", "drv setChromaKeyColor2 0x1205 0 0 0",
                   "drv writeChromaKeyTable 0x1205 0 0"}));
  EXPECT_TRUE(tableWrites(play({"field 2"})).empty());

  Lines out = play(withBlock(1, {keyerToChroma(0, 1), command(0, 0, 1), "field"}));
  // Keyer 2 has no ready word yet: the command is answered, nothing reaches the keyer.
  EXPECT_EQ(only(out, "msg 75"), Lines{answer(0, 0, 0, 1)});
  EXPECT_TRUE(tableWrites(out).empty());
  out = play({std::string("smem 0x300 ") + TABLE_READY, "field", "field"});
  EXPECT_EQ(tableWrites(out), (Lines{"drv setChromaKeyColor 0x1207 1 2 3", "drv setChromaKeyColor2 0x1207 4 5 6",
                                     "drv writeChromaKeyTable 0x1207 258 772"}));

  // A word other than the ready value (keyer 3 here) is taken once: that keyer never gets a table.
  out = play(withBlock(2, {"smem 0x304 05000000", "field", "smem 0x304 6bcd9a3a", keyerToChroma(0, 2),
                           command(3, 0, 2), "field"}));
  EXPECT_EQ(only(out, "msg 75"), Lines{answer(3, 0, 0, 2)});
  EXPECT_TRUE(tableWrites(out).empty());

  // A selector, channel or M/E out of range is answered -2 (M/E 4 not at all) and changes nothing.
  out = play(withBlock(0, {command(4, 0, 0), command(0xffff, 1, 0), command(0, 0, 4), command(0, 4, 0), "field"}));
  EXPECT_EQ(only(out, "msg 75"), (Lines{answer(4, -2, 0, 0), answer(0xffff, -2, 1, 0), answer(0, -2, 0, 4)}));
  EXPECT_EQ(only(out, "log [ERR]"), Lines{"log [ERR] receive KzifChromaKeyCmd dropped: M/E 4 out of range"});
  EXPECT_TRUE(tableWrites(out).empty());
  // A good one on the same block does reach keyer 1, whose table is always taken as ready.
  EXPECT_EQ(tableWrites(play({command(0, 0, 0), "field"})).size(), 3u);
}

TEST_F(ChromaTest, TheSystemInitialCommandReadsTheBlocksOfTheKeyersOfMe1And2Afresh) {
  // Keyer 2's ready word first (its table, still empty, goes out then); then new blocks for
  // keyers 1 and 2 of every M/E (channels 4m and 4m + 1).
  play({std::string("smem 0x300 ") + TABLE_READY, "field", "field"});
  std::vector<std::string> script{"send 72 00", "field"};
  for (int channel : {13, 12, 9, 8, 5, 4, 1, 0}) script = withBlock(channel, script);
  const Lines out = play(script);
  const Lines reloaded{"drv setChromaKeyColor 0x1205 1 2 3", "drv setChromaKeyColor2 0x1205 4 5 6",
                       "drv writeChromaKeyTable 0x1205 258 772", "drv setChromaKeyColor 0x1207 1 2 3",
                       "drv setChromaKeyColor2 0x1207 4 5 6", "drv writeChromaKeyTable 0x1207 258 772"};
  EXPECT_EQ(tableWrites(out), reloaded);
  const auto tableWritesOf = [&](const char* context) {
    Lines r;
    for (const auto& l : underContext(out, context))
      if (l.rfind("drv setChromaKeyColor", 0) == 0 || l.rfind("drv writeChromaKeyTable", 0) == 0) r.push_back(l);
    return r;
  };
  EXPECT_EQ(tableWritesOf("0x3211"), reloaded);
  EXPECT_TRUE(tableWritesOf("0x3212").empty());  // M/E 3 keeps what it has
  EXPECT_TRUE(tableWritesOf("0x3213").empty());
}

TEST_F(ChromaTest, RecordFieldsAreCheckedOneByOneMeWideValuesReachEveryKeyerAndTheSampleKeyerGetsItsArea) {
  // The level out of range is dropped alone; one member out of range drops the position pair.
  KzifChromaKey r{.mask = 0x1 | 0x2 | 0x4 | 0x20, .channel = 1, .level = 4, .levelOffset = -7, .sampleKey = 3,
                  .samplePosition = {10001, 0}};
  Lines out = play({keyerToChroma(0, 1), chroma(r), "field"});
  const std::vector<KzifChromaKey> sent = sentRecords<KzifChromaKey>(out);
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[1].mask, 0x2u | 0x4u);
  EXPECT_EQ(sent[1].levelOffset, -7);
  // Every M/E keyer gets the sample key; the level and the pair are dropped for all.
  for (const KzifChromaKey& s : sent)
    EXPECT_EQ(std::make_pair(static_cast<int>(s.sampleKey), s.mask & 0x25u), std::make_pair(3, 0x4u));
  // -7 / 5 truncates toward zero; key type 2 turns the keyer's chroma key on.
  EXPECT_EQ(only(underContext(out), "drv setChromaKeyLevel 0x1207"), Lines{"drv setChromaKeyLevel 0x1207 0 -1"});
  EXPECT_EQ(only(underContext(out), "drv setChromaKeyEnable 0x1207"), Lines{"drv setChromaKeyEnable 0x1207 1 1 0x2010 0x2014"});

  // Keyer 3, the sample keyer, gets the sample area; a chroma mode changes the key outputs.
  r = {.mask = 0x4 | 0x8 | 0x20 | 0x40, .channel = 2, .sampleKey = 3, .chromaMode = 2, .samplePosition = {2000, -1000},
       .sampleSize = 1000};
  out = play({keyerToChroma(0, 2), chroma(r), "field"});
  EXPECT_EQ(only(underContext(out), "drv setChromaKeySampleArea"), Lines{"drv setChromaKeySampleArea 1246 297 192 54"});
  EXPECT_EQ(only(underContext(out), "drv setChromaKeyEnable 0x1209"), Lines{"drv setChromaKeyEnable 0x1209 1 1 0x2010 0x2013"});
  EXPECT_EQ(only(underContext(out), "drv setMeKeyOutputs"), Lines{"drv setMeKeyOutputs 0x1402 0x1403 0x1404 0x1405"});
  EXPECT_EQ(only(underContext(out), "drv setChromaKeySample 0x1401"), Lines(4, "drv setChromaKeySample 0x1401 1"));
}

// Each M/E-wide value moved alone (the position by one coordinate) reaches all four keyers in the
// next field, marked with its own bit only.
TEST_F(ChromaTest, EachMeWideValueMovedAloneReachesEveryKeyer) {
  struct Case {
    KzifChromaKey sent;
    std::vector<int> echoed;  // mask, sample key, chroma mode, position x and y, size
  };
  const Case cases[] = {
      {{.mask = 0x40, .channel = 2, .sampleSize = 1500}, {0x40, 0, 0, 0, 0, 1500}},
      {{.mask = 0x20, .channel = 2, .samplePosition = {0, -400}}, {0x20, 0, 0, 0, -400, 1500}},
      {{.mask = 0x20, .channel = 2, .samplePosition = {300, -400}}, {0x20, 0, 0, 300, -400, 1500}},
      {{.mask = 0x4, .channel = 2, .sampleKey = 2}, {0x4, 2, 0, 300, -400, 1500}},
      {{.mask = 0x8, .channel = 2, .chromaMode = 1}, {0x8, 2, 1, 300, -400, 1500}},
  };
  play({"field"});
  for (const Case& c : cases) {
    const std::vector<KzifChromaKey> echoed = sentRecords<KzifChromaKey>(play({chroma(c.sent), "field"}));
    ASSERT_EQ(echoed.size(), 4u) << c.sent.mask;
    for (const KzifChromaKey& e : echoed)
      EXPECT_EQ(std::vector<int>({static_cast<int>(e.mask), e.sampleKey, e.chromaMode, e.samplePosition[0],
                                  e.samplePosition[1], e.sampleSize}),
                c.echoed)
          << "mask " << c.sent.mask << " keyer " << e.channel;
  }
}

// Configuration bytes force the 0x1401 and 0x1407 sample enables off each on its own, whether the
// sample key is a chroma keyer or not; 0x1408 follows the configured sample keyer alone.
TEST_F(ChromaTest, ConfigurationForcesEachSampleEnableOffOnItsOwn) {
  const auto config = [](int off1401, int off1407) {
    KzifMainframeConfig c{};
    c.meConfig[0].mask = 1u << 5 | 1u << 3;
    c.meConfig[0].sampleOff1401 = static_cast<u8>(off1401);
    c.meConfig[0].sampleOff1407 = static_cast<u8>(off1407);
    return "send 26 " + hexOf(c);
  };
  const auto enables = [&](const Lines& out) {
    Lines r;
    for (const char* id : {"0x1401", "0x1407", "0x1408"}) {
      const Lines each = only(underContext(out), std::string("drv setChromaKeySample ") + id);
      EXPECT_EQ(each.size(), 4u) << id;  // once per keyer
      r.push_back(each.empty() ? "" : each.back().substr(23));
    }
    return r;
  };
  const KzifChromaKey sampleKey1{.mask = 0x4, .channel = 0, .sampleKey = 1};
  EXPECT_EQ(enables(play({keyerToChroma(0, 0), chroma(sampleKey1), "field"})), (Lines{"0x1401 1", "0x1407 1", "0x1408 0"}));
  EXPECT_EQ(enables(play({config(1, 0), "field"})), (Lines{"0x1401 0", "0x1407 1", "0x1408 0"}));
  EXPECT_EQ(enables(play({config(0, 1), "field"})), (Lines{"0x1401 1", "0x1407 0", "0x1408 0"}));
  // Sample key 2 is no chroma keyer: both off, forced or not.
  const KzifChromaKey sampleKey2{.mask = 0x4, .channel = 0, .sampleKey = 2};
  for (const auto& [off1401, off1407] : {std::pair(0, 0), std::pair(1, 1), std::pair(1, 0)})
    EXPECT_EQ(enables(play({chroma(sampleKey2), config(off1401, off1407), "field"})),
              (Lines{"0x1401 0", "0x1407 0", "0x1408 0"}))
        << off1401 << off1407;
}

TEST_F(ChromaTest, EveryFieldMarkedWithTheSampleSizeOutOfRangeTakesTheRestAtTheirEdges) {
  KzifChromaKey r{.mask = 0x3FF, .channel = 1, .level = 3, .levelOffset = 40, .sampleKey = 4, .chromaMode = 3,
                  .option = 14, .samplePosition = {-10000, 10000}, .sampleSize = 99, .adjustments = {-1000, 1000, 0}};
  const std::vector<KzifChromaKey> sent = sentRecords<KzifChromaKey>(play({chroma(r), "field"}));
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[1].mask, 0x3FFu & ~0x40u);
  EXPECT_EQ(std::tuple(+sent[1].level, sent[1].levelOffset, +sent[1].option, sent[1].adjustments[0], sent[1].adjustments[1]),
            std::tuple(3, i16{40}, 14, i16{-1000}, i16{1000}));
  // The M/E-wide values taken reach every keyer; the refused size reaches none.
  for (const KzifChromaKey& s : sent) {
    EXPECT_EQ(std::tuple(+s.sampleKey, +s.chromaMode, s.samplePosition[0], s.samplePosition[1]),
              std::tuple(4, 3, i16{-10000}, i16{10000}));
    EXPECT_EQ(s.mask & 0x40u, 0u);
    EXPECT_NE(s.sampleSize, 99);
  }
}

TEST(ChromaSampleArea, PositionsAwayFromTheRoundingEdgesInEachRaster) {
  EXPECT_EQ(chromaSampleArea(0, 0, 0, 10000), (ChromaSampleArea{0, 0, 1918, 539}));
  EXPECT_EQ(chromaSampleArea(10, -5000, 0, 2000), (ChromaSampleArea{0, 216, 192, 108}));  // cut at the left
  EXPECT_EQ(chromaSampleArea(4, -2000, 1000, 2000), (ChromaSampleArea{254, 216, 256, 144}));
  EXPECT_EQ(chromaSampleArea(6, 1000, 0, 5000), (ChromaSampleArea{252, 61, 360, 122}));
  EXPECT_EQ(chromaSampleArea(7, 0, 0, 10000), (ChromaSampleArea{0, 0, 718, 288}));
}

// Each raster's own limits: a rectangle whose left edge lies on the right edge of the picture and
// whose top lies on its bottom line, and one cut at the top (its height loses what lies above).
TEST(ChromaSampleArea, RightAndBottomLimitsAndTopCutOfEachRaster) {
  // Format: 0 1080-line, 4 720-line, 6 525-line, 7 625-line.
  const std::tuple<int, int, int, int, ChromaSampleArea> cases[] = {
      {0, 5000, 0, 0, {1918, 270, 0, 0}},   {4, 5000, 0, 0, {1280, 360, 0, 0}},
      {6, 5000, 0, 0, {718, 122, 0, 0}},    {7, 5000, 0, 0, {718, 144, 0, 0}},
      {0, 5000, -5000, 0, {1918, 539, 0, 0}}, {4, 5000, -5000, 0, {1280, 719, 0, 0}},
      {6, 5000, -5000, 0, {718, 243, 0, 0}},  {7, 5000, -5000, 0, {718, 287, 0, 0}},
      {0, 0, 5000, 2000, {766, 0, 384, 54}},  {6, 0, 5000, 2000, {288, 0, 144, 24}},
  };
  for (const auto& [format, x, y, size, expected] : cases)
    EXPECT_EQ(chromaSampleArea(format, x, y, size), expected) << format << " " << x << " " << y << " " << size;
}

}  // namespace

// A damaged image: the stored values go through the record's checks, an out-of-range one is 0,
// and no driver assertion follows in any field.
TEST_F(ChromaTest, RestoredValuesOutOfRangeAreTakenAsZero) {
  const KzifChromaKey r{.mask = 0x1 | 0x2, .channel = 1, .level = 2, .levelOffset = -10};
  play({keyerToChroma(0, 1), chroma(r), "field"});
  const std::size_t share = BP::instance().shareOffset(KzifChromaKey::TYPE_ID, 0);
  u8* nv = platform::nvWindow() + share + category::CategoryChromaKey::TABLE_AREA + sizeof(KzifChromaKey);
  nv[offsetof(KzifChromaKey, level)] = 9;
  dropCommitRecords();  // the copy edited above is the one resumed
  const Lines out = play({"restart resume", "field 2"});
  EXPECT_EQ(only(out, "log [ERR] Assertion"), Lines{});
  const std::vector<KzifChromaKey> sent = sentRecords<KzifChromaKey>(out);
  ASSERT_EQ(sent.size(), 16u);  // every keyer of every M/E restored and sent whole
  EXPECT_EQ(std::vector<int>({sent[1].me, sent[1].channel, sent[1].level, sent[1].levelOffset}),
            std::vector<int>({0, 1, 0, -10}));
}

// A damaged record keeps what passes its checks beside what they refuse: a level out of range, the
// M/E-wide sample position, refused whole for one coordinate in every keyer, one adjustment of three.
TEST_F(ChromaTest, RestoreKeepsTheStoredValuesThatPassBesideThoseRefused) {
  const KzifChromaKey r{.mask = 0x3ff, .channel = 1, .level = 2, .levelOffset = -10, .sampleKey = 1,
                        .chromaMode = 1, .option = 3, .samplePosition = {2000, -1000}, .sampleSize = 1000,
                        .adjustments = {100, 200, -300}};
  play({keyerToChroma(0, 1), chroma(r), "field"});
  const std::size_t share = BP::instance().shareOffset(KzifChromaKey::TYPE_ID, 0);
  u8* keyers = platform::nvWindow() + share + category::CategoryChromaKey::TABLE_AREA;
  u8* nv = keyers + sizeof(KzifChromaKey);
  const i16 y = 20000, adjustment = 5000;
  nv[offsetof(KzifChromaKey, level)] = 9;
  for (int k = 0; k < 4; ++k)
    std::memcpy(keyers + k * sizeof(KzifChromaKey) + offsetof(KzifChromaKey, samplePosition) + 2, &y, 2);
  std::memcpy(nv + offsetof(KzifChromaKey, adjustments) + 2, &adjustment, 2);
  dropCommitRecords();  // the copy edited above is the one resumed
  const Lines out = play({"restart resume", "field"});
  EXPECT_EQ(only(out, "msg 1 000003ff000001"), Lines{"msg 1 000003ff00000100fff60101030000000003e800640000fed4"});
  EXPECT_EQ(only(out, "log [ERR] restore KzifChromaKey"),
            Lines{"log [ERR] restore KzifChromaKey(ME:0) 10 values out of range reset"});
}

// Untraced, an unchanged keyer leaves its enable, level and sample setters alone; whatever else
// wrote or reset their registers in between, the next field brings the keyer's values back.
TEST_F(SimTest, UntracedChromaSettersComeBackAfterTheirRegistersWereWrittenOrReset) {
  run({keyerToChroma(0, 0).c_str(), "field", "field"});
  const auto settings = [] {
    const kz::ChromaKeySettings& k = kz::chromaContextImage(KZ_CONTEXT_ME1).keys[0];
    return std::vector<int>{k.enable, k.spill, k.mode, k.levelA, k.levelB};
  };
  const std::vector<int> chromaKeyer = settings();
  ASSERT_EQ(chromaKeyer.at(0), 1);
  setMeContext(KZ_CONTEXT_ME1);
  setChromaKeyEnable(KZ_KEY1, 0, 0, KZ_CHROMA_FIXED, chromaKeyer.at(2));
  setChromaKeyLevel(KZ_KEY1, 3, -8);
  run({"field"});
  EXPECT_EQ(settings(), chromaKeyer) << "another writer";
  kz::resetChromaImages();
  run({"field"});
  EXPECT_EQ(settings(), chromaKeyer) << "a reset of the images";
  // Back to a plain key: the keyer's chroma goes off in its field.
  run({keyerToChroma(0, 0, 0).c_str(), "field"});
  EXPECT_EQ(settings().at(0), 0);
}
