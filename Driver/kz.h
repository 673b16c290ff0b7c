// The driver layer of the video hardware: feature code describes what the hardware should show
// through the setters below, which only record values in register images; kzUpdate writes the
// images to the FPGAs once per field, so a field never sees a half-made routing.
#pragma once
#include <array>

#include "Driver/memo.h"
#include "Driver/trace.h"
#include "Lib/Include/kz_types.h"

// ---- pipeline ----------------------------------------------------------------------------------

// Puts every register image in its power-on state (every routed input on KZ_BLACK, every source
// without upstream keyer, AUX mixers on their first input, memory source 10 = black), makes
// KZ_CONTEXT_ME1 current and forgets what the hardware holds, so that the next kzUpdate writes
// every register.
void kzInitialize();

// Called from the VSYNC interrupt: writes to the FPGA register blocks every register whose image
// value differs from what the last kzUpdate wrote. Contexts 0 and 1 go to FPGA_ME1 and FPGA_ME2;
// contexts 2..7 have no hardware on this board and stay in their images.
void kzUpdate();

// ---- M/E context ---------------------------------------------------------------------------------

// Selects the M/E context (KZ_CONTEXT_ME1 .. KZ_CONTEXT_ME4B; M/E index m is KZ_CONTEXT_ME1 + m)
// that the per-context setters record into.
void setMeContext(int target);
// The context last selected by setMeContext.
inline int getMeContext() { return KZ_CONTEXT_ME1 + kz::image::currentContextIndex; }

// ---- input and output routing --------------------------------------------------------------------

// Source (a KZ source id, KZ_IN_1 .. 0x11CF) of a bus or key input of the current context: KZ_ABUS, KZ_BBUS,
// KZ_UTIL1, KZ_UTIL2, key n fill 0x1204 + 2n and key source 0x1205 + 2n.
inline void setMeInput(int target, int src);
// Source of a downstream key input: DSK n fill 0x1210 + 2n, key source 0x1211 + 2n.
inline void setDskInput(int target, int src);
// Source of an AUX bus input (KZ_AUX1 .. KZ_AUX_LAST) or an extended output (KZ_EXT_OUT1 ..
// KZ_EXT_OUT_LAST). AUX 1..4 have two inputs: KZ_AUX1 + 2n the incoming source, the id after it the outgoing one.
inline void setAuxInput(int target, int src);
// Mix of the two-input mixer of AUX n + 1 (auxId = KZ_AUX1 + 2n, n 0..3): position 1.0 shows all
// of the first input, 0.0 all of the second. Feature code passes flag 0.
void setAuxTransition(int auxId, f32 position, int flag);
// Source (KZ_IN_1 .. KZ_BLACK) of upstream key input dst (KZ_USK1_F .. KZ_USK4_S).
void setUskInput(int dst, int src);
// Records for source target (KZ_IN_1 .. KZ_BLACK) the upstream keyer (usk - KZ_USK1_F) / 2 that
// keys it when on is non-zero, else none (4).
inline void setInputUsk(int target, int on, int usk);
// Makes a still, clip, colour background, black or 0x1194 the memory source of the routing and
// returns its index 0..11; any other id is a fault (NeverReachHere).
int selectMemorySource(int id);
// On-air status word from the hardware: for KZ_CONTEXT_ME1 and KZ_CONTEXT_ME1 + 1 that M/E's word,
// for KZ_DSK_PGM1 the DSK output word, for KZ_DSK_CLN1 the DSK clean word; 0 for any other id.
u32 getTallyStatus(int kzId);

// ---- register images -----------------------------------------------------------------------------
namespace kz {

constexpr int N_ME_CONTEXTS = KZ_CONTEXT_ME4B - KZ_CONTEXT_ME1 + 1;
constexpr int N_HW_ME_CONTEXTS = 2;  // contexts with an M/E FPGA on this board
constexpr int N_ME_INPUTS = KZ_KEY4_S - KZ_ABUS + 1;
constexpr int N_DSK_INPUTS = KZ_DSK4_S - KZ_DSK1_F + 1;
constexpr int N_AUX_INPUTS = KZ_AUX_LAST - KZ_AUX1 + 1;
constexpr int N_EXT_OUTPUTS = KZ_EXT_OUT_LAST - KZ_EXT_OUT1 + 1;
constexpr int N_AUX_MIXERS = 4;
constexpr int N_USK_INPUTS = KZ_USK4_S - KZ_USK1_F + 1;
constexpr int N_ROUTED_SOURCES = KZ_BLACK - KZ_IN_1 + 1;
constexpr u8 NO_USK = 4;
constexpr u8 MEMORY_SOURCE_BLACK = 10;

// What one M/E context shows, as recorded by the setters.
struct MeImage {
  std::array<u16, N_ME_INPUTS> input;  // source of target KZ_ABUS + i
  bool operator==(const MeImage&) const = default;
};

struct AuxMix {
  f32 position;  // 1.0 = all of the first input
  u8 flag;
  bool operator==(const AuxMix&) const = default;
};

// The routing that belongs to no M/E context.
struct GlueImage {
  std::array<u16, N_DSK_INPUTS> dskInput;      // source of KZ_DSK1_F + i
  std::array<u16, N_AUX_INPUTS> auxInput;      // source of KZ_AUX1 + i
  std::array<u16, N_EXT_OUTPUTS> extOutput;    // source of KZ_EXT_OUT1 + i
  std::array<AuxMix, N_AUX_MIXERS> auxMix;     // mixer of AUX n + 1
  std::array<u16, N_USK_INPUTS> uskInput;      // source of KZ_USK1_F + i
  std::array<u8, N_ROUTED_SOURCES> inputUsk;   // keyer 0..3 of source KZ_IN_1 + i, NO_USK when none
  u8 memorySource;                             // index given by selectMemorySource
  bool operator==(const GlueImage&) const = default;
};

// The recorded image of a context (KZ_CONTEXT_ME1 .. KZ_CONTEXT_ME4B), asserted.
const MeImage& meImage(int context);
const GlueImage& glueImage();

// Register offsets (bytes) in the FPGA blocks; one 32-bit register per value.
namespace reg {
// M/E block (platform::FPGA_ME1 for context 0, platform::FPGA_ME2 for context 1).
constexpr u32 ME_INPUT = 0x0000;  // + 4 × (target − KZ_ABUS): source KZ id
// Glue block (platform::FPGA_GLUE).
constexpr u32 DSK_INPUT = 0x0000;       // + 4 × (target − KZ_DSK1_F): source KZ id
constexpr u32 AUX_INPUT = 0x0100;       // + 4 × (target − KZ_AUX1): source KZ id
constexpr u32 EXT_OUTPUT = 0x0180;      // + 4 × (target − KZ_EXT_OUT1): source KZ id
constexpr u32 AUX_MIX = 0x0200;         // + 4 × n: bits 0..9 round(position × 1023), bit 16 flag
constexpr u32 USK_INPUT = 0x0300;       // + 4 × (dst − KZ_USK1_F): source KZ id
constexpr u32 INPUT_USK = 0x0400;       // + 4 × (source − KZ_IN_1): keyer 0..3, 4 none
constexpr u32 MEMORY_SOURCE = 0x0700;   // memory source index 0..11
constexpr u32 GLUE_END = MEMORY_SOURCE + 4;

constexpr u32 AUX_MIX_LEVEL_MASK = 0x3FF;
constexpr u32 AUX_MIX_FLAG = 1u << 16;
}  // namespace reg

}  // namespace kz

// ---- the routing setters' inline parts -----------------------------------------------------------

namespace kz::detail {
void setMeInputChanged(int target, int src);
void setDskInputChanged(int target, int src);
void setAuxInputChanged(int target, int src);
void setInputUskChanged(int target, int on, int usk);
}  // namespace kz::detail

namespace kz::memo {
inline PerContext<1, N_ME_INPUTS> meInput{};
inline std::array<Last<1>, N_DSK_INPUTS> dskInput{};
inline std::array<Last<1>, N_AUX_INPUTS + N_EXT_OUTPUTS> auxInput{};
inline std::array<Last<2>, N_ROUTED_SOURCES> inputUsk{};

inline Last<1>* auxInputOf(int target) {
  const std::size_t aux = static_cast<unsigned>(target - KZ_AUX1);
  if (aux < N_AUX_INPUTS) return &auxInput[aux];
  const std::size_t ext = static_cast<unsigned>(target - KZ_EXT_OUT1);
  if (ext < N_EXT_OUTPUTS) return &auxInput[N_AUX_INPUTS + ext];
  return nullptr;
}
}  // namespace kz::memo

inline void setMeInput(int target, int src) {
  const std::size_t i = static_cast<unsigned>(target - KZ_ABUS);
  if (i < kz::N_ME_INPUTS && kz::memo::ofContext(kz::memo::meInput, i).same(src)) {
    trace::call("setMeInput", trace::Id{target}, trace::Id{src});
    return;
  }
  kz::detail::setMeInputChanged(target, src);
}

inline void setDskInput(int target, int src) {
  const std::size_t i = static_cast<unsigned>(target - KZ_DSK1_F);
  if (i < kz::N_DSK_INPUTS && kz::memo::dskInput[i].same(src)) {
    trace::call("setDskInput", trace::Id{target}, trace::Id{src});
    return;
  }
  kz::detail::setDskInputChanged(target, src);
}

inline void setAuxInput(int target, int src) {
  const kz::memo::Last<1>* last = kz::memo::auxInputOf(target);
  if (last != nullptr && last->same(src)) {
    trace::call("setAuxInput", trace::Id{target}, trace::Id{src});
    return;
  }
  kz::detail::setAuxInputChanged(target, src);
}

inline void setInputUsk(int target, int on, int usk) {
  const std::size_t i = static_cast<unsigned>(target - KZ_IN_1);
  if (i < kz::N_ROUTED_SOURCES && kz::memo::inputUsk[i].same(on, usk)) {
    trace::call("setInputUsk", trace::Id{target}, on, trace::Id{usk});
    return;
  }
  kz::detail::setInputUskChanged(target, on, usk);
}
