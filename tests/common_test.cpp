// Shared-memory services: the System Manager byte rings, the software locks, the log line format,
// the assertion texts and word-aligned shared-memory access.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "Common/assert.h"
#include "Common/lock.h"
#include "Common/log.h"
#include "Common/shared.h"
#include "Common/storage.h"
#include "Platform/host.h"
#include "Platform/platform.h"

namespace {

using Bytes = std::vector<u8>;
constexpr std::size_t RING = SystemManagerRing::DATA_SIZE;
constexpr u32 RX = platform::SM_RX_RING;
constexpr u32 TX = platform::SM_TX_RING;

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

  // The raw index words of a ring: 0 the write index, 1 the read index.
  static u32 indexWord(u32 ring, int which) {
    return SharedMemory::instance().readWord(ring + 4u * which - platform::SHARED_DDR_BASE);
  }
  static void setIndexes(u32 ring, u32 writeIndex, u32 readIndex) {
    SharedMemory::instance().writeWord(ring - platform::SHARED_DDR_BASE, writeIndex);
    SharedMemory::instance().writeWord(ring + 4 - platform::SHARED_DDR_BASE, readIndex);
  }
  // The data bytes of a ring from position from on, across the wrap.
  static Bytes ringBytes(u32 ring, std::size_t from, std::size_t n) {
    Bytes out;
    for (std::size_t i = 0; i < n; ++i) out.push_back(*platform::ddr(ring + 8 + static_cast<u32>((from + i) % RING), 1));
    return out;
  }
  // One try at a lock: true when taken.
  static bool take(Lock& lock, int resource, bool write) {
    lock.lock(resource, write);
    return lock.resource() == resource;
  }

  std::string console;
  int signals = 0;
};

TEST_F(CommonTest, ReceiveAndTransmitRingsWrapAroundAndTheFirstDataReadLogsConnected) {
  SystemManagerRing rx(RX), tx(TX), systemManager(RX);
  const Bytes sent = {1, 2, 3, 4, 5, 6, 7, 8};
  setIndexes(RX, RING - 3, RING - 3);
  Bytes got(16, 0);
  EXPECT_EQ(rx.read(got.data(), 1), 0u);  // nothing to take: nothing logged
  systemManager.write(sent.data(), sent.size());
  EXPECT_EQ(rx.read(got.data(), 2), 2u);  // stops short of the end
  EXPECT_EQ(rx.read(got.data() + 2, got.size() - 2), 6u);
  EXPECT_EQ(Bytes(got.begin(), got.begin() + 8), sent);
  EXPECT_EQ(indexWord(RX, 1), 5u);
  EXPECT_EQ(console, "\x1b[INFO] Connected from System Manager\n");  // once, at the first data taken

  setIndexes(TX, RING - 2, RING - 2);
  EXPECT_EQ(tx.write(sent.data(), 6), 6u);
  EXPECT_EQ(signals, 2);
  EXPECT_EQ(indexWord(TX, 0), 4u);
  EXPECT_EQ(ringBytes(TX, RING - 2, 7), Bytes({1, 2, 3, 4, 5, 6, 0}));
}

TEST_F(CommonTest, FullRingKeepsOneByteFreeAndCorruptIndexesStayInside) {
  SystemManagerRing tx(TX);
  setIndexes(TX, 100, 100);
  const Bytes block(RING, 0xAA);
  EXPECT_EQ(tx.write(block.data(), block.size()), RING - 1);
  EXPECT_EQ(tx.write(block.data(), 1), 0u);
  EXPECT_EQ(signals, 1);  // a write that put nothing signals nothing

  setIndexes(TX, 3 * RING + 7, 3 * RING + 7);  // taken modulo the data size
  EXPECT_EQ(tx.write(block.data(), 2), 2u);
  EXPECT_EQ(indexWord(TX, 0), 9u);
}

TEST_F(CommonTest, WriterNeedsAFreeResourceAndReadersShare) {
  Lock writer, other, r1, r2;
  EXPECT_TRUE(take(writer, 4, true));
  EXPECT_EQ(locks::word(4), LOCK_WRITER);
  EXPECT_FALSE(take(other, 4, false));
  writer.unlock();
  EXPECT_TRUE(take(other, 4, true));

  EXPECT_TRUE(take(r1, 7, false) && take(r2, 7, false));
  EXPECT_EQ(locks::word(7), 2u);
  EXPECT_FALSE(take(writer, 7, true));
  r1.unlock();
  r1.unlock();  // not held any more: harmless
  EXPECT_EQ(locks::word(7), 1u);
}

TEST_F(CommonTest, LockHeldByTheOtherCoreOrUnderABusyGuardIsRefused) {
  ASSERT_TRUE(locks::remoteAcquire(0, true));
  Lock l, guarded;
  EXPECT_FALSE(take(l, 0, false));
  l.unlock();  // a refused handle releases nothing
  EXPECT_EQ(locks::word(0), LOCK_WRITER);
  locks::remoteRelease(0, true);
  EXPECT_TRUE(take(l, 0, true));
  EXPECT_FALSE(locks::remoteAcquire(0, false));

  ASSERT_TRUE(platform::hwLockTry(LOCK_HW_GUARD));
  EXPECT_FALSE(take(guarded, 3, true));
  platform::hwLockRelease(LOCK_HW_GUARD);
  EXPECT_TRUE(take(guarded, 3, true));
  EXPECT_TRUE(platform::hwLockTry(LOCK_HW_GUARD));  // the lock gave the guard back
}

TEST_F(CommonTest, LockMisuseAsserts) {
  Lock l;
  l.lock(1, true);
  EXPECT_THROW(l.lock(2, false), assert::AssertException);  // a second lock on one handle
  EXPECT_EQ(locks::word(2), 0u);
  EXPECT_THROW(Lock().lock(128, false), assert::AssertException);
  EXPECT_NE(console.find("\x1b[ERR] Assertion failed: Common/lock("), std::string::npos);
}

TEST_F(CommonTest, LogLineFormatAndLength) {
  libkz::LogInstance& log = libkz::getLogger();
  log.printf(libkz::LOG_WARN, "w %d", 1);
  log.printf(libkz::LOG_FATAL, "f\n\n");
  log.printf(7, "seven");
  log.printf(libkz::LOG_ERR, "%s\n", std::string(256, 'x').c_str());  // cut to 255 characters
  EXPECT_EQ(console, "\x1b[WARN] w 1\n\x1b[FATAL] f\n\n\x1b[INFO] seven\n\x1b[ERR] " + std::string(255, 'x') + "\n");
}

TEST_F(CommonTest, AssertionTexts) {
  EXPECT_NO_THROW(assert::checkEqual("Main/x", 2, "id", 5L, "FIVE", 5L));
  EXPECT_THROW(assert::check("Main/clip", 42, "0 <= idx && idx < N_CHANNELS", false), assert::AssertException);
  EXPECT_THROW(assert::checkEqual("Main/maint", 7, "id", -3L, "IndexOf<KzifMaintenanceCmd>::value", 69L),
               assert::AssertException);
  EXPECT_EQ(console,
            "\x1b[ERR] Assertion failed: Main/clip(42) 0 <= idx && idx < N_CHANNELS\n"
            "\x1b[ERR] Assertion failed: Main/maint(7) id is -3 must be IndexOf<KzifMaintenanceCmd>::value\n");
}

TEST_F(CommonTest, SharedMemoryIsWordAligned) {
  SharedMemory& shm = SharedMemory::instance();
  shm.writeWord(0x100, 0x11223344);
  EXPECT_EQ(*platform::ddr(platform::SHARED_DDR_BASE + 0x100, 1), 0x44);  // stored as the core sees it
  u8 buf[8] = {};
  EXPECT_THROW(shm.read(0x102, buf, 4), assert::AssertException);
  EXPECT_THROW(shm.write(platform::SHARED_DDR_SIZE - 4, buf, 8), assert::AssertException);
}

}  // namespace

// The commit records carry the plain CRC-32 of a copy, built from the CRCs of its shares.
TEST(BackupCrc, StandardCheckValueAndCombiningSharesGivesTheWholeCopysCrc) {
  const std::string digits = "123456789";
  const auto* p = reinterpret_cast<const u8*>(digits.data());
  EXPECT_EQ(storage::crc32(p, digits.size()), 0xCBF43926u);
  EXPECT_EQ(storage::crc32(p + 4, 5, storage::crc32(p, 4)), 0xCBF43926u);
  for (std::size_t split : {0u, 1u, 8u, 9u})
    EXPECT_EQ(storage::crc32Combine(storage::crc32(p, split), storage::crc32(p + split, 9 - split),
                                    storage::crc32Shift(9 - split)),
              0xCBF43926u)
        << split;
  // A copy of many shares, as the save folds them.
  std::vector<u8> image(45000);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<u8>(i * 7 + (i >> 9));
  u32 folded = 0;
  const std::size_t sizes[] = {8, 936, 208, 5616};
  for (std::size_t at = 0, i = 0; at < image.size(); at += sizes[i++ % 4]) {
    const std::size_t size = std::min(sizes[i % 4], image.size() - at);
    folded = storage::crc32Combine(folded, storage::crc32(image.data() + at, size), storage::crc32Shift(size));
  }
  EXPECT_EQ(folded, storage::crc32(image.data(), image.size()));
}

// Eight bytes a step must give what one byte a step gives, at every length around the step and
// from every alignment, continued from a CRC or not.
TEST(BackupCrc, WordStepsGiveTheBytewiseCrcAtEveryLengthAndAlignment) {
  const auto bytewise = [](const u8* p, std::size_t len, u32 crc) {
    crc = ~crc;
    for (std::size_t i = 0; i < len; ++i) {
      crc ^= p[i];
      for (int k = 0; k < 8; ++k) crc = crc & 1 ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return ~crc;
  };
  alignas(8) std::array<u8, 96> bytes{};
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<u8>(i * 151 + 89);
  for (std::size_t align = 0; align < 8; ++align)
    for (std::size_t len = 0; len <= 64; ++len)
      for (const u32 from : {0u, 0x9D6CDF7Eu}) {
        EXPECT_EQ(storage::crc32(bytes.data() + align, len, from), bytewise(bytes.data() + align, len, from))
            << "alignment " << align << ", length " << len << ", from " << std::hex << from;
      }
}

namespace {

// A live image of a few shares of awkward sizes (8-byte multiples, as the layout gives them),
// saved through one window as the field cycle saves the backup image.
struct SmallImage {
  static constexpr std::array<u32, 7> SIZES = {8, 16, 200, 1264, 64, 4104, 8};
  static constexpr std::size_t SIZE = 5664;
  static_assert(SIZE == 8 + 16 + 200 + 1264 + 64 + 4104 + 8);
  std::array<storage::ShareMarks, SIZES.size()> marks{};
  std::array<storage::Share, SIZES.size()> shares{};
  alignas(8) std::array<u8, SIZE> live{};
  storage::BackupWindow window;

  SmallImage() {
    u32 at = 0;
    for (std::size_t s = 0; s < SIZES.size(); ++s) {
      shares[s] = {at, SIZES[s], &marks[s]};
      at += SIZES[s];
    }
  }
  void open() { window.open(live.data(), shares, SIZE); }
  u8* at(std::size_t share, std::size_t offset) { return live.data() + shares[share].offset + offset; }
  static const u8* copy(int c) { return platform::nvWindow() + storage::COPY_OFFSET[static_cast<std::size_t>(c)]; }
  // Each copy holds the live image, its commit record is whole and carries the CRC of its bytes.
  void expectSaved(const std::string& when) const {
    for (int c : {storage::COPY_A, storage::COPY_B}) {
      EXPECT_TRUE(std::equal(live.begin(), live.end(), copy(c))) << when << ", copy " << c;
      EXPECT_EQ(window.copyCrc(c), storage::crc32(copy(c), SIZE)) << when << ", copy " << c;
    }
    EXPECT_EQ(storage::locateImage(platform::nvWindow()).wholeSize,
              (std::array<u32, storage::N_COPIES>{static_cast<u32>(SIZE), static_cast<u32>(SIZE)}))
        << when;
  }
};

}  // namespace

// The save updates each copy's CRC from the bytes that changed alone: after any run of small edits
// (some leaving bytes as they were, some across unit edges, some marking the whole share) it is
// the CRC of the copy, also after a start over copies that differ from each other.
TEST(BackupWindowTest, CommittedCrcStaysThatOfTheCopyThroughRandomEditsAndStarts) {
  host::resetMachine(false);
  static SmallImage image;
  std::mt19937 rng(20240611);
  for (u8& b : image.live) b = static_cast<u8>(rng());
  image.open();
  image.window.save(image.live.data());
  image.expectSaved("first save");
  auto editAndSave = [&](int round) {
    const int edits = static_cast<int>(rng() % 6);  // 0: an idle save
    for (int e = 0; e < edits; ++e) {
      const std::size_t s = rng() % SmallImage::SIZES.size();
      const std::size_t longest = std::min<std::size_t>(SmallImage::SIZES[s], e == 0 ? 150 : 12);
      const std::size_t len = 1 + rng() % longest;
      const std::size_t offset = rng() % (SmallImage::SIZES[s] - len + 1);
      u8* p = image.at(s, offset);
      for (std::size_t k = 0; k < len; ++k)
        if (rng() % 4 != 0) p[k] = static_cast<u8>(rng());
      if (rng() % 8 == 0) {
        image.marks[s].setAll();
      } else {
        image.marks[s].setBytes(p, len);
      }
    }
    image.window.save(image.live.data());
    image.expectSaved("round " + std::to_string(round));
  };
  for (int round = 0; round < 300; ++round) editAndSave(round);

  // Copy B changed behind the window's back with its commit record torn, then both copies changed
  // at different places (neither whole): each start compares both copies with the image, and the
  // saves that follow keep the CRCs exact.
  u8* nv = platform::nvWindow();
  for (int k = 0; k < 40; ++k) nv[storage::COPY_OFFSET[storage::COPY_B] + rng() % SmallImage::SIZE] ^= 0x5A;
  nv[storage::COMMIT_OFFSET[storage::COPY_B]] ^= 1;
  image.open();
  image.window.save(image.live.data());
  image.expectSaved("after a start over a changed copy B");
  for (int round = 300; round < 340; ++round) editAndSave(round);
  for (std::size_t copy : storage::COPY_OFFSET)
    for (int k = 0; k < 40; ++k) nv[copy + rng() % SmallImage::SIZE] ^= 0xA5;
  image.open();
  image.window.save(image.live.data());
  image.expectSaved("after a start over two changed copies");
  for (int round = 340; round < 380; ++round) editAndSave(round);
}

// The host check sees a change in a unit that is not marked, even while another unit of the same
// share is: the marks it checks are those the save goes by.
TEST(BackupWindowTest, HostCheckFindsAChangeOutsideTheMarkedUnitsOfItsShare) {
  host::resetMachine(false);
  static SmallImage image;
  image.live.fill(0);
  image.open();
  image.window.save(image.live.data());
  auto unmarked = [&] {
    std::vector<std::pair<std::size_t, int>> found;
    image.window.forEachUnmarkedChange(image.live.data(), [&](std::size_t s, int c) { found.emplace_back(s, c); });
    return found;
  };
  *image.at(5, 1000) = 1;
  image.marks[5].setBytes(image.at(5, 0), 64);  // the share's first unit only
  EXPECT_EQ(unmarked(), (std::vector<std::pair<std::size_t, int>>{{5, storage::COPY_A}, {5, storage::COPY_B}}));
  image.marks[5].setBytes(image.at(5, 1000), 1);
  EXPECT_TRUE(unmarked().empty());
  const u64 before = host::nvBytesWritten();
  image.window.save(image.live.data());
  // The unit of the changed byte in each copy, each copy's record voided and written again.
  EXPECT_EQ(host::nvBytesWritten() - before, 2 * (4 + storage::UNIT_SIZE + sizeof(storage::CommitRecord)));
  EXPECT_TRUE(unmarked().empty());
}

// A start where the older copy already holds the live image: the first save writes the newer copy
// alone, under a new number, and the next save outnumbers it, so that a cut between that save's
// two copies resumes from the copy it completed, never from the one holding the earlier image.
TEST(BackupWindowTest, SaveAfterAStartOverAnOlderCopyHoldingTheImageKeepsNumbering) {
  host::resetMachine(false);
  static SmallImage image;
  u8* nv = platform::nvWindow();
  const auto record = [&](int c) {
    storage::CommitRecord r;
    std::memcpy(&r, nv + storage::COMMIT_OFFSET[static_cast<std::size_t>(c)], sizeof r);
    return r;
  };
  const auto fillLive = [&](u8 seed) {
    for (std::size_t i = 0; i < image.live.size(); ++i) image.live[i] = static_cast<u8>(i * 13 + seed);
    for (auto& m : image.marks) m.setAll();
  };
  fillLive(1);  // X
  image.open();
  image.window.save(image.live.data());
  const std::array<u8, SmallImage::SIZE> x = image.live;
  fillLive(2);  // Y
  image.window.save(image.live.data());
  const u32 ySequence = record(storage::COPY_A).sequence;
  ASSERT_EQ(record(storage::COPY_B).sequence, ySequence);
  // Copy B back to X under the number before: copy A (Y) is the newest whole copy.
  std::memcpy(nv + storage::COPY_OFFSET[storage::COPY_B], x.data(), x.size());
  const storage::CommitRecord older = storage::makeCommitRecord(storage::COPY_B, ySequence - 1,
                                                                SmallImage::SIZE, storage::crc32(x.data(), x.size()));
  std::memcpy(nv + storage::COMMIT_OFFSET[storage::COPY_B], &older, sizeof older);
  ASSERT_EQ(storage::locateImage(nv).copy, storage::COPY_A);

  image.open();
  image.live = x;  // the live image goes back to what copy B holds
  const u64 before = host::nvBytesWritten();
  image.window.save(image.live.data());
  EXPECT_EQ(record(storage::COPY_B).sequence, ySequence - 1);  // untouched
  EXPECT_EQ(record(storage::COPY_A).sequence, ySequence + 1);
  EXPECT_EQ(host::nvBytesWritten() - before, 4 + SmallImage::SIZE + sizeof(storage::CommitRecord));
  image.expectSaved("after the save that wrote copy A alone");

  fillLive(3);  // Z
  image.window.save(image.live.data());
  EXPECT_EQ(record(storage::COPY_B).sequence, ySequence + 2);
  EXPECT_EQ(record(storage::COPY_A).sequence, ySequence + 2);
  image.expectSaved("after the next save");
  const storage::Found found = storage::locateImage(nv);
  EXPECT_EQ(found.sequence, ySequence + 2);
  EXPECT_EQ(found.copy, storage::COPY_A);
}

// A start over two copies that hold the same bytes (every save leaves them so) with a live image
// that differs from them in two units: the first save marks every unit and writes those two into
// each copy, under CRCs that are those of the copies. With a torn commit record over alike copies
// and nothing changed, it writes that record alone.
// A save compares a run of neighbouring marked units as one before unit by unit: whatever part of
// such a run changed, each copy takes exactly the changed units (the second copy the units the
// first left marked), and a run that did not change costs no write at all.
TEST(BackupWindowTest, ARunOfMarkedUnitsWritesOnlyItsChangedUnitsIntoEachCopy) {
  host::resetMachine(false);
  static SmallImage image;
  std::mt19937 rng(31);
  for (u8& b : image.live) b = static_cast<u8>(rng());
  image.open();
  image.window.save(image.live.data());
  image.expectSaved("first save");
  // Share 5 is 4104 bytes: units 0..63 of 64 bytes and unit 64 of 8.
  constexpr std::size_t SHARE = 5, OVERHEAD = 4 + sizeof(storage::CommitRecord);
  struct Case {
    const char* what;
    std::vector<std::size_t> offsets;  // bytes of the share that change
    std::size_t from, to;              // the share's bytes marked
    std::size_t written;               // bytes into each copy
  };
  const Case cases[] = {
      {"the whole share marked, nothing changed", {}, 0, 4104, 0},
      {"one unit in the middle", {10 * 64 + 7}, 0, 4104, OVERHEAD + 64},
      {"the first unit and the short last one", {0, 4100}, 0, 4104, OVERHEAD + 64 + 8},
      {"two neighbouring units", {30 * 64 + 63, 31 * 64}, 0, 4104, OVERHEAD + 128},
      {"a run's last unit after equal ones", {40 * 64 + 1}, 5 * 64, 41 * 64, OVERHEAD + 64},
      {"a run's first unit before equal ones", {5 * 64}, 5 * 64, 41 * 64, OVERHEAD + 64},
      {"the whole share marked again, nothing changed", {}, 0, 4104, 0},
  };
  for (const Case& c : cases) {
    for (std::size_t offset : c.offsets) *image.at(SHARE, offset) ^= 0x5A;
    image.marks[SHARE].setBytes(image.at(SHARE, c.from), c.to - c.from);
    const u64 before = host::nvBytesWritten();
    image.window.save(image.live.data());
    EXPECT_EQ(host::nvBytesWritten() - before, 2 * c.written) << c.what;
    image.expectSaved(c.what);
  }
}

TEST(BackupWindowTest, StartOverAlikeCopiesWritesOnlyWhatDiffersIntoEach) {
  host::resetMachine(false);
  static SmallImage image;
  std::mt19937 rng(7);
  for (u8& b : image.live) b = static_cast<u8>(rng());
  image.open();
  image.window.save(image.live.data());
  image.expectSaved("first save");

  *image.at(3, 10) ^= 0x11;    // a whole unit at the start of a share
  *image.at(5, 4000) ^= 0x22;  // a whole unit far into the image, past the first 64 units
  for (auto& m : image.marks) m.setAll();
  image.open();
  u64 before = host::nvBytesWritten();
  image.window.save(image.live.data());
  EXPECT_EQ(host::nvBytesWritten() - before, 2 * (4 + 2 * storage::UNIT_SIZE + sizeof(storage::CommitRecord)));
  image.expectSaved("after a start with two units changed");

  u8* nv = platform::nvWindow();
  nv[storage::COMMIT_OFFSET[storage::COPY_B]] ^= 1;
  image.open();
  before = host::nvBytesWritten();
  image.window.save(image.live.data());
  EXPECT_EQ(host::nvBytesWritten() - before, sizeof(storage::CommitRecord));
  image.expectSaved("after a start over a torn commit record of copy B");
}

namespace {

// A wider image for the save's one-pass compare and CRC: shares whose short last units fall on
// both sides of the borders of the map's words (64 units each), and a plain reference of what a
// save writes, unit by unit, byte by byte.
struct WideImage {
  static constexpr std::array<u32, 11> SIZES = {8, 4040, 64, 4096, 120, 8, 4104, 2048, 16, 4088, 200};
  static constexpr std::size_t SIZE = 18792;
  std::array<storage::ShareMarks, SIZES.size()> marks{};
  std::array<storage::Share, SIZES.size()> shares{};
  alignas(8) std::array<u8, SIZE> live{};
  storage::BackupWindow window;
  // The reference: each unit's share and bytes, the units marked since the last save, whether each
  // copy's commit record is whole and which copy a save writes first.
  struct Unit {
    std::size_t share, offset, size;
  };
  std::vector<Unit> units;
  std::vector<bool> marked;
  std::array<bool, storage::N_COPIES> committed{};
  int first = storage::COPY_B;

  WideImage() {
    u32 at = 0;
    for (std::size_t s = 0; s < SIZES.size(); ++s) {
      shares[s] = {at, SIZES[s], &marks[s]};
      for (u32 k = 0; k < SIZES[s]; k += storage::UNIT_SIZE)
        units.push_back({s, at + k, std::min<std::size_t>(storage::UNIT_SIZE, SIZES[s] - k)});
      at += SIZES[s];
    }
  }
  static u8* copy(int c) { return platform::nvWindow() + storage::COPY_OFFSET[static_cast<std::size_t>(c)]; }
  void open() {
    window.open(live.data(), shares, SIZE);
    marked.assign(units.size(), true);
    const storage::Found found = storage::locateImage(platform::nvWindow());
    for (std::size_t c = 0; c < committed.size(); ++c) committed[c] = found.wholeSize[c] == SIZE;
    first = found.copy == storage::COPY_B ? storage::COPY_A : storage::COPY_B;
  }
  // Marks bytes at..at + len - 1 of share s, as a change of them would.
  void markBytes(std::size_t s, std::size_t at, std::size_t len) {
    marks[s].setBytes(live.data() + shares[s].offset + at, len);
    for (std::size_t u = 0; u < units.size(); ++u)
      if (units[u].share == s && units[u].offset < shares[s].offset + at + len &&
          shares[s].offset + at < units[u].offset + units[u].size)
        marked[u] = true;
  }
  // The writes a save makes, (offset, length) in order: per copy, its record voided before the
  // first run of marked units that differ from it, each run, and its record when voided or torn.
  std::vector<std::pair<std::size_t, std::size_t>> expectedWrites() {
    std::vector<std::pair<std::size_t, std::size_t>> writes;
    if (std::find(marked.begin(), marked.end(), true) == marked.end()) return writes;
    for (int c : {first, first == storage::COPY_A ? storage::COPY_B : storage::COPY_A}) {
      const auto i = static_cast<std::size_t>(c);
      bool voided = false;
      for (std::size_t u = 0; u < units.size();) {
        auto differs = [&](std::size_t v) {
          return v < units.size() && marked[v] &&
                 std::memcmp(live.data() + units[v].offset, copy(c) + units[v].offset, units[v].size) != 0;
        };
        if (!differs(u)) {
          ++u;
          continue;
        }
        if (!voided) writes.emplace_back(storage::COMMIT_OFFSET[i], 4);
        voided = true;
        const std::size_t from = units[u].offset;
        while (differs(u)) ++u;
        writes.emplace_back(storage::COPY_OFFSET[i] + from, units[u - 1].offset + units[u - 1].size - from);
      }
      if (voided || !committed[i]) writes.emplace_back(storage::COMMIT_OFFSET[i], sizeof(storage::CommitRecord));
      committed[i] = true;
    }
    marked.assign(units.size(), false);
    return writes;
  }
};

}  // namespace

// Random changes under random marks (runs across the borders of the map's words, short last
// units, words that differ only in their first or last four bytes, the first or last word of a
// unit), over alike copies and over copies changed behind the window: every save writes what the
// reference says in the same order, leaves both copies holding the image, and each commit record
// carries the CRC-32 of its copy worked out from scratch.
TEST(BackupWindowTest, OnePassCompareAndCrcWritesWhatAUnitByUnitReferenceWrites) {
  host::resetMachine(false);
  static WideImage image;
  std::vector<std::pair<std::size_t, std::size_t>> writes;
  host::setNvWriteSink([](void* ctx, std::size_t offset, std::size_t len) {
    static_cast<std::vector<std::pair<std::size_t, std::size_t>>*>(ctx)->emplace_back(offset, len);
  }, &writes);
  std::mt19937 rng(1729);
  for (u8& b : image.live) b = static_cast<u8>(rng());
  image.open();
  const std::size_t nUnits = image.units.size();
  auto change = [&](std::size_t u) {  // one word of unit u, in part or whole
    const WideImage::Unit& unit = image.units[u];
    const std::size_t words = unit.size / 8, pick = rng() % 4;
    const std::size_t word = pick == 0 ? 0 : pick == 1 ? words - 1 : rng() % words;
    u8* p = image.live.data() + unit.offset + 8 * word;
    switch (rng() % 4) {
      case 0: p[rng() % 4] ^= static_cast<u8>(1 + rng() % 255); break;      // first four bytes only
      case 1: p[4 + rng() % 4] ^= static_cast<u8>(1 + rng() % 255); break;  // last four bytes only
      case 2: p[rng() % 8] ^= 0x80; break;
      default: for (int k = 0; k < 8; ++k) p[k] ^= static_cast<u8>(1 + rng() % 255);
    }
  };
  for (int round = 0; round < 600; ++round) {
    if (round % 100 == 99) {  // a start over copies changed behind the window, one or both, a record torn
      for (int k = 0; k < 30; ++k) WideImage::copy(storage::COPY_B)[rng() % WideImage::SIZE] ^= 0x5A;
      if (round % 200 == 199)
        for (int k = 0; k < 30; ++k) WideImage::copy(storage::COPY_A)[rng() % WideImage::SIZE] ^= 0xA5;
      if (round % 300 == 299) platform::nvWindow()[storage::COMMIT_OFFSET[storage::COPY_B] + 9] ^= 1;
      image.open();
    }
    const int edits = static_cast<int>(rng() % 6);
    for (int e = 0; e < edits; ++e) {
      switch (rng() % 4) {
        case 0: {  // a run of units across a border of the map's words, some of them changed
          const std::size_t border = 64 * (1 + rng() % ((nUnits - 1) / 64));
          const std::size_t from = border - rng() % 4, to = std::min(nUnits - 1, border + rng() % 4);
          for (std::size_t u = from; u <= to; ++u) {
            if (rng() % 2 != 0) change(u);
            image.markBytes(image.units[u].share, image.units[u].offset - image.shares[image.units[u].share].offset,
                            image.units[u].size);
          }
          break;
        }
        case 1: {  // a whole share, a few of its units changed
          const std::size_t s = rng() % WideImage::SIZES.size();
          image.marks[s].setAll();
          for (std::size_t u = 0; u < nUnits; ++u)
            if (image.units[u].share == s) {
              image.marked[u] = true;
              if (rng() % 3 == 0) change(u);
            }
          break;
        }
        default: {  // a few bytes of one unit, changed or not
          const std::size_t u = rng() % nUnits;
          if (rng() % 4 != 0) change(u);
          const WideImage::Unit& unit = image.units[u];
          const std::size_t at = unit.offset - image.shares[unit.share].offset + rng() % unit.size;
          image.markBytes(unit.share, at, 1 + rng() % 8);
        }
      }
    }
    const auto expected = image.expectedWrites();
    writes.clear();
    image.window.save(image.live.data());
    ASSERT_EQ(writes, expected) << "round " << round;
    for (int c : {storage::COPY_A, storage::COPY_B}) {
      ASSERT_TRUE(std::equal(image.live.begin(), image.live.end(), WideImage::copy(c))) << "round " << round;
      storage::CommitRecord r;
      std::memcpy(&r, platform::nvWindow() + storage::COMMIT_OFFSET[static_cast<std::size_t>(c)], sizeof r);
      ASSERT_TRUE(storage::isCommitRecord(r, c)) << "round " << round;
      ASSERT_EQ(r.size, WideImage::SIZE);
      ASSERT_EQ(r.crc, storage::crc32(WideImage::copy(c), WideImage::SIZE)) << "round " << round << ", copy " << c;
      ASSERT_EQ(image.window.copyCrc(c), r.crc);
    }
  }
  host::setNvWriteSink(nullptr, nullptr);
}

// A mark of units first..last sets exactly those bits of the map, whether they lie in one word of
// it, two, or span whole words between.
TEST(BackupWindowTest, MarkSetsExactlyItsUnitsInOneOrManyWordsOfTheMap) {
  static storage::PendingUnits pending;
  std::vector<bool> reference(storage::PendingUnits::N_WORDS * 64);
  std::mt19937 rng(64);
  for (int round = 0; round < 2000; ++round) {
    if (round % 7 == 0) {
      pending.clear();
      reference.assign(reference.size(), false);
    }
    const std::size_t first = rng() % storage::MAX_UNITS;
    const std::size_t longest = std::array<std::size_t, 4>{1, 3, 70, 300}[rng() % 4];
    const std::size_t last = std::min(storage::MAX_UNITS - 1, first + rng() % longest);
    pending.mark(first, last);
    for (std::size_t u = first; u <= last; ++u) reference[u] = true;
    ASSERT_TRUE(pending.any());
    for (std::size_t w = 0; w < storage::PendingUnits::N_WORDS; ++w) {
      u64 bits = 0;
      for (std::size_t k = 0; k < 64; ++k) bits |= u64{reference[w * 64 + k]} << k;
      ASSERT_EQ(pending.word(w), bits) << "round " << round << ", units " << first << ".." << last << ", word " << w;
    }
  }
}
