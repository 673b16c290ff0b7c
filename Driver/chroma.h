// Chroma key settings of the keyers of each M/E context: enable and mode, level, the two key
// colours and the key table, the colour-sample enables and sample area, and the key output ids.
// Like the other key settings they have no known register place on this board: they stay in
// their images and are traced.
#pragma once
#include <array>
#include <cstddef>

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
void setChromaKeyEnable(int target, int enable, int spill, int fixed, int mode);
// The first and second key colour of a keyer.
void setChromaKeyColor(int target, const i16 (&color)[3]);
void setChromaKeyColor2(int target, const i16 (&color)[3]);
// The chroma key level word of a keyer: a 0..3, b -8..8.
void setChromaKeyLevel(int target, int a, int b);
// One of the colour-sample enables 0x1401, 0x1407, 0x1408 of the current context.
void setChromaKeySample(int id, int flag);
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
