// The configuration of the three control panels (type id 25): panel options, network settings,
// option blocks, the key-fader button tables and the per-panel key-fader button enables that the
// keyers toggle and read.
#pragma once
#include <cstddef>

#include "Main/category.h"
#include "Main/network_setting.h"

// Stored layout (40 bytes): 0 mask | 4 flag0..flag5 | 10 choice | 12 value0..value3 (i16) |
// 20 flag6 | 21 flag7 | 24 flagsA (mask, 4 flags) | 32 flagsB.
struct PanelFlags {
  u32 mask;
  u8 flag[4];
  static constexpr auto wire() {
    using R = PanelFlags;
    return rec::list(rec::mask(&R::mask), rec::elements(0, &R::flag, rec::range(0, 1)));
  }
};

// The main panel and the sub panels share the layout but not the accepted ranges.
template <bool MAIN>
struct PanelSettingOf {
  u32 mask;
  u8 flag0, flag1, flag2, flag3, flag4, flag5;
  u8 choice;
  u8 reserved0;
  i16 value0, value1, value2, value3;
  u8 flag6;
  u8 flag7;  // read (and cleared) by the buses for the sub panels
  u8 reserved1[2];
  PanelFlags flagsA;
  PanelFlags flagsB;

  static constexpr auto wire() {
    using R = PanelSettingOf;
    constexpr auto v0 = MAIN ? rec::range(6, 13) : rec::range(1, 50);
    constexpr auto v1 = MAIN ? rec::range(7, 13) : rec::range(1, 50);
    constexpr auto v2 = MAIN ? rec::range(6, 14) : rec::range(1, 50);
    constexpr auto v3 = MAIN ? rec::range(0, 10) : rec::range(0, 100);
    constexpr auto flag = rec::range(0, 1);
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::flag0, flag), rec::field(1, &R::flag1, flag),
                     rec::field(2, &R::flag2, flag), rec::field(3, &R::flag3, flag), rec::field(4, &R::flag4, flag),
                     rec::field(5, &R::flag5, flag), rec::field(6, &R::choice, rec::range(0, 4)),
                     rec::field(7, &R::value0, v0), rec::field(8, &R::value1, v1), rec::field(9, &R::value2, v2),
                     rec::field(10, &R::value3, v3), rec::field(11, &R::flag6, flag), rec::field(12, &R::flag7, flag),
                     rec::sub(&R::flagsA), rec::sub(&R::flagsB));
  }
};
using MainPanelSetting = PanelSettingOf<true>;
using SubPanelSetting = PanelSettingOf<false>;
static_assert(sizeof(MainPanelSetting) == 40 && sizeof(SubPanelSetting) == 40);
static_assert(offsetof(MainPanelSetting, choice) == 10);
static_assert(offsetof(MainPanelSetting, value0) == 12);
static_assert(offsetof(MainPanelSetting, flag6) == 20);
static_assert(offsetof(MainPanelSetting, flagsA) == 24);
static_assert(offsetof(MainPanelSetting, flagsB) == 32);

// Option blocks (8 bytes: mask, four values), one accepted range table per member.
enum class OptionBlockKind { A, ListEntry, B };
template <OptionBlockKind KIND>
struct OptionBlockOf {
  u32 mask;
  u8 value0, value1, value2, value3;
  static constexpr auto wire() {
    using R = OptionBlockOf;
    constexpr auto zeroOr5To12 = rec::oneOf(0, 5, 6, 7, 8, 9, 10, 11, 12);
    if constexpr (KIND == OptionBlockKind::A) {
      return rec::list(rec::mask(&R::mask), rec::field(0, &R::value0, rec::range(1, 12)),
                       rec::field(1, &R::value1, rec::range(1, 12)), rec::field(2, &R::value2, rec::range(1, 12)),
                       rec::field(3, &R::value3, rec::range(0, 1)));
    } else if constexpr (KIND == OptionBlockKind::ListEntry) {
      return rec::list(rec::mask(&R::mask), rec::field(0, &R::value0, zeroOr5To12),
                       rec::field(1, &R::value1, rec::range(5, 12)), rec::field(2, &R::value2, rec::range(5, 12)),
                       rec::field(3, &R::value3, rec::range(5, 12)));
    } else {
      return rec::list(rec::mask(&R::mask), rec::field(0, &R::value0, zeroOr5To12),
                       rec::field(1, &R::value1, rec::range(5, 13)), rec::field(2, &R::value2, rec::range(5, 12)),
                       rec::field(3, &R::value3, rec::range(5, 12)));
    }
  }
};
static_assert(sizeof(OptionBlockOf<OptionBlockKind::A>) == 8);

// Eight entries of three values, each entry taken whole when all three lie in 0..15.
struct TripletTable {
  using Entry = i16[3];
  u32 mask;
  Entry entry0, entry1, entry2, entry3, entry4, entry5, entry6, entry7;
  static constexpr auto wire() {
    using R = TripletTable;
    constexpr auto all = rec::whole(rec::range(0, 15));
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::entry0, all), rec::field(1, &R::entry1, all),
                     rec::field(2, &R::entry2, all), rec::field(3, &R::entry3, all), rec::field(4, &R::entry4, all),
                     rec::field(5, &R::entry5, all), rec::field(6, &R::entry6, all), rec::field(7, &R::entry7, all));
  }
};
static_assert(sizeof(TripletTable) == 52);

// One key-fader button: the keyer it is assigned to. selMe: 0 none, 1..4 the A sides of M/E 1..4,
// 5 the downstream keys (selKeyCh is then the DSK channel), 6..9 the B sides of M/E 1..4.
struct KeyFaderButton {
  u32 mask;
  u8 selMe;
  u8 selKeyCh;
  u8 reserved[2];
  static constexpr auto wire() {
    using R = KeyFaderButton;
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::selMe, rec::range(0, 9)),
                     rec::field(1, &R::selKeyCh, rec::range(0, 7)));
  }
};
static_assert(sizeof(KeyFaderButton) == 8);

struct KzifKeyFader {
  static constexpr int KEY_FADER_BUTTON_NUM = 12;
  static constexpr int ME_SEL_DSK = 5;
  static constexpr int ME_SEL_ME4B = 9;
  static constexpr int KEY_SEL_KEY8 = 7;
};
constexpr int N_KEY_FADERS = 8;
constexpr int N_PANELS = 3;

// Whether each button of one key fader is on at one panel. The first word is reserved: kept 0,
// not sent.
struct KeyFaderButtonEnables {
  u32 reserved;
  u32 mask;
  u8 enable[KzifKeyFader::KEY_FADER_BUTTON_NUM];
  static constexpr auto wire() {
    using R = KeyFaderButtonEnables;
    return rec::list(rec::mask(&R::mask), rec::elements(0, &R::enable, rec::range(0, 1)));
  }
};
static_assert(sizeof(KeyFaderButtonEnables) == 20);

// Stored layout (1664 bytes, backed up): 0 mask (kept 0) | 4 controlPanel | 44 subControlPanel1 |
// 84 networkSetting1 | 164 subControlPanel2 | 204 networkSetting2 | 284 optionBlockA |
// 292 optionBlockList[8] | 356 optionBlockB | 364 tripletTable | 416 keyFader (8 × 12 buttons) |
// 1184, 1344, 1504 the key-fader button enables of panels 0, 1, 2 (8 each).
// Wire body (1239 bytes plus the text lengths): the members in this order, the record mask first;
// the reserved words of the enables are not sent.
struct KzifControlPanelConfig {
  static constexpr int TYPE_ID = 25;
  static constexpr int N_CHANNELS = 1;
  static constexpr const char* NAME = "KzifControlPanelConfig";
  static constexpr int N_OPTION_BLOCKS = 8;
  static constexpr int N_OPTION_BLOCKS_TAKEN = 4;  // entries 4..7 are never taken from a record
  static constexpr int N_BUTTONS = N_KEY_FADERS * KzifKeyFader::KEY_FADER_BUTTON_NUM;

  u32 mask;
  MainPanelSetting controlPanel;
  SubPanelSetting subControlPanel1;
  NetworkSetting networkSetting1;
  SubPanelSetting subControlPanel2;
  NetworkSetting networkSetting2;
  OptionBlockOf<OptionBlockKind::A> optionBlockA;
  OptionBlockOf<OptionBlockKind::ListEntry> optionBlockList[N_OPTION_BLOCKS];
  OptionBlockOf<OptionBlockKind::B> optionBlockB;
  TripletTable tripletTable;
  KeyFaderButton keyFader[N_BUTTONS];  // key fader k's button b at 12k + b
  KeyFaderButtonEnables controlPanelKeyFaderEnable[N_KEY_FADERS];
  KeyFaderButtonEnables subControlPanel1KeyFaderEnable[N_KEY_FADERS];
  KeyFaderButtonEnables subControlPanel2KeyFaderEnable[N_KEY_FADERS];

  static constexpr auto wire() {
    using R = KzifControlPanelConfig;
    return rec::list(rec::plain(&R::mask), rec::sub(&R::controlPanel), rec::sub(&R::subControlPanel1),
                     rec::sub(&R::networkSetting1), rec::sub(&R::subControlPanel2), rec::sub(&R::networkSetting2),
                     rec::sub(&R::optionBlockA), rec::sub(&R::optionBlockList), rec::sub(&R::optionBlockB),
                     rec::sub(&R::tripletTable), rec::sub(&R::keyFader), rec::sub(&R::controlPanelKeyFaderEnable),
                     rec::sub(&R::subControlPanel1KeyFaderEnable), rec::sub(&R::subControlPanel2KeyFaderEnable));
  }

  // Button b (b above 11: button 0) of key fader k (0..7).
  KeyFaderButton& button(int k, int b);
  const KeyFaderButton& button(int k, int b) const;
  // The enables of panel 0..2 for key fader k (k above 7: key fader 0).
  KeyFaderButtonEnables& enables(int panel, int k);
  const KeyFaderButtonEnables& enables(int panel, int k) const;
};
static_assert(sizeof(KzifControlPanelConfig) == 1664);
static_assert(offsetof(KzifControlPanelConfig, controlPanel) == 4);
static_assert(offsetof(KzifControlPanelConfig, subControlPanel1) == 44);
static_assert(offsetof(KzifControlPanelConfig, networkSetting1) == 84);
static_assert(offsetof(KzifControlPanelConfig, subControlPanel2) == 164);
static_assert(offsetof(KzifControlPanelConfig, networkSetting2) == 204);
static_assert(offsetof(KzifControlPanelConfig, optionBlockA) == 284);
static_assert(offsetof(KzifControlPanelConfig, optionBlockList) == 292);
static_assert(offsetof(KzifControlPanelConfig, optionBlockB) == 356);
static_assert(offsetof(KzifControlPanelConfig, tripletTable) == 364);
static_assert(offsetof(KzifControlPanelConfig, keyFader) == 416);
static_assert(offsetof(KzifControlPanelConfig, controlPanelKeyFaderEnable) == 1184);
static_assert(offsetof(KzifControlPanelConfig, subControlPanel1KeyFaderEnable) == 1344);
static_assert(offsetof(KzifControlPanelConfig, subControlPanel2KeyFaderEnable) == 1504);

namespace category {

class CategoryControlPanelConfig : public CategoryCommon<KzifControlPanelConfig> {
 public:
  static CategoryControlPanelConfig& get();

  void restore(const u8* stored) override;
  void assign(const KzifControlPanelConfig& in, int idx) override;

  // 1 when button `button` of key fader `keyFader` is assigned to exactly (selMe, selKeyCh); 0 at
  // once for selMe 0 or a key fader above 7. The caller's indices are asserted.
  int matchKeyFaderButton(int keyFader, int button, int selMe, int selKeyCh) const;
  // The enable byte of a button at panel 0..2 (key fader above 7: 0; button above 11: 0); 0 for
  // any other panel.
  u8 getKeyFaderButtonEnable(int panel, int keyFader, int button) const;
  // 1 when it was not 1, else 0; nothing for a panel outside 0..2.
  void toggleKeyFaderButtonEnable(int panel, int keyFader, int button);
  // Writes the byte unchecked; nothing for a panel outside 0..2 (or a button or key fader out of
  // range, though the record is still reported).
  void setKeyFaderButtonEnable(int panel, int keyFader, int button, u8 value);
  // The assignment of a button as the custom information lets it stand: an assignment it refuses
  // reads as none and has its enables cleared on every panel. True when assigned.
  bool getKeyFaderButtonAssign(int keyFader, int button, int& selMe, int& selKeyCh);
  // Every enable of the three panels to 0, all of them marked to be reported.
  void clearKeyFaderButtonEnables();

 private:
  void releaseChangedAssignments(const KzifControlPanelConfig& in) const;
};

}  // namespace category

void initCategoryControlPanelConfig();
