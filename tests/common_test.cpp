// Shared-memory services: the System Manager byte rings, the software locks, the log line format,
// the assertion texts and word-aligned shared-memory access.
#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

#include "Common/assert.h"
#include "Common/lock.h"
#include "Common/log.h"
#include "Common/shared.h"
#include "Platform/host.h"
#include "Platform/platform.h"

namespace {

constexpr std::size_t RING = SystemManagerRing::DATA_SIZE;
static_assert(RING == platform::SM_RING_DATA_SIZE);

class CommonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host::resetMachine(false);
    host::setConsoleSink([](void* ctx, const char* b, std::size_t n) { static_cast<std::string*>(ctx)->append(b, n); },
                         &console);
    host::setSignalSink([](void* ctx) { ++*static_cast<int*>(ctx); }, &signals);
  }
  void TearDown() override {
    host::setConsoleSink(nullptr, nullptr);
    host::setSignalSink(nullptr, nullptr);
  }

  static void setIndexes(u32 base, u32 writeIndex, u32 readIndex) {
    SharedMemory::instance().writeWord(base - platform::SHARED_DDR_BASE, writeIndex);
    SharedMemory::instance().writeWord(base + 4 - platform::SHARED_DDR_BASE, readIndex);
  }
  static u8* ringData(u32 base, std::size_t pos) { return platform::ddr(base + 8 + static_cast<u32>(pos), 1); }
  // The System Manager's side of the receive ring: puts bytes at its write index.
  static void smWrite(const std::vector<u8>& bytes) {
    SharedMemory& shm = SharedMemory::instance();
    u32 w = shm.readWord(platform::SM_RX_RING - platform::SHARED_DDR_BASE);
    for (u8 b : bytes) {
      *ringData(platform::SM_RX_RING, w) = b;
      w = static_cast<u32>((w + 1) % RING);
    }
    shm.writeWord(platform::SM_RX_RING - platform::SHARED_DDR_BASE, w);
  }

  std::string console;
  int signals = 0;
};

std::vector<u8> counting(std::size_t n, u8 first = 1) {
  std::vector<u8> v(n);
  std::iota(v.begin(), v.end(), first);
  return v;
}

// ---- System Manager rings -------------------------------------------------------------------------

TEST_F(CommonTest, ReceiveRingReadsAcrossTheWrap) {
  SystemManagerRing rx(platform::SM_RX_RING);
  setIndexes(platform::SM_RX_RING, RING - 3, RING - 3);
  smWrite(counting(8));
  EXPECT_EQ(rx.writeIndex(), 5u);
  EXPECT_EQ(rx.readable(), 8u);

  std::vector<u8> got(16, 0);
  EXPECT_EQ(rx.read(got.data(), 2), 2u);  // stops short of the end
  EXPECT_EQ(rx.readIndex(), RING - 1);
  EXPECT_EQ(rx.read(got.data() + 2, got.size() - 2), 6u);
  got.resize(8);
  EXPECT_EQ(got, counting(8));
  EXPECT_EQ(rx.readIndex(), 5u);
  EXPECT_EQ(rx.readable(), 0u);
  EXPECT_EQ(rx.read(got.data(), got.size()), 0u);
}

TEST_F(CommonTest, TransmitRingWritesAcrossTheWrap) {
  SystemManagerRing tx(platform::SM_TX_RING);
  setIndexes(platform::SM_TX_RING, RING - 2, RING - 2);
  EXPECT_EQ(tx.write(counting(6, 0x10).data(), 6), 6u);
  EXPECT_EQ(signals, 1);
  EXPECT_EQ(tx.writeIndex(), 4u);
  EXPECT_EQ(*ringData(platform::SM_TX_RING, RING - 2), 0x10);
  EXPECT_EQ(*ringData(platform::SM_TX_RING, RING - 1), 0x11);
  for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(*ringData(platform::SM_TX_RING, i), static_cast<u8>(0x12 + i));
  EXPECT_EQ(*ringData(platform::SM_TX_RING, 4), 0);
  // Nothing was written past the data area: the receive ring's index words follow it.
  EXPECT_EQ(SharedMemory::instance().readWord(platform::SM_RX_RING - platform::SHARED_DDR_BASE), 0u);
}

TEST_F(CommonTest, FullRingKeepsOneByteFree) {
  SystemManagerRing tx(platform::SM_TX_RING);
  setIndexes(platform::SM_TX_RING, 100, 100);
  EXPECT_EQ(tx.writable(), RING - 1);
  const std::vector<u8> block(RING, 0xAA);
  EXPECT_EQ(tx.write(block.data(), block.size()), RING - 1);
  EXPECT_EQ(tx.writeIndex(), 99u);
  EXPECT_EQ(tx.writable(), 0u);
  EXPECT_EQ(tx.readable(), RING - 1);
  EXPECT_EQ(*ringData(platform::SM_TX_RING, 99), 0);  // the free byte
  EXPECT_EQ(tx.write(block.data(), 1), 0u);
  EXPECT_EQ(signals, 1);  // a write that put nothing signals nothing
}

TEST_F(CommonTest, FirstDataReadLogsConnectedOnce) {
  const std::string line = "\x1b[INFO] Connected from System Manager\n";
  SystemManagerRing rx(platform::SM_RX_RING);
  u8 buf[8];
  EXPECT_EQ(rx.read(buf, sizeof buf), 0u);
  EXPECT_EQ(console, "");  // nothing taken yet
  smWrite({1, 2});
  rx.read(buf, sizeof buf);
  smWrite({3});
  rx.read(buf, sizeof buf);
  EXPECT_EQ(console, line);
  rx.resetConnection();
  smWrite({4});
  rx.read(buf, sizeof buf);
  EXPECT_EQ(console, line + line);
}

TEST_F(CommonTest, CorruptedIndexesStayInsideTheRing) {
  SystemManagerRing tx(platform::SM_TX_RING);
  setIndexes(platform::SM_TX_RING, 3 * RING + 7, 3 * RING + 7);
  EXPECT_EQ(tx.readable(), 0u);
  EXPECT_EQ(tx.write(counting(2).data(), 2), 2u);
  EXPECT_EQ(*ringData(platform::SM_TX_RING, 7), 1);
  EXPECT_EQ(tx.writeIndex(), 9u);

  setIndexes(platform::SM_TX_RING, 0xFFFFFFFF, 0);
  EXPECT_LT(tx.readable(), RING);
  EXPECT_LT(tx.writable(), RING);
  std::vector<u8> block(RING, 0x55);
  tx.write(block.data(), block.size());
  EXPECT_LT(SharedMemory::instance().readWord(platform::SM_TX_RING - platform::SHARED_DDR_BASE), RING);
  EXPECT_EQ(SharedMemory::instance().readWord(platform::SM_RX_RING - platform::SHARED_DDR_BASE), 0u);

  SystemManagerRing rx(platform::SM_RX_RING);
  setIndexes(platform::SM_RX_RING, 0x12345678, 0xFFFFFFF0);
  std::vector<u8> out(RING);
  EXPECT_LT(rx.read(out.data(), out.size()), RING);
  EXPECT_LT(rx.readIndex(), RING);
  EXPECT_EQ(rx.readable(), 0u);
}

// ---- software locks ----------------------------------------------------------------------------

TEST_F(CommonTest, WriteLockNeedsAFreeResource) {
  Lock writer, other;
  writer.lock(4, true);
  EXPECT_EQ(writer.resource(), 4);
  EXPECT_EQ(locks::word(4), LOCK_WRITER);
  other.lock(4, true);
  EXPECT_EQ(other.resource(), -1);
  other.lock(4, false);
  EXPECT_EQ(other.resource(), -1);
  EXPECT_EQ(locks::word(4), LOCK_WRITER);
  writer.unlock();
  EXPECT_EQ(writer.resource(), -1);
  EXPECT_EQ(locks::word(4), 0u);
  other.lock(4, true);
  EXPECT_TRUE(other.held());
}

TEST_F(CommonTest, ReadLocksShareAndKeepWritersOut) {
  Lock r1, r2, w;
  r1.lock(7, false);
  r2.lock(7, false);
  EXPECT_TRUE(r1.held() && r2.held());
  EXPECT_EQ(locks::word(7), 2u);
  w.lock(7, true);
  EXPECT_EQ(w.resource(), -1);
  r1.unlock();
  r1.unlock();  // not held any more: harmless
  EXPECT_EQ(locks::word(7), 1u);
  r2.unlock();
  EXPECT_EQ(locks::word(7), 0u);
}

TEST_F(CommonTest, LockHeldByTheOtherCoreIsRefused) {
  ASSERT_TRUE(locks::remoteAcquire(0, true));
  Lock l;
  l.lock(0, false);
  EXPECT_EQ(l.resource(), -1);
  l.lock(0, true);
  EXPECT_EQ(l.resource(), -1);
  l.unlock();  // a refused handle releases nothing
  EXPECT_EQ(locks::word(0), LOCK_WRITER);
  locks::remoteRelease(0, true);
  l.lock(0, true);
  EXPECT_EQ(l.resource(), 0);
  EXPECT_FALSE(locks::remoteAcquire(0, false));
}

TEST_F(CommonTest, LockTryWhileTheHardwareGuardIsBusyIsRefused) {
  ASSERT_TRUE(platform::hwLockTry(LOCK_HW_GUARD));
  Lock l;
  l.lock(3, true);
  EXPECT_EQ(l.resource(), -1);
  EXPECT_EQ(locks::word(3), 0u);
  platform::hwLockRelease(LOCK_HW_GUARD);
  l.lock(3, true);
  EXPECT_EQ(l.resource(), 3);
  EXPECT_TRUE(platform::hwLockTry(LOCK_HW_GUARD));  // the lock gave the guard back
}

TEST_F(CommonTest, LockMisuseAsserts) {
  Lock l;
  l.lock(1, true);
  EXPECT_THROW(l.lock(2, false), assert::AssertException);
  EXPECT_EQ(l.resource(), 1);
  EXPECT_EQ(locks::word(2), 0u);
  Lock fresh;
  EXPECT_THROW(fresh.lock(128, false), assert::AssertException);
  EXPECT_THROW(fresh.lock(-1, false), assert::AssertException);
  EXPECT_EQ(fresh.resource(), -1);
  EXPECT_NE(console.find("\x1b[ERR] Assertion failed: Common/lock("), std::string::npos);
}

// ---- log and assertions ----------------------------------------------------------------------------

TEST_F(CommonTest, LogLineFormat) {
  libkz::LogInstance& log = libkz::getLogger();
  log.printf(libkz::LOG_WARN, "w %d", 1);
  log.printf(libkz::LOG_ERR, "e\n");
  log.printf(libkz::LOG_FATAL, "f\n\n");
  log.printf(libkz::LOG_INFO, "i");
  log.printf(7, "seven");
  log.printf(-1, "%s", "");
  EXPECT_EQ(console,
            "\x1b[WARN] w 1\n\x1b[ERR] e\n\x1b[FATAL] f\n\n\x1b[INFO] i\n\x1b[INFO] seven\n\x1b[INFO] \n");
}

TEST_F(CommonTest, LogMessageIsCutTo255Characters) {
  const std::string longText(300, 'x');
  libkz::getLogger().printf(libkz::LOG_FATAL, "%s\n", longText.c_str());
  EXPECT_EQ(console, "\x1b[FATAL] " + std::string(255, 'x') + "\n");
  console.clear();
  libkz::getLogger().printf(libkz::LOG_INFO, "%s\n", std::string(255, 'y').c_str());
  EXPECT_EQ(console, "\x1b[INFO] " + std::string(255, 'y') + "\n");
}

TEST_F(CommonTest, AssertionTexts) {
  EXPECT_NO_THROW(assert::check("Main/x", 1, "ok", true));
  EXPECT_NO_THROW(assert::checkEqual("Main/x", 2, "id", 5L, "FIVE", 5L));
  EXPECT_EQ(console, "");
  try {
    assert::check("Main/clip", 42, "0 <= idx && idx < N_CHANNELS", false);
    ADD_FAILURE() << "no throw";
  } catch (const assert::AssertException& e) {
    EXPECT_STREQ(e.file(), "Main/clip");
    EXPECT_EQ(e.line(), 42);
  }
  EXPECT_THROW(assert::checkEqual("Main/maint", 7, "id", -3L, "IndexOf<KzifMaintenanceCmd>::value", 69L),
               assert::AssertException);
  EXPECT_THROW(assert::checkEqual("Driver/x", 9, "gain", 1.5, "1.0", 1.0), assert::AssertException);
  EXPECT_EQ(console,
            "\x1b[ERR] Assertion failed: Main/clip(42) 0 <= idx && idx < N_CHANNELS\n"
            "\x1b[ERR] Assertion failed: Main/maint(7) id is -3 must be IndexOf<KzifMaintenanceCmd>::value\n"
            "\x1b[ERR] Assertion failed: Driver/x(9) gain is 1.500000 must be 1.0\n");
}

// ---- shared memory -----------------------------------------------------------------------------

TEST_F(CommonTest, SharedMemoryIsWordAligned) {
  SharedMemory& shm = SharedMemory::instance();
  shm.writeWord(0x100, 0x11223344);
  EXPECT_EQ(*platform::ddr(platform::SHARED_DDR_BASE + 0x100, 1), 0x44);  // stored as the core sees it
  EXPECT_EQ(shm.readWord(0x100), 0x11223344u);
  u8 buf[8] = {};
  EXPECT_THROW(shm.read(0x102, buf, 4), assert::AssertException);
  EXPECT_THROW(shm.write(0x100, buf, 3), assert::AssertException);
  EXPECT_THROW(shm.readWord(platform::SHARED_DDR_SIZE), assert::AssertException);
  EXPECT_THROW(shm.write(platform::SHARED_DDR_SIZE - 4, buf, 8), assert::AssertException);
  EXPECT_EQ(shm.readWord(0x100), 0x11223344u);
}

}  // namespace
