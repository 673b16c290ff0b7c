// Peripheral settings (type id 28): the tally mode and the switch to received tally rows that the
// source tally reads, and the four tally groups that name the outputs whose sources make up each
// group's tally and the colour the multiview draws it in.
#pragma once
#include "Main/category.h"

// Whether tally output code `code` may stand in tally group `group` (0..3): codes 1..6 the M/E 1
// and 2 program, preview and clean outputs, 13..20 the DSK outputs, 21..36 AUX 1..16, 0 none.
// Group 0 takes no preview output; M/E 3 and 4 (7..12) are in no group.
constexpr bool isValidTallyOutput(int group, int code) {
  const bool preview = code == 2 || code == 5 || code == 15 || code == 16;
  if (preview) return group >= 1 && group <= 3;
  return (0 <= code && code <= 6) || (13 <= code && code <= 36);
}

// The codes valid in some group; a group's own rule is applied when a record is merged.
struct TallyOutputCode {
  template <class V>
  constexpr bool accept(V v) const { return isValidTallyOutput(1, static_cast<int>(v)); }
};

// One tally group (24 bytes).
struct TallyGroup {
  static constexpr int N_OUTPUTS = 8;
  static constexpr int BIT_COLOR = 8;
  static constexpr int BIT_INDICATION_OFF = 9;
  u32 mask;
  i16 output[N_OUTPUTS];  // bits 0..7, tally output codes
  u8 color;               // bit 8: 0 red, 1 green, 2 yellow, 3 orange
  u8 indicationOff;       // bit 9: 1 the switcher's own displays leave this group's tally out
  u8 reserved[2];

  static constexpr auto wire() {
    using R = TallyGroup;
    return rec::list(rec::mask(&R::mask), rec::elements(0, &R::output, TallyOutputCode{}),
                     rec::field(BIT_COLOR, &R::color, rec::range(0, 3)),
                     rec::field(BIT_INDICATION_OFF, &R::indicationOff, rec::boolean()));
  }
};
static_assert(sizeof(TallyGroup) == 24);
static_assert(offsetof(TallyGroup, color) == 20);

struct PeripheralSpareSetting {
  u32 mask;
  u8 value;  // bit 0, 0..1; nothing reads it
  u8 reserved[3];
  static constexpr auto wire() {
    using R = PeripheralSpareSetting;
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::value, rec::range(0, 1)));
  }
};

// Stored layout (112 bytes): 0 mask | 4 spareSetting | 12 spareFlag | 13 externalTally |
// 14 tallyMode | 16 tallyGroup[4]. Wire body 100 bytes.
struct KzifPeripheral {
  static constexpr int TYPE_ID = 28;
  static constexpr int N_CHANNELS = 1;
  static constexpr const char* NAME = "KzifPeripheral";
  static constexpr int N_GROUPS = 4;
  static constexpr int BIT_TALLY_MODE = 2;

  u32 mask;
  PeripheralSpareSetting spareSetting;
  u8 spareFlag;      // bit 0: changes only through a restored image
  u8 externalTally;  // bit 1: 1 the source tally takes its rows from received records
  u8 tallyMode;      // bit 2: which tally computation the source tally runs
  u8 reserved;
  TallyGroup tallyGroup[N_GROUPS];

  static constexpr auto wire() {
    using R = KzifPeripheral;
    return rec::list(rec::mask(&R::mask), rec::sub(&R::spareSetting),
                     rec::field(0, &R::spareFlag, rec::oneOf()),  // no received value is ever taken
                     rec::field(1, &R::externalTally, rec::range(0, 1)),
                     rec::field(BIT_TALLY_MODE, &R::tallyMode, rec::range(0, 1)), rec::sub(&R::tallyGroup));
  }
};
static_assert(sizeof(KzifPeripheral) == 112);
static_assert(offsetof(KzifPeripheral, spareFlag) == 12);
static_assert(offsetof(KzifPeripheral, tallyMode) == 14);
static_assert(offsetof(KzifPeripheral, tallyGroup) == 16);
static_assert(rec::wireSizeOf<KzifPeripheral>() == 100);

namespace category {

class CategoryPeripheral : public CategoryCommon<KzifPeripheral> {
 public:
  static CategoryPeripheral& get();

  std::size_t attachBackup(u8* p) override;
  void restore(const u8* stored) override;
  void update() override;
  void assign(const KzifPeripheral& in, int idx) override;

  // What the source tally, the multiview and the lamps read.
  int tallyMode() const { return record(0).tallyMode; }
  bool externalTally() const { return record(0).externalTally == 1; }
  const TallyGroup& tallyGroup(int group) const;

 private:
  // Work for the next field: the tally mode to the hardware, the multiview tally redrawn.
  bool tallyModePending_ = false;
  bool groupsChanged_ = false;
};

}  // namespace category

void initCategoryPeripheral();
