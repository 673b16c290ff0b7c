// Transition services shared by the buses and the keyers: the AUX mix transition status, the
// renderers of the key wipe and the key DVE, and the merges of the sub-records that the key
// records share.
#pragma once
#include <array>
#include <cstddef>

#include "Lib/Include/kz_types.h"
#include "Lib/Include/record.h"

class AuxMix;
struct KzifKey;
struct KzifSystem;

// ---- shared sub-records --------------------------------------------------------------------------

// An on flag with two amounts and an angle (12 bytes stored).
// Wire: u32 mask; u8 on (bit 0, 0..1); i16 value1 (bit 1, 0..1000); i16 value2 (bit 2, 0..1000);
// i16 angle (bit 3, −45..45).
struct ModifySetting {
  u32 mask;
  u8 on;
  i16 value1;
  i16 value2;
  i16 angle;

  static constexpr auto wire() {
    using R = ModifySetting;
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::on, rec::range(0, 1)),
                     rec::field(1, &R::value1, rec::range(0, 1000)), rec::field(2, &R::value2, rec::range(0, 1000)),
                     rec::field(3, &R::angle, rec::range(-45, 45)));
  }
};
static_assert(sizeof(ModifySetting) == 12);
static_assert(rec::wireSizeOf<ModifySetting>() == 11);
static_assert(offsetof(ModifySetting, value1) == 6);

// Three small selections (8 bytes stored).
// Wire: u32 mask; u8 first (bit 0, 0..3); u8 second (bit 1, 0..3); u8 third (bit 2, 0..1).
struct EnumTriple {
  u32 mask;
  u8 first;
  u8 second;
  u8 third;

  static constexpr auto wire() {
    using R = EnumTriple;
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::first, rec::range(0, 3)),
                     rec::field(1, &R::second, rec::range(0, 3)), rec::field(2, &R::third, rec::range(0, 1)));
  }
};
static_assert(sizeof(EnumTriple) == 8);
static_assert(rec::wireSizeOf<EnumTriple>() == 7);

// An on flag with a pair of limits and an offset (12 bytes stored).
// Wire: u32 mask; u8 on (bit 0, 0..1); i16 value1 (bit 1, 0..10000); i16 value2 (bit 2,
// 0..10000); i16 offset (bit 3, −50..50).
struct RangePair {
  u32 mask;
  u8 on;
  i16 value1;
  i16 value2;
  i16 offset;

  static constexpr auto wire() {
    using R = RangePair;
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::on, rec::range(0, 1)),
                     rec::field(1, &R::value1, rec::range(0, 10000)), rec::field(2, &R::value2, rec::range(0, 10000)),
                     rec::field(3, &R::offset, rec::range(-50, 50)));
  }
};
static_assert(sizeof(RangePair) == 12);
static_assert(rec::wireSizeOf<RangePair>() == 11);
static_assert(offsetof(RangePair, offset) == 10);

// Each takes the incoming values whose mask bits are set and which pass their ranges, sets those
// bits in dest's mask and reports what it refused.
rec::MergeResult mergeModify(ModifySetting& dest, const ModifySetting& incoming);
rec::MergeResult mergeEnumTriple(EnumTriple& dest, const EnumTriple& incoming);
rec::MergeResult mergeRangePair(RangePair& dest, const RangePair& incoming);

// ---- transition status ---------------------------------------------------------------------------

namespace category {

// Whether each AUX mix transition of M/E 0 is running, refreshed once per field by the buses of
// M/E 0 right after their mixers step.
class CategoryTransitionStatus {
 public:
  static constexpr int N_AUX_MIX = 4;

  static CategoryTransitionStatus& get();
  void update(const AuxMix& mixers);
  // No AUX mix running, as at start-up.
  void clear() { auxMix_.fill(0); }
  // 1 while AUX mix channel ch (0..3) runs, else 0.
  int auxMixStatus(int ch) const;

 private:
  std::array<u8, N_AUX_MIX> auxMix_{};
};

}  // namespace category

// ---- key transition renderers --------------------------------------------------------------------

// Renders a prepared transition into the drivers of its target.
class TransitionUpdater {
 public:
  // Renders at position (0..1) under the context of M/E me.
  void update(int me, f32 position);

  int target() const { return target_; }

 protected:
  explicit TransitionUpdater(int target) : target_(target) {}

 private:
  int target_;
  int me_ = 0;
  f32 position_ = 0.0f;
  // The render above went out under this setter memo generation.
  u32 heldGeneration_ = 0;
  bool held_ = false;
};

// The wipe transition of keyer k (0..3) of one M/E, driver target KZ_KEY1 + 2k.
class KeyTransition : public TransitionUpdater {
 public:
  explicit KeyTransition(int key);

  // Prepares this field's wipe from the key's record and the system settings.
  void setup(const KzifKey& key, const KzifSystem& system, f32 position);
  // Image-effect keying of keys 1 and 2; also resets the flag that follows it.
  void setImageKey(int on);

  int key() const { return key_; }
  const KzifKey* keyRecord() const { return keyRecord_; }
  const KzifSystem* systemRecord() const { return system_; }
  f32 preparedPosition() const { return preparedPosition_; }
  int imageKey() const { return imageKey_; }
  int imageKeyFollower() const { return imageKeyFollower_; }

 private:
  int key_;
  const KzifKey* keyRecord_ = nullptr;
  const KzifSystem* system_ = nullptr;
  f32 preparedPosition_ = 0.0f;
  u8 imageKey_ = 0;
  u8 imageKeyFollower_ = 0;
};

// The key DVE of keyer k (0..3) of one M/E, driver target KZ_KEY1 + 2k.
class KeyDveUpdater {
 public:
  explicit KeyDveUpdater(int key);

  // converted: 1 when the key's fill is an input the DVE must treat as converted.
  void setup(const KzifKey& key, const KzifSystem& system, int converted, f32 position);
  void render(f32 position);

  int key() const { return key_; }
  int target() const { return KZ_KEY1 + 2 * key_; }
  const KzifKey* keyRecord() const { return keyRecord_; }
  const KzifSystem* systemRecord() const { return system_; }
  int converted() const { return converted_; }
  f32 preparedPosition() const { return preparedPosition_; }

 private:
  int key_;
  const KzifKey* keyRecord_ = nullptr;
  const KzifSystem* system_ = nullptr;
  int converted_ = 0;
  f32 preparedPosition_ = 0.0f;
};
