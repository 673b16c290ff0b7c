// The panels' bus rows: the row buttons that select sources on the buses of an M/E, and the lamps
// of the rows, refreshed for one panel per field from the selections, the crosspoint table, the
// rows' delegation, tally and the AUX mixes. Also the custom AUX button table.
#include <algorithm>
#include <bit>
#include <cstring>
#include <type_traits>
#include <utility>

#include "Common/positions.h"
#include "Main/autotrans.h"
#include "Main/bp.h"
#include "Main/bus.h"
#include "Main/bus_status.h"
#include "Main/cp_config.h"
#include "Main/custominfo.h"
#include "Main/dsk.h"
#include "Main/faderevent.h"
#include "Main/led.h"
#include "Main/tally.h"
#include "Main/operate.h"
#include "Main/sources.h"
#include "Main/usk.h"
#include "Main/xpt.h"

KZ_SOURCE("Main/bus_rows");

using internal::KzifButtonEvent;

namespace {

constexpr int CODE_ALL_RELEASED = 3000;
constexpr int ROW_BUTTON_FIRST = 1100;
constexpr int ROW_BUTTON_LAST = 1291;
constexpr int N_PANELS_WITH_ROWS = 3;
constexpr int N_ROWS = 4;
constexpr int N_COLUMNS = KzifXptAssign::N_COLUMNS;  // buttons per page
constexpr int N_PAGES = 4;
constexpr int NO_BUS = -1;
constexpr float LEVEL_OFF = 1e-5f;

// Row buses the lamps leave alone: the panel shows something of its own on them.
constexpr bool isForeignRow(int rowBus) { return 102 <= rowBus && rowBus <= 109; }
// A row working on no bus of the array (255 is the usual "none").
constexpr bool isNoBusRow(int rowBus) { return rowBus > BUS_LAST && !isForeignRow(rowBus); }

// Crosspoint index of row button code 1100..1291: the second 48 codes of each 96 repeat the upper
// half of the first, so each code reaches the page pair it stands in.
constexpr int xptIndexOfButton(int b) { return b - N_COLUMNS * (b / 48); }
static_assert(xptIndexOfButton(0) == 0 && xptIndexOfButton(47) == 47 && xptIndexOfButton(48) == 24 &&
              xptIndexOfButton(96) == 48 && xptIndexOfButton(144) == 72 && xptIndexOfButton(191) == 119);

// M/E lamp codes.
constexpr int ROW_STATUS_LAMP[N_ROWS] = {451, 452, 450, 453};
constexpr int rowButtonLamp(int row, int column) { return 50 * row + column; }
// The lamp index of each row button in an M/E lamp record: the rows are lit every field.
constexpr auto ROW_BUTTON_LAMP_INDEX = [] {
  std::array<std::array<i16, KzifXptAssign::N_COLUMNS>, N_ROWS> index{};
  for (int r = 0; r < N_ROWS; ++r)
    for (int c = 0; c < N_COLUMNS; ++c) {
      const auto i = lampmap::ME_LED_TABLE[static_cast<std::size_t>(rowButtonLamp(r, c))];
      if (i < 0) throw "every row button has a lamp";
      index[static_cast<std::size_t>(r)][static_cast<std::size_t>(c)] = static_cast<i16>(i);
    }
  return index;
}();
// Each row's button lamps lie side by side, so that a row is lit as one run of lamps.
constexpr bool rowButtonLampsAreRuns() {
  for (const auto& row : ROW_BUTTON_LAMP_INDEX)
    for (int c = 0; c < N_COLUMNS; ++c)
      if (row[static_cast<std::size_t>(c)] != row[0] + c) return false;
  return true;
}
static_assert(rowButtonLampsAreRuns());
constexpr int LAMP_PANEL_FLAG1 = 222;
constexpr int LAMP_PANEL_FLAG4 = 224;
constexpr int LAMP_AUX_PAGE_BIT0 = 229;
constexpr int LAMP_AUX_PAGE_BIT1 = 230;
constexpr int PRESET_LAMP[KzifOperate::N_ENTRIES_PER_GROUP] = {208, 209, 210, 211, 220, 221};

// Rows delegated to a bus, lit on the panel for the row (group 0 or 1) that operates this M/E.
// The M/E's own buses 2..12 would light its lamps 208..211, 220 and 221, which are the preset
// lamps: the presets, lit after these every field, always have the last word, so they have no
// entry here.
struct Delegation {
  int bus;
  int lamp;
  int group;
  bool pair;
};
constexpr Delegation DELEGATIONS[] = {
    {13, 212, 0, true},  {15, 215, 0, false}, {16, 712, 1, true},  {18, 713, 1, true},  {20, 714, 1, true},
    {22, 715, 1, true},  {24, 200, 0, true},  {26, 201, 0, true},  {28, 202, 0, true},  {30, 203, 0, true},
    {32, 204, 0, true},  {34, 205, 0, true},  {36, 206, 0, true},  {38, 207, 0, true},
};

// Row codes of the operation entries: the bus a code puts a row on.
struct RowCode {
  int bus;
  int kind;
  bool pair;
};
constexpr int N_ROW_CODES = 19;  // 0 none, 1..18
constexpr RowCode ROW_CODES[N_ROW_CODES] = {
    {NO_BUS, 0, false}, {2, 1, true},   {4, 2, true},    {6, 3, true},    {8, 4, true},
    {0, 5, false},      {1, 6, false},  {10, 7, true},   {11, 8, true},   {12, 9, false},
    {16, 10, true},     {18, 11, true}, {20, 12, true},  {22, 13, true},  {22, 14, false},
    {102, 15, true},    {104, 16, true}, {106, 17, true}, {108, 18, true},
};
constexpr int KIND_UTILITY_2 = 8;
constexpr int KIND_BACKGROUND = 14;
// The row each of an entry's four codes is for.
constexpr int ROW_OF_SLOT[OperateCodes::SIZE] = {2, 3, 0, 1};

// Which pages a selection may be shown from: its own, or one the panel's shift keys reach (function
// mask bit 0: a key adding one page, bit 1: one adding two).
constexpr bool selectionShown(int page, int selectionPage, u32 functionMask) {
  if (page == selectionPage) return true;
  if ((functionMask & 1u) && ((page == 0 && selectionPage == 1) || (page == 2 && selectionPage == 3))) return true;
  if ((functionMask & 2u) && ((page == 0 && selectionPage == 2) || (page == 1 && selectionPage == 3))) return true;
  return functionMask == 3u && page == 0 && selectionPage < N_PAGES;
}

// Sub panels 1 and 2 light their bus rows once they have asked to; panel 0 always does.
std::array<u8, N_PANELS_WITH_ROWS>& panelActive() {
  static std::array<u8, N_PANELS_WITH_ROWS> active{1, 0, 0};
  return active;
}

// How much of a transition's picture is on air: the position, or 1 - position once a completed
// run has flipped the end flag (the rule of the keyers and the downstream keys).
float transitionLevel(const AutoTransition& t) { return t.endFlag < 0 ? 1.0f - t.position() : t.position(); }

}  // namespace

namespace category {

inline int CategoryBus::busOnAir(int me, int bus) {
  if (tallyReader_ != nullptr) return tallyReader_(me, bus) != 0 ? 1 : 0;
  const auto* tally = BP::instance().find<CategoryBusTally>(me);
  return tally != nullptr && tally->busTally(bus) != 0 ? 1 : 0;
}

// ------------------------------------------------------------------------------------------------
// Row buttons
// ------------------------------------------------------------------------------------------------

void CategoryBus::resetRows() {
  resetHeldButtons();
  lampPanel_ = 0;
  for (auto& panel : rowLampInputs_) panel.fill(RowLampInputs{});
  presetLamps_.fill(PresetLamps{});
  heldDelegation_.fill(HeldDelegation{});
  for (auto& columns : functionColumns_) columns.valid = false;
}

void CategoryBus::onButton(const KzifButtonEvent& btn) {
  // Every M/E gets this one, whatever row sent it.
  if (btn.code == CODE_ALL_RELEASED) {
    if (btn.state == 0) resetHeldButtons();
    return;
  }
  assert::check(positions::BUS_SOURCE, positions::BUS_BUTTON_ME, "btn.getMe() == getME()", btn.getMe() == me_);

  const int panel = btn.panel;
  const int rowBus = btn.bus;
  const int code = btn.code;
  if (panel >= N_PANELS_WITH_ROWS || rowBus > BUS_LAST) return;
  const bool rowButton = ROW_BUTTON_FIRST <= code && code <= ROW_BUTTON_LAST;
  HeldButtons& held = buttonHeld_[static_cast<std::size_t>(panel)][static_cast<std::size_t>(rowBus)];
  int button;
  if (btn.state == 1) {
    if (!rowButton) return;
    button = code - ROW_BUTTON_FIRST;
    held[static_cast<std::size_t>(button / 32)] |= 1u << (button % 32);
  } else if (btn.state == 0) {
    if (rowButton) {
      const int b = code - ROW_BUTTON_FIRST;
      held[static_cast<std::size_t>(b / 32)] &= ~(1u << (b % 32));
    }
    // Letting go of one of several buttons held goes back to the first still held.
    button = -1;
    for (std::size_t w = 0; w < held.size(); ++w) {
      if (held[w] == 0) continue;
      button = static_cast<int>(32 * w) + std::countr_zero(held[w]);
      break;
    }
    if (button < 0) return;
  } else {
    return;
  }

  int bus = rowBus;
  if ((bus == BUS_A || bus == BUS_B) && rowSwap_) bus = 1 - bus;
  selectByButton(bus, panel, xptIndexOfButton(button));
}

// Every start runs this over every M/E: one store of zeros over the whole table rather than one
// per panel and bus.
void CategoryBus::resetHeldButtons() {
  static_assert(std::is_trivially_copyable_v<decltype(buttonHeld_)> &&
                sizeof buttonHeld_ == sizeof(u32) * (N_ROW_BUTTONS / 32) * N_BUSES * 3);
  std::memset(static_cast<void*>(buttonHeld_.data()), 0, sizeof buttonHeld_);
}

bool CategoryBus::panelLampsActive(int panel) {
  return 0 <= panel && panel < N_PANELS_WITH_ROWS && panelActive()[static_cast<std::size_t>(panel)] != 0;
}

void CategoryBus::resetPanelLampActivation() { panelActive() = {1, 0, 0}; }

// ------------------------------------------------------------------------------------------------
// Row lamps
// ------------------------------------------------------------------------------------------------

// One field's lamps of one panel's rows of one M/E.
class BusRowLamps {
  static_assert(N_COLUMNS == CategoryBus::N_FUNCTION_COLUMNS);

 public:
  BusRowLamps(CategoryBus& bus, int panel)
      : bus_(bus),
        me_(bus.me_),
        panel_(panel),
        bp_(BP::instance()),
        meLed_(bp_.find<CategoryMeLed>(bus.me_)),
        led_(bp_.find<CategoryLed>()),
        xpt_(bp_.find<CategoryXpt>()),
        operate_(bp_.find<CategoryOperate>()),
        fader_(bp_.find<CategoryFaderEvent>()) {
    static const KzifBusStatus none = [] {
      KzifBusStatus s{};
      std::fill(std::begin(s.rowBus.bus), std::end(s.rowBus.bus), u8{255});
      return s;
    }();
    const CategoryBusStatus* status = bp_.find<CategoryBusStatus>(me_);
    status_ = status ? &status->record(panel) : &none;
    tally_ = CategoryBus::tallyReader_ == nullptr ? bp_.find<CategoryBusTally>(me_) : nullptr;
    readFunctionColumns();
    const auto* config = bp_.find<CategoryControlPanelConfig>();
    lampByFunction_ = config == nullptr || config->record(0).optionBlockA.value3 != 1;
  }

  void run() {
    delegationLamps();
    for (int r = 0; r < N_ROWS; ++r) rowStatusLamp(r);
    abLamps();
    for (int r = 0; r < N_ROWS; ++r) rowButtonLamps(r);
    presetLamps();
  }

 private:
  int rowBus(int r) const { return status_->rowBus.bus[r]; }
  int page(int r) const {
    const int p = status_->rowPage.page[r];
    return p < N_PAGES ? p : 0;
  }

  // Only a lamp whose state differs is written: the lamps step only what was written.
  void setMeLamp(int code, int state) {
    if (meLed_) meLed_->requestLamp(panel_ * CategoryMeLed::N_LED + meLedCodeToIndex(code), static_cast<u8>(state));
  }
  void setPanelLamp(int code, int state) {
    if (led_) led_->requestLamp(panel_ * CategoryLed::N_LED + ledCodeToIndex(code), static_cast<u8>(state));
  }

  // The panel's shift keys: which columns hold them and which of the two kinds it has at all.
  void readFunctionColumns() {
    if (!xpt_) return;
    u8 ignore300 = 0;
    u8 ignore301 = 0;
    if (operate_) {
      const KzifOperate::XptCodeOption& o = operate_->record(0).xptCodeOption;
      ignore300 = o.ignore300 == 1 ? 1 : 0;
      ignore301 = o.ignore301 == 1 ? 1 : 0;
    }
    CategoryBus::FunctionColumns& read = bus_.functionColumns_[static_cast<std::size_t>(panel_)];
    const u32 generation = xpt_->tableGeneration(panel_);
    xptGeneration_ = generation;
    if (!read.valid || read.xptGeneration != generation || read.ignore300 != ignore300 || read.ignore301 != ignore301) {
      read.flags = xpt_->panelColumnFlags(panel_);
      u32 mask = 0;
      for (u32 f : read.flags) mask |= f;
      mask &= CategoryXpt::COLUMN_FUNCTION_A | CategoryXpt::COLUMN_FUNCTION_B;
      if (ignore300) mask &= ~CategoryXpt::COLUMN_FUNCTION_A;
      if (ignore301) mask &= ~CategoryXpt::COLUMN_FUNCTION_B;
      read.mask = mask;
      for (u32& f : read.flags) f &= mask;
      read.xptGeneration = generation;
      read.ignore300 = ignore300;
      read.ignore301 = ignore301;
      read.valid = true;
    }
    functionMask_ = read.mask;
    columnFlags_ = &read.flags;
  }
  u32 columnFunction(int column) const { return columnFlags_ ? (*columnFlags_)[static_cast<std::size_t>(column)] : 0; }
  int sourceOfButton(int index) const { return xpt_ ? xpt_->sourceOf(panel_, index) : -1; }
  // The first button of the four pages that selects the source; -1 for none. A button of a
  // function column selects nothing, whatever it holds.
  int buttonOfSource(int source) const { return xpt_ ? xpt_->firstRowButtonOf(panel_, source) : -1; }

  // The bus tally of this M/E is looked up once a field; another M/E's where it is read.
  int onAir(int me, int bus) const {
    if (me != me_ || CategoryBus::tallyReader_ != nullptr) return CategoryBus::busOnAir(me, bus);
    return tally_ != nullptr && tally_->busTally(bus) != 0 ? 1 : 0;
  }
  int tallyLamp(int me, int bus) const { return onAir(me, bus) ? 1 : 2; }
  float level(int transition) const { return fader_ ? transitionLevel(fader_->transition(transition)) : 0.0f; }
  bool bkgdAtEnd() const { return fader_ && fader_->isBkgdTransAtEnd(me_) != 0; }
  bool auxMixRunning(int bus) const { return BUS_AUX1 <= bus && bus < BUS_AUX1 + 4 && bus_.auxMixActive(bus - BUS_AUX1); }

  // Whether the still or clip being recorded feeds the background of some M/E.
  bool mediaOnBackground(int bus) const {
    for (int m = 0; m < N_ME; ++m) {
      const CategoryBus* other = bp_.find<CategoryBus>(m);
      if (!other) continue;
      const int source = other->getSource(other->flip());
      if (mediaSourceKind(source) == bus && (isClipSourceSelected(source) || isStillSourceSelected(source))) return true;
    }
    return false;
  }

  // What a row working on bus b shows on its status lamp (A and B aside).
  int busStatus(int b) const {
    if (b < 0 || b > BUS_LAST || b == BUS_FREE || b == BUS_EXT_OUT3) return 0;
    if (BUS_KEY1_FILL <= b && b < BUS_UTIL1) {
      const int key = (b - BUS_KEY1_FILL) / 2;
      return level(keyTransIndex(me_, key)) < LEVEL_OFF ? 0 : tallyLamp(me_, b);
    }
    if (b == BUS_UTIL1 || b == BUS_UTIL2) return onAir(me_, b);
    if ((b == BUS_EXT_OUT1 || b == BUS_EXT_OUT1 + 1) && me_ == 0)
      return onAir(0, b) ? 1 : mediaOnBackground(b) ? 2 : 0;
    if (BUS_DSK1_FILL <= b && b <= BUS_DSK4_KEY) {
      const int dsk = (b - BUS_DSK1_FILL) / 2;
      return level(dskTransIndex(dsk)) < LEVEL_OFF ? 0 : tallyLamp(1, b);
    }
    if (BUS_USK1_FILL <= b && b <= BUS_USK4_KEY) {
      const int key = (b - BUS_USK1_FILL) / 2;
      const auto* assignment = bp_.find<CategoryUpStreamKeyAssign>();
      if (!assignment || assignment->isAssigned(key + 1) <= 0) return 0;
      return tallyLamp(0, BUS_USK1_FILL + 2 * key);
    }
    return tallyLamp(me_, b) + (auxMixRunning(b) ? 10 : 0);
  }

  // Step: the panel lamps of the delegated rows, when a row of this panel operates this M/E.
  void delegationLamps() {
    if (!operate_) return;
    const KzifOperate::PanelMe& rows = operate_->record(0).panelMe(panel_);
    int g = -1;
    for (int r = 0; r < N_ROWS; ++r)
      if (rows.me[r] == me_) g = r;
    if (g < 0) return;
    const int delegated = rowBus(2);
    const u8 flag1 = status_->flag1 == 1 ? 3 : 0;
    // The same lamps from the same row and group, with no lamp changed since they went out, are
    // each still requested as they would be again.
    CategoryBus::HeldDelegation& held = bus_.heldDelegation_[static_cast<std::size_t>(panel_)];
    if (held.valid && held.generation == lampRequestGeneration && held.group == g && held.delegated == delegated &&
        held.flag1 == flag1)
      return;
    held.valid = false;
    for (const Delegation& d : DELEGATIONS) {
      if (d.group != g) continue;
      setPanelLamp(d.lamp, delegated == d.bus ? 2 : d.pair && delegated == d.bus + 1 ? 3 : 0);
    }
    setMeLamp(LAMP_PANEL_FLAG1, flag1);
    held = {g, delegated, lampRequestGeneration, flag1, true};
  }

  void rowStatusLamp(int r) {
    const int b = rowBus(r);
    if (isForeignRow(b)) return;
    if (r < 2 && (b == BUS_A || b == BUS_B)) return;  // the A/B step lights these
    rowStatus_[static_cast<std::size_t>(r)] = busStatus(b);
    setMeLamp(ROW_STATUS_LAMP[r], rowStatus_[static_cast<std::size_t>(r)]);
  }

  void abLamps() {
    for (int r = 0; r < 2; ++r) {
      const int b = rowBus(r);
      if (b != BUS_A && b != BUS_B) continue;
      const int shown = bus_.rowSwap() ? 1 - r : r;
      const bool preset = shown != bus_.flip();
      setMeLamp(ROW_STATUS_LAMP[r], preset && bkgdAtEnd() ? 0 : tallyLamp(me_, shown));
    }
  }

  void rowButtonLamps(int r) {
    const int rowB = rowBus(r);
    if (isForeignRow(rowB)) return;
    const int p = page(r);
    CategoryBus::RowLampInputs inputs{};
    inputs.rowBus = rowB;
    inputs.page = p;
    inputs.functionMask = functionMask_;
    inputs.xptGeneration = xptGeneration_;
    inputs.byFunction = lampByFunction_ ? 1 : 0;
    if (isNoBusRow(rowB)) {
      if (!takeInputs(r, inputs)) return;
      std::array<u8, N_COLUMNS> lamp{};
      if ((functionMask_ & static_cast<u32>(p)) != 0)
        for (int c = 0; c < N_COLUMNS; ++c)
          if (columnFunction(c) & static_cast<u32>(p)) lamp[static_cast<std::size_t>(c)] = 2;
      writeRow(r, lamp);
      return;
    }

    int b = rowB;
    if ((b == BUS_A || b == BUS_B) && bus_.rowSwap()) b = 1 - b;
    const CategoryBus* holder = &bus_;
    if (BUS_DSK1_FILL <= b && b <= BUS_DSK4_KEY) {
      const CategoryBus* dskBuses = bp_.find<CategoryBus>(1);
      if (dskBuses) holder = dskBuses;
    }
    const int code = static_cast<i16>(holder->record(0).code[b]);
    const int source = holder->getSource(b);
    // Any other bus is the row's own, whose status the row status step has just worked out.
    int status;
    if (b == BUS_A || b == BUS_B)
      status = b != bus_.flip() && bkgdAtEnd() ? 3 : tallyLamp(me_, b);
    else
      status = rowStatus_[static_cast<std::size_t>(r)];

    const bool mixing = auxMixRunning(b);
    const int from = mixing ? bus_.auxMix().sources(b - BUS_AUX1).from : -1;
    inputs.code = code;
    inputs.source = source;
    inputs.status = status;
    inputs.from = mixing ? from : -2;
    if (!takeInputs(r, inputs)) return;

    std::array<u8, N_COLUMNS> lamp{};
    // The selected button: a button of this panel names itself; anything else is looked up.
    const int selected = 0 <= code && code < BUS_CODE_SOURCE_BASE && (code >> 8) == panel_ ? (code & 0xFF) : buttonOfSource(source);
    const int q = selected >= 0 ? selected / N_COLUMNS : -1;
    const bool shown = selected >= 0 && selectionShown(p, q, functionMask_);
    const u32 engaged = static_cast<u32>(shown ? q : p);

    if (lampByFunction_ || b == BUS_FREE) {
      if (shown) lamp[static_cast<std::size_t>(selected % N_COLUMNS)] = static_cast<u8>(status);
      if (mixing) {
        const int fromButton = buttonOfSource(from);
        if (fromButton >= 0 && selectionShown(p, fromButton / N_COLUMNS, functionMask_)) {
          u8& l = lamp[static_cast<std::size_t>(fromButton % N_COLUMNS)];
          if (l == 0) l = 3;
        }
      }
      // The column flags hold only the shift keys of the function mask.
      if ((functionMask_ & engaged) != 0) {
        for (int c = 0; c < N_COLUMNS; ++c) {
          u8& l = lamp[static_cast<std::size_t>(c)];
          if (l == 0 && (columnFunction(c) & engaged)) l = 2;
        }
      }
    } else {
      for (int c = 0; c < N_COLUMNS; ++c) {
        const int s = sourceOfButton(N_COLUMNS * p + c);
        u8& l = lamp[static_cast<std::size_t>(c)];
        if (s >= 0 && s == source)
          l = static_cast<u8>(status);
        else if (mixing && s == from)
          l = 0;
        else if (columnFunction(c) & engaged)
          l = 2;
      }
    }
    writeRow(r, lamp);
  }

  // Whether the row's buttons must be lit again: false when they were lit from the same inputs.
  bool takeInputs(int r, const CategoryBus::RowLampInputs& inputs) {
    CategoryBus::RowLampInputs& last = bus_.rowLampInputs_[static_cast<std::size_t>(panel_)][static_cast<std::size_t>(r)];
    if (last == inputs) return false;
    last = inputs;
    return true;
  }

  void writeRow(int r, const std::array<u8, N_COLUMNS>& lamp) {
    if (!meLed_) return;
    meLed_->requestLampRun(panel_ * CategoryMeLed::N_LED + ROW_BUTTON_LAMP_INDEX[static_cast<std::size_t>(r)][0], lamp.data(),
                           N_COLUMNS);
  }

  // An operation entry is lit 2 when the four rows work on exactly its buses, 3 when they work on
  // the second bus of its pairs; an entry with a code naming no row is not lit.
  int presetLamp(const OperateEntry& entry) const {
    bool exact = true;
    bool near = true;
    for (int slot = 0; slot < OperateCodes::SIZE; ++slot) {
      const int code = entry.codes.code[slot];
      if (code <= 0 || code >= N_ROW_CODES) return 0;
      const RowCode& rc = ROW_CODES[code];
      const int row = ROW_OF_SLOT[slot];
      const int have = rowBus(row);
      if (rc.kind == KIND_BACKGROUND && row < 2) {
        const bool on = have == row;
        exact = exact && on;
        near = near && on;
        continue;
      }
      const bool same = have == rc.bus;
      exact = exact && same;
      near = near && (same || (rc.pair && have == rc.bus + 1) || (rc.kind == KIND_UTILITY_2 && have == rc.bus - 1));
    }
    return exact ? 2 : near ? 3 : 0;
  }

  void presetLamps() {
    static_assert(CategoryBus::N_PRESET_LAMPS == KzifOperate::N_ENTRIES_PER_GROUP);
    CategoryBus::PresetLamps& last = bus_.presetLamps_[static_cast<std::size_t>(panel_)];
    std::array<u32, KzifOperate::N_ENTRIES_PER_GROUP> codes{};
    if (operate_)
      for (int k = 0; k < KzifOperate::N_ENTRIES_PER_GROUP; ++k)
        std::memcpy(&codes[static_cast<std::size_t>(k)], operate_->record(0).entry(me_, k).codes.code, sizeof(u32));
    u32 rows;
    static_assert(sizeof status_->rowBus.bus >= sizeof rows);
    std::memcpy(&rows, status_->rowBus.bus, sizeof rows);
    // Without the operation settings no entry lights; their codes read as none (0) here.
    if (!last.valid || last.codes != codes || last.rows != rows) {
      last.requestsHeld = false;
      for (int k = 0; k < KzifOperate::N_ENTRIES_PER_GROUP; ++k)
        last.lamp[static_cast<std::size_t>(k)] = static_cast<u8>(operate_ ? presetLamp(operate_->record(0).entry(me_, k)) : 0);
      last.codes = codes;
      last.rows = rows;
      last.valid = true;
    }
    const u8 flag4 = status_->flag4 == 1 ? 1 : 0;
    const u8 auxPage = status_->rowPage.page[4];
    // Lamps worked out from the same inputs, with no lamp changed since they went out, are each
    // still requested as they would be again.
    if (last.requestsHeld && last.requestsGeneration == lampRequestGeneration && last.flag4 == flag4 &&
        last.auxPage == auxPage)
      return;
    for (int k = 0; k < KzifOperate::N_ENTRIES_PER_GROUP; ++k) setMeLamp(PRESET_LAMP[k], last.lamp[static_cast<std::size_t>(k)]);
    setMeLamp(LAMP_PANEL_FLAG4, flag4);
    setMeLamp(LAMP_AUX_PAGE_BIT0, (auxPage & 1) ? 2 : 0);
    setMeLamp(LAMP_AUX_PAGE_BIT1, (auxPage & 2) ? 2 : 0);
    last.flag4 = flag4;
    last.auxPage = auxPage;
    last.requestsHeld = true;
    last.requestsGeneration = lampRequestGeneration;
  }

  CategoryBus& bus_;
  const int me_;
  const int panel_;
  BP& bp_;
  CategoryMeLed* meLed_;
  CategoryLed* led_;
  const CategoryXpt* xpt_;
  const CategoryOperate* operate_;
  const CategoryFaderEvent* fader_;
  const KzifBusStatus* status_ = nullptr;
  const CategoryBusTally* tally_ = nullptr;  // this M/E's, unless a reader stands in for it
  u32 xptGeneration_ = 0;  // of the panel's crosspoint table
  u32 functionMask_ = 0;
  const std::array<u32, N_COLUMNS>* columnFlags_ = nullptr;  // each column's shift keys the panel uses
  bool lampByFunction_ = true;
  std::array<int, N_ROWS> rowStatus_{};  // busStatus of each row's bus, A and B aside
};

void CategoryBus::updateLamps() {
  // A sub panel asks once for its lamps; the request is taken back and the panel stays lit.
  if (auto* config = BP::instance().find<CategoryControlPanelConfig>()) {
    const KzifControlPanelConfig& c = std::as_const(*config).record(0);
    const u8 asked[2] = {c.subControlPanel1.flag7, c.subControlPanel2.flag7};
    for (int sub = 0; sub < 2; ++sub) {
      if (asked[sub] == 0) continue;
      KzifControlPanelConfig clear{};
      SubPanelSetting& s = sub == 0 ? clear.subControlPanel1 : clear.subControlPanel2;
      s.mask = 1u << 12;
      s.flag7 = 0;
      config->assign(clear, 0);
      panelActive()[static_cast<std::size_t>(sub + 1)] = 1;
    }
  }

  int panel = lampPanel_;
  for (int step = 0; step < N_PANELS_WITH_ROWS; ++step) {
    panel = (panel + 1) % N_PANELS_WITH_ROWS;
    if (panelActive()[static_cast<std::size_t>(panel)]) break;
  }
  lampPanel_ = static_cast<u8>(panel);
  BusRowLamps(*this, panel).run();
}

}  // namespace category

// ------------------------------------------------------------------------------------------------
// Custom AUX buttons
// ------------------------------------------------------------------------------------------------

namespace {

constexpr std::array<CustomAuxButton, N_CUSTOM_AUX_BUTTONS> initialCustomAuxButtons() {
  std::array<CustomAuxButton, N_CUSTOM_AUX_BUTTONS> t{};
  constexpr i16 buses[N_CUSTOM_AUX_BUTTONS] = {24, 26, 28, 30, 32, 34, 36, 38, 40, 42, 44, 46, 72, 74, 76, 78, 13, -1,
                                               15, 88, 16, 18, 20, 22, 2,  4,  6,  8,  -1, -1, -1, -1, -1, -1, -1, -1};
  for (int n = 0; n < N_CUSTOM_AUX_BUTTONS; ++n) {
    CustomAuxButton& b = t[static_cast<std::size_t>(n)];
    b.bus = buses[n];
    b.lampCode = static_cast<u16>(2000 + n);
    b.group = 0;
    b.usable = (n >= 17 && n <= 19) || n >= 28 ? 0 : 1;
  }
  return t;
}

std::array<CustomAuxButton, N_CUSTOM_AUX_BUTTONS>& customAuxButtons() {
  static std::array<CustomAuxButton, N_CUSTOM_AUX_BUTTONS> table = initialCustomAuxButtons();
  return table;
}

}  // namespace

CustomItemBus customItemBus(int item) {
  if (item >= 1 && item <= 12) return {BUS_AUX1 + 2 * (item - 1), 0};
  if (item >= 13 && item <= 16) return {BUS_USK1_FILL + 2 * (item - 13), 0};
  if (item == 17) return {BUS_EXT_OUT1, 0};
  if (item == 18) return {BUS_EXT_OUT3, 0};
  if (item == 19) return {BUS_LAST, 0};
  if (item >= 20 && item <= 23) return {BUS_DSK1_FILL + 2 * (item - 20), 1};
  if (item >= 24 && item <= 27) return {80 + 2 * (item - 24), 0};
  if (item >= 28 && item <= internal::CustomBusItems::LAST_USABLE) {
    // Four key fill buses per M/E code, the codes in the order A and B side of each M/E.
    constexpr int ME_CODES[8] = {0, 4, 1, 5, 2, 6, 3, 7};
    const int k = item - 28;
    return {BUS_KEY1_FILL + 2 * (k % 4), ME_CODES[k / 4]};
  }
  return {-1, -1};
}

void updateCustomInfoBus(int n) {
  KZ_CHECK(0 <= n && n < N_CUSTOM_AUX_BUTTONS);
  const auto* custom = BP::instance().find<category::CategoryCustomInfo>();
  const int item = custom ? custom->busItem(n) : -1;  // an item above 59 reads as none
  const int bus = customItemBus(item).bus;
  CustomAuxButton& b = customAuxButtons()[static_cast<std::size_t>(n)];
  b.bus = static_cast<i16>(bus);
  b.usable = bus != BUS_EXT_OUT3 && bus != BUS_LAST && bus >= 0 ? 1 : 0;
}

const CustomAuxButton& customAuxButton(int n) {
  KZ_CHECK(0 <= n && n < N_CUSTOM_AUX_BUTTONS);
  return customAuxButtons()[static_cast<std::size_t>(n)];
}

void resetCustomAuxButtons() { customAuxButtons() = initialCustomAuxButtons(); }
