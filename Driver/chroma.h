// Chroma key settings of the keyers of each M/E context: enable and mode, level, the two key
// colours and the key table, the colour-sample enables and sample area, and the key output ids.
// Like the other key settings they have no known register place on this board: they stay in
// their images and are traced.
#pragma once
#include <array>
#include <cstddef>

#include "Driver/memo.h"
#include "Driver/trace.h"
#include "Lib/Include/kz_types.h"

constexpr int KZ_CHROMA_SAMPLE_1401 = 0x1401;
constexpr int KZ_CHROMA_SAMPLE_1407 = 0x1407;
constexpr int KZ_CHROMA_SAMPLE_1408 = 0x1408;
constexpr int KZ_CHROMA_KEY_OUTPUT = 0x1400;         // a keyer without chroma key
constexpr int KZ_CHROMA_KEY_OUTPUT_FIRST = 0x1402;   // + keyer, for a chroma keyer
constexpr int KZ_CHROMA_FIXED = 0x2010;
constexpr int KZ_CHROMA_MODE_FIRST = 0x2012;
constexpr int KZ_CHROMA_MODE_LAST = 0x2014;
constexpr std::size_t CHROMA_TABLE_SIZE = 1152;

// Keyer target KZ_KEY1 + 2k: chroma key on/off, spill 0/1, KZ_CHROMA_FIXED and a mode 0x2012..0x2014.
inline void setChromaKeyEnable(int target, int enable, int spill, int fixed, int mode);
// The first and second key colour of a keyer.
void setChromaKeyColor(int target, const i16 (&color)[3]);
void setChromaKeyColor2(int target, const i16 (&color)[3]);
// The chroma key level word of a keyer: a 0..3, b -8..8.
inline void setChromaKeyLevel(int target, int a, int b);
// One of the colour-sample enables 0x1401, 0x1407, 0x1408 of the current context.
inline void setChromaKeySample(int id, int flag);
// The sample rectangle of the current context in pixels and field lines.
void setChromaKeySampleArea(int left, int top, int width, int height);
// A keyer's key table (CHROMA_TABLE_SIZE values). Traced with its first and last value.
void writeChromaKeyTable(int target, const u16* table);
// The key output ids of keyers 1..4 of the current context (0x1400, or 0x1402 + k for a chroma keyer).
void setMeKeyOutputs(int key1, int key2, int key3, int key4);

namespace kz {

struct ChromaKeySettings {
  u8 enable = 0, spill = 0;
  u16 mode = 0;
  u8 levelA = 0;
  i8 levelB = 0;
  std::array<i16, 3> color{}, color2{};
  std::array<u16, CHROMA_TABLE_SIZE> table{};
  u32 tableWrites = 0;
};

struct ChromaContextImage {
  std::array<ChromaKeySettings, 4> keys{};
  std::array<u8, 3> sample{};  // 0x1401, 0x1407, 0x1408
  std::array<i32, 4> sampleArea{};  // left, top, width, height
  std::array<u16, 4> keyOutputs{};
};

const ChromaContextImage& chromaContextImage(int context);
void resetChromaImages();

}  // namespace kz

// ---- the inline parts of the setters called every field ----------------------------------------

namespace kz::detail {
void setChromaKeyEnableChanged(int target, int enable, int spill, int fixed, int mode);
void setChromaKeyLevelChanged(int target, int a, int b);
void setChromaKeySampleChanged(int id, int flag);
}  // namespace kz::detail

namespace kz::memo {
inline PerContext<4, N_KEYS> chromaEnable{};
inline PerContext<2, N_KEYS> chromaLevel{};
inline PerContext<1, 3> chromaSample{};

inline bool chromaSampleIndex(int id, std::size_t& index) {
  index = id == KZ_CHROMA_SAMPLE_1401 ? 0 : id == KZ_CHROMA_SAMPLE_1407 ? 1 : 2;
  return id == KZ_CHROMA_SAMPLE_1401 || id == KZ_CHROMA_SAMPLE_1407 || id == KZ_CHROMA_SAMPLE_1408;
}
}  // namespace kz::memo

inline void setChromaKeyEnable(int target, int enable, int spill, int fixed, int mode) {
  std::size_t k = 0;
  if (kz::memo::pairIndex(target, KZ_KEY1, k) &&
      kz::memo::ofContext(kz::memo::chromaEnable, k).same(enable, spill, fixed, mode)) {
    trace::call("setChromaKeyEnable", trace::Id{target}, enable, spill, trace::Id{fixed}, trace::Id{mode});
    return;
  }
  kz::detail::setChromaKeyEnableChanged(target, enable, spill, fixed, mode);
}

inline void setChromaKeyLevel(int target, int a, int b) {
  std::size_t k = 0;
  if (kz::memo::pairIndex(target, KZ_KEY1, k) && kz::memo::ofContext(kz::memo::chromaLevel, k).same(a, b)) {
    trace::call("setChromaKeyLevel", trace::Id{target}, a, b);
    return;
  }
  kz::detail::setChromaKeyLevelChanged(target, a, b);
}

inline void setChromaKeySample(int id, int flag) {
  std::size_t i = 0;
  if (kz::memo::chromaSampleIndex(id, i) && kz::memo::ofContext(kz::memo::chromaSample, i).same(flag)) {
    trace::call("setChromaKeySample", trace::Id{id}, flag);
    return;
  }
  kz::detail::setChromaKeySampleChanged(id, flag);
}
