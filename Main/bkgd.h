// The background of each M/E (type id 2): the flip state that follows the bus flip, the utility
// bus selections and transition settings that tally reads, and the press memory of the M/E's
// background-row buttons.
#pragma once
#include <array>
#include <cstddef>

#include "Main/button_event_record.h"
#include "Main/category.h"

// Stored layout (148 bytes per M/E; the bytes not named here are kept zero for the settings that
// the background transition adds):
//   0 u32 mask | 4 u8 me | 5 u8 flip | 6 u8 flipEnable | 7 u8 transUtilityBus |
//   28 u8 transType | 68 u8 wipePattern | 69 u8 wipeGroup | 76 u8 wipeUtility |
//   145 u8 utilityBus | 146 u8 wipeVariant
// Wire body (big-endian), in this order:
//   u32 mask; u8 me (0..3, else the record is dropped); u8 flip (bit 0, 0..1);
//   u8 flipEnable (bit 1, 0..1); u8 transUtilityBus (bit 2, 0..2); u8 transType (bit 3, any);
//   u8 wipePattern (bit 4, any); u8 wipeGroup (bit 5, any); u8 wipeUtility (bit 6, any);
//   u8 utilityBus (bit 7, 0..2); u8 wipeVariant (bit 8, any)
// Tally reads bytes 7, 28, 68, 69, 76, 145 and 146 exactly as stored; which combinations bring a
// utility bus on air is decided there.
struct KzifBkgd {
  static constexpr int TYPE_ID = 2;
  static constexpr int N_CHANNELS = 1;
  static constexpr const char* NAME = "KzifBkgd";

  u32 mask;
  u8 me;
  u8 flip;             // toggled with the bus flip while flipEnable is 1
  u8 flipEnable;       // 1: flip follows the bus flip
  u8 transUtilityBus;  // utility bus (1 or 2) the transition brings in; 0 none
  u8 reserved0[20];
  u8 transType;        // 1: a transition that can bring in a utility bus
  u8 reserved1[39];
  u8 wipePattern;      // pattern number within wipeGroup
  u8 wipeGroup;        // pattern family
  u8 reserved2[6];
  u8 wipeUtility;      // 1: the wipe fills with transUtilityBus
  u8 reserved3[68];
  u8 utilityBus;       // utility bus (1 or 2) of the patterns that take one; 0 none
  u8 wipeVariant;      // variant of wipePattern
  u8 reserved4[1];

  static constexpr auto wire() {
    using R = KzifBkgd;
    return rec::list(rec::mask(&R::mask), rec::me(&R::me), rec::field(0, &R::flip, rec::range(0, 1)),
                     rec::field(1, &R::flipEnable, rec::range(0, 1)),
                     rec::field(2, &R::transUtilityBus, rec::range(0, 2)), rec::field(3, &R::transType),
                     rec::field(4, &R::wipePattern), rec::field(5, &R::wipeGroup), rec::field(6, &R::wipeUtility),
                     rec::field(7, &R::utilityBus, rec::range(0, 2)), rec::field(8, &R::wipeVariant));
  }
};
static_assert(sizeof(KzifBkgd) == 148);
static_assert(rec::wireSizeOf<KzifBkgd>() == 14);
static_assert(offsetof(KzifBkgd, me) == 4);
static_assert(offsetof(KzifBkgd, flip) == 5);
static_assert(offsetof(KzifBkgd, flipEnable) == 6);
static_assert(offsetof(KzifBkgd, transUtilityBus) == 7);
static_assert(offsetof(KzifBkgd, transType) == 28);
static_assert(offsetof(KzifBkgd, wipePattern) == 68);
static_assert(offsetof(KzifBkgd, wipeGroup) == 69);
static_assert(offsetof(KzifBkgd, wipeUtility) == 76);
static_assert(offsetof(KzifBkgd, utilityBus) == 145);
static_assert(offsetof(KzifBkgd, wipeVariant) == 146);

namespace category {

class CategoryBkgd : public CategoryCommon<KzifBkgd> {
 public:
  static constexpr int N_LATCHES = 5;
  static constexpr u32 FLIP_BIT = 1u << 0;
  static constexpr u32 FLIP_ENABLE_BIT = 1u << 1;

  CategoryBkgd();
  // The background of M/E me (0..3).
  static CategoryBkgd& get(int me);

  void initIndex(int me, int flags) override;
  void initInternal() override;

  // Background-row buttons of this M/E (1600..1839, 2100..2139) and button 3000, which reaches
  // every M/E whatever its M/E byte; every latch sees them.
  void onButton(const internal::KzifButtonEvent& event);
  // Makes latch i (0..N_LATCHES-1) watch button code (−1 watches nothing) with no press held.
  void watchButton(int i, int code);
  const ButtonLatch& latch(int i) const;
  // Forgets the presses of every latch (held buttons stay held).
  void clearLatches();

  // Called by the buses when their flip changes: while flipEnable is 1, flip follows.
  void flipHook();
  // Asks the buses to set flipEnable in their next update.
  void requestFlip() { pendingFlip_ = 1; }
  // The buses' side of requestFlip: sets flipEnable to 1 (mask bit 1) when a request is pending
  // and clears it; true when it did.
  bool takePendingFlip();

 private:
  static bool isBackgroundRowCode(int code);
  ButtonLatch& latchAt(int i);

  std::array<ButtonLatch, N_LATCHES> latches_{};
  u8 pendingFlip_ = 0;
};

}  // namespace category

void initCategoryBkgd();
