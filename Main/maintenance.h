// Maintenance (type id 27): versions, board and panel alarms with the temperature alarm, the
// hour-meter block and the time stamps and settings that the System Manager keeps in the
// mainframe; the maintenance command (type id 69) refreshes the alarms or resets a panel's fader
// calibration.
#pragma once
#include <array>
#include <cstddef>

#include "Lib/Include/shared_types.h"
#include "Main/category.h"

// Version texts of one unit (276 bytes): text k has mask bit k.
struct MaintenanceVersion {
  u32 mask;
  rec::Text<12> text[17];

  static constexpr auto wire() {
    using R = MaintenanceVersion;
    return rec::list(rec::mask(&R::mask), rec::elements(0, &R::text));
  }
};
static_assert(sizeof(MaintenanceVersion) == 276);

// Alarm items of one unit (64 bytes): item i is shown while present[i] is 1, else "-".
struct MaintenanceAlarm {
  static constexpr int N_ITEMS = 4;
  u32 mask;
  rec::Text<10> item[N_ITEMS];  // bits 0..3
  u8 present[N_ITEMS];          // bits 4..7

  static constexpr auto wire() {
    using R = MaintenanceAlarm;
    return rec::list(rec::mask(&R::mask), rec::elements(0, &R::item), rec::elements(4, &R::present, rec::range(0, 1)));
  }
};
static_assert(sizeof(MaintenanceAlarm) == 64);
static_assert(offsetof(MaintenanceAlarm, item) + sizeof(rec::Text<10>) == 18);
static_assert(offsetof(MaintenanceAlarm, present) == 60);

// Hour-meter block (144 bytes): ten texts (bits 0..9), seventeen flags (bits 10..26).
struct MaintenanceHourMeter {
  u32 mask;
  rec::Text<8> text[10];
  u8 flag[17];
  u8 reserved[3];

  static constexpr auto wire() {
    using R = MaintenanceHourMeter;
    return rec::list(rec::mask(&R::mask), rec::elements(0, &R::text), rec::elements(10, &R::flag));
  }
};
static_assert(sizeof(MaintenanceHourMeter) == 144);
static_assert(offsetof(MaintenanceHourMeter, flag) == 124);

struct MaintenanceBlock0 {
  u32 mask;
  u8 flag;
  u8 reserved[3];
  static constexpr auto wire() {
    using R = MaintenanceBlock0;
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::flag, rec::range(0, 1)));
  }
};
static_assert(sizeof(MaintenanceBlock0) == 8);

// Links between the custom entries: 0 none, else the 1-based number of another entry. Checked
// against the custom information and the table itself, so the declaration never takes an entry.
struct MaintenanceLinkTable {
  static constexpr int N_LINKS = 8;
  u32 mask;
  u8 link[N_LINKS];
  static constexpr auto wire() {
    using R = MaintenanceLinkTable;
    return rec::list(rec::mask(&R::mask), rec::elements(0, &R::link, rec::onlyFirst(0, rec::Any{})));
  }
};
static_assert(sizeof(MaintenanceLinkTable) == 12);

struct MaintenanceBlock1 {
  u32 mask;
  u8 flag;
  u8 value;
  rec::Text<32> text;
  static constexpr auto wire() {
    using R = MaintenanceBlock1;
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::flag, rec::range(0, 1)), rec::field(1, &R::value),
                     rec::field(2, &R::text));
  }
};
static_assert(sizeof(MaintenanceBlock1) == 44);
static_assert(offsetof(MaintenanceBlock1, text) == 6);

template <int N>
struct MaintenanceTexts {
  u32 mask;
  rec::Text<10> text[N];
  static constexpr auto wire() {
    using R = MaintenanceTexts;
    return rec::list(rec::mask(&R::mask), rec::elements(0, &R::text));
  }
};

struct MaintenanceBlock4 {
  u32 mask;
  u8 flag;
  u8 reserved;
  rec::Text<15> text[3];  // bits 1..3
  static constexpr auto wire() {
    using R = MaintenanceBlock4;
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::flag, rec::range(0, 1)), rec::elements(1, &R::text));
  }
};
static_assert(sizeof(MaintenanceBlock4) == 60);

struct MaintenanceBlock5 {
  u32 mask;
  u8 flag;
  u8 select;
  rec::Text<15> text;
  static constexpr auto wire() {
    using R = MaintenanceBlock5;
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::flag, rec::range(0, 1)),
                     rec::field(1, &R::select, rec::range(0, 5)), rec::field(2, &R::text));
  }
};
static_assert(sizeof(MaintenanceBlock5) == 24);

// A real calendar date (2000..2037, the day within its month, 29 February in leap years) and a
// time of day.
bool isValidDateTime(const TimeStamp& t);

// Stored layout (1864 bytes), offsets pinned below. Wire body: 494 bytes plus the text lengths.
struct KzifMaintenance {
  static constexpr int TYPE_ID = 27;
  static constexpr int N_CHANNELS = 1;
  static constexpr const char* NAME = "KzifMaintenance";

  static constexpr int BIT_MV_TIME = 8;
  static constexpr int BIT_MV_LTC = 9;
  static constexpr int FIRST_CALIBRATION_BIT = 10;  // value10..value13: bits 10..13

  u32 mask;
  rec::Text<12> text0;
  MaintenanceVersion mainframeVersion;
  MaintenanceVersion controlPanelVersion;
  MaintenanceVersion subControlPanel1Version;
  MaintenanceVersion subControlPanel2Version;
  rec::Text<12> text1;
  MaintenanceAlarm mainframeAlarm;
  MaintenanceAlarm controlPanelAlarm;
  MaintenanceAlarm subControlPanel1Alarm;
  MaintenanceAlarm subControlPanel2Alarm;
  MaintenanceBlock0 block0;
  MaintenanceLinkTable linkTable;
  MaintenanceBlock1 block1;
  MaintenanceTexts<4> block2;
  rec::Text<10> text2;
  MaintenanceTexts<3> block3;
  u8 setting3;
  u8 setting4;
  i16 date5[3];  // year, month, day
  i16 time6[3];  // hour, minute, second
  i16 time7[3];
  TimeStamp mvTime;
  TimeStamp mvLtc;
  MaintenanceBlock4 block4;
  MaintenanceBlock5 block5;
  MaintenanceHourMeter hourMeter;
  i16 value10;
  i16 value11;
  i16 value12;
  i16 value13;

  // Alarm sub-record 0 (mainframe) .. 3 (sub panel 2).
  MaintenanceAlarm& alarm(int unit);
  const MaintenanceAlarm& alarm(int unit) const { return const_cast<KzifMaintenance*>(this)->alarm(unit); }

  static constexpr auto wire() {
    using R = KzifMaintenance;
    constexpr auto time = rec::whole(rec::each(rec::range(0, 23), rec::range(0, 59), rec::range(0, 59)));
    return rec::list(
        rec::mask(&R::mask), rec::field(0, &R::text0), rec::sub(&R::mainframeVersion), rec::sub(&R::controlPanelVersion),
        rec::sub(&R::subControlPanel1Version), rec::sub(&R::subControlPanel2Version), rec::field(1, &R::text1),
        rec::sub(&R::mainframeAlarm), rec::sub(&R::controlPanelAlarm), rec::sub(&R::subControlPanel1Alarm),
        rec::sub(&R::subControlPanel2Alarm), rec::sub(&R::block0), rec::sub(&R::linkTable), rec::sub(&R::block1),
        rec::sub(&R::block2), rec::field(2, &R::text2), rec::sub(&R::block3),
        rec::field(3, &R::setting3, rec::range(0, 2)), rec::field(4, &R::setting4, rec::range(0, 2)),
        // The stored date is checked field by field only: its day against 31 whatever the month.
        rec::field(5, &R::date5, rec::whole(rec::each(rec::range(2000, 2037), rec::range(1, 12), rec::range(1, 31)))),
        rec::field(6, &R::time6, time), rec::field(7, &R::time7, time),
        rec::field(BIT_MV_TIME, &R::mvTime, rec::wholeIf(&isValidDateTime)),
        rec::field(BIT_MV_LTC, &R::mvLtc, rec::wholeIf(&isValidDateTime)), rec::sub(&R::block4), rec::sub(&R::block5),
        rec::sub(&R::hourMeter), rec::field(10, &R::value10, rec::range(0, 2000)),
        rec::field(11, &R::value11, rec::range(0, 2000)), rec::field(12, &R::value12, rec::range(0, 2000)),
        rec::field(13, &R::value13, rec::range(0, 2000)));
  }
};
static_assert(sizeof(KzifMaintenance) == 1864);
static_assert(offsetof(KzifMaintenance, text0) == 4);
static_assert(offsetof(KzifMaintenance, mainframeVersion) == 20);
static_assert(offsetof(KzifMaintenance, subControlPanel2Version) == 848);
static_assert(offsetof(KzifMaintenance, text1) == 1124);
static_assert(offsetof(KzifMaintenance, mainframeAlarm) == 1140);
static_assert(offsetof(KzifMaintenance, subControlPanel2Alarm) == 1332);
static_assert(offsetof(KzifMaintenance, block0) == 1396);
static_assert(offsetof(KzifMaintenance, linkTable) == 1404);
static_assert(offsetof(KzifMaintenance, block1) == 1416);
static_assert(offsetof(KzifMaintenance, block2) == 1460);
static_assert(offsetof(KzifMaintenance, text2) == 1520);
static_assert(offsetof(KzifMaintenance, block3) == 1536);
static_assert(offsetof(KzifMaintenance, setting3) == 1584);
static_assert(offsetof(KzifMaintenance, date5) == 1586);
static_assert(offsetof(KzifMaintenance, time6) == 1592);
static_assert(offsetof(KzifMaintenance, time7) == 1598);
static_assert(offsetof(KzifMaintenance, mvTime) == 1604);
static_assert(offsetof(KzifMaintenance, mvLtc) == 1616);
static_assert(offsetof(KzifMaintenance, block4) == 1628);
static_assert(offsetof(KzifMaintenance, block5) == 1688);
static_assert(offsetof(KzifMaintenance, hourMeter) == 1712);
static_assert(offsetof(KzifMaintenance, value10) == 1856);
static_assert(offsetof(KzifMaintenance, value13) == 1862);

// The mask words of a maintenance record and of every sub-record in it, set aside while a record
// is merged straight into the live one (so that the marks then say what that record takes) and
// added back after.
struct MaintenanceMarks {
  static constexpr int N_WORDS = 17;
  std::array<u32, N_WORDS> words{};

  // The marks of r, which are cleared.
  static MaintenanceMarks take(KzifMaintenance& r);
  // Adds these marks to those of r.
  void addTo(KzifMaintenance& r) const;
};

// Command and reply (type id 69), 20 bytes, no mask.
struct KzifMaintenanceCmd {
  static constexpr int TYPE_ID = 69;
  static constexpr const char* NAME = "KzifMaintenanceCmd";
  static constexpr i16 REFRESH_ALARMS = 0;
  static constexpr i16 FIRST_CALIBRATION_RESET = 4;  // 4, 5, 6: panel 0, 1, 2
  static constexpr i16 LAST_KIND = 6;
  static constexpr i16 RESULT_OK = 0;
  static constexpr i16 RESULT_BAD_PARAMETER = -2;

  u8 byte0;
  u8 byte1;
  i16 kind;
  i16 status;
  u8 byte6;
  u8 byte7;
  u16 date[3];
  u16 time[3];

  static constexpr auto wire() {
    using R = KzifMaintenanceCmd;
    return rec::list(rec::plain(&R::byte0), rec::plain(&R::byte1), rec::plain(&R::kind), rec::plain(&R::status),
                     rec::plain(&R::byte6), rec::plain(&R::byte7), rec::plain(&R::date), rec::plain(&R::time));
  }
};
static_assert(rec::wireSizeOf<KzifMaintenanceCmd>() == 20);

namespace category {

class CategoryMaintenance : public CategoryCommon<KzifMaintenance> {
 public:
  static constexpr int N_PANELS = 3;
  static constexpr int FIELDS_OF_STARTUP = 3600;
  static constexpr int TEMPERATURE_HOLD_OFF = 3600;
  static constexpr const char* SOFTWARE_VERSION = "6.07-00-0.00";

  CategoryMaintenance();

  std::size_t attachBackup(u8* p) override;
  void initInternal() override;
  void restore(const u8* stored) override;
  void update() override;
  void receiveRouted(int id, RequestReceiver& rx) override;
  void assign(const KzifMaintenance& in, int idx) override;

  // 1 when a linkTable entry other than `entry` holds `value`.
  int isLinkUsed(int entry, int value) const;
  int temperatureCount() const { return temperatureCount_; }
  int fieldCount() const { return fieldCount_; }

 private:
  void updateAlarms();
  void startupAlarms();
  void updatePanelAlarm(int panel);
  void resetAlarmTexts();
  void updatePowerFlags(int unit1Present, int unit2Present);
  void updateAlarmFlags(u32 status);
  void checkPower(int unit1Present, int unit2Present);
  // Merges a local change of one sub-record (its mask marking what changed) into the record; the
  // marks make the send pass report it.
  template <class S>
  void mergeChange(S& part, const S& change);
  // Sets the flag of the hour meter when it differs or its first send is due.
  void putFlag(MaintenanceHourMeter& change, int flag, int value, int firstSend);

  std::array<MaintenanceAlarm, N_PANELS> panelAlarm_{};
  i32 temperatureCount_ = 0;
  u32 alarmBits_ = 0;
  i32 temperatureHoldOff_ = 0;
  i32 fieldCount_ = 0;
  std::array<u8, 6> firstSend_{};
  // Calibration resets asked for by value10..13 since the last field: 1 for bits 10, 11 and 2 for
  // bits 12, 13 (bit 0 and bit 1 of this word).
  u8 calibrationResets_ = 0;
};

}  // namespace category

void initCategoryMaintenance();
