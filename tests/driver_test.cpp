// Driver layer: context separation, what kzUpdate puts in the FPGA blocks, range assertions and
// the trace line format.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "Common/assert.h"
#include "Driver/chroma.h"
#include "Driver/effects.h"
#include "Driver/filter.h"
#include "Driver/key.h"
#include "Driver/operate.h"
#include "Driver/status.h"
#include "Driver/transition.h"
#include "Driver/kz.h"
#include "Platform/host.h"
#include "Platform/platform.h"

namespace {

class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host::resetMachine(false);
    host::setConsoleSink([](void* ctx, const char* bytes, std::size_t len) { static_cast<std::string*>(ctx)->append(bytes, len); },
                         &console);
    host::setTraceSink([](void* ctx, const char* line) { static_cast<std::vector<std::string>*>(ctx)->push_back(line); },
                       &traceLines);
    kzInitialize();
    traceLines.clear();
  }
  void TearDown() override {
    host::setConsoleSink(nullptr, nullptr);
    host::setTraceSink(nullptr, nullptr);
  }

  // Runs kzUpdate over registers filled with a value no image holds and returns those it wrote.
  static std::map<u32, u32> registersWrittenByUpdate() {
    std::vector<u32> owned;
    for (u32 offset = 0; offset < kz::reg::GLUE_END; offset += 4) owned.push_back(platform::FPGA_GLUE + offset);
    for (u32 block : {platform::FPGA_ME1, platform::FPGA_ME2})
      for (int i = 0; i < kz::N_ME_INPUTS; ++i) owned.push_back(block + kz::reg::ME_INPUT + 4u * i);
    for (u32 address : owned) platform::writeRegister(address, 0xDEAD);
    kzUpdate();
    std::map<u32, u32> written;
    for (u32 address : owned)
      if (platform::readRegister(address) != 0xDEAD) written[address] = platform::readRegister(address);
    return written;
  }

  std::string console;
  std::vector<std::string> traceLines;
};

TEST_F(DriverTest, MeInputsGoToTheCurrentContextOnly) {
  setMeContext(KZ_CONTEXT_ME1 + 2);
  setMeInput(KZ_BBUS, KZ_IN_1 + 5);
  setMeContext(KZ_CONTEXT_ME4B);
  setMeInput(KZ_BBUS, KZ_IN_1 + 7);
  for (int context = KZ_CONTEXT_ME1; context <= KZ_CONTEXT_ME4B; ++context) {
    kz::MeImage expected;
    expected.input.fill(KZ_BLACK);
    expected.input[KZ_BBUS - KZ_ABUS] =
        context == KZ_CONTEXT_ME1 + 2 ? KZ_IN_1 + 5 : context == KZ_CONTEXT_ME4B ? KZ_IN_1 + 7 : KZ_BLACK;
    EXPECT_TRUE(kz::meImage(context) == expected) << std::hex << context;
  }
  kzInitialize();
  EXPECT_EQ(getMeContext(), KZ_CONTEXT_ME1);
  EXPECT_EQ(kz::meImage(KZ_CONTEXT_ME4B).input[KZ_BBUS - KZ_ABUS], KZ_BLACK);
}

TEST_F(DriverTest, MemorySourceAndTallyStatus) {
  for (auto [id, index] : {std::pair(0x1180, 0), std::pair(0x118E, 7), std::pair(0x1191, 8), std::pair(0x1194, 11)})
    EXPECT_EQ(selectMemorySource(id), index) << std::hex << id;
  for (int id : {0x1181, 0x1190, 0x1195}) EXPECT_THROW(selectMemorySource(id), assert::AssertException) << std::hex << id;
  EXPECT_EQ(kz::glueImage().memorySource, 11);  // kept from the last accepted call

  platform::HardwareInputs& hw = platform::hardwareInputs();
  hw.meTally[1] = 0x2200, hw.dskOutput = 0x330000, hw.dskClean = 0x44000000;
  EXPECT_EQ(std::tuple(getTallyStatus(KZ_CONTEXT_ME1 + 1), getTallyStatus(KZ_DSK_PGM1), getTallyStatus(KZ_DSK_CLN1),
                       getTallyStatus(KZ_CONTEXT_ME1 + 2)),  // no hardware behind M/E 3
            std::tuple(0x2200u, 0x330000u, 0x44000000u, 0u));
}

TEST_F(DriverTest, FirstUpdateWritesThePowerOnStateThenOnlyChangesOfContextsWithHardware) {
  const u32 glue = platform::FPGA_GLUE;
  // Runs of registers (first address, count, value): black everywhere, the AUX mixers at their
  // first input, no keyer, the memory source black.
  const std::tuple<u32, int, u32> powerOnRuns[] = {
      {platform::FPGA_ME1 + kz::reg::ME_INPUT, kz::N_ME_INPUTS, KZ_BLACK},
      {platform::FPGA_ME2 + kz::reg::ME_INPUT, kz::N_ME_INPUTS, KZ_BLACK},
      {glue + kz::reg::DSK_INPUT, kz::N_DSK_INPUTS, KZ_BLACK},   {glue + kz::reg::AUX_INPUT, kz::N_AUX_INPUTS, KZ_BLACK},
      {glue + kz::reg::EXT_OUTPUT, kz::N_EXT_OUTPUTS, KZ_BLACK}, {glue + kz::reg::AUX_MIX, kz::N_AUX_MIXERS, 1023},
      {glue + kz::reg::USK_INPUT, kz::N_USK_INPUTS, KZ_BLACK},   {glue + kz::reg::INPUT_USK, kz::N_ROUTED_SOURCES, 4},
      {glue + kz::reg::MEMORY_SOURCE, 1, 10}};
  std::map<u32, u32> powerOn;
  for (auto [first, count, value] : powerOnRuns)
    for (int i = 0; i < count; ++i) powerOn[first + 4u * i] = value;
  EXPECT_EQ(registersWrittenByUpdate(), powerOn);
  EXPECT_TRUE(registersWrittenByUpdate().empty());  // an idle field

  setMeContext(KZ_CONTEXT_ME4B);  // no hardware behind it
  setMeInput(KZ_UTIL2, KZ_IN_1 + 8);
  setMeContext(KZ_CONTEXT_ME1 + 1);
  setMeInput(KZ_KEY4_S, 0x11A4);  // an M/E output: routing takes the sources beyond black
  setMeInput(KZ_ABUS, KZ_IN_1 + 4);
  setMeInput(KZ_ABUS, KZ_BLACK);  // back to what the hardware holds: nothing to write
  setDskInput(KZ_DSK1_F + 3, 0x11C1);
  setAuxInput(KZ_AUX_LAST, 0x11CC);
  setAuxInput(KZ_EXT_OUT_LAST, 0x11CF);
  setUskInput(KZ_USK1_F + 5, KZ_IN_1 + 4);
  setAuxTransition(KZ_AUX1 + 4, 0.5f, 1);
  setInputUsk(KZ_BLACK, 1, KZ_USK4_S);  // the keyer of a source: 0..3
  setInputUsk(KZ_IN_1 + 9, 1, KZ_USK1_F + 4);
  setInputUsk(KZ_IN_1 + 9, 0, KZ_USK1_F + 4);  // and back to none
  selectMemorySource(KZ_CLIP_1 + 2);
  const std::map<u32, u32> expected = {
      {platform::FPGA_ME2 + kz::reg::ME_INPUT + 4 * (KZ_KEY4_S - KZ_ABUS), 0x11A4},
      {glue + kz::reg::DSK_INPUT + 4 * 3, 0x11C1},       {glue + kz::reg::AUX_INPUT + 4 * 31, 0x11CC},
      {glue + kz::reg::EXT_OUTPUT + 4 * 2, 0x11CF},      {glue + kz::reg::USK_INPUT + 4 * 5, KZ_IN_1 + 4},
      {glue + kz::reg::AUX_MIX + 4 * 2, 512u | 0x10000u}, {glue + kz::reg::MEMORY_SOURCE, 5},
      {glue + kz::reg::INPUT_USK + 4 * (KZ_BLACK - KZ_IN_1), 3}};
  EXPECT_EQ(registersWrittenByUpdate(), expected);
}

// The fade keyer level: level x 1023 rounded, held to 0..1023 at both ends; each value replaces the last.
TEST_F(DriverTest, OperateKeyLevelIsRoundedAndClampedAndFollowsEveryValue) {
  const std::pair<f32, u16> levels[] = {{0.5f, 512},  {0.0f, 0},    {1.0f, 1023},       {0.25f, 256},
                                        {-0.5f, 0},   {1.0f, 1023}, {std::nanf(""), 0}, {2.0f, 1023},
                                        {0.001f, 1},  {0.999f, 1022}};
  for (const auto& [level, stored] : levels) {
    setOperateKeyLevel(level);
    EXPECT_EQ(kz::operateKeyLevel(), stored) << level;
  }
  kz::resetOperateKeyLevel();
}

TEST_F(DriverTest, OutOfRangeArgumentsThrowAndRecordNothing) {
  // A call just past one end of each checked range, with the check's text.
  const std::pair<const char*, std::function<void()>> refused[] = {
      {"KZ_CONTEXT_ME1 <= target && target <= KZ_CONTEXT_ME4B", [] { setMeContext(KZ_CONTEXT_ME4B + 1); }},
      {"KZ_ABUS <= target && target <= KZ_KEY4_S", [] { setMeInput(KZ_KEY4_S + 1, KZ_IN_1); }},
      {"KZ_IN_1 <= src && src <= KZ_LAST_SOURCE", [] { setMeInput(KZ_ABUS, 0x11D0); }},
      {"KZ_DSK1_F <= target && target <= KZ_DSK4_S", [] { setDskInput(KZ_DSK4_S + 1, KZ_IN_1); }},
      {"(KZ_AUX1 <= target && target <= KZ_AUX_LAST) || (KZ_EXT_OUT1 <= target && target <= KZ_EXT_OUT_LAST)",
       [] { setAuxInput(KZ_AUX_LAST + 1, KZ_IN_1); }},
      {"KZ_AUX1 <= auxId && auxId <= KZ_AUX1 + 6 && (auxId - KZ_AUX1) % 2 == 0",
       [] { setAuxTransition(KZ_AUX1 + 1, 0.5f, 0); }},
      {"0.0f <= position && position <= 1.0f", [] { setAuxTransition(KZ_AUX1, std::nanf(""), 0); }},
      {"KZ_USK1_F <= dst && dst <= KZ_USK4_S", [] { setUskInput(KZ_USK4_S + 1, KZ_IN_1); }},
      {"KZ_IN_1 <= src && src <= KZ_BLACK", [] { setUskInput(KZ_USK1_F, KZ_BLACK + 1); }},  // keyers: none beyond black
      {"KZ_IN_1 <= target && target <= KZ_BLACK", [] { setInputUsk(KZ_BLACK + 1, 1, KZ_USK1_F); }},
      {"KZ_USK1_F <= usk && usk <= KZ_USK4_S", [] { setInputUsk(KZ_IN_1, 1, KZ_USK4_S + 1); }},
      // The matte ids are the hardware's: 0x2100 .. 0x212B.
      {"KZ_COLOR_BKGD_BORDER <= matteId && matteId <= KZ_COLOR_USK4_MATTE", [] { setMatteColor(0x20FF, 64, 512, 512); }},
      {"KZ_COLOR_BKGD_BORDER <= matteId && matteId <= KZ_COLOR_USK4_MATTE", [] { setMatteColor(0x212C, 64, 512, 512); }},
      // An id that is no sample register is refused even while the last one holds that flag.
      {"id == KZ_CHROMA_SAMPLE_1401 || id == KZ_CHROMA_SAMPLE_1407 || id == KZ_CHROMA_SAMPLE_1408",
       [] { setChromaKeySample(KZ_CHROMA_SAMPLE_1408 + 1, 0); }},
      {"id == KZ_CHROMA_SAMPLE_1401 || id == KZ_CHROMA_SAMPLE_1407 || id == KZ_CHROMA_SAMPLE_1408",
       [] { setChromaKeySample(KZ_CHROMA_SAMPLE_1401 - 1, 0); }},
      // Chroma key mode and level words, one past each end.
      {"KZ_CHROMA_MODE_FIRST <= mode && mode <= KZ_CHROMA_MODE_LAST",
       [] { setChromaKeyEnable(KZ_KEY1, 1, 1, KZ_CHROMA_FIXED, KZ_CHROMA_MODE_FIRST - 1); }},
      {"KZ_CHROMA_MODE_FIRST <= mode && mode <= KZ_CHROMA_MODE_LAST",
       [] { setChromaKeyEnable(KZ_KEY1, 1, 1, KZ_CHROMA_FIXED, KZ_CHROMA_MODE_LAST + 1); }},
      {"0 <= a && a <= 3", [] { setChromaKeyLevel(KZ_KEY1, -1, 0); }},
      {"0 <= a && a <= 3", [] { setChromaKeyLevel(KZ_KEY1, 4, 0); }},
      {"-8 <= b && b <= 8", [] { setChromaKeyLevel(KZ_KEY1, 0, -9); }},
      {"-8 <= b && b <= 8", [] { setChromaKeyLevel(KZ_KEY1, 0, 9); }},
      // Chroma key settings go to keys only, not to the fill ids beside them.
      {"isKeyTarget(target)", [] { setChromaKeyColor(KZ_KEY1 + 1, {1, 2, 3}); }},
      {"isKeyTarget(target)", [] { setChromaKeyColor2(KZ_KEY4 + 1, {1, 2, 3}); }},
      {"isKeyTarget(target)", [] { setChromaKeyLevel(KZ_KEY1 - 1, 0, 0); }},
      // The test settings images: a context or target one past either end.
      {"KZ_CONTEXT_ME1 <= context && context <= KZ_CONTEXT_ME4B", [] { kz::wipeImage(KZ_CONTEXT_ME4B + 1, KZ_BKGD); }},
      {"target == KZ_BKGD || (KZ_KEY1 <= target && target <= KZ_KEY4)",
       [] { kz::wipeImage(KZ_CONTEXT_ME1, KZ_KEY4 + 1); }},
      {"KZ_CONTEXT_ME1 <= context && context <= KZ_CONTEXT_ME4B", [] { kz::dustImage(KZ_CONTEXT_ME1 - 1, KZ_BKGD); }},
      {"target == KZ_BKGD || (KZ_KEY1 <= target && target <= KZ_KEY4)",
       [] { kz::dustImage(KZ_CONTEXT_ME1, KZ_KEY1 - 1); }},
      {"KZ_CONTEXT_ME1 <= context && context <= KZ_CONTEXT_ME4B", [] { kz::busFilterImage(KZ_CONTEXT_ME4B + 1, KZ_ABUS); }},
      {"target == KZ_ABUS || target == KZ_BBUS", [] { kz::busFilterImage(KZ_CONTEXT_ME1, KZ_ABUS - 1); }},
      {"target == KZ_ABUS || target == KZ_BBUS", [] { kz::busFilterImage(KZ_CONTEXT_ME1, KZ_BBUS + 1); }},
      // Key outputs: without chroma key, or the four chroma outputs and nothing beside them.
      {"valid(key1) && valid(key2) && valid(key3) && valid(key4)",
       [] { setMeKeyOutputs(KZ_CHROMA_KEY_OUTPUT, 0x1401, KZ_CHROMA_KEY_OUTPUT, KZ_CHROMA_KEY_OUTPUT); }},
      {"valid(key1) && valid(key2) && valid(key3) && valid(key4)",
       [] {
         setMeKeyOutputs(KZ_CHROMA_KEY_OUTPUT, KZ_CHROMA_KEY_OUTPUT, KZ_CHROMA_KEY_OUTPUT,
                         KZ_CHROMA_KEY_OUTPUT_FIRST + 4);
       }},
      // Wipe modulation: the background or a key, nothing on either side of the keys.
      {"target == KZ_BKGD || (KZ_KEY1 <= target && target <= KZ_KEY4)",
       [] { setWipeModulation(KZ_KEY1 - 1, KZ_TRANS_MOD_X, 0.5f, 100.0f, 1.0f); }},
      {"target == KZ_BKGD || (KZ_KEY1 <= target && target <= KZ_KEY4)",
       [] { setWipeModulation(KZ_KEY4 + 1, KZ_TRANS_MOD_X, 0.5f, 100.0f, 1.0f); }},
  };
  for (int id : {KZ_CHROMA_SAMPLE_1401, KZ_CHROMA_SAMPLE_1407, KZ_CHROMA_SAMPLE_1408}) setChromaKeySample(id, 0);
  traceLines.clear();
  const kz::GlueImage glueBefore = kz::glueImage();
  const kz::MeImage meBefore = kz::meImage(KZ_CONTEXT_ME1);
  for (const auto& [text, call] : refused) {
    console.clear();
    EXPECT_THROW(call(), assert::AssertException) << text;
    EXPECT_TRUE(console.starts_with("\x1b[ERR] Assertion failed: Driver/") && console.ends_with(std::string(") ") + text + "\n"))
        << console;
  }
  EXPECT_EQ(getMeContext(), KZ_CONTEXT_ME1);
  EXPECT_TRUE(kz::glueImage() == glueBefore && kz::meImage(KZ_CONTEXT_ME1) == meBefore);
  EXPECT_TRUE(traceLines.empty());
}

TEST_F(DriverTest, EachSetterTracesOneLineWithIdsInHex) {
  setMeContext(KZ_CONTEXT_ME1 + 1);
  setMeInput(KZ_ABUS, KZ_BLACK);
  setDskInput(KZ_DSK1_F + 1, KZ_IN_1 + 10);
  setAuxInput(KZ_EXT_OUT1, KZ_DVI_1);
  setAuxTransition(KZ_AUX1, 0.5f, 0);
  setUskInput(KZ_USK1_F + 2, KZ_IN_1 + 31);
  setInputUsk(KZ_IN_1, 1, KZ_USK1_F + 1);
  selectMemorySource(0x1194);
  EXPECT_EQ(traceLines, (std::vector<std::string>{
                            "setMeContext 0x3211", "setMeInput 0x1200 0x1193", "setDskInput 0x1211 0x110a",
                            "setAuxInput 0x1290 0x1120", "setAuxTransition 0x1220 0.5 0", "setUskInput 0x1282 0x111f",
                            "setInputUsk 0x1100 1 0x1281", "selectMemorySource 0x1194"}));
}

// The clip and gain are converted only when asked for something new; what was asked under one
// context, or of a downstream key, must not stand in for another target's.
TEST_F(DriverTest, ClipGainFollowsEveryNewValuePerContextAndTarget) {
  setMeContext(KZ_CONTEXT_ME1);
  setKeyClipGain(KZ_KEY1, 1, 100.0f, 1.0f, 0.5f, 0.25f);
  setKeyClipGain(KZ_KEY1, 1, 100.0f, 1.0f, 0.5f, 0.25f);
  setMeContext(KZ_CONTEXT_ME1 + 1);
  setKeyClipGain(KZ_KEY1, 1, 100.0f, 1.0f, 0.5f, 0.25f);
  setKeyClipGain(KZ_KEY1, 0, 10.0f, 2.0f, 0.0f, 1.0f);
  setKeyClipGain(KZ_DSK1, 1, 100.0f, 1.0f, 0.5f, 0.25f);
  const kz::KeySettings& me1 = kz::keySettings(KZ_CONTEXT_ME1, KZ_KEY1);
  const kz::KeySettings& me2 = kz::keySettings(KZ_CONTEXT_ME1 + 1, KZ_KEY1);
  const kz::KeySettings& dsk = kz::dskSettings(KZ_DSK1);
  EXPECT_EQ(std::make_tuple(me1.mode, me1.clip, me1.gain, me1.secondGain, me1.density),
            std::make_tuple(1u, -100, 256u, 128u, 256u));
  EXPECT_EQ(std::make_tuple(me2.mode, me2.clip, me2.gain, me2.secondGain, me2.density),
            std::make_tuple(0u, -10, 512u, 0u, 1024u));
  EXPECT_EQ(std::make_tuple(dsk.mode, dsk.clip, dsk.gain, dsk.secondGain, dsk.density),
            std::make_tuple(1u, -100, 256u, 128u, 256u));
  EXPECT_EQ(traceLines.size(), 7u);  // every call is traced, the repeated ones too

  kzInitialize();  // the power-on image again: the same values are recorded anew
  setMeContext(KZ_CONTEXT_ME1);
  setKeyClipGain(KZ_KEY1, 1, 100.0f, 1.0f, 0.5f, 0.25f);
  EXPECT_EQ(kz::keySettings(KZ_CONTEXT_ME1, KZ_KEY1).clip, -100);
}

// A setter given what it was given last time skips straight to its trace; that memory must never
// outlive the image it stands for (a power-on reset) nor stand in for another context.
TEST_F(DriverTest, RepeatedSettersStillRecordAfterResetAndInOtherContexts) {
  const int me2 = KZ_CONTEXT_ME1 + 1, me3 = KZ_CONTEXT_ME1 + 2;
  struct Case {
    const char* name;
    std::function<void()> set;
    std::function<bool(int context)> recorded;
  };
  const std::vector<Case> cases = {
      {"setMeInput", [] { setMeInput(KZ_BBUS, KZ_IN_1 + 5); },
       [](int c) { return kz::meImage(c).input[KZ_BBUS - KZ_ABUS] == KZ_IN_1 + 5; }},
      {"setMatteColor", [] { setMatteColor(KZ_COLOR_KEY_MATTE1 + 1, 100, 200, 300); },
       [](int c) { return kz::matte(c, KZ_COLOR_KEY_MATTE1 + 1) == kz::Matte{100, 200, 300}; }},
      {"setKeyMix", [] { setKeyMix(KZ_KEY1 + 2, 0.5f); },
       [](int c) { return kz::keySettings(c, KZ_KEY1 + 2).mix == 0.5f; }},
      {"setKeyBoxMask", [] { setKeyBoxMask(KZ_KEY1 + 4, 0.25f, 0.25f, 0.5f, 0.5f, 1, 0); },
       [](int c) { return kz::keySettings(c, KZ_KEY1 + 4).boxMask == kz::BoxMask{0.25f, 0.25f, 0.5f, 0.5f, 1, 0}; }},
      {"setKeyInvert", [] { setKeyInvert(KZ_KEY4, 1); }, [](int c) { return kz::keySettings(c, KZ_KEY4).invert == 1; }},
      {"setKeyShape", [] { setKeyShape(KZ_KEY1, 0.1f, 0.2f, 0.3f, 0.4f, 0.25f); },
       [](int c) {
         const kz::KeyShapeImage& k = kz::keyShapeImage(c, KZ_KEY1);
         return k.left == 0.1f && k.height == 0.4f && k.shape == 512;
       }},
      {"setKeyTransition", [] { setKeyTransition(KZ_KEY1 + 2, 0.75f); },
       [](int c) { return kz::keyTransitionImage(c, KZ_KEY1 + 2).wipePosition == 0.75f; }},
      {"setChromaKeyEnable", [] { setChromaKeyEnable(KZ_KEY1, 1, 1, KZ_CHROMA_FIXED, KZ_CHROMA_MODE_LAST); },
       [](int c) { return kz::chromaContextImage(c).keys[0].mode == KZ_CHROMA_MODE_LAST; }},
      {"setChromaKeyLevel", [] { setChromaKeyLevel(KZ_KEY1 + 6, 3, -8); },
       [](int c) { return kz::chromaContextImage(c).keys[3].levelB == -8; }},
      {"setChromaKeySample", [] { setChromaKeySample(KZ_CHROMA_SAMPLE_1408, 1); },
       [](int c) { return kz::chromaContextImage(c).sample[2] == 1; }},
      {"setImageFilterMode", [] { setImageFilterMode(KZ_BBUS, KZ_IMAGE_MOSAIC, 0.5f); },
       [](int c) { return kz::filterImage(c, KZ_BBUS).mode == KZ_IMAGE_MOSAIC; }},
      {"setImageFilterLevel", [] { setImageFilterLevel(KZ_KEY1, 1, 7, 3); },
       [](int c) { return kz::filterImage(c, KZ_KEY1).levelY == 7; }},
      {"setImageMonoColor", [] { setImageMonoColor(KZ_ABUS, 1, 100, 900); },
       [](int c) { return kz::filterImage(c, KZ_ABUS).cr == 900; }},
  };
  for (const Case& c : cases) {
    kzInitialize();
    traceLines.clear();
    setMeContext(me2);
    c.set();
    c.set();
    kzInitialize();  // context ME1 again, every image at power-on
    setMeContext(me2);
    c.set();
    EXPECT_TRUE(c.recorded(me2)) << c.name << " after the reset";
    setMeContext(me3);
    c.set();
    EXPECT_TRUE(c.recorded(me3)) << c.name << " in another context";
    EXPECT_FALSE(c.recorded(KZ_CONTEXT_ME1)) << c.name;
    // Every call is traced, the repeated one too.
    EXPECT_EQ(std::count_if(traceLines.begin(), traceLines.end(),
                            [&](const std::string& line) { return line.rfind(std::string(c.name) + " ", 0) == 0; }),
              4)
        << c.name;
  }

  // The routing that belongs to no context, and the downstream keys.
  const auto global = [] {
    setDskInput(KZ_DSK1_F + 2, KZ_IN_1 + 3);
    setAuxInput(KZ_EXT_OUT1 + 1, KZ_IN_1 + 4);
    setInputUsk(KZ_IN_1 + 9, 1, KZ_USK1_F + 4);
    setMatteColor(KZ_COLOR_DSK_FILL + 1, 64, 512, 512);
    setKeyClipGain(KZ_DSK1 + 2, 1, 50.0f, 1.0f, 1.0f, 1.0f);
  };
  global();
  global();
  kzInitialize();
  // The power-on image is back before anything is written again.
  EXPECT_EQ(std::pair(kz::dskSettings(KZ_DSK1 + 2).clip, kz::dskSettings(KZ_DSK1 + 2).mode), std::pair(0, 0u));
  global();
  const kz::GlueImage& glue = kz::glueImage();
  EXPECT_EQ(glue.dskInput[2], KZ_IN_1 + 3);
  EXPECT_EQ(glue.extOutput[1], KZ_IN_1 + 4);
  EXPECT_EQ(glue.inputUsk[9], 2);
  EXPECT_TRUE(kz::matte(KZ_CONTEXT_ME1, KZ_COLOR_DSK_FILL + 1) == (kz::Matte{64, 512, 512}));
  EXPECT_EQ(kz::dskSettings(KZ_DSK1 + 2).clip, -50);
}

// The wipe, noise and bus test filter settings go to their entry of the current context. A mode
// filter already on takes only the mode unless asked again with 2; off it takes both.
TEST_F(DriverTest, TestSettingsAreRecordedInTheirEntryOfTheCurrentContext) {
  const int me2 = KZ_CONTEXT_ME1 + 1;
  setMeContext(me2);
  setWipeSize(KZ_KEY1 + 2, 0.25f, 0.75f, 1, 3);
  setWipeModulationPattern(KZ_KEY1 + 2, KZ_TRANS_MOD_Y, KZ_TRANS_MOD_DELTA);
  setWipeModulation(KZ_KEY1 + 2, KZ_TRANS_MOD_Y, 0.5f, 100.0f, 0.125f);
  const kz::WipeImage& w = kz::wipeImage(me2, KZ_KEY1 + 2);
  EXPECT_EQ(std::tuple(w.width, w.height, +w.shiftX, +w.shiftY, +w.pattern[0], +w.pattern[1]),
            std::tuple(0.25f, 0.75f, 1, 3, 0, 1));
  EXPECT_EQ(std::tuple(w.amplitude[0], w.amplitude[1], w.frequency[0], w.frequency[1], w.phase[0], w.phase[1]),
            std::tuple(0.0f, 0.5f, 0.0f, 100.0f, 0.0f, 0.125f));
  setWipeModulationPattern(KZ_KEY1 + 2, KZ_TRANS_MOD_Y, KZ_TRANS_MOD_SINE);
  EXPECT_EQ(+w.pattern[1], 0);
  EXPECT_EQ(std::pair(kz::wipeImage(KZ_CONTEXT_ME1, KZ_KEY1 + 2).width, kz::wipeImage(me2, KZ_BKGD).width),
            std::pair(0.0f, 0.0f));

  setFilterDust(KZ_BKGD, 1, 0.5f, 15);
  const kz::DustImage& d = kz::dustImage(me2, KZ_BKGD);
  EXPECT_EQ(std::tuple(+d.on, d.gain, +d.dust), std::tuple(1, 0.5f, 15));
  setFilterDust(KZ_BKGD, 0, 0.25f, 0);
  EXPECT_EQ(std::tuple(+d.on, d.gain, +d.dust), std::tuple(0, 0.25f, 0));
  EXPECT_EQ(kz::dustImage(me2, KZ_KEY1).dust, 0);

  const kz::BusFilterImage& b = kz::busFilterImage(me2, KZ_BBUS);
  setTestFilterGain(KZ_BBUS, 1, 0.75f);
  EXPECT_EQ(std::pair(+b.gainOn, b.gain), std::pair(1, 0.75f));
  setTestFilterGain(KZ_BBUS, 0, 0.25f);
  EXPECT_EQ(std::pair(+b.gainOn, b.gain), std::pair(0, 0.25f));
  const std::tuple<int, int, int, int> modes[] = {  // on, mode asked; mode on, mode kept
      {1, 1, 1, 1}, {1, 0, 1, 0}, {2, 1, 1, 1}, {0, 0, 0, 0}, {2, 1, 1, 1}};
  for (const auto& [on, mode, modeOn, kept] : modes) {
    setTestFilterMode(KZ_BBUS, on, mode);
    EXPECT_EQ(std::pair(+b.modeOn, +b.mode), std::pair(modeOn, kept)) << on << " " << mode;
  }
  const kz::BusFilterImage& a = kz::busFilterImage(me2, KZ_ABUS);
  EXPECT_EQ(std::tuple(+a.gainOn, a.gain, +a.modeOn), std::tuple(0, 0.0f, 0));
}

// A key table is taken whole into its keyer of the current context and counted.
TEST_F(DriverTest, ChromaKeyTableIsTakenWholeIntoItsKeyerOnly) {
  std::array<u16, CHROMA_TABLE_SIZE> table{};
  for (std::size_t i = 0; i < table.size(); ++i) table[i] = static_cast<u16>(7 * i + 1);
  setMeContext(KZ_CONTEXT_ME1 + 1);
  writeChromaKeyTable(KZ_KEY1 + 4, table.data());
  const kz::ChromaContextImage& image = kz::chromaContextImage(KZ_CONTEXT_ME1 + 1);
  EXPECT_TRUE(image.keys[2].table == table);
  EXPECT_EQ(image.keys[2].tableWrites, 1u);
  for (std::size_t k : {std::size_t{1}, std::size_t{3}})
    EXPECT_EQ(std::pair(image.keys[k].table[0], image.keys[k].tableWrites), std::pair(u16{0}, 0u)) << k;
  EXPECT_EQ(kz::chromaContextImage(KZ_CONTEXT_ME1).keys[2].tableWrites, 0u);
  EXPECT_EQ(traceLines.back(), "writeChromaKeyTable 0x1209 1 8058");
}

// The DSK tally control is written at once and kept; only KZ_DSK_PGM1 has one.
TEST_F(DriverTest, PeripheralTallyKeepsTheLastValueOfTheDskProgramOnly) {
  setPeripheralTally(KZ_DSK_PGM1, 1);
  setPeripheralTally(KZ_DSK_CLN1, 0);  // traced, kept nowhere
  EXPECT_EQ(std::pair(kz::peripheralTally(KZ_DSK_PGM1), kz::peripheralTally(KZ_DSK_CLN1)), std::pair(1, -1));
  setPeripheralTally(KZ_DSK_PGM1, 0);
  EXPECT_EQ(kz::peripheralTally(KZ_DSK_PGM1), 0);
  EXPECT_EQ(traceLines, (std::vector<std::string>{"setPeripheralTally 0x11c0 1", "setPeripheralTally 0x11c4 0",
                                                  "setPeripheralTally 0x11c0 0"}));
}

// Layering starts at the natural order: keys 1, 2, 3 in every context and DSKs 1, 2, 3; the
// setters record per context and initialise puts the power-on order back.
TEST_F(DriverTest, LayeringOrderIsRecordedPerContextAndBackToPowerOnAtInitialize) {
  const std::array<u16, 3> keysPowerOn = {KZ_KEY1, KZ_KEY1 + 2, KZ_KEY1 + 4};
  const std::array<u16, 3> dsksPowerOn = {KZ_DSK1, KZ_DSK1 + 2, KZ_DSK1 + 4};
  const auto priorities = [] {
    std::vector<std::array<u16, 3>> all;
    for (int context = KZ_CONTEXT_ME1; context <= KZ_CONTEXT_ME4B; ++context)
      all.push_back(kz::keyContextImage(context).priority);
    return all;
  };
  const std::vector<std::array<u16, 3>> allPowerOn(KZ_CONTEXT_ME4B - KZ_CONTEXT_ME1 + 1, keysPowerOn);
  EXPECT_EQ(priorities(), allPowerOn);
  EXPECT_EQ(kz::dskImage().order, dsksPowerOn);

  setMeContext(KZ_CONTEXT_ME4B);
  setKeyPriority(KZ_KEY4, KZ_KEY1, KZ_KEY1 + 2);
  setDskSources(KZ_DSK4, KZ_DSK1 + 4, KZ_DSK1);
  std::vector<std::array<u16, 3>> expected = allPowerOn;
  expected.back() = {KZ_KEY4, KZ_KEY1, KZ_KEY1 + 2};
  EXPECT_EQ(priorities(), expected);
  EXPECT_EQ(kz::dskImage().order, (std::array<u16, 3>{KZ_DSK4, KZ_DSK1 + 4, KZ_DSK1}));

  kzInitialize();
  EXPECT_EQ(priorities(), allPowerOn);
  EXPECT_EQ(kz::dskImage().order, dsksPowerOn);
}

// Only what passed the checks is remembered: a refused value asked again is refused again.
TEST_F(DriverTest, RefusedSetterValuesAreRefusedEveryTime) {
  setKeyTransition(KZ_KEY1, 0.5f);
  setKeyBoxMask(KZ_USK1, 0.0f, 0.0f, 1.0f, 1.0f, 1, 0);  // an upstream key keeps no image, only the check
  for (int attempt = 0; attempt < 2; ++attempt) {
    EXPECT_THROW(setKeyBoxMask(KZ_USK1, 0.0f, -0.5f, 1.0f, 1.0f, 1, 0), assert::AssertException);
    EXPECT_THROW(setKeyTransition(KZ_KEY1, 1.5f), assert::AssertException);
    EXPECT_THROW(setMeInput(KZ_ABUS, KZ_IN_1 - 1), assert::AssertException);
    EXPECT_THROW(setImageFilterMode(KZ_UTIL1, 0, 0.0f), assert::AssertException);
    EXPECT_THROW(setKeyBoxMask(KZ_KEY1, 0.0f, 0.0f, 2.0f, 1.0f, 1, 0), assert::AssertException);
  }
  EXPECT_EQ(kz::keyTransitionImage(KZ_CONTEXT_ME1, KZ_KEY1).wipePosition, 0.5f);
  EXPECT_EQ(kz::keySettings(KZ_CONTEXT_ME1, KZ_KEY1).boxMask, kz::BoxMask{});
}

TEST_F(DriverTest, ImageFilterLevelsAndMonoColourTakeTheirRangesToBothEnds) {
  // Each component at its lowest and highest is recorded; one past either end is refused and the
  // image keeps what it had.
  for (int v : {0, 7}) {
    setImageFilterLevel(KZ_KEY1, 1, v, 7 - v);
    EXPECT_EQ(std::pair(+kz::filterImage(KZ_CONTEXT_ME1, KZ_KEY1).levelY, +kz::filterImage(KZ_CONTEXT_ME1, KZ_KEY1).levelC),
              std::pair(v, 7 - v));
  }
  for (int v : {0, 0x3fe}) {
    setImageMonoColor(KZ_ABUS, 1, v, 0x3fe - v);
    EXPECT_EQ(std::pair(+kz::filterImage(KZ_CONTEXT_ME1, KZ_ABUS).cb, +kz::filterImage(KZ_CONTEXT_ME1, KZ_ABUS).cr),
              std::pair(v, 0x3fe - v));
  }
  for (int bad : {-1, 8}) {
    EXPECT_THROW(setImageFilterLevel(KZ_KEY1, 1, bad, 0), assert::AssertException) << bad;
    EXPECT_THROW(setImageFilterLevel(KZ_KEY1, 1, 0, bad), assert::AssertException) << bad;
  }
  for (int bad : {-1, 0x3ff}) {
    EXPECT_THROW(setImageMonoColor(KZ_ABUS, 1, bad, 0), assert::AssertException) << bad;
    EXPECT_THROW(setImageMonoColor(KZ_ABUS, 1, 0, bad), assert::AssertException) << bad;
  }
  EXPECT_EQ(+kz::filterImage(KZ_CONTEXT_ME1, KZ_KEY1).levelY, 7);
  EXPECT_EQ(+kz::filterImage(KZ_CONTEXT_ME1, KZ_ABUS).cb, 0x3fe);
}

}  // namespace
