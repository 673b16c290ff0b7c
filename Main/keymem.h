// Key source memory: each keyer of M/E 1 and 2 and each downstream key remembers its settings per
// source. When the operator changes a keyer's look, the settings are saved in the unit of the
// source on its fill bus; when that bus selects a source again, the keyer takes that source's
// settings back. The units lie in shared memory (Lib/Include/shared.h), where the System Manager
// sees them; the object lives inside the operation settings, which step it every field.
#pragma once
#include <array>

#include "Lib/Include/kz_types.h"
#include "Main/stored.h"

// The 16-byte header of a key source unit (native words).
struct KeySourceHeader {
  static constexpr u32 COUNTER = 0x0FFF;
  static constexpr u32 FORMATTED = 0x1000;
  static constexpr u32 WRITING = 0x2000;
  struct Enabled {
    static constexpr int SIZE = 2;
    u32 word[SIZE];
  };
  u32 usedWords;    // bit w: enabled word w may hold set bits
  Enabled enabled;  // bit s: slot s holds data written for this source
  u32 status;       // change counter, FORMATTED, WRITING
};
static_assert(sizeof(KeySourceHeader) == 16);

class KeyMemory {
 public:
  static constexpr int N_KEY = 4;
  static constexpr int N_DSK = 4;
  static constexpr int N_KEY_ENTRIES = N_ME * N_KEY;
  static constexpr int N_SRC = 118;
  static constexpr int N_STORED_ME = 2;  // only the keyers of M/E indexes 0 and 1 are kept
  static constexpr int FIRST_DSK_SLOT = 16;
  static constexpr int KEY_SLOT_OFFSET = 16;
  static constexpr int DSK_SLOT_OFFSET = KEY_SLOT_OFFSET + 16 * static_cast<int>(sizeof(libkz::StoredKeyData));
  static constexpr int tsiEnabledBitSizePerUnit = 32;

  struct KeySourceEntry {
    int me = 0;
    int number = 0;
    u8 changed = 0;
    int wantedSource = 0;  // on the fill bus now
    int loadedSource = 0;  // on the fill bus at the previous step
  };
  struct KeyEntry : KeySourceEntry {
    libkz::StoredKeyData data;
  };
  struct DskEntry : KeySourceEntry {
    libkz::StoredDskData data;
  };

  // The source unit index of a source code; -1 (logged) for a code without a unit.
  static int sourceUnitIndex(int code);
  // Offset of slot s in a unit.
  static int slotOffset(int s);

  // A keyer's or DSK's look changed: its settings are saved at the next step.
  void markChanged(int me, int ch);
  void markDskChanged(int ch);

  // Per field, while the key source memory is in use (enable 1); mode 1 is shared mode.
  void update(int enable, int mode);
  // Every source unit forgets what it holds (their slots read from the default unit again).
  void invalidateAll();
  // The operation settings took enable/mode values (with their mask bits); called before they
  // are stored, so that a change of either invalidates.
  void onOperateChanged(u32 mask, int enable, int mode, int storedEnable, int storedMode);
  // The source link turned to the other direction: what was stored was made under the old one.
  void onSourceLinkChanged(int direction, int storedDirection);
  void resetEntries();
  // A power-up: sources and the disable command forgotten, then resetEntries.
  void start();

  void setDisabled(bool on) { disabled_ = on ? 1 : 0; }
  bool disabled() const { return disabled_ != 0; }

 private:
  void processKey(KeyEntry& e);
  void processDsk(DskEntry& e);
  template <class Data>
  void storeSlot(int unit, int slot, const Data& data);
  template <class Data>
  bool loadSlot(int unit, int slot, Data& data);
  KeyEntry* keyPeer(const KeyEntry& e);
  DskEntry* dskPeer(const DskEntry& e);

  // Each unit's header where it lies, taken from the shared memory once per start: an invalidation
  // renews every header, and one look-up per header each time would cost more than the renewal.
  // Dropped at every start, when the stand-in of the board forgets what it handed out.
  std::array<u8*, N_SRC> headers_{};
  bool headersHeld_ = false;

  std::array<KeyEntry, N_KEY_ENTRIES> keys_{};
  std::array<DskEntry, N_DSK> dsks_{};
  u8 disabled_ = 0;
  u8 sharedMode_ = 0;
};

// The key source memory of the operation settings; nullptr before they exist.
KeyMemory* findKeyMemory();
