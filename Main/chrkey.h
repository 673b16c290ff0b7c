// Chroma key (type id 1): each keyer of each M/E can key by colour. The System Manager prepares
// the colour analysis (two key colours and a key table per keyer) in shared memory; this category
// keeps each keyer's chroma settings, loads the prepared data into the keyer when told to, and
// every field drives the chroma enable, mode, level, the colour-sample flags and the sample area.
#pragma once
#include <array>
#include <cstddef>

#include "Lib/Include/shared.h"
#include "Main/category.h"

// Stored layout (28 bytes): 0 mask | 4 me | 6 channel | 8 level | 10 levelOffset | 12 sampleKey |
// 13 chromaMode | 14 option | 16 samplePosition[2] | 20 sampleSize | 22 adjustments[3].
// Wire body (25 bytes): the same members in this order, big-endian, without padding.
struct KzifChromaKey {
  static constexpr int TYPE_ID = 1;
  static constexpr int N_CHANNELS = 4;
  static constexpr const char* NAME = "KzifChromaKey";

  static constexpr int BIT_LEVEL = 0;
  static constexpr int BIT_LEVEL_OFFSET = 1;
  static constexpr int BIT_SAMPLE_KEY = 2;
  static constexpr int BIT_CHROMA_MODE = 3;
  static constexpr int BIT_OPTION = 4;
  static constexpr int BIT_SAMPLE_POSITION = 5;
  static constexpr int BIT_SAMPLE_SIZE = 6;
  static constexpr int BIT_ADJUSTMENT1 = 7;  // adjustments 2 and 3: bits 8 and 9

  u32 mask;
  u8 me;
  u16 channel;  // keyer 0..3
  u8 level;
  i16 levelOffset;
  u8 sampleKey;   // 0 none, 1..4 the keyer whose colour is sampled (M/E-wide)
  u8 chromaMode;  // M/E-wide
  u8 option;      // kept and reported only
  i16 samplePosition[2];  // x, y in 1/10000 of the picture from its centre, y upwards (M/E-wide)
  i16 sampleSize;         // 1/10000 of the picture (M/E-wide)
  i16 adjustments[3];     // kept and reported only

  static constexpr auto wire() {
    using R = KzifChromaKey;
    using rec::range;
    return rec::list(rec::mask(&R::mask), rec::me(&R::me), rec::channel(&R::channel),
                     rec::field(BIT_LEVEL, &R::level, range(0, 3)),
                     rec::field(BIT_LEVEL_OFFSET, &R::levelOffset, range(-40, 40)),
                     rec::field(BIT_SAMPLE_KEY, &R::sampleKey, range(0, 4)),
                     rec::field(BIT_CHROMA_MODE, &R::chromaMode, range(0, 3)),
                     rec::field(BIT_OPTION, &R::option, range(0, 14)),
                     rec::field(BIT_SAMPLE_POSITION, &R::samplePosition, rec::whole(range(-10000, 10000))),
                     rec::field(BIT_SAMPLE_SIZE, &R::sampleSize, range(100, 10000)),
                     rec::elements(BIT_ADJUSTMENT1, &R::adjustments, range(-1000, 1000)));
  }
  bool has(int bit) const { return (mask & (1u << bit)) != 0; }
};
static_assert(sizeof(KzifChromaKey) == 28);
static_assert(offsetof(KzifChromaKey, channel) == 6);
static_assert(offsetof(KzifChromaKey, level) == 8);
static_assert(offsetof(KzifChromaKey, levelOffset) == 10);
static_assert(offsetof(KzifChromaKey, sampleKey) == 12);
static_assert(offsetof(KzifChromaKey, option) == 14);
static_assert(offsetof(KzifChromaKey, samplePosition) == 16);
static_assert(offsetof(KzifChromaKey, sampleSize) == 20);
static_assert(offsetof(KzifChromaKey, adjustments) == 22);
static_assert(rec::wireSizeOf<KzifChromaKey>() == 25);

// Wire body (11 bytes): u8 byte1, u8 byte2 (echoed); u16 selector (0..3); i16 result (in the
// answer); u8 me; u16 keyer channel (0..3); u8 byte9, u8 byte10 (echoed). Answered by the same
// body with the result set: 0, or -2 for a selector or channel out of range.
struct KzifChromaKeyCmd {
  static constexpr int TYPE_ID = 75;
  static constexpr const char* NAME = "KzifChromaKeyCmd";
  static constexpr i16 RESULT_OK = 0;
  static constexpr i16 RESULT_BAD_PARAMETER = -2;

  u8 byte1;
  u8 byte2;
  u16 selector;
  i16 result;
  u8 me;
  u16 channel;
  u8 byte9;
  u8 byte10;

  static constexpr auto wire() {
    using R = KzifChromaKeyCmd;
    return rec::list(rec::plain(&R::byte1), rec::plain(&R::byte2), rec::plain(&R::selector), rec::plain(&R::result),
                     rec::plain(&R::me), rec::plain(&R::channel), rec::plain(&R::byte9), rec::plain(&R::byte10));
  }
};
static_assert(rec::wireSizeOf<KzifChromaKeyCmd>() == 11);

// One keyer's chroma data as the System Manager prepares it (native layout, CHROMAKEY_UNIT bytes).
struct ChromaKeyData {
  static constexpr std::size_t TABLE_PART = 2316;  // colours and table: also kept in the backup image
  static constexpr std::size_t TABLE_SIZE = 1152;
  i16 color[3];
  i16 color2[3];
  u16 table[TABLE_SIZE];
  u8 fromSnapshot;  // 1 when the block was installed from stored settings
  u8 carried[819];  // kept with the block, not interpreted
};
static_assert(sizeof(ChromaKeyData) == CHROMAKEY_UNIT);
static_assert(offsetof(ChromaKeyData, table) == 12);
static_assert(offsetof(ChromaKeyData, fromSnapshot) == ChromaKeyData::TABLE_PART);

namespace category {

class CategoryKey;
class CategoryMainframeConfig;
class CategorySystem;

class CategoryChromaKey : public CategoryCommon<KzifChromaKey> {
 public:
  static constexpr int N_KEYERS = KzifChromaKey::N_CHANNELS;
  // The backup share: the table parts of the four keyers, then the four records.
  static constexpr std::size_t TABLE_AREA = ChromaKeyData::TABLE_PART * N_KEYERS;
  static constexpr std::size_t BACKUP_SHARE = TABLE_AREA + sizeof(KzifChromaKey) * N_KEYERS;

  CategoryChromaKey();
  UpdateClass updateClass() const override { return UpdateClass::ChromaKey; }
  // The chroma keys of M/E me (M/E 0's when that M/E has none).
  static CategoryChromaKey* find(int me);

  std::size_t attachBackup(u8* p) override;
  void initIndex(int me, int flags) override;
  void initInternal() override;
  void restore(const u8* stored) override;
  void assign(const KzifChromaKey& in, int idx) override;
  void receiveRouted(int id, RequestReceiver& rx) override;
  void update() override;

  // Keyer n's chroma data, copied out (stored settings capture it).
  void readChannelData(int n, ChromaKeyData& out) const;
  // Installs keyer n's chroma data from stored settings: kept, backed up, written to shared memory.
  void writeChannelData(int n, const ChromaKeyData& in);
  // Reads keyer n's chroma data from shared memory, backs its table part up and applies it.
  void reloadChannelData(int n);

 private:
  // The settings every keyer of the M/E shares.
  struct MeWide {
    u8 sampleKey = 0;
    u8 chromaMode = 0;
    i16 samplePosition[2] = {0, 0};
    i16 sampleSize = 0;
    bool operator==(const MeWide& o) const {
      return sampleKey == o.sampleKey && chromaMode == o.chromaMode && samplePosition[0] == o.samplePosition[0] &&
             samplePosition[1] == o.samplePosition[1] && sampleSize == o.sampleSize;
    }
  };
  static std::size_t slot(int n) {
    checkChannel(n);
    return static_cast<std::size_t>(n);
  }
  void applyTable(int n);
  void findPeers();
  void takeMeWide(int n);
  void pollTableStatus();
  void applyKeyOutputs();
  int configuredSampleKeyer(const std::array<int, N_KEYERS>& keyTypes) const;
  u8* tablePart(int n) { return tableArea_ + ChromaKeyData::TABLE_PART * slot(n); }

  std::array<ChromaKeyData, N_KEYERS> blocks_{};
  u8* tableArea_ = nullptr;
  u8 sampleIsChroma_ = 0;
  // Per keyer: its table is to be applied once it is a chroma keyer with a valid table.
  std::array<u8, N_KEYERS> tablePending_{};
  MeWide pending_{};
  MeWide applied_{};
  std::array<u8, N_KEYERS> statusChecked_{};
  std::array<u8, N_KEYERS> tableValid_{};
  std::array<u16, N_KEYERS> keyOutputs_{};  // as last set; 0 before the first update
  // Per keyer: what its sample, enable and level setters were last handed (the three sample flags,
  // enable, mode id, level, level offset), under this setter memo generation.
  struct HeldSetters {
    using Args = std::array<i32, 7>;
    Args args{};
    u32 generation = 0;
    bool valid = false;
  };
  std::array<HeldSetters, N_KEYERS> heldSetters_{};
  bool polling_ = true;  // a keyer still waits for its status word
  struct Peers {
    const CategoryKey* keys = nullptr;
    const CategoryMainframeConfig* config = nullptr;
    const CategorySystem* system = nullptr;
    bool found = false;
  };
  Peers peers_{};
};

}  // namespace category

// The sample rectangle in pixels and field lines of a video format, from a sample position
// (x, y in 1/10000 of the picture from its centre, y upwards) and size (1/10000 of the picture).
struct ChromaSampleArea {
  int left, top, width, height;
  bool operator==(const ChromaSampleArea&) const = default;
};
ChromaSampleArea chromaSampleArea(int videoFormat, int x, int y, int size);

void initCategoryChromaKey();
