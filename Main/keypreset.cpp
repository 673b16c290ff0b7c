#include "Main/keypreset.h"

#include <type_traits>

#include "Main/bp.h"
#include "Main/custominfo.h"
#include "Main/led.h"
#include "Main/shotmem.h"

KZ_SOURCE("Main/keypreset");

namespace {

using keypreset::N_KEY_CHANNELS;
using keypreset::N_SLOTS;

// Button codes; the M/E-row codes are the same on every M/E row.
constexpr int ME_ROW_BUTTON_FIRST = 1700;
constexpr int DSK_BUTTON_FIRST = 1800;
constexpr int MIRROR_BUTTON_FIRST = 2100;

// Lamp codes.
constexpr int DSK_CHANNEL_LAMP = 2200;
constexpr int DSK_SLOT_LAMP = 2208;
constexpr int DSK_SLOT_LAMPS_CLEARED = 8;
constexpr int ME_CHANNEL_LAMP = 350;  // a row shown on its own M/E
constexpr int ME_SLOT_LAMP = 358;
constexpr int ME_ASSIGNED_CHANNEL_LAMP = 354;  // a row that custom information puts on another M/E
constexpr int ME_ASSIGNED_SLOT_LAMP = 362;
constexpr int ME_SLOT_LAMPS_CLEARED = 8;
constexpr int MIRROR_CHANNEL_LAMP = 3128;
constexpr int MIRROR_SLOT_LAMP = 3132;

// The panel-0 lamps of target 2, per channel: two lamps always lit and two sets of slot lamps
// (slots 0..2).
struct Target2Lamps {
  int lit[2];
  int firstSlot;
  int secondSlot;
};
constexpr Target2Lamps TARGET2_LAMPS[N_KEY_CHANNELS] = {
    {{3300, 3328}, 3301, 3329}, {{3306, 3334}, 3307, 3335}, {{3312, 3340}, 3313, 3341}, {{3320, 3346}, 3321, 3347}};
constexpr int TARGET2_SLOTS = 3;
constexpr int TARGET2 = 2;

constexpr u8 LAMP_OFF = 0;
constexpr u8 LAMP_FLASH = 1;
constexpr u8 LAMP_ON = 2;

template <class T, std::size_t N>
void fillAll(T (&a)[N], const std::type_identity_t<T>& v) {
  for (auto& e : a) e = v;
}

}  // namespace

namespace category {

CategoryKeyPreset::CategoryKeyPreset() { clearWorkingState(); }

CategoryKeyPreset& CategoryKeyPreset::get() { return BP::instance().require<CategoryKeyPreset>(); }

std::size_t CategoryKeyPreset::attachBackup(u8* p) {
  clearWorkingState();
  return CategoryCommon::attachBackup(p);
}

void CategoryKeyPreset::clearWorkingState() {
  for (auto& row : recordedSlot_) fillAll(row, -1);
  fillAll(me3Slot_, -1);
  lampsKnown_ = false;
  flashTarget_ = flashCount_ = flashChannel_ = pendingSlot_ = -1;
  pendingMode_ = 0;
  for (int p = 0; p < N_PANELS; ++p) {
    for (int j = 0; j < N_ROW_BUTTONS; ++j) {
      for (int m = 0; m < N_ME_ROWS; ++m) meRowButtons_[p][m][j] = {ME_ROW_BUTTON_FIRST + j, 0};
      dskButtons_[p][j] = {DSK_BUTTON_FIRST + j, 0};
    }
    for (int j = 0; j < N_MIRROR_BUTTONS; ++j) mirrorButtons_[p][j] = {MIRROR_BUTTON_FIRST + j, 0};
  }
  anyPressed_ = 0;
}

void CategoryKeyPreset::setShotSelection(int target, int channel, int slot, int flash, int set) {
  if (target < 0 || target >= keypreset::N_TARGETS || channel < 0 || channel >= N_KEY_CHANNELS || slot < 0 ||
      slot >= N_SLOTS)
    return;
  const bool target2Slot = target == TARGET2 && slot < TARGET2_SLOTS;
  lampsKnown_ = false;
  if (set == 0) {
    if (recordedSlot_[target][channel] == slot) recordedSlot_[target][channel] = -1;
    if (target2Slot && me3Slot_[channel] == slot) me3Slot_[channel] = -1;
    pendingSlot_ = slot;
    pendingMode_ = 1;
  } else {
    // One target records one slot of one channel at a time.
    fillAll(recordedSlot_[target], -1);
    recordedSlot_[target][channel] = slot;
    if (target2Slot) me3Slot_[channel] = slot;
    pendingMode_ = 0;
  }
  if (target == TARGET2)
    for (int c = 0; c < N_COLUMNS; ++c) recordedSlot_[MIRROR_ROW][c] = recordedSlot_[TARGET2][c];
  if (flash == 1) {
    flashTarget_ = target;
    flashCount_ = FLASH_FIELDS;
    flashChannel_ = slot < TARGET2_SLOTS ? channel : -1;
  } else {
    flashTarget_ = flashCount_ = flashChannel_ = -1;
  }
}

void CategoryKeyPreset::onButton(const internal::KzifButtonEvent& event) {
  const int p = event.panel;
  const int m = event.me;
  // The button tables know three panels and four M/E rows.
  if (m >= N_ME_ROWS || p >= N_PANELS || event.state != 1) return;
  anyPressed_ = 1;
  for (int j = 0; j < N_ROW_BUTTONS; ++j) {
    if (meRowButtons_[p][m][j].code == event.code) meRowButtons_[p][m][j].pressed = 1;
    if (dskButtons_[p][j].code == event.code) dskButtons_[p][j].pressed = 1;
  }
  for (int j = 0; j < N_MIRROR_BUTTONS; ++j)
    if (mirrorButtons_[p][j].code == event.code) mirrorButtons_[p][j].pressed = 1;
}

void CategoryKeyPreset::markWholeRecord() {
  // Every field of every sub-record; the panel masks govern no field and stay 0.
  rec::setAllMasks(record(0));
}

void CategoryKeyPreset::applyPanelSelect(int panel, const KeyPresetPanel& change) {
  if (panel < 0 || panel >= N_PANELS)
    assert::fail(positions::KEY_PRESET_SOURCE, positions::KEY_PRESET_PANEL, "NeverReachHere");
  rec::merge(record(0).panel[panel], change, rec::Checks::Skip);
  markWholeRecord();
}

void CategoryKeyPreset::reset() {
  clearWorkingState();
  CategoryLed& led = CategoryLed::get();
  for (int p = 0; p < N_PANELS; ++p) {
    for (int i = 0; i < DSK_SLOT_LAMPS_CLEARED; ++i) led.setLed(p, DSK_SLOT_LAMP + i, LAMP_OFF);
    for (int k = 0; k < N_SLOTS; ++k) led.setLed(p, MIRROR_SLOT_LAMP + k, LAMP_OFF);
    for (int me = 0; me < N_ME; ++me)
      for (int i = 0; i < ME_SLOT_LAMPS_CLEARED; ++i) CategoryMeLed::get(me).setLed(p, ME_SLOT_LAMP + i, LAMP_OFF);
  }
  KzifKeyPreset& r = record(0);
  for (KeyPresetPanel& panel : r.panel) {
    fillAll(panel.meChannel.channel, u8{0});
    fillAll(panel.extraChannel.channel, u8{0});
    panel.mirrorChannel.channel[0] = 0;
  }
  markWholeRecord();
}

void CategoryKeyPreset::update() {
  takeButtons();
  updateLamps();
}

void CategoryKeyPreset::takeButtons() {
  if (anyPressed_ == 0) return;
  anyPressed_ = 0;  // before the presses are read: one latched meanwhile is taken next field
  for (int p = 0; p < N_PANELS; ++p) {
    const KeyPresetPanel& now = records_[0].panel[p];
    for (int j = 0; j < N_KEY_CHANNELS; ++j) {
      for (int m = 0; m < N_ME_ROWS; ++m) {
        KeyPresetButton& b = meRowButtons_[p][m][j];
        if (b.pressed && now.meChannel.channel[m] != j) {
          KeyPresetPanel change{};
          change.meChannel.channel[m] = static_cast<u8>(j);
          change.meChannel.mask = 1u << m;
          applyPanelSelect(p, change);
        }
        b.pressed = 0;
      }
      KeyPresetButton& dsk = dskButtons_[p][j];
      if (dsk.pressed && now.meChannel.channel[KeyPresetPanel::DSK_ROW] != j) {
        KeyPresetPanel change{};
        change.meChannel.channel[KeyPresetPanel::DSK_ROW] = static_cast<u8>(j);
        change.meChannel.mask = 1u << KeyPresetPanel::DSK_ROW;
        applyPanelSelect(p, change);
      }
      dsk.pressed = 0;
    }
    for (int j = 0; j < N_MIRROR_BUTTONS; ++j) {
      KeyPresetButton& b = mirrorButtons_[p][j];
      if (b.pressed && now.mirrorChannel.channel[0] != j) {
        KeyPresetPanel change{};
        change.mirrorChannel.channel[0] = static_cast<u8>(j);
        change.mirrorChannel.mask = 1u;
        applyPanelSelect(p, change);
      }
      b.pressed = 0;
    }
  }
}

int CategoryKeyPreset::selected(int panel, int row) const {
  const KeyPresetPanel& p = records_[0].panel[panel];
  const int c = row == MIRROR_ROW ? p.mirrorChannel.channel[0] : p.meChannel.channel[row];
  return c < N_KEY_CHANNELS ? c : -1;
}

bool CategoryKeyPreset::presetStored(int target, int channel, int slot) const {
  const auto* status = BP::instance().find<CategoryShotMemoryStatus>();
  return status != nullptr && status->isStored(keypreset::shotChannelOf(target, channel, slot)) == 1;
}

u8 CategoryKeyPreset::slotLampState(int row, int channel, int slot) const {
  if (channel < 0) return LAMP_OFF;
  const bool recorded = recordedSlot_[row][channel] == slot;
  if (pendingMode_ == 1) {
    if (recorded) return LAMP_ON;
    return pendingSlot_ == slot && flashing(row) ? LAMP_FLASH : LAMP_OFF;
  }
  if (!recorded || !presetStored(row, channel, slot)) return LAMP_OFF;
  return flashing(row) ? LAMP_FLASH : LAMP_ON;
}

u8 CategoryKeyPreset::mirrorLampState(int channel, int slot) const {
  if (channel < 0 || recordedSlot_[MIRROR_ROW][channel] != slot || !presetStored(TARGET2, channel, slot))
    return LAMP_OFF;
  return flashing(TARGET2) ? LAMP_FLASH : LAMP_ON;
}

u8 CategoryKeyPreset::target2LampState(int channel, int slot) const {
  const bool recorded = me3Slot_[channel] == slot;
  const bool flashHere = flashing(TARGET2) && flashChannel_ == channel;
  if (pendingMode_ == 1) {
    if (recorded) return LAMP_ON;
    return pendingSlot_ == slot && flashHere ? LAMP_FLASH : LAMP_OFF;
  }
  if (!recorded || !presetStored(TARGET2, channel, slot)) return LAMP_OFF;
  return flashHere ? LAMP_FLASH : LAMP_ON;
}

void CategoryKeyPreset::addLamp(int panel, int code, u8 state) {
  KZ_CHECK(nLamps_ < N_LAMP_REQUESTS);
  lamps_[static_cast<std::size_t>(nLamps_++)] = {static_cast<i16>(CategoryLed::lampOf(panel, code)), state};
}

void CategoryKeyPreset::addMeLamp(CategoryMeLed& led, int panel, int code, u8 state) {
  KZ_CHECK(nMeLamps_ < N_ME_LAMP_REQUESTS);
  meLamps_[static_cast<std::size_t>(nMeLamps_++)] = {&led, static_cast<i16>(CategoryMeLed::lampOf(panel, code)), state};
}

void CategoryKeyPreset::writeDskRow(int panel) {
  const int c = selected(panel, KeyPresetPanel::DSK_ROW);
  for (int j = 0; j < N_KEY_CHANNELS; ++j) addLamp(panel, DSK_CHANNEL_LAMP + j, c == j ? LAMP_ON : LAMP_OFF);
  for (int k = 0; k < N_SLOTS; ++k) addLamp(panel, DSK_SLOT_LAMP + k, slotLampState(keypreset::DSK_TARGET, c, k));
}

// A row that custom information assigns to M/E 1..4 lights its lamps in that M/E's second set; any
// other entry, the B sides included, leaves the row on its own M/E.
CategoryKeyPreset::RowLampTarget CategoryKeyPreset::rowLampTarget(int row) const {
  const auto* custom = BP::instance().find<CategoryCustomInfo>();
  const u32 entry = custom != nullptr ? custom->meTable(row) : 0;
  const bool assigned = entry >= 1 && entry <= static_cast<u32>(N_ME);
  return RowLampTarget{&CategoryMeLed::get(assigned ? static_cast<int>(entry) - 1 : row),
                       assigned ? ME_ASSIGNED_CHANNEL_LAMP : ME_CHANNEL_LAMP, assigned ? ME_ASSIGNED_SLOT_LAMP : ME_SLOT_LAMP};
}

void CategoryKeyPreset::writeRowLamps(int panel, int row, const RowLampTarget& to) {
  CategoryMeLed& led = *to.led;
  const int c = selected(panel, row);
  for (int j = 0; j < N_KEY_CHANNELS; ++j) addMeLamp(led, panel, to.channelLamp + j, c == j ? LAMP_ON : LAMP_OFF);
  for (int k = 0; k < N_SLOTS; ++k) addMeLamp(led, panel, to.slotLamp + k, slotLampState(row, c, k));
}

void CategoryKeyPreset::writeMirrorRow(int panel) {
  const int c = selected(panel, MIRROR_ROW);
  for (int j = 0; j < N_KEY_CHANNELS; ++j) addLamp(panel, MIRROR_CHANNEL_LAMP + j, c == j ? LAMP_ON : LAMP_OFF);
  for (int k = 0; k < N_SLOTS; ++k) addLamp(panel, MIRROR_SLOT_LAMP + k, mirrorLampState(c, k));
}

void CategoryKeyPreset::writeTarget2Lamps() {
  for (int c = 0; c < N_KEY_CHANNELS; ++c) {
    const Target2Lamps& lamps = TARGET2_LAMPS[c];
    for (int code : lamps.lit) addLamp(0, code, LAMP_ON);
    for (int k = 0; k < TARGET2_SLOTS; ++k) addLamp(0, lamps.firstSlot + k, target2LampState(c, k));
    for (int k = 0; k < TARGET2_SLOTS; ++k) addLamp(0, lamps.secondSlot + k, target2LampState(c, k));
  }
}

CategoryKeyPreset::LampInputs CategoryKeyPreset::lampInputs() const {
  LampInputs in;
  std::size_t i = 0;
  for (const KeyPresetPanel& p : records_[0].panel) {
    for (u8 c : p.meChannel.channel) in.selection[i++] = c;
    in.selection[i++] = p.mirrorChannel.channel[0];
  }
  const auto* custom = BP::instance().find<CategoryCustomInfo>();
  for (int m = 0; m < N_ME_ROWS; ++m) in.meTable[static_cast<std::size_t>(m)] = custom != nullptr ? custom->meTable(m) : 0;
  // Only a recorded slot's lamp asks whether its preset is stored.
  int bit = 0;
  const auto note = [&](int target, int channel, int slot, int slots) {
    if (0 <= slot && slot < slots && presetStored(target, channel, slot)) in.stored |= 1u << bit;
    ++bit;
  };
  for (int c = 0; c < N_KEY_CHANNELS; ++c) {
    for (int row = 0; row <= keypreset::DSK_TARGET; ++row) note(row, c, recordedSlot_[row][c], N_SLOTS);
    note(TARGET2, c, recordedSlot_[MIRROR_ROW][c], N_SLOTS);
    note(TARGET2, c, me3Slot_[c], TARGET2_SLOTS);
  }
  return in;
}

void CategoryKeyPreset::workOutLamps() {
  nLamps_ = nMeLamps_ = 0;
  // Where each row's lamps go is the same for every panel.
  std::array<RowLampTarget, N_ME_ROWS> rows{};
  for (int m = 0; m < N_ME_ROWS; ++m) rows[static_cast<std::size_t>(m)] = rowLampTarget(m);
  for (int p = 0; p < N_PANELS; ++p) {
    writeDskRow(p);
    for (int m = 0; m < N_ME_ROWS; ++m) writeRowLamps(p, m, rows[static_cast<std::size_t>(m)]);
    writeMirrorRow(p);
  }
  writeTarget2Lamps();
}

void CategoryKeyPreset::updateLamps() {
  // The marker shows in the four updates after a flashing event that leave 4..1; the one after
  // the update that leaves 0 ends it, and the pending mode with it.
  const bool flashOrPending = flashCount_ >= 0 || flashTarget_ >= 0 || flashChannel_ >= 0 || pendingSlot_ >= 0 ||
                              pendingMode_ != 0;
  if (flashCount_ < 1) {
    flashTarget_ = flashCount_ = pendingSlot_ = flashChannel_ = -1;
    pendingMode_ = 0;
  } else {
    --flashCount_;
  }
  const LampInputs in = lampInputs();
  if (flashOrPending || !lampsKnown_ || !(in == lampInputs_)) {
    lampsKnown_ = false;
    requestsHeld_ = false;
    workOutLamps();
    lampInputs_ = in;
    lampsKnown_ = true;
  }
  if (requestsHeld_ && requestsHeldGeneration_ == lampRequestGeneration) return;
  requestsHeld_ = false;
  CategoryLed& led = CategoryLed::get();
  for (int i = 0; i < nLamps_; ++i) led.requestLamp(lamps_[static_cast<std::size_t>(i)].lamp, lamps_[static_cast<std::size_t>(i)].state);
  for (int i = 0; i < nMeLamps_; ++i) {
    const MeLampRequest& r = meLamps_[static_cast<std::size_t>(i)];
    r.led->requestLamp(r.lamp, r.state);
  }
  requestsHeld_ = true;
  requestsHeldGeneration_ = lampRequestGeneration;
}

}  // namespace category

void initCategoryKeyPreset() { static category::CategoryKeyPreset presets; }
