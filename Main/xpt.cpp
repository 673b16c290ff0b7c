#include "Main/xpt.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "Common/positions.h"
#include "Main/bp.h"
#include "Main/bus.h"
#include "Main/source_ids.h"

KZ_SOURCE("Main/xpt");

namespace {

constexpr u32 ALL_BUTTONS = 0xFFFFFFFFu;

// A button may carry the outputs of M/E 0 and 1 and the first 16 AUX buses; 290 and 291 are
// stored and reported without a meaning of their own here.
constexpr int XPT_ME_OUTPUT_LAST = SOURCE_ME_OUTPUT_FIRST + 2 * SOURCE_OUTPUTS_PER_ME - 1;
constexpr int XPT_AUX_LAST = SOURCE_AUX_FIRST + 15;
constexpr int XPT_CARRIED_1 = 290;
constexpr int XPT_CARRIED_2 = 291;

}  // namespace

namespace {

constexpr bool acceptedXptValue(int v) {
  auto within = [v](int first, int last) { return first <= v && v <= last; };
  return within(SOURCE_SDI_FIRST, SOURCE_SDI_ROUTED_LAST) || v == SOURCE_DVI_1 || v == SOURCE_DVI_2 ||
         within(SOURCE_ME_OUTPUT_FIRST, XPT_ME_OUTPUT_LAST) || within(SOURCE_DSK_OUTPUT_FIRST, SOURCE_DSK_OUTPUT_LAST) ||
         within(SOURCE_STILL_BASE, SOURCE_STILL_LAST) || within(SOURCE_CLIP_BASE, SOURCE_CLIP_LAST) ||
         within(SOURCE_COLOR_BKGD_1, SOURCE_BLACK) || within(SOURCE_MULTIVIEW_FIRST, SOURCE_MULTIVIEW_LAST) ||
         within(SOURCE_AUX_FIRST, XPT_AUX_LAST) || v == XPT_CARRIED_1 || v == XPT_CARRIED_2 ||
         v == KzifXptAssign::FUNCTION_A || v == KzifXptAssign::FUNCTION_B || v == KzifXptAssign::UNASSIGNED;
}

// The accepted values as a bit table: a full table's record asks 192 times. Bit XPT_VALUE_LIMIT
// is clear and stands for every value outside the table, so that a look-up needs no branch.
constexpr int XPT_VALUE_LIMIT = KzifXptAssign::UNASSIGNED + 1;
constexpr auto ACCEPTED_XPT_VALUES = [] {
  std::array<u32, XPT_VALUE_LIMIT / 32 + 1> bits{};
  for (int v = 0; v < XPT_VALUE_LIMIT; ++v)
    if (acceptedXptValue(v)) bits[static_cast<std::size_t>(v / 32)] |= 1u << (v % 32);
  return bits;
}();
static_assert(!acceptedXptValue(-1) && !acceptedXptValue(XPT_VALUE_LIMIT), "the table covers every accepted value");

u32 acceptedByTable(int v) {
  const unsigned u = std::min(static_cast<unsigned>(v), static_cast<unsigned>(XPT_VALUE_LIMIT));
  return (ACCEPTED_XPT_VALUES[u / 32] >> (u % 32)) & 1u;
}

// For an accepted value, the last value of the run of accepted values it begins or lies in; -1 for
// a value that is refused. Values lo..hi are all accepted when lo is and its run reaches hi.
constexpr auto ACCEPTED_RUN_END = [] {
  std::array<i16, XPT_VALUE_LIMIT> end{};
  i16 last = -1;
  for (int v = XPT_VALUE_LIMIT - 1; v >= 0; --v) {
    if (!acceptedXptValue(v)) {
      last = -1;
    } else if (last < 0) {
      last = static_cast<i16>(v);
    }
    end[static_cast<std::size_t>(v)] = last;
  }
  return end;
}();

// Which of 32 buttons' values are accepted, and which are function values.
struct WordValues {
  u32 accepted = 0;
  u32 function = 0;
};

// A whole table is the common record, and its values mostly lie in one run of sources: the lowest
// and highest of the 32 values (which the compiler works out several at a time) then settle them
// all at once. Any other word is looked at value by value.
WordValues judgeWord(const i16* values) {
  static_assert(KzifXptAssign::FUNCTION_B == KzifXptAssign::FUNCTION_A + 1);
  i16 lo = values[0], hi = values[0];
  for (int i = 0; i < 32; ++i) {
    lo = std::min(lo, values[i]);
    hi = std::max(hi, values[i]);
  }
  const bool noFunction = hi < KzifXptAssign::FUNCTION_A || lo > KzifXptAssign::FUNCTION_B;
  if (noFunction && 0 <= lo && hi < XPT_VALUE_LIMIT && ACCEPTED_RUN_END[static_cast<std::size_t>(lo)] >= hi)
    return {0xFFFFFFFFu, 0};
  WordValues w;
  for (int i = 0; i < 32; ++i) {
    const int value = values[i];
    w.accepted |= acceptedByTable(value) << i;
    w.function |= static_cast<u32>(static_cast<unsigned>(value - KzifXptAssign::FUNCTION_A) < 2u) << i;
  }
  return w;
}

}  // namespace

bool isAcceptedXptValue(int v) { return acceptedByTable(v) != 0; }

namespace category {

namespace {

using ButtonSet = std::array<u32, KzifXptAssign::N_MASK_WORDS>;

bool inSet(const ButtonSet& set, int b) { return (set[static_cast<std::size_t>(b / 32)] >> (b % 32)) & 1u; }

bool columnSelected(const ButtonSet& set, int column) {
  for (int row = 0; row < 4; ++row)
    if (inSet(set, column + row * KzifXptAssign::N_COLUMNS)) return true;
  return false;
}

// The buttons of a panel that some bus of some M/E selects by crosspoint code, and per M/E the
// buses holding such a code. A re-selection only turns such codes into direct ones, and mirrors
// only direct codes, so what is found before a record still covers every bus that a request of
// that record can move: a request for any other button finds no bus, and the scan of the buses
// is spared.
struct SelectedByBuses {
  ButtonSet buttons{};
  std::array<CategoryBus::BusSet, N_ME> buses{};
};

constexpr int CODES_PER_WORD = 4;
constexpr u64 LANES_LOW8 = 0x00FF00FF00FF00FFull;
constexpr u64 LANES_C0 = 0x00C000C000C000C0ull;
constexpr u64 LANES_40 = 0x0040004000400040ull;
constexpr u64 LANES_BIT8 = 0x0100010001000100ull;
constexpr u64 LANES_BIT10 = 0x0400040004000400ull;
static_assert(3 << 8 <= 0x400, "every panel's button codes lie below bit 10");
static_assert(sizeof(u16) * CODES_PER_WORD == sizeof(u64));
static_assert(KzifXptAssign::N_BUTTONS == 0xC0, "a button code's low byte is below 0xC0");

SelectedByBuses buttonsSelectedByBuses(int panel) {
  SelectedByBuses found;
  for (int me = 0; me < N_ME; ++me) {
    const CategoryBus* bus = BP::instance().find<CategoryBus>(me);
    if (bus == nullptr) continue;
    const KzifBus& r = bus->record(0);
    auto note = [&](int b) {
      const int code = static_cast<i16>(r.code[b]);
      // A code of this panel's buttons lies in panel * 256 + 0..191.
      if (static_cast<unsigned>(code - (panel << 8)) >= static_cast<unsigned>(KzifXptAssign::N_BUTTONS)) return;
      found.buttons[static_cast<std::size_t>((code & 0xFF) / 32)] |= 1u << (code & 31);
      found.buses[static_cast<std::size_t>(me)][static_cast<std::size_t>(b / 32)] |= 1u << (b % 32);
    };
    // Four codes at a time: in each 16-bit lane, bit 8 is left set when the high byte is the
    // panel and the low byte below 0xC0, which is a code of this panel's buttons, and only those
    // lanes are looked at.
    const u64 panelLanes = static_cast<u64>(panel) * 0x0001000100010001ull;
    auto ofPanel = [&](u64 four) {
      const u64 otherPanel = (((four >> 8) & LANES_LOW8) ^ panelLanes) + LANES_LOW8;
      const u64 pastButtons = (four & LANES_C0) + LANES_40;
      return ~(otherPanel | pastButtons) & LANES_BIT8;
    };
    constexpr bool LOW_LANE_FIRST = std::endian::native == std::endian::little;
    auto noteLanes = [&](int from, u64 lanes) {
      for (; lanes != 0; lanes &= lanes - 1) {
        const int lane = std::countr_zero(lanes) / 16;
        note(from + (LOW_LANE_FIRST ? lane : CODES_PER_WORD - 1 - lane));
      }
    };
    // Eight codes are passed over at once when neither four holds one. Most hold direct codes,
    // whose bit 10 is set (so is a negative code's), while a button's code lies below 0x300: eight
    // such codes are passed over on that bit alone.
    int b = 0;
    for (; b + 2 * CODES_PER_WORD <= N_BUSES; b += 2 * CODES_PER_WORD) {
      u64 four[2];
      std::memcpy(four, &r.code[b], sizeof four);
      if ((four[0] & four[1] & LANES_BIT10) == LANES_BIT10) continue;
      const u64 first = ofPanel(four[0]);
      const u64 second = ofPanel(four[1]);
      if ((first | second) == 0) continue;
      noteLanes(b, first);
      noteLanes(b + CODES_PER_WORD, second);
    }
    for (; b < N_BUSES; ++b) note(b);
  }
  return found;
}

}  // namespace

CategoryXpt& CategoryXpt::get() { return BP::instance().require<CategoryXpt>(); }

// Every start attaches the storage anew; the flags derived from the old records go with them, as
// they would with the object at a power cycle.
std::size_t CategoryXpt::attachBackup(u8* p) {
  for (auto& panel : columnFlags_) panel.fill(0);
  firstRowButtonValid_.fill(0);
  return CategoryCommon::attachBackup(p);
}

void CategoryXpt::initIndex(int, int) {
  for (int p = 0; p < N_CHANNELS; ++p) {
    KzifXptAssign& r = records_[p];
    for (i16& s : r.source) s = KzifXptAssign::UNASSIGNED;
    for (u32& m : r.buttonMask) m = ALL_BUTTONS;
    rec::stamp(r, me_, p);
    updateColumnFlags(p);
  }
}

void CategoryXpt::restore(const u8* stored) {
  CategoryCommon::restore(stored);
  for (int p = 0; p < N_CHANNELS; ++p) {
    for (u32& m : records_[p].buttonMask) m = ALL_BUTTONS;
    // A warm start must resolve function columns as the cold start that built the table did.
    updateColumnFlags(p);
  }
}

void CategoryXpt::assign(const KzifXptAssign& in, int panel) {
  if (panel < 0 || panel >= N_CHANNELS) return;  // no such panel: ignored, like its events
  KzifXptAssign& live = records_[panel];
  // The buttons taken wait here, their values in `in`: the buses are told each button's value
  // before this record, for every button of the record, whatever came earlier in it.
  std::array<u32, KzifXptAssign::N_MASK_WORDS> takenMask{};
  const SelectedByBuses selected = buttonsSelectedByBuses(panel);
  // Without an observer, a request for a button that no bus selects has nothing to move.
  const bool watched = observer_ != nullptr;
  auto request = [&](int me, int button, int source) {
    if (observer_) observer_(me, button, source, panel);
    if (!inSet(selected.buttons, button)) return;
    if (auto* bus = BP::instance().find<CategoryBus>(me))
      bus->onXptChanged(button, source, panel, selected.buses[static_cast<std::size_t>(me)]);
  };

  // A mask word at a time: which of its 32 buttons carry an accepted value and which a function
  // value, then the requests for those of them that some bus may use, in button order.
  for (int w = 0; w < KzifXptAssign::N_MASK_WORDS; ++w) {
    const u32 marks = in.buttonMask[w];
    if (marks == 0) continue;
    const auto [accepted, function] = judgeWord(&in.source[32 * w]);
    const u32 taken = marks & accepted;
    takenMask[static_cast<std::size_t>(w)] = taken;
    const u32 asking = watched ? taken : taken & (function | selected.buttons[static_cast<std::size_t>(w)]);
    for (u32 rest = asking; rest != 0; rest &= rest - 1) {
      const int b = 32 * w + std::countr_zero(rest);
      if ((function >> (b % 32)) & 1u) {
        // The button turns its whole column into function buttons: every bus that used one of the
        // column's row buttons keeps its picture.
        const int column = b % KzifXptAssign::N_COLUMNS;
        if (watched || columnSelected(selected.buttons, column)) {
          for (int me = 0; me < N_ME; ++me) {
            for (int row = 0; row < 4; ++row) {
              const int button = column + row * KzifXptAssign::N_COLUMNS;
              request(me, button, live.source[button]);
            }
          }
        }
      } else {
        for (int me = 0; me < N_ME; ++me) request(me, b, live.source[b]);
      }
    }
  }

  rec::merge(live, in);  // option only: the buttons are not merged by the field list
  // A taken button holds the record's value; a word whose 32 buttons were all taken is copied
  // whole, as a full table is the common record.
  bool tableChanged = false;
  for (int w = 0; w < KzifXptAssign::N_MASK_WORDS; ++w) {
    const u32 took = takenMask[static_cast<std::size_t>(w)];
    if (took == ALL_BUTTONS) {
      tableChanged = tableChanged || std::memcmp(&live.source[32 * w], &in.source[32 * w], 32 * sizeof(i16)) != 0;
      std::memcpy(&live.source[32 * w], &in.source[32 * w], 32 * sizeof(i16));
    } else {
      for (u32 rest = took; rest != 0; rest &= rest - 1) {
        const int b = 32 * w + std::countr_zero(rest);
        tableChanged = tableChanged || live.source[b] != in.source[b];
        live.source[b] = in.source[b];
      }
    }
    live.buttonMask[w] |= took;
  }
  rec::stamp(live, me_, panel);
  changed_[static_cast<std::size_t>(panel)] = 1;
  markShareChannel(panel);
  // What is derived from the table (and whoever keeps what they derived by its generation) holds
  // as long as no value moved.
  if (tableChanged) updateColumnFlags(panel);
}

void CategoryXpt::sendChanges(AcknowledgeSender& tx) {
  for (int p = 0; p < N_CHANNELS; ++p) {
    if (tx.backlogged()) return;  // the changes stay pending until the backlog drains
    sendPanel(tx, p);
  }
}

// The per-button mask words are pending-change marks too, which the framework's send does not
// know of: they are tested and cleared here with the record's own mask.
void CategoryXpt::sendPanel(AcknowledgeSender& tx, int panel) {
  KzifXptAssign& r = records_[panel];
  bool pending = changed_[static_cast<std::size_t>(panel)] != 0 || r.mask != 0;
  for (u32 m : r.buttonMask) pending = pending || m != 0;
  if (!pending) return;
  rec::stamp(r, me_, panel);
  tx.writeRecord(r);  // a failed write is logged by the sender; the change is not kept
  r.mask = 0;
  for (u32& m : r.buttonMask) m = 0;
  changed_[static_cast<std::size_t>(panel)] = 0;
  markShareChannel(panel);
}

bool CategoryXpt::isFunctionColumn(int panel, int button, u32 mask) const {
  assert::check(positions::XPT_SOURCE, positions::XPT_PANEL, "0 <= panel && panel < 3", 0 <= panel && panel < 3);
  if (mask == 0 || button < 0 || button >= KzifXptAssign::N_ROW_BUTTONS) return false;
  return (columnFlags_[static_cast<std::size_t>(panel)][static_cast<std::size_t>(button % KzifXptAssign::N_COLUMNS)] &
          mask) != 0;
}

void CategoryXpt::updateColumnFlags(int panel) {
  KZ_CHECK(0 <= panel && panel < N_CHANNELS);
  ++tableGeneration_[static_cast<std::size_t>(panel)];
  ++anyTableGeneration_;
  const KzifXptAssign& r = records_[panel];
  auto& flagsOf = columnFlags_[static_cast<std::size_t>(panel)];
  // Most tables have no function button in their rows: then no column is flagged, which the lowest
  // and highest row value (worked out several at a time) tell without a look at each column.
  i16 lo = r.source[0], hi = r.source[0];
  for (int b = 0; b < KzifXptAssign::N_ROW_BUTTONS; ++b) {
    lo = std::min(lo, r.source[b]);
    hi = std::max(hi, r.source[b]);
  }
  const bool anyFunction = hi >= KzifXptAssign::FUNCTION_A && lo <= KzifXptAssign::FUNCTION_B;
  if (anyFunction) {
    for (int c = 0; c < KzifXptAssign::N_COLUMNS; ++c) {
      // The first row of the column with a function value decides: walked from the last row up,
      // so that every row is a select rather than a branch.
      u32 flags = 0;
      for (int row = 3; row >= 0; --row) {
        const int v = r.source[c + row * KzifXptAssign::N_COLUMNS];
        flags = v == KzifXptAssign::FUNCTION_A ? COLUMN_FUNCTION_A : v == KzifXptAssign::FUNCTION_B ? COLUMN_FUNCTION_B : flags;
      }
      flagsOf[static_cast<std::size_t>(c)] = flags;
    }
  } else {
    flagsOf.fill(0);
  }
  // Mapped again when first asked for: a table may change several times between two look-ups.
  firstRowButtonValid_[static_cast<std::size_t>(panel)] = 0;
}

void CategoryXpt::mapFirstRowButtons(int panel) const {
  const auto p = static_cast<std::size_t>(panel);
  const i16* values = records_[panel].source;
  auto& first = firstRowButton_[p];
  first.fill(-1);
  // From the last button down, so that the first one holding a value is the one left; a row at a
  // time, so that each button's column is its place in the row.
  const auto& flags = columnFlags_[p];
  for (int row = 3; row >= 0; --row) {
    for (int c = KzifXptAssign::N_COLUMNS - 1; c >= 0; --c) {
      const int b = row * KzifXptAssign::N_COLUMNS + c;
      const unsigned v = static_cast<unsigned>(values[b]);
      if (v < static_cast<unsigned>(N_MAPPED_VALUES) && flags[static_cast<std::size_t>(c)] == 0)
        first[v] = static_cast<i8>(b);
    }
  }
  firstRowButtonValid_[p] = 1;
}

int CategoryXpt::firstRowButtonOf(int panel, int source) const {
  KZ_CHECK(0 <= panel && panel < N_CHANNELS);
  if (source < 0) return -1;
  const auto p = static_cast<std::size_t>(panel);
  if (source < N_MAPPED_VALUES) {
    if (!firstRowButtonValid_[p]) mapFirstRowButtons(panel);
    return firstRowButton_[p][static_cast<std::size_t>(source)];
  }
  // A value no button may hold can still come from a damaged image: it is searched for.
  const i16* values = records_[panel].source;
  for (int b = 0; b < KzifXptAssign::N_ROW_BUTTONS; ++b)
    if (values[b] == source && columnFlags_[p][static_cast<std::size_t>(b % KzifXptAssign::N_COLUMNS)] == 0) return b;
  return -1;
}

const std::array<u32, KzifXptAssign::N_COLUMNS>& CategoryXpt::panelColumnFlags(int panel) const {
  KZ_CHECK(0 <= panel && panel < N_CHANNELS);
  return columnFlags_[static_cast<std::size_t>(panel)];
}

u32 CategoryXpt::columnFlags(int panel, int column) const {
  KZ_CHECK(0 <= panel && panel < N_CHANNELS);
  KZ_CHECK(0 <= column && column < KzifXptAssign::N_COLUMNS);
  return columnFlags_[static_cast<std::size_t>(panel)][static_cast<std::size_t>(column)];
}

}  // namespace category

void initCategoryXpt() { static category::CategoryXpt xpt; }
