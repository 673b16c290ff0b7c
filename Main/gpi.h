// GPI settings (type id 31): nine tables of numbered entries that the System Manager keeps in the
// mainframe. They are checked, stored, backed up and reported; nothing else reads them.
#pragma once
#include "Main/category.h"

// The GPI codes: ten ranges of the signed 16-bit value.
constexpr bool isGpiCode(int v) {
  constexpr int ranges[][2] = {{0, 315},     {400, 615},   {700, 915},   {1000, 1215}, {1300, 1319},
                               {1400, 1479}, {1500, 1511}, {1600, 1611}, {1700, 1711}, {1800, 1811}};
  for (const auto& r : ranges)
    if (r[0] <= v && v <= r[1]) return true;
  return false;
}

struct GpiCodeCheck {
  template <class V>
  constexpr bool accept(V v) const { return isGpiCode(static_cast<int>(v)); }
};

// One entry (8 bytes stored, 7 on the wire): a number and an option 0..3, each with its own bit.
template <class ValueCheck>
struct GpiEntry {
  u32 mask;
  i16 value;  // compared as a signed number: 0x8000 and up fail every check
  u8 option;
  u8 reserved;

  static constexpr auto wire() {
    using R = GpiEntry;
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::value, ValueCheck{}),
                     rec::field(1, &R::option, rec::range(0, 3)));
  }
};
struct GpiNumberCheck {
  template <class V>
  constexpr bool accept(V v) const { return 0 <= v && v <= 245; }
};
using GpiNumberEntry = GpiEntry<GpiNumberCheck>;
using GpiCodeEntry = GpiEntry<GpiCodeCheck>;
static_assert(sizeof(GpiNumberEntry) == 8);

// Stored layout (1092 bytes); wire body 956 bytes. The record mask carries no bit.
struct KzifGpiInOut {
  static constexpr int TYPE_ID = 31;
  static constexpr int N_CHANNELS = 1;
  static constexpr const char* NAME = "KzifGpiInOut";

  u32 mask;
  GpiNumberEntry numberEntries1[18];
  GpiNumberEntry numberEntries2[8];
  GpiNumberEntry numberEntries3[8];
  GpiNumberEntry numberEntries4[8];
  GpiNumberEntry numberEntries5[16];
  GpiCodeEntry codeEntries1[48];
  GpiCodeEntry codeEntries2[10];
  GpiCodeEntry codeEntries3[10];
  GpiCodeEntry codeEntries4[10];

  static constexpr auto wire() {
    using R = KzifGpiInOut;
    return rec::list(rec::mask(&R::mask), rec::sub(&R::numberEntries1), rec::sub(&R::numberEntries2),
                     rec::sub(&R::numberEntries3), rec::sub(&R::numberEntries4), rec::sub(&R::numberEntries5),
                     rec::sub(&R::codeEntries1), rec::sub(&R::codeEntries2), rec::sub(&R::codeEntries3),
                     rec::sub(&R::codeEntries4));
  }
};
static_assert(sizeof(KzifGpiInOut) == 1092);
static_assert(offsetof(KzifGpiInOut, numberEntries2) == 148);
static_assert(offsetof(KzifGpiInOut, numberEntries5) == 340);
static_assert(offsetof(KzifGpiInOut, codeEntries1) == 468);
static_assert(offsetof(KzifGpiInOut, codeEntries2) == 852);
static_assert(offsetof(KzifGpiInOut, codeEntries4) == 1012);
static_assert(rec::wireSizeOf<KzifGpiInOut>() == 956);

namespace category {
class CategoryGpiInOut : public CategoryCommon<KzifGpiInOut> {};
}  // namespace category

void initCategoryGpiInOut();
