// The host stand-in's power cycle clears only what the last run was given or wrote; whatever it
// skips must still read as a freshly powered board.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "Platform/host.h"

namespace {

using namespace platform;

bool allZero(const u8* p, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    if (p[i] != 0) return false;
  return true;
}

TEST(PlatformReset, EveryHandedOutSpanOfSharedDdrReadsZeroAgain) {
  host::resetMachine(false);
  // A word at the very bottom, a span crossing granules, a large span (given back to the kernel
  // rather than cleared) with unaligned ends, and the last byte of the region.
  struct Span {
    u32 offset;
    std::size_t len;
  };
  const Span spans[] = {{0, 4}, {0x0FFE, 0x1004}, {0x123455, 0x300001}, {SHARED_DDR_SIZE - 1, 1}};
  for (const Span& s : spans) std::memset(ddr(SHARED_DDR_BASE + s.offset, s.len), 0xA5, s.len);
  host::resetMachine(true);
  for (const Span& s : spans) {
    SCOPED_TRACE(s.offset);
    EXPECT_TRUE(allZero(ddr(SHARED_DDR_BASE + s.offset, s.len), s.len));
  }
  // And the pages around them, cleared with the granule they share.
  EXPECT_TRUE(allZero(ddr(SHARED_DDR_BASE + 0x120000, 0x310000), 0x310000));
}

TEST(PlatformReset, SharedDdrStaysAddressedAsOnePlainRegion) {
  host::resetMachine(false);
  EXPECT_EQ(ddr(SHARED_DDR_BASE + 0x10, 4), ddr(SHARED_DDR_BASE, 4) + 0x10);
  EXPECT_EQ(ddr(SHARED_DDR_BASE + SHARED_DDR_SIZE - 4, 4), ddr(SHARED_DDR_BASE, 4) + SHARED_DDR_SIZE - 4);
  EXPECT_EQ(ddr(SHARED_DDR_BASE + SHARED_DDR_SIZE - 4, 5), nullptr);
  EXPECT_EQ(ddr(SHARED_DDR_BASE - 1, 1), nullptr);
}

TEST(PlatformReset, WrittenRegistersReadZeroAndTheWindowFollowsKeepNv) {
  host::resetMachine(false);
  writeRegister(FPGA_ME1 + 0x40, 7);
  writeRegister(FPGA_ME1 + FPGA_BLOCK_SIZE - 4, 9);
  writeRegister(FPGA_SDI2, 3);
  nvWindow()[NV_SIZE - 1] = 0x5A;
  host::resetMachine(true);
  EXPECT_EQ(readRegister(FPGA_ME1 + 0x40), 0u);
  EXPECT_EQ(readRegister(FPGA_ME1 + FPGA_BLOCK_SIZE - 4), 0u);
  EXPECT_EQ(readRegister(FPGA_SDI2), 0u);
  EXPECT_EQ(nvWindow()[NV_SIZE - 1], 0x5A);

  writeRegister(FPGA_ME2 + 8, 1);
  host::resetMachine(true);
  EXPECT_EQ(readRegister(FPGA_ME2 + 8), 0u);  // the span is tracked again after a reset
  host::resetMachine(false);
  EXPECT_EQ(nvWindow()[NV_SIZE - 1], 0);
}

// A snapshot puts the board back exactly: what was handed out and written before it comes back,
// what was handed out after it reads zero, and a granule the back-end was handed before the
// snapshot is cleared again at the next restore even when it was written without a new hand-out.
TEST(MachineSnapshot, PutsTheBoardBackAndClearsWhatCameAfter) {
  host::resetMachine(false);
  u8* kept = ddr(SHARED_DDR_BASE + 0x2000, 0x1800);  // held, as a ring's pointer is, across restores
  std::memset(kept, 0x11, 0x1800);
  writeRegister(FPGA_ME1 + 0x40, 7);
  nvWindow()[3] = 0x33;
  hardwareInputs().powerStatus = 2;
  host::advanceMicros(100);
  const u64 timeAtSave = globalTimer();
  host::MachineSnapshot snapshot;
  snapshot.save();

  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    std::memset(kept, 0x22, 0x1800);
    std::memset(ddr(SHARED_DDR_BASE + 0x400000, 0x3000), 0x44, 0x3000);
    writeRegister(FPGA_ME1 + 0x40, 8);
    writeRegister(FPGA_SDI1 + 0x100, 9);
    nvWindow()[3] = 0x55;
    hardwareInputs().powerStatus = 0;
    ASSERT_TRUE(hwLockTry(HW_LOCK_FIRST));
    host::advanceMicros(50);
    snapshot.restore();

    EXPECT_EQ(kept[0], 0x11);
    EXPECT_EQ(kept[0x17FF], 0x11);
    EXPECT_TRUE(allZero(kept + 0x1800, 0x800));  // the rest of its granule was never written
    EXPECT_TRUE(allZero(ddr(SHARED_DDR_BASE + 0x400000, 0x3000), 0x3000));
    EXPECT_EQ(readRegister(FPGA_ME1 + 0x40), 7u);
    EXPECT_EQ(readRegister(FPGA_SDI1 + 0x100), 0u);
    EXPECT_EQ(nvWindow()[3], 0x33);
    EXPECT_EQ(hardwareInputs().powerStatus, 2u);
    EXPECT_EQ(globalTimer(), timeAtSave);
    EXPECT_TRUE(hwLockTry(HW_LOCK_FIRST));  // free again
    hwLockRelease(HW_LOCK_FIRST);
  }
  EXPECT_TRUE(snapshot.changedSinceSave().empty());
  kept[5] = 0x66;  // through a pointer handed out before the snapshot
  EXPECT_EQ(snapshot.changedSinceSave(), std::vector<std::string>{"shared DDR"});
  snapshot.restore();
  // A register written only after the snapshot is cleared by the next power cycle too.
  writeRegister(FPGA_SDI1 + 0x100, 9);
  host::resetMachine(false);
  EXPECT_EQ(readRegister(FPGA_SDI1 + 0x100), 0u);
}

// Watching the whole process, the check names the static that a restore would not put back, and
// nothing once it has been put back.
TEST(MachineSnapshot, WatchingTheWholeProcessNamesWhatDiffers) {
  host::resetMachine(false);
  [[maybe_unused]] static volatile int outsideTheMachine = 1;
  host::MachineSnapshot snapshot;
  snapshot.watchWholeProcess();
  snapshot.save();
  hardwareInputs().alarmStatus = 9;
  outsideTheMachine = 2;
  auto names = [&](const char* part) {
    const std::vector<std::string> changed = snapshot.changedSinceSave();
    return std::any_of(changed.begin(), changed.end(), [&](const std::string& n) { return n.find(part) != std::string::npos; });
  };
  EXPECT_TRUE(names("outsideTheMachine"));
  EXPECT_TRUE(names("inputs"));  // the board's hardware inputs, a static of the stand-in
  snapshot.restore();
  EXPECT_FALSE(names("inputs"));
  EXPECT_TRUE(names("outsideTheMachine"));  // not the machine's: a restore leaves it
  outsideTheMachine = 1;
  EXPECT_FALSE(names("outsideTheMachine"));
}

}  // namespace
