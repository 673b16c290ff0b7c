// The category framework: every feature is a category over one record type, registered with BP
// by type id, changed by records, commands and panel events, stepped in the field cycle and
// reported by its changed records.
#pragma once
#include <array>
#include <cstddef>
#include <cstring>

#include "Common/assert.h"
#include "Common/log.h"
#include "Common/positions.h"
#include "Common/storage.h"
#include "Lib/Include/kz_types.h"
#include "Lib/Include/record.h"
#include "Main/markedchannels.h"
#include "Main/stream.h"
#include "Main/typelist.h"

namespace category {


// The per-field pass updates every category of one class before any of the next; within a class
// by type id, then M/E. A category names its class by overriding updateClass().
enum class UpdateClass : u8 {
  System = 1,       // format and field parity first, for everyone after it
  SourceTally = 2,  // sees this field's records before anything moves them
  FaderEvent = 3,   // fader and transition step
  ShotMemory = 4,
  EventMemory = 5,
  Bus = 6,
  Operate = 7,
  ChromaKey = 8,
  General = 9,
  ButtonEvent = 10,  // decides whether the next field may dispatch panel events
};
inline constexpr UpdateClass FIRST_UPDATE_CLASS = UpdateClass::System;
inline constexpr UpdateClass LAST_UPDATE_CLASS = UpdateClass::ButtonEvent;

class CategoryInterface {
 public:
  virtual ~CategoryInterface() = default;
  virtual bool ownedByME() const { return false; }
  // Read once the object is built (registration runs in the base constructor, before it is).
  virtual UpdateClass updateClass() const { return UpdateClass::General; }
  virtual const char* typeName() const = 0;
  // Points the record storage at p and returns the category's share of the backup image; 0 for a
  // category that keeps nothing there.
  virtual std::size_t attachBackup(u8* p) = 0;
  // A cold start, and a resume of a category without a share.
  virtual void initialize(int me, int flags) {
    markShareChanged();
    initIndex(me, flags);
    initInternal();
  }
  virtual void initIndex(int, int) {}
  virtual void initInternal() {}
  // A resume, with the category's own share; BP never calls it for a category without one. Then
  // initInternal.
  virtual void restore(const u8*) {}
  virtual void afterSend() {}
  virtual void update() {}  // once per field
  virtual void tick() {}    // every 30 ms, foreground
  virtual void receive(RequestReceiver& rx);
  virtual void sendChanges(AcknowledgeSender&) {}
  virtual void receiveRouted(int typeId, RequestReceiver& rx);

  // How many values of the category's records their checks refuse, a fresh record's zeros not
  // counted: none after a restore, whatever the image held.
  virtual int refusedValues() const { return 0; }

  // The object's share of the backup image may have changed, so every copy of the image in the
  // non-volatile window is to hold it again; the save compares and writes only marked parts of
  // the image. Not a send mark. The framework marks the record of a channel wherever it lets one
  // change (the whole share at a start); feature code that writes its share by other ways
  // (records_ directly, an area of its own in the share) marks it too.
  void markShareChanged() { shareMarks_.setAll(); }
  storage::ShareMarks& shareMarks() { return shareMarks_; }

  // Whether the send pass may pass the object by until it is marked again (markSendPending): only
  // a category whose send looks at nothing but the framework's channel marks says so.
  virtual bool nothingToSend() const { return false; }
  // Where BP registered the object: its bit in sendPending().
  void setSendSlot(int slot) { sendSlot_ = static_cast<u16>(slot); }

 protected:
  void markSendPending();

 private:
  storage::ShareMarks shareMarks_;
  u16 sendSlot_ = 0;
};

// The registered objects that the send pass visits, by slot (type id × N_ME + M/E, the order of
// the pass): set wherever a channel may come to hold send marks, and at registration; cleared by
// the pass only for an object that then has nothing left to send (a backlog keeps its marks, and
// so its bit). Not a "changed in this field" flag.
inline MarkedChannels<N_TYPES * N_ME>& sendPending() {
  static MarkedChannels<N_TYPES * N_ME> pending;
  return pending;
}
inline void CategoryInterface::markSendPending() { sendPending().mark(sendSlot_); }

// Enters a category in the BP registry; the k-th object of one type id gets M/E index k.
int registerCategory(CategoryInterface* ref, int typeId);
// Makes message type `type` go to receiveRouted of the category of type id `handler`.
void setRoute(int type, int handler);
// How the receive pass frames messages of type `type` (see BodyRule).
void setBodyRule(int type, BodyRule rule);
// Routes command record type Cmd to the category of type id `handler`, framed by Cmd's declaration.
template <class Cmd>
void setRoute(int handler) {
  setRoute(IndexOf<Cmd>::value, handler);
  setBodyRule(IndexOf<Cmd>::value, bodyRuleOf<Cmd>());
}
CategoryInterface* lookup(int typeId, int me);

// Base of every status category over record type T (T::TYPE_ID below 64). Holds the M/E index,
// one changed flag per channel and the pointer to the channel records that BP attaches.
//
// The send pass looks only at the channels that may hold send marks: those assigned, marked
// changed, handed out through the non-const record() or brought by a start or restore, and visits
// the object only while some channel may (sendPending). A derived category that sets masks through
// records_ directly calls markChanged (or mayHoldMarks) too.
template <class T>
class CategoryCommon : public CategoryInterface {
 public:
  static constexpr int N_CHANNELS = T::N_CHANNELS;
  using Record = T;

  // Per-M/E categories pass ownedByMe true and are created as an array of N_ME objects; the
  // flag is known here already, where a derived override could not yet be called.
  explicit CategoryCommon(bool ownedByMe = false) : ownedByMe_(ownedByMe) {
    assert::check(positions::FRAMEWORK_SOURCE, positions::FRAMEWORK_IS_STATUS, "isStatus", IndexOf<T>::value < FIRST_COMMAND_TYPE);
    me_ = registerCategory(this, IndexOf<T>::value);
    setBodyRule(IndexOf<T>::value, bodyRuleOf<T>());
  }

  bool ownedByME() const override { return ownedByMe_; }
  const char* typeName() const override { return T::NAME; }

  std::size_t attachBackup(u8* p) override {
    records_ = reinterpret_cast<T*>(p);
    markAllMaybeMarked();  // the storage may hold marks of a send that a backlog held back
    written_.markAll();
    markShareChanged();
    return sizeof(T) * N_CHANNELS;
  }

  void initInternal() override {
    changed_.fill(0);
    markAllMaybeMarked();
    written_.markAll();
    markShareChanged();
  }

  // A stored record goes through its checks like a received one: a value they refuse (a damaged
  // image) takes the value a cold start gives it, so that neither the drivers nor the System
  // Manager ever see it.
  void restore(const u8* stored) override {
    markAllMaybeMarked();
    written_.markAll();
    markShareChanged();
    std::memset(static_cast<void*>(records_), 0, sizeof(T) * N_CHANNELS);
    initIndex(me_, 0);
    int reset = 0;
    for (int ch = 0; ch < N_CHANNELS; ++ch) {
      T saved;
      std::memcpy(static_cast<void*>(&saved), stored + sizeof(T) * static_cast<std::size_t>(ch), sizeof(T));
      rec::normalizeTexts(saved);  // a damaged image must not make a text run past its room
      reset += rec::restoreChecked(records_[ch], saved);
      rec::setAllMasks(records_[ch]);
      rec::stamp(records_[ch], me_, ch);
    }
    reportValuesReset(reset);
  }

  int refusedValues() const override {
    int refused = 0;
    for (int ch = 0; ch < N_CHANNELS; ++ch) refused += rec::refusedValues(records_[ch]);
    return refused;
  }

  // Reads one record body and assigns it to the object of its M/E. A record that runs past its
  // body, or whose M/E or channel is out of range, is dropped whole; the receive pass logs why,
  // unless the record asks for such records to be ignored quietly (QUIET_BAD_TARGET).
  void receive(RequestReceiver& rx) override {
    if constexpr (rec::hasFixedWireSize<T>()) {
      // One bounds check for the whole body; the target's M/E and channel are read where they lie.
      const u8* body = rx.reader().take(rec::wireSizeOf<T>());
      rx.consume();
      if (body == nullptr) return;
      const int ch = rec::hasChannel<T>() ? rec::channelFromWire<T>(body) : 0;
      if (auto* target = targetOf(rx, rec::hasMe<T>() ? rec::meFromWire<T>(body) : me_, ch)) target->assignFromWire(body, ch);
      return;
    }
    T in{};
    const bool whole = rec::decode(rx.reader(), in);
    rx.consume();
    if (!whole) return;
    const int ch = rec::hasChannel<T>() ? rec::channelOf(in) : 0;
    if (auto* target = targetOf(rx, rec::hasMe<T>() ? rec::meOf(in) : me_, ch)) target->assign(in, ch);
  }

  // The object of M/E me that takes a received record for channel ch; nullptr, with the refusal
  // logged unless the record is quiet about it, when either is out of range.
  CategoryCommon<T>* targetOf(RequestReceiver& rx, int me, int ch) {
    constexpr bool quiet = requires { T::QUIET_BAD_TARGET; };
    if (me < 0 || me >= N_ME) {
      if (!quiet) rx.refuse("M/E", me);
      return nullptr;
    }
    if (ch < 0 || ch >= N_CHANNELS) {
      if (!quiet) rx.refuse("channel", ch);
      return nullptr;
    }
    // A record without an M/E goes to the object of this one's M/E, which is this object: each
    // object is registered under its own M/E and never moved.
    if constexpr (!rec::hasMe<T>()) return this;
    return static_cast<CategoryCommon<T>*>(lookup(IndexOf<T>::value, me));
  }

  void sendChanges(AcknowledgeSender& tx) override {
    maybeMarked_.visit([&](int ch) {
      if (tx.backlogged()) return false;  // the changes stay pending until the backlog drains
      sendChannel(tx, ch);
      return true;
    });
  }
  // Only this class's send clears channels: a derived send of its own that never calls it leaves
  // them all marked, and so is visited in every field. One that calls it and keeps marks beside
  // the record's sets them only with a channel mark, or overrides this.
  bool nothingToSend() const override { return maybeMarked_.none(); }

  // Merges the masked fields that pass their checks and marks the channel changed.
  virtual void assign(const T& in, int idx) {
    checkChannel(idx);
    rec::merge(records_[idx], in);
    rec::stamp(records_[idx], me_, idx);
    changed_[static_cast<std::size_t>(idx)] = 1;
    markMaybeMarked(idx);
    written_.mark(idx);
    markShareChannel(idx);
  }

  // A received record of fixed size, its wire bytes all there: decoded and assigned. A category
  // whose assign is the framework's may merge the bytes in place instead (mergeFromWire).
  virtual void assignFromWire(const u8* body, int ch) {
    if constexpr (rec::hasFixedWireSize<T>()) {
      T in{};
      rec::WireReader reader(std::span<const u8>(body, rec::wireSizeOf<T>()));
      rec::decode(reader, in);
      assign(in, ch);
    }
  }

  int me() const { return me_; }
  // Marks the channel and the share when it is handed out: a reference kept past the field's save
  // and written later changes the share unmarked, so it is taken again instead.
  T& record(int idx) {
    checkChannel(idx);
    markMaybeMarked(idx);  // whoever holds it may set a mask
    written_.mark(idx);
    markShareChannel(idx);
    return records_[idx];
  }
  const T& record(int idx) const {
    checkChannel(idx);
    return records_[idx];
  }
  bool changed(int idx) const {
    checkChannel(idx);
    return changed_[static_cast<std::size_t>(idx)] != 0;
  }
  void markChanged(int idx) {
    checkChannel(idx);
    changed_[static_cast<std::size_t>(idx)] = 1;
    markMaybeMarked(idx);
    written_.mark(idx);
    markShareChannel(idx);
  }
  // For a feature that keeps what it works out from a record: whether the record of channel idx
  // may have been written since the last call (anywhere the framework hands it out writable or
  // changes it: a merge, a start, a restore). Each call clears it, so a category has one such
  // reader. Not a send mark.
  bool takeRecordWritten(int idx) {
    checkChannel(idx);
    const bool written = written_.marked(idx);
    written_.unmark(idx);
    return written;
  }

 protected:
  static void checkChannel(int idx) {
    assert::check(positions::FRAMEWORK_SOURCE, positions::FRAMEWORK_CHANNEL, "0 <= idx && idx < N_CHANNELS",
                  0 <= idx && idx < N_CHANNELS);
  }
  // For volatile categories: records kept inside the object, zeroed, no share of the image.
  std::size_t attachInternal(T* storage) {
    std::memset(static_cast<void*>(storage), 0, sizeof(T) * N_CHANNELS);
    records_ = storage;
    markAllMaybeMarked();
    written_.markAll();
    return 0;
  }
  // The framework's assign of a record read straight from its wire bytes, with no decoded copy:
  // for an assignFromWire of a category that does not override assign.
  void mergeFromWire(const u8* body, int idx) {
    checkChannel(idx);
    rec::mergeFromWire(records_[idx], body);
    rec::stamp(records_[idx], me_, idx);
    changed_[static_cast<std::size_t>(idx)] = 1;
    markMaybeMarked(idx);
    written_.mark(idx);
    markShareChannel(idx);
  }
  // Channel idx may hold send marks set through records_.
  void mayHoldMarks(int idx) {
    markMaybeMarked(idx);
    written_.mark(idx);
    markShareChannel(idx);
  }
  // The share may have changed in the channel's record alone, where it lies in the share (records
  // kept elsewhere mark nothing): the save then compares and writes that part of the share only.
  void markShareChannel(int idx) { shareMarks().setBytes(&records_[idx], sizeof(T)); }
  // One line for the stored values of this object that a restore refused and set back.
  void reportValuesReset(int count) const {
    if (count != 0)
      libkz::getLogger().printf(libkz::LOG_ERR, "restore %s(ME:%d) %d values out of range reset", T::NAME, me_, count);
  }

  int me_ = 0;
  std::array<u8, N_CHANNELS> changed_{};
  T* records_ = nullptr;

 private:
  bool ownedByMe_;
  MarkedChannels<N_CHANNELS> maybeMarked_;
  void markMaybeMarked(int idx) {
    maybeMarked_.mark(idx);
    markSendPending();
  }
  void markAllMaybeMarked() {
    maybeMarked_.markAll();
    markSendPending();
  }
  MarkedChannels<N_CHANNELS> written_;

  void sendChannel(AcknowledgeSender& tx, int ch) {
    maybeMarked_.unmark(ch);
    T& r = records_[ch];
    if (!changed_[static_cast<std::size_t>(ch)] && !rec::anyMask(r)) return;
    rec::stamp(r, me_, ch);
    tx.writeRecord(r);  // a failed write is logged by the sender; the change is not kept
    rec::clearMasks(r);
    markShareChannel(ch);
    changed_[static_cast<std::size_t>(ch)] = 0;
  }
};

// Base of event and command categories: no record storage, not in the backup image, no status;
// messages of its own type id reach receiveRouted.
template <class T>
class CategoryWithoutStatus : public CategoryInterface {
 public:
  explicit CategoryWithoutStatus(bool ownedByMe = false) : ownedByMe_(ownedByMe) {
    me_ = registerCategory(this, IndexOf<T>::value);
    setRoute<T>(IndexOf<T>::value);
  }
  using Record = T;

  const char* typeName() const override { return T::NAME; }
  bool ownedByME() const override { return ownedByMe_; }
  std::size_t attachBackup(u8*) override { return 0; }
  int me() const { return me_; }

 protected:
  int me_ = 0;

 private:
  bool ownedByMe_;
};

// The type id a category class is registered under: that of its record, or its own TYPE_ID.
template <class C>
constexpr int typeIdOf() {
  if constexpr (requires { typename C::Record; }) {
    return IndexOf<typename C::Record>::value;
  } else {
    return C::TYPE_ID;
  }
}

}  // namespace category
