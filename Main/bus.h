// Buses of the M/Es and the panels' bus rows.
#pragma once
#include <array>
#include <cstddef>

#include "Main/aux_mix.h"
#include "Main/category.h"
#include "Main/source_ids.h"

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

// ================================================================================================
// Bus selection (type id 47): the 89 buses of every M/E, each holding a BusSelectCode (a panel's
// crosspoint button or a SourceId given directly), checked against the sources each bus may take
// and against M/Es feeding themselves, mirrored where several M/Es share a bus, followed through
// the source links and routed to the hardware every field; AUX 1..4 dissolve to the incoming source.
// ================================================================================================

// Bus numbers, the same in every M/E's record.
constexpr int N_BUSES = 89;
constexpr int BUS_A = 0;
constexpr int BUS_B = 1;
constexpr int BUS_KEY1_FILL = 2;      // keyer n: fill 2 + 2n, key source 3 + 2n
constexpr int BUS_UTIL1 = 10;
constexpr int BUS_UTIL2 = 11;
constexpr int BUS_FREE = 12;          // takes any source; routed by no one here
constexpr int BUS_EXT_OUT1 = 13;      // extended outputs 13..15
constexpr int BUS_EXT_OUT3 = 15;
constexpr int BUS_DSK1_FILL = 16;     // downstream key n: fill 16 + 2n, key source 17 + 2n
constexpr int BUS_DSK4_KEY = 23;
constexpr int BUS_AUX1 = 24;          // AUX n + 1 is bus 24 + n; 24..27 mix, 28..39 cut
constexpr int BUS_AUX5 = 28;
constexpr int BUS_AUX16 = 39;
constexpr int BUS_AUX_LAST = 71;
constexpr int BUS_USK1_FILL = 72;     // upstream key n: fill 72 + 2n, key source 73 + 2n
constexpr int BUS_USK4_KEY = 79;
constexpr int BUS_LAST = 88;
constexpr int BUS_LOOP_CHECKED_LAST = 11;  // buses 0..11 feed the M/E itself

// BusSelectCode: (panel << 8) | button for a crosspoint button, or 1024 + SourceId.
constexpr int BUS_CODE_SOURCE_BASE = 1024;
constexpr u16 BUS_CODE_BLACK = BUS_CODE_SOURCE_BASE + SOURCE_BLACK;  // 1247
// Whether the bus may carry the source; a negative source never, bus 12 any other one.
bool isAllowedSource(int bus, int source);
// The SourceId a BusSelectCode selects, -1 for none: a crosspoint button resolves through the
// crosspoint assignment (-1 for a function column or a button of 192 or more; 300..302 as they
// are), a direct code gives code - 1024.
int resolveSourceCode(int code);

// One record per M/E.
// Stored layout (204 bytes per M/E):
//   0 u32 mask | 4 u8 me | 5 pad | 8 u32 busMask[3] | 20 u16 code[89] | 198 u8 flip |
//   199 u8 reserved[5], kept zero
// Wire body (196 bytes, big-endian): u32 mask; u8 me; u32 busMask[3]; u16 code[89], bus 0 first;
// u8 flip (mask bit 0, 0..1).
// busMask is the per-bus mask: bit b % 32 of word b / 32 marks code[b] present or changed. The
// codes are merged by CategoryBus::assign, which checks each bus before it takes it.
struct KzifBus {
  static constexpr int TYPE_ID = 47;
  static constexpr int N_CHANNELS = 1;
  static constexpr const char* NAME = "KzifBus";
  static constexpr int N_MASK_WORDS = 3;
  static constexpr u32 FLIP_BIT = 1u << 0;

  u32 mask;
  u8 me;
  u32 busMask[N_MASK_WORDS];
  u16 code[N_BUSES];  // BusSelectCode of each bus
  u8 flip;            // the background bus (0 A, 1 B) now on programme
  u8 reserved[5];

  bool busMarked(int b) const { return (busMask[b / 32] >> (b % 32)) & 1u; }
  void markBus(int b) { busMask[b / 32] |= 1u << (b % 32); }

  static constexpr auto wire() {
    using R = KzifBus;
    return rec::list(rec::mask(&R::mask), rec::me(&R::me), rec::plain(&R::busMask), rec::plain(&R::code),
                     rec::field(0, &R::flip, rec::range(0, 1)));
  }
};
static_assert(sizeof(KzifBus) == 204);
static_assert(offsetof(KzifBus, me) == 4);
static_assert(offsetof(KzifBus, busMask) == 8);
static_assert(offsetof(KzifBus, code) == 20);
static_assert(offsetof(KzifBus, flip) == 198);

namespace category {

class CategoryBus : public CategoryCommon<KzifBus> {
 public:
  CategoryBus() : CategoryCommon(true) {}
  // The bus object of M/E me (0..3).
  static CategoryBus& get(int me);

  std::size_t attachBackup(u8* p) override;
  void initIndex(int me, int flags) override;
  void initInternal() override;
  void restore(const u8* stored) override;
  void update() override;
  UpdateClass updateClass() const override { return UpdateClass::Bus; }
  // Takes each marked bus whose source the bus allows and that loops no M/E; a refused bus keeps
  // its code and its mark, so the sender sees the selection that stands. One record per M/E:
  // the channel argument is not used.
  void assign(const KzifBus& in, int channel) override;
  void sendChanges(AcknowledgeSender& tx) override;
  void send(AcknowledgeSender& tx, int channel) override;

  // SourceId on the bus; -1 for a bus outside 0..88 or a code that resolves to nothing.
  int getSource(int bus) const;
  // Puts a source on a bus directly when the bus allows it and it loops no M/E; a bus of 16..23
  // or 24..71 that changed is copied into the other M/Es. True when it took the source.
  bool selectSource(int bus, int source);
  // Selects the source on bus 72 + usk through assign, unless the bus shows it already.
  void setUskSource(int source, int usk);
  // Routes keyer n (0..3) of this M/E: fill from bus 2 + 2n, key signal from bus 3 + 2n when the
  // key type and its separate-key flag are both non-zero, else the fill again.
  void applyKeyXpt(int n, int keyType, int separateKey);
  // The same for downstream key n (0..3) from buses 16 + 2n and 17 + 2n; called on M/E 1.
  void applyDskXpt(int n, int keyType, int separateKey);
  // Button `button` of `panel` is about to be reassigned from `source`: every bus selecting that
  // button takes the source directly, so that what it shows does not change.
  void onXptChanged(int button, int source, int panel);
  // Sets the flip state (0 or 1) with its mask bit when it differs.
  void setOption(int flip);

  // 1 while AUX mix channel ch runs; 0 for a channel outside 0..15.
  int auxMixActive(int ch) const { return auxMix_.running(ch); }
  const AuxMix& auxMix() const { return auxMix_; }
  // The code a bus held before its last change (-1 none); -1 for a bus outside 0..88.
  int prevCode(int bus) const;

  // The system settings ask for one follow pass to be skipped; the next assign turns it into
  // linkSuppress.
  void requestLinkSuppress() { linkSuppressRequest_ = 1; }
  // Snapshot recall: the selections it brings are not rewritten by the links in their field.
  void setLinkSuppress() { linkSuppress_ = 1; }
  bool linkSuppressed() const { return linkSuppress_ != 0; }
  bool linkSuppressRequested() const { return linkSuppressRequest_ != 0; }

  // The panel's A and B rows exchange buses 0 and 1.
  int rowSwap() const { return rowSwap_; }
  int flip() const { return record(0).flip; }

  // Whether M/E me taking the output `source` on `bus` would make an M/E feed itself.
  bool checkReentry(int bus, int source) const;
  // Row me of the shared table: [me][k] while one of buses 0..11 of M/E me carries M/E k's output.
  void rebuildReentryRow();
  static bool reentry(int me, int k);
  // The last bus this M/E validates and follows links on: 88 on M/E 0, 23 on M/E 1, else 11.
  int lastOwnBus() const;

  // Test hook: sees each source handed to the upstream key assignment (its bus 0..7, source).
  using UskSourceObserver = void (*)(int uskBus, int source);
  static void setUskSourceObserver(UskSourceObserver observer) { uskObserver_ = observer; }
  static UskSourceObserver uskSourceObserver() { return uskObserver_; }

 private:
  void followLink();
  void selectLinked(int from, int to);
  void applyBuses();
  // Turns every bus of this M/E whose source it does not allow to black; true when one of
  // buses 0..11 changed.
  bool validateBuses();
  void applyAbBuses();
  void applyMeZeroOutputs();
  void runAuxMix();
  void updateLamps();
  void mirrorBus(int bus);
  void handToUskAssign(int bus);
  void sendRecord(AcknowledgeSender& tx);

  AuxMix auxMix_;
  std::array<i32, N_BUSES> prevCode_{};
  u8 rowSwap_ = 0;
  u8 linkSuppress_ = 0;
  u8 linkSuppressRequest_ = 0;

  static inline UskSourceObserver uskObserver_ = nullptr;
};

}  // namespace category

void initCategoryBus();
