#include "Main/operate.h"

#include <utility>

#include "Common/log.h"
#include "Driver/kz.h"
#include "Driver/operate.h"
#include "Main/bp.h"
#include "Main/faderevent.h"

KZ_SOURCE("Main/operate");

namespace {

using FadeToBlack = KzifOperate::FadeToBlack;
using KeySourceMemory = KzifOperate::KeySourceMemory;
using PanelMe = KzifOperate::PanelMe;

constexpr u8 NO_BUS_ROW = 255;


bool offered(u32 mask, u32 bit) { return (mask & bit) != 0; }
// Offered in the received mask but not taken by the checks.
bool refused(u32 inMask, u32 takenMask, u32 bit) { return offered(inMask, bit) && !offered(takenMask, bit); }

void logBadParam(int line, unsigned value) {
  libkz::getLogger().printf(libkz::LOG_ERR, "%s(%d)BAD Param.[0x%02X]", kzSourceName, line, value);
}

void logBadMeParam(int line, int me, unsigned value) {
  libkz::getLogger().printf(libkz::LOG_ERR, "%s(%d)(ME:%d)BAD Param.[0x%02X]", kzSourceName, line, me, value);
}

// A row may name an M/E that is not there (a stored image of another configuration): the fader
// has nothing to let go of then.
void releaseFaderFromMe(int panel, int me) {
  if (me < 0 || me >= N_ME) return;
  category::CategoryFaderEvent::get().releaseFader(panel, me);
}

// The picture the program fades to.
int fadeSourceId(int source) {
  if (0 <= source && source <= 3) return KZ_STILL_1 + 2 * source;
  if (4 <= source && source <= 7) return KZ_CLIP_1 + 2 * (source - 4);
  switch (source) {
    case 8:
      return KZ_CBGD_1;
    case 9:
      return KZ_CBGD_2;
    case 10:
      return KZ_BLACK + 1;  // the memory source after black
    default:
      return KZ_BLACK;
  }
}

void logRowRangeOver(int panel, int row, int value) {
  switch (panel) {
    case 0:
      libkz::getLogger().printf(libkz::LOG_ERR, "ME Change Main range over %d %d", row, value);
      break;
    case 1:
      libkz::getLogger().printf(libkz::LOG_ERR, "ME Change Sub1 range over %d %d", row, value);
      break;
    default:
      libkz::getLogger().printf(libkz::LOG_ERR, "ME Change Sub2 range over %d %d", row, value);
      break;
  }
}

// Makes the four rows of one panel name four different M/Es. Rows with a pending change win over
// rows without; two changed rows on the same M/E cannot both be honoured, so the panel falls back
// to the plain order.
void resolvePanelRows(PanelMe& rows) {
  std::array<bool, N_ME> taken{};
  std::array<bool, PanelMe::SIZE> resolved{};
  for (int r = 0; r < PanelMe::SIZE; ++r) {
    if (!offered(rows.mask, 1u << r)) continue;
    const int me = rows.me[r];
    if (me >= N_ME) continue;
    if (taken[static_cast<std::size_t>(me)]) {
      libkz::getLogger().printf(libkz::LOG_ERR, "ME Change conflict");
      for (int i = 0; i < PanelMe::SIZE; ++i) rows.me[i] = static_cast<u8>(i);
      rows.mask |= (1u << PanelMe::SIZE) - 1;
      return;
    }
    taken[static_cast<std::size_t>(me)] = true;
    resolved[static_cast<std::size_t>(r)] = true;
  }
  for (int r = 0; r < PanelMe::SIZE; ++r) {
    if (offered(rows.mask, 1u << r)) continue;
    const int me = rows.me[r];
    if (me >= N_ME || taken[static_cast<std::size_t>(me)]) continue;
    taken[static_cast<std::size_t>(me)] = true;
    resolved[static_cast<std::size_t>(r)] = true;
  }
  for (int r = 0; r < PanelMe::SIZE; ++r) {
    if (resolved[static_cast<std::size_t>(r)]) continue;
    int me = 0;
    while (taken[static_cast<std::size_t>(me)]) ++me;  // as many M/Es as rows: one is always left
    taken[static_cast<std::size_t>(me)] = true;
    rows.me[r] = static_cast<u8>(me);
    rows.mask |= 1u << r;
  }
}

struct OperateCodeRow {
  u8 code;
  u8 sideA;
  u8 sideB;
};

constexpr std::array<OperateCodeRow, 16> OPERATE_CODE_TABLE = {{
    {1, 2, 3},      {2, 4, 5},      {3, 6, 7},      {4, 8, 9},    {15, 102, 103}, {16, 104, 105},
    {17, 106, 107}, {18, 108, 109}, {10, 16, 17},   {11, 18, 19}, {12, 20, 21},   {13, 22, 23},
    {7, 10, 11},    {8, 10, 11},    {9, 12, 12},    {0, 255, 255},
}};

category::CategoryOperate& operateObject() {
  static category::CategoryOperate operate;
  return operate;
}

}  // namespace

u8 mapOperateCode(int code, int field, int side) {
  if (code == 5 || code == 6 || code == 14) {
    if (field == 0) return 0;
    if (field == 1) return 1;
    return NO_BUS_ROW;
  }
  for (const OperateCodeRow& row : OPERATE_CODE_TABLE)
    if (row.code == code) return side == 1 ? row.sideB : row.sideA;
  return NO_BUS_ROW;
}

int operateSlotOrder(int slot) {
  constexpr std::array<int, 4> order = {2, 3, 0, 1};
  if (slot < 0 || slot > 3) return 0;
  return order[static_cast<std::size_t>(slot)];
}

namespace category {

CategoryOperate& CategoryOperate::get() { return operateObject(); }

void CategoryOperate::initIndex(int, int) {
  // A cold start finds the fade as a power-up leaves it; on the host this object outlives a restart.
  fade_ = AutoTransition{};
  freshRows_.fill(0);
}

void CategoryOperate::initInternal() {
  CategoryCommon::initInternal();
  ftbOnRequest_ = 0;
  ftbOffRequest_ = 0;
  // A start finds the key source memory as a power-up leaves it: no sources seen, not disabled.
  keyMemory_.start();
}

void CategoryOperate::restore(const u8* stored) {
  CategoryCommon::restore(stored);
  for (int panel = 0; panel < KzifOperate::N_PANELS; ++panel)
    freshRows_[static_cast<std::size_t>(panel)] = record(0).panelMe(panel).mask;
  // The program comes back the way it was left, at once, without fading there.
  fade_.state = AutoTransition::STATE_IDLE;
  fade_.endFlag = record(0).ftb.on == 1 ? -1 : 1;
  fade_.positionA = 0.0f;
  fade_.positionB = -1.0f;
}

float CategoryOperate::fadeLevel() const {
  return fade_.endFlag < 0 ? 1.0f - fade_.position() : fade_.position();
}

OperateEntry CategoryOperate::getEntry(int group, int index) const {
  if (group < 0 || group >= KzifOperate::N_GROUPS) return OperateEntry{};
  if (index < 0 || index >= KzifOperate::N_ENTRIES_PER_GROUP) index = 0;
  return record(0).entry(group, index);
}

// The declaration's checks decide what is taken; the steps below add what a value does beyond
// being stored, in the order the System Manager's records have always been handled. The record is
// merged once, straight into the live one: the steps are handed what it took (the marks of the
// values taken) and what those values replaced.
void CategoryOperate::assign(const KzifOperate& in, int idx) {
  checkChannel(idx);
  KzifOperate& live = records_[static_cast<std::size_t>(idx)];
  const Replaced before = replacedBy(live);
  // An entry with an empty row is no entry: nothing of it is taken.
  const KzifOperate* src = &in;
  KzifOperate trimmed;
  if (anyEntryWithAnEmptyRow(in)) {
    trimmed = in;
    dropEntriesWithAnEmptyRow(trimmed);
    src = &trimmed;
  }
  // The marks the steps read are set aside and cleared, so that after the merge they hold only
  // those of the values it took; then they come back.
  const TakenMarks held = takeMarks(live);
  rec::merge(live, *src);
  const TakenMarks taken = takeMarks(live);
  putMarks(live, held, taken);

  reportBusRowMode(in, taken);
  followKeyFaderLinkMode(taken, before);
  reportBusRowModeSelect(in, taken);
  reportBusRowModeMe(in.busRowModeMe, taken);
  requestFade(taken, before);
  releasePanelFaders(taken, before);
  takeKeySourceMemoryCommands(in.keySourceMemory, taken, before);

  rec::stamp(live, me_, idx);
  markChanged(idx);
}

CategoryOperate::Replaced CategoryOperate::replacedBy(const KzifOperate& live) {
  Replaced r;
  r.keyFaderLinkMode = live.keyFaderLinkMode;
  r.ftbOn = live.ftb.on;
  for (int panel = 0; panel < KzifOperate::N_PANELS; ++panel)
    for (int row = 0; row < PanelMe::SIZE; ++row)
      r.panelMe[static_cast<std::size_t>(panel)][static_cast<std::size_t>(row)] = live.panelMe(panel).me[row];
  r.enable = live.keySourceMemory.enable;
  r.mode = live.keySourceMemory.mode;
  return r;
}

CategoryOperate::TakenMarks CategoryOperate::takeMarks(KzifOperate& live) {
  TakenMarks m;
  m.top = std::exchange(live.mask, 0u);
  m.busRowModeMe = std::exchange(live.busRowModeMe.mask, 0u);
  m.ftb = std::exchange(live.ftb.mask, 0u);
  for (int panel = 0; panel < KzifOperate::N_PANELS; ++panel)
    m.panelMe[static_cast<std::size_t>(panel)] = std::exchange(live.panelMe(panel).mask, 0u);
  m.keySourceMemory = std::exchange(live.keySourceMemory.mask, 0u);
  return m;
}

void CategoryOperate::putMarks(KzifOperate& live, const TakenMarks& held, const TakenMarks& taken) {
  live.mask = held.top | taken.top;
  live.busRowModeMe.mask = held.busRowModeMe | taken.busRowModeMe;
  live.ftb.mask = held.ftb | taken.ftb;
  for (int panel = 0; panel < KzifOperate::N_PANELS; ++panel)
    live.panelMe(panel).mask = held.panelMe[static_cast<std::size_t>(panel)] | taken.panelMe[static_cast<std::size_t>(panel)];
  live.keySourceMemory.mask = held.keySourceMemory | taken.keySourceMemory;
}

void CategoryOperate::reportBusRowMode(const KzifOperate& in, const TakenMarks& taken) {
  if (refused(in.mask, taken.top, KzifOperate::BIT_BUS_ROW_MODE)) logBadParam(552, in.busRowMode);
}

// Only a value that is taken and changes the option lets go of the links: a refused one changes
// nothing the links depend on.
void CategoryOperate::followKeyFaderLinkMode(const TakenMarks& taken, const Replaced& before) {
  if (offered(taken.top, KzifOperate::BIT_KEY_FADER_LINK_MODE) && records_[0].keyFaderLinkMode != before.keyFaderLinkMode)
    CategoryFaderEvent::get().releaseKeyFaderLinks();
}

void CategoryOperate::reportBusRowModeSelect(const KzifOperate& in, const TakenMarks& taken) {
  if (refused(in.mask, taken.top, KzifOperate::BIT_BUS_ROW_MODE_SELECT)) logBadParam(533, in.busRowModeSelect);
}

// Entries of M/Es that are not there are never taken, and not reported either.
void CategoryOperate::reportBusRowModeMe(const KzifOperate::RowModeTable& in, const TakenMarks& taken) {
  for (int me = 0; me < N_ME; ++me)
    if (refused(in.mask, taken.busRowModeMe, 1u << me)) logBadMeParam(573, me, in.value[me]);
}

void CategoryOperate::requestFade(const TakenMarks& taken, const Replaced& before) {
  const u8 on = records_[0].ftb.on;
  if (!offered(taken.ftb, FadeToBlack::BIT_ON) || on == before.ftbOn) return;
  if (on == 1)
    ftbOnRequest_ = 1;
  else
    ftbOffRequest_ = 1;
}

// The panel's fader may still hold a transition of either M/E of a changed row; the newly chosen
// one is let go first.
void CategoryOperate::releasePanelFaders(const TakenMarks& taken, const Replaced& before) {
  const KzifOperate& live = records_[0];
  for (int panel = 0; panel < KzifOperate::N_PANELS; ++panel) {
    const u32 rows = taken.panelMe[static_cast<std::size_t>(panel)];
    freshRows_[static_cast<std::size_t>(panel)] |= rows;
    for (int r = 0; r < PanelMe::SIZE; ++r) {
      if (!offered(rows, 1u << r)) continue;
      releaseFaderFromMe(panel, live.panelMe(panel).me[r]);
      releaseFaderFromMe(panel, before.panelMe[static_cast<std::size_t>(panel)][static_cast<std::size_t>(r)]);
    }
  }
}

// `enable` 2 and 3 are commands, refused as values; whatever is taken is told to the key source
// memory on every assign, with what it replaced.
void CategoryOperate::takeKeySourceMemoryCommands(const KeySourceMemory& in, const TakenMarks& taken,
                                                  const Replaced& before) {
  if (offered(in.mask, KeySourceMemory::BIT_ENABLE)) {
    if (in.enable == KeySourceMemory::COMMAND_DISABLE) keyMemory_.setDisabled(true);
    if (in.enable == KeySourceMemory::COMMAND_ENABLE) keyMemory_.setDisabled(false);
  }
  const KeySourceMemory& now = records_[0].keySourceMemory;
  keyMemory_.onOperateChanged(taken.keySourceMemory, now.enable, now.mode, before.enable, before.mode);
}

bool CategoryOperate::anyEntryWithAnEmptyRow(const KzifOperate& in) {
  for (const OperateEntry& entry : in.entries) {
    u32 empty = 0;
    for (int k = 0; k < OperateCodes::SIZE; ++k) empty |= static_cast<u32>(entry.codes.code[k] == 0) << k;
    if ((entry.codes.mask & empty) != 0) return true;
  }
  return false;
}

// A marked 0 code (which the checks take) drops its entry whole.
void CategoryOperate::dropEntriesWithAnEmptyRow(KzifOperate& taken) {
  for (OperateEntry& entry : taken.entries) {
    for (int k = 0; k < OperateCodes::SIZE; ++k) {
      if (offered(entry.codes.mask, 1u << k) && entry.codes.code[k] == 0) {
        rec::clearMasks(entry);
        break;
      }
    }
  }
}

// Reads go through the const record: the writable one marks the share for the backup save, which
// only a real change may do.
void CategoryOperate::update() {
  const KzifOperate& r = std::as_const(*this).record(0);
  selectMemorySource(fadeSourceId(r.ftb.source));
  setOperateKeyLevel(fadeLevel());
  runFadeRequests();
  fade_.step();
  updateFadeStatus();
  resolveMeChange();
  keyMemory_.update(r.keySourceMemory.enable, r.keySourceMemory.mode);
}

// The request bytes say that `ftb.on` changed this field; where the fade goes is decided from
// `ftb.on` as it stands after every assign of the field, so that two changes in one field (on then
// off, or off then on) cannot leave the program faded while the record says clear, or the reverse.
void CategoryOperate::runFadeRequests() {
  if (!ftbOnRequest_ && !ftbOffRequest_) return;
  ftbOnRequest_ = 0;
  ftbOffRequest_ = 0;
  const KzifOperate& r = record(0);
  const bool wantFaded = r.ftb.on == 1;
  if (fade_.state == AutoTransition::STATE_RUNNING) {
    // Forward runs away from the end last reached: towards faded from clear, towards clear from faded.
    const bool headingFaded = (fade_.endFlag > 0) == fade_.forward();
    if (headingFaded != wantFaded) fade_.reverse();
    return;
  }
  const bool restsFaded = fade_.endFlag < 0;
  if (restsFaded != wantFaded) fade_.start(r.ftb.rate, 1);
}

void CategoryOperate::updateFadeStatus() {
  const FadeToBlack& stored = std::as_const(*this).record(0).ftb;
  const u8 active = fadeLevel() > FADE_ACTIVE_LEVEL ? 1 : 0;
  const u8 running =
      fade_.state == AutoTransition::STATE_RUNNING || fade_.state == AutoTransition::STATE_PAUSED ? 1 : 0;
  if (stored.active == active && stored.running == running) return;
  FadeToBlack& ftb = record(0).ftb;
  if (ftb.active != active) {
    ftb.active = active;
    ftb.mask |= FadeToBlack::BIT_ACTIVE;
  }
  if (ftb.running != running) {
    ftb.running = running;
    ftb.mask |= FadeToBlack::BIT_RUNNING;
  }
}

void CategoryOperate::resolveMeChange() {
  const KzifOperate& live = std::as_const(*this).record(0);
  std::array<PanelMe, KzifOperate::N_PANELS> rows = {live.mainPanelMe, live.subPanel1Me, live.subPanel2Me};
  for (int panel = 0; panel < KzifOperate::N_PANELS; ++panel)
    rows[static_cast<std::size_t>(panel)].mask = freshRows_[static_cast<std::size_t>(panel)];
  freshRows_.fill(0);
  // The received rows hold only what a record may set, however they got there.
  for (int r = 0; PanelMe::RECEIVED_ROWS.takes(static_cast<std::size_t>(r)); ++r) {
    for (int panel = 0; panel < KzifOperate::N_PANELS; ++panel) {
      PanelMe& p = rows[static_cast<std::size_t>(panel)];
      if (PanelMe::RECEIVED_ROWS.accept(p.me[r])) continue;
      logRowRangeOver(panel, r, p.me[r]);
      p.me[r] = static_cast<u8>(r);
      p.mask |= 1u << r;
    }
  }
  for (int panel = 0; panel < KzifOperate::N_PANELS; ++panel) {
    PanelMe& p = rows[static_cast<std::size_t>(panel)];
    // Without a change the rows stand as last resolved (or as the record came: a cold start leaves
    // every row on M/E 0 until the System Manager sends the mapping).
    if (p.mask == 0) continue;
    resolvePanelRows(p);
    PanelMe& out = record(0).panelMe(panel);
    for (int r = 0; r < PanelMe::SIZE; ++r) {
      if (!offered(p.mask, 1u << r)) continue;
      out.me[r] = p.me[r];
      out.mask |= 1u << r;
    }
  }
}

}  // namespace category

void initCategoryOperate() { operateObject(); }
