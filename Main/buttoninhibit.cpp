#include "Main/buttoninhibit.h"

#include "Main/bp.h"

KZ_SOURCE("Main/buttoninhibit");

namespace category {

CategoryButtonInhibit& CategoryButtonInhibit::get() {
  auto* inhibit = BP::instance().find<CategoryButtonInhibit>();
  KZ_CHECK(inhibit != nullptr);
  return *inhibit;
}

void CategoryButtonInhibit::initIndex(int, int) {
  for (int panel = 0; panel < N_CHANNELS; ++panel) rec::stamp(records_[panel], me_, panel);
}

std::size_t CategoryButtonInhibit::attachBackup(u8* p) {
  maybeMarked_.markAll();  // the storage may hold marks of a send that a backlog held back
  return CategoryCommon::attachBackup(p);
}

void CategoryButtonInhibit::restore(const u8* stored) {
  CategoryCommon::restore(stored);
  maybeMarked_.markAll();
}

void CategoryButtonInhibit::initInternal() {
  CategoryCommon::initInternal();
  maybeMarked_.markAll();
}

void CategoryButtonInhibit::assign(const KzifButtonInhibit& in, int idx) {
  CategoryCommon::assign(in, idx);
  maybeMarked_.mark(idx);
}

void CategoryButtonInhibit::sendChanges(AcknowledgeSender& tx) {
  maybeMarked_.visit([&](int ch) {
    if (tx.backlogged()) return false;  // the changes stay pending until the backlog drains
    sendIfMarked(tx, ch);
    return true;
  });
}

void CategoryButtonInhibit::send(AcknowledgeSender& tx, int ch) {
  if (ch < 0 || ch >= N_CHANNELS || tx.backlogged()) return;
  sendIfMarked(tx, ch);
}

// The framework's send of one channel, which also lets the channel go from the ones looked at.
void CategoryButtonInhibit::sendIfMarked(AcknowledgeSender& tx, int ch) {
  maybeMarked_.unmark(ch);
  KzifButtonInhibit& r = records_[ch];
  if (!changed_[static_cast<std::size_t>(ch)] && !rec::anyMask(r)) return;
  rec::stamp(r, me_, ch);
  tx.writeRecord(r);  // a failed write is logged by the sender; the change is not kept
  rec::clearMasks(r);
  changed_[static_cast<std::size_t>(ch)] = 0;
}

}  // namespace category

void initCategoryButtonInhibit() { static category::CategoryButtonInhibit buttonInhibit; }
