#include "Main/custominfo.h"

#include <cstring>

#include "Driver/genlock.h"
#include "Main/bp.h"
#include "Main/bus.h"
#include "Main/bus_status.h"
#include "Main/operate.h"
#include "Main/sourcename.h"

KZ_SOURCE("Main/custominfo");

namespace {

constexpr std::size_t NAME_COMPARE = 12;
constexpr const char* ME_NAMES[] = {"ME1A", "ME2A", "ME3A", "ME4A", "ME1B", "ME2B", "ME3B", "ME4B"};
constexpr int N_ME_CODES = 8;
// First output SourceId of each M/E code 1..8: the A sides, then the B sides.
constexpr int ME_FIRST_SOURCE[N_ME_CODES] = {150, 154, 158, 162, 314, 318, 322, 326};
constexpr int BUS_SELECT_SOURCE = 1024;
constexpr int OPERATE_ARRAYS = 3;
// The source name channels of the outputs of M/E sides ME1A..ME4A and ME1B..ME4B, 16 each.
constexpr int ME_A_OUTPUT_NAMES = 150;
constexpr int ME_B_OUTPUT_NAMES = 208;
constexpr int ME_OUTPUT_NAMES = 16;

bool sameName(const char* text, const char* name) { return std::strncmp(text, name, NAME_COMPARE) == 0; }

// A received text as the record's merge takes it: its characters, zeros after them.
template <class T>
T takenText(const T& received) {
  T t;
  t.assignFrom(received);
  return t;
}

// Bus status exists for the four physical M/Es only.
bool hasBusStatus(int meIndex) { return 0 <= meIndex && meIndex < N_ME; }

}  // namespace

int parseMeName(const char* text) {
  for (int i = 0; i < N_ME_CODES; ++i)
    if (sameName(text, ME_NAMES[i])) return i + 1;
  return 0;
}

namespace internal {

int KzifCustomInfo::findKeyEntry(int me) const {
  if (keyAssignEnable == 0 || me < 0 || me >= N_ENTRIES) return -1;
  for (int k = 0; k < N_ENTRIES; ++k)
    if (sameName(assignMe[k].chars, ME_NAMES[me]) && sameName(assignKind[k].chars, "KEY")) return k;
  return -1;
}

}  // namespace internal

namespace category {

CategoryCustomInfo& CategoryCustomInfo::get() { return BP::instance().require<CategoryCustomInfo>(); }

std::size_t CategoryCustomInfo::attachBackup(u8*) {
  for (u32& code : meTable_) code = 0;
  resetCustomAuxButtons();
  return attachInternal(&record_);
}

// Nothing is refused: the merge takes every marked field, each text up to its capacity, so what
// the record marks is what the change holds. The M/E table is worked out and applied from the
// record as it stood before the one merge.
void CategoryCustomInfo::assign(const internal::KzifCustomInfo& in, int idx) {
  checkChannel(idx);
  if (in.mask & 1u) setGenlockOption(std::strcmp(takenText(in.genlockOption).chars, "Enable") == 0 ? 220 : 0);
  updateMeTable(in);
  applyMeTable();
  rec::merge(records_[idx], in, rec::Checks::Skip);
  markChanged(idx);
  refreshCustomBusRows(in);
  refreshSourceNames();
}

// The record as the change will leave it, read where each of the entries' texts lies: in the
// change (as the merge takes it) when it marks that text, else in the record.
void CategoryCustomInfo::updateMeTable(const internal::KzifCustomInfo& change) {
  constexpr int FIRST_KIND_BIT = 1, FIRST_ME_BIT = 1 + internal::KzifCustomInfo::N_ENTRIES;
  auto marked = [&change](int bit) { return (change.mask >> bit & 1u) != 0; };
  for (int k = 0; k < N_PHYSICAL_ME; ++k) {
    const auto kind = marked(FIRST_KIND_BIT + k) ? takenText(change.assignKind[k]) : record_.assignKind[k];
    if (!sameName(kind.chars, "KEY")) continue;
    const auto me = marked(FIRST_ME_BIT + k) ? takenText(change.assignMe[k]) : record_.assignMe[k];
    meTable_[k] = static_cast<u32>(parseMeName(me.chars));
  }
}

void CategoryCustomInfo::applyMeTable() {
  for (int k = 0; k < N_PHYSICAL_ME; ++k) {
    const u32 code = meTable_[k];
    if (code < 1 || code > N_ME_CODES) continue;
    const int source = ME_FIRST_SOURCE[code - 1];
    CategoryBus* bus = BP::instance().find<CategoryBus>(k);
    if (bus == nullptr) bus = BP::instance().find<CategoryBus>(0);
    if (bus != nullptr) {
      KzifBus change{};
      change.me = static_cast<u8>(k);
      const bool swapped = bus->record(0).flip != 0;
      change.code[0] = static_cast<u16>(BUS_SELECT_SOURCE + source + (swapped ? 1 : 0));
      change.code[1] = static_cast<u16>(BUS_SELECT_SOURCE + source + (swapped ? 0 : 1));
      change.markBus(0);
      change.markBus(1);
      bus->assign(change, 1);
    }
    copyMeSettings(static_cast<int>(code) - 1, k);
  }
}

void CategoryCustomInfo::copyMeSettings(int from, int to) {
  if (auto* operate = BP::instance().find<CategoryOperate>()) {
    // The three panels' selections are fields of their own, so one assign carries all three: an
    // assign of the operation settings walks the whole record.
    KzifOperate change{};
    const KzifOperate& stored = operate->record(0);
    const KzifOperate::EntrySelectTable* src[OPERATE_ARRAYS] = {
        &stored.mainPanelEntrySelect, &stored.subPanel1EntrySelect, &stored.subPanel2EntrySelect};
    KzifOperate::EntrySelectTable* dst[OPERATE_ARRAYS] = {&change.mainPanelEntrySelect, &change.subPanel1EntrySelect,
                                                          &change.subPanel2EntrySelect};
    for (int a = 0; a < OPERATE_ARRAYS; ++a) {
      dst[a]->value[to] = src[a]->value[from];
      dst[a]->mask = 1u << to;
    }
    operate->assign(change, 0);
  }
  // A B side has no bus status of its own to copy.
  if (!hasBusStatus(from)) return;
  CategoryBusStatus* source = BP::instance().find<CategoryBusStatus>(from);
  CategoryBusStatus* target = BP::instance().find<CategoryBusStatus>(to);
  if (source == nullptr || target == nullptr) return;
  KzifBusStatus change = source->record(0);
  rec::setAllMasks(change);
  for (int r = 0; r < 4; ++r)
    if (102 <= change.rowBus.bus[r] && change.rowBus.bus[r] <= 109) change.rowBus.bus[r] = static_cast<u8>(change.rowBus.bus[r] - 100);
  change.me = static_cast<u8>(to);
  change.panel = 0;
  target->assign(change, 0);
}

// The custom AUX buttons whose item the record gave take it, read back through busItem().
void CategoryCustomInfo::refreshCustomBusRows(const internal::KzifCustomInfo& change) {
  for (int n = 0; n < internal::CustomBusItems::N_ITEMS; ++n)
    if ((change.busItems.mask[n / 32] >> (n % 32)) & 1u) updateCustomInfoBus(n);
}

// The names of the M/E output sources are published again, as their meaning may have moved: each
// takes its own stored label mode back, which marks its label for the multiview.
void CategoryCustomInfo::refreshSourceNames() {
  auto* names = BP::instance().find<CategoryButtonSourceName>();
  if (names == nullptr) return;
  for (const int first : {ME_A_OUTPUT_NAMES, ME_B_OUTPUT_NAMES})
    for (int source = first; source < first + ME_OUTPUT_NAMES; ++source) names->retakeLabelMode(source);
}

int CategoryCustomInfo::findMeSlot(int me) const {
  for (int k = 0; k < N_PHYSICAL_ME; ++k)
    if (static_cast<i64>(meTable_[k]) == static_cast<i64>(me) + 1) return k;
  return -1;
}

const char* CategoryCustomInfo::getCustomText(int n) const {
  if (n < 0 || n >= internal::KzifCustomInfo::N_ENTRIES) return "";
  return record_.customText[n].chars;
}

int CategoryCustomInfo::getAssignKind(int n) const {
  if (n < 0 || n >= internal::KzifCustomInfo::N_ENTRIES) return 0;
  const char* kind = record_.assignKind[n].chars;
  if (sameName(kind, "Off")) return 0;
  if (sameName(kind, "ME")) return 1;
  if (sameName(kind, "KEY")) return 2;
  return 255;
}

int CategoryCustomInfo::getAssignMe(int n) const {
  if (n < 0 || n >= internal::KzifCustomInfo::N_ENTRIES) return -1;
  return parseMeName(record_.assignMe[n].chars) - 1;
}

u32 CategoryCustomInfo::meTable(int m) const { return 0 <= m && m < N_PHYSICAL_ME ? meTable_[m] : 0; }

int CategoryCustomInfo::busItem(int i) const {
  if (i < 0 || i >= internal::CustomBusItems::N_ITEMS) return -1;
  const int item = record_.busItems.item[i];
  return item > internal::CustomBusItems::LAST_USABLE ? -1 : item;
}

}  // namespace category

void initCategoryCustomInfo() { static category::CategoryCustomInfo customInfo; }
