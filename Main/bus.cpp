#include "Main/bus.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "Driver/kz.h"
#include "Main/autotrans.h"
#include "Main/bkgd.h"
#include "Main/bp.h"
#include "Main/faderevent.h"
#include "Main/inputvideo.h"
#include "Main/operate.h"
#include "Main/sourcelink.h"
#include "Main/system.h"
#include "Main/transition.h"
#include "Main/usk.h"
#include "Main/xpt.h"

KZ_SOURCE("Main/bus");

// ================================================================================================
// Bus selection
// ================================================================================================

namespace {

using category::CategoryBus;

CategoryBus* busOf(int me) { return BP::instance().find<CategoryBus>(me); }

// [me][k] = 1 while one of buses 0..11 of M/E me carries an output of M/E k. Shared by the four
// bus objects.
std::array<std::array<u8, N_ME>, N_ME>& reentryTable() {
  static std::array<std::array<u8, N_ME>, N_ME> table{};
  return table;
}

// Bit me: a loop-checked bus of M/E me changed since its row was built. A row is read only when a
// check meets an M/E's output, so it is built then, not after every selection.
u8& staleReentryRows() {
  static u8 rows = 0;
  return rows;
}

// Whether M/E k takes the output of M/E `from`, directly or through other M/Es. Changes that pass
// the check never leave a loop in the table, but a restored image passes none: a chain longer
// than the M/Es could form without repeating one already holds a loop, and is refused rather
// than walked for ever.
bool feedsInto(int from, int k, int depth) {
  const auto& table = reentryTable();
  for (int j = 0; j < N_ME; ++j) {
    if (!table[static_cast<std::size_t>(j)][static_cast<std::size_t>(from)]) continue;
    if (j == k) return true;
    if (depth + 2 > N_ME) return true;
    if (feedsInto(j, k, depth + 1)) return true;
  }
  return false;
}

// The sources every bus group takes: inputs, DVI, stills and clips, colour backgrounds, black.
constexpr bool isCommonSource(int s) {
  return (SOURCE_SDI_FIRST <= s && s <= SOURCE_SDI_ROUTED_LAST) || s == SOURCE_DVI_1 || s == SOURCE_DVI_2 ||
         isStillOrClip(s) || (SOURCE_COLOR_BKGD_1 <= s && s <= SOURCE_BLACK);
}

// Which outputs of M/Es 0 and 1 (programme, preview, clean, key preview) a bus group takes; the
// outputs of M/E 2 and 3 go on no bus.
constexpr int PGM = 1 << 0, PVW = 1 << 1, CLEAN = 1 << 2, KEY_PVW = 1 << 3;
constexpr int LOOP_CHECKED_OUTPUTS = PGM | PVW | CLEAN;
constexpr int DSK_OUTPUTS = PGM | CLEAN;
constexpr int OTHER_BUS_OUTPUTS = PGM | PVW | CLEAN | KEY_PVW;

constexpr bool takesMeOutput(int s, int outputs) {
  const int me = meOfOutput(s);
  if (me < 0 || me > 1) return false;
  return (outputs >> ((s - SOURCE_ME_OUTPUT_FIRST) % SOURCE_OUTPUTS_PER_ME)) & 1;
}

// The multiview outputs that the buses may select.
constexpr int BUS_MULTIVIEW_LAST = SOURCE_MULTIVIEW_FIRST + 3;

// What the operation settings say of the buses; without the operation category the rows stay
// fixed and the AUX buses cut.
const KzifOperate* operateSettings() {
  const auto* op = BP::instance().find<category::CategoryOperate>();
  return op ? &op->record(0) : nullptr;
}

// Duration of AUX n + 1's mix: its rate while its mix is on, else 1 (a cut).
int auxMixFrames(const KzifOperate* op, int n) {
  if (!op || op->auxMixEnable.value[n] == 0) return 1;
  return op->auxMixRate.value[n];
}

// The row arrangement of M/E me: 1 the rows swap while flip is 1, 2 while it is 0, else fixed.
int busRowSetting(int me) {
  const KzifOperate* op = operateSettings();
  if (!op) return 0;
  if (op->busRowModeSelect == 0) return op->busRowMode;
  if (op->busRowModeSelect == 1) return op->busRowModeMe.value[0 <= me && me < 8 ? me : 0];
  return 0;
}

struct FieldPace {
  int videoFormat;
  bool fieldOne;
};

FieldPace fieldPace() {
  const auto* system = BP::instance().find<category::CategorySystem>();
  if (!system) return {0, true};
  return {system->videoFormat(), system->isField(1)};
}

// Buses 72..79 of M/E 0 and the upstream key assignment mirror each other. While one side passes
// a change to the other, the other's answer is not passed back: one change, one exchange.
bool uskExchangeActive = false;

class UskExchange {
 public:
  UskExchange() { uskExchangeActive = true; }
  ~UskExchange() { uskExchangeActive = false; }
  UskExchange(const UskExchange&) = delete;
  UskExchange& operator=(const UskExchange&) = delete;
};

void passSourceToUskAssign(int uskBus, int source) {
  if (CategoryBus::UskSourceObserver observer = CategoryBus::uskSourceObserver()) observer(uskBus, source);
  if (auto* assignment = BP::instance().find<category::CategoryUpStreamKeyAssign>()) assignment->setSource(source, uskBus);
}

constexpr bool isLoopChecked(int bus) { return 0 <= bus && bus <= BUS_LOOP_CHECKED_LAST; }
// The loop-checked buses in the first word of a bus mask: only their changes move the loop table.
constexpr u32 LOOP_CHECKED_BUSES = (1u << (BUS_LOOP_CHECKED_LAST + 1)) - 1;
constexpr bool isAuxMixBus(int bus) { return BUS_AUX1 <= bus && bus < BUS_AUX1 + 4; }
constexpr bool isAuxBus(int bus) { return BUS_AUX1 <= bus && bus <= BUS_AUX_LAST; }
constexpr bool isDskBus(int bus) { return BUS_DSK1_FILL <= bus && bus <= BUS_DSK4_KEY; }
constexpr bool isUskBus(int bus) { return BUS_USK1_FILL <= bus && bus <= BUS_USK4_KEY; }

// The bus that follows `bus` when a change of `bus` leads its pair; -1 when it leads none.
int followerOf(int bus, int direction, const category::CategorySourceLink& link) {
  int first;
  if ((2 <= bus && bus <= 9) || isDskBus(bus) || isUskBus(bus)) {
    first = bus - bus % 2;
  } else if (bus == BUS_EXT_OUT1 || bus == BUS_EXT_OUT1 + 1) {
    first = BUS_EXT_OUT1;
  } else if (isAuxBus(bus)) {
    first = bus - bus % 2;
    if (!link.auxPairLinked((first - BUS_AUX1) / 2)) return -1;
  } else {
    return -1;
  }
  const int second = first + 1;
  if (direction == 0) return bus == first ? second : -1;
  return bus == second ? first : -1;
}

// The buses that may lead their pair in each direction: a follow pass looks at no other.
constexpr std::array<std::array<u32, KzifBus::N_MASK_WORDS>, 2> buildLeaders() {
  std::array<std::array<u32, KzifBus::N_MASK_WORDS>, 2> leaders{};
  for (int bus = 0; bus < N_BUSES; ++bus) {
    const bool paired = (2 <= bus && bus <= 9) || isDskBus(bus) || isUskBus(bus) || isAuxBus(bus);
    const bool extended = bus == BUS_EXT_OUT1 || bus == BUS_EXT_OUT1 + 1;
    if (!paired && !extended) continue;
    const int first = extended ? BUS_EXT_OUT1 : bus - bus % 2;
    leaders[bus == first ? 0 : 1][static_cast<std::size_t>(bus / 32)] |= 1u << (bus % 32);
  }
  return leaders;
}
constexpr auto LEADERS = buildLeaders();

// Buses first..last as a bus set.
constexpr std::array<u32, KzifBus::N_MASK_WORDS> busesFromTo(int first, int last) {
  std::array<u32, KzifBus::N_MASK_WORDS> set{};
  for (int bus = first; bus <= last; ++bus) set[static_cast<std::size_t>(bus / 32)] |= 1u << (bus % 32);
  return set;
}

}  // namespace

namespace {

// The bus groups that take the same sources.
enum BusGroup : u8 { GROUP_LOOP_CHECKED, GROUP_DSK, GROUP_USK, GROUP_OTHER, N_BUS_GROUPS };

constexpr BusGroup groupOf(int bus) {
  if (isLoopChecked(bus)) return GROUP_LOOP_CHECKED;
  if (isDskBus(bus)) return GROUP_DSK;
  if (isUskBus(bus)) return GROUP_USK;
  return GROUP_OTHER;
}

constexpr bool groupTakes(BusGroup group, int s) {
  switch (group) {
    case GROUP_LOOP_CHECKED: return isCommonSource(s) || takesMeOutput(s, LOOP_CHECKED_OUTPUTS);
    case GROUP_DSK: return isCommonSource(s) || takesMeOutput(s, DSK_OUTPUTS);
    case GROUP_USK: return isCommonSource(s);
    default:
      return isCommonSource(s) || takesMeOutput(s, OTHER_BUS_OUTPUTS) ||
             (SOURCE_DSK_OUTPUT_FIRST <= s && s <= SOURCE_DSK_OUTPUT_LAST) ||
             (SOURCE_MULTIVIEW_FIRST <= s && s <= BUS_MULTIVIEW_LAST);
  }
}

// Every bus is checked every field: the rules are looked up, not evaluated. No group takes a
// source above the last one a direct code can carry.
constexpr int N_TABLE_SOURCES = SOURCE_ME_B_SIDE_LAST + 1;
struct AllowedTable {
  std::array<BusGroup, N_BUSES> group{};
  std::array<std::array<bool, N_TABLE_SOURCES>, N_BUS_GROUPS> takes{};
};
constexpr AllowedTable buildAllowedTable() {
  AllowedTable t{};
  for (int b = 0; b < N_BUSES; ++b) t.group[static_cast<std::size_t>(b)] = groupOf(b);
  for (int g = 0; g < N_BUS_GROUPS; ++g)
    for (int s = 0; s < N_TABLE_SOURCES; ++s)
      t.takes[static_cast<std::size_t>(g)][static_cast<std::size_t>(s)] = groupTakes(static_cast<BusGroup>(g), s);
  return t;
}
constexpr AllowedTable ALLOWED = buildAllowedTable();
constexpr bool noGroupTakesBeyondTheTable() {
  for (int g = 0; g < N_BUS_GROUPS; ++g)
    for (int s = N_TABLE_SOURCES; s < 1100; ++s)
      if (groupTakes(static_cast<BusGroup>(g), s)) return false;
  return true;
}
static_assert(noGroupTakesBeyondTheTable());

}  // namespace

namespace {

inline bool allowedOnBus(int bus, int s) {
  if (s < 0 || bus < 0 || bus > BUS_LAST) return false;
  if (bus == BUS_FREE) return true;
  if (s >= N_TABLE_SOURCES) return false;
  return ALLOWED.takes[ALLOWED.group[static_cast<std::size_t>(bus)]][static_cast<std::size_t>(s)];
}
}  // namespace

bool isAllowedSource(int bus, int s) { return allowedOnBus(bus, s); }

namespace {
// resolveSourceCode with a direct code resolved in place: most buses hold one.
inline int sourceOfCode(u16 code) {
  const int v = static_cast<i16>(code);
  if (v >= BUS_CODE_SOURCE_BASE) return isCodableSource(v - BUS_CODE_SOURCE_BASE) ? v - BUS_CODE_SOURCE_BASE : -1;
  return resolveSourceCode(v);
}

// Whether each bus may carry each direct code of the table's sources, the free bus and the codable
// test folded in: a record brings 89 codes, nearly all direct, and each is judged by one look-up.
// The table is indexed by source, then by the bus's row (padded to eight), and its last source
// stands for every code outside the table, which it refuses.
constexpr int FREE_BUS_ROW = N_BUS_GROUPS;
constexpr int N_DIRECT_ROWS = 8;
static_assert(FREE_BUS_ROW < N_DIRECT_ROWS);
struct DirectCodeTable {
  std::array<u8, N_BUSES> row{};
  std::array<std::array<u8, N_DIRECT_ROWS>, N_TABLE_SOURCES + 1> takes{};
};
constexpr DirectCodeTable buildDirectCodeTable() {
  DirectCodeTable t{};
  for (int b = 0; b < N_BUSES; ++b) t.row[static_cast<std::size_t>(b)] = b == BUS_FREE ? FREE_BUS_ROW : groupOf(b);
  for (int s = 0; s < N_TABLE_SOURCES; ++s)
    for (int g = 0; g <= N_BUS_GROUPS; ++g)
      t.takes[static_cast<std::size_t>(s)][static_cast<std::size_t>(g)] =
          isCodableSource(s) && (g == FREE_BUS_ROW || groupTakes(static_cast<BusGroup>(g), s)) ? 1 : 0;
  return t;
}
constexpr DirectCodeTable DIRECT_CODES = buildDirectCodeTable();

// A bus's code checked against the sources the bus allows: the source it selects (-1 for none)
// and whether the bus may carry it. Re-entry is not looked at.
struct CheckedCode {
  int source;
  bool allowed;
};
// Bit k: bus first + k (count at most 32) holds a direct code of a source the bus allows. Every bus
// of the word is looked up, without a branch; any other code reads as refused, for checkCode to
// judge.
// The run of sources around the first input that every bus takes, the free bus included: a word
// whose codes all lie in it (the common record: inputs on every bus) is settled by its lowest and
// highest code, which the compiler works out several at a time.
constexpr int runTakenEverywhereFrom(int s, int step) {
  auto everywhere = [](int source) {
    if (source < 0 || source >= N_TABLE_SOURCES) return false;
    for (int row = 0; row <= FREE_BUS_ROW; ++row)
      if (DIRECT_CODES.takes[static_cast<std::size_t>(source)][static_cast<std::size_t>(row)] == 0) return false;
    return true;
  };
  while (everywhere(s + step)) s += step;
  return s;
}
constexpr int EVERYWHERE_FIRST = runTakenEverywhereFrom(SOURCE_SDI_FIRST, -1);
constexpr int EVERYWHERE_LAST = runTakenEverywhereFrom(SOURCE_SDI_FIRST, 1);
static_assert(EVERYWHERE_FIRST == SOURCE_SDI_FIRST && EVERYWHERE_LAST >= SOURCE_SDI_ROUTED_LAST);

// Whether the N codes all lie in that run. Read as signed codes (any other code, a negative one
// included, fails alike), eight at a time and the rest one by one.
template <int N>
bool allTakenEverywhere(const u16* code) {
  constexpr int WHOLE = N - N % 8;
  i16 lo = static_cast<i16>(code[0]), hi = lo;
  for (int k = 0; k < WHOLE; ++k) {
    lo = std::min(lo, static_cast<i16>(code[k]));
    hi = std::max(hi, static_cast<i16>(code[k]));
  }
  for (int k = WHOLE; k < N; ++k) {
    lo = std::min(lo, static_cast<i16>(code[k]));
    hi = std::max(hi, static_cast<i16>(code[k]));
  }
  return lo >= BUS_CODE_SOURCE_BASE + EVERYWHERE_FIRST && hi <= BUS_CODE_SOURCE_BASE + EVERYWHERE_LAST;
}
// The counts of the words that the buses are judged in (see lastOwnBus).
inline bool allTakenEverywhere(const u16* code, int count) {
  switch (count) {
    case 32: return allTakenEverywhere<32>(code);
    case N_BUSES % 32: return allTakenEverywhere<N_BUSES % 32>(code);
    case BUS_DSK4_KEY + 1: return allTakenEverywhere<BUS_DSK4_KEY + 1>(code);
    case BUS_LOOP_CHECKED_LAST + 1: return allTakenEverywhere<BUS_LOOP_CHECKED_LAST + 1>(code);
    default: return false;
  }
}

inline u32 allowedDirectCodes(const u16* code, int first, int count) {
  if (allTakenEverywhere(code + first, count)) return count == 32 ? 0xFFFFFFFFu : (1u << count) - 1;
  u32 allowed = 0;
  for (int k = 0; k < count; ++k) {
    const unsigned s = std::min(static_cast<unsigned>(static_cast<i16>(code[first + k]) - BUS_CODE_SOURCE_BASE),
                                static_cast<unsigned>(N_TABLE_SOURCES));
    allowed |= static_cast<u32>(DIRECT_CODES.takes[s][DIRECT_CODES.row[static_cast<std::size_t>(first + k)]]) << k;
  }
  return allowed;
}
inline CheckedCode checkCode(int bus, u16 code) {
  const unsigned s = static_cast<unsigned>(static_cast<i16>(code) - BUS_CODE_SOURCE_BASE);
  if (s < static_cast<unsigned>(N_TABLE_SOURCES))
    return {static_cast<int>(s), DIRECT_CODES.takes[s][DIRECT_CODES.row[static_cast<std::size_t>(bus)]] != 0};
  const int source = sourceOfCode(code);
  return {source, allowedOnBus(bus, source)};
}
}  // namespace

int resolveSourceCode(int code) {
  const int v = static_cast<i16>(static_cast<u16>(code));
  if (0 <= v && v <= 1023) {
    const int panel = v >> 8;
    const int button = v & 0xFF;
    if (panel == 3 || button >= KzifXptAssign::N_BUTTONS) return -1;
    const auto* xpt = BP::instance().find<category::CategoryXpt>();
    return xpt ? xpt->sourceOf(panel, button) : -1;
  }
  const int source = v - BUS_CODE_SOURCE_BASE;
  return isCodableSource(source) ? source : -1;
}

namespace category {

CategoryBus& CategoryBus::get(int me) {
  KZ_CHECK(0 <= me && me < N_ME);
  return BP::instance().require<CategoryBus>(me);
}

// Every start attaches the storage anew; the AUX mixes start from nothing, as at a power cycle.
std::size_t CategoryBus::attachBackup(u8* p) {
  auxMix_.reset();
  resetPanelLampActivation();
  freshBuses_.fill(0);
  validated_.valid = false;
  reentryInputs_.valid = false;
  return CategoryCommon::attachBackup(p);
}

void CategoryBus::initIndex(int, int) { rec::stamp(records_[0], me_, 0); }

void CategoryBus::initInternal() {
  CategoryCommon::initInternal();
  prevCode_.fill(-1);
  linkSuppress_ = 1;  // what start brings is not rewritten by the links in its first field
  linkSuppressRequest_ = 0;
  rowSwap_ = 0;
  validated_.valid = false;
  reentryInputs_.valid = false;
  resetRows();
  heldKeyRoutes_.fill(HeldKeyRoute{});
  // The table outlives a restart; a record received before the first update must be checked
  // against the selections that stand now.
  rebuildReentryRow();
}

// Every selection goes through here: kept inline, as only this file calls it.
inline void CategoryBus::takeBusChange(int b) {
  records_[0].markBus(b);
  markShareChanged();
  freshBuses_[static_cast<std::size_t>(b / 32)] |= 1u << (b % 32);
}

void CategoryBus::restore(const u8* stored) {
  CategoryCommon::restore(stored);
  KzifBus& r = records_[0];
  for (u32& m : r.busMask) m = 0;
  for (int b = 0; b < N_BUSES; ++b) takeBusChange(b);
  validated_.valid = false;
  reentryInputs_.valid = false;
}


inline void CategoryBus::takeCode(int b, u16 code) {
  KzifBus& live = records_[0];
  if (isAuxMixBus(b) && code != live.code[b])
    for (int me = 0; me < N_ME; ++me)
      if (CategoryBus* bus = busOf(me)) bus->prevCode_[static_cast<std::size_t>(b)] = static_cast<i16>(live.code[b]);
  live.code[b] = code;
}

void CategoryBus::assign(const KzifBus& in, int) {
  KzifBus& live = records_[0];
  BusSet marked{};
  for (std::size_t w = 0; w < marked.size(); ++w) marked[w] = in.busMask[w];
  marked[KzifBus::N_MASK_WORDS - 1] &= (1u << (N_BUSES % 32)) - 1;
  // Every bus is checked against the selections before the record: none is taken until all are
  // checked.
  BusSet taken{};
  // The source each loop-checked bus of the record selects, for the re-entry check below.
  std::array<int, BUS_LOOP_CHECKED_LAST + 1> loopSource{};
  for (std::size_t w = 0; w < marked.size(); ++w) {
    // A word with many marks goes through the direct code table whole, marked buses or not; the
    // marked ones with any other code, and those of a word with few marks (a one-bus selection),
    // are judged one by one.
    const int first = static_cast<int>(32 * w);
    const int count = N_BUSES - first < 32 ? N_BUSES - first : 32;
    constexpr int FEW_MARKS = 8;
    u32 ok = std::popcount(marked[w]) > FEW_MARKS ? allowedDirectCodes(in.code, first, count) : 0;
    if (w == 0)
      for (int b = 0; b <= BUS_LOOP_CHECKED_LAST; ++b)
        loopSource[static_cast<std::size_t>(b)] = static_cast<i16>(in.code[b]) - BUS_CODE_SOURCE_BASE;
    for (u32 bits = marked[w] & ~ok; bits != 0; bits &= bits - 1) {
      const int k = std::countr_zero(bits);
      const CheckedCode c = checkCode(first + k, in.code[first + k]);
      ok |= static_cast<u32>(c.allowed) << k;
      if (w == 0 && k <= BUS_LOOP_CHECKED_LAST) loopSource[static_cast<std::size_t>(k)] = c.source;
    }
    taken[w] = marked[w] & ok;
  }
  // A loop-checked bus the sources allow must not make an M/E feed itself.
  for (u32 bits = taken[0] & LOOP_CHECKED_BUSES; bits != 0; bits &= bits - 1) {
    const int b = std::countr_zero(bits);
    if (!checkReentry(b, loopSource[static_cast<std::size_t>(b)])) taken[0] &= ~(1u << b);
  }
  if (linkSuppressRequest_) {
    linkSuppress_ = 1;
    linkSuppressRequest_ = 0;
  }
  rec::merge(live, in);  // flip only: the buses are not merged by the field list
  // The AUX mix buses note the code they leave; every other bus takes its code as it is, a word of
  // buses at once when all of it was taken (a whole record is the common one).
  constexpr u32 AUX_MIX_BUSES = 0xFu << BUS_AUX1;
  static_assert(BUS_AUX1 + 4 <= 32);
  for (u32 bits = taken[0] & AUX_MIX_BUSES; bits != 0; bits &= bits - 1) {
    const int b = std::countr_zero(bits);
    takeCode(b, in.code[b]);
  }
  for (std::size_t w = 0; w < taken.size(); ++w) {
    const int first = static_cast<int>(32 * w);
    const int count = N_BUSES - first < 32 ? N_BUSES - first : 32;
    const u32 every = count == 32 ? 0xFFFFFFFFu : (1u << count) - 1;
    if (taken[w] == every) {
      std::memcpy(&live.code[first], &in.code[first], sizeof(u16) * static_cast<std::size_t>(count));
      continue;
    }
    for (u32 bits = taken[w]; bits != 0; bits &= bits - 1) {
      const int b = first + std::countr_zero(bits);
      live.code[b] = in.code[b];
    }
  }
  // A refused bus is marked too: the sender sees the selection that stands.
  for (std::size_t w = 0; w < marked.size(); ++w) {
    live.busMask[w] |= marked[w];
    freshBuses_[w] |= marked[w];
  }
  markShareChanged();
  rec::stamp(live, me_, 0);
  changed_[0] = 1;
  if ((marked[0] & LOOP_CHECKED_BUSES) != 0) markReentryRowStale();
  if (me_ == 0) {
    constexpr u32 USK_BUSES = ((1u << (BUS_USK4_KEY - BUS_USK1_FILL + 1)) - 1) << (BUS_USK1_FILL % 32);
    static_assert(BUS_USK1_FILL / 32 == 2 && BUS_USK4_KEY / 32 == 2);
    if (const u32 usk = marked[2] & USK_BUSES; usk != 0) handUskBusesToAssign(usk >> (BUS_USK1_FILL % 32));
  }
}

inline void CategoryBus::takeCheckedSelection(int bus, u16 code) {
  if (linkSuppressRequest_) {
    linkSuppress_ = 1;
    linkSuppressRequest_ = 0;
  }
  takeCode(bus, code);
  takeBusChange(bus);
  changed_[0] = 1;
  if (isLoopChecked(bus)) markReentryRowStale();
  if (isUskBus(bus)) handToUskAssign(bus);
}

void CategoryBus::sendChanges(AcknowledgeSender& tx) {
  freshBuses_.fill(0);  // this field's changes have been followed, sent or not
  if (tx.backlogged()) return;  // the changes stay pending until the backlog drains
  sendRecord(tx);
}

// The per-bus mask words are pending-change marks too, which the framework's send does not know
// of: they are tested and cleared here with the record's own mask.
void CategoryBus::sendRecord(AcknowledgeSender& tx) {
  KzifBus& r = records_[0];
  bool pending = changed_[0] != 0 || r.mask != 0;
  for (u32 m : r.busMask) pending = pending || m != 0;
  if (!pending) return;
  rec::stamp(r, me_, 0);
  tx.writeRecord(r);  // a failed write is logged by the sender; the change is not kept
  r.mask = 0;
  for (u32& m : r.busMask) m = 0;
  changed_[0] = 0;
  markShareChanged();
}

bool CategoryBus::selectSource(int bus, int source) {
  // A source a direct code can carry, which the bus takes (one look-up), and no loop.
  if (bus < 0 || bus > BUS_LAST || static_cast<unsigned>(source) >= static_cast<unsigned>(N_TABLE_SOURCES) ||
      DIRECT_CODES.takes[static_cast<std::size_t>(source)][DIRECT_CODES.row[static_cast<std::size_t>(bus)]] == 0 ||
      (isLoopChecked(bus) && !checkReentry(bus, source)))
    return false;
  KzifBus& live = records_[0];
  const int old = static_cast<i16>(live.code[bus]);
  const u16 code = static_cast<u16>(BUS_CODE_SOURCE_BASE + source);
  live.code[bus] = code;
  takeBusChange(bus);
  if (isUskBus(bus)) handToUskAssign(bus);
  if (isLoopChecked(bus)) markReentryRowStale();
  if (isAuxMixBus(bus) && old != -1 && old != code) prevCode_[static_cast<std::size_t>(bus)] = old;
  // Only the bus taken here is copied, and only when it was taken: copying the whole group, or
  // copying after a refusal, would carry this M/E's never-validated copies of the other DSK and
  // AUX buses over selections that nobody touched.
  if (isDskBus(bus) || isAuxBus(bus)) mirrorBus(bus);
  return true;
}

// The row button's code resolves through its panel's table: a panel 0..2 and a button below 192,
// as a crosspoint code's are (see resolveSourceCode).
void CategoryBus::selectByButton(int bus, int panel, int index) {
  const auto* xpt = BP::instance().find<CategoryXpt>();
  const int source = xpt != nullptr ? xpt->sourceOf(panel, index) : -1;
  if (!allowedOnBus(bus, source) || !checkReentry(bus, source)) return;
  takeCheckedSelection(bus, static_cast<u16>(index + (panel << 8)));
  // Only the bus taken is copied: the other shared buses of this M/E may hold copies that were
  // never checked here, and copying them would overwrite selections nobody touched.
  if ((BUS_EXT_OUT1 <= bus && bus <= BUS_AUX_LAST) || isUskBus(bus)) mirrorBus(bus);
}

// Copies this M/E's code of one shared bus into the other M/Es.
void CategoryBus::mirrorBus(int bus) {
  const u16 code = records_[0].code[bus];
  auto copyTo = [&](int me) {
    CategoryBus* other = busOf(me);
    if (me == me_ || other == nullptr) return;
    KzifBus& r = other->records_[0];
    if (isAuxBus(bus)) other->prevCode_[static_cast<std::size_t>(bus)] = static_cast<i16>(r.code[bus]);
    r.code[bus] = code;
    other->takeBusChange(bus);
    // A copy landing on M/E 0's upstream key buses changes what the keyers take: the assignment
    // is told, or the two would part.
    if (isUskBus(bus)) other->handToUskAssign(bus);
  };
  if (isDskBus(bus)) {
    // M/E 1 routes the downstream keys: its copy first.
    for (int me : {1, 0, 2, 3}) copyTo(me);
  } else {
    for (int me = 0; me < N_ME; ++me) copyTo(me);
  }
}

void CategoryBus::handToUskAssign(int bus) {
  // Only M/E 0's buses 72..79 are the upstream keys' own; the other M/Es hold copies that nothing
  // routes, and a change to a copy (a crosspoint reassignment, say) must not move the keyers.
  if (me_ != 0 || uskExchangeActive) return;
  // The assignment keeps one byte per bus: only its own sources go across, never a -1 or a 302.
  const int source = getSource(bus);
  if (source < SOURCE_SDI_FIRST || source > SOURCE_BLACK) return;
  UskExchange exchange;
  passSourceToUskAssign(bus - BUS_USK1_FILL, source);
}

void CategoryBus::handUskBusesToAssign(u32 uskBuses) {
  if (me_ != 0 || uskExchangeActive) return;
  std::array<int, N_USK_BUSES> sources{};
  u32 passed = 0;
  for (u32 bits = uskBuses & ((1u << N_USK_BUSES) - 1); bits != 0; bits &= bits - 1) {
    const int n = std::countr_zero(bits);
    const int source = getSource(BUS_USK1_FILL + n);
    if (source < SOURCE_SDI_FIRST || source > SOURCE_BLACK) continue;
    sources[static_cast<std::size_t>(n)] = source;
    passed |= 1u << n;
  }
  if (passed == 0) return;
  // Handing a bus over changes no bus: each source is what the bus held before any was handed.
  UskExchange exchange;
  if (UskSourceObserver observer = uskSourceObserver())
    for (u32 bits = passed; bits != 0; bits &= bits - 1) {
      const int n = std::countr_zero(bits);
      observer(n, sources[static_cast<std::size_t>(n)]);
    }
  if (auto* assignment = BP::instance().find<category::CategoryUpStreamKeyAssign>()) assignment->setSources(sources, passed);
}

void CategoryBus::setUskSource(int source, int usk) {
  const int bus = BUS_USK1_FILL + usk;
  // Only a SourceId that a direct code can carry is built into one: a negative value would read
  // back as a crosspoint button and one past 16 bits as another source.
  if (bus < 0 || bus > BUS_LAST || uskExchangeActive || !isCodableSource(source)) return;
  if (getSource(bus) == source) return;
  UskExchange exchange;
  // What a record marking this one bus would do, without building one.
  if (allowedOnBus(bus, source) && (!isLoopChecked(bus) || checkReentry(bus, source))) {
    takeCheckedSelection(bus, static_cast<u16>(BUS_CODE_SOURCE_BASE + source));
    return;
  }
  // Refused: the bus is marked all the same, so that the sender sees the selection that stands.
  if (linkSuppressRequest_) {
    linkSuppress_ = 1;
    linkSuppressRequest_ = 0;
  }
  takeBusChange(bus);
  changed_[0] = 1;
  if (isLoopChecked(bus)) markReentryRowStale();
}

inline int CategoryBus::routedKz(int b) {
  const RoutedBus& r = routed_[static_cast<std::size_t>(b)];
  if (r.direct && r.code == records_[0].code[b]) return r.kz;
  return routeAgain(b);
}

void CategoryBus::applyKeyXpt(int n, int keyType, int separateKey) {
  KZ_CHECK(0 <= n && n < 4);
  const int context = KZ_CONTEXT_ME1 + me_;
  const int fill = routedKz(BUS_KEY1_FILL + 2 * n);
  const int key = keyType != 0 && separateKey != 0 ? routedKz(BUS_KEY1_FILL + 2 * n + 1) : fill;
  // Under the same context, with no setter having taken anything since, the keyer's inputs still
  // hold these sources: untraced, the calls would change nothing.
  HeldKeyRoute& held = heldKeyRoutes_[static_cast<std::size_t>(n)];
  if (held.valid && held.fill == fill && held.key == key && held.generation == kz::memo::generation &&
      getMeContext() == context && !trace::enabled())
    return;
  held.valid = false;
  setMeContext(context);
  setMeInput(KZ_KEY1_F + 2 * n, fill);
  setMeInput(KZ_KEY1_F + 2 * n + 1, key);
  held = {fill, key, kz::memo::generation, true};
}

void CategoryBus::applyDskXpt(int n, int keyType, int separateKey) {
  KZ_CHECK(0 <= n && n < 4);
  const int fill = routedKz(BUS_DSK1_FILL + 2 * n);
  const int key = keyType != 0 && separateKey != 0 ? routedKz(BUS_DSK1_FILL + 2 * n + 1) : fill;
  setDskInput(KZ_DSK1_F + 2 * n, fill);
  setDskInput(KZ_DSK1_F + 2 * n + 1, key);
}

void CategoryBus::onXptChanged(int button, int source, int panel, const BusSet& candidates) {
  if (button < 0 || button >= KzifXptAssign::N_BUTTONS) return;
  const KzifBus& live = records_[0];
  for (std::size_t w = 0; w < candidates.size(); ++w) {
    for (u32 bits = candidates[w]; bits != 0; bits &= bits - 1) {
      const int b = static_cast<int>(w * 32) + std::countr_zero(bits);
      if (b >= N_BUSES) return;
      // The code is read now: an earlier re-selection of this record may have changed it.
      const int code = static_cast<i16>(live.code[b]);
      if (code < 0 || code > 767 || code >> 8 != panel || (code & 0xFF) != button) continue;
      selectSource(b, source);
    }
  }
}

void CategoryBus::setOption(int flip) {
  if (flip != 0 && flip != 1) return;
  KzifBus& r = records_[0];
  if (r.flip == flip) return;
  r.flip = static_cast<u8>(flip);
  r.mask |= KzifBus::FLIP_BIT;
  markShareChanged();
}

bool CategoryBus::outputKeepsMeOutOfLoop(int k) const {
  if (k == me_) return false;
  rebuildStaleReentryRows();
  if (reentryTable()[static_cast<std::size_t>(k)][static_cast<std::size_t>(me_)]) return false;
  return !feedsInto(me_, k, 0);
}

void CategoryBus::markReentryRowStale() { staleReentryRows() = static_cast<u8>(staleReentryRows() | 1u << me_); }

void CategoryBus::rebuildStaleReentryRows() {
  while (const u8 stale = staleReentryRows()) {
    const int me = std::countr_zero(static_cast<unsigned>(stale));
    staleReentryRows() = static_cast<u8>(stale & ~(1u << me));
    if (CategoryBus* bus = busOf(me)) bus->rebuildReentryRow();
  }
}

void CategoryBus::rebuildReentryRow() {
  staleReentryRows() = static_cast<u8>(staleReentryRows() & ~(1u << me_));
  const auto* xpt = BP::instance().find<CategoryXpt>();
  ReentryInputs& in = reentryInputs_;
  const KzifBus& r = records_[0];
  std::array<u32, 3> generation{};
  if (xpt != nullptr)
    for (int p = 0; p < 3; ++p) generation[static_cast<std::size_t>(p)] = xpt->tableGeneration(p);
  // The buses to resolve again: those whose code changed, and those selecting a button of a panel
  // whose table changed. A direct code resolves through nothing.
  u32 stale = 0;
  if (!in.valid || in.xpt != xpt) {
    stale = (1u << (BUS_LOOP_CHECKED_LAST + 1)) - 1;
    in.outputMe.fill(-1);
    in.carriedBy.fill(0);
  } else {
    // Four codes at a time: a row is rebuilt after every selection on these buses.
    constexpr int CODES_PER_WORD = 4;
    static_assert(sizeof in.code == 3 * sizeof(u64) && sizeof(u16) * CODES_PER_WORD == sizeof(u64));
    std::array<u64, 3> was;
    std::array<u64, 3> now;
    std::memcpy(was.data(), in.code.data(), sizeof was);
    std::memcpy(now.data(), r.code, sizeof now);
    for (int w = 0; w < 3; ++w) {
      if (was[static_cast<std::size_t>(w)] == now[static_cast<std::size_t>(w)]) continue;
      for (int b = CODES_PER_WORD * w; b < CODES_PER_WORD * (w + 1); ++b)
        stale |= static_cast<u32>(in.code[static_cast<std::size_t>(b)] != r.code[b]) << b;
    }
    if (generation != in.xptGeneration) {
      for (int b = 0; b <= BUS_LOOP_CHECKED_LAST; ++b) {
        const int v = static_cast<i16>(in.code[static_cast<std::size_t>(b)]);
        const int panel = v >> 8;
        if (0 <= v && panel < 3 && generation[static_cast<std::size_t>(panel)] != in.xptGeneration[static_cast<std::size_t>(panel)])
          stale |= 1u << b;
      }
    }
  }
  in.xpt = xpt;
  in.xptGeneration = generation;
  in.valid = true;
  if (stale == 0) return;  // only this M/E writes its row, and nothing it was built from moved
  for (u32 bits = stale; bits != 0; bits &= bits - 1) {
    const auto b = static_cast<std::size_t>(std::countr_zero(bits));
    in.code[b] = r.code[b];
    if (const int was = in.outputMe[b]; was >= 0) --in.carriedBy[static_cast<std::size_t>(was)];
    const int k = meOfOutput(getSource(static_cast<int>(b)));
    in.outputMe[b] = static_cast<i8>(k);
    if (k >= 0) ++in.carriedBy[static_cast<std::size_t>(k)];
  }
  auto& row = reentryTable()[static_cast<std::size_t>(me_)];
  for (int k = 0; k < N_ME; ++k) row[static_cast<std::size_t>(k)] = in.carriedBy[static_cast<std::size_t>(k)] != 0 ? 1 : 0;
}

int CategoryBus::lastOwnBus() const { return me_ == 0 ? BUS_LAST : me_ == 1 ? BUS_DSK4_KEY : BUS_LOOP_CHECKED_LAST; }

void CategoryBus::update() {
  setMeContext(KZ_CONTEXT_ME1 + me_);
  if ((freshBuses_[0] & LOOP_CHECKED_BUSES) != 0) markReentryRowStale();
  followLink();
  applyBuses();
  updateLamps();
  // The transition status has no type id and no field step of its own; it reports M/E 0's AUX
  // mixers, so it is handed them right after they step.
  if (me_ == 0) CategoryTransitionStatus::get().update(auxMix_);
}

void CategoryBus::followLink() {
  // A field without a changed bus follows nothing.
  const auto* link = (freshBuses_[0] | freshBuses_[1] | freshBuses_[2]) != 0 ? BP::instance().find<CategorySourceLink>() : nullptr;
  bool skipped = false;
  if (link) {
    const int direction = link->direction();
    // Only the changed buses, in ascending order. What a follow changes in the pass is a
    // follower, which leads nothing in the same direction, so the set taken here is the whole
    // work of the pass.
    // Only this M/E's own buses from the first keyer's fill on are followed here.
    static constexpr std::array<std::array<u32, KzifBus::N_MASK_WORDS>, 3> OWN_FOLLOWED = {
        busesFromTo(BUS_KEY1_FILL, BUS_LAST), busesFromTo(BUS_KEY1_FILL, BUS_DSK4_KEY),
        busesFromTo(BUS_KEY1_FILL, BUS_LOOP_CHECKED_LAST)};
    const auto& own = OWN_FOLLOWED[me_ == 0 ? 0 : me_ == 1 ? 1 : 2];
    std::array<u32, KzifBus::N_MASK_WORDS> fresh = freshBuses_;
    for (std::size_t w = 0; w < fresh.size(); ++w) fresh[w] &= LEADERS[direction == 0 ? 0 : 1][w] & own[w];
    for (std::size_t w = 0; w < fresh.size(); ++w) {
      for (u32 bits = fresh[w]; bits != 0; bits &= bits - 1) {
        const int b = static_cast<int>(w * 32) + std::countr_zero(bits);
        const int follower = followerOf(b, direction, *link);
        if (follower < 0) continue;
        if (linkSuppress_) {
          skipped = true;
          continue;
        }
        selectLinked(*link, b, follower);
      }
    }
  }
  if (linkSuppress_ && !skipped) linkSuppress_ = 0;
}

void CategoryBus::selectLinked(const CategorySourceLink& link, int from, int to) {
  const int linked = link.linkedSource(getSource(from));
  if (linked < 0) return;
  selectSource(to, linked);  // refuses "no link" (0) and what the bus does not take
}

int CategoryBus::routeAgain(int b) {
  const u16 code = records_[0].code[b];
  const int v = static_cast<i16>(code);
  u32 generation = 0;
  if (0 <= v && v < BUS_CODE_SOURCE_BASE)
    if (const auto* xpt = BP::instance().find<CategoryXpt>()) generation = xpt->tableGeneration(v >> 8);
  RoutedBus& r = routed_[static_cast<std::size_t>(b)];
  if (r.held && r.code == code && r.generation == generation) return r.kz;
  r = RoutedBus{code, true, v >= BUS_CODE_SOURCE_BASE, generation, sourceToKz(sourceOfCode(code))};
  return r.kz;
}

void CategoryBus::applyBuses() {
  if (validateBuses()) markReentryRowStale();
  applyAbBuses();
  setMeInput(KZ_UTIL1, routedKz(BUS_UTIL1));
  setMeInput(KZ_UTIL2, routedKz(BUS_UTIL2));
  if (me_ == 0) applyMeZeroOutputs();
}

bool CategoryBus::validateBuses() {
  KzifBus& r = records_[0];
  const auto* xpt = BP::instance().find<CategoryXpt>();
  ValidatedCodes& v = validated_;
  static_assert(sizeof v.code == sizeof r.code);
  auto tablesStand = [&] {
    if (v.xpt != xpt) return false;
    for (int p = 0; p < 3; ++p)
      if (((v.panels >> p) & 1u) != 0 && v.xptGeneration[static_cast<std::size_t>(p)] != xpt->tableGeneration(p)) return false;
    return true;
  };
  if (v.valid && std::memcmp(v.code.data(), r.code, sizeof r.code) == 0 && tablesStand()) return false;
  bool loopBusChanged = false;
  u8 panels = 0;
  const int last = lastOwnBus();
  for (int first = 0; first <= last; first += 32) {
    const int count = last + 1 - first < 32 ? last + 1 - first : 32;
    const u32 every = count == 32 ? 0xFFFFFFFFu : (1u << count) - 1;
    // The buses the direct code table does not pass, one by one.
    for (u32 bits = every & ~allowedDirectCodes(r.code, first, count); bits != 0; bits &= bits - 1) {
      const int b = first + std::countr_zero(bits);
      if (checkCode(b, r.code[b]).allowed) {
        const int code = static_cast<i16>(r.code[b]);
        if (0 <= code && code < BUS_CODE_SOURCE_BASE && (code >> 8) < 3) panels = static_cast<u8>(panels | 1u << (code >> 8));
        continue;
      }
      r.code[b] = BUS_CODE_BLACK;
      takeBusChange(b);
      loopBusChanged = loopBusChanged || isLoopChecked(b);
    }
  }
  std::memcpy(v.code.data(), r.code, sizeof r.code);
  v.xpt = xpt;
  for (int p = 0; p < 3; ++p) v.xptGeneration[static_cast<std::size_t>(p)] = xpt != nullptr ? xpt->tableGeneration(p) : 0;
  v.panels = panels;
  v.valid = true;
  return loopBusChanged;
}

void CategoryBus::applyAbBuses() {
  setMeInput(KZ_ABUS, routedKz(BUS_A));
  setMeInput(KZ_BBUS, routedKz(BUS_B));

  // A completed background transition turns the end flag over: the other bus is on programme.
  const AutoTransition& bkgdTrans = CategoryFaderEvent::get().transition(bkgdTransIndex[static_cast<std::size_t>(me_)]);
  const int flip = bkgdTrans.endFlag < 0 ? 1 : 0;
  auto* bkgd = BP::instance().find<CategoryBkgd>(me_);
  if (flip != records_[0].flip) {
    setOption(flip);
    if (bkgd) bkgd->flipHook();
  }
  if (bkgd) bkgd->takePendingFlip();

  const int current = records_[0].flip;
  switch (busRowSetting(me_)) {
    case 1: rowSwap_ = current == 1 ? 1 : 0; break;
    case 2: rowSwap_ = current > 1 ? 0 : static_cast<u8>(1 - current); break;
    default: rowSwap_ = 0; break;
  }
}

void CategoryBus::applyMeZeroOutputs() {
  runAuxMix();
  for (int b = BUS_AUX5; b <= BUS_AUX16; ++b) setAuxInput(KZ_AUX1 + 2 * (b - BUS_AUX1), routedKz(b));
  setAuxInput(KZ_EXT_OUT1, routedKz(BUS_EXT_OUT1));
  setAuxInput(KZ_EXT_OUT1 + 1, routedKz(BUS_EXT_OUT1 + 1));
  if (!CategoryExtendedDisplay::get().ownsOutput()) setAuxInput(KZ_EXT_OUT_LAST, routedKz(BUS_EXT_OUT3));
}

// AUX 1..4: M/E 0 drives the mixers; the other M/Es step their channels with M/E 0's selection.
void CategoryBus::runAuxMix() {
  const FieldPace pace = fieldPace();
  const KzifOperate* op = operateSettings();
  std::array<CategoryBus*, N_ME> buses;
  for (int me = 0; me < N_ME; ++me) buses[static_cast<std::size_t>(me)] = busOf(me);
  for (int n = 0; n < 4; ++n) {
    const int frames = auxMixFrames(op, n);
    const int source = getSource(BUS_AUX1 + n);
    for (CategoryBus* bus : buses) {
      if (!bus) continue;
      bus->auxMix_.setDuration(n, frames);
      bus->auxMix_.update(n, source, pace.videoFormat, pace.fieldOne);
    }
    const AuxMix::Sources s = auxMix_.sources(n);
    setAuxInput(KZ_AUX1 + 2 * n, sourceToKz(s.to));
    setAuxInput(KZ_AUX1 + 2 * n + 1, sourceToKz(s.from));
    setAuxTransition(KZ_AUX1 + 2 * n, s.position, 0);
  }
}

}  // namespace category

void initCategoryBus() { static category::CategoryBus buses[N_ME]; }
