// Mainframe configuration (type id 26): how each M/E's clean and preview outputs are built, the
// downstream keys' M/E inputs and program assignment, and the chroma sample keyers.
#pragma once
#include "Main/category.h"

// One M/E's output configuration (32 bytes, its own mask).
// Wire: u32 mask; u8 cleanKey (bit 0, 0..3); u8 cleanMode (bit 1, 0..1); u8 previewBus (bit 2,
// 0..1); u8 sampleOff1407 (bit 3, 0..1); u8 previewKey[4] (bit 4, each 0..2);
// u8 sampleOff1401 (bit 5, 0..1).
struct MeConfig {
  u32 mask;
  u8 cleanKey;       // 4: key 0..3 the clean output is built around
  u8 cleanMode;      // 5: 1 the clean output carries one key, 0 background and the keys above
  u8 previewBus;     // 6: non-zero, the preview output shows only the preview bus
  u8 reserved0[9];
  u8 sampleOff1407;  // 16: 1 forces colour-sample enable 0x1407 off
  u8 reserved1[7];
  u8 previewKey[4];  // 24: per key, 1 on preview unless its transition is complete, 2 always
  u8 sampleOff1401;  // 28: 1 forces colour-sample enable 0x1401 off
  u8 reserved2[3];

  static constexpr auto wire() {
    using R = MeConfig;
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::cleanKey, rec::range(0, 3)),
                     rec::field(1, &R::cleanMode, rec::range(0, 1)), rec::field(2, &R::previewBus, rec::range(0, 1)),
                     rec::field(3, &R::sampleOff1407, rec::range(0, 1)),
                     rec::field(4, &R::previewKey, rec::range(0, 2)),
                     rec::field(5, &R::sampleOff1401, rec::range(0, 1)));
  }
};
static_assert(sizeof(MeConfig) == 32);
static_assert(rec::wireSizeOf<MeConfig>() == 13);
static_assert(offsetof(MeConfig, previewKey) == 24);

// Downstream key configuration (44 bytes from record byte 260, its own mask).
// Wire: u32 mask; u8 meInput[2] (bit 0, each 0, 1, 8 or 9); u8 sideSelect (bit 1, 0..1);
// u8 programAssign[4] (bit 2, each 0..1); u8 previewFollow (bit 3, 0..1);
// u8 previewFollowOff (bit 4, 0..1); u8 cleanPreview[4] (bit 5, each 0..1);
// u8 previewSelect (bit 6, 0..5).
struct DskConfig {
  u32 mask;
  u8 meInput[2];         // 264, 265: M/E input of DSK side 0 and 1: 0 ME1, 1 ME2, 8 ME1 clean, 9 ME2 clean
  u8 sideSelect;         // 266
  u8 reserved0[5];
  u8 programAssign[4];   // 272..275: DSK n on program 1 (0) or program 2 (1)
  u8 previewFollow;      // 276
  u8 reserved1[11];
  u8 previewFollowOff;   // 288
  u8 reserved2[7];
  u8 cleanPreview[4];    // 296..299
  u8 previewSelect;      // 300
  u8 reserved3[3];

  static constexpr auto wire() {
    using R = DskConfig;
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::meInput, rec::oneOf(0, 1, 8, 9)),
                     rec::field(1, &R::sideSelect, rec::range(0, 1)),
                     rec::field(2, &R::programAssign, rec::range(0, 1)),
                     rec::field(3, &R::previewFollow, rec::range(0, 1)),
                     rec::field(4, &R::previewFollowOff, rec::range(0, 1)),
                     rec::field(5, &R::cleanPreview, rec::range(0, 1)),
                     rec::field(6, &R::previewSelect, rec::range(0, 5)));
  }
};
static_assert(sizeof(DskConfig) == 44);
static_assert(rec::wireSizeOf<DskConfig>() == 18);

// Stored layout (416 bytes): 0 mask | 4 meConfig[8] | 260 dskConfig | 312 sampleKeyer[8][12] |
// 412 selectedSampleKeyer.
// Wire body: u32 mask; meConfig[0..7]; dskConfig; u8 sampleKeyer[96] (bit 0, each 0..1);
// u8 selectedSampleKeyer (bit 1, 0..31).
struct KzifMainframeConfig {
  static constexpr int TYPE_ID = 26;
  static constexpr int N_CHANNELS = 1;
  static constexpr const char* NAME = "KzifMainframeConfig";
  // The layout is ours: the System Manager may send blocks after these fields. They are skipped,
  // so the body length is not held to the fields read.
  static constexpr bool TRAILING_BLOCKS = true;

  u32 mask;
  MeConfig meConfig[8];  // one per M/E index 0..7
  DskConfig dskConfig;
  u8 reserved0[8];
  u8 sampleKeyer[96];    // 312 + 12m + k: keyer k of M/E m is a chroma sample keyer
  u8 reserved1[4];
  u8 selectedSampleKeyer;  // 412: 4m + k
  u8 reserved2[3];

  static constexpr auto wire() {
    using R = KzifMainframeConfig;
    return rec::list(rec::mask(&R::mask), rec::sub(&R::meConfig), rec::sub(&R::dskConfig),
                     rec::field(0, &R::sampleKeyer, rec::range(0, 1)),
                     rec::field(1, &R::selectedSampleKeyer, rec::range(0, 31)));
  }
};
static_assert(sizeof(KzifMainframeConfig) == 416);
static_assert(rec::wireSizeOf<KzifMainframeConfig>() == 223);
static_assert(offsetof(KzifMainframeConfig, meConfig) == 4);
static_assert(offsetof(KzifMainframeConfig, dskConfig) + offsetof(DskConfig, meInput) == 264);
static_assert(offsetof(KzifMainframeConfig, dskConfig) + offsetof(DskConfig, programAssign) == 272);
static_assert(offsetof(KzifMainframeConfig, dskConfig) + offsetof(DskConfig, previewFollowOff) == 288);
static_assert(offsetof(KzifMainframeConfig, dskConfig) + offsetof(DskConfig, previewSelect) == 300);
static_assert(offsetof(KzifMainframeConfig, sampleKeyer) == 312);
static_assert(offsetof(KzifMainframeConfig, selectedSampleKeyer) == 412);

namespace category {
class CategoryMainframeConfig : public CategoryCommon<KzifMainframeConfig> {
 public:
  static CategoryMainframeConfig& get();
};
}  // namespace category

void initCategoryMainframeConfig();
