// Maintenance through the wire: the record's checks and its time-stamp rule, the backup image and
// a damaged one, the start-up period, the alarms from the board inputs and the command.
#include <cstring>
#include <iterator>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "Main/bp.h"
#include "Main/faderevent.h"
#include "Main/maintenance.h"
#include "Platform/platform.h"
#include "tests/record_hex.h"
#include "tests/sim_fixture.h"

using category::CategoryMaintenance;

namespace {

class MaintenanceTest : public SimTest {
 protected:
  const KzifMaintenance& stored() const { return BP::instance().require<CategoryMaintenance>().record(0); }
  Lines sendRecord(const KzifMaintenance& r) { return run({("send 27 " + hexOf(r)).c_str(), "field"}); }
  static std::vector<std::string> mainframeItems(const KzifMaintenance& m) {
    std::vector<std::string> r;
    for (const auto& item : m.mainframeAlarm.item) r.push_back(textOf(item));
    return r;
  }
  // A record that makes the mainframe items 0..3 present.
  static KzifMaintenance allPresent() {
    KzifMaintenance r{};
    for (int i = 0; i < 4; ++i) r.mainframeAlarm.present[i] = 1;
    r.mainframeAlarm.mask = 0xF0;
    return r;
  }
  // Runs up to the last field of the start-up period.
  void passStartup() {
    runner->field(CategoryMaintenance::FIELDS_OF_STARTUP - 1 - BP::instance().require<CategoryMaintenance>().fieldCount());
    lines.clear();
  }
};

}  // namespace

TEST_F(MaintenanceTest, FreshStartSendsTheVersionAndShowsAbsentItemsAsDashes) {
  const Lines out = run({"restart init", "field"});
  const auto sent = sentRecords<KzifMaintenance>(out);
  ASSERT_EQ(sent.size(), 1u);
  // mask, text0, then the mainframe versions: mask bit 0, "6.07-00-0.00".
  const std::string golden = std::string("msg 27 ") + "00000000" + "000000" + "00000001" + "000c" + "362e30372d30302d302e3030" + "00";
  EXPECT_EQ(only(out, "msg 27")[0].substr(0, golden.size()), golden);
  EXPECT_EQ(textOf(sent[0].mainframeVersion.text[0]), "6.07-00-0.00");
  for (int unit = 0; unit < 4; ++unit) {
    EXPECT_EQ(sent[0].alarm(unit).mask, 0xFu) << unit;
    for (int i = 0; i < 4; ++i) EXPECT_EQ(textOf(sent[0].alarm(unit).item[i]), "-");
  }
  // 494 bytes and the lengths of the version and of the 16 dashes.
  EXPECT_EQ(only(out, "msg 27")[0].size(), 7 + 2 * (494 + 12 + 16));
}

TEST_F(MaintenanceTest, ChecksDropOnlyTheFieldThatFails) {
  KzifMaintenance r{};
  r.mask = (1u << 0) | (1u << 3) | (1u << 5) | (1u << 10) | (1u << 11);
  r.text0.set("ABCDEFGHIJKLMNO");  // cut to 12
  r.setting3 = 2;
  r.date5[0] = 2038, r.date5[1] = 1, r.date5[2] = 1;  // refused whole
  r.value10 = 2001;
  r.value11 = 2000;
  const auto sent = sentRecords<KzifMaintenance>(sendRecord(r));
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].mask, (1u << 0) | (1u << 3) | (1u << 11));
  EXPECT_EQ(std::tuple(textOf(stored().text0), +stored().setting3, +stored().date5[0], +stored().value10, +stored().value11),
            std::tuple(std::string("ABCDEFGHIJKL"), 2, 0, 0, 2000));

  r = {};
  r.mask = (1u << 5) | (1u << 12);
  r.date5[0] = 2001, r.date5[1] = 2, r.date5[2] = 30;  // the stored date checks its day against 31
  r.value12 = static_cast<i16>(0xFFFF);
  sendRecord(r);
  EXPECT_EQ(std::pair(+stored().date5[2], +stored().value12), std::pair(30, 0));

  // A record whose every value is refused is still sent back.
  r = {};
  r.mask = 1u << 3;
  r.setting3 = 3;
  EXPECT_EQ(sentRecords<KzifMaintenance>(sendRecord(r)).size(), 1u);

  // Custom information types every entry as an M/E, so no received link is taken, a clearing 0
  // or a valid number alike; the record still goes back, its table unmarked.
  r = {};
  r.linkTable.mask = 0xFF;
  const u8 links[8] = {0, 3, 1, 8, 2, 9, 5, 4};
  std::memcpy(r.linkTable.link, links, sizeof links);
  const auto back = sentRecords<KzifMaintenance>(sendRecord(r));
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0].linkTable.mask, 0u);
  EXPECT_EQ(std::vector<u8>(std::begin(stored().linkTable.link), std::end(stored().linkTable.link)),
            std::vector<u8>(8, 0));
}

TEST(MaintenanceDate, CalendarRule) {
  EXPECT_TRUE(isValidDateTime({2000, 2, 29, 23, 59, 59}));
  EXPECT_TRUE(isValidDateTime({2037, 4, 30, 0, 0, 0}));
  for (const auto& d : {TimeStamp{2001, 2, 29, 0, 0, 0}, {2001, 2, 30, 0, 0, 0}, {2037, 4, 31, 0, 0, 0},
                        {2100, 1, 1, 0, 0, 0}, {2010, 1, 1, 24, 0, 0}, {2010, 1, 1, 0, 60, 0}, {2010, 13, 1, 0, 0, 0}})
    EXPECT_FALSE(isValidDateTime(d)) << d.year << "-" << d.month << "-" << d.day << " " << d.hour << ":" << d.minute;
  // The last day of every month is valid, the day after it not (February of a leap year).
  const int lastDay[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  for (u16 month = 1; month <= 12; ++month) {
    const u16 last = static_cast<u16>(lastDay[month - 1]);
    EXPECT_TRUE(isValidDateTime({2024, month, last, 12, 0, 0})) << month;
    EXPECT_FALSE(isValidDateTime({2024, month, static_cast<u16>(last + 1), 12, 0, 0})) << month;
    EXPECT_FALSE(isValidDateTime({2024, month, 0, 12, 0, 0})) << month;
  }
  // Edges of the year, the time and the month: words with the top bit set count as negative.
  EXPECT_TRUE(isValidDateTime({2037, 12, 31, 23, 59, 59}));
  EXPECT_TRUE(isValidDateTime({2000, 1, 1, 0, 0, 0}));
  for (const auto& d : {TimeStamp{1999, 12, 31, 0, 0, 0}, {2038, 1, 1, 0, 0, 0}, {2010, 0, 1, 0, 0, 0},
                        {2010, 1, 1, 0, 0, 60}, {2010, 1, 1, 0xffff, 0, 0}, {2010, 1, 1, 0, 0xffff, 0},
                        {2010, 1, 1, 0, 0, 0xffff}, {2010, 1, 0xffff, 0, 0, 0}, {2010, 0xffff, 1, 0, 0, 0}})
    EXPECT_FALSE(isValidDateTime(d)) << d.year << "-" << d.month << "-" << d.day << " " << d.hour << ":" << d.minute
                                     << ":" << d.second;
}

TEST_F(MaintenanceTest, TimeStampsAreKeptButNeverSentOnTheirOwn) {
  KzifMaintenance r{};
  r.mask = 1u << KzifMaintenance::BIT_MV_TIME;
  r.mvTime = {2000, 2, 29, 12, 0, 0};
  EXPECT_TRUE(sentRecords<KzifMaintenance>(sendRecord(r)).empty());
  EXPECT_EQ(stored().mvTime.day, 29);

  r.mvTime = {2001, 2, 29, 12, 0, 0};  // refused: stored value stays
  sendRecord(r);
  EXPECT_EQ(stored().mvTime.year, 2000);

  // With anything else the record goes back, the stamp bit included.
  r.mask = (1u << KzifMaintenance::BIT_MV_LTC) | (1u << 4);
  r.mvLtc = {2024, 12, 31, 23, 59, 59};
  r.setting4 = 1;
  const auto sent = sentRecords<KzifMaintenance>(sendRecord(r));
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].mask, (1u << KzifMaintenance::BIT_MV_LTC) | (1u << 4));
  EXPECT_EQ(sent[0].mvLtc.year, 2024);
}

TEST_F(MaintenanceTest, StartupPeriodShowsNoAlarmThenTheAlarmsAndFirstSendsFollow) {
  run({"hw power 3", "hw alarm 0x03"});  // unit 1 alarm and status input 0
  auto sent = sentRecords<KzifMaintenance>(sendRecord(allPresent()));
  ASSERT_EQ(sent.size(), 1u);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(textOf(sent[0].mainframeAlarm.item[i]), "No Alarm") << i;

  passStartup();
  EXPECT_TRUE(only(run({"field"}), "msg 27").empty());  // the last field of the start-up period

  sent = sentRecords<KzifMaintenance>(run({"field"}));
  ASSERT_EQ(sent.size(), 1u);
  const KzifMaintenance& m = sent[0];
  EXPECT_EQ(mainframeItems(m), (std::vector<std::string>{"Alarm", "No Alarm", "Alarm", "No Alarm"}));
  EXPECT_EQ(m.mainframeAlarm.mask, 0x7u);  // items 0..2 on their first send, item 3 unchanged
  // Hour-meter flags 0, 1, 8, 9, 10 on their first send, changed or not.
  EXPECT_EQ(m.hourMeter.mask, (1u << 10) | (1u << 11) | (1u << 18) | (1u << 19) | (1u << 20));
  EXPECT_EQ(std::tuple(+m.hourMeter.flag[0], +m.hourMeter.flag[1], +m.hourMeter.flag[8], +m.hourMeter.flag[9],
                       +m.hourMeter.flag[10]),
            std::tuple(1, 1, 1, 0, 1));

  EXPECT_TRUE(only(run({"field 3"}), "msg 27").empty());  // nothing changes, nothing is sent
  sent = sentRecords<KzifMaintenance>(run({"hw alarm 0x10", "field"}));   // unit 2's second alarm input
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].mainframeAlarm.mask, 0x7u);
  EXPECT_EQ(textOf(sent[0].mainframeAlarm.item[1]), "Alarm");
  EXPECT_EQ(sent[0].hourMeter.mask, (1u << 18) | (1u << 19) | (1u << 20));
}

TEST_F(MaintenanceTest, MissingPowerUnitsEachLoseTheirItemInTheFirstField) {
  run({"hw power 3"});
  sendRecord(allPresent());
  auto sent = sentRecords<KzifMaintenance>(run({"hw power 1", "field"}));  // unit 2 missing, unit 1 present
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(std::tuple(+sent[0].mainframeAlarm.present[0], +sent[0].mainframeAlarm.present[1], mainframeItems(sent[0])[1]),
            std::tuple(1, 0, std::string("-")));

  run({"hw power 0"});
  sent = sentRecords<KzifMaintenance>(sendRecord(allPresent()));  // both missing: both items go at once
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(std::pair(+sent[0].mainframeAlarm.present[0], +sent[0].mainframeAlarm.present[1]), std::pair(0, 0));
  EXPECT_EQ(mainframeItems(sent[0]), (std::vector<std::string>{"-", "-", "No Alarm", "No Alarm"}));
}

TEST_F(MaintenanceTest, TemperatureAlarmIsLoggedThenHeldOff) {
  run({"hw power 3"});
  sendRecord(allPresent());
  passStartup();
  const Lines out = run({"hw alarm 0x820", "field 2"});  // an SDI2 temperature flag
  EXPECT_EQ(only(out, "log"), Lines{"log [ERR] Temperature alarm: 1 times, 0x820"});
  EXPECT_EQ(textOf(stored().mainframeAlarm.item[3]), "Alarm");
  EXPECT_TRUE(only(run({"field 200"}), "log").empty());
  EXPECT_EQ(BP::instance().require<CategoryMaintenance>().temperatureCount(), 201);
}

TEST_F(MaintenanceTest, CommandAnswersAndRunsBeforeTheFieldWork) {
  // kind 0 refreshes: the reply comes in the receive pass, the alarm record in the send pass.
  Lines out = run({"send 69 0102 0000 0000 0304 07db00010001 000c00000000", "field"});
  ASSERT_EQ(only(out, "msg").size(), 2u);
  EXPECT_EQ(only(out, "msg")[0], "msg 69 0102000000000304" "07db00010001000c00000000");
  EXPECT_EQ(only(out, "msg")[1].substr(0, 6), "msg 27");

  // Unknown kinds answer -2; kind 1 answers 0.
  for (const auto& [kind, result] : {std::pair{"0007", "fffe"}, {"ffff", "fffe"}, {"0001", "0000"}})
    EXPECT_EQ(only(run({(std::string("send 69 0000 ") + kind + " 0000 0000 000000000000 000000000000").c_str(), "field"}), "msg"),
              Lines{std::string("msg 69 0000") + kind + result + "0000000000000000000000000000"});
  // A body shorter than the command is no command.
  EXPECT_TRUE(only(run({"send 69 0000 0004", "field"}), "msg").empty());

  auto& faders = category::CategoryFaderEvent::get();
  faders.setCalibration(1, 0, {1, 2});
  faders.setCalibration(2, 0, {1, 2});
  run({"send 69 0000 0005 0000 0000 000000000000 000000000000", "field"});
  EXPECT_EQ(std::pair(+faders.calibration(1, 0).first, +faders.calibration(2, 0).first), std::pair(2555, 1));
}

TEST_F(MaintenanceTest, CalibrationValuesResetEveryPanelOnce) {
  auto& faders = category::CategoryFaderEvent::get();
  for (int p = 0; p < 3; ++p) faders.setCalibration(p, 1, {7, 8});
  KzifMaintenance r{};
  r.mask = 1u << 12;
  r.value12 = 100;
  sendRecord(r);
  for (int p = 0; p < 3; ++p) EXPECT_EQ(faders.calibration(p, 1).second, 1533) << p;
  faders.setCalibration(0, 1, {7, 8});
  run({"field 2"});
  EXPECT_EQ(faders.calibration(0, 1).first, 7);
}

TEST_F(MaintenanceTest, ResumeSendsTheWholeRecordAndRepairsDamagedTexts) {
  KzifMaintenance r = allPresent();
  r.mask = 1u << 1;
  r.text1.set("kept");
  r.controlPanelAlarm.mask = 0x01 | 0x10;
  r.controlPanelAlarm.item[0].set("Fan");
  r.controlPanelAlarm.present[0] = 1;
  sendRecord(r);
  // Damage text0 in the image: a huge length and no zero within its room.
  u8* nv = platform::nvWindow() + BP::instance().shareOffset(KzifMaintenance::TYPE_ID, 0);
  const i16 huge = 0x7FFF;
  std::memcpy(nv + offsetof(KzifMaintenance, text0), &huge, 2);
  std::memset(nv + offsetof(KzifMaintenance, text0) + 2, 'A', 13);

  dropCommitRecords();  // the copy edited above is the one resumed
  const auto sent = sentRecords<KzifMaintenance>(run({"restart", "field"}));
  ASSERT_EQ(sent.size(), 1u);
  const KzifMaintenance& m = sent[0];
  EXPECT_EQ(std::tuple(m.mask, textOf(m.text0), textOf(m.text1), textOf(m.mainframeVersion.text[0])),
            std::tuple(0x3FFFu, std::string("AAAAAAAAAAAA"), std::string("kept"), std::string("6.07-00-0.00")));
  // The power cycle leaves both units missing: their items go; the others show "No Alarm".
  EXPECT_EQ(std::pair(+m.mainframeAlarm.present[0], +m.mainframeAlarm.present[1]), std::pair(0, 0));
  EXPECT_EQ(mainframeItems(m), (std::vector<std::string>{"-", "-", "No Alarm", "No Alarm"}));
  // The panel's own text comes back once the panel item is shown again.
  EXPECT_EQ(textOf(m.controlPanelAlarm.item[0]), "No Alarm");
}

// After the start-up period a refresh sends every alarm text again, each item marked, the texts
// unchanged: the panels' own texts and the dashes of absent items come back in the same field.
TEST_F(MaintenanceTest, RefreshResendsEveryAlarmTextOfTheFourUnits) {
  run({"hw power 3"});
  KzifMaintenance r = allPresent();
  r.controlPanelAlarm.mask = 0x01 | 0x10;
  r.controlPanelAlarm.item[0].set("Fan");
  r.controlPanelAlarm.present[0] = 1;
  sendRecord(r);
  passStartup();
  run({"field 2"});
  EXPECT_TRUE(only(run({"field"}), "msg 27").empty());
  const auto sent = sentRecords<KzifMaintenance>(run({"send 69 0000 0000 0000 0000 000000000000 000000000000", "field"}));
  ASSERT_EQ(sent.size(), 1u);
  const std::vector<std::vector<std::string>> texts = {{"No Alarm", "No Alarm", "No Alarm", "No Alarm"},
                                                       {"Fan", "-", "-", "-"},
                                                       {"-", "-", "-", "-"},
                                                       {"-", "-", "-", "-"}};
  for (int unit = 0; unit < 4; ++unit) {
    const MaintenanceAlarm& a = sent[0].alarm(unit);
    std::vector<std::string> items;
    for (const auto& item : a.item) items.push_back(textOf(item));
    EXPECT_EQ(std::pair(a.mask & 0xFu, items), std::pair(0xFu, texts[static_cast<std::size_t>(unit)])) << unit;
  }
  // An item made absent, a text of its own received with it, shows a dash in the same field.
  KzifMaintenance absent{};
  absent.mainframeAlarm.mask = (1u << 7) | (1u << 3);
  absent.mainframeAlarm.item[3].set("Fan");
  const auto back = sentRecords<KzifMaintenance>(sendRecord(absent));
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(std::pair(+back[0].mainframeAlarm.present[3], mainframeItems(back[0])),
            std::pair(0, std::vector<std::string>{"No Alarm", "No Alarm", "No Alarm", "-"}));
}

// A resume writes every alarm text afresh from its present byte, also the ones the field work
// would leave as received, and keeps a power unit that is there.
TEST_F(MaintenanceTest, ResumeRewritesEveryAlarmTextAndKeepsAPresentUnit) {
  KzifMaintenance r = allPresent();
  r.mainframeAlarm.present[3] = 0;
  r.mainframeAlarm.mask |= 0xC;
  r.mainframeAlarm.item[2].set("No Alarm!!");
  r.mainframeAlarm.item[3].set("-x");
  r.subControlPanel1Alarm.mask = 0x2;
  r.subControlPanel1Alarm.item[1].set("-y");
  sendRecord(r);
  ASSERT_EQ(std::pair(textOf(stored().mainframeAlarm.item[2]), textOf(stored().subControlPanel1Alarm.item[1])),
            std::pair(std::string("No Alarm!!"), std::string("-y")));
  auto sent = sentRecords<KzifMaintenance>(run({"restart", "field"}));
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(mainframeItems(sent[0]), (std::vector<std::string>{"-", "-", "No Alarm", "-"}));
  EXPECT_EQ(textOf(sent[0].subControlPanel1Alarm.item[1]), "-");

  // The power status is read when the record is restored: unit 1 there, unit 2 not.
  run({"hw power 1"});
  sendRecord(allPresent());
  ASSERT_EQ(std::pair(+stored().mainframeAlarm.present[0], +stored().mainframeAlarm.present[1]), std::pair(1, 0));
  BP::instance().require<CategoryMaintenance>().restore(platform::nvWindow() +
                                                        BP::instance().shareOffset(KzifMaintenance::TYPE_ID, 0));
  sent = sentRecords<KzifMaintenance>(run({"field"}));
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(std::pair(+sent[0].mainframeAlarm.present[0], +sent[0].mainframeAlarm.present[1]), std::pair(1, 0));
  EXPECT_EQ(mainframeItems(sent[0]), (std::vector<std::string>{"No Alarm", "-", "No Alarm", "No Alarm"}));
}

TEST_F(MaintenanceTest, LinkIsUsedWhenAnotherEntryOfTheStoredTableHoldsTheValue) {
  u8* link = BP::instance().require<CategoryMaintenance>().record(0).linkTable.link;
  const u8 table[MaintenanceLinkTable::N_LINKS] = {3, 0, 0, 5, 0, 0, 0, 8};
  std::memcpy(link, table, sizeof table);
  const CategoryMaintenance& m = BP::instance().require<CategoryMaintenance>();
  // {entry, value, used}: the first and the last entry, each asked about itself and by another.
  const int cases[][3] = {{1, 3, 1}, {0, 3, 0}, {0, 8, 1}, {7, 8, 0}, {7, 3, 1}, {3, 5, 0},
                          {2, 5, 1}, {0, 4, 0}, {0, 9, 0}, {0, 0, 1}};
  for (const auto& [entry, value, used] : cases) EXPECT_EQ(m.isLinkUsed(entry, value), used) << entry << " " << value;
  run({"field"});
}

// The marks set aside while a record merges into the live one are every mask word of the record:
// taken, none is left; added back, the record is as it was.
TEST(MaintenanceMarks, TakeClearsEveryMaskWordAndAddToPutsThemBack) {
  KzifMaintenance r{};
  rec::setAllMasks(r);
  r.text0.set("kept");
  const KzifMaintenance before = r;
  MaintenanceMarks marks = MaintenanceMarks::take(r);
  EXPECT_FALSE(rec::anyMask(r));
  EXPECT_EQ(textOf(r.text0), "kept");
  marks.addTo(r);
  EXPECT_EQ(std::memcmp(&r, &before, sizeof r), 0);

  // Added to marks of its own, each word is the union of both.
  KzifMaintenance other{};
  other.hourMeter.mask = 1u << 30;
  other.mask = 1u << 31;
  marks.addTo(other);
  EXPECT_EQ(other.hourMeter.mask, before.hourMeter.mask | (1u << 30));
  EXPECT_EQ(other.mask, before.mask | (1u << 31));
}

// Two records in one field: the echo carries the marks of both, sub-records included. A record
// with a time stamp takes back the stamp marks still pending, and one that brings only a stamp
// adds no echo of its own.
TEST_F(MaintenanceTest, RecordsOfOneFieldAddTheirMarksAndAStampTakesBackThePendingStamps) {
  KzifMaintenance a{};
  a.mask = (1u << 4) | (1u << KzifMaintenance::BIT_MV_LTC);
  a.setting4 = 1;
  a.mvLtc = {2024, 12, 31, 23, 59, 59};
  a.controlPanelVersion.mask = 1u << 2;
  a.controlPanelVersion.text[2].set("V2");
  KzifMaintenance b{};
  b.mask = 1u << 3;
  b.setting3 = 2;
  b.hourMeter.mask = 1u << 1;
  b.hourMeter.text[1].set("12:34");
  auto sent = sentRecords<KzifMaintenance>(run({("send 27 " + hexOf(a)).c_str(), ("send 27 " + hexOf(b)).c_str(), "field"}));
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(std::tuple(sent[0].mask, sent[0].controlPanelVersion.mask, sent[0].hourMeter.mask & 0x3FFu),
            std::tuple((1u << 3) | (1u << 4) | (1u << KzifMaintenance::BIT_MV_LTC), 1u << 2, 1u << 1));
  EXPECT_EQ(std::pair(textOf(sent[0].controlPanelVersion.text[2]), textOf(sent[0].hourMeter.text[1])),
            std::pair(std::string("V2"), std::string("12:34")));

  KzifMaintenance stamp{};
  stamp.mask = 1u << KzifMaintenance::BIT_MV_TIME;
  stamp.mvTime = {2025, 1, 2, 3, 4, 5};
  a.setting4 = 2;
  sent = sentRecords<KzifMaintenance>(run({("send 27 " + hexOf(a)).c_str(), ("send 27 " + hexOf(stamp)).c_str(), "field"}));
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(std::pair(sent[0].mask, sent[0].controlPanelVersion.mask), std::pair(1u << 4, 1u << 2));
  EXPECT_EQ(std::tuple(+stored().setting4, +stored().mvTime.year, +stored().mvLtc.year), std::tuple(2, 2025, 2024));
  EXPECT_TRUE(only(run({"field"}), "msg 27").empty());

  // A stamp after a stamp-only record: still nothing to send, the second stamp kept too.
  stamp.mvTime.year = 2026;
  KzifMaintenance ltc{};
  ltc.mask = 1u << KzifMaintenance::BIT_MV_LTC;
  ltc.mvLtc = {2027, 6, 30, 0, 0, 0};
  EXPECT_TRUE(sentRecords<KzifMaintenance>(
                  run({("send 27 " + hexOf(stamp)).c_str(), ("send 27 " + hexOf(ltc)).c_str(), "field"}))
                  .empty());
  EXPECT_EQ(std::pair(+stored().mvTime.year, +stored().mvLtc.year), std::pair(2026, 2027));
}
