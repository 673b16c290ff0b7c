// BP: the registry of categories by (type id, M/E), the backup image, and the field cycle that
// receives the System Manager's messages, steps every category and sends the changes back.
#pragma once
#include <array>
#include <cstddef>

#include "Common/storage.h"
#include "Lib/Include/kz_types.h"
#include "Main/category.h"
#include "Main/stream.h"

// Backup image header (the layout of the non-volatile window is in Common/storage.h).
constexpr u32 BACKUP_MAGIC = 0x08765421;
constexpr u32 BACKUP_LAYOUT_VERSION = 145;
constexpr std::size_t BACKUP_HEADER_SIZE = 8;  // magic, layout version (u32 each, as in memory)
// The image fills at most the non-volatile window it is saved into.
constexpr std::size_t BACKUP_SIZE = storage::NV_SIZE;

// Boot-mode word bits (on-chip memory 0xFFFF0000, written by the System Manager before start).
constexpr u32 BOOT_MODE_INITIALIZE = 0x0001;  // initialise instead of resuming the backup image
constexpr u32 BOOT_MODE_NO_BACKUP = 0x4000;   // neither afterSend nor the backup save run

class BP {
 public:
  // Inline: the field cycle looks categories up a few hundred times per field.
  // Set up at compile time, so that no first-use check (a barrier on the board) guards each look-up.
  static BP& instance() {
    static constinit BP bp;
    return bp;
  }

  // The category of a type id for an M/E; an M/E without its own instance gives the M/E 0 one;
  // nullptr when the type id has none. Asserts the ranges.
  category::CategoryInterface* get(int id, int me);
  // The object registered for exactly (id, me), without the M/E 0 fallback. Always inlined: the
  // passes call it for every category, and a copy of it out of line would be one call each.
  [[gnu::always_inline]] category::CategoryInterface* own(int id, int me) const {
    if (static_cast<unsigned>(id) >= static_cast<unsigned>(N_TYPES) || static_cast<unsigned>(me) >= static_cast<unsigned>(N_ME))
      return nullptr;
    return registry_[static_cast<std::size_t>(id)][static_cast<std::size_t>(me)];
  }
  // The object of category class C registered for exactly M/E me; nullptr when there is none.
  template <class C>
  C* find(int me = 0) const {
    return static_cast<C*>(own(category::typeIdOf<C>(), me));
  }
  // The same where the object must exist: its absence fails the assertion.
  template <class C>
  C& require(int me = 0) const {
    return static_cast<C&>(ownOrFail(category::typeIdOf<C>(), me));
  }

  int registerCategory(category::CategoryInterface* ref, int id);
  void setRoute(int type, int handler);
  int route(int type) const;
  void setBodyRule(int type, BodyRule rule);
  // The default rule for a type id without one (and outside the list).
  BodyRule bodyRule(int type) const;
  // The update class of the category of a type id (that of its M/E 0 object); the general class
  // when the type id has none.
  int updateClass(int type) const;

  // The orders in which a pass visits the registered objects.
  enum class Order {
    ByTypeId,      // type id, then M/E: storage layout, start, send, after-send, 30 ms hooks
    ByUpdateClass  // update class, then type id, then M/E: the per-field pass
  };
  // Calls fn(object, type id, me) for every registered object, and for nothing else, in `order`.
  template <class Fn>
  void forEachRegistered(Order order, Fn fn) {
    if (order == Order::ByTypeId) {
      for (std::size_t i = 0; i < nRegistered_; ++i) fn(*registered_[i].object, registered_[i].id, registered_[i].me);
      return;
    }
    if (updateOrderStale_) buildUpdateOrder();
    for (std::size_t i = 0; i < nRegistered_; ++i) {
      const Registered& r = registered_[updateOrder_[i]];
      fn(*r.object, r.id, r.me);
    }
  }

  // Lays out storage, then restores and resumes the backup image or initialises everything.
  void start();
  // One VSYNC field cycle.
  void onField();
  void receiveAll();
  // Host checks only, never in the field cycle: the receive pass searching for every frame byte
  // by byte, as receiveAll() does only where a header is not in place before the ring's end.
  void receiveAllByteByByte();
  void updateAll();
  void sendAll();
  void afterSendAll();
  void saveBackup();
  // The 30 ms hooks of every category.
  void tickAll();

  // Called at the start of every field cycle, before the receive pass (the panel event drain).
  using FieldStartHook = void (*)();
  void setFieldStartHook(FieldStartHook hook) { fieldStartHook_ = hook; }
  FieldStartHook fieldStartHook() const { return fieldStartHook_; }

  const u8* backupImage() const { return backup_.data(); }
  // Host checks only, never in the field cycle: fn(typeName, type id, me, copy) for every share
  // whose bytes differ from those of a copy in the non-volatile window without being marked for
  // that copy (a change the next save would miss). The header is "header", type id -1.
  template <class Fn>
  void forEachUnmarkedShare(Fn fn) const {
    window_.forEachUnmarkedChange(backup_.data(), [&](std::size_t s, int copy) {
      const Registered& owner = shareOwners_[s];
      fn(owner.object ? owner.object->typeName() : "header", owner.id, owner.me, copy);
    });
  }
  // Host checks only: fn(typeName, type id, me) for every share the next save will compare
  // against the non-volatile window (the header is "header", type id -1).
  template <class Fn>
  void forEachMarkedShare(Fn fn) const {
    for (std::size_t s = 0; s < nShares_; ++s) {
      if (!shares_[s].marks->any()) continue;
      const Registered& owner = shareOwners_[s];
      fn(owner.object ? owner.object->typeName() : "header", owner.id, owner.me);
    }
  }
  std::size_t backupSize() const { return backupSize_; }
  // Offset of a category's share in the backup image (M/E 0 and 1 only); 0 when it has none.
  std::size_t shareOffset(int id, int me) const;
  // Whether a category keeps records in the backup image: only these are restored from it.
  bool hasShare(int id, int me) const;
  bool resumed() const { return resumed_; }
  BpInputStream& input() { return input_; }

 private:
  constexpr BP() = default;
  // The receive pass; IN_PLACE frames a message whose header lies before the ring's end with
  // its sync bytes in place without the byte-by-byte sync search.
  template <bool IN_PLACE>
  void receiveFrames();
  // Hands one whole message to its category, framed by `rule`; returns how many bytes at the end
  // of the body its record left unread and the receive pass is to search for frames.
  std::size_t dispatch(const MessageHeader& header, std::span<const u8> body, BodyRule rule);
  // Logs why a frame of this type was dropped (or cut short): one line per type per field, so
  // that noise on the ring cannot flood the console.
  void logReceiveFault(u16 type, const char* format, ...) __attribute__((format(printf, 3, 4)));
  void restoreBackup(const u8* image);
  void resumeAll();
  void initializeAll();

  category::CategoryInterface& ownOrFail(int id, int me) const;
  void buildUpdateOrder();
  // route() and bodyRule(), inline for the receive pass, which looks them up for every message.
  int routeAt(int type) const { return type >= 0 && type < N_TYPES ? route_[static_cast<std::size_t>(type)] : -1; }
  BodyRule bodyRuleAt(int type) const {
    return type >= 0 && type < N_TYPES ? bodyRule_[static_cast<std::size_t>(type)] : BodyRule{};
  }

  struct Registered {
    category::CategoryInterface* object;
    int id;
    int me;
  };
  static constexpr std::size_t MAX_REGISTERED = std::size_t{N_TYPES} * N_ME;
  static_assert(storage::BackupWindow::MAX_SHARES >= 2 * std::size_t{N_TYPES} + 1);  // M/E 0, 1 and the header

  std::array<std::array<category::CategoryInterface*, N_ME>, N_TYPES> registry_{};
  // The registered objects in type id, then M/E order, kept sorted as they register, and the
  // per-field order over them, built again after a registration once every object is whole.
  std::array<Registered, MAX_REGISTERED> registered_{};
  std::size_t nRegistered_ = 0;
  std::array<u16, MAX_REGISTERED> updateOrder_{};
  bool updateOrderStale_ = false;
  std::array<int, N_TYPES> route_ = [] {
    std::array<int, N_TYPES> none{};
    none.fill(-1);
    return none;
  }();
  std::array<BodyRule, N_TYPES> bodyRule_{};
  // Type ids that have had their receive fault line this field; ids outside the list share the
  // last entry.
  std::array<bool, N_TYPES + 1> faultLogged_{};
  std::array<std::array<u32, 2>, N_TYPES> shareOffset_{};
  std::array<storage::Share, storage::BackupWindow::MAX_SHARES> shares_{};
  std::array<Registered, storage::BackupWindow::MAX_SHARES> shareOwners_{};
  std::size_t nShares_ = 0;
  storage::ShareMarks headerMarks_;
  storage::BackupWindow window_;
  alignas(8) std::array<u8, BACKUP_SIZE> backup_{};
  alignas(8) std::array<u8, BACKUP_SIZE> volatile_{};
  std::size_t backupSize_ = BACKUP_HEADER_SIZE;
  bool resumed_ = false;
  FieldStartHook fieldStartHook_ = nullptr;
  BpInputStream input_;
  std::array<u8, BpInputStream::CAPACITY> body_{};
};

// Held by foreground code while it changes state that the field cycle reads. A VSYNC that
// arrives meanwhile runs its field cycle when the last hold is released.
class VsyncHold {
 public:
  VsyncHold() { ++depth_; }
  ~VsyncHold();
  VsyncHold(const VsyncHold&) = delete;
  VsyncHold& operator=(const VsyncHold&) = delete;
  static bool held() { return depth_ > 0; }
  // The VSYNC side: runs the field cycle now, or defers it while a hold is taken.
  static void runOrDefer(void (*fieldCycle)());

 private:
  static inline int depth_ = 0;
  static inline void (*deferred_)() = nullptr;
};
