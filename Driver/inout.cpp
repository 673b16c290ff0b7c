// Input and output routing: which source feeds each bus, key, DSK, AUX and upstream key input,
// the AUX mixers, the memory source, and the tally status the hardware reports back.
#include "Common/assert.h"
#include "Driver/image.h"
#include "Driver/kz.h"
#include "Driver/trace.h"
#include "Platform/platform.h"

KZ_SOURCE("Driver/inout");

namespace {

std::size_t indexFrom(int id, int first) { return static_cast<std::size_t>(id - first); }

// The bus, DSK and AUX routing takes every source the crossbar carries: inputs, stills and clips,
// colour backgrounds and black, the M/E outputs (0x11A0..), the DSK outputs (0x11C0..) and the
// multiview and AUX outputs up to 0x11CF. The upstream keyers take inputs up to black only.
constexpr int KZ_LAST_SOURCE = 0x11CF;

}  // namespace

void kz::detail::setMeInputChanged(int target, int src) {
  KZ_CHECK(KZ_ABUS <= target && target <= KZ_KEY4_S);
  KZ_CHECK(KZ_IN_1 <= src && src <= KZ_LAST_SOURCE);
  kz::image::currentMe().input[indexFrom(target, KZ_ABUS)] = static_cast<u16>(src);
  kz::memo::ofContext(kz::memo::meInput, indexFrom(target, KZ_ABUS)).take(src);
  trace::call("setMeInput", trace::Id{target}, trace::Id{src});
}

void kz::detail::setDskInputChanged(int target, int src) {
  KZ_CHECK(KZ_DSK1_F <= target && target <= KZ_DSK4_S);
  KZ_CHECK(KZ_IN_1 <= src && src <= KZ_LAST_SOURCE);
  kz::image::glue().dskInput[indexFrom(target, KZ_DSK1_F)] = static_cast<u16>(src);
  kz::memo::dskInput[indexFrom(target, KZ_DSK1_F)].take(src);
  trace::call("setDskInput", trace::Id{target}, trace::Id{src});
}

void kz::detail::setAuxInputChanged(int target, int src) {
  KZ_CHECK((KZ_AUX1 <= target && target <= KZ_AUX_LAST) || (KZ_EXT_OUT1 <= target && target <= KZ_EXT_OUT_LAST));
  KZ_CHECK(KZ_IN_1 <= src && src <= KZ_LAST_SOURCE);
  kz::GlueImage& glue = kz::image::glue();
  if (target >= KZ_EXT_OUT1)
    glue.extOutput[indexFrom(target, KZ_EXT_OUT1)] = static_cast<u16>(src);
  else
    glue.auxInput[indexFrom(target, KZ_AUX1)] = static_cast<u16>(src);
  kz::memo::auxInputOf(target)->take(src);
  trace::call("setAuxInput", trace::Id{target}, trace::Id{src});
}

void setAuxTransition(int auxId, f32 position, int flag) {
  // Only AUX 1..4 have a mixer, addressed by the id of their first (new-source) input.
  KZ_CHECK(KZ_AUX1 <= auxId && auxId <= KZ_AUX1 + 6 && (auxId - KZ_AUX1) % 2 == 0);
  KZ_CHECK(0.0f <= position && position <= 1.0f);
  kz::image::glue().auxMix[indexFrom(auxId, KZ_AUX1) / 2] = kz::AuxMix{position, static_cast<u8>(flag != 0)};
  trace::call("setAuxTransition", trace::Id{auxId}, position, flag);
}

void setUskInput(int dst, int src) {
  KZ_CHECK(KZ_USK1_F <= dst && dst <= KZ_USK4_S);
  KZ_CHECK(KZ_IN_1 <= src && src <= KZ_BLACK);
  kz::image::glue().uskInput[indexFrom(dst, KZ_USK1_F)] = static_cast<u16>(src);
  trace::call("setUskInput", trace::Id{dst}, trace::Id{src});
}

void kz::detail::setInputUskChanged(int target, int on, int usk) {
  KZ_CHECK(KZ_IN_1 <= target && target <= KZ_BLACK);
  KZ_CHECK(KZ_USK1_F <= usk && usk <= KZ_USK4_S);
  kz::image::glue().inputUsk[indexFrom(target, KZ_IN_1)] =
      on != 0 ? static_cast<u8>((usk - KZ_USK1_F) / 2) : kz::NO_USK;
  kz::memo::inputUsk[indexFrom(target, KZ_IN_1)].take(on, usk);
  trace::call("setInputUsk", trace::Id{target}, on, trace::Id{usk});
}

int selectMemorySource(int id) {
  int index = 0;
  switch (id) {
    case KZ_STILL_1:
    case KZ_STILL_1 + 2:
    case KZ_STILL_1 + 4:
    case KZ_STILL_1 + 6:
      index = (id - KZ_STILL_1) / 2;
      break;
    case KZ_CLIP_1:
    case KZ_CLIP_1 + 2:
    case KZ_CLIP_1 + 4:
    case KZ_CLIP_1 + 6:
      index = 4 + (id - KZ_CLIP_1) / 2;
      break;
    case KZ_CBGD_1:
      index = 8;
      break;
    case KZ_CBGD_2:
      index = 9;
      break;
    case KZ_BLACK:
      index = 10;
      break;
    case KZ_BLACK + 1:  // the memory source after black
      index = 11;
      break;
    default:
      KZ_NEVER_REACH();
  }
  trace::call("selectMemorySource", trace::Id{id});
  kz::image::glue().memorySource = static_cast<u8>(index);
  return index;
}

u32 getTallyStatus(int kzId) {
  const platform::HardwareInputs& hw = platform::hardwareInputs();
  switch (kzId) {
    case KZ_CONTEXT_ME1:
      return hw.meTally[0];
    case KZ_CONTEXT_ME1 + 1:
      return hw.meTally[1];
    case KZ_DSK_PGM1:
      return hw.dskOutput;
    case KZ_DSK_CLN1:
      return hw.dskClean;
    default:
      return 0;
  }
}
