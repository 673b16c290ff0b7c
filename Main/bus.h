// Buses of the M/Es and the panels' bus rows.
#pragma once
#include <array>
#include <cstddef>

#include "Main/bus_status.h"
#include "Main/aux_mix.h"
#include "Main/button_event_record.h"
#include "Main/category.h"
#include "Main/source_ids.h"

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
// Wire body (big-endian): u32 mask; u8 me; u32 busMask[3]; u16 code[89], bus 0 first;
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
static_assert(rec::wireSizeOf<KzifBus>() == 196);
static_assert(offsetof(KzifBus, me) == 4);
static_assert(offsetof(KzifBus, busMask) == 8);
static_assert(offsetof(KzifBus, code) == 20);
static_assert(offsetof(KzifBus, flip) == 198);

namespace category {

class CategorySourceLink;

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

  // SourceId on the bus; -1 for a bus outside 0..88 or a code that resolves to nothing. A direct
  // code, which most buses hold, is resolved in place.
  int getSource(int bus) const {
    if (bus < 0 || bus > BUS_LAST) return -1;
    const int v = static_cast<i16>(records_[0].code[bus]);
    if (v >= BUS_CODE_SOURCE_BASE) return isCodableSource(v - BUS_CODE_SOURCE_BASE) ? v - BUS_CODE_SOURCE_BASE : -1;
    return resolveSourceCode(v);
  }
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
  // button takes the source directly, so that what it shows does not change. Only the buses of
  // `candidates` (bit b of word b / 32 for bus b) are looked at; they must hold every bus that
  // selects the button.
  using BusSet = std::array<u32, KzifBus::N_MASK_WORDS>;
  void onXptChanged(int button, int source, int panel, const BusSet& candidates);
  // Sets the flip state (0 or 1) with its mask bit when it differs.
  void setOption(int flip);

  // A button of this M/E's bus rows (codes 1100..1291: press or release), or code 3000 released,
  // which lets go of every button of this M/E's rows.
  void onButton(const internal::KzifButtonEvent& btn);
  // Where the lamps of the bus rows read the bus tally: 1 while bus `bus` of M/E `me` contributes
  // to an output, else 0. Without a reader set here, the M/E's bus tally is read.
  using BusTallyReader = int (*)(int me, int bus);
  static void setBusTallyReader(BusTallyReader reader) { tallyReader_ = reader; }
  // 1 when bus b of M/E me is on air in that M/E's bus tally (a reader set here stands in for it).
  static int busOnAir(int me, int bus);
  // Whether sub panel 1 or 2 has asked for its bus lamps (panel 0 always has); shared by the M/Es.
  static bool panelLampsActive(int panel);
  // Sub panels 1 and 2 back to inactive (every start).
  static void resetPanelLampActivation();
  // The panel whose bus lamps this M/E refreshed last.
  int lampPanel() const { return lampPanel_; }

  // 1 while AUX mix channel ch runs; 0 for a channel outside 0..15.
  int auxMixActive(int ch) const { return auxMix_.running(ch); }
  const AuxMix& auxMix() const { return auxMix_; }

  // The system settings ask for one follow pass to be skipped; the next assign turns it into
  // linkSuppress.
  void requestLinkSuppress() { linkSuppressRequest_ = 1; }
  // Snapshot recall: the selections it brings are not rewritten by the links in their field.
  void setLinkSuppress() { linkSuppress_ = 1; }

  // The panel's A and B rows exchange buses 0 and 1.
  int rowSwap() const { return rowSwap_; }
  int flip() const { return record(0).flip; }

  // Whether M/E me taking the output `source` on `bus` would make an M/E feed itself.
  // Only an M/E output on a loop-checked bus asks the table.
  bool checkReentry(int bus, int source) const {
    if (bus < 0 || bus > BUS_LOOP_CHECKED_LAST) return true;
    const int k = meOfOutput(source);
    return k < 0 || outputKeepsMeOutOfLoop(k);
  }
  // Row me of the shared table: [me][k] while one of buses 0..11 of M/E me carries M/E k's output.
  void rebuildReentryRow();
  // The last bus this M/E validates and follows links on: 88 on M/E 0, 23 on M/E 1, else 11.
  int lastOwnBus() const;

  // Test hook: sees each source handed to the upstream key assignment (its bus 0..7, source).
  using UskSourceObserver = void (*)(int uskBus, int source);
  static void setUskSourceObserver(UskSourceObserver observer) { uskObserver_ = observer; }
  static UskSourceObserver uskSourceObserver() { return uskObserver_; }

 private:
  // checkReentry of M/E k's output on a loop-checked bus.
  bool outputKeepsMeOutOfLoop(int k) const;
  void followLink();
  void selectLinked(const CategorySourceLink& link, int from, int to);
  // Puts a code on a bus, noting an AUX mix bus's code before it in every M/E.
  void takeCode(int b, u16 code);
  // A one-bus assign whose selection was already checked.
  void takeCheckedSelection(int bus, u16 code);
  // This M/E's re-entry row waits to be rebuilt until a check reads the table.
  void markReentryRowStale();
  static void rebuildStaleReentryRows();
  void applyBuses();
  // The KZ id of the source on bus b, for routing.
  int routedKz(int b);
  int routeAgain(int b);
  // Turns every bus of this M/E whose source it does not allow to black; true when one of
  // buses 0..11 changed.
  bool validateBuses();
  void applyAbBuses();
  void applyMeZeroOutputs();
  void runAuxMix();
  void updateLamps();
  // Clears the button state and the lamp rotation (every start).
  void resetRows();
  void resetHeldButtons();
  void mirrorBus(int bus);
  void handToUskAssign(int bus);
  // handToUskAssign of each upstream key bus of the set (bit n: bus 72 + n) in ascending order,
  // handed over together.
  void handUskBusesToAssign(u32 uskBuses);
  // Marks bus b for the send and notes it as changed in this field.
  void takeBusChange(int b);
  bool changedThisField(int b) const { return (freshBuses_[static_cast<std::size_t>(b / 32)] >> (b % 32)) & 1u; }
  void sendRecord(AcknowledgeSender& tx);

  AuxMix auxMix_;
  // What each bus was last routed from: its code and, for a crosspoint button, the generation of
  // its panel's table. The routing asks for the same buses every field, and the same code through
  // the same table gives the same source.
  struct RoutedBus {
    u16 code = 0;
    bool held = false;
    bool direct = false;  // a SourceId given directly: nothing but the code counts
    u32 generation = 0;
    i32 kz = 0;
  };
  std::array<RoutedBus, N_BUSES> routed_{};
  // The sources each keyer's fill and key inputs were last handed, under this setter memo
  // generation.
  struct HeldKeyRoute {
    i32 fill = 0;
    i32 key = 0;
    u32 generation = 0;
    bool valid = false;
  };
  std::array<HeldKeyRoute, 4> heldKeyRoutes_{};
  // Buses changed since the last send pass, whether or not that pass could send: the record's
  // own bus marks stay set while sends are held back and would make the links follow again.
  std::array<u32, KzifBus::N_MASK_WORDS> freshBuses_{};
  std::array<i32, N_BUSES> prevCode_{};
  // Bus-row buttons held: [panel][bus], bit b % 32 of word b / 32 set while button b (0..191)
  // is held.
  static constexpr int N_ROW_BUTTONS = 192;
  using HeldButtons = std::array<u32, N_ROW_BUTTONS / 32>;
  std::array<std::array<HeldButtons, N_BUSES>, 3> buttonHeld_{};
  // What a row button selects: button `index` of the panel's crosspoint table on bus `bus`, taken
  // when the bus takes its source, and copied where the bus is shared.
  void selectByButton(int bus, int panel, int index);
  u8 lampPanel_ = 0;
  // What each panel's row buttons were last lit from; a row lit from the same is not lit again.
  struct RowLampInputs {
    i32 rowBus = -1;  // -1: not lit yet
    i32 page, code, source, status, from;
    u32 functionMask, xptGeneration;
    u8 byFunction;
    bool operator==(const RowLampInputs&) const = default;
  };
  std::array<std::array<RowLampInputs, 4>, 3> rowLampInputs_{};
  // Each panel's preset lamps as last worked out, with what they were worked out from: this
  // M/E's operation entries (their four row codes each) and the buses of the panel's rows.
  static constexpr int N_PRESET_LAMPS = 6;
  struct PresetLamps {
    std::array<u32, N_PRESET_LAMPS> codes{};
    u32 rows = 0;
    bool valid = false;
    std::array<u8, N_PRESET_LAMPS> lamp{};
    // The lamps, the shift lamp and the AUX page lamps went out from these under this lamp
    // request generation.
    bool requestsHeld = false;
    u8 flag4 = 0, auxPage = 0;
    u32 requestsGeneration = 0;
  };
  std::array<PresetLamps, 3> presetLamps_{};
  // Each panel's delegation lamps as last requested: the row group that operates this M/E, the
  // bus delegated, the flag lamp, under this lamp request generation.
  struct HeldDelegation {
    i32 group = -1;
    i32 delegated = -1;
    u32 generation = 0;
    u8 flag1 = 0;
    bool valid = false;
  };
  std::array<HeldDelegation, 3> heldDelegation_{};
  // Each panel's shift-key columns as last read, with what they were read from: the crosspoint
  // table and the operation settings that ignore a kind of shift key.
  static constexpr int N_FUNCTION_COLUMNS = 24;  // buttons per crosspoint page
  struct FunctionColumns {
    std::array<u32, N_FUNCTION_COLUMNS> flags{};
    u32 mask = 0;
    u32 xptGeneration = 0;
    u8 ignore300 = 0, ignore301 = 0;
    bool valid = false;
  };
  std::array<FunctionColumns, 3> functionColumns_{};
  // What the last validation left: its codes and the tables of the panels whose buttons they
  // select. The same codes through the same tables pass again, so they are not looked at again;
  // a change to the table of a panel that no bus selects from does not count.
  struct ValidatedCodes {
    std::array<u16, N_BUSES> code{};
    std::array<u32, 3> xptGeneration{};
    const void* xpt = nullptr;
    u8 panels = 0;  // bit p: a validated bus selects a button of panel p
    bool valid = false;
  };
  ValidatedCodes validated_{};
  // The M/E whose output each loop-checked bus carried when the re-entry row was last built, with
  // the code it was worked out from and, for a button code, its panel's crosspoint table: a row is
  // rebuilt after every change of one of these buses, and a bus whose inputs stand is not resolved
  // again.
  struct ReentryInputs {
    std::array<u16, BUS_LOOP_CHECKED_LAST + 1> code{};
    std::array<u32, 3> xptGeneration{};  // of each panel's table
    std::array<i8, BUS_LOOP_CHECKED_LAST + 1> outputMe{};
    std::array<u8, N_ME> carriedBy{};  // per M/E: how many of the buses carry its output
    const void* xpt = nullptr;
    bool valid = false;
  };
  ReentryInputs reentryInputs_{};
  u8 rowSwap_ = 0;
  u8 linkSuppress_ = 0;
  u8 linkSuppressRequest_ = 0;

  static inline UskSourceObserver uskObserver_ = nullptr;
  static inline BusTallyReader tallyReader_ = nullptr;

  friend class BusRowLamps;
};

}  // namespace category

// The custom AUX buttons of the panels: which bus each of the 36 buttons selects, from the item
// the custom information gives it.
struct CustomAuxButton {
  i16 bus;      // -1 none
  u16 lampCode; // 2000 + button
  u8 group;
  u8 usable;    // 1 when the button selects a bus the panels may take
};
constexpr int N_CUSTOM_AUX_BUTTONS = 36;
// The bus (and the M/E whose record holds it) that a custom item names; {-1, -1} for item 0 and
// for an item above 59.
struct CustomItemBus {
  int bus;
  int me;
};
CustomItemBus customItemBus(int item);
// Takes the item of custom AUX button n (0..35, asserted) from the custom information.
void updateCustomInfoBus(int n);
const CustomAuxButton& customAuxButton(int n);
// The table as it stands before any item is given (every start).
void resetCustomAuxButtons();

void initCategoryBus();
