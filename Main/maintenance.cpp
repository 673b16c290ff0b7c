#include "Main/maintenance.h"

#include <cstring>

#include "Common/log.h"
#include "Driver/status.h"
#include "Main/bp.h"
#include "Main/faderevent.h"

KZ_SOURCE("Main/maintenance");

namespace {

constexpr const char* NO_ALARM = "No Alarm";
constexpr const char* ALARM = "Alarm";
constexpr const char* NOT_PRESENT = "-";

// Status bits (of the alarm status word) that put each mainframe alarm item in alarm.
constexpr u32 ITEM_ALARM_BITS[MaintenanceAlarm::N_ITEMS] = {0x0A, 0x14, 0x01, 0x20};
constexpr u32 TEMPERATURE_BIT = 0x20;
// The order in which the mainframe items are looked at.
constexpr int ITEM_ORDER[MaintenanceAlarm::N_ITEMS] = {2, 0, 1, 3};

// Where the hour meter mirrors the board: presence of the power units, then the three alarms.
constexpr int FLAG_UNIT1 = 0;
constexpr int FLAG_UNIT2 = 1;
constexpr int FLAG_ALARM_UNIT1 = 8;
constexpr int FLAG_ALARM_UNIT2 = 9;
constexpr int FLAG_STATUS_INPUT = 10;
constexpr int FIRST_FLAG_BIT = 10;
constexpr int FIRST_PRESENT_BIT = 4;
// firstSend flags 0..4 guard the hour-meter flags in the order above; 5 the mainframe items.
constexpr int FIRST_SEND_ITEMS = 5;

bool startsWith(const rec::Text<10>& t, const char* s) { return std::strncmp(t.chars, s, std::strlen(s)) == 0; }

void setItem(MaintenanceAlarm& change, int i, const char* text) {
  change.item[i].set(text);
  change.mask |= 1u << i;
}

}  // namespace

// Words with the top bit set count as negative.
bool isValidDateTime(const TimeStamp& t) {
  static constexpr int DAYS[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  auto word = [](u16 w) { return static_cast<int>(static_cast<i16>(w)); };
  const int year = word(t.year), month = word(t.month), day = word(t.day);
  const int hour = word(t.hour), minute = word(t.minute), second = word(t.second);
  if (year < 2000 || year > 2037 || month < 1 || month > 12) return false;
  if (day < 1 || day > DAYS[month - 1]) return false;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (month == 2 && day == 29 && !leap) return false;
  return 0 <= hour && hour <= 23 && 0 <= minute && minute <= 59 && 0 <= second && second <= 59;
}

namespace {

// Hands fn each mask word of the record with its place among the N_WORDS, one call each, so that
// the words are reached at fixed offsets.
template <class Fn>
[[gnu::always_inline]] inline void forEachMaskWord(KzifMaintenance& r, Fn fn) {
  fn(0, r.mask);
  fn(1, r.mainframeVersion.mask);
  fn(2, r.controlPanelVersion.mask);
  fn(3, r.subControlPanel1Version.mask);
  fn(4, r.subControlPanel2Version.mask);
  fn(5, r.mainframeAlarm.mask);
  fn(6, r.controlPanelAlarm.mask);
  fn(7, r.subControlPanel1Alarm.mask);
  fn(8, r.subControlPanel2Alarm.mask);
  fn(9, r.block0.mask);
  fn(10, r.linkTable.mask);
  fn(11, r.block1.mask);
  fn(12, r.block2.mask);
  fn(13, r.block3.mask);
  fn(14, r.block4.mask);
  fn(15, r.block5.mask);
  fn(16, r.hourMeter.mask);
  static_assert(MaintenanceMarks::N_WORDS == 17);
}

}  // namespace

MaintenanceMarks MaintenanceMarks::take(KzifMaintenance& r) {
  MaintenanceMarks m;
  forEachMaskWord(r, [&m](std::size_t i, u32& word) {
    m.words[i] = word;
    word = 0;
  });
  return m;
}

void MaintenanceMarks::addTo(KzifMaintenance& r) const {
  forEachMaskWord(r, [this](std::size_t i, u32& word) { word |= words[i]; });
}

MaintenanceAlarm& KzifMaintenance::alarm(int unit) {
  switch (unit) {
    case 0: return mainframeAlarm;
    case 1: return controlPanelAlarm;
    case 2: return subControlPanel1Alarm;
    default: return subControlPanel2Alarm;
  }
}

namespace category {

CategoryMaintenance::CategoryMaintenance() { setRoute<KzifMaintenanceCmd>(IndexOf<KzifMaintenance>::value); }

// The counters and first-send flags live as long as the program; a host power cycle keeps the
// process, so they start afresh with every attach, as they would on the board.
std::size_t CategoryMaintenance::attachBackup(u8* p) {
  panelAlarm_ = {};
  temperatureCount_ = 0;
  alarmBits_ = 0;
  temperatureHoldOff_ = 0;
  fieldCount_ = 0;
  firstSend_.fill(1);
  calibrationResets_ = 0;
  return CategoryCommon::attachBackup(p);
}

void CategoryMaintenance::initInternal() {
  CategoryCommon::initInternal();
  KzifMaintenance& r = records_[0];
  r.mainframeVersion.text[0].set(SOFTWARE_VERSION);
  r.mainframeVersion.mask |= 1u;
}

void CategoryMaintenance::restore(const u8* stored) {
  CategoryCommon::restore(stored);
  KzifMaintenance& r = records_[0];
  int unit1 = 0, unit2 = 0;
  getPowerStatus(unit1, unit2);
  for (int unit = 0; unit < 4; ++unit) {
    MaintenanceAlarm& a = r.alarm(unit);
    for (int i = 0; i < MaintenanceAlarm::N_ITEMS; ++i) a.item[i].set(a.present[i] == 1 ? NO_ALARM : NOT_PRESENT);
  }
  if (!unit1) r.mainframeAlarm.present[0] = 0;
  if (!unit2) r.mainframeAlarm.present[1] = 0;
  for (MaintenanceAlarm& p : panelAlarm_)
    for (auto& item : p.item) item.set(NO_ALARM);
  calibrationResets_ = 3;  // every value bit is set again: the panels take their defaults
}

// The record is merged straight into the live one, its marks set aside first: the marks then say
// what this record takes, and the ones set aside are added back after.
void CategoryMaintenance::assign(const KzifMaintenance& in, int idx) {
  checkChannel(idx);
  for (int p = 0; p < N_PANELS; ++p) {
    const MaintenanceAlarm& a = in.alarm(p + 1);
    for (int i = 0; i < MaintenanceAlarm::N_ITEMS; ++i) {
      if (!(a.mask & (1u << i))) continue;
      panelAlarm_[static_cast<std::size_t>(p)].item[i].assignFrom(a.item[i]);
      panelAlarm_[static_cast<std::size_t>(p)].mask |= 1u << i;
    }
  }

  KzifMaintenance& r = records_[0];
  MaintenanceMarks pending = MaintenanceMarks::take(r);
  // The link table follows only entries that custom information types as neither off nor an
  // M/E; it types every entry as an M/E, so a received link is never taken.
  rec::merge(r, in);
  const u32 took = r.mask;
  const u32 calibrationBits = took >> KzifMaintenance::FIRST_CALIBRATION_BIT;
  if (calibrationBits & 0x3) calibrationResets_ |= 1;
  if (calibrationBits & 0xC) calibrationResets_ |= 2;

  // The time stamps are kept but never echoed on their own: only a record that brought anything
  // else is sent back. A stamp it brings takes back the stamp marks still pending.
  constexpr u32 stampBits = (1u << KzifMaintenance::BIT_MV_TIME) | (1u << KzifMaintenance::BIT_MV_LTC);
  const u32 stamps = took & stampBits;
  bool echoed = true;
  if (stamps != 0) {
    r.mask &= ~stampBits;
    echoed = rec::anyMask(r);
    if (echoed) r.mask |= stamps;
    pending.words[0] &= ~stampBits;
  }
  pending.addTo(r);
  mayHoldMarks(idx);
  if (echoed) markChanged(idx);
}

int CategoryMaintenance::isLinkUsed(int entry, int value) const {
  const MaintenanceLinkTable& t = record(0).linkTable;
  for (int i = 0; i < MaintenanceLinkTable::N_LINKS; ++i)
    if (i != entry && t.link[i] == value) return 1;
  return 0;
}

// Inlined where it is called, so that a change that marks nothing (most fields) costs a test.
template <class S>
[[gnu::always_inline]] inline void CategoryMaintenance::mergeChange(S& part, const S& change) {
  if (!rec::anyMask(change)) return;
  rec::merge(part, change, rec::Checks::Skip);
  mayHoldMarks(0);
}

void CategoryMaintenance::update() {
  int unit1 = 0, unit2 = 0;
  getPowerStatus(unit1, unit2);
  checkPower(unit1, unit2);

  if (fieldCount_ < FIELDS_OF_STARTUP) {
    ++fieldCount_;
    startupAlarms();
    for (int p = 0; p < N_PANELS; ++p) updatePanelAlarm(p);
  } else {
    if (fieldCount_ == FIELDS_OF_STARTUP) fieldCount_ = FIELDS_OF_STARTUP + 1;
    updateAlarms();
    for (int p = 0; p < N_PANELS; ++p) updatePanelAlarm(p);
    updatePowerFlags(unit1, unit2);
  }

  if (calibrationResets_ != 0) {
    if (auto* faders = BP::instance().find<CategoryFaderEvent>(0)) {
      for (int selector = 1; selector <= 2; ++selector)
        if (calibrationResets_ & selector)
          for (int p = 0; p < N_PANELS; ++p) faders->resetCalibration(p, selector);
    }
    calibrationResets_ = 0;
  }
}

// Each unit on its own: a missing unit never shows as present, whatever the other one does.
void CategoryMaintenance::checkPower(int unit1Present, int unit2Present) {
  MaintenanceAlarm& a = records_[0].mainframeAlarm;
  MaintenanceAlarm change{};
  if (!unit1Present && a.present[0] == 1) change.mask |= 1u << FIRST_PRESENT_BIT;
  if (!unit2Present && a.present[1] == 1) change.mask |= 1u << (FIRST_PRESENT_BIT + 1);
  mergeChange(a, change);
}

void CategoryMaintenance::startupAlarms() {
  MaintenanceAlarm& a = records_[0].mainframeAlarm;
  MaintenanceAlarm change{};
  for (int i : ITEM_ORDER) {
    if (a.present[i] == 1) {
      if (!startsWith(a.item[i], NO_ALARM)) setItem(change, i, NO_ALARM);
    } else if (a.item[i].chars[0] != '-') {
      setItem(change, i, NOT_PRESENT);
    }
  }
  mergeChange(a, change);
}

void CategoryMaintenance::updateAlarms() {
  const u32 s = checkPowerDown();
  alarmBits_ |= s;
  if (s & TEMPERATURE_BIT) ++temperatureCount_;
  if (temperatureHoldOff_ > 0) {
    --temperatureHoldOff_;
  } else if (alarmBits_ & TEMPERATURE_BIT) {
    libkz::getLogger().printf(libkz::LOG_ERR, "Temperature alarm: %d times, 0x%x\n", static_cast<int>(temperatureCount_),
                              static_cast<unsigned>(alarmBits_));
    alarmBits_ = 0;
    temperatureHoldOff_ = TEMPERATURE_HOLD_OFF;
  }
  updateAlarmFlags(s);

  MaintenanceAlarm& a = records_[0].mainframeAlarm;
  MaintenanceAlarm change{};
  for (int i : ITEM_ORDER) {
    if (a.present[i] == 1) {
      const bool inAlarm = (s & ITEM_ALARM_BITS[i]) != 0;
      if (inAlarm && !startsWith(a.item[i], ALARM)) setItem(change, i, ALARM);
      if (!inAlarm && !startsWith(a.item[i], NO_ALARM)) setItem(change, i, NO_ALARM);
    } else if (a.item[i].chars[0] != '-') {
      setItem(change, i, NOT_PRESENT);
    }
  }
  if (firstSend_[FIRST_SEND_ITEMS]) {
    for (int i = 0; i < 3; ++i)
      if (!(change.mask & (1u << i))) {
        change.item[i] = a.item[i];  // the whole text as received, a zero among its characters included
        change.mask |= 1u << i;
      }
    firstSend_[FIRST_SEND_ITEMS] = 0;
  }
  mergeChange(a, change);
}

void CategoryMaintenance::putFlag(MaintenanceHourMeter& change, int flag, int value, int firstSend) {
  const bool due = firstSend_[static_cast<std::size_t>(firstSend)] != 0;
  firstSend_[static_cast<std::size_t>(firstSend)] = 0;
  if (records_[0].hourMeter.flag[flag] == value && !due) return;
  change.flag[flag] = static_cast<u8>(value);
  change.mask |= 1u << (FIRST_FLAG_BIT + flag);
}

void CategoryMaintenance::updateAlarmFlags(u32 status) {
  MaintenanceHourMeter change{};
  putFlag(change, FLAG_ALARM_UNIT1, (status & ITEM_ALARM_BITS[0]) ? 1 : 0, 2);
  putFlag(change, FLAG_ALARM_UNIT2, (status & ITEM_ALARM_BITS[1]) ? 1 : 0, 3);
  putFlag(change, FLAG_STATUS_INPUT, static_cast<int>(status & ITEM_ALARM_BITS[2]), 4);
  mergeChange(records_[0].hourMeter, change);
}

void CategoryMaintenance::updatePowerFlags(int unit1Present, int unit2Present) {
  MaintenanceHourMeter change{};
  putFlag(change, FLAG_UNIT1, unit1Present, 0);
  putFlag(change, FLAG_UNIT2, unit2Present, 1);
  mergeChange(records_[0].hourMeter, change);
}

void CategoryMaintenance::updatePanelAlarm(int panel) {
  MaintenanceAlarm& a = records_[0].alarm(panel + 1);
  const MaintenanceAlarm& shown = panelAlarm_[static_cast<std::size_t>(panel)];
  MaintenanceAlarm c{};
  for (int i = 0; i < MaintenanceAlarm::N_ITEMS; ++i) {
    if (a.present[i] == 1) {
      if (!(a.item[i] == shown.item[i])) {
        c.item[i].assignFrom(shown.item[i]);
        c.mask |= 1u << i;
      }
    } else if (a.item[i].chars[0] != '-') {
      setItem(c, i, NOT_PRESENT);
    }
  }
  mergeChange(a, c);
}

void CategoryMaintenance::resetAlarmTexts() {
  for (int unit = 0; unit < 4; ++unit) {
    MaintenanceAlarm& a = records_[0].alarm(unit);
    MaintenanceAlarm change{};
    for (int i = 0; i < MaintenanceAlarm::N_ITEMS; ++i)
      if (a.present[i] <= 1) setItem(change, i, NO_ALARM);
    mergeChange(a, change);
  }
}

void CategoryMaintenance::receiveRouted(int id, RequestReceiver& rx) {
  rx.consume();
  KZ_CHECK_EQ(id, IndexOf<KzifMaintenanceCmd>::value);
  KzifMaintenanceCmd cmd{};
  if (!rec::decode(rx.reader(), cmd)) return;  // a short body is no command; nothing to answer
  if (cmd.kind == KzifMaintenanceCmd::REFRESH_ALARMS) {
    resetAlarmTexts();
    updateAlarms();
  } else if (cmd.kind >= KzifMaintenanceCmd::FIRST_CALIBRATION_RESET && cmd.kind <= KzifMaintenanceCmd::LAST_KIND) {
    BP::instance().require<CategoryFaderEvent>(0).resetCalibration(cmd.kind - KzifMaintenanceCmd::FIRST_CALIBRATION_RESET, 0);
  }
  const bool known = 0 <= cmd.kind && cmd.kind <= KzifMaintenanceCmd::LAST_KIND;
  cmd.status = known ? KzifMaintenanceCmd::RESULT_OK : KzifMaintenanceCmd::RESULT_BAD_PARAMETER;
  AcknowledgeSender::instance().writeRecord(cmd);  // "send buffer full" is logged there
}

}  // namespace category

void initCategoryMaintenance() { static category::CategoryMaintenance maintenance; }
