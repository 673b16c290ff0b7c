#include "Driver/chroma.h"

#include <algorithm>

#include "Common/assert.h"
#include "Driver/key.h"
#include "Driver/image.h"
#include "Driver/kz.h"
#include "Driver/trace.h"

KZ_SOURCE("Driver/chroma");

namespace kz {
namespace {

std::array<ChromaContextImage, N_ME_CONTEXTS> chromaImages{};

ChromaContextImage& current() { return chromaImages[static_cast<std::size_t>(kz::image::currentContextIndex)]; }

ChromaKeySettings& keyOf(int target) {
  KZ_CHECK(isKeyTarget(target));
  return current().keys[static_cast<std::size_t>((target - KZ_KEY1) / 2)];
}

std::array<i16, 3> colorOf(const i16 (&c)[3]) { return {c[0], c[1], c[2]}; }

}  // namespace

const ChromaContextImage& chromaContextImage(int context) {
  KZ_CHECK(KZ_CONTEXT_ME1 <= context && context <= KZ_CONTEXT_ME4B);
  return chromaImages[static_cast<std::size_t>(context - KZ_CONTEXT_ME1)];
}

void resetChromaImages() {
  chromaImages.fill(ChromaContextImage{});
  memo::forget(memo::chromaEnable);
  memo::forget(memo::chromaLevel);
  memo::forget(memo::chromaSample);
}

}  // namespace kz

void kz::detail::setChromaKeyEnableChanged(int target, int enable, int spill, int fixed, int mode) {
  kz::ChromaKeySettings& k = kz::keyOf(target);
  KZ_CHECK((enable == 0 || enable == 1) && (spill == 0 || spill == 1));
  KZ_CHECK(fixed == KZ_CHROMA_FIXED);
  KZ_CHECK(KZ_CHROMA_MODE_FIRST <= mode && mode <= KZ_CHROMA_MODE_LAST);
  k.enable = static_cast<u8>(enable);
  k.spill = static_cast<u8>(spill);
  k.mode = static_cast<u16>(mode);
  kz::memo::ofContext(kz::memo::chromaEnable, static_cast<std::size_t>((target - KZ_KEY1) / 2)).take(enable, spill, fixed, mode);
  trace::call("setChromaKeyEnable", trace::Id{target}, enable, spill, trace::Id{fixed}, trace::Id{mode});
}

void setChromaKeyColor(int target, const i16 (&color)[3]) {
  kz::ChromaKeySettings& k = kz::keyOf(target);
  k.color = kz::colorOf(color);
  trace::call("setChromaKeyColor", trace::Id{target}, color[0], color[1], color[2]);
}

void setChromaKeyColor2(int target, const i16 (&color)[3]) {
  kz::ChromaKeySettings& k = kz::keyOf(target);
  k.color2 = kz::colorOf(color);
  trace::call("setChromaKeyColor2", trace::Id{target}, color[0], color[1], color[2]);
}

void kz::detail::setChromaKeyLevelChanged(int target, int a, int b) {
  kz::ChromaKeySettings& k = kz::keyOf(target);
  KZ_CHECK(0 <= a && a <= 3);
  KZ_CHECK(-8 <= b && b <= 8);
  k.levelA = static_cast<u8>(a);
  k.levelB = static_cast<i8>(b);
  kz::memo::ofContext(kz::memo::chromaLevel, static_cast<std::size_t>((target - KZ_KEY1) / 2)).take(a, b);
  trace::call("setChromaKeyLevel", trace::Id{target}, a, b);
}

void kz::detail::setChromaKeySampleChanged(int id, int flag) {
  KZ_CHECK(id == KZ_CHROMA_SAMPLE_1401 || id == KZ_CHROMA_SAMPLE_1407 || id == KZ_CHROMA_SAMPLE_1408);
  KZ_CHECK(flag == 0 || flag == 1);
  const std::size_t i = id == KZ_CHROMA_SAMPLE_1401 ? 0 : id == KZ_CHROMA_SAMPLE_1407 ? 1 : 2;
  kz::current().sample[i] = static_cast<u8>(flag);
  kz::memo::ofContext(kz::memo::chromaSample, i).take(flag);
  trace::call("setChromaKeySample", trace::Id{id}, flag);
}

void setChromaKeySampleArea(int left, int top, int width, int height) {
  kz::current().sampleArea = {left, top, width, height};
  trace::call("setChromaKeySampleArea", left, top, width, height);
}

void writeChromaKeyTable(int target, const u16* table) {
  kz::ChromaKeySettings& k = kz::keyOf(target);
  KZ_CHECK(table != nullptr);
  std::copy(table, table + CHROMA_TABLE_SIZE, k.table.begin());
  ++k.tableWrites;
  trace::call("writeChromaKeyTable", trace::Id{target}, table[0], table[CHROMA_TABLE_SIZE - 1]);
}

void setMeKeyOutputs(int key1, int key2, int key3, int key4) {
  const auto valid = [](int id) {
    return id == KZ_CHROMA_KEY_OUTPUT || (KZ_CHROMA_KEY_OUTPUT_FIRST <= id && id < KZ_CHROMA_KEY_OUTPUT_FIRST + 4);
  };
  KZ_CHECK(valid(key1) && valid(key2) && valid(key3) && valid(key4));
  kz::current().keyOutputs = {static_cast<u16>(key1), static_cast<u16>(key2), static_cast<u16>(key3),
                              static_cast<u16>(key4)};
  trace::call("setMeKeyOutputs", trace::Id{key1}, trace::Id{key2}, trace::Id{key3}, trace::Id{key4});
}
