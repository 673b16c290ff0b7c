// Shot memory status (type id 22): which shot memory channels hold a stored shot. The key preset
// lamps read it for the preset channels 81..160.
#pragma once
#include <array>

#include "Main/category.h"

// One shot memory channel. Stored layout (8 bytes): 0 u32 mask | 4 u16 channel | 6 u8 stored |
// 7 pad. Wire body (big-endian): u32 mask; u16 channel (0..160, stamped);
// u8 stored (bit 0, 0..1).
struct KzifShotMemoryStatus {
  static constexpr int TYPE_ID = 22;
  static constexpr int N_CHANNELS = 161;
  static constexpr const char* NAME = "KzifShotMemoryStatus";

  u32 mask;
  u16 channel;
  u8 stored;  // 1: the channel holds a stored shot
  u8 reserved;

  static constexpr auto wire() {
    using R = KzifShotMemoryStatus;
    return rec::list(rec::mask(&R::mask), rec::channel(&R::channel), rec::field(0, &R::stored, rec::range(0, 1)));
  }
};
static_assert(sizeof(KzifShotMemoryStatus) == 8);
static_assert(rec::wireSizeOf<KzifShotMemoryStatus>() == 7);
static_assert(offsetof(KzifShotMemoryStatus, stored) == 6);

namespace category {

// Volatile: the records live in the object, and a restart starts with no channel stored until the
// shot memory reports again.
class CategoryShotMemoryStatus : public CategoryCommon<KzifShotMemoryStatus> {
 public:
  static CategoryShotMemoryStatus& get();

  std::size_t attachBackup(u8*) override { return attachInternal(channels_.data()); }
  void restore(const u8*) override {}
  void assignFromWire(const u8* body, int ch) override { mergeFromWire(body, ch); }

  // 1 when shot memory channel s (0..160) holds a stored shot; 0 for any other s.
  int isStored(int s) const;

 private:
  std::array<KzifShotMemoryStatus, N_CHANNELS> channels_{};
};

}  // namespace category

void initCategoryShotMemoryStatus();

// What a shot memory command did to one of its channels.
enum class ShotMemoryEvent { Stored, Read, Recalled };
// Passes a successful store, read (command 2) or recall of shot memory channel s on to the key
// presets; only the preset channels 81..160 are passed on.
void reportKeyPresetShot(int s, ShotMemoryEvent event);
