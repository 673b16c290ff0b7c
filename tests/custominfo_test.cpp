// Custom information: the record with its texts, the key entries mapped onto the physical M/Es
// and applied to their buses, operation settings and bus status in the field the record arrives,
// and the queries the keyers, the key-fader buttons and the labels read.
#include <algorithm>
#include <array>
#include <iterator>
#include <initializer_list>
#include <string>
#include <tuple>
#include <utility>

#include "Main/bp.h"
#include "Main/bus.h"
#include "Main/bus_status.h"
#include "Main/cp_config.h"
#include "Main/custominfo.h"
#include "Main/operate.h"
#include "tests/record_hex.h"
#include "tests/sim_fixture.h"

namespace {

class CustomInfoTest : public SimTest {
 protected:
  void SetUp() override {
    boot({.trace = true});
    settle();
  }
  category::CategoryCustomInfo& custom() { return category::CategoryCustomInfo::get(); }
  // Key entries {index, kind, M/E name}, each with both its mask bits.
  using Entry = std::tuple<int, const char*, const char*>;
  static void entries(internal::KzifCustomInfo& r, std::initializer_list<Entry> list) {
    for (const auto& [k, kind, me] : list)
      r.assignKind[k].set(kind), r.assignMe[k].set(me), r.mask |= (1u << (1 + k)) | (1u << (9 + k));
  }
  Lines send(const internal::KzifCustomInfo& r) {
    const std::string line = "send 33 " + hexOf(r);
    return run({line.c_str(), "field"});
  }
};

}  // namespace

TEST_F(CustomInfoTest, RecordTextsAreCutAndEchoedWithTheBusItems) {
  internal::KzifCustomInfo in{};
  EXPECT_EQ(hexOf(in).size(), 2u * 124);
  in.mask = (1u << 0) | (1u << 1) | (1u << 18) | (1u << 19) | (1u << 17);
  in.genlockOption.set("Disable");
  std::memcpy(in.assignKind[0].chars, "ABCDEFGHIJKLMNO", 13), in.assignKind[0].length = 12;  // 15 sent, 12 kept
  in.customText[0].set("abcde"), in.customText[1].set("ab");
  in.keyAssignEnable = 1, in.busItems.mask[1] = 1u << 3, in.busItems.item[35] = 200;  // mask bit of item 35
  std::string hex = hexOf(in);
  // The kind of entry 0 goes out as 15 characters on the wire.
  const std::size_t at = 2 * (4 + 2 + 8);
  ASSERT_EQ(hex.substr(at, 4), "000c");
  hex.replace(at, 4 + 2 * 13, "000f" + std::string("4142434445464748494a4b4c4d4e4f") + "00");
  const std::string line = "send 33 " + hex;
  const Lines out = run({line.c_str(), "field"});
  EXPECT_EQ(only(out, "drv setGenlockOption"), Lines{"drv setGenlockOption 0"});
  const auto sent = sentRecords<internal::KzifCustomInfo>(out);
  ASSERT_EQ(sent.size(), 1u);
  const auto& e = sent[0];
  EXPECT_EQ(std::tuple(textOf(e.assignKind[0]), textOf(e.customText[0]), textOf(e.customText[1]), +e.busItems.item[35],
                       +e.busItems.mask[1]),
            std::tuple("ABCDEFGHIJKL", "abcde", "ab", 200, 1u << 3));
  // Item 35 is above the last usable item; texts 8 and -1 do not exist.
  const auto text = [&](int n) { return std::string(custom().getCustomText(n)); };
  EXPECT_EQ(std::tuple(custom().busItem(35), text(1), text(8), text(-1), custom().getAssignKind(0)),
            std::tuple(-1, "ab", "", "", 255));

  internal::KzifCustomInfo on{};
  on.mask = 1u << 0, on.genlockOption.set("Enable");
  EXPECT_EQ(only(send(on), "drv setGenlockOption"), Lines{"drv setGenlockOption 220"});
  // Nothing marked: still answered.
  EXPECT_EQ(sentRecords<internal::KzifCustomInfo>(send(internal::KzifCustomInfo{})).size(), 1u);
}

TEST_F(CustomInfoTest, KeyEntryMovesBusesOperationAndBusStatusOfItsPhysicalMe) {
  auto& operate = category::CategoryOperate::get();
  {
    KzifOperate seed{};
    seed.mainPanelEntrySelect.mask = seed.subPanel2EntrySelect.mask = 1u << 1;
    seed.mainPanelEntrySelect.value[1] = 4, seed.subPanel2EntrySelect.value[1] = 3;
    operate.assign(seed, 0);
    KzifBusStatus status{};
    status.rowBus.mask = 0x3, status.rowBus.bus[0] = 105, status.rowBus.bus[1] = 7;
    category::CategoryBusStatus::get(1).assign(status, 0);
  }
  internal::KzifCustomInfo in{};
  // Entry 1 is a B side (no bus status to copy); entry 5 is beyond the physical M/Es.
  entries(in, {{0, "KEY", "ME2A"}, {1, "KEY", "ME1B"}, {2, "KEY ", "ME2A"}, {3, "key", "ME2A"}, {5, "KEY", "ME2A"}});
  const Lines out = send(in);
  EXPECT_EQ(only(out, "log [ERR]"), Lines{});
  EXPECT_EQ((std::array{custom().meTable(0), custom().meTable(1), custom().meTable(2), custom().meTable(3),
                         custom().meTable(4)}),
            (std::array<u32, 5>{2, 5, 0, 0, 0}));
  const auto& bus = category::CategoryBus::get(0).record(0);
  const KzifBusStatus& copied = category::CategoryBusStatus::get(0).record(0);
  EXPECT_EQ(std::tuple(+bus.code[0], +bus.code[1], +operate.record(0).mainPanelEntrySelect.value[0],
                       +operate.record(0).subPanel2EntrySelect.value[0], +copied.rowBus.bus[0], +copied.rowBus.bus[1]),
            std::tuple(1024 + 154, 1024 + 155, 4, 3, 5, 7));
  for (const char* msg : {"msg 47", "msg 48", "msg 36"}) EXPECT_FALSE(only(out, msg).empty()) << msg;  // same field

  // The table holds when the entry turns off.
  internal::KzifCustomInfo off{};
  entries(off, {{0, "Off", "ME3A"}});
  send(off);
  EXPECT_EQ(std::tuple(custom().meTable(0), custom().findMeSlot(1), custom().findMeSlot(4), custom().findMeSlot(2)),
            std::tuple(2u, 0, 1, -1));
  run({"restart"});
  EXPECT_EQ(custom().meTable(0), 0u);
}

TEST_F(CustomInfoTest, QueriesAndTheKeyFaderCheck) {
  internal::KzifCustomInfo in{};
  entries(in, {{2, "KEY", "ME2A"}, {5, "KEY", "ME2A"}, {4, "ME", "ME2B"}, {6, "Off", "ME5A"}});
  send(in);
  const auto& stored = custom().record(0);
  EXPECT_EQ(stored.findKeyEntry(1), -1);  // key assignments not in force
  internal::KzifCustomInfo enable{};
  enable.mask = 1u << internal::KzifCustomInfo::BIT_KEY_ASSIGN_ENABLE, enable.keyAssignEnable = 1;
  send(enable);
  // "ME2B" is assigned only as an M/E, so M/E 5 has no key entry.
  for (const auto& [me, entry] : {std::pair(1, 2), {5, -1}, {8, -1}, {-1, -1}})
    EXPECT_EQ(stored.findKeyEntry(me), entry) << me;
  EXPECT_EQ(std::tuple(parseMeName("ME2B"), parseMeName(""), parseMeName("ME1AX")), std::tuple(6, 0, 0));
  EXPECT_EQ((std::array{custom().getAssignKind(2), custom().getAssignKind(4), custom().getAssignKind(6),
                         custom().getAssignKind(-3), custom().getAssignMe(4), custom().getAssignMe(6),
                         custom().getAssignMe(8), custom().getAssignMe(-1)}),
            (std::array{2, 1, 0, 0, 5, -1, -1, -1}));
  // The type its callers (the clip triggers among them) act on is "ME" for every entry, a "KEY"
  // one and one out of range too, and no entry has an index of its own.
  for (int n : {2, 4, 6, 9, -1})
    EXPECT_EQ(std::pair(custom().getAssignType(n), custom().getAssignIndex(n)), std::pair(1, -1)) << n;

  // With the check on, a DSK button may reach keyer 3 but not 4, and an unassigned button clears
  // its enables.
  auto& config = category::CategoryControlPanelConfig::get();
  KzifControlPanelConfig buttons{};
  buttons.button(0, 0).mask = 0x3, buttons.button(0, 0).selMe = 5, buttons.button(0, 0).selKeyCh = 3;
  buttons.button(0, 1).mask = 0x3, buttons.button(0, 1).selMe = 5, buttons.button(0, 1).selKeyCh = 4;
  auto& enables = buttons.controlPanelKeyFaderEnable[0];
  enables.mask = 0x3, enables.enable[0] = 1, enables.enable[1] = 1;
  const std::string line = "send 25 " + hexOf(buttons);
  run({line.c_str(), "field"});
  int selMe = -1, selKeyCh = -1;
  EXPECT_TRUE(config.getKeyFaderButtonAssign(0, 0, selMe, selKeyCh));
  EXPECT_EQ(std::pair(selMe, selKeyCh), std::pair(5, 3));
  EXPECT_FALSE(config.getKeyFaderButtonAssign(0, 1, selMe, selKeyCh));
  EXPECT_EQ((std::array{selMe, selKeyCh, +config.getKeyFaderButtonEnable(0, 0, 1),
                         +config.getKeyFaderButtonEnable(0, 0, 0)}),
            (std::array{0, 0, 0, 1}));
  EXPECT_FALSE(config.getKeyFaderButtonAssign(9, 0, selMe, selKeyCh));
}

// The copy carries every field of the stored entry, marked or not, so the target keeps nothing
// of its own; only the first four rows have their 102..109 codes lowered by 100.
TEST_F(CustomInfoTest, BusStatusCopyCarriesEveryFieldOfTheStoredEntry) {
  {
    KzifBusStatus source{};
    source.rowBus.mask = 0x1F;
    const u8 rows[5] = {102, 101, 109, 110, 105};
    std::copy(std::begin(rows), std::end(rows), source.rowBus.bus);
    source.rowPage.mask = 0x7F;
    const u8 pages[7] = {1, 2, 3, 0, 1, 2, 3};
    std::copy(std::begin(pages), std::end(pages), source.rowPage.page);
    source.mask = 0x1A, source.flag2 = 1, source.flag4 = 1, source.customItem = 9;
    category::CategoryBusStatus::get(1).assign(source, 0);
    KzifBusStatus target{};
    target.mask = 0x05, target.flag1 = 1, target.flag3 = 1;
    target.rowBus.mask = 0x08, target.rowBus.bus[3] = 50;
    target.rowPage.mask = 0x40, target.rowPage.page[6] = 2;
    category::CategoryBusStatus::get(0).assign(target, 0);
  }
  run({"field"});  // both sent: the stored entries keep their values, not their marks
  internal::KzifCustomInfo in{};
  entries(in, {{0, "KEY", "ME2A"}});
  send(in);
  const KzifBusStatus& c = category::CategoryBusStatus::get(0).record(0);
  EXPECT_EQ((std::array{+c.me, +c.panel, +c.rowBus.bus[0], +c.rowBus.bus[1], +c.rowBus.bus[2], +c.rowBus.bus[3],
                        +c.rowBus.bus[4], +c.flag1, +c.flag2, +c.flag3, +c.flag4, +c.customItem}),
            (std::array{0, 0, 2, 101, 9, 110, 105, 0, 1, 0, 1, 9}));
  EXPECT_EQ((std::array{+c.rowPage.page[0], +c.rowPage.page[1], +c.rowPage.page[2], +c.rowPage.page[3],
                        +c.rowPage.page[4], +c.rowPage.page[5], +c.rowPage.page[6]}),
            (std::array{1, 2, 3, 0, 1, 2, 3}));
}

// An entry's kind and M/E side may come in different records: the table reads the one the record
// marks and the stored one for the other.
TEST_F(CustomInfoTest, KeyEntryTakesTheStoredSideOrKindForTheTextItLeavesUnmarked) {
  internal::KzifCustomInfo side{};
  side.mask = 1u << (9 + 2), side.assignMe[2].set("ME3A");  // the side alone, the kind still empty
  send(side);
  EXPECT_EQ(custom().meTable(2), 0u);
  internal::KzifCustomInfo kind{};
  kind.mask = 1u << (1 + 2), kind.assignKind[2].set("KEY");
  kind.mask |= 1u << (9 + 3), kind.assignMe[3].set("ME4A");  // another entry's side, no use to entry 2
  send(kind);
  EXPECT_EQ((std::array{custom().meTable(2), custom().meTable(3)}), (std::array<u32, 2>{3, 0}));
  side.assignMe[2].set("ME1B");
  send(side);
  EXPECT_EQ(custom().meTable(2), 5u);
}

// The texts of a record handed straight to assign count only to their length, as the merge takes
// them: characters after it, or a negative length, never reach the M/E table or the genlock.
TEST_F(CustomInfoTest, TextsAreReadAsTheMergeTakesThemWhateverLiesBeyondTheirLength) {
  internal::KzifCustomInfo in{};
  entries(in, {{0, "KEYS", "ME2AX"}});
  in.assignKind[0].length = 3;  // "KEY", an S beyond it
  in.assignMe[0].length = 4;    // "ME2A"
  in.keyAssignEnable = 1, in.mask |= 1u << internal::KzifCustomInfo::BIT_KEY_ASSIGN_ENABLE;
  in.mask |= 1u;
  in.genlockOption.set("Enabled");
  in.genlockOption.length = 6;
  lines.clear();
  custom().assign(in, 0);
  EXPECT_EQ(only(lines, "drv setGenlockOption"), Lines{"drv setGenlockOption 220"});
  EXPECT_EQ(std::pair(custom().meTable(0), custom().getAssignKind(0)), std::pair(2u, 2));

  in = {};
  entries(in, {{1, "KEY", "ME3A"}});
  in.assignKind[1].length = -1;  // no characters at all
  custom().assign(in, 0);
  EXPECT_EQ(std::pair(custom().meTable(1), custom().getAssignKind(1)), std::pair(0u, 255));
  in.assignKind[1].length = 3;
  in.assignMe[1].length = 2;  // "ME" names no side
  custom().assign(in, 0);
  EXPECT_EQ(std::pair(custom().meTable(1), custom().getAssignMe(1)), std::pair(0u, -1));
}
