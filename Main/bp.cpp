#include "Main/bp.h"

#include <cstdarg>
#include <cstring>

#include "Common/assert.h"
#include "Common/log.h"
#include "Common/storage.h"
#include "Main/contained.h"
#include "Platform/platform.h"

KZ_SOURCE("Main/bp");

namespace {

std::size_t align8(std::size_t n) { return (n + 7) & ~std::size_t{7}; }

u32 loadU32(const u8* p) {
  u32 v;
  std::memcpy(&v, p, 4);
  return v;
}

u32 bootMode() {
  volatile u32* w = platform::ocmWord(platform::OCM_BOOT_MODE);
  return w ? *w : 0;
}

using bp_step::contained;

}  // namespace

namespace category {

void CategoryInterface::receive(RequestReceiver& rx) { rx.consume(); }

void CategoryInterface::receiveRouted(int, RequestReceiver& rx) {
  rx.consume();
  KZ_NEVER_REACH();
}

int registerCategory(CategoryInterface* ref, int typeId) { return BP::instance().registerCategory(ref, typeId); }
void setRoute(int type, int handler) { BP::instance().setRoute(type, handler); }
void setBodyRule(int type, BodyRule rule) { BP::instance().setBodyRule(type, rule); }
CategoryInterface* lookup(int typeId, int me) { return BP::instance().get(typeId, me); }

}  // namespace category

category::CategoryInterface* BP::get(int id, int me) {
  KZ_CHECK(0 <= me && me < N_ME);
  KZ_CHECK(0 <= id && id < N_TYPES);
  auto* c = registry_[static_cast<std::size_t>(id)][static_cast<std::size_t>(me)];
  return c ? c : registry_[static_cast<std::size_t>(id)][0];
}

category::CategoryInterface& BP::ownOrFail(int id, int me) const {
  category::CategoryInterface* c = own(id, me);
  KZ_CHECK(c != nullptr);
  return *c;
}

int BP::registerCategory(category::CategoryInterface* ref, int id) {
  KZ_CHECK(0 <= id && id < N_TYPES);
  auto& row = registry_[static_cast<std::size_t>(id)];
  int me = 0;
  while (me < N_ME && row[static_cast<std::size_t>(me)] != nullptr) ++me;
  KZ_CHECK(me < N_ME);
  KZ_CHECK(me == 0 || ref->ownedByME());
  row[static_cast<std::size_t>(me)] = ref;
  // (id, me) is new, so its place in the list is after every entry that sorts before it.
  std::size_t at = nRegistered_;
  while (at > 0 && (registered_[at - 1].id > id || (registered_[at - 1].id == id && registered_[at - 1].me > me))) {
    registered_[at] = registered_[at - 1];
    --at;
  }
  registered_[at] = {ref, id, me};
  ++nRegistered_;
  ref->setSendSlot(id * N_ME + me);
  category::sendPending().mark(id * N_ME + me);
  updateOrderStale_ = true;
  return me;
}

void BP::buildUpdateOrder() {
  // A class outside the known ones counts as the general one rather than leaving its object out.
  auto classOf = [](const category::CategoryInterface& c) {
    const category::UpdateClass cls = c.updateClass();
    return cls < category::FIRST_UPDATE_CLASS || cls > category::LAST_UPDATE_CLASS ? category::UpdateClass::General
                                                                                     : cls;
  };
  std::size_t n = 0;
  for (int cls = static_cast<int>(category::FIRST_UPDATE_CLASS); cls <= static_cast<int>(category::LAST_UPDATE_CLASS);
       ++cls)
    for (std::size_t i = 0; i < nRegistered_; ++i)
      if (static_cast<int>(classOf(*registered_[i].object)) == cls) updateOrder_[n++] = static_cast<u16>(i);
  updateOrderStale_ = false;
}

void BP::setRoute(int type, int handler) {
  KZ_CHECK(0 <= type && type < N_TYPES);
  route_[static_cast<std::size_t>(type)] = handler;
}

int BP::route(int type) const { return routeAt(type); }

void BP::setBodyRule(int type, BodyRule rule) {
  KZ_CHECK(0 <= type && type < N_TYPES);
  bodyRule_[static_cast<std::size_t>(type)] = rule;
}

BodyRule BP::bodyRule(int type) const {
  return bodyRuleAt(type);
}

int BP::updateClass(int type) const {
  const category::CategoryInterface* c = own(type, 0);
  return static_cast<int>(c ? c->updateClass() : category::UpdateClass::General);
}

std::size_t BP::shareOffset(int id, int me) const {
  if (id < 0 || id >= N_TYPES || me < 0 || me > 1) return 0;
  return shareOffset_[static_cast<std::size_t>(id)][static_cast<std::size_t>(me)];
}

// The header takes offset 0, so no share starts there.
bool BP::hasShare(int id, int me) const { return shareOffset(id, me) != 0; }

void BP::start() {
  // Only what the previous layout handed out can hold anything (nothing at the first start).
  static std::size_t volatileUsed = 0;
  std::memset(backup_.data(), 0, backupSize_);
  std::memset(volatile_.data(), 0, volatileUsed);
  for (auto& row : shareOffset_) row.fill(0);
  input_.clear();
  AcknowledgeSender::instance().stream().clear();

  // Shares in type id order, M/E 0 then 1, each on an 8-byte boundary; M/E 2 and 3 keep their
  // records in the volatile area. The header and each share with bytes are saved as units.
  std::size_t offset = BACKUP_HEADER_SIZE;
  std::size_t volatileOffset = 0;
  std::size_t nShares = 0;
  auto addShare = [&](std::size_t at, std::size_t size, storage::ShareMarks& marks, const Registered& owner) {
    KZ_CHECK(nShares < shares_.size());
    shares_[nShares] = {static_cast<u32>(at), static_cast<u32>(size), &marks};
    shareOwners_[nShares++] = owner;
  };
  addShare(0, BACKUP_HEADER_SIZE, headerMarks_, {nullptr, -1, 0});
  forEachRegistered(Order::ByTypeId, [&](category::CategoryInterface& c, int id, int me) {
    c.shareMarks().attach(nullptr, nullptr, 0, 0);  // until the window points a share's marks at its units
    if (me < 2) {
      KZ_CHECK(offset <= storage::COPY_CAPACITY);
      const std::size_t size = align8(c.attachBackup(backup_.data() + offset));
      // Without a share nothing in the image is the category's: it keeps offset 0, and the bytes
      // where its share would lie belong to the next one.
      if (size > 0) {
        shareOffset_[static_cast<std::size_t>(id)][static_cast<std::size_t>(me)] = static_cast<u32>(offset);
        addShare(offset, size, c.shareMarks(), {&c, id, me});
      }
      offset += size;
    } else {
      KZ_CHECK(volatileOffset <= BACKUP_SIZE);
      volatileOffset += align8(c.attachBackup(volatile_.data() + volatileOffset));
    }
  });
  // Every share must fit one copy in the non-volatile window.
  KZ_CHECK(offset <= storage::COPY_CAPACITY);
  KZ_CHECK(volatileOffset <= BACKUP_SIZE);
  backupSize_ = offset;
  volatileUsed = volatileOffset;
  nShares_ = nShares;

  const storage::Found found = window_.open(backup_.data(), std::span<const storage::Share>(shares_.data(), nShares), offset);
  const u8* stored = found.image;
  const bool initialiseAsked = (bootMode() & BOOT_MODE_INITIALIZE) != 0;
  resumed_ = stored != nullptr && loadU32(stored) == BACKUP_MAGIC && loadU32(stored + 4) == BACKUP_LAYOUT_VERSION &&
             !initialiseAsked;
  if (found.commitRecords && stored == nullptr && !initialiseAsked)
    libkz::getLogger().printf(libkz::LOG_ERR, "backup image: no copy is whole, initialising");
  if (resumed_) {
    restoreBackup(stored);
    resumeAll();
  } else {
    initializeAll();
  }
  const u32 header[2] = {BACKUP_MAGIC, BACKUP_LAYOUT_VERSION};
  std::memcpy(backup_.data(), header, sizeof header);
}

void BP::restoreBackup(const u8* image) {
  forEachRegistered(Order::ByTypeId, [&](category::CategoryInterface& c, int id, int me) {
    // M/E 2 and 3, and volatile categories, have no share: whatever restore they have is never
    // handed the image, or it would read the shares stored after theirs.
    if (!hasShare(id, me)) return;
    try {
      c.restore(image + shareOffset(id, me));
    } catch (const assert::AssertException&) {
      contained([&] { c.initialize(me, 0); });  // a share that cannot be restored starts afresh
    }
  });
}

// What has no share was not restored: it starts as at a cold start.
void BP::resumeAll() {
  forEachRegistered(Order::ByTypeId, [&](category::CategoryInterface& c, int id, int me) {
    contained([&] {
      if (hasShare(id, me)) {
        c.initInternal();
      } else {
        c.initialize(me, 0);
      }
    });
  });
}

void BP::initializeAll() {
  libkz::getLogger().printf(libkz::LOG_INFO, "initializeAll()");
  forEachRegistered(Order::ByTypeId,
                    [&](category::CategoryInterface& c, int, int me) { contained([&] { c.initialize(me, 0); }); });
}

void BP::onField() {
  if (fieldStartHook_) contained(fieldStartHook_);
  receiveAll();
  updateAll();
  sendAll();
  if ((bootMode() & BOOT_MODE_NO_BACKUP) == 0) {
    afterSendAll();
    saveBackup();
  }
}

void BP::updateAll() {
  forEachRegistered(Order::ByUpdateClass,
                    [](category::CategoryInterface& c, int, int) { contained([&] { c.update(); }); });
}

void BP::sendAll() {
  AcknowledgeSender& tx = AcknowledgeSender::instance();
  tx.stream().beginPass();
  // In type id, then M/E order, as the registered objects lie; the marks are read afresh at each
  // step, so that an object marked by the send of one before it is still sent in this pass.
  auto& pending = category::sendPending();
  for (int slot = pending.nextMarked(0); slot < N_TYPES * N_ME; slot = pending.nextMarked(slot + 1)) {
    category::CategoryInterface* c = registry_[static_cast<std::size_t>(slot / N_ME)][static_cast<std::size_t>(slot % N_ME)];
    if (c == nullptr) {
      pending.unmark(slot);
      continue;
    }
    contained([&] { c->sendChanges(tx); });
    if (c->nothingToSend()) pending.unmark(slot);
  }
  tx.stream().endPass();
}

void BP::afterSendAll() {
  forEachRegistered(Order::ByTypeId,
                    [](category::CategoryInterface& c, int, int) { contained([&] { c.afterSend(); }); });
}

void BP::saveBackup() { window_.save(backup_.data()); }

void BP::tickAll() {
  forEachRegistered(Order::ByTypeId, [](category::CategoryInterface& c, int, int) {
    VsyncHold hold;
    contained([&] { c.tick(); });
  });
}

VsyncHold::~VsyncHold() {
  if (--depth_ > 0 || deferred_ == nullptr) return;
  void (*work)() = deferred_;
  deferred_ = nullptr;
  work();
}

void VsyncHold::runOrDefer(void (*fieldCycle)()) {
  if (depth_ > 0) {
    deferred_ = fieldCycle;
    return;
  }
  fieldCycle();
}
