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
constexpr u64 LANES_LOW6 = 0x003F003F003F003Full;
constexpr u64 LANES_BIT6 = 0x0040004000400040ull;
static_assert(sizeof(u16) * CODES_PER_WORD == sizeof(u64));

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
    int b = 0;
    for (; b + CODES_PER_WORD <= N_BUSES; b += CODES_PER_WORD) {
      // Most buses hold a direct code (1024 and up) or none (-1), both with one of bits 10..15
      // set: four codes at a time are passed over when none of them is a button code.
      u64 four;
      std::memcpy(&four, &r.code[b], sizeof four);
      const u64 high = (four >> 10) & LANES_LOW6;  // bits 10..15 of each code, 0..63
      if (((high + LANES_LOW6) & LANES_BIT6) == LANES_BIT6) continue;
      for (int k = 0; k < CODES_PER_WORD; ++k) note(b + k);
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
    u32 accepted = 0;
    u32 function = 0;
    for (int i = 0; i < 32; ++i) {
      const int value = in.source[32 * w + i];
      accepted |= acceptedByTable(value) << i;
      static_assert(KzifXptAssign::FUNCTION_B == KzifXptAssign::FUNCTION_A + 1);
      function |= static_cast<u32>(static_cast<unsigned>(value - KzifXptAssign::FUNCTION_A) < 2u) << i;
    }
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
  for (int w = 0; w < KzifXptAssign::N_MASK_WORDS; ++w) {
    const u32 took = takenMask[static_cast<std::size_t>(w)];
    if (took == ALL_BUTTONS) {
      std::memcpy(&live.source[32 * w], &in.source[32 * w], 32 * sizeof(i16));
    } else {
      for (u32 rest = took; rest != 0; rest &= rest - 1) {
        const int b = 32 * w + std::countr_zero(rest);
        live.source[b] = in.source[b];
      }
    }
    live.buttonMask[w] |= took;
  }
  rec::stamp(live, me_, panel);
  changed_[static_cast<std::size_t>(panel)] = 1;
  markShareChannel(panel);
  updateColumnFlags(panel);
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

// Every bus holding a button code resolves through here, several times a field: the column test
// of isFunctionColumn is made in place.
int CategoryXpt::sourceOf(int panel, int button) const {
  assert::check(positions::XPT_SOURCE, positions::XPT_PANEL, "0 <= panel && panel < 3", 0 <= panel && panel < 3);
  // A code can name buttons 192..255, which no panel has: such a button selects nothing, rather
  // than borrowing button 0's source and putting an unrelated picture on the bus.
  if (button < 0 || button >= KzifXptAssign::N_BUTTONS) return -1;
  if (button < KzifXptAssign::N_ROW_BUTTONS &&
      (columnFlags_[static_cast<std::size_t>(panel)][static_cast<std::size_t>(button % KzifXptAssign::N_COLUMNS)] &
       (COLUMN_FUNCTION_A | COLUMN_FUNCTION_B)) != 0)
    return -1;
  return records_[panel].source[button];
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
  for (int c = 0; c < KzifXptAssign::N_COLUMNS; ++c) {
    // The first row of the column with a function value decides: walked from the last row up, so
    // that every row is a select rather than a branch.
    u32 flags = 0;
    for (int row = 3; row >= 0; --row) {
      const int v = r.source[c + row * KzifXptAssign::N_COLUMNS];
      flags = v == KzifXptAssign::FUNCTION_A ? COLUMN_FUNCTION_A : v == KzifXptAssign::FUNCTION_B ? COLUMN_FUNCTION_B : flags;
    }
    columnFlags_[static_cast<std::size_t>(panel)][static_cast<std::size_t>(c)] = flags;
  }
  auto& first = firstRowButton_[static_cast<std::size_t>(panel)];
  first.fill(-1);
  // From the last button down, so that the first one holding a value is the one left.
  for (int b = KzifXptAssign::N_ROW_BUTTONS - 1; b >= 0; --b) {
    const int v = r.source[b];
    if (0 <= v && v < N_MAPPED_VALUES &&
        columnFlags_[static_cast<std::size_t>(panel)][static_cast<std::size_t>(b % KzifXptAssign::N_COLUMNS)] == 0)
      first[static_cast<std::size_t>(v)] = static_cast<i8>(b);
  }
  firstRowButtonValid_[static_cast<std::size_t>(panel)] = 1;
}

int CategoryXpt::firstRowButtonOf(int panel, int source) const {
  KZ_CHECK(0 <= panel && panel < N_CHANNELS);
  if (source < 0) return -1;
  const auto p = static_cast<std::size_t>(panel);
  if (firstRowButtonValid_[p] && source < N_MAPPED_VALUES) return firstRowButton_[p][static_cast<std::size_t>(source)];
  // A value no button may hold can still come from a damaged image: it is searched for.
  const i16* values = records_[panel].source;
  for (int b = 0; b < KzifXptAssign::N_ROW_BUTTONS; ++b)
    if (values[b] == source && columnFlags_[p][static_cast<std::size_t>(b % KzifXptAssign::N_COLUMNS)] == 0) return b;
  return -1;
}

u32 CategoryXpt::columnFlags(int panel, int column) const {
  KZ_CHECK(0 <= panel && panel < N_CHANNELS);
  KZ_CHECK(0 <= column && column < KzifXptAssign::N_COLUMNS);
  return columnFlags_[static_cast<std::size_t>(panel)][static_cast<std::size_t>(column)];
}

}  // namespace category

void initCategoryXpt() { static category::CategoryXpt xpt; }
