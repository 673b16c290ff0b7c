// Key presets (type id 19): which keyer channel each panel's preset buttons address, what a preset
// recall applies, and the preset lamps of the three panels. The presets themselves are shot memory
// channels 81..160; shot memory tells this category of every store, read and recall.
#pragma once
#include <array>
#include <cstddef>

#include "Main/button_event_record.h"
#include "Main/category.h"

// A key preset is (target, channel, slot): target 0..3 the keys of M/E 1 to 4, 4 the downstream
// keys; channel 0..3 the keyer within its target; slot 0..3. A selected channel of 4 is none.
namespace keypreset {
inline constexpr int N_TARGETS = 5;
inline constexpr int DSK_TARGET = 4;
inline constexpr int N_KEY_CHANNELS = 4;
inline constexpr int N_SLOTS = 4;
inline constexpr u8 NO_CHANNEL = 4;
inline constexpr int FIRST_SHOT_CHANNEL = 81;
inline constexpr int LAST_SHOT_CHANNEL = FIRST_SHOT_CHANNEL + N_TARGETS * N_KEY_CHANNELS * N_SLOTS - 1;  // 160

constexpr int shotChannelOf(int target, int channel, int slot) {
  return FIRST_SHOT_CHANNEL + 16 * target + 4 * channel + slot;
}

struct Address {
  int target, channel, slot;
};
// The preset a shot memory channel 81..160 holds.
constexpr Address addressOf(int shotChannel) {
  const int n = shotChannel - FIRST_SHOT_CHANNEL;
  return {n / 16, (n % 16) / 4, n % 4};
}
}  // namespace keypreset

// Target and channel of the next store, as the System Manager keeps them.
struct KeyPresetSelect {
  u32 mask;
  u8 selectTarget;
  u8 selectChannel;

  static constexpr auto wire() {
    using R = KeyPresetSelect;
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::selectTarget, rec::range(0, 4)),
                     rec::field(1, &R::selectChannel, rec::range(0, 3)));
  }
};
static_assert(sizeof(KeyPresetSelect) == 8);

// What a recall applies: [0] the keyer's fill and source buses, [1] the key settings, [2] the key
// transition settings; 1 applies.
struct KeyPresetRecallOptions {
  u32 mask;
  u8 recallOption[3];

  static constexpr auto wire() {
    using R = KeyPresetRecallOptions;
    return rec::list(rec::mask(&R::mask), rec::elements(0, &R::recallOption, rec::range(0, 1)));
  }
};
static_assert(sizeof(KeyPresetRecallOptions) == 8);

// N selected channels (0..3, 4 none), element i under mask bit i.
template <std::size_t N>
struct KeyPresetChannels {
  u32 mask;
  u8 channel[N];

  static constexpr auto wire() {
    using R = KeyPresetChannels;
    return rec::list(rec::mask(&R::mask), rec::elements(0, &R::channel, rec::range(0, 4)));
  }
};

// One control panel's selections. Its own mask word is carried on the wire but never set: it
// governs no field, so it stays 0 through every merge, restore and send.
struct KeyPresetPanel {
  static constexpr int N_ME_ROWS = 5;     // M/E rows 1 to 4, then the downstream key row
  static constexpr int N_EXTRA_ROWS = 4;  // M/E rows 5 to 8: kept and reported only
  static constexpr int DSK_ROW = 4;

  u32 mask;
  KeyPresetChannels<N_ME_ROWS> meChannel;
  KeyPresetChannels<N_EXTRA_ROWS> extraChannel;
  KeyPresetChannels<1> mirrorChannel;  // the M/E-3 mirror row (target 2)

  static constexpr auto wire() {
    using R = KeyPresetPanel;
    return rec::list(rec::mask(&R::mask), rec::sub(&R::meChannel), rec::sub(&R::extraChannel),
                     rec::sub(&R::mirrorChannel));
  }
};
static_assert(sizeof(KeyPresetPanel) == 32);
static_assert(offsetof(KeyPresetPanel, meChannel) == 4);
static_assert(offsetof(KeyPresetPanel, extraChannel) == 16);
static_assert(offsetof(KeyPresetPanel, mirrorChannel) == 24);
static_assert(rec::wireSizeOf<KeyPresetPanel>() == 26);

// One channel, backed up. Stored layout (124 bytes): 0 mask | 4 select | 12 selectSlot |
// 16 recall | 24 panel[3] | 120 selectFlag. Wire body (97 bytes, big-endian): mask; select mask,
// selectTarget (bit 0, 0..4), selectChannel (bit 1, 0..3); selectSlot (bit 0, 0..3); recall mask,
// recallOption[3] (bits 0..2, 0..1); per panel its mask, meChannel mask and [5] (bits 0..4),
// extraChannel mask and [4] (bits 0..3), mirrorChannel mask and value (bit 0), each 0..4;
// selectFlag (bit 1, 0..1).
struct KzifKeyPreset {
  static constexpr int TYPE_ID = 19;
  static constexpr int N_CHANNELS = 1;
  static constexpr int N_PANELS = 3;
  static constexpr const char* NAME = "KzifKeyPreset";

  u32 mask;
  KeyPresetSelect select;
  u8 selectSlot;
  KeyPresetRecallOptions recall;
  KeyPresetPanel panel[N_PANELS];
  u8 selectFlag;

  static constexpr auto wire() {
    using R = KzifKeyPreset;
    return rec::list(rec::mask(&R::mask), rec::sub(&R::select), rec::field(0, &R::selectSlot, rec::range(0, 3)),
                     rec::sub(&R::recall), rec::sub(&R::panel), rec::field(1, &R::selectFlag, rec::range(0, 1)));
  }
};
static_assert(sizeof(KzifKeyPreset) == 124);
static_assert(offsetof(KzifKeyPreset, select) == 4);
static_assert(offsetof(KzifKeyPreset, selectSlot) == 12);
static_assert(offsetof(KzifKeyPreset, recall) == 16);
static_assert(offsetof(KzifKeyPreset, panel) == 24);
static_assert(offsetof(KzifKeyPreset, selectFlag) == 120);
static_assert(rec::wireSizeOf<KzifKeyPreset>() == 97);

namespace category {

class CategoryLed;
class CategoryMeLed;

// One object (M/E 0 row). Besides the record it keeps volatile working state: the slot last
// stored or recalled per selection row, a short flash marker after a store or read, and the
// latched presses of its panel buttons, taken once per field.
class CategoryKeyPreset : public CategoryCommon<KzifKeyPreset> {
 public:
  // Selection rows: 0..4 targets 0..4, 5..8 M/E rows 5 to 8 (never recorded), 9 the M/E-3 mirror.
  static constexpr int N_ROWS = 10;
  static constexpr int MIRROR_ROW = 9;
  static constexpr int N_COLUMNS = 8;
  static constexpr int FLASH_FIELDS = 5;
  static constexpr int N_PANELS = KzifKeyPreset::N_PANELS;
  static constexpr int N_ME_ROWS = 4;
  static constexpr int N_ROW_BUTTONS = 8;
  static constexpr int N_MIRROR_BUTTONS = 4;

  struct KeyPresetButton {
    i32 code;
    u8 pressed;
  };

  CategoryKeyPreset();
  static CategoryKeyPreset& get();

  // Every start begins without recorded slots, flash or latched presses.
  std::size_t attachBackup(u8* p) override;
  void update() override;

  // Shot memory's report of a successful preset store (flash 1, set 1), read (flash 1, set 0) or
  // recall (flash 0, set 1).
  void setShotSelection(int target, int channel, int slot, int flash, int set);
  // Latches a press of a preset button; it takes effect at the next update.
  void onButton(const internal::KzifButtonEvent& event);
  // Panel buttons' merge into panel 0..2: the marked selections, unchecked, then the whole record
  // is marked for sending.
  void applyPanelSelect(int panel, const KeyPresetPanel& change);
  // Initialise-all: no recorded slot, slot lamps dark, every selection back to channel 0.
  void reset();

  int recordedSlot(int row, int column) const { return recordedSlot_[row][column]; }
  int flashCount() const { return flashCount_; }

 private:
  void clearWorkingState();
  void takeButtons();
  void updateLamps();
  void markWholeRecord();
  // The selected channel 0..3 of a panel's row, or -1 for none (4, or anything above 3 that a
  // stored image may bring).
  int selected(int panel, int row) const;
  bool presetStored(int target, int channel, int slot) const;
  bool flashing(int target) const { return flashTarget_ == target && flashCount_ > 0; }
  u8 slotLampState(int row, int channel, int slot) const;
  u8 mirrorLampState(int channel, int slot) const;
  u8 target2LampState(int channel, int slot) const;
  // Where a row's lamps go: the M/E lamps it lights and the first channel and slot lamp codes.
  struct RowLampTarget {
    CategoryMeLed* led;
    int channelLamp;
    int slotLamp;
  };
  RowLampTarget rowLampTarget(int row) const;
  void writeRowLamps(int panel, int row, const RowLampTarget& to);
  void writeDskRow(int panel);
  void writeMirrorRow(int panel);
  void writeTarget2Lamps();

  // The lamps are rewritten every field, but their states are worked out again only when what
  // they show changes: the panels' selections, where custom information puts each row, whether
  // the recorded presets are stored, or this category's own slots and flash (lampsKnown_).
  struct LampInputs {
    std::array<u8, N_PANELS * (KeyPresetPanel::N_ME_ROWS + 1)> selection{};
    std::array<u32, N_ME_ROWS> meTable{};
    u32 stored = 0;  // one bit per recorded slot that shot memory holds
    bool operator==(const LampInputs&) const = default;
  };
  LampInputs lampInputs() const;
  void workOutLamps();
  void addLamp(int panel, int code, u8 state);
  void addMeLamp(CategoryMeLed& led, int panel, int code, u8 state);

  struct LampRequest {
    i16 lamp;
    u8 state;
  };
  struct MeLampRequest {
    CategoryMeLed* led;
    i16 lamp;
    u8 state;
  };
  static constexpr int N_LAMP_REQUESTS = 80;     // per panel the DSK and mirror rows, and target 2's
  static constexpr int N_ME_LAMP_REQUESTS = 96;  // per panel four M/E rows of eight
  std::array<LampRequest, N_LAMP_REQUESTS> lamps_{};
  std::array<MeLampRequest, N_ME_LAMP_REQUESTS> meLamps_{};
  int nLamps_ = 0;
  int nMeLamps_ = 0;
  LampInputs lampInputs_{};
  bool lampsKnown_ = false;
  // The lamp request count seen after this category's requests last went out; while it stands
  // and the lamps were not worked out again, requesting them again would change nothing.
  bool requestsHeld_ = false;
  u32 requestsHeldGeneration_ = 0;

  i32 recordedSlot_[N_ROWS][N_COLUMNS];
  i32 flashTarget_ = -1;
  i32 flashCount_ = -1;
  i32 me3Slot_[keypreset::N_KEY_CHANNELS];
  i32 flashChannel_ = -1;
  i32 pendingSlot_ = -1;
  u8 pendingMode_ = 0;
  KeyPresetButton meRowButtons_[N_PANELS][N_ME_ROWS][N_ROW_BUTTONS];
  KeyPresetButton dskButtons_[N_PANELS][N_ROW_BUTTONS];
  KeyPresetButton mirrorButtons_[N_PANELS][N_MIRROR_BUTTONS];
  u8 anyPressed_ = 0;  // a press is latched: the buttons are to be taken
};

}  // namespace category

void initCategoryKeyPreset();
