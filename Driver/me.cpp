// M/E context, the register images and the per-field pipeline that writes them.
#include <span>

#include "Common/assert.h"
#include "Driver/clip.h"
#include "Driver/effects.h"
#include "Driver/filter.h"
#include "Driver/image.h"
#include "Driver/key.h"
#include "Driver/chroma.h"
#include "Driver/kz.h"
#include "Driver/operate.h"
#include "Driver/still.h"
#include "Driver/transition.h"
#include "Driver/trace.h"
#include "Platform/platform.h"

KZ_SOURCE("Driver/me");

namespace kz {
namespace {

static_assert(reg::ME_INPUT + 4 * N_ME_INPUTS <= platform::FPGA_BLOCK_SIZE);
static_assert(reg::DSK_INPUT + 4 * N_DSK_INPUTS <= reg::AUX_INPUT);
static_assert(reg::AUX_INPUT + 4 * N_AUX_INPUTS <= reg::EXT_OUTPUT);
static_assert(reg::EXT_OUTPUT + 4 * N_EXT_OUTPUTS <= reg::AUX_MIX);
static_assert(reg::AUX_MIX + 4 * N_AUX_MIXERS <= reg::USK_INPUT);
static_assert(reg::USK_INPUT + 4 * N_USK_INPUTS <= reg::INPUT_USK);
static_assert(reg::INPUT_USK + 4 * N_ROUTED_SOURCES <= reg::MEMORY_SOURCE);
static_assert(reg::GLUE_END <= platform::FPGA_BLOCK_SIZE);

constexpr MeImage powerOnMe() {
  MeImage image{};
  image.input.fill(KZ_BLACK);
  return image;
}

constexpr GlueImage powerOnGlue() {
  GlueImage image{};
  image.dskInput.fill(KZ_BLACK);
  image.auxInput.fill(KZ_BLACK);
  image.extOutput.fill(KZ_BLACK);
  image.auxMix.fill(AuxMix{1.0f, 0});
  image.uskInput.fill(KZ_BLACK);
  image.inputUsk.fill(NO_USK);
  image.memorySource = MEMORY_SOURCE_BLACK;
  return image;
}

// Static initial values equal the power-on state, so that a setter called before kzInitialize
// still records into a sane image.
std::array<MeImage, N_ME_CONTEXTS> meImages = [] {
  std::array<MeImage, N_ME_CONTEXTS> images{};
  images.fill(powerOnMe());
  return images;
}();
GlueImage glueState = powerOnGlue();

// What the hardware holds, as far as we wrote it. Until the first kzUpdate after kzInitialize
// nothing is known, so everything is written.
struct Shadow {
  std::array<u32, N_ME_INPUTS> me[N_HW_ME_CONTEXTS];
  std::array<u32, reg::GLUE_END / 4> glue;
  bool valid;
};
Shadow shadow{};

constexpr u32 meBlockBase[N_HW_ME_CONTEXTS] = {platform::FPGA_ME1, platform::FPGA_ME2};

// Writes one register block, skipping the words the hardware already holds.
class BlockWriter {
 public:
  BlockWriter(u32 base, std::span<u32> held, bool writeAll) : base_(base), held_(held), writeAll_(writeAll) {}

  void put(u32 offset, u32 value) {
    u32& held = held_[offset / 4];
    if (!writeAll_ && held == value) return;
    platform::writeRegister(base_ + offset, value);
    held = value;
  }

 private:
  u32 base_;
  std::span<u32> held_;
  bool writeAll_;
};

u32 auxMixWord(const AuxMix& mix) {
  // position is asserted 0..1, so the rounding cannot leave the 10-bit level field.
  const u32 level = static_cast<u32>(mix.position * 1023.0f + 0.5f);
  return (level & reg::AUX_MIX_LEVEL_MASK) | (mix.flag != 0 ? reg::AUX_MIX_FLAG : 0u);
}

void writeMe(int context, bool writeAll) {
  BlockWriter block(meBlockBase[context], shadow.me[context], writeAll);
  const MeImage& image = meImages[static_cast<std::size_t>(context)];
  for (int i = 0; i < N_ME_INPUTS; ++i) block.put(reg::ME_INPUT + 4u * i, image.input[i]);
}

void writeGlue(bool writeAll) {
  BlockWriter block(platform::FPGA_GLUE, shadow.glue, writeAll);
  const GlueImage& image = glueState;
  for (int i = 0; i < N_DSK_INPUTS; ++i) block.put(reg::DSK_INPUT + 4u * i, image.dskInput[i]);
  for (int i = 0; i < N_AUX_INPUTS; ++i) block.put(reg::AUX_INPUT + 4u * i, image.auxInput[i]);
  for (int i = 0; i < N_EXT_OUTPUTS; ++i) block.put(reg::EXT_OUTPUT + 4u * i, image.extOutput[i]);
  for (int n = 0; n < N_AUX_MIXERS; ++n) block.put(reg::AUX_MIX + 4u * n, auxMixWord(image.auxMix[n]));
  for (int i = 0; i < N_USK_INPUTS; ++i) block.put(reg::USK_INPUT + 4u * i, image.uskInput[i]);
  for (int i = 0; i < N_ROUTED_SOURCES; ++i) block.put(reg::INPUT_USK + 4u * i, image.inputUsk[i]);
  block.put(reg::MEMORY_SOURCE, image.memorySource);
}

}  // namespace

namespace image {
int currentContextIndex = 0;
MeImage& currentMe() { return meImages[static_cast<std::size_t>(currentContextIndex)]; }
GlueImage& glue() { return glueState; }
}  // namespace image

const MeImage& meImage(int context) {
  KZ_CHECK(KZ_CONTEXT_ME1 <= context && context <= KZ_CONTEXT_ME4B);
  return meImages[static_cast<std::size_t>(context - KZ_CONTEXT_ME1)];
}

const GlueImage& glueImage() { return glueState; }

}  // namespace kz

void kzInitialize() {
  kz::meImages.fill(kz::powerOnMe());
  kz::glueState = kz::powerOnGlue();
  kz::image::currentContextIndex = 0;
  kz::shadow.valid = false;
  kz::memo::forget(kz::memo::meInput);
  kz::memo::forget(kz::memo::dskInput);
  kz::memo::forget(kz::memo::auxInput);
  kz::memo::forget(kz::memo::inputUsk);
  kz::resetKeyTransitionImages();
  kz::resetEffectImages();
  kz::resetFilterImages();
  kz::resetOperateKeyLevel();
  kz::resetStillImage();
  kz::resetKeyImages();
  kz::resetChromaImages();
  kz::resetClipImages();
}

void kzUpdate() {
  const bool writeAll = !kz::shadow.valid;
  for (int context = 0; context < kz::N_HW_ME_CONTEXTS; ++context) kz::writeMe(context, writeAll);
  kz::writeGlue(writeAll);
  kz::shadow.valid = true;
  kz::stepStillCapture();
  kz::stepClipRecords();
}

void setMeContext(int target) {
  KZ_CHECK(KZ_CONTEXT_ME1 <= target && target <= KZ_CONTEXT_ME4B);
  kz::image::currentContextIndex = target - KZ_CONTEXT_ME1;
  trace::call("setMeContext", trace::Id{target});
}
