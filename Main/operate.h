// Operation settings (type id 36): how the panels operate the M/Es (background row arrangement,
// M/E change, operation entries), the fade to black of the program output, the AUX mix durations,
// the key source memory switch and the key and DSK transition options. One object, backed up.
#pragma once
#include <array>
#include <cstddef>

#include "Common/assert.h"
#include "Main/autotrans.h"
#include "Main/category.h"
#include "Main/keymem.h"

// Eight values of one kind, each with its own bit of the table's mask (bit i = value i), indexed
// by M/E (0..7) or by AUX bus.
template <class V, auto CHECK>
struct OperateValues {
  static constexpr int SIZE = 8;
  u32 mask;
  V value[SIZE];

  static constexpr auto wire() {
    using R = OperateValues;
    return rec::list(rec::mask(&R::mask), rec::elements(0, &R::value, CHECK));
  }
};

// The four row codes of an operation entry, one bit each: row codes 1..18, or 0 for an empty row,
// which drops the entry that holds it.
struct OperateCodes {
  static constexpr int SIZE = 4;
  u32 mask;
  u8 code[SIZE];

  static constexpr auto wire() {
    using R = OperateCodes;
    return rec::list(rec::mask(&R::mask), rec::elements(0, &R::code, rec::range(0, 18)));
  }
};
static_assert(sizeof(OperateCodes) == 8);

// One operation entry: the codes of a panel's four bus rows and a flag for the snapshot recall.
// Stored 16 bytes (0 mask, 4 codes, 12 flag, 3 padding).
struct OperateEntry {
  u32 mask;  // bit 0: flag
  OperateCodes codes;
  u8 flag;

  static constexpr auto wire() {
    using R = OperateEntry;
    return rec::list(rec::mask(&R::mask), rec::sub(&R::codes), rec::field(0, &R::flag, rec::range(0, 1)));
  }
};
static_assert(sizeof(OperateEntry) == 16);
static_assert(rec::wireSizeOf<OperateEntry>() == 13);
static_assert(offsetof(OperateEntry, codes) == 4);
static_assert(offsetof(OperateEntry, flag) == 12);

// Stored layout (natural alignment) and wire body (the same fields in the same order, big-endian,
// no padding):
//   stored wire  field                               mask bit
//      0     0   mask                                (top: bits 0..7 below; none for sub-records)
//      4     4   xptCodeOption {mask, ignore300, ignore301}          own bits 0, 1
//     12    10   busRowMode                          top 0   0..2
//     13    11   keyFaderLinkMode                    top 1   0..1
//     14    12   busRowModeSelect                    top 2   0..1
//     16    13   busRowModeMe {mask, value[8]}       own 0..7; entries 0..3 only, 0..2
//     28    25   percentSetting {mask, i16 percent}  own 0   50..100
//     36    31   optionFlag                          top 3   0..1
//     40    32   ftb {mask, on, source, i16 rate, active, running}   own 0..4
//     52    42   auxMixEnable {mask, value[8]}       own 0..7, 0..1
//     64    54   auxMixRate {mask, i16 value[8]}     own 0..7, 0..999
//     84    74   bkgdOption                          top 4   0..1
//     85    75   optionFlag2                         top 5   0..1
//     88    76   mainPanelMe {mask, me[4]}           own 0..3; rows 0..1 only, 0..1
//     96    84   subPanel1Me
//    104    92   subPanel2Me
//    112   100   keySourceMemory {mask, enable, mode}                own 0, 1; enable 2, 3 commands
//    120   106   keyTransOperation {mask, keyTransAction, dskTransAction}  own 0, 1
//    128   112   entries[8 groups][6]: OperateEntry, 16 stored / 13 wire bytes each; a 0 code drops it
//    896   736   mainPanelEntrySelect {mask, value[8]}               own 0..7, 0..5
//    908   748   subPanel1EntrySelect
//    920   760   subPanel2EntrySelect
//    932   772   keyTransLedMode                     top 6   0..1
//    933   773   keyTransDirectionMode               top 7   0..1
struct KzifOperate {
  static constexpr int TYPE_ID = 36;
  static constexpr int N_CHANNELS = 1;
  static constexpr const char* NAME = "KzifOperate";
  static constexpr int N_GROUPS = 8;
  static constexpr int N_ENTRIES_PER_GROUP = 6;
  static constexpr int N_PANELS = 3;
  static constexpr int N_ROWS = 4;

  // Top-level mask bits.
  static constexpr u32 BIT_BUS_ROW_MODE = 1u << 0;
  static constexpr u32 BIT_KEY_FADER_LINK_MODE = 1u << 1;
  static constexpr u32 BIT_BUS_ROW_MODE_SELECT = 1u << 2;
  static constexpr u32 BIT_OPTION_FLAG = 1u << 3;
  static constexpr u32 BIT_BKGD_OPTION = 1u << 4;
  static constexpr u32 BIT_OPTION_FLAG2 = 1u << 5;
  static constexpr u32 BIT_KEY_TRANS_LED_MODE = 1u << 6;
  static constexpr u32 BIT_KEY_TRANS_DIRECTION_MODE = 1u << 7;

  struct XptCodeOption {
    u32 mask;
    u8 ignore300;  // 1: a panel's bus code does not look for buttons assigned code 300
    u8 ignore301;  // the same for code 301
    static constexpr auto wire() {
      using R = XptCodeOption;
      return rec::list(rec::mask(&R::mask), rec::field(0, &R::ignore300, rec::range(0, 1)),
                       rec::field(1, &R::ignore301, rec::range(0, 1)));
    }
  };

  struct PercentSetting {
    u32 mask;
    i16 percent;
    static constexpr auto wire() {
      using R = PercentSetting;
      return rec::list(rec::mask(&R::mask), rec::field(0, &R::percent, rec::range(50, 100)));
    }
  };

  // Fade to black of the program output.
  struct FadeToBlack {
    static constexpr u32 BIT_ON = 1u << 0;
    static constexpr u32 BIT_SOURCE = 1u << 1;
    static constexpr u32 BIT_RATE = 1u << 2;
    static constexpr u32 BIT_ACTIVE = 1u << 3;
    static constexpr u32 BIT_RUNNING = 1u << 4;
    u32 mask;
    u8 on;       // requested: 1 faded, 0 clear
    u8 source;   // picture faded to, 0..11
    i16 rate;    // frames
    u8 active;   // status: 1 while the fade level is above 1e-5
    u8 running;  // status: 1 while the fade runs or is paused
    static constexpr auto wire() {
      using R = FadeToBlack;
      return rec::list(rec::mask(&R::mask), rec::field(0, &R::on, rec::range(0, 1)),
                       rec::field(1, &R::source, rec::range(0, 11)), rec::field(2, &R::rate, rec::range(0, 999)),
                       rec::field(3, &R::active, rec::range(0, 1)), rec::field(4, &R::running, rec::range(0, 1)));
    }
  };

  // Which M/E (0..3) each of a panel's four rows operates. Only rows 0 and 1 come from a record,
  // and only M/E 0 or 1; rows 2 and 3 follow from them, kept a permutation by the field cycle.
  struct PanelMe {
    static constexpr int SIZE = N_ROWS;
    static constexpr auto RECEIVED_ROWS = rec::onlyFirst(2, rec::range(0, 1));
    u32 mask;
    u8 me[SIZE];

    static constexpr auto wire() {
      using R = PanelMe;
      return rec::list(rec::mask(&R::mask), rec::elements(0, &R::me, RECEIVED_ROWS));
    }
  };

  struct KeySourceMemory {
    static constexpr u32 BIT_ENABLE = 1u << 0;
    static constexpr u32 BIT_MODE = 1u << 1;
    // Values of `enable` that are commands to the key source memory, never stored.
    static constexpr u8 COMMAND_DISABLE = 2;
    static constexpr u8 COMMAND_ENABLE = 3;
    u32 mask;
    u8 enable;  // 1: key source memory in use
    u8 mode;    // 1: shared mode
    static constexpr auto wire() {
      using R = KeySourceMemory;
      return rec::list(rec::mask(&R::mask), rec::field(0, &R::enable, rec::range(0, 1)),
                       rec::field(1, &R::mode, rec::range(0, 1)));
    }
  };

  struct KeyTransOperation {
    u32 mask;
    u8 keyTransAction;  // what a key transition control does
    u8 dskTransAction;  // what a DSK transition control does
    static constexpr auto wire() {
      using R = KeyTransOperation;
      return rec::list(rec::mask(&R::mask), rec::field(0, &R::keyTransAction), rec::field(1, &R::dskTransAction));
    }
  };

  using RowModeTable = OperateValues<u8, rec::onlyFirst(N_ME, rec::range(0, 2))>;  // the M/Es there are
  using EnableTable = OperateValues<u8, rec::range(0, 1)>;
  using RateTable = OperateValues<i16, rec::range(0, 999)>;
  using EntrySelectTable = OperateValues<u8, rec::range(0, 5)>;

  u32 mask;
  XptCodeOption xptCodeOption;
  u8 busRowMode;        // 0 fixed, 1 rows swap while the flip-flop is 1, 2 while it is 0
  u8 keyFaderLinkMode;
  u8 busRowModeSelect;  // 0 busRowMode for every M/E, 1 the M/E's busRowModeMe entry
  RowModeTable busRowModeMe;
  PercentSetting percentSetting;
  u8 optionFlag;
  FadeToBlack ftb;
  EnableTable auxMixEnable;
  RateTable auxMixRate;
  u8 bkgdOption;
  u8 optionFlag2;
  PanelMe mainPanelMe;
  PanelMe subPanel1Me;
  PanelMe subPanel2Me;
  KeySourceMemory keySourceMemory;
  KeyTransOperation keyTransOperation;
  OperateEntry entries[N_GROUPS * N_ENTRIES_PER_GROUP];  // group-major
  EntrySelectTable mainPanelEntrySelect;
  EntrySelectTable subPanel1EntrySelect;
  EntrySelectTable subPanel2EntrySelect;
  u8 keyTransLedMode;
  u8 keyTransDirectionMode;

  // The M/E change rows of panel 0 (main), 1 or 2 (sub panels).
  PanelMe& panelMe(int panel) {
    checkPanel(panel);
    return panel == 0 ? mainPanelMe : panel == 1 ? subPanel1Me : subPanel2Me;
  }
  const PanelMe& panelMe(int panel) const {
    checkPanel(panel);
    return panel == 0 ? mainPanelMe : panel == 1 ? subPanel1Me : subPanel2Me;
  }
  OperateEntry& entry(int group, int index) { return entries[entryIndex(group, index)]; }
  const OperateEntry& entry(int group, int index) const { return entries[entryIndex(group, index)]; }

  static constexpr auto wire() {
    using R = KzifOperate;
    const rec::Range flag = rec::range(0, 1);
    return rec::list(rec::mask(&R::mask), rec::sub(&R::xptCodeOption),
                     rec::field(0, &R::busRowMode, rec::range(0, 2)), rec::field(1, &R::keyFaderLinkMode, flag),
                     rec::field(2, &R::busRowModeSelect, flag), rec::sub(&R::busRowModeMe),
                     rec::sub(&R::percentSetting), rec::field(3, &R::optionFlag, flag), rec::sub(&R::ftb),
                     rec::sub(&R::auxMixEnable), rec::sub(&R::auxMixRate), rec::field(4, &R::bkgdOption, flag),
                     rec::field(5, &R::optionFlag2, flag), rec::sub(&R::mainPanelMe), rec::sub(&R::subPanel1Me),
                     rec::sub(&R::subPanel2Me), rec::sub(&R::keySourceMemory), rec::sub(&R::keyTransOperation),
                     rec::sub(&R::entries), rec::sub(&R::mainPanelEntrySelect), rec::sub(&R::subPanel1EntrySelect),
                     rec::sub(&R::subPanel2EntrySelect), rec::field(6, &R::keyTransLedMode, flag),
                     rec::field(7, &R::keyTransDirectionMode, flag));
  }

 private:
  static void checkPanel(int panel) {
    assert::check("Main/operate.h", __LINE__, "0 <= panel && panel < N_PANELS", 0 <= panel && panel < N_PANELS);
  }
  static int entryIndex(int group, int index) {
    assert::check("Main/operate.h", __LINE__, "0 <= group && group < N_GROUPS", 0 <= group && group < N_GROUPS);
    assert::check("Main/operate.h", __LINE__, "0 <= index && index < N_ENTRIES_PER_GROUP",
                  0 <= index && index < N_ENTRIES_PER_GROUP);
    return group * N_ENTRIES_PER_GROUP + index;
  }
};
static_assert(sizeof(KzifOperate) == 936);
static_assert(rec::wireSizeOf<KzifOperate>() == 774);
static_assert(offsetof(KzifOperate, xptCodeOption) == 4);
static_assert(offsetof(KzifOperate, busRowMode) == 12);
static_assert(offsetof(KzifOperate, busRowModeSelect) == 14);
static_assert(offsetof(KzifOperate, busRowModeMe) == 16);
static_assert(offsetof(KzifOperate, percentSetting) == 28);
static_assert(offsetof(KzifOperate, optionFlag) == 36);
static_assert(offsetof(KzifOperate, ftb) == 40);
static_assert(offsetof(KzifOperate::FadeToBlack, rate) == 6);
static_assert(offsetof(KzifOperate::FadeToBlack, running) == 9);
static_assert(offsetof(KzifOperate, auxMixEnable) == 52);
static_assert(offsetof(KzifOperate, auxMixRate) == 64);
static_assert(sizeof(KzifOperate::RateTable) == 20);
static_assert(offsetof(KzifOperate, bkgdOption) == 84);
static_assert(offsetof(KzifOperate, mainPanelMe) == 88);
static_assert(offsetof(KzifOperate, subPanel2Me) == 104);
static_assert(offsetof(KzifOperate, keySourceMemory) == 112);
static_assert(offsetof(KzifOperate, keyTransOperation) == 120);
static_assert(offsetof(KzifOperate, entries) == 128);
static_assert(offsetof(KzifOperate, mainPanelEntrySelect) == 896);
static_assert(offsetof(KzifOperate, subPanel2EntrySelect) == 920);
static_assert(offsetof(KzifOperate, keyTransLedMode) == 932);
static_assert(offsetof(KzifOperate, keyTransDirectionMode) == 933);

// The bus row code (of the panel bus status) that slot code `code` gives for bus status field
// `field` on side `side` (1: the second column); 255 for none.
u8 mapOperateCode(int code, int field, int side);
// The bus status field that slot 0..3 of an entry fills: 2, 3, 0, 1; 0 for any other slot.
int operateSlotOrder(int slot);

namespace category {

class CategoryOperate : public CategoryCommon<KzifOperate> {
 public:
  static constexpr float FADE_ACTIVE_LEVEL = 1e-5f;

  UpdateClass updateClass() const override { return UpdateClass::Operate; }

  static CategoryOperate& get();

  void initIndex(int me, int flags) override;
  void initInternal() override;
  void restore(const u8* stored) override;
  void update() override;
  void assign(const KzifOperate& in, int idx) override;

  // A copy of entry `index` of group `group`: all zero for a group outside 0..7; entry 0 of the
  // group for an index outside 0..5.
  OperateEntry getEntry(int group, int index) const;

  // The fade to black: its transition and the level it gives (0 clear .. 1 faded).
  const AutoTransition& fadeTransition() const { return fade_; }
  float fadeLevel() const;
  // Set by the key source memory commands carried in `keySourceMemory.enable` (2 sets, 3 clears).
  bool keySourceMemoryDisabled() const { return keyMemory_.disabled(); }
  // The key source memory, stepped at the end of every update.
  KeyMemory& keyMemory() { return keyMemory_; }
  const KeyMemory& keyMemory() const { return keyMemory_; }

 private:
  using FadeToBlack = KzifOperate::FadeToBlack;
  using KeySourceMemory = KzifOperate::KeySourceMemory;
  using PanelMe = KzifOperate::PanelMe;

  // The steps of assign, after the merge: what it took (the marks of the parts the steps read,
  // set by the merge alone) and what the values taken replaced.
  struct TakenMarks {
    u32 top = 0;
    u32 busRowModeMe = 0;
    u32 ftb = 0;
    std::array<u32, KzifOperate::N_PANELS> panelMe{};
    u32 keySourceMemory = 0;
  };
  struct Replaced {
    u8 keyFaderLinkMode = 0;
    u8 ftbOn = 0;
    std::array<std::array<u8, KzifOperate::N_ROWS>, KzifOperate::N_PANELS> panelMe{};
    u8 enable = 0;
    u8 mode = 0;
  };
  static Replaced replacedBy(const KzifOperate& live);
  // The marks of those parts of the live record, cleared there.
  static TakenMarks takeMarks(KzifOperate& live);
  static void putMarks(KzifOperate& live, const TakenMarks& held, const TakenMarks& taken);
  static void reportBusRowMode(const KzifOperate& in, const TakenMarks& taken);
  void followKeyFaderLinkMode(const TakenMarks& taken, const Replaced& before);
  static void reportBusRowModeSelect(const KzifOperate& in, const TakenMarks& taken);
  static void reportBusRowModeMe(const KzifOperate::RowModeTable& in, const TakenMarks& taken);
  void requestFade(const TakenMarks& taken, const Replaced& before);
  void releasePanelFaders(const TakenMarks& taken, const Replaced& before);
  void takeKeySourceMemoryCommands(const KeySourceMemory& in, const TakenMarks& taken, const Replaced& before);
  static bool anyEntryWithAnEmptyRow(const KzifOperate& in);
  static void dropEntriesWithAnEmptyRow(KzifOperate& taken);

  void runFadeRequests();
  void updateFadeStatus();
  void resolveMeChange();

  // Per panel, the rows changed since the last M/E change pass (a restore counts as changing
  // every row). The record's own row marks stay set while sends are held back and would make
  // old changes compete with later ones.
  std::array<u32, KzifOperate::N_PANELS> freshRows_{};

  AutoTransition fade_{};
  u8 ftbOnRequest_ = 0;
  u8 ftbOffRequest_ = 0;
  KeyMemory keyMemory_{};
};

}  // namespace category

void initCategoryOperate();
