#include "Main/tally.h"

#include <cstring>

#include "Driver/kz.h"
#include "Main/bp.h"
#include "Main/source_ids.h"

KZ_SOURCE("Main/tally");

namespace {

// Sources 150 + 4k .. 152 + 4k of M/E k = 0, 1, then 170..177: what entry codes 1..20 name.
constexpr std::array<i16, 20> ENTRY_SOURCES = {150, 151, 152, 154, 155, 156, 158, 159, 160, 162,
                                               163, 164, 170, 171, 172, 173, 174, 175, 176, 177};
constexpr int FIRST_AUX_ENTRY = 21;
constexpr int LAST_AUX_ENTRY = 68;
constexpr int AUX_ENTRY_TO_SOURCE = 219;

// Latched status words: where each comes from (0 none).
constexpr std::array<int, category::CategorySourceTally::N_STATUS_WORDS> STATUS_SOURCES = {
    KZ_CONTEXT_ME1, KZ_CONTEXT_ME1 + 1, 0, 0, KZ_DSK_PGM1, KZ_DSK_CLN1, 0, 0, 0, 0};

// A background DVE transition shows one bus of a pair while the hardware reports the other:
// either bit of a pair counts as both (bits 1, 2 and 17, 18 of an M/E word).
constexpr u32 DVE_PAIRS[2] = {(1u << 1) | (1u << 2), (1u << 17) | (1u << 18)};

void setBit(u32* words, int i) { words[i / 32] |= 1u << (i % 32); }

// A row that differs anywhere is taken whole, every changed bit set.
bool takeRow(KzifSourceTally& dst, const KzifSourceTally& computed) {
  if (std::memcmp(dst.tally, computed.tally, sizeof dst.tally) == 0) return false;
  std::memcpy(dst.tally, computed.tally, sizeof dst.tally);
  for (int i = 0; i < KzifSourceTally::N_SOURCES; ++i) setBit(dst.changed, i);
  dst.row = computed.row;
  return true;
}

}  // namespace

int tallyIndexOf(int s) {
  if (10 <= s && s <= 137) return s - 10;
  if (140 <= s && s <= 141) return s - 12;
  if (150 <= s && s <= 165) return s - 20;
  if (170 <= s && s <= 178) return s - 24;
  if (180 <= s && s <= 191) {
    const int n = (s - 180) / 3, r = (s - 180) % 3;
    return r == 2 ? 156 + 2 * n : 155 + 2 * n;
  }
  if (200 <= s && s <= 211) {
    const int n = (s - 200) / 3, r = (s - 200) % 3;
    return r == 2 ? 164 + 2 * n : 163 + 2 * n;
  }
  if (220 <= s && s <= 223) return s - 49;
  if (230 <= s && s <= 237) return s - 55;
  if (240 <= s && s <= 287) return s - 57;
  if (314 <= s && s <= 329) return s - 83;
  return -1;
}

int tallyEntrySource(int code) {
  if (1 <= code && code <= static_cast<int>(ENTRY_SOURCES.size())) return ENTRY_SOURCES[static_cast<std::size_t>(code - 1)];
  if (FIRST_AUX_ENTRY <= code && code <= LAST_AUX_ENTRY) return code + AUX_ENTRY_TO_SOURCE;
  return -1;
}

namespace category {

// ---- bus tally -----------------------------------------------------------------------------------

CategoryBusTally::CategoryBusTally() : CategoryCommon(true) { attachInternal(&record_); }

CategoryBusTally& CategoryBusTally::get(int me) { return BP::instance().require<CategoryBusTally>(me); }

std::size_t CategoryBusTally::attachBackup(u8*) {
  changed_.fill(0);
  takenBitsValid_ = false;
  return attachInternal(&record_);
}

void CategoryBusTally::initIndex(int, int) { record_.me = static_cast<u8>(me_); }

void CategoryBusTally::initInternal() {
  CategoryCommon::initInternal();
  record_.me = static_cast<u8>(me_);
  record_.mask = 0;
  std::memset(record_.changed, 0, sizeof record_.changed);
}

void CategoryBusTally::assign(const KzifBusTally&, int idx) {
  checkChannel(idx);
  record_.me = static_cast<u8>(me_);
  markChanged(idx);
}

void CategoryBusTally::take(const KzifBusTally& computed) {
  const bool written = takeRecordWritten(0);
  if (!written && takenBitsValid_ && std::equal(takenBits_.begin(), takenBits_.end(), std::begin(computed.changed))) return;
  std::copy(std::begin(computed.changed), std::end(computed.changed), takenBits_.begin());
  takenBitsValid_ = true;
  if (std::memcmp(record_.tally, computed.tally, sizeof record_.tally) == 0) return;
  for (int b = 0; b < KzifBusTally::N_BUSES; ++b) {
    if (record_.tally[b] == computed.tally[b]) continue;
    record_.tally[b] = computed.tally[b];
    setBit(record_.changed, b);
  }
  markSendPending();
}

// The record's marks are set only by a take, an incoming record or the writable record (the
// last two mark the object for the send pass themselves).
bool CategoryBusTally::nothingToSend() const {
  bool marked = changed_[0] != 0 || record_.mask != 0;
  for (u32 w : record_.changed) marked = marked || w != 0;
  return !marked;
}

void CategoryBusTally::sendRecord(AcknowledgeSender& tx) {
  bool marked = changed_[0] != 0 || record_.mask != 0;
  for (u32 w : record_.changed) marked = marked || w != 0;
  if (!marked) return;
  record_.me = static_cast<u8>(me_);
  tx.writeRecord(record_);  // a failed write is logged by the sender; the change is not kept
  changed_[0] = 0;
  record_.mask = 0;
  std::memset(record_.changed, 0, sizeof record_.changed);
}

void CategoryBusTally::sendChanges(AcknowledgeSender& tx) {
  if (tx.backlogged()) return;  // the marks stay until the backlog drains
  sendRecord(tx);
}

// ---- source tally --------------------------------------------------------------------------------

CategorySourceTally::CategorySourceTally() { attachInternal(rows_.data()); }

CategorySourceTally& CategorySourceTally::get() { return BP::instance().require<CategorySourceTally>(); }

// Volatile: a start finds no tally, no latched status and no counted transition.
std::size_t CategorySourceTally::attachBackup(u8*) {
  changed_.fill(0);
  std::memset(static_cast<void*>(outgoing_.data()), 0, sizeof outgoing_);
  for (auto& bank : banks_) bank.fill(0);
  bank_ = 0;
  statusOr_.fill(0);
  for (auto& slot : bkgdDveTrans_) slot.fill(0);
  bkgdDveTransCnt_ = 0;
  outgoingBits_.fill(TakenBits{});
  rowBits_.fill(TakenBits{});
  ++revision_;
  return attachInternal(rows_.data());
}

void CategorySourceTally::initIndex(int, int) {
  for (int k = 0; k < N_GROUPS; ++k) rows_[static_cast<std::size_t>(k)].row = static_cast<u16>(k);
}

void CategorySourceTally::initInternal() {
  CategoryCommon::initInternal();
  for (int k = 0; k < N_GROUPS; ++k) {
    KzifSourceTally& r = rows_[static_cast<std::size_t>(k)];
    r.mask = 0;
    std::memset(r.changed, 0, sizeof r.changed);
    KzifSourceTally& out = outgoing_[static_cast<std::size_t>(k)];
    out.row = static_cast<u16>(k);
    std::memset(out.changed, 0, sizeof out.changed);
  }
}

const KzifSourceTally& CategorySourceTally::outgoingRow(int group) const {
  KZ_CHECK(0 <= group && group < N_GROUPS);
  return outgoing_[static_cast<std::size_t>(group)];
}

u32 CategorySourceTally::latchedStatus(int i) const {
  KZ_CHECK(0 <= i && i < N_STATUS_WORDS);
  return statusOr_[static_cast<std::size_t>(i)];
}

void CategorySourceTally::countBkgdDveTrans() {
  const int me = getMeContext() - KZ_CONTEXT_ME1;
  KZ_CHECK(0 <= me && me < N_ME);
  ::assert::check(kzSourceName, __LINE__, "0 <= bkgdDveTransCnt && bkgdDveTransCnt < 4",
                  0 <= bkgdDveTransCnt_ && bkgdDveTransCnt_ < N_DVE_SLOTS);
  bkgdDveTrans_[static_cast<std::size_t>(bkgdDveTransCnt_)][static_cast<std::size_t>(me)] = 1;
}

void CategorySourceTally::latchStatus() {
  std::array<u32, N_STATUS_WORDS> words{};
  for (std::size_t i = 0; i < words.size(); ++i)
    if (STATUS_SOURCES[i] != 0) words[i] = getTallyStatus(STATUS_SOURCES[i]);
  const auto& oldest = bkgdDveTrans_[static_cast<std::size_t>((bkgdDveTransCnt_ + 1) % N_DVE_SLOTS)];
  for (std::size_t m = 0; m < oldest.size(); ++m) {
    if (oldest[m] == 0) continue;
    for (u32 pair : DVE_PAIRS)
      if (words[m] & pair) words[m] |= pair;
  }
  banks_[bank_] = words;
  for (std::size_t i = 0; i < words.size(); ++i) statusOr_[i] = banks_[0][i] | banks_[1][i];
  bank_ ^= 1u;
}

void CategorySourceTally::takeGroup(int group, const Tally& work) {
  if (group == 0)
    for (int m = 0; m < N_ME; ++m)
      if (auto* buses = BP::instance().find<CategoryBusTally>(m)) buses->take(work.buses[static_cast<std::size_t>(m)]);
  const auto g = static_cast<std::size_t>(group);
  const u32(&marks)[KzifSourceTally::N_WORDS] = work.sources.changed;
  if (!outgoingBits_[g].same(marks)) {
    if (takeRow(outgoing_[g], work.sources)) markSendPending();
    outgoingBits_[g].take(marks);
  }
  const auto* peripheral = BP::instance().find<CategoryPeripheral>();
  if (peripheral != nullptr && peripheral->externalTally()) return;
  KzifSourceTally& r = rows_[g];
  bool taken = false;
  if (takeRecordWritten(group) || !rowBits_[g].same(marks)) {
    taken = takeRow(r, work.sources);
    rowBits_[g].take(marks);
  }
  if (taken) {
    mayHoldMarks(group);
    ++revision_;
  } else {
    r.mask = 0;
    std::memset(r.changed, 0, sizeof r.changed);
  }
}

void CategorySourceTally::update() {
  latchStatus();
  const auto* peripheral = BP::instance().find<CategoryPeripheral>();
  const bool hardware = peripheral != nullptr && peripheral->tallyMode() != 0;
  walkAndTakeGroups(peripheral, hardware);
  if (hardware) {
    bkgdDveTransCnt_ = (bkgdDveTransCnt_ + 1) % N_DVE_SLOTS;
    bkgdDveTrans_[static_cast<std::size_t>(bkgdDveTransCnt_)].fill(0);
  }
}

void CategorySourceTally::sendChanges(AcknowledgeSender& tx) {
  for (int k = 0; k < N_GROUPS; ++k) {
    KzifSourceTally& out = outgoing_[static_cast<std::size_t>(k)];
    bool marked = changed_[static_cast<std::size_t>(k)] != 0;
    for (u32 w : out.changed) marked = marked || w != 0;
    if (!marked) continue;
    if (tx.backlogged()) return;  // the rows left wait for a later field, their marks kept
    out.row = static_cast<u16>(k);
    tx.writeRecord(out);  // a failed write is logged by the sender; the change is not kept
    changed_[static_cast<std::size_t>(k)] = 0;
    std::memset(out.changed, 0, sizeof out.changed);
  }
}

// The outgoing rows are marked only by a take, the rows' changed flags only by a merge or a
// take (which mark the object for the send pass themselves). Their mask stays 0 from the start:
// nothing but their changed bits marks them.
bool CategorySourceTally::nothingToSend() const {
  for (int k = 0; k < N_GROUPS; ++k) {
    const KzifSourceTally& out = outgoing_[static_cast<std::size_t>(k)];
    bool marked = changed_[static_cast<std::size_t>(k)] != 0;
    for (u32 w : out.changed) marked = marked || w != 0;
    if (marked) return false;
  }
  return true;
}

// Only tally bytes 0..246 exist: the changed bits of the words' last nine positions name no byte
// and are ignored.
void CategorySourceTally::assign(const KzifSourceTally& in, int idx) {
  checkChannel(idx);
  KzifSourceTally& r = rows_[static_cast<std::size_t>(idx)];
  const auto* peripheral = BP::instance().find<CategoryPeripheral>();
  if (peripheral != nullptr && peripheral->externalTally()) {
    r.row = in.row;
    bool moved = false;
    for (int i = 0; i < KzifSourceTally::N_SOURCES; ++i) {
      if (((in.changed[i / 32] >> (i % 32)) & 1u) == 0) continue;
      const u8 v = in.tally[i] != 0 ? 1 : 0;
      moved = moved || r.tally[i] != v;
      r.tally[i] = v;
      setBit(r.changed, i);
    }
    if (moved) ++revision_;
  } else {
    r.row = 0;
  }
  markChanged(idx);
}

}  // namespace category

void initCategoryBusTally() { static std::array<category::CategoryBusTally, N_ME> busTally; }
void initCategorySourceTally() { static category::CategorySourceTally sourceTally; }
