// Bus status of the panels (type id 48): per M/E and panel, which bus each delegated row of
// crosspoint buttons works on, which page of 24 buttons it shows, and the panel states that the
// bus lamps show.
#pragma once
#include <array>
#include <cstddef>

#include "Main/category.h"

// The bus that each row works on (rows 0..3 the M/E bus rows, row 4 the AUX row), each with its
// own mask bit. Any value is kept: 0..88 a bus, 255 none, 102..109 rows the bus lamps leave out.
// Stored: 0 u32 mask | 4 u8 bus[5] | 9 pad (12 bytes).
struct BusStatusRowBus {
  static constexpr int N_ROWS = 5;
  u32 mask;
  u8 bus[N_ROWS];

  static constexpr auto wire() {
    using R = BusStatusRowBus;
    return rec::list(rec::mask(&R::mask), rec::elements(0, &R::bus));
  }
};
static_assert(sizeof(BusStatusRowBus) == 12);

// The page (0..3) each row shows, each with its own mask bit: entries 0..3 the M/E rows, 5 the
// AUX row, 4 two lamp bits; entry 6 is carried like the others.
// Stored: 0 u32 mask | 4 u8 page[7] | 11 pad (12 bytes).
struct BusStatusRowPage {
  static constexpr int N_ENTRIES = 7;
  u32 mask;
  u8 page[N_ENTRIES];

  static constexpr auto wire() {
    using R = BusStatusRowPage;
    return rec::list(rec::mask(&R::mask), rec::elements(0, &R::page, rec::range(0, 3)));
  }
};
static_assert(sizeof(BusStatusRowPage) == 12);

// One panel's channel; KzifBusStatus{} is a cleared channel (every field and mask 0).
// Stored layout (40 bytes per panel, 120 per M/E):
//   0 u32 mask | 4 u16 panel | 6 u8 me | 7 pad | 8 rowBus | 20 u8 flag1 | 21 u8 flag2 |
//   22 u8 flag3 | 23 pad | 24 rowPage | 36 u8 flag4 | 37 u8 customItem | 38 pad
// Wire body (big-endian), in this order:
//   u32 mask; u8 me; u16 panel; rowBus (u32 mask, five u8); u8 flag1 (bit 0, 0..1);
//   u8 flag2 (bit 1, 0..1); u8 flag3 (bit 2, 0..1); rowPage (u32 mask, seven u8 each 0..3);
//   u8 flag4 (bit 3, 0..1); u8 customItem (bit 4, 0..47)
struct KzifBusStatus {
  static constexpr int TYPE_ID = 48;
  static constexpr int N_CHANNELS = 3;
  static constexpr const char* NAME = "KzifBusStatus";

  u32 mask;
  u16 panel;
  u8 me;
  BusStatusRowBus rowBus;
  u8 flag1;  // shown on the M/E lamp of button code 222
  u8 flag2;
  u8 flag3;
  BusStatusRowPage rowPage;
  u8 flag4;       // shown on the M/E lamp of button code 224
  u8 customItem;  // index of a custom AUX button

  static constexpr auto wire() {
    using R = KzifBusStatus;
    return rec::list(rec::mask(&R::mask), rec::me(&R::me), rec::channel(&R::panel), rec::sub(&R::rowBus),
                     rec::field(0, &R::flag1, rec::range(0, 1)), rec::field(1, &R::flag2, rec::range(0, 1)),
                     rec::field(2, &R::flag3, rec::range(0, 1)), rec::sub(&R::rowPage),
                     rec::field(3, &R::flag4, rec::range(0, 1)), rec::field(4, &R::customItem, rec::range(0, 47)));
  }
};
static_assert(sizeof(KzifBusStatus) == 40);
static_assert(rec::wireSizeOf<KzifBusStatus>() == 32);
static_assert(offsetof(KzifBusStatus, panel) == 4);
static_assert(offsetof(KzifBusStatus, me) == 6);
static_assert(offsetof(KzifBusStatus, rowBus) == 8);
static_assert(offsetof(KzifBusStatus, flag1) == 20);
static_assert(offsetof(KzifBusStatus, flag3) == 22);
static_assert(offsetof(KzifBusStatus, rowPage) == 24);
static_assert(offsetof(KzifBusStatus, flag4) == 36);
static_assert(offsetof(KzifBusStatus, customItem) == 37);

namespace category {

class CategoryBusStatus : public CategoryCommon<KzifBusStatus> {
 public:
  CategoryBusStatus() : CategoryCommon(true) { lastFlag1_.fill(0); }

  static CategoryBusStatus& get(int me);

  void initIndex(int me, int flags) override;
  void initInternal() override;
  // The masked merge, after the double-1 rule of flag1; a panel above 2 is ignored.
  void assign(const KzifBusStatus& in, int panel) override;
  // The same, merged straight from the wire bytes.
  void assignFromWire(const u8* body, int panel) override;

  // The flag1 value of the last record received for the panel.
  int lastFlag1(int panel) const;
  // 1 when one of the four M/E rows works on the second bus of a pair (key sources, DSK
  // sources, utility 2) or on one of the rows 103..109 of odd number; else 0.
  static int hasOddBusCode(const KzifBusStatus& channel);

 private:
  std::array<u8, KzifBusStatus::N_CHANNELS> lastFlag1_{};
};

}  // namespace category

void initCategoryBusStatus();
