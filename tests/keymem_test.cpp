// Key source memory through the wire and shared memory: a look stored for the fill source and
// taken back when the bus returns to it, the unit header bytes, shared mode, invalidation by the
// source link and by the operation settings, the out-of-range reports, and the stored keyer image.
#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "Common/shared.h"
#include "Lib/Include/shared.h"
#include "Main/bus.h"
#include "Main/dsk.h"
#include "Main/keymem.h"
#include "Main/operate.h"
#include "Main/sourcelink.h"
#include "Main/stored.h"
#include "tests/key_body.h"
#include "tests/record_hex.h"
#include "tests/sim_fixture.h"

namespace {

// Bus `bus` of M/E `me` on source `source`.
std::string busLine(int me, int bus, int source) {
  KzifBus r{.me = static_cast<u8>(me)};
  r.markBus(bus);
  r.code[bus] = static_cast<u16>(BUS_CODE_SOURCE_BASE + source);
  return "send 47 " + hexOf(r);
}

std::string operateLine(u32 mask, int enable, int mode) {
  return "send 36 " + hexOf(KzifOperate{.keySourceMemory = {mask, static_cast<u8>(enable), static_cast<u8>(mode)}});
}

std::string directionLine(int direction) {
  return "send 37 " + hexOf(KzifSourceLink{.mask = KzifSourceLink::DIRECTION, .direction = static_cast<u8>(direction)});
}

std::string clipLine(int me, int ch, int clip) {
  return "send 0 " + KeyBody(me, ch).put(20, 1, 4).put(24, clip, 2).hex();
}

// A "peek" of the 16-byte header of unit index i, and the line that shows (or writes) it.
std::string unitLine(const char* verb, int i, const char* tail) {
  char b[64];
  std::snprintf(b, sizeof b, "%s 0x%x %s", verb, KEY_SOURCE_BASE + 0x10000u * static_cast<unsigned>(i), tail);
  return b;
}
std::string peekHeader(int i) { return unitLine("peek", i, "16"); }
std::string header(int i, const char* hex) { return unitLine("smem", i, hex); }
// Unit 2's header: formatted, slot 0 in use, counter 2.
const std::string SLOT0_STORED = header(2, "03000000010000000000000002100000");

class KeyMemoryTest : public SimTest {
 protected:
  Lines play(const std::vector<std::string>& script) {
    lines.clear();
    for (const auto& l : script) EXPECT_TRUE(runner->execute(l)) << l << ": " << runner->error();
    return lines;
  }
  // The clip of every KzifKey echo of keyer `ch` of M/E `me`.
  static std::vector<int> clips(const Lines& out, int me, int ch) {
    std::vector<int> r;
    for (const KzifKey& k : sentRecords<KzifKey>(out))
      if (k.me == me && k.channel == ch && (k.adjust.mask & 1u) != 0) r.push_back(k.adjust.clip);
    return r;
  }
  // The clip of every KzifDsk echo of DSK `ch`.
  static std::vector<int> dskClips(const Lines& out, int ch) {
    std::vector<int> r;
    for (const KzifDsk& d : sentRecords<KzifDsk>(out))
      if (d.channel == ch && (d.adjust.mask & 1u) != 0) r.push_back(d.adjust.clip);
    return r;
  }
};

TEST_F(KeyMemoryTest, LookIsStoredTakenBackAndInvalidatedBySourceLinkAndOperationUnlessDisabled) {
  // Switching it on formats every unit; keyer 1 then loads from the default unit.
  Lines out = play({busLine(0, 2, 12), "field", operateLine(1, 1, 0), "field", peekHeader(2)});
  EXPECT_EQ(only(out, "smem"), Lines{header(2, "03000000000000000000000001100000")});
  EXPECT_EQ(clips(out, 0, 0), std::vector<int>{0});

  // Key 1 of M/E 1 uses slot 0: its enabled bit is set and the counter moves once, after the write.
  out = play({clipLine(0, 0, 500), "field", peekHeader(2), "peek 0x662002c 2", "peek 0x66201b4 4"});
  EXPECT_EQ(only(out, "smem"), (Lines{SLOT0_STORED, "smem 0x662002c f401", "smem 0x66201b4 0c000000"}));
  // The same look again writes nothing.
  EXPECT_EQ(only(play({clipLine(0, 0, 500), "field", peekHeader(2)}), "smem"), Lines{SLOT0_STORED});

  // Another source: its slot was never written, so the default unit's look comes; then back.
  EXPECT_EQ(clips(play({busLine(0, 2, 13), "field"}), 0, 0), std::vector<int>{0});
  EXPECT_EQ(clips(play({busLine(0, 2, 12), "field"}), 0, 0), std::vector<int>{500});
  EXPECT_EQ(play({peekHeader(2)}), Lines{SLOT0_STORED});

  // A refused direction and the live one change nothing; a new one clears and counts.
  EXPECT_EQ(play({directionLine(2), directionLine(0), "field", peekHeader(2)}).back(), SLOT0_STORED);
  for (int direction : {0, 1}) findKeyMemory()->onSourceLinkChanged(direction, direction);  // told the stored one
  EXPECT_EQ(play({"field", peekHeader(2)}).back(), SLOT0_STORED);
  EXPECT_EQ(play({directionLine(1), "field", peekHeader(2)}).back(), header(2, "03000000000000000000000003100000"));

  // A new mode invalidates; the same mode again does not.
  EXPECT_EQ(play({operateLine(2, 0, 1), "field", operateLine(2, 0, 1), "field", peekHeader(2)}).back(),
            header(2, "03000000000000000000000004100000"));

  // Disabled: neither invalidates, and a look change is not stored.
  EXPECT_EQ(play({operateLine(1, 2, 0), directionLine(0), operateLine(2, 0, 0), clipLine(0, 0, 600), "field",
                  peekHeader(2)})
                .back(),
            header(2, "03000000000000000000000004100000"));
}

TEST_F(KeyMemoryTest, InvalidationRenewsEveryHeaderWhereItLiesAndNothingBesideIt) {
  // The first and last units, one counter about to wrap and one marked as being written, and the
  // words either side of a header.
  const int last = KeyMemory::N_SRC - 1;
  play({header(0, "00000000ffffffffffffffffff0f0000"), header(last, "01000000010000000200000005200000"),
        "smem 0x6600010 aabbccdd", "smem 0x660fffc 11223344"});
  const Lines out = play({operateLine(1, 1, 0), "field", peekHeader(0), peekHeader(last), "peek 0x6600010 4",
                          "peek 0x660fffc 4"});
  EXPECT_EQ(only(out, "smem"), (Lines{header(0, "03000000000000000000000000100000"),
                                      header(last, "03000000000000000000000006100000"), "smem 0x6600010 aabbccdd",
                                      "smem 0x660fffc 11223344"}));
}

// The headers are taken from the shared memory once per start and renewed in place after that:
// every invalidation of a run renews them all, and a power cycle, which clears what was handed
// out, makes the next start take them again (or what it writes would outlive the next one).
TEST_F(KeyMemoryTest, EveryInvalidationOfEveryStartRenewsEveryHeader) {
  const int last = KeyMemory::N_SRC - 1;
  auto renewed = [&](int count) {
    char status[16];
    std::snprintf(status, sizeof status, "%02x100000", count);
    return Lines{header(0, (std::string("030000000000000000000000") + status).c_str()),
                 header(last, (std::string("030000000000000000000000") + status).c_str())};
  };
  const std::string both[] = {peekHeader(0), peekHeader(last)};
  // Enabled, then three turns of the source link: four renewals.
  EXPECT_EQ(only(play({operateLine(1, 1, 0), "field", both[0], both[1]}), "smem"), renewed(1));
  EXPECT_EQ(only(play({directionLine(1), "field", directionLine(0), "field", directionLine(1), "field", both[0], both[1]}),
                 "smem"),
            renewed(4));
  for (int start = 0; start < 2; ++start) {
    // A power cycle clears them; switched on again, the count starts again.
    EXPECT_EQ(only(play({"restart init", "field", both[0], both[1]}), "smem"),
              (Lines{header(0, "00000000000000000000000000000000"), header(last, "00000000000000000000000000000000")}));
    EXPECT_EQ(only(play({operateLine(1, 1, 0), "field", directionLine(1), "field", both[0], both[1]}), "smem"),
              renewed(2));
  }
  // Renewed after a start with nothing else handed the headers before the next one, which must
  // clear them all the same.
  play({"restart init", "field", operateLine(1, 1, 0), "field", directionLine(1), "field"});
  EXPECT_EQ(only(play({"restart resume", "field", both[0], both[1]}), "smem"),
            (Lines{header(0, "00000000000000000000000000000000"), header(last, "00000000000000000000000000000000")}));
}

TEST_F(KeyMemoryTest, AnUnformattedUnitTakesStoresButLoadsNothing) {
  // Units 2 and 3 as the System Manager might leave them: never formatted.
  play({busLine(0, 4, 12), operateLine(1, 1, 0), "field", header(2, "00000000000000000000000000000000"),
        header(3, "00000000000000000000000000000000")});
  const Lines out = play({clipLine(0, 1, 300), "field", busLine(0, 4, 13), "field", busLine(0, 4, 12), "field",
                          peekHeader(2)});
  EXPECT_EQ(clips(out, 0, 1), std::vector<int>{300});  // the echo of the change; nothing loaded after it
  EXPECT_EQ(only(out, "smem"), Lines{header(2, "01000000020000000000000001000000")});
}

TEST_F(KeyMemoryTest, SharedModeCopiesAChangedLookToTheOtherKeyOnTheSameSource) {
  play({busLine(0, 2, 12), busLine(0, 4, 12), operateLine(3, 1, 1), "field"});
  // Everything lands in slot 0 of the source's unit.
  const Lines out = play({clipLine(0, 0, 700), "field", peekHeader(2)});
  EXPECT_EQ(clips(out, 0, 1), std::vector<int>{700});
  EXPECT_EQ(only(out, "smem"), Lines{SLOT0_STORED});
  // Downstream keys too: the new look of DSK 1 reaches DSK 2 on the same source in the same field.
  play({busLine(1, 16, 14), busLine(1, 18, 14), "field"});
  const KzifDsk d{.channel = 0, .adjust = {.mask = 1, .clip = 250}};
  EXPECT_EQ(dskClips(play({"send 0x5 " + hexOf(d), "field"}), 1), std::vector<int>{250});
  // Every DSK's look lands in slot 16 of the source's unit (unit 4): enabled bit 16, the clip at
  // 57232 + 24.
  EXPECT_EQ(play({"field", peekHeader(4), "peek 0x664dfa8 2"}),
            (Lines{header(4, "03000000000001000000000002100000"), "smem 0x664dfa8 fa00"}));
}

TEST_F(KeyMemoryTest, DownstreamKeyLookGoesToItsSlotAndInitialiseAllClearsTheUnits) {
  const KzifDsk d{.channel = 1, .adjust = {.mask = 1, .clip = 400}};
  const Lines out = play({busLine(1, 18, 12), operateLine(1, 1, 0), "field", "send 0x5 " + hexOf(d), "field",
                          peekHeader(2), "peek 0x662e044 2"});
  // DSK 2 is slot 17: enabled bit 17, its clip at 57232 + 156 + 24 in the unit.
  EXPECT_EQ(only(out, "smem"), (Lines{header(2, "03000000000002000000000002100000"), "smem 0x662e044 9001"}));
  // Another source gives the default unit's look; back on the first, its own look comes again.
  EXPECT_EQ(dskClips(play({busLine(1, 18, 13), "field"}), 1), std::vector<int>{0});
  EXPECT_EQ(dskClips(play({busLine(1, 18, 12), "field"}), 1), std::vector<int>{400});
  // The initialise-all command forgets every stored look (the slot data stays in place), with a
  // look change taken in the same field before it.
  const KzifDsk again{.channel = 1, .adjust = {.mask = 1, .clip = 300}};
  EXPECT_EQ(play({"send 0x5 " + hexOf(again), "send 72 00", "field", peekHeader(2)}).back(),
            header(2, "03000000000000000000000003100000"));
}

// The default unit is not written by this side: a look read from it is taken as a look only, the
// on-air and layering settings left as they are whatever its masks say.
TEST_F(KeyMemoryTest, ALookFromTheDefaultUnitTakesOnlyTheLookWhateverItsMasksSay) {
  play({busLine(1, 18, 12), operateLine(1, 1, 0), "field"});
  libkz::StoredDskData stored{};
  stored.dsk.mask = 1u << KzifDsk::BIT_PRIORITY | 1u << KzifDsk::BIT_REVERSE;
  stored.dsk.priority = 2;
  stored.dsk.reverse = 1;
  stored.dsk.adjust = {.mask = 1, .clip = 77};
  const auto* bytes = reinterpret_cast<const u8*>(&stored);
  std::string hex;
  for (std::size_t i = 0; i < sizeof stored; ++i) hex += hexBytes(bytes[i], 1);
  char at[32];
  std::snprintf(at, sizeof at, "smem 0x%x ",
                keySourceUnitAddress(KEY_SOURCE_DEFAULT_UNIT) + static_cast<u32>(KeyMemory::slotOffset(17)));
  const KzifDsk before = category::CategoryDsk::get().record(1);
  EXPECT_EQ(dskClips(play({at + hex, busLine(1, 18, 13), "field"}), 1), std::vector<int>{77});
  const KzifDsk& after = category::CategoryDsk::get().record(1);
  EXPECT_EQ((std::array{int{after.priority}, int{after.reverse}}), (std::array{int{before.priority}, int{before.reverse}}));
}

TEST_F(KeyMemoryTest, DownstreamKeyLookStoredAgainIsWrittenOnlyWhenItChanged) {
  const KzifDsk d{.channel = 1, .adjust = {.mask = 1, .clip = 400}};
  const Lines out = play({busLine(1, 18, 12), operateLine(1, 1, 0), "field", "send 0x5 " + hexOf(d), "field",
                          peekHeader(2), "peek 0x662e044 2"});
  // DSK 2 is slot 17: enabled bit 17, its clip at 57232 + 156 + 24 in the unit.
  EXPECT_EQ(only(out, "smem"), (Lines{header(2, "03000000000002000000000002100000"), "smem 0x662e044 9001"}));
  // The initialise-all command forgets every stored look (the slot data stays in place).
  EXPECT_EQ(play({"send 72 00", "field", peekHeader(2)}).back(), header(2, "03000000000000000000000003100000"));
  // Stored again, the same look writes nothing more; a changed one is written and counted.
  const KzifDsk changed{.channel = 1, .adjust = {.mask = 1, .clip = 401}};
  EXPECT_EQ(only(play({"send 0x5 " + hexOf(changed), "field", "send 0x5 " + hexOf(changed), "field", peekHeader(2),
                       "peek 0x662e044 2"}),
                 "smem"),
            (Lines{header(2, "03000000000002000000000004100000"), "smem 0x662e044 9101"}));
  EXPECT_EQ(only(play({"send 0x5 " + hexOf(d), "field", peekHeader(2), "peek 0x662e044 2"}), "smem"),
            (Lines{header(2, "03000000000002000000000005100000"), "smem 0x662e044 9001"}));
  // Beside the look: the sources on DSK 2's fill and key buses (18 and 19 of the DSK M/E).
  EXPECT_EQ(play({"peek 0x662e0bc 8"}), Lines{"smem 0x662e0bc 0c000000df000000"});  // 12 and 223
}

TEST_F(KeyMemoryTest, OutOfRangeIsReportedOnlyForAddressesPastTheLimit) {
  u32 word = 0;
  const u32 lastUnit = KEY_SOURCE_LIMIT - KEY_SOURCE_UNIT;
  lines.clear();
  EXPECT_TRUE(readKeySourceMemory(lastUnit, KEY_SOURCE_UNIT - 4, &word, 4));
  EXPECT_TRUE(writeKeySourceMemory(keySourceUnitAddress(KEY_SOURCE_DEFAULT_UNIT), 0, &word, 4));
  EXPECT_TRUE(lines.empty());
  EXPECT_FALSE(readKeySourceMemory(KEY_SOURCE_LIMIT, 0, &word, 4));
  EXPECT_FALSE(writeKeySourceMemory(KEY_SOURCE_LIMIT, 8, &word, 4));
  EXPECT_FALSE(readChromakeyAt(CHROMAKEY_LIMIT, 3, &word, 4));
  // In place: the bytes a read gives, or nothing past the limit.
  EXPECT_EQ(keySourceBytes(lastUnit, KEY_SOURCE_UNIT - 4, 4), SharedMemory::bytes(KEY_SOURCE_LIMIT - 4, 4));
  EXPECT_EQ(keySourceBytes(KEY_SOURCE_LIMIT - 4, 0, 8), nullptr);
  EXPECT_EQ(lines, (Lines{"log [INFO] Err! readKeySourceMemory(), Address is Out of range. (adr:0x8600000, nbyte:4, offset:0)",
                          "log [INFO] Err! writeKeySourceMemory(), Address is Out of range. (adr:0x8600008, nbyte:4, offset:8)",
                          "log [INFO] Err! readChromakey(), Address is Out of range. (adr:0x80000, nbyte:4, channel:3)",
                          "log [INFO] Err! keySourceBytes(), Address is Out of range. (adr:0x85ffffc, nbyte:8, offset:0)"}));
  // Unit indices past the default unit and accesses leaving a unit are faults of the caller.
  EXPECT_THROW(keySourceUnitAddress(KEY_SOURCE_DEFAULT_UNIT + 1), assert::AssertException);
  EXPECT_THROW(readKeySourceMemory(lastUnit, KEY_SOURCE_UNIT - 2, &word, 4), assert::AssertException);
  // Each range at both ends; stills and clips come in threes, video twice and key once.
  const std::pair<int, int> units[] = {{180, 82}, {181, 82}, {182, 83}, {165, 117}, {10, 0},   {89, 79},
                                       {140, 80}, {141, 81}, {183, 84}, {184, 84}, {185, 85},  {190, 88},
                                       {191, 89}, {200, 90}, {201, 90}, {202, 91}, {203, 92},  {205, 93},
                                       {210, 96}, {211, 97}, {220, 98}, {223, 101}, {150, 102}};
  for (const auto& [source, unit] : units) EXPECT_EQ(KeyMemory::sourceUnitIndex(source), unit) << source;
  lines.clear();
  EXPECT_EQ(KeyMemory::sourceUnitIndex(142), -1);
  EXPECT_EQ(lines, Lines{"log [ERR] invalid source 142"});
  // One past each end of every range is no source.
  for (int source : {9, 90, 139, 149, 166, 179, 192, 199, 212, 219, 224}) {
    lines.clear();
    EXPECT_EQ(KeyMemory::sourceUnitIndex(source), -1) << source;
    EXPECT_EQ(lines, Lines{"log [ERR] invalid source " + std::to_string(source)});
  }
}

TEST_F(KeyMemoryTest, StoredKeyDataBytes) {
  play({"smem 0x65000 010002000300040005000600", busLine(1, 4, 12), busLine(1, 5, 13), clipLine(1, 1, 500),
        "send 75 000000000000010001 0000", "field"});
  libkz::StoredKeyData d;
  d.capture(1, 1);
  std::string h;
  for (std::size_t i = 0; i < sizeof d; ++i) h += hexBytes(reinterpret_cast<const u8*>(&d)[i], 1);
  const auto hexAt = [&](std::size_t at, std::size_t n) { return h.substr(2 * at, 2 * n); };
  EXPECT_EQ(hexAt(0, 16), "00000000000000000100010000000000");  // masks cleared, M/E 1, key 2
  EXPECT_EQ(hexAt(24, 6), "00000000f401");                      // adjust: mask, clip
  EXPECT_EQ(hexAt(420, 20), "0c0000000d0000000000000001000000" "00000000");
  EXPECT_EQ(hexAt(440, 12), "010002000300040005000600");
}

}  // namespace
