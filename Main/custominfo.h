// Custom information (type id 33, not backed up): which M/E side each of eight entries attaches as
// an M/E or as a key, the custom bus items, the switch that puts the key assignments in force and
// eight short labels. Its key entries map M/E sides onto the four physical M/Es, whose buses,
// operation settings and bus status follow.
#pragma once
#include "Main/category.h"

namespace internal {

struct CustomBusItems {
  static constexpr int N_ITEMS = 36;
  static constexpr int LAST_USABLE = 59;  // an item above this names no row
  u32 mask[2];                            // item i: bit i % 32 of word i / 32
  u8 item[N_ITEMS];
  static constexpr auto wire() {
    using R = CustomBusItems;
    return rec::list(rec::mask(&R::mask), rec::elements(0, &R::item));
  }
};

// Wire body (124 bytes plus the 25 text lengths): mask; genlockOption (bit 0); assignKind[8]
// (bits 1..8); assignMe[8] (bits 9..16); the bus items (two mask words, 36 items);
// keyAssignEnable (bit 17); customText[8] (bits 18..25). Nothing is range-checked.
struct KzifCustomInfo {
  static constexpr int TYPE_ID = 33;
  static constexpr int N_CHANNELS = 1;
  static constexpr const char* NAME = "KzifCustomInfo";
  static constexpr int N_ENTRIES = 8;
  static constexpr int BIT_KEY_ASSIGN_ENABLE = 17;

  u32 mask;
  rec::Text<12> genlockOption;
  rec::Text<12> assignKind[N_ENTRIES];
  rec::Text<12> assignMe[N_ENTRIES];
  CustomBusItems busItems;
  u8 keyAssignEnable;
  rec::Text<5> customText[N_ENTRIES];

  static constexpr auto wire() {
    using R = KzifCustomInfo;
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::genlockOption), rec::elements(1, &R::assignKind),
                     rec::elements(9, &R::assignMe), rec::sub(&R::busItems),
                     rec::field(BIT_KEY_ASSIGN_ENABLE, &R::keyAssignEnable), rec::elements(18, &R::customText));
  }

  // The lowest entry of kind "KEY" that attaches M/E index `me` (0..7); -1 when none does, when
  // the key assignments are not in force or `me` is out of range.
  int findKeyEntry(int me) const;
};

}  // namespace internal

// The code of an M/E side name: "ME1A".."ME4A" 1..4, "ME1B".."ME4B" 5..8; 0 for any other text.
int parseMeName(const char* text);

namespace category {

class CategoryCustomInfo : public CategoryCommon<internal::KzifCustomInfo> {
 public:
  static constexpr int N_PHYSICAL_ME = 4;
  static CategoryCustomInfo& get();

  // Nothing survives a start: the record and the M/E table begin empty.
  std::size_t attachBackup(u8*) override;
  void restore(const u8*) override {}
  void assign(const internal::KzifCustomInfo& in, int idx) override;

  // The physical M/E (0..3) that carries M/E index `me` as a key; -1 when none does.
  int findMeSlot(int me) const;
  // Custom text n (0..7); an empty text for any other n. The pointer follows later changes.
  const char* getCustomText(int n) const;
  // 0 "Off", 1 "ME", 2 "KEY", 255 any other text; 0 for n outside 0..7.
  int getAssignKind(int n) const;
  // The M/E index (0..7) entry n attaches; -1 when it names none or n is outside 0..7.
  int getAssignMe(int n) const;
  // Every entry answers as an M/E without an index of its own.
  int getAssignType(int) const { return 1; }
  int getAssignIndex(int) const { return -1; }
  // The M/E code (1..8) attached to physical M/E m as a key, 0 for none (and for m outside 0..3).
  u32 meTable(int m) const;
  // Bus item i (0..35) as stored; -1 for an item above the last usable one or i out of range.
  int busItem(int i) const;

 private:
  void updateMeTable(const internal::KzifCustomInfo& change);
  void applyMeTable();
  void copyMeSettings(int from, int to);
  void refreshCustomBusRows(const internal::KzifCustomInfo& change);
  void refreshSourceNames();

  internal::KzifCustomInfo record_{};
  u32 meTable_[N_PHYSICAL_ME] = {};
};

}  // namespace category

void initCategoryCustomInfo();
