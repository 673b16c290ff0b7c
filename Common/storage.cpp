#include "Common/storage.h"

#include <cstring>

#include "Common/assert.h"
#include "Platform/platform.h"

KZ_SOURCE("Common/storage");

namespace storage {

namespace {

constexpr u32 POLY = 0xEDB88320;

constexpr std::array<u32, 256> makeTable() {
  std::array<u32, 256> t{};
  for (u32 i = 0; i < 256; ++i) {
    u32 c = i;
    for (int k = 0; k < 8; ++k) c = c & 1 ? (c >> 1) ^ POLY : c >> 1;
    t[i] = c;
  }
  return t;
}
constexpr std::array<u32, 256> CRC_TABLE = makeTable();

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

const u8* windowAt(std::size_t offset) { return platform::nvWindow() + offset; }

std::size_t at(int copy) { return COPY_OFFSET[static_cast<std::size_t>(copy)]; }

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
  for (std::size_t i = 0; i < len; ++i) crc = CRC_TABLE[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

u32 crc32Shift(std::size_t len) {
  // x^(8 len): one factor per set bit of the bit count.
  u32 p = 1u << 31;  // x^0
  std::size_t n = len;
  for (unsigned k = 3; n != 0; n >>= 1, ++k)
    if (n & 1) p = multiplyModP(X_POWERS[k & 31], p);
  return p;
}

u32 crc32Combine(u32 crcA, u32 crcB, u32 shiftB) { return multiplyModP(shiftB, crcA) ^ crcB; }

bool BackupWindow::differs(const u8* live, const Share& share, int copy) {
  return std::memcmp(live + share.offset, windowAt(COPY_OFFSET[static_cast<std::size_t>(copy)] + share.offset),
                     share.size) != 0;
}

Found BackupWindow::open(std::span<const Share> shares, std::size_t size) {
  KZ_CHECK(shares.size() <= MAX_SHARES);
  KZ_CHECK(size <= COPY_CAPACITY);
  nShares_ = shares.size();
  size_ = size;
  for (std::size_t s = 0; s < nShares_; ++s) shares_[s] = shares[s];
  for (int c = 0; c < N_COPIES; ++c)
    for (std::size_t s = 0; s < nShares_; ++s)
      shareCrc_[static_cast<std::size_t>(c)][s] =
          crc32(windowAt(COPY_OFFSET[static_cast<std::size_t>(c)] + shares_[s].offset), shares_[s].size);

  const Found found = locateImage(platform::nvWindow());
  for (int c = 0; c < N_COPIES; ++c) committed_[static_cast<std::size_t>(c)] = found.wholeSize[static_cast<std::size_t>(c)] == size;
  // A later save must outnumber every whole commit record, even one whose copy is damaged.
  sequence_ = found.sequence;
  first_ = found.copy == COPY_B ? COPY_A : COPY_B;
  return found;
}

Found locateImage(const u8* window) {
  Found found;
  u32 newestSequence = 0;
  for (int c = 0; c < N_COPIES; ++c) {
    CommitRecord r;
    std::memcpy(&r, window + COMMIT_OFFSET[static_cast<std::size_t>(c)], sizeof r);
    if (!isCommitRecord(r, c)) continue;
    if (!found.commitRecords || newer(r.sequence, found.sequence)) found.sequence = r.sequence;
    found.commitRecords = true;
    if (r.size == 0 || r.size > COPY_CAPACITY || crc32(window + at(c), r.size) != r.crc) continue;
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
  bool any = false;
  for (std::size_t s = 0; s < nShares_ && !any; ++s) any = shares_[s].marks->bits != 0;
  if (!any) return;
  // Both copies of one save carry the same number: they hold the same image.
  const u32 sequence = sequence_ + 1;
  const bool first = saveCopy(live, first_, sequence);
  if (saveCopy(live, first_ == COPY_A ? COPY_B : COPY_A, sequence) || first) sequence_ = sequence;
}

bool BackupWindow::saveCopy(const u8* live, int copy, u32 sequence) {
  const auto c = static_cast<std::size_t>(copy);
  bool voided = false;
  for (std::size_t s = 0; s < nShares_; ++s) {
    Share& share = shares_[s];
    if (!share.marks->marked(copy)) continue;
    share.marks->clear(copy);
    if (!differs(live, share, copy)) continue;
    if (!voided) {
      // From here until its new record is written this copy is not whole; the other one is.
      static constexpr u32 VOID = 0;
      platform::dmaToNv(COMMIT_OFFSET[c], reinterpret_cast<const u8*>(&VOID), sizeof VOID);
      committed_[c] = false;
      voided = true;
    }
    platform::dmaToNv(COPY_OFFSET[c] + share.offset, live + share.offset, share.size);
    shareCrc_[c][s] = crc32(live + share.offset, share.size);
  }
  if (committed_[c]) return false;
  u32 crc = 0;
  for (std::size_t s = 0; s < nShares_; ++s) crc = crc32Combine(crc, shareCrc_[c][s], shares_[s].shift);
  const CommitRecord r = makeCommitRecord(copy, sequence, static_cast<u32>(size_), crc);
  platform::dmaToNv(COMMIT_OFFSET[c], reinterpret_cast<const u8*>(&r), sizeof r);
  committed_[c] = true;
  return true;
}

}  // namespace storage
