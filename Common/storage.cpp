#include "Common/storage.h"

#include <bit>
#include <cstring>
#include <memory>

#include "Common/assert.h"
#include "Platform/platform.h"

KZ_SOURCE("Common/storage");

namespace storage {

namespace {

constexpr u32 POLY = 0xEDB88320;

// Slice k gives the CRC register's change from a byte followed by k zero bytes; slice 0 is the
// byte-at-a-time table. Plain arrays: a look-up is an indexed load, with no accessor call in
// between wherever the code is built without inlining.
struct CrcTables {
  u32 slice[8][256];
};
constexpr CrcTables makeTables() {
  CrcTables t{};
  for (u32 i = 0; i < 256; ++i) {
    u32 c = i;
    for (int k = 0; k < 8; ++k) c = c & 1 ? (c >> 1) ^ POLY : c >> 1;
    t.slice[0][i] = c;
  }
  for (std::size_t k = 1; k < 8; ++k)
    for (std::size_t i = 0; i < 256; ++i)
      t.slice[k][i] = (t.slice[k - 1][i] >> 8) ^ t.slice[0][t.slice[k - 1][i] & 0xFF];
  return t;
}
constexpr CrcTables CRC_SLICES = makeTables();
constexpr const u32 (&CRC_TABLES)[8][256] = CRC_SLICES.slice;
constexpr const u32 (&CRC_TABLE)[256] = CRC_TABLES[0];

// The CRC register (no pre- or post-inversion) continued over the eight bytes of w, w loaded from
// memory as it lies.
u32 crcOfWord(u32 crc, u64 w) {
  if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);  // bytes in memory order
  const u32 lo = static_cast<u32>(w) ^ crc, hi = static_cast<u32>(w >> 32);
  return CRC_TABLES[7][lo & 0xFF] ^ CRC_TABLES[6][(lo >> 8) & 0xFF] ^ CRC_TABLES[5][(lo >> 16) & 0xFF] ^
         CRC_TABLES[4][lo >> 24] ^ CRC_TABLES[3][hi & 0xFF] ^ CRC_TABLES[2][(hi >> 8) & 0xFF] ^
         CRC_TABLES[1][(hi >> 16) & 0xFF] ^ CRC_TABLES[0][hi >> 24];
}

// a(x) * b(x) modulo the polynomial, in the reflected bit order of the CRC; a is never 0 here.
constexpr u32 multiplyModP(u32 a, u32 b) {
  u32 m = 1u << 31, p = 0;
  for (;;) {
    if (a & m) {
      p ^= b;
      if ((a & (m - 1)) == 0) break;
    }
    m >>= 1;
    b = b & 1 ? (b >> 1) ^ POLY : b >> 1;
  }
  return p;
}

// The product x^4 p: the four low bits shifted out come back reduced.
constexpr std::array<u32, 16> makeNibbleReductions() {
  std::array<u32, 16> t{};
  for (u32 n = 0; n < 16; ++n) {
    u32 c = n;
    for (int k = 0; k < 4; ++k) c = c & 1 ? (c >> 1) ^ POLY : c >> 1;
    t[n] = c;
  }
  return t;
}
constexpr std::array<u32, 16> NIBBLE_REDUCTIONS = makeNibbleReductions();

constexpr u32 timesX(u32 p) { return p & 1 ? (p >> 1) ^ POLY : p >> 1; }

// The same product as multiplyModP, four bits of b a step: what a save pays once per run of
// changed units, where a bit at a time costs several times as much.
constexpr u32 multiplyByNibbles(u32 a, u32 b) {
  // The products of a with every polynomial of degree below 4 (bit 3 of the index is x^0).
  std::array<u32, 16> t{};
  t[8] = a;
  t[4] = timesX(t[8]);
  t[2] = timesX(t[4]);
  t[1] = timesX(t[2]);
  // Every other entry is the sum of those of its bits, each built from one with a bit less.
  t[3] = t[2] ^ t[1];
  t[5] = t[4] ^ t[1];
  t[6] = t[4] ^ t[2];
  t[7] = t[6] ^ t[1];
  t[9] = t[8] ^ t[1];
  t[10] = t[8] ^ t[2];
  t[11] = t[10] ^ t[1];
  t[12] = t[8] ^ t[4];
  t[13] = t[12] ^ t[1];
  t[14] = t[12] ^ t[2];
  t[15] = t[14] ^ t[1];
  // Horner's rule from the highest powers of b, the low bits of the word.
  u32 p = 0;
#pragma GCC unroll 8
  for (unsigned s = 0; s < 32; s += 4) p = (p >> 4) ^ NIBBLE_REDUCTIONS[p & 0xF] ^ t[(b >> s) & 0xF];
  return p;
}
static_assert(multiplyByNibbles(0x9E3779B9u, 0x12345678u) == multiplyModP(0x9E3779B9u, 0x12345678u));
static_assert(multiplyByNibbles(0x80000000u, 0xDEADBEEFu) == 0xDEADBEEFu);  // x^0 times b
static_assert(multiplyByNibbles(0x00000001u, 0xFFFFFFFFu) == multiplyModP(0x00000001u, 0xFFFFFFFFu));
static_assert(multiplyByNibbles(0xFFFFFFFFu, 0x00000001u) == multiplyModP(0xFFFFFFFFu, 0x00000001u));

// x^(2^k) modulo the polynomial, k = 0..31.
constexpr std::array<u32, 32> makePowers() {
  std::array<u32, 32> t{};
  u32 p = 1u << 30;  // x^1
  for (auto& v : t) {
    v = p;
    p = multiplyModP(p, p);
  }
  return t;
}
constexpr std::array<u32, 32> X_POWERS = makePowers();

// x^(8 len): one factor per set bit of the bit count.
constexpr u32 shiftOf(std::size_t len) {
  u32 p = 1u << 31;  // x^0
  std::size_t n = len;
  for (unsigned k = 3; n != 0; n >>= 1, ++k)
    if (n & 1) p = multiplyModP(X_POWERS[k & 31], p);
  return p;
}

// The product with the shift of a whole unit, byte by byte of the other factor: the product is
// linear in it, so that of a word is the XOR of those of its four bytes, each in place.
constexpr std::array<std::array<u32, 256>, 4> makeUnitShiftTables() {
  std::array<std::array<u32, 256>, 4> t{};
  const u32 unitShift = shiftOf(UNIT_SIZE);
  for (std::size_t j = 0; j < 4; ++j)
    for (u32 v = 0; v < 256; ++v) t[j][v] = multiplyModP(unitShift, v << (8 * j));
  return t;
}
constexpr std::array<std::array<u32, 256>, 4> UNIT_SHIFT_TABLES = makeUnitShiftTables();

u32 timesUnitShift(u32 b) {
  return UNIT_SHIFT_TABLES[0][b & 0xFF] ^ UNIT_SHIFT_TABLES[1][(b >> 8) & 0xFF] ^
         UNIT_SHIFT_TABLES[2][(b >> 16) & 0xFF] ^ UNIT_SHIFT_TABLES[3][b >> 24];
}
static_assert(multiplyModP(shiftOf(UNIT_SIZE), 0x12345678u) ==
              (UNIT_SHIFT_TABLES[0][0x78] ^ UNIT_SHIFT_TABLES[1][0x56] ^ UNIT_SHIFT_TABLES[2][0x34] ^
               UNIT_SHIFT_TABLES[3][0x12]));

const u8* windowAt(std::size_t offset) { return platform::nvWindow() + offset; }

std::size_t at(int copy) { return COPY_OFFSET[static_cast<std::size_t>(copy)]; }

u64 loadWord(const u8* p) {
  u64 w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

// The same for a word of the image or the window: both lie at 8-byte boundaries (open checks it) and
// so does every unit of them, so the board loads it whole rather than a byte at a time.
u64 loadAlignedWord(const u8* p) { return loadWord(std::assume_aligned<sizeof(u64)>(p)); }

// The CRC register (no pre- or post-inversion) continued over the eight bytes of a difference d
// (loaded from memory as it lies).
inline u32 crcOfDifferenceWord(u32 crc, u64 d) {
  if constexpr (std::endian::native == std::endian::big) d = __builtin_bswap64(d);  // bytes in memory order
  const u32 lo = static_cast<u32>(d) ^ crc, hi = static_cast<u32>(d >> 32);
  crc = CRC_TABLES[7][lo & 0xFF] ^ CRC_TABLES[6][(lo >> 8) & 0xFF] ^ CRC_TABLES[5][(lo >> 16) & 0xFF] ^
        CRC_TABLES[4][lo >> 24];
  // A change seldom fills a word: where its later four bytes are equal they add nothing.
  if (hi != 0)
    crc ^= CRC_TABLES[3][hi & 0xFF] ^ CRC_TABLES[2][(hi >> 8) & 0xFF] ^ CRC_TABLES[1][(hi >> 16) & 0xFF] ^
           CRC_TABLES[0][hi >> 24];
  return crc;
}

constexpr std::size_t UNIT_WORDS = UNIT_SIZE / sizeof(u64);

// The difference of the word at a and b k words from the unit's end.
inline u64 differenceWord(const u8* aEnd, const u8* bEnd, std::size_t k) {
  return loadAlignedWord(aEnd - k * sizeof(u64)) ^ loadAlignedWord(bEnd - k * sizeof(u64));
}

// One pass over a unit of n bytes (a multiple of 8, at most UNIT_SIZE) at a and b: whether they
// differ, and when they do, crc continued over their difference (a XOR b). A unit that continues a
// run of differing units continues its register; any other starts one at 0, at its first word
// that differs, since equal words before it would leave the register at 0.
[[gnu::always_inline]] inline bool unitDifference(const u8* a, const u8* b, std::size_t n, bool continues, u32& crc) {
  // Words are counted from the unit's end, so that a short unit takes the last steps below.
  const u8* aEnd = a + n;
  const u8* bEnd = b + n;
  std::size_t k = n / sizeof(u64);  // words from the end of the first one to sum
  if (n == UNIT_SIZE) [[likely]] {
    u64 any = 0;
#pragma GCC unroll 8
    for (std::size_t i = UNIT_WORDS; i > 0; --i) any |= differenceWord(aEnd, bEnd, i);
    if (any == 0) return false;
    if (!continues) {
      crc = 0;
      while (differenceWord(aEnd, bEnd, k) == 0) --k;
    }
  } else {
    // A share's last unit, shorter.
    std::size_t i = k;
    while (i > 0 && differenceWord(aEnd, bEnd, i) == 0) --i;
    if (i == 0) return false;
    if (!continues) {
      crc = 0;
      k = i;
    }
  }
  // From word k before the end to the last, each step in line.
  switch (k) {
    case 8: crc = crcOfDifferenceWord(crc, differenceWord(aEnd, bEnd, 8)); [[fallthrough]];
    case 7: crc = crcOfDifferenceWord(crc, differenceWord(aEnd, bEnd, 7)); [[fallthrough]];
    case 6: crc = crcOfDifferenceWord(crc, differenceWord(aEnd, bEnd, 6)); [[fallthrough]];
    case 5: crc = crcOfDifferenceWord(crc, differenceWord(aEnd, bEnd, 5)); [[fallthrough]];
    case 4: crc = crcOfDifferenceWord(crc, differenceWord(aEnd, bEnd, 4)); [[fallthrough]];
    case 3: crc = crcOfDifferenceWord(crc, differenceWord(aEnd, bEnd, 3)); [[fallthrough]];
    case 2: crc = crcOfDifferenceWord(crc, differenceWord(aEnd, bEnd, 2)); [[fallthrough]];
    default: crc = crcOfDifferenceWord(crc, differenceWord(aEnd, bEnd, 1));
  }
  return true;
}
static_assert(UNIT_WORDS == 8);

// Whether the 64 bytes at a and b differ: the compare alone, for bytes that are mostly equal.
inline bool blockDiffers(const u8* a, const u8* b) {
  u64 any = 0;
#pragma GCC unroll 8
  for (std::size_t i = 0; i < UNIT_SIZE; i += sizeof(u64)) any |= loadAlignedWord(a + i) ^ loadAlignedWord(b + i);
  return any != 0;
}

// The first of units unit..end - 1 (unit u starting at unitOffset[u]) whose bytes at a and b
// differ; end when none does. The bytes are compared 64 at a time whatever units they lie in, and
// the first word that differs tells the unit.
[[gnu::noinline]] std::size_t firstDifferingUnit(const u32* unitOffset, const u8* a, const u8* b, std::size_t unit,
                                                 std::size_t end) {
  const std::size_t stop = unitOffset[end];
  std::size_t at = unitOffset[unit];
  for (; stop - at >= UNIT_SIZE; at += UNIT_SIZE)
    if (blockDiffers(a + at, b + at)) break;
  for (;; at += sizeof(u64)) {
    if (at == stop) return end;
    if (loadAlignedWord(a + at) != loadAlignedWord(b + at)) break;
  }
  while (unitOffset[unit + 1] <= at) ++unit;
  return unit;
}

bool newer(u32 a, u32 b) { return static_cast<i32>(a - b) > 0; }

u32 commitCheck(const CommitRecord& r) {
  return crc32(reinterpret_cast<const u8*>(&r), offsetof(CommitRecord, check));
}

}  // namespace

bool isCommitRecord(const CommitRecord& r, int copy) {
  return r.magic == COMMIT_MAGIC && r.copy == static_cast<u32>(copy) && commitCheck(r) == r.check;
}

CommitRecord makeCommitRecord(int copy, u32 sequence, u32 size, u32 crc) {
  CommitRecord r{COMMIT_MAGIC, static_cast<u32>(copy), sequence, size, crc, 0, 0, 0};
  r.check = commitCheck(r);
  return r;
}

u32 crc32(const u8* p, std::size_t len, u32 crc) {
  crc = ~crc;
  // Eight bytes a step: every boot and resume runs this over whole copies of the image.
  const std::size_t words = len - len % sizeof(u64);
  for (std::size_t i = 0; i < words; i += sizeof(u64)) crc = crcOfWord(crc, loadWord(p + i));
  for (std::size_t i = words; i < len; ++i) crc = CRC_TABLE[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

u32 crc32Shift(std::size_t len) { return shiftOf(len); }

u32 crc32Combine(u32 crcA, u32 crcB, u32 shiftB) { return multiplyByNibbles(shiftB, crcA) ^ crcB; }

bool BackupWindow::differs(const u8* live, std::size_t unit, int copy) const {
  const std::size_t offset = unitOffset_[unit];
  return std::memcmp(live + offset, windowAt(at(copy) + offset), unitSize(unit)) != 0;
}

Found BackupWindow::open(const u8* live, std::span<const Share> shares, std::size_t size) {
  KZ_CHECK(shares.size() <= MAX_SHARES);
  KZ_CHECK(size <= COPY_CAPACITY);
  // A save loads the image (the one given here) and the copies eight bytes at a time from where
  // their units lie, at 8-byte boundaries.
  KZ_CHECK(reinterpret_cast<std::uintptr_t>(live) % sizeof(u64) == 0 &&
           reinterpret_cast<std::uintptr_t>(platform::nvWindow()) % sizeof(u64) == 0);
  nShares_ = shares.size();
  size_ = size;
  pending_.clear();
  std::size_t units = 0;
  std::size_t end = 0;
  for (std::size_t s = 0; s < nShares_; ++s) {
    const Share& share = shares_[s] = shares[s];
    // Whole words: a save compares and sums its units eight bytes at a time.
    KZ_CHECK(share.offset == end && share.size > 0 && share.size % sizeof(u64) == 0);
    const std::size_t count = (share.size + UNIT_SIZE - 1) / UNIT_SIZE;
    KZ_CHECK(units + count <= MAX_UNITS);
    share.marks->attach(&pending_, live + share.offset, share.size, units);
    for (std::size_t k = 0; k < count; ++k) unitOffset_[units++] = static_cast<u32>(share.offset + k * UNIT_SIZE);
    end = share.offset + share.size;
  }
  KZ_CHECK(end == size);
  unitOffset_[units] = static_cast<u32>(size);
  // From the last unit back: each unit's bytes are followed by those of the units after it.
  u32 shift = 1u << 31;  // x^0
  for (std::size_t u = units; u-- > 0;) {
    unitShift_[u] = shift;
    shift = unitSize(u) == UNIT_SIZE ? timesUnitShift(shift) : multiplyModP(crc32Shift(unitSize(u)), shift);
  }
  // What the copies hold is not known unit by unit: the first save compares every unit with each,
  // or, when both copies hold the same bytes, with the first and writes the same to the second.
  if (units > 0) pending_.mark(0, units - 1);
  twins_ = std::memcmp(windowAt(at(COPY_A)), windowAt(at(COPY_B)), size) == 0;

  const Found found = locateImage(platform::nvWindow());
  for (int c = 0; c < N_COPIES; ++c) {
    const auto i = static_cast<std::size_t>(c);
    committed_[i] = found.wholeSize[i] == size;
    if (committed_[i]) {
      CommitRecord r;
      std::memcpy(&r, windowAt(COMMIT_OFFSET[i]), sizeof r);
      copyCrc_[i] = r.crc;  // locateImage has just checked it against the copy
    } else if (c == COPY_B && twins_) {
      copyCrc_[i] = copyCrc_[COPY_A];  // the same bytes
    } else {
      copyCrc_[i] = crc32(windowAt(at(c)), size);
    }
  }
  // A later save must outnumber every whole commit record, even one whose copy is damaged.
  sequence_ = found.sequence;
  first_ = found.copy == COPY_B ? COPY_A : COPY_B;
  return found;
}

Found locateImage(const u8* window) {
  Found found;
  u32 newestSequence = 0;
  // The copy whose CRC was worked out last: a save leaves both copies alike, and when a record
  // claims the size and CRC of that copy and its own copy holds the same bytes, the answer is
  // known without running the CRC over them again.
  struct Checked {
    int copy = -1;
    u32 size = 0;
    u32 crc = 0;
    bool holds = false;
  } checked;
  for (int c = 0; c < N_COPIES; ++c) {
    CommitRecord r;
    std::memcpy(&r, window + COMMIT_OFFSET[static_cast<std::size_t>(c)], sizeof r);
    if (!isCommitRecord(r, c)) continue;
    if (!found.commitRecords || newer(r.sequence, found.sequence)) found.sequence = r.sequence;
    found.commitRecords = true;
    if (r.size == 0 || r.size > COPY_CAPACITY) continue;
    const bool asChecked = checked.copy >= 0 && checked.size == r.size && checked.crc == r.crc &&
                           std::memcmp(window + at(checked.copy), window + at(c), r.size) == 0;
    if (!asChecked) checked = {c, r.size, r.crc, crc32(window + at(c), r.size) == r.crc};
    if (!checked.holds) continue;
    found.wholeSize[static_cast<std::size_t>(c)] = r.size;
    // Both copies of one save carry its number: then copy A, where images always lay.
    if (found.copy < 0 || newer(r.sequence, newestSequence)) {
      found.copy = c;
      newestSequence = r.sequence;
    }
  }
  if (!found.commitRecords) found.copy = COPY_A;  // an image of the old kind, if its header says so
  if (found.copy >= 0) found.image = window + at(found.copy);
  return found;
}

void BackupWindow::save(const u8* live) {
  if (!pending_.any()) return;
  // Both copies of one save carry the same number: they hold the same image.
  const u32 sequence = sequence_ + 1;
  const int second = first_ == COPY_A ? COPY_B : COPY_A;
  bool committed = saveCopy(live, first_, sequence);
  if (twins_) {
    // The second copy held what the first did: the same units differ and the CRC changed alike.
    copyCrc_[static_cast<std::size_t>(second)] = copyCrc_[static_cast<std::size_t>(first_)];
    committed = repeatCopy(live, second, sequence) || committed;
  } else {
    committed = saveCopy(live, second, sequence) || committed;
    twins_ = true;  // every unit of each copy either was written now or already held the image
  }
  if (committed) sequence_ = sequence;
  pending_.clear();
}

void BackupWindow::voidCommit(std::size_t copy) {
  // From here until its new record is written this copy is not whole; the other one is.
  static constexpr u32 VOID = 0;
  platform::dmaToNv(COMMIT_OFFSET[copy], reinterpret_cast<const u8*>(&VOID), sizeof VOID);
  committed_[copy] = false;
}

bool BackupWindow::commit(std::size_t copy, u32 sequence) {
  if (committed_[copy]) return false;
  const CommitRecord r = makeCommitRecord(static_cast<int>(copy), sequence, static_cast<u32>(size_), copyCrc_[copy]);
  platform::dmaToNv(COMMIT_OFFSET[copy], reinterpret_cast<const u8*>(&r), sizeof r);
  committed_[copy] = true;
  return true;
}

bool BackupWindow::saveCopy(const u8* live, int copy, u32 sequence) {
  const auto c = static_cast<std::size_t>(copy);
  bool voided = false;
  // Adjacent units that differ are written as one run. The CRC is linear: the copy's CRC changes
  // by the CRC register (started at 0) of the bytes that differ, followed by as many zeros as the
  // image has after them; one register runs over each run, shifted once at its end.
  bool inRun = false;
  std::size_t runFirst = 0, runLast = 0;
  u32 runCrc = 0;
  // Writes units from..to, whose difference sums to crc, into the copy and brings its CRC along.
  auto writeRun = [this, c, live, &voided](std::size_t from, std::size_t to, u32 crc) {
    if (!voided) {
      voidCommit(c);
      voided = true;
    }
    const std::size_t offset = unitOffset_[from];
    platform::dmaToNv(COPY_OFFSET[c] + offset, live + offset, unitOffset_[to + 1] - offset);
    copyCrc_[c] ^= multiplyByNibbles(unitShift_[to], crc);
    if (twins_) {  // what the other copy takes too
      KZ_CHECK(nRuns_ < runs_.size());
      runs_[nRuns_++] = {static_cast<u16>(from), static_cast<u16>(to)};
    }
  };
  auto endRun = [&] {
    writeRun(runFirst, runLast, runCrc);
    inRun = false;
  };
  const u8* copyBytes = windowAt(COPY_OFFSET[c]);
  nRuns_ = 0;
  // Every marked unit in unit order, a run of neighbouring marked units at a time.
  for (std::size_t w = 0; w < PendingUnits::N_WORDS; ++w) {
    u64 bits = pending_.word(w);
    if (bits == 0) continue;
    // Where a word of the map marks 64 units (the first save after a start marks them all), one
    // compare of their bytes first: when none of them differs, they are passed by together as
    // each would be.
    if (bits == ~u64{0}) {
      const std::size_t from = unitOffset_[w * 64], to = unitOffset_[w * 64 + 64];
      if (std::memcmp(live + from, copyBytes + from, to - from) == 0) {
        if (inRun) endRun();
        continue;
      }
    }
    while (bits != 0) {
      const int from = std::countr_zero(bits);
      const u64 rest = ~(bits >> from);
      const int count = rest == 0 ? 64 - from : std::countr_zero(rest);
      const u64 run = (count == 64 ? ~u64{0} : (u64{1} << count) - 1) << from;
      bits &= ~run;
      const std::size_t first = w * 64 + static_cast<std::size_t>(from);
      const std::size_t end = first + static_cast<std::size_t>(count);
      // A run of writes goes on only into the unit right after it.
      if (inRun && first != runLast + 1) endRun();
      // While no run of writes is open, the units that do not differ are passed by, compared alone;
      // the one that differs opens a run, and from there each unit is compared and its difference
      // summed in one pass, while units differ.
      std::size_t unit = first;
      std::size_t offset = unitOffset_[first];
      for (;;) {
        if (!inRun) {
          unit = firstDifferingUnit(unitOffset_.data(), live, copyBytes, unit, end);
          if (unit == end) break;
          offset = unitOffset_[unit];
          const std::size_t next = unitOffset_[unit + 1];
          unitDifference(live + offset, copyBytes + offset, next - offset, false, runCrc);
          offset = next;
          inRun = true;
          runFirst = runLast = unit++;
        }
        for (;; ++unit) {
          if (unit == end) break;
          const std::size_t next = unitOffset_[unit + 1];
          const bool differs = unitDifference(live + offset, copyBytes + offset, next - offset, true, runCrc);
          offset = next;
          if (!differs) break;
          runLast = unit;
        }
        if (unit == end) break;  // the run may go on into the next marked unit
        endRun();
        ++unit;
      }
    }
  }
  if (inRun) endRun();
  return commit(c, sequence);
}

bool BackupWindow::repeatCopy(const u8* live, int copy, u32 sequence) {
  const auto c = static_cast<std::size_t>(copy);
  if (nRuns_ != 0) voidCommit(c);
  for (std::size_t r = 0; r < nRuns_; ++r) {
    const std::size_t offset = unitOffset_[runs_[r][0]];
    platform::dmaToNv(COPY_OFFSET[c] + offset, live + offset, unitOffset_[runs_[r][1] + 1] - offset);
  }
  return commit(c, sequence);
}

}  // namespace storage

