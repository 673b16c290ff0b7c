// Driver layer: context separation, what kzUpdate puts in the FPGA blocks, range assertions and
// the trace line format.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "Common/assert.h"
#include "Driver/kz.h"
#include "Platform/host.h"
#include "Platform/platform.h"

namespace {

u32 meRegister(u32 block, int target) { return platform::readRegister(block + kz::reg::ME_INPUT + 4u * (target - KZ_ABUS)); }
u32 glueRegister(u32 offset) { return platform::readRegister(platform::FPGA_GLUE + offset); }

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

  // Fills every register the driver owns with a value no image holds, so that a later read shows
  // exactly which registers the next kzUpdate wrote.
  static void poisonRegisters() {
    for (u32 offset = 0; offset < kz::reg::GLUE_END; offset += 4) platform::writeRegister(platform::FPGA_GLUE + offset, 0xDEAD);
    for (u32 block : {platform::FPGA_ME1, platform::FPGA_ME2})
      for (int i = 0; i < kz::N_ME_INPUTS; ++i) platform::writeRegister(block + kz::reg::ME_INPUT + 4u * i, 0xDEAD);
  }

  std::string console;
  std::vector<std::string> traceLines;
};

// ---- context ------------------------------------------------------------------------------------

TEST_F(DriverTest, SettersRecordIntoTheCurrentContextOnly) {
  EXPECT_EQ(getMeContext(), KZ_CONTEXT_ME1);
  setMeContext(KZ_CONTEXT_ME1 + 2);
  setMeInput(KZ_BBUS, KZ_IN_1 + 5);
  setMeContext(KZ_CONTEXT_ME4B);
  setMeInput(KZ_BBUS, KZ_IN_1 + 7);
  EXPECT_EQ(getMeContext(), KZ_CONTEXT_ME4B);

  for (int context = KZ_CONTEXT_ME1; context <= KZ_CONTEXT_ME4B; ++context) {
    const u16 expected = context == KZ_CONTEXT_ME1 + 2 ? KZ_IN_1 + 5 : context == KZ_CONTEXT_ME4B ? KZ_IN_1 + 7 : KZ_BLACK;
    EXPECT_EQ(kz::meImage(context).input[KZ_BBUS - KZ_ABUS], expected) << std::hex << context;
    EXPECT_EQ(kz::meImage(context).input[KZ_ABUS - KZ_ABUS], KZ_BLACK);
  }

  kzInitialize();
  EXPECT_EQ(getMeContext(), KZ_CONTEXT_ME1);
  EXPECT_EQ(kz::meImage(KZ_CONTEXT_ME4B).input[KZ_BBUS - KZ_ABUS], KZ_BLACK);
}

TEST_F(DriverTest, RoutingOutsideTheContextsIsSharedByAllContexts) {
  setMeContext(KZ_CONTEXT_ME1 + 3);
  setDskInput(KZ_DSK4_S, KZ_IN_1 + 1);
  setAuxInput(KZ_AUX1 + 1, KZ_CBGD_2);          // the old-source input of AUX 1
  setAuxInput(KZ_EXT_OUT1 + 1, KZ_DVI_2);
  setUskInput(KZ_USK4_S, KZ_IN_1);
  const kz::GlueImage& glue = kz::glueImage();
  EXPECT_EQ(glue.dskInput[KZ_DSK4_S - KZ_DSK1_F], KZ_IN_1 + 1);
  EXPECT_EQ(glue.auxInput[1], KZ_CBGD_2);
  EXPECT_EQ(glue.auxInput[0], KZ_BLACK);
  EXPECT_EQ(glue.extOutput[1], KZ_DVI_2);
  EXPECT_EQ(glue.uskInput[7], KZ_IN_1);
  for (int context = KZ_CONTEXT_ME1; context <= KZ_CONTEXT_ME4B; ++context)
    for (u16 source : kz::meImage(context).input) EXPECT_EQ(source, KZ_BLACK);
}

TEST_F(DriverTest, InputUskRecordsTheKeyerOfTheSourceOrNone) {
  setInputUsk(KZ_IN_1, 1, KZ_USK1_F + 1);
  setInputUsk(KZ_IN_1 + 9, 1, KZ_USK1_F + 4);
  setInputUsk(KZ_BLACK, 1, KZ_USK4_S);
  EXPECT_EQ(kz::glueImage().inputUsk[0], 0);
  EXPECT_EQ(kz::glueImage().inputUsk[9], 2);
  EXPECT_EQ(kz::glueImage().inputUsk[KZ_BLACK - KZ_IN_1], 3);
  setInputUsk(KZ_IN_1 + 9, 0, KZ_USK1_F + 4);
  EXPECT_EQ(kz::glueImage().inputUsk[9], kz::NO_USK);
  EXPECT_EQ(kz::glueImage().inputUsk[1], kz::NO_USK);
}

// ---- memory source and tally -------------------------------------------------------------------------

TEST_F(DriverTest, SelectMemorySourceMapsEachMemoryIdToItsIndex) {
  const std::pair<int, int> table[] = {{0x1180, 0}, {0x1182, 1}, {0x1184, 2}, {0x1186, 3}, {0x1188, 4}, {0x118A, 5},
                                       {0x118C, 6}, {0x118E, 7}, {0x1191, 8}, {0x1192, 9}, {0x1193, 10}, {0x1194, 11}};
  for (auto [id, index] : table) {
    EXPECT_EQ(selectMemorySource(id), index) << std::hex << id;
    EXPECT_EQ(kz::glueImage().memorySource, index);
  }
  for (int id : {0x1181, 0x1187, 0x118F, 0x1190, 0x1195, KZ_IN_1, 0}) {
    console.clear();
    EXPECT_THROW(selectMemorySource(id), assert::AssertException) << std::hex << id;
    EXPECT_NE(console.find("Assertion failed: Driver/inout("), std::string::npos);
    EXPECT_NE(console.find(") NeverReachHere\n"), std::string::npos) << console;
    EXPECT_EQ(kz::glueImage().memorySource, 11);
  }
}

TEST_F(DriverTest, TallyStatusComesFromTheHardwareWordOfEachId) {
  platform::HardwareInputs& hw = platform::hardwareInputs();
  hw.meTally[0] = 0x11;
  hw.meTally[1] = 0x2200;
  hw.dskOutput = 0x330000;
  hw.dskClean = 0x44000000;
  EXPECT_EQ(getTallyStatus(KZ_CONTEXT_ME1), 0x11u);
  EXPECT_EQ(getTallyStatus(KZ_CONTEXT_ME1 + 1), 0x2200u);
  EXPECT_EQ(getTallyStatus(KZ_DSK_PGM1), 0x330000u);
  EXPECT_EQ(getTallyStatus(KZ_DSK_CLN1), 0x44000000u);
  for (int other : {KZ_CONTEXT_ME1 + 2, KZ_CONTEXT_ME4B, KZ_DSK_PGM1 + 1, 0}) EXPECT_EQ(getTallyStatus(other), 0u) << std::hex << other;
}

// ---- kzUpdate --------------------------------------------------------------------------------------------

TEST_F(DriverTest, FirstUpdateAfterInitializeWritesThePowerOnState) {
  poisonRegisters();
  kzUpdate();
  for (u32 block : {platform::FPGA_ME1, platform::FPGA_ME2})
    for (int target = KZ_ABUS; target <= KZ_KEY4_S; ++target) EXPECT_EQ(meRegister(block, target), u32(KZ_BLACK));
  EXPECT_EQ(glueRegister(kz::reg::DSK_INPUT + 4 * 7), u32(KZ_BLACK));
  EXPECT_EQ(glueRegister(kz::reg::AUX_INPUT + 4 * 31), u32(KZ_BLACK));
  EXPECT_EQ(glueRegister(kz::reg::EXT_OUTPUT + 4 * 2), u32(KZ_BLACK));
  EXPECT_EQ(glueRegister(kz::reg::AUX_MIX + 4 * 3), 1023u);
  EXPECT_EQ(glueRegister(kz::reg::USK_INPUT + 4 * 7), u32(KZ_BLACK));
  EXPECT_EQ(glueRegister(kz::reg::INPUT_USK), 4u);
  EXPECT_EQ(glueRegister(kz::reg::INPUT_USK + 4 * (KZ_BLACK - KZ_IN_1)), 4u);
  EXPECT_EQ(glueRegister(kz::reg::MEMORY_SOURCE), 10u);
}

TEST_F(DriverTest, UpdateWritesOnlyTheRegistersThatChanged) {
  kzUpdate();
  poisonRegisters();
  kzUpdate();  // an idle field
  EXPECT_EQ(meRegister(platform::FPGA_ME1, KZ_ABUS), 0xDEADu);
  EXPECT_EQ(glueRegister(kz::reg::MEMORY_SOURCE), 0xDEADu);

  setMeContext(KZ_CONTEXT_ME1 + 1);
  setMeInput(KZ_KEY4_S, KZ_IN_1 + 3);
  setMeInput(KZ_ABUS, KZ_IN_1 + 4);
  setMeInput(KZ_ABUS, KZ_BLACK);  // back to what the hardware holds: nothing to write
  setAuxTransition(KZ_AUX1 + 4, 0.5f, 1);
  setInputUsk(KZ_IN_1 + 2, 1, KZ_USK1_F + 3);
  selectMemorySource(KZ_CLIP_1 + 2);
  kzUpdate();

  EXPECT_EQ(meRegister(platform::FPGA_ME2, KZ_KEY4_S), u32(KZ_IN_1 + 3));
  EXPECT_EQ(meRegister(platform::FPGA_ME2, KZ_ABUS), 0xDEADu);
  EXPECT_EQ(meRegister(platform::FPGA_ME1, KZ_KEY4_S), 0xDEADu);
  EXPECT_EQ(glueRegister(kz::reg::AUX_MIX + 4 * 2), 512u | kz::reg::AUX_MIX_FLAG);
  EXPECT_EQ(glueRegister(kz::reg::AUX_MIX + 4 * 1), 0xDEADu);
  EXPECT_EQ(glueRegister(kz::reg::INPUT_USK + 4 * 2), 1u);
  EXPECT_EQ(glueRegister(kz::reg::INPUT_USK + 4 * 1), 0xDEADu);
  EXPECT_EQ(glueRegister(kz::reg::MEMORY_SOURCE), 5u);
}

TEST_F(DriverTest, EachRoutingGoesToItsOwnGlueRegister) {
  kzUpdate();
  setDskInput(KZ_DSK1_F + 3, KZ_IN_1 + 1);
  setAuxInput(KZ_AUX_LAST, KZ_IN_1 + 2);
  setAuxInput(KZ_EXT_OUT_LAST, KZ_IN_1 + 3);
  setUskInput(KZ_USK1_F + 5, KZ_IN_1 + 4);
  setAuxTransition(KZ_AUX1, 0.0f, 0);
  kzUpdate();
  EXPECT_EQ(glueRegister(kz::reg::DSK_INPUT + 4 * 3), u32(KZ_IN_1 + 1));
  EXPECT_EQ(glueRegister(kz::reg::AUX_INPUT + 4 * 31), u32(KZ_IN_1 + 2));
  EXPECT_EQ(glueRegister(kz::reg::EXT_OUTPUT + 4 * 2), u32(KZ_IN_1 + 3));
  EXPECT_EQ(glueRegister(kz::reg::USK_INPUT + 4 * 5), u32(KZ_IN_1 + 4));
  EXPECT_EQ(glueRegister(kz::reg::AUX_MIX), 0u);
}

TEST_F(DriverTest, ContextsWithoutHardwareStayInTheirImages) {
  kzUpdate();
  poisonRegisters();
  for (int context = KZ_CONTEXT_ME1 + 2; context <= KZ_CONTEXT_ME4B; ++context) {
    setMeContext(context);
    setMeInput(KZ_UTIL2, KZ_IN_1 + 8);
  }
  kzUpdate();
  EXPECT_EQ(meRegister(platform::FPGA_ME1, KZ_UTIL2), 0xDEADu);
  EXPECT_EQ(meRegister(platform::FPGA_ME2, KZ_UTIL2), 0xDEADu);
  EXPECT_EQ(kz::meImage(KZ_CONTEXT_ME4B).input[KZ_UTIL2 - KZ_ABUS], KZ_IN_1 + 8);
}

// ---- assertions ----------------------------------------------------------------------------------------

struct RefusedCall {
  const char* source;
  const char* text;
  std::function<void()> call;
};

TEST_F(DriverTest, OutOfRangeArgumentsThrowAndRecordNothing) {
  const std::string targetMe = "KZ_ABUS <= target && target <= KZ_KEY4_S";
  const std::string src = "KZ_IN_1 <= src && src <= KZ_LAST_SOURCE";
  const std::string uskSrc = "KZ_IN_1 <= src && src <= KZ_BLACK";
  const std::string dsk = "KZ_DSK1_F <= target && target <= KZ_DSK4_S";
  const std::string aux = "(KZ_AUX1 <= target && target <= KZ_AUX_LAST) || (KZ_EXT_OUT1 <= target && target <= KZ_EXT_OUT_LAST)";
  const std::string auxMixer = "KZ_AUX1 <= auxId && auxId <= KZ_AUX1 + 6 && (auxId - KZ_AUX1) % 2 == 0";
  const std::string position = "0.0f <= position && position <= 1.0f";
  const std::string uskDst = "KZ_USK1_F <= dst && dst <= KZ_USK4_S";
  const std::string routedTarget = "KZ_IN_1 <= target && target <= KZ_BLACK";
  const std::string usk = "KZ_USK1_F <= usk && usk <= KZ_USK4_S";
  const std::string context = "KZ_CONTEXT_ME1 <= target && target <= KZ_CONTEXT_ME4B";
  const RefusedCall calls[] = {
      {"Driver/me", context.c_str(), [] { setMeContext(KZ_CONTEXT_ME1 - 1); }},
      {"Driver/me", context.c_str(), [] { setMeContext(KZ_CONTEXT_ME4B + 1); }},
      {"Driver/inout", targetMe.c_str(), [] { setMeInput(KZ_ABUS - 1, KZ_IN_1); }},
      {"Driver/inout", targetMe.c_str(), [] { setMeInput(KZ_KEY4_S + 1, KZ_IN_1); }},
      {"Driver/inout", src.c_str(), [] { setMeInput(KZ_ABUS, KZ_IN_1 - 1); }},
      {"Driver/inout", src.c_str(), [] { setMeInput(KZ_ABUS, 0x11D0); }},
      {"Driver/inout", dsk.c_str(), [] { setDskInput(KZ_DSK1_F - 1, KZ_IN_1); }},
      {"Driver/inout", dsk.c_str(), [] { setDskInput(KZ_DSK4_S + 1, KZ_IN_1); }},
      {"Driver/inout", src.c_str(), [] { setDskInput(KZ_DSK1_F, 0x11D0); }},
      {"Driver/inout", aux.c_str(), [] { setAuxInput(KZ_AUX1 - 1, KZ_IN_1); }},
      {"Driver/inout", aux.c_str(), [] { setAuxInput(KZ_AUX_LAST + 1, KZ_IN_1); }},
      {"Driver/inout", aux.c_str(), [] { setAuxInput(KZ_EXT_OUT1 - 1, KZ_IN_1); }},
      {"Driver/inout", aux.c_str(), [] { setAuxInput(KZ_EXT_OUT_LAST + 1, KZ_IN_1); }},
      {"Driver/inout", src.c_str(), [] { setAuxInput(KZ_AUX1, KZ_IN_1 - 1); }},
      {"Driver/inout", src.c_str(), [] { setAuxInput(KZ_EXT_OUT1, 0x11D0); }},
      {"Driver/inout", auxMixer.c_str(), [] { setAuxTransition(KZ_AUX1 + 1, 0.5f, 0); }},
      {"Driver/inout", auxMixer.c_str(), [] { setAuxTransition(KZ_AUX1 + 8, 0.5f, 0); }},
      {"Driver/inout", auxMixer.c_str(), [] { setAuxTransition(KZ_AUX1 - 2, 0.5f, 0); }},
      {"Driver/inout", position.c_str(), [] { setAuxTransition(KZ_AUX1, -0.01f, 0); }},
      {"Driver/inout", position.c_str(), [] { setAuxTransition(KZ_AUX1 + 6, 1.01f, 0); }},
      {"Driver/inout", position.c_str(), [] { setAuxTransition(KZ_AUX1, std::nanf(""), 0); }},
      {"Driver/inout", uskDst.c_str(), [] { setUskInput(KZ_USK1_F - 1, KZ_IN_1); }},
      {"Driver/inout", uskDst.c_str(), [] { setUskInput(KZ_USK4_S + 1, KZ_IN_1); }},
      {"Driver/inout", uskSrc.c_str(), [] { setUskInput(KZ_USK1_F, KZ_IN_1 - 1); }},
      {"Driver/inout", uskSrc.c_str(), [] { setUskInput(KZ_USK1_F, KZ_BLACK + 1); }},
      {"Driver/inout", routedTarget.c_str(), [] { setInputUsk(KZ_IN_1 - 1, 1, KZ_USK1_F); }},
      {"Driver/inout", routedTarget.c_str(), [] { setInputUsk(KZ_BLACK + 1, 1, KZ_USK1_F); }},
      {"Driver/inout", usk.c_str(), [] { setInputUsk(KZ_IN_1, 1, KZ_USK1_F - 1); }},
      {"Driver/inout", usk.c_str(), [] { setInputUsk(KZ_IN_1, 0, KZ_USK4_S + 1); }},
  };
  const kz::GlueImage glueBefore = kz::glueImage();
  const kz::MeImage meBefore = kz::meImage(KZ_CONTEXT_ME1);
  for (const RefusedCall& refused : calls) {
    console.clear();
    EXPECT_THROW(refused.call(), assert::AssertException) << refused.text;
    const std::string prefix = std::string("\x1b[ERR] Assertion failed: ") + refused.source + "(";
    const std::string suffix = std::string(") ") + refused.text + "\n";
    EXPECT_EQ(console.rfind(prefix, 0), 0u) << console;
    EXPECT_TRUE(console.size() > suffix.size() && console.compare(console.size() - suffix.size(), suffix.size(), suffix) == 0)
        << console;
  }
  EXPECT_EQ(getMeContext(), KZ_CONTEXT_ME1);
  EXPECT_TRUE(kz::glueImage() == glueBefore);
  EXPECT_TRUE(kz::meImage(KZ_CONTEXT_ME1) == meBefore);
  EXPECT_TRUE(traceLines.empty());
  EXPECT_THROW(kz::meImage(KZ_CONTEXT_ME4B + 1), assert::AssertException);
}

TEST_F(DriverTest, RangeEndsAreAccepted) {
  EXPECT_NO_THROW({
    setMeContext(KZ_CONTEXT_ME4B);
    setMeInput(KZ_KEY4_S, KZ_IN_1);
    setMeInput(KZ_ABUS, KZ_BLACK);
    setDskInput(KZ_DSK1_F, KZ_BLACK);
    setAuxInput(KZ_AUX1, KZ_IN_1);
    setAuxInput(KZ_EXT_OUT1, KZ_BLACK);
    setAuxTransition(KZ_AUX1 + 6, 1.0f, 0);
    setAuxTransition(KZ_AUX1 + 6, 0.0f, 0);
    setUskInput(KZ_USK1_F, KZ_BLACK);
    setInputUsk(KZ_BLACK, 1, KZ_USK1_F);
  });
  EXPECT_EQ(kz::glueImage().auxMix[3].position, 0.0f);
}

TEST_F(DriverTest, BusDskAndAuxRoutingTakeTheOutputSourcesBeyondBlack) {
  // M/E outputs, DSK programme and clean outputs, multiview and AUX outputs up to 0x11cf.
  EXPECT_NO_THROW({
    setMeInput(KZ_ABUS, 0x11A4);
    setDskInput(KZ_DSK1_F, 0x11C1);
    setAuxInput(KZ_AUX1, 0x11CC);
    setAuxInput(KZ_EXT_OUT_LAST, 0x11CF);
  });
  kzUpdate();
  EXPECT_EQ(meRegister(platform::FPGA_ME1, KZ_ABUS), 0x11A4u);
  EXPECT_EQ(glueRegister(kz::reg::DSK_INPUT), 0x11C1u);
  EXPECT_EQ(glueRegister(kz::reg::AUX_INPUT), 0x11CCu);
  EXPECT_EQ(glueRegister(kz::reg::EXT_OUTPUT + 4 * 2), 0x11CFu);
  // The upstream keyers stay limited to inputs up to black.
  EXPECT_THROW(setUskInput(KZ_USK1_F, 0x11A0), assert::AssertException);
  EXPECT_THROW(setInputUsk(0x11A0, 1, KZ_USK1_F), assert::AssertException);
}

// ---- trace ----------------------------------------------------------------------------------------------

TEST_F(DriverTest, EachSetterTracesOneLineWithIdsInHex) {
  setMeContext(KZ_CONTEXT_ME1 + 1);
  setMeInput(KZ_ABUS, KZ_BLACK);
  setDskInput(KZ_DSK1_F + 1, KZ_IN_1 + 10);
  setAuxInput(KZ_EXT_OUT1, KZ_DVI_1);
  setAuxTransition(KZ_AUX1, 0.5f, 0);
  setUskInput(KZ_USK1_F + 2, KZ_IN_1 + 31);
  setInputUsk(KZ_IN_1, 1, KZ_USK1_F + 1);
  selectMemorySource(0x1194);
  getTallyStatus(KZ_DSK_PGM1);
  const std::vector<std::string> expected = {
      "setMeContext 0x3211",          "setMeInput 0x1200 0x1193",    "setDskInput 0x1211 0x110a",
      "setAuxInput 0x1290 0x1120",    "setAuxTransition 0x1220 0.5 0", "setUskInput 0x1282 0x111f",
      "setInputUsk 0x1100 1 0x1281",  "selectMemorySource 0x1194",
  };
  EXPECT_EQ(traceLines, expected);
}

}  // namespace
