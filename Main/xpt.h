// Crosspoint assignment (type id 38): which source each of the 192 crosspoint buttons of a control
// panel selects, the function columns that buttons of value 300 and 301 make, and keeping the
// buses on what they show when a button they use is reassigned.
#pragma once
#include <array>
#include <cstddef>

#include "Common/assert.h"
#include "Common/positions.h"
#include "Main/category.h"

// One panel's table.
// Stored layout (420 bytes per panel, 1260 in all):
//   0 u32 mask | 4 u16 panel | 6 pad | 8 u32 buttonMask[6] | 32 i16 source[192] | 416 u8 option |
//   417 pad
// Wire body (big-endian): u32 mask; u16 panel; u32 buttonMask[6]; i16 source[192],
// button 0 first; u8 option (mask bit 0, 0..1).
// buttonMask is the per-button mask: bit b % 32 of word b / 32 marks source[b] present or changed.
// The masked merge of the buttons is CategoryXpt::assign's own, since each taken button first
// re-selects the buses that used it.
struct KzifXptAssign {
  static constexpr int TYPE_ID = 38;
  static constexpr int N_CHANNELS = 3;
  static constexpr const char* NAME = "KzifXptAssign";
  static constexpr int N_BUTTONS = 192;
  static constexpr int N_MASK_WORDS = N_BUTTONS / 32;
  static constexpr int N_COLUMNS = 24;
  // Buttons below this take part in the column rule: rows 0..3 of 24 columns.
  static constexpr int N_ROW_BUTTONS = 4 * N_COLUMNS;

  // Values that are no source.
  static constexpr i16 FUNCTION_A = 300;
  static constexpr i16 FUNCTION_B = 301;
  static constexpr i16 UNASSIGNED = 302;

  u32 mask;
  u16 panel;
  u32 buttonMask[N_MASK_WORDS];
  i16 source[N_BUTTONS];
  u8 option;  // stored and reported only

  bool buttonMarked(int b) const { return (buttonMask[b / 32] >> (b % 32)) & 1u; }
  void markButton(int b) { buttonMask[b / 32] |= 1u << (b % 32); }

  static constexpr auto wire() {
    using R = KzifXptAssign;
    return rec::list(rec::mask(&R::mask), rec::channel(&R::panel), rec::plain(&R::buttonMask),
                     rec::plain(&R::source), rec::field(0, &R::option, rec::range(0, 1)));
  }
};
static_assert(sizeof(KzifXptAssign) == 420);
static_assert(rec::wireSizeOf<KzifXptAssign>() == 415);
static_assert(offsetof(KzifXptAssign, panel) == 4);
static_assert(offsetof(KzifXptAssign, buttonMask) == 8);
static_assert(offsetof(KzifXptAssign, source) == 32);
static_assert(offsetof(KzifXptAssign, option) == 416);

// Whether a crosspoint button may hold the value: a source the panels can select, a function
// button (300, 301) or unassigned (302).
bool isAcceptedXptValue(int value);

namespace category {

class CategoryXpt : public CategoryCommon<KzifXptAssign> {
 public:
  // Column flag bits: the column holds a 300 button (1) or a 301 button (2).
  static constexpr u32 COLUMN_FUNCTION_A = 1;
  static constexpr u32 COLUMN_FUNCTION_B = 2;

  static CategoryXpt& get();

  std::size_t attachBackup(u8* p) override;
  // Every button of every panel unassigned (302) and marked, so the whole table is reported.
  void initIndex(int me, int flags) override;
  void restore(const u8* stored) override;
  void assign(const KzifXptAssign& in, int panel) override;
  void sendChanges(AcknowledgeSender& tx) override;

  // SourceId the button selects: -1 for a button of a function column or one outside 0..191;
  // otherwise the table value as it is (300..302 included: the bus side refuses them).
  // Every bus holding a button code resolves through here, several times a field: inline, the
  // column test of isFunctionColumn made in place.
  int sourceOf(int panel, int button) const {
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
  // Whether the button (0..95) lies in a column whose flags meet `mask`.
  bool isFunctionColumn(int panel, int button, u32 mask) const;
  // Recomputes the 24 column flags of a panel from rows 0..3.
  void updateColumnFlags(int panel);
  u32 columnFlags(int panel, int column) const;
  // The 24 column flags of a panel (0..2, asserted) at once.
  const std::array<u32, KzifXptAssign::N_COLUMNS>& panelColumnFlags(int panel) const;
  // The first of the panel's row buttons (0..95) outside the function columns that holds
  // `source`; -1 for none or a negative source.
  int firstRowButtonOf(int panel, int source) const;
  // Moves on whenever the panel's table may have changed: readers that keep what they derived
  // from one panel's table know when to derive it again, and a record for another panel leaves
  // them be.
  u32 tableGeneration(int panel) const {
    return 0 <= panel && panel < N_CHANNELS ? tableGeneration_[static_cast<std::size_t>(panel)] : 0;
  }
  // Moves on whenever any panel's table may have changed, for readers that derive from them all.
  u32 tableGeneration() const { return anyTableGeneration_; }

  // Test hook: sees each re-selection request to the buses (M/E, button, its old value, panel).
  using BusChangeObserver = void (*)(int me, int button, int source, int panel);
  static void setBusChangeObserver(BusChangeObserver observer) { observer_ = observer; }

 private:
  void sendPanel(AcknowledgeSender& tx, int panel);
  void mapFirstRowButtons(int panel) const;

  std::array<std::array<u32, KzifXptAssign::N_COLUMNS>, KzifXptAssign::N_CHANNELS> columnFlags_{};
  std::array<u32, KzifXptAssign::N_CHANNELS> tableGeneration_{};
  // firstRowButtonOf for the values a button may hold, worked out with the column flags, so that
  // the lamps of a row look a selection up instead of searching for it every field.
  static constexpr int N_MAPPED_VALUES = KzifXptAssign::UNASSIGNED + 1;
  mutable std::array<std::array<i8, N_MAPPED_VALUES>, KzifXptAssign::N_CHANNELS> firstRowButton_{};
  mutable std::array<u8, KzifXptAssign::N_CHANNELS> firstRowButtonValid_{};
  u32 anyTableGeneration_ = 0;
  static inline BusChangeObserver observer_ = nullptr;
};

}  // namespace category

void initCategoryXpt();
