#include "Main/cp_config.h"

#include <cstring>

#include "Main/autotrans.h"
#include "Main/bp.h"
#include "Main/custominfo.h"
#include "Main/faderevent.h"

KZ_SOURCE("Main/cp_config");

void copyNetworkSetting(NetworkSetting& to, const NetworkSetting& from) {
  to.text0.assignFrom(from.text0);
  to.text1.assignFrom(from.text1);
  to.text2.assignFrom(from.text2);
  to.text3.assignFrom(from.text3);
  to.mask |= 0xFu;
}

KeyFaderButton& KzifControlPanelConfig::button(int k, int b) {
  if (b < 0 || b >= KzifKeyFader::KEY_FADER_BUTTON_NUM) b = 0;
  return keyFader[(k & 7) * KzifKeyFader::KEY_FADER_BUTTON_NUM + b];
}
const KeyFaderButton& KzifControlPanelConfig::button(int k, int b) const {
  return const_cast<KzifControlPanelConfig*>(this)->button(k, b);
}

KeyFaderButtonEnables& KzifControlPanelConfig::enables(int panel, int k) {
  if (k < 0 || k >= N_KEY_FADERS) k = 0;
  KeyFaderButtonEnables* byPanel[N_PANELS] = {controlPanelKeyFaderEnable, subControlPanel1KeyFaderEnable,
                                              subControlPanel2KeyFaderEnable};
  return byPanel[panel][k];
}
const KeyFaderButtonEnables& KzifControlPanelConfig::enables(int panel, int k) const {
  return const_cast<KzifControlPanelConfig*>(this)->enables(panel, k);
}

namespace {

bool validPanel(int panel) { return 0 <= panel && panel < N_PANELS; }
bool validButton(int b) { return 0 <= b && b < KzifKeyFader::KEY_FADER_BUTTON_NUM; }

// The fader link that a key-fader button assigned to (selMe, selKeyCh) may hold; -1 for none. The
// lever links exist for the downstream keys 0..3 and the keyers 0..3 of the four M/Es; a B side
// has none of its own, and neither has a keyer beyond the fourth, so such targets hold nothing.
int linkOfTarget(int selMe, int selKeyCh) {
  if (selKeyCh < 0 || selKeyCh >= N_KEYER_CHANNELS) return -1;
  if (selMe == KzifKeyFader::ME_SEL_DSK) return dskTransIndex(selKeyCh);
  if (1 <= selMe && selMe <= N_ME) return keyTransIndex(selMe - 1, selKeyCh);
  return -1;
}

// The buttons of key fader k that a record assigns to nothing: bit b for button b.
u32 unassignedButtons(const KzifControlPanelConfig& in, int k) {
  u32 bits = 0;
  for (int b = 0; b < KzifKeyFader::KEY_FADER_BUTTON_NUM; ++b) {
    const KeyFaderButton& button = in.button(k, b);
    if ((button.mask & 0x1u) != 0 && button.selMe == 0) bits |= 1u << b;
  }
  return bits;
}

// The enables a record marks with a value the record check takes (0 or 1): bit b for button b. When
// every byte is 0 or 1 that is the mask alone.
u32 takenEnables(const KeyFaderButtonEnables& e) {
  static_assert(sizeof e.enable == 12);
  u64 low = 0;
  u32 high = 0;
  std::memcpy(&low, e.enable, 8);
  std::memcpy(&high, e.enable + 8, 4);
  if (((low & 0xFEFEFEFEFEFEFEFEull) | (high & 0xFEFEFEFEu)) == 0) return e.mask;
  u32 bits = 0;
  for (int b = 0; b < KzifKeyFader::KEY_FADER_BUTTON_NUM; ++b)
    if ((e.mask & (1u << b)) != 0 && e.enable[b] <= 1) bits |= 1u << b;
  return bits;
}

}  // namespace

namespace category {

CategoryControlPanelConfig& CategoryControlPanelConfig::get() { return BP::instance().require<CategoryControlPanelConfig>(); }

void CategoryControlPanelConfig::restore(const u8* stored) {
  CategoryCommon::restore(stored);
  KzifControlPanelConfig& r = record(0);
  r.mask = 0;
  for (int p = 0; p < N_PANELS; ++p)
    for (int k = 0; k < N_KEY_FADERS; ++k) r.enables(p, k).reserved = 0;
  clearKeyFaderButtonEnables();
}

// A button whose assignment changes lets go of the lever link its old target held.
void CategoryControlPanelConfig::releaseChangedAssignments(const KzifControlPanelConfig& in) const {
  const KzifControlPanelConfig& stored = record(0);
  CategoryFaderEvent* fader = BP::instance().find<CategoryFaderEvent>();
  if (fader == nullptr) return;
  for (int i = 0; i < KzifControlPanelConfig::N_BUTTONS; ++i) {
    const KeyFaderButton& r = in.keyFader[i];
    const KeyFaderButton& s = stored.keyFader[i];
    if ((r.mask & 0x3u) == 0 || s.selMe == 0) continue;
    if (r.selMe == s.selMe && r.selKeyCh == s.selKeyCh) continue;
    const int link = linkOfTarget(s.selMe, s.selKeyCh);
    if (link >= 0) fader->link(link).owner = FaderLink::FREE;
  }
}

void CategoryControlPanelConfig::assign(const KzifControlPanelConfig& in, int idx) {
  checkChannel(idx);
  KzifControlPanelConfig w = in;
  w.mask = 0;
  // Of the list only entries 0..3 are settings the panels may change; of the network blocks only
  // the first text.
  for (int e = KzifControlPanelConfig::N_OPTION_BLOCKS_TAKEN; e < KzifControlPanelConfig::N_OPTION_BLOCKS; ++e)
    w.optionBlockList[e].mask = 0;
  w.networkSetting1.mask &= 0x1u;
  w.networkSetting2.mask &= 0x1u;

  releaseChangedAssignments(in);
  // A button assigned to nothing is off on every panel, unless the same record turns it on.
  for (int k = 0; k < N_KEY_FADERS; ++k) {
    const u32 unassigned = unassignedButtons(in, k);
    if (unassigned == 0) continue;
    for (int p = 0; p < N_PANELS; ++p) {
      KeyFaderButtonEnables& e = w.enables(p, k);
      const u32 off = unassigned & ~takenEnables(e);
      if (off == 0) continue;
      for (int b = 0; b < KzifKeyFader::KEY_FADER_BUTTON_NUM; ++b)
        if (off & (1u << b)) e.enable[b] = 0;
      e.mask |= off;
    }
  }
  rec::merge(records_[idx], w);
  markChanged(idx);
}

int CategoryControlPanelConfig::matchKeyFaderButton(int keyFader, int button, int selMe, int selKeyCh) const {
  if (selMe == 0 || keyFader < 0 || keyFader >= N_KEY_FADERS) return 0;
  KZ_CHECK(0 <= button && button < KzifKeyFader::KEY_FADER_BUTTON_NUM);
  KZ_CHECK(0 <= selMe && selMe <= KzifKeyFader::ME_SEL_ME4B);
  KZ_CHECK(0 <= selKeyCh && selKeyCh <= KzifKeyFader::KEY_SEL_KEY8);
  const KeyFaderButton& b = record(0).button(keyFader, button);
  return b.selMe == selMe && b.selKeyCh == selKeyCh ? 1 : 0;
}

u8 CategoryControlPanelConfig::getKeyFaderButtonEnable(int panel, int keyFader, int button) const {
  if (!validPanel(panel)) return 0;
  if (!validButton(button)) button = 0;
  return record(0).enables(panel, keyFader).enable[button];
}

void CategoryControlPanelConfig::toggleKeyFaderButtonEnable(int panel, int keyFader, int button) {
  if (!validPanel(panel)) return;
  const u8 now = getKeyFaderButtonEnable(panel, keyFader, button) == 1 ? 0 : 1;
  if (validButton(button)) {
    KeyFaderButtonEnables& e = record(0).enables(panel, keyFader);
    if (0 <= keyFader && keyFader < N_KEY_FADERS) {
      e.enable[button] = now;
      e.mask |= 1u << button;
    }
  }
  markChanged(0);
}

void CategoryControlPanelConfig::setKeyFaderButtonEnable(int panel, int keyFader, int button, u8 value) {
  if (!validPanel(panel)) return;
  if (validButton(button) && 0 <= keyFader && keyFader < N_KEY_FADERS) {
    KeyFaderButtonEnables& e = record(0).enables(panel, keyFader);
    e.enable[button] = value;
    e.mask |= 1u << button;
  }
  markChanged(0);
}

bool CategoryControlPanelConfig::getKeyFaderButtonAssign(int keyFader, int button, int& selMe, int& selKeyCh) {
  if (keyFader < 0 || keyFader >= N_KEY_FADERS) {
    selMe = 0;
    return false;
  }
  const KeyFaderButton& b = record(0).button(keyFader, button);
  selMe = b.selMe;
  selKeyCh = b.selKeyCh;
  const CategoryCustomInfo* custom = BP::instance().find<CategoryCustomInfo>();
  if (custom == nullptr || custom->record(0).keyAssignEnable == 0) return selMe != 0;

  int slot = -1;
  int limit = 3;
  if (selMe == KzifKeyFader::ME_SEL_DSK) {
    slot = 10;
  } else {
    if (1 <= selMe && selMe <= 4) slot = selMe - 1;
    if (6 <= selMe && selMe <= KzifKeyFader::ME_SEL_ME4B) slot = selMe - 2;
    const int type = custom->getAssignType(slot);
    if (type == 1) {
      limit = custom->getAssignIndex(slot) == -1 ? 3 : 7;
    } else if (type != 2) {
      slot = -1;
    }
  }
  if (selKeyCh > limit || slot == -1) {
    selMe = 0;
    selKeyCh = 0;
    for (int p = 0; p < N_PANELS; ++p) setKeyFaderButtonEnable(p, keyFader, button, 0);
  }
  return selMe != 0;
}

void CategoryControlPanelConfig::clearKeyFaderButtonEnables() {
  KzifControlPanelConfig& r = record(0);
  for (int p = 0; p < N_PANELS; ++p) {
    for (int k = 0; k < N_KEY_FADERS; ++k) {
      KeyFaderButtonEnables& e = r.enables(p, k);
      for (u8& v : e.enable) v = 0;
      e.mask = (1u << KzifKeyFader::KEY_FADER_BUTTON_NUM) - 1;
    }
  }
  markChanged(0);
}

}  // namespace category

void initCategoryControlPanelConfig() { static category::CategoryControlPanelConfig config; }
