// Buses of the M/Es and the panels' bus rows.
#pragma once
#include <array>
#include <cstddef>

#include "Main/category.h"

// ================================================================================================
// Bus status of the panels (type id 48): per M/E and panel, which bus each delegated row of
// crosspoint buttons works on, which page of 24 buttons it shows, and the panel states that the
// bus lamps show.
// ================================================================================================

// The bus that each row works on (rows 0..3 the M/E bus rows, row 4 the AUX row), each with its
// own mask bit. Any value is kept: 0..88 a bus, 255 none, 102..109 rows the bus lamps leave out.
// Stored: 0 u32 mask | 4 u8 bus0..bus4 | 9 pad (12 bytes). Wire: u32 mask; five u8 (bits 0..4).
struct BusStatusRowBus {
  static constexpr int N_ROWS = 5;
  u32 mask;
  u8 bus0, bus1, bus2, bus3, bus4;

  static constexpr u8 BusStatusRowBus::*ROWS[N_ROWS] = {&BusStatusRowBus::bus0, &BusStatusRowBus::bus1,
                                                       &BusStatusRowBus::bus2, &BusStatusRowBus::bus3,
                                                       &BusStatusRowBus::bus4};
  u8 at(int row) const { return this->*ROWS[row]; }

  static constexpr auto wire() {
    using R = BusStatusRowBus;
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::bus0), rec::field(1, &R::bus1), rec::field(2, &R::bus2),
                     rec::field(3, &R::bus3), rec::field(4, &R::bus4));
  }
};
static_assert(sizeof(BusStatusRowBus) == 12);

// The page (0..3) each row shows, each with its own mask bit: entries 0..3 the M/E rows, 5 the
// AUX row, 4 two lamp bits; entry 6 is carried like the others.
// Stored: 0 u32 mask | 4 u8 page0..page6 | 11 pad (12 bytes). Wire: u32 mask; seven u8 (bits 0..6).
struct BusStatusRowPage {
  static constexpr int N_ENTRIES = 7;
  u32 mask;
  u8 page0, page1, page2, page3, page4, page5, page6;

  static constexpr u8 BusStatusRowPage::*ENTRIES[N_ENTRIES] = {
      &BusStatusRowPage::page0, &BusStatusRowPage::page1, &BusStatusRowPage::page2, &BusStatusRowPage::page3,
      &BusStatusRowPage::page4, &BusStatusRowPage::page5, &BusStatusRowPage::page6};
  u8 at(int entry) const { return this->*ENTRIES[entry]; }

  static constexpr auto wire() {
    using R = BusStatusRowPage;
    constexpr auto page = rec::range(0, 3);
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::page0, page), rec::field(1, &R::page1, page),
                     rec::field(2, &R::page2, page), rec::field(3, &R::page3, page), rec::field(4, &R::page4, page),
                     rec::field(5, &R::page5, page), rec::field(6, &R::page6, page));
  }
};
static_assert(sizeof(BusStatusRowPage) == 12);

// One panel's channel; KzifBusStatus{} is a cleared channel (every field and mask 0).
// Stored layout (40 bytes per panel, 120 per M/E):
//   0 u32 mask | 4 u16 panel | 6 u8 me | 7 pad | 8 rowBus | 20 u8 flag1 | 21 u8 flag2 |
//   22 u8 flag3 | 23 pad | 24 rowPage | 36 u8 flag4 | 37 u8 customItem | 38 pad
// Wire body (32 bytes, big-endian), in this order:
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
