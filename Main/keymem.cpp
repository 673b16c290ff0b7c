#include "Main/keymem.h"

#include <cstring>

#include "Common/log.h"
#include "Common/shared.h"
#include "Lib/Include/shared.h"
#include "Main/bp.h"
#include "Main/bus.h"
#include "Main/operate.h"

KZ_SOURCE("Main/keymem");

namespace {

category::CategoryBus* busesOf(int me) {
  auto* bus = BP::instance().find<category::CategoryBus>(me);
  return bus != nullptr ? bus : BP::instance().find<category::CategoryBus>(0);
}

KeySourceHeader readHeader(u32 unit) {
  KeySourceHeader h{};
  readKeySourceMemory(unit, 0, &h, sizeof h);
  return h;
}

void writeHeader(u32 unit, const KeySourceHeader& h) { writeKeySourceMemory(unit, 0, &h, sizeof h); }

u32 nextCount(u32 status) { return (status + 1) & KeySourceHeader::COUNTER; }

bool slotEnabled(const KeySourceHeader& h, int refIdx) {
  assert::check(kzSourceName, __LINE__, "refIdx < ( tsiEnabledBitSizePerUnit * header.enabled.SIZE )",
                refIdx < (KeyMemory::tsiEnabledBitSizePerUnit * KeySourceHeader::Enabled::SIZE));
  return (h.enabled.word[refIdx / KeyMemory::tsiEnabledBitSizePerUnit] >>
          (refIdx % KeyMemory::tsiEnabledBitSizePerUnit) & 1u) != 0;
}

}  // namespace

int KeyMemory::sourceUnitIndex(int code) {
  if (10 <= code && code <= 89) return code - 10;
  if (140 <= code && code <= 141) return code - 60;
  if (180 <= code && code <= 191) {
    const int q = (code - 180) / 3;
    return (code - 180) % 3 == 2 ? 83 + 2 * q : 82 + 2 * q;
  }
  if (200 <= code && code <= 211) {
    const int q = (code - 200) / 3;
    return (code - 200) % 3 == 2 ? 91 + 2 * q : 90 + 2 * q;
  }
  if (220 <= code && code <= 223) return code - 122;
  if (150 <= code && code <= 165) return code - 48;
  libkz::getLogger().printf(libkz::LOG_ERR, "invalid source %d", code);
  return -1;
}

int KeyMemory::slotOffset(int s) {
  if (s < FIRST_DSK_SLOT) return KEY_SLOT_OFFSET + static_cast<int>(sizeof(libkz::StoredKeyData)) * s;
  return DSK_SLOT_OFFSET + static_cast<int>(sizeof(libkz::StoredDskData)) * (s - FIRST_DSK_SLOT);
}

void KeyMemory::markChanged(int me, int ch) {
  KZ_CHECK(0 <= me && me < N_ME);
  KZ_CHECK(0 <= ch && ch < N_KEY);
  keys_[static_cast<std::size_t>(me * N_KEY + ch)].changed = 1;
}

void KeyMemory::markDskChanged(int ch) {
  KZ_CHECK(0 <= ch && ch < N_DSK);
  dsks_[static_cast<std::size_t>(ch)].changed = 1;
}

void KeyMemory::resetEntries() {
  KZ_CHECK(N_SRC < ( D_LIB_STORAGE_SECTORS_KEY_SRC * D_LIB_STORAGE_DATA_PER_SECTOR_KEY_SRC ));
  for (int i = 0; i < N_KEY_ENTRIES; ++i) {
    KeyEntry& e = keys_[static_cast<std::size_t>(i)];
    e.me = i / N_KEY;
    e.number = i % N_KEY;
    e.changed = 0;
  }
  for (int n = 0; n < N_DSK; ++n) {
    DskEntry& e = dsks_[static_cast<std::size_t>(n)];
    e.me = 0;
    e.number = n;
    e.changed = 0;
  }
}

void KeyMemory::start() {
  for (KeyEntry& e : keys_) e.wantedSource = e.loadedSource = 0;
  for (DskEntry& e : dsks_) e.wantedSource = e.loadedSource = 0;
  disabled_ = 0;
  sharedMode_ = 0;
  headers_.fill(nullptr);
  headersHeld_ = false;
  resetEntries();
}

void KeyMemory::invalidateAll() {
  resetEntries();
  // Every unit's header lies inside the key source area, so no unit needs its own range check.
  static_assert(KEY_SOURCE_BASE + static_cast<u32>(N_SRC - 1) * KEY_SOURCE_UNIT + sizeof(KeySourceHeader) <=
                KEY_SOURCE_LIMIT);
  if (!headersHeld_) {
    for (int i = 0; i < N_SRC; ++i)
      headers_[static_cast<std::size_t>(i)] =
          SharedMemory::bytes(KEY_SOURCE_BASE + static_cast<u32>(i) * KEY_SOURCE_UNIT, sizeof(KeySourceHeader));
    headersHeld_ = true;
  }
  for (u8* at : headers_) {
    // Each header is changed where it lies.
    KeySourceHeader h;
    std::memcpy(&h, at, sizeof h);
    h.usedWords |= 3u;
    h.enabled.word[0] = 0;
    h.enabled.word[1] = 0;
    h.status = nextCount(h.status) | KeySourceHeader::FORMATTED;
    std::memcpy(at, &h, sizeof h);
  }
}

void KeyMemory::onOperateChanged(u32 mask, int enable, int mode, int storedEnable, int storedMode) {
  if (disabled_ != 0) return;
  const bool enableChanged = (mask & 0x1u) != 0 && enable != storedEnable;
  const bool modeChanged = (mask & 0x2u) != 0 && mode != storedMode;
  if (enableChanged || modeChanged) invalidateAll();
}

// Only a direction the link record took (0 or 1, not the one in force) reaches here.
void KeyMemory::onSourceLinkChanged(int direction, int storedDirection) {
  if (disabled_ != 0) return;
  if ((direction == 0 || direction == 1) && direction != storedDirection) invalidateAll();
}

void KeyMemory::update(int enable, int mode) {
  if (enable != 1) return;
  sharedMode_ = mode == 1 ? 1 : 0;
  category::CategoryBus* bus = nullptr;
  for (int m = 0; m < N_STORED_ME; ++m) {
    bus = busesOf(m);
    for (int k = 0; k < N_KEY; ++k) {
      KeyEntry& e = keys_[static_cast<std::size_t>(m * N_KEY + k)];
      e.wantedSource = bus != nullptr ? bus->getSource(2 * (k + 1)) : 0;
      if (disabled_ == 0) processKey(e);
    }
  }
  for (int n = 0; n < N_DSK; ++n) {
    DskEntry& e = dsks_[static_cast<std::size_t>(n)];
    e.wantedSource = bus != nullptr ? bus->getSource(16 + 2 * n) : 0;
    if (disabled_ == 0) processDsk(e);
  }
  // Also clears the marks that this step's recalls raised.
  for (KeyEntry& e : keys_) {
    e.changed = 0;
    e.loadedSource = e.wantedSource;
  }
  for (DskEntry& e : dsks_) {
    e.changed = 0;
    e.loadedSource = e.wantedSource;
  }
}

namespace {
// A peer in shared mode: another entry on the same source whose look changed, or (when this entry
// has just moved to the source) one that was already on it.
template <class Entry, std::size_t N>
Entry* findPeer(std::array<Entry, N>& entries, const Entry& e) {
  const bool moved = e.wantedSource != e.loadedSource;
  for (Entry& other : entries) {
    if (&other == &e || other.wantedSource != e.wantedSource) continue;
    if (other.changed != 0 || (moved && other.loadedSource == e.wantedSource)) return &other;
  }
  return nullptr;
}
}  // namespace

KeyMemory::KeyEntry* KeyMemory::keyPeer(const KeyEntry& e) { return findPeer(keys_, e); }
KeyMemory::DskEntry* KeyMemory::dskPeer(const DskEntry& e) { return findPeer(dsks_, e); }

void KeyMemory::processKey(KeyEntry& e) {
  const int slot = sharedMode_ != 0 ? 0 : e.me * N_KEY + e.number;
  if (e.changed != 0) {
    e.data.capture(e.me, e.number);
    const int unit = sourceUnitIndex(e.wantedSource);
    if (unit >= 0) storeSlot(unit, slot, e.data);
    return;
  }
  if (sharedMode_ != 0) {
    if (const KeyEntry* peer = keyPeer(e)) {
      e.data.capture(peer->me, peer->number);
      e.data.recall(e.me, e.number);
      return;
    }
  }
  if (e.wantedSource == e.loadedSource) return;
  const int unit = sourceUnitIndex(e.wantedSource);
  if (unit >= 0 && loadSlot(unit, slot, e.data)) e.data.recall(e.me, e.number);
}

void KeyMemory::processDsk(DskEntry& e) {
  const int slot = FIRST_DSK_SLOT + (sharedMode_ != 0 ? 0 : e.number);
  if (e.changed != 0) {
    e.data.capture(e.number);
    const int unit = sourceUnitIndex(e.wantedSource);
    if (unit >= 0) storeSlot(unit, slot, e.data);
    return;
  }
  if (sharedMode_ != 0) {
    if (const DskEntry* peer = dskPeer(e)) {
      e.data.capture(peer->number);
      e.data.recall(e.number);
      return;
    }
  }
  if (e.wantedSource == e.loadedSource) return;
  const int unit = sourceUnitIndex(e.wantedSource);
  if (unit >= 0 && loadSlot(unit, slot, e.data)) e.data.recall(e.number);
}

// Settings equal to an enabled slot are not written again. A write raises WRITING in the header
// first and moves the change counter after it, so that the other core can tell a torn slot.
template <class Data>
void KeyMemory::storeSlot(int unitIndex, int slot, const Data& data) {
  const u32 unit = keySourceUnitAddress(unitIndex);
  KeySourceHeader h = readHeader(unit);
  static Data present;  // one slot's worth: too large for the interrupt stack
  readKeySourceMemory(unit, slotOffset(slot), &present, sizeof present);
  if (slotEnabled(h, slot) && present.equals(data)) return;
  h.enabled.word[slot / tsiEnabledBitSizePerUnit] |= 1u << (slot % tsiEnabledBitSizePerUnit);
  h.usedWords |= 1u << (slot / tsiEnabledBitSizePerUnit);
  h.status |= KeySourceHeader::WRITING;
  writeHeader(unit, h);
  writeKeySourceMemory(unit, slotOffset(slot), &data, sizeof data);
  h.status = (h.status & ~(KeySourceHeader::COUNTER | KeySourceHeader::WRITING)) | nextCount(h.status);
  writeHeader(unit, h);
}

// Nothing is loaded from a unit that was never formatted; a slot not written for the source is
// read from the default unit.
template <class Data>
bool KeyMemory::loadSlot(int unitIndex, int slot, Data& data) {
  const u32 unit = keySourceUnitAddress(unitIndex);
  const KeySourceHeader h = readHeader(unit);
  if ((h.status & KeySourceHeader::FORMATTED) == 0) return false;
  const u32 from = slotEnabled(h, slot) ? unit : keySourceUnitAddress(KEY_SOURCE_DEFAULT_UNIT);
  return readKeySourceMemory(from, slotOffset(slot), &data, sizeof data);
}

KeyMemory* findKeyMemory() {
  auto* operate = BP::instance().find<category::CategoryOperate>();
  return operate != nullptr ? &operate->keyMemory() : nullptr;
}
