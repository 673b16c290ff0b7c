// Button inhibit settings of the three control panels. The System Manager sends them; they are
// checked against their ranges, kept in the backup image and reported back. Nothing here reads
// them: only the panel side gives them meaning.
#pragma once
#include "Main/category.h"

constexpr int N_INHIBIT_ENTRIES = 233;

// One entry. Stored 8 bytes: 0 mask | 4 first | 5 second | 6 third | 7 kept zero.
// Wire: u32 mask; u8 first (bit 0, 0..224); u8 second (bit 1, 0..10);
// u8 third (bit 2, 0..3).
struct InhibitEntry {
  // The ranges of the three settings, for the declaration and the table's own merge alike.
  static constexpr rec::Range FIRST = rec::range(0, 224);
  static constexpr rec::Range SECOND = rec::range(0, 10);
  static constexpr rec::Range THIRD = rec::range(0, 3);
  static constexpr u32 ALL = 7;  // the mask bits of the three

  u32 mask;
  u8 first;
  u8 second;
  u8 third;
  u8 reserved;

  static constexpr auto wire() {
    using R = InhibitEntry;
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::first, FIRST), rec::field(1, &R::second, SECOND),
                     rec::field(2, &R::third, THIRD));
  }
};
static_assert(sizeof(InhibitEntry) == 8);
static_assert(rec::wireSizeOf<InhibitEntry>() == 7);

// One record per panel. Stored 1872 bytes (5616 for the three panels in the backup image):
//   0 u32 mask | 4 u16 panel | 6 u8 panelFlag | 7 kept zero | 8 entry[233], 8 bytes each
// Wire body (big-endian): u32 mask; u16 panel (the channel, 0..2, else the record
// is ignored); u8 panelFlag (bit 0, 0..1); entry[233], 7 bytes each.
struct KzifButtonInhibit {
  static constexpr int TYPE_ID = 34;
  static constexpr int N_CHANNELS = 3;
  static constexpr const char* NAME = "KzifButtonInhibit";
  static constexpr rec::Range PANEL_FLAG = rec::range(0, 1);
  static constexpr std::size_t ENTRIES_WIRE_OFFSET = 7;  // mask, panel and panelFlag before them

  u32 mask;
  u16 panel;
  u8 panelFlag;
  u8 reserved;
  InhibitEntry entry[N_INHIBIT_ENTRIES];

  static constexpr auto wire() {
    using R = KzifButtonInhibit;
    return rec::list(rec::mask(&R::mask), rec::channel(&R::panel), rec::field(0, &R::panelFlag, PANEL_FLAG),
                     rec::sub(&R::entry));
  }
};
static_assert(sizeof(KzifButtonInhibit) == 1872);
static_assert(rec::wireSizeOf<KzifButtonInhibit>() == 1638);
static_assert(offsetof(KzifButtonInhibit, panel) == 4);
static_assert(offsetof(KzifButtonInhibit, panelFlag) == 6);
static_assert(offsetof(KzifButtonInhibit, entry) == 8);

namespace category {

class CategoryButtonInhibit : public CategoryCommon<KzifButtonInhibit> {
 public:
  static CategoryButtonInhibit& get();

  // Initialise-all stamps only the panel numbers; the settings keep what the storage holds.
  void initIndex(int me, int flags) override;
  // A panel's table is merged entry by entry straight from the wire: an entry with its three
  // settings marked and in range (the common one) is taken whole, any other by the declaration's
  // merge. The same outcome as mergeFromWire.
  void assignFromWire(const u8* body, int panel) override;
  // Whether an entry's wire bytes, read as a little-endian word from where the entry starts (its
  // mask in bytes 0..3, big-endian, its settings in bytes 4..6; byte 7 not looked at), mark all
  // three settings and nothing else, each within its range: such an entry is taken whole.
  static bool isCommonEntry(u64 littleWord);
};

}  // namespace category

void initCategoryButtonInhibit();
