// Non-volatile storage of the backup image: read at start-up, saved by DMA after each field, so
// that a power cut at any byte of a save leaves one complete image that is known to be complete.
//
// The window (NV_SIZE bytes) holds two copies of the image and one commit record per copy:
//
//   0x00000  copy A: the image as it always lay here (magic, layout version, the shares), so that
//            a window saved before commit records were kept still resumes
//   0x10000  copy B: the same image, byte for byte
//   0x1FFC0  commit record of copy A (32 bytes)
//   0x1FFE0  commit record of copy B (32 bytes)
//
// A commit record says how many bytes its copy has, the CRC-32 of those bytes and the sequence
// number of the save that completed it; its own CRC-32 tells a torn record from a whole one. A
// save writes one copy after the other: it voids the copy's commit record, writes the parts that
// differ, then writes the new commit record, and it begins with the copy that is not the
// newest whole one. So while one copy is being written the other is whole and its commit record
// says so. Resume takes the newest copy whose commit record and CRC hold; a window without any
// whole commit record is an image of the old kind and is taken from copy A as it stands.
#pragma once
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>

#include "Lib/Include/kz_types.h"
#include "Platform/platform.h"

namespace storage {
// The non-volatile window of the memory map.
constexpr std::size_t NV_SIZE = platform::NV_SIZE;

constexpr int N_COPIES = 2;
constexpr int COPY_A = 0;  // at offset 0, where images were always saved
constexpr int COPY_B = 1;
constexpr std::array<std::size_t, N_COPIES> COPY_OFFSET = {0x00000, 0x10000};
constexpr std::size_t COMMIT_AREA = 0x1FFC0;
constexpr std::size_t COPY_CAPACITY = COMMIT_AREA - COPY_OFFSET[COPY_B];  // bytes one copy may have

constexpr u32 COMMIT_MAGIC = 0x436F6D31;

// Words as in memory, like the image header.
struct CommitRecord {
  u32 magic;
  u32 copy;      // COPY_A or COPY_B: a record found in the other slot is not this copy's
  u32 sequence;  // of the save that completed the copy
  u32 size;      // bytes of the copy
  u32 crc;       // CRC-32 of those bytes
  u32 reserved;
  u32 reserved2;
  u32 check;  // CRC-32 of the 28 bytes before it
};
static_assert(sizeof(CommitRecord) == 32);
constexpr std::array<std::size_t, N_COPIES> COMMIT_OFFSET = {COMMIT_AREA, COMMIT_AREA + sizeof(CommitRecord)};
static_assert(COMMIT_OFFSET[COPY_B] + sizeof(CommitRecord) == NV_SIZE);

// CRC-32 (reflected polynomial 0xEDB88320, as zlib and Ethernet), continued from crc.
u32 crc32(const u8* p, std::size_t len, u32 crc = 0);
// The CRC-32 of a run of `len` bytes followed by nothing, as an operator for crc32Combine.
u32 crc32Shift(std::size_t len);
// The CRC-32 of A followed by B from the CRC-32 of each and the shift of B's length.
u32 crc32Combine(u32 crcA, u32 crcB, u32 shiftB);

// A commit record of `copy` that is whole: its magic, its slot and its own CRC hold.
bool isCommitRecord(const CommitRecord& r, int copy);
// The commit record as the save writes it.
CommitRecord makeCommitRecord(int copy, u32 sequence, u32 size, u32 crc);

// The image is saved in units: each share cut into pieces of UNIT_SIZE bytes from its own start
// (its last piece shorter), so that a change costs the pieces it touched, never a whole share,
// and a piece is always one share's.
constexpr std::size_t UNIT_SIZE = 64;
constexpr std::size_t MAX_SHARES = 256;
constexpr std::size_t MAX_UNITS = COPY_CAPACITY / UNIT_SIZE + MAX_SHARES;  // each share's last piece may be short

// The units that some copy in the window may not hold as they stand: set wherever the image may
// change, cleared by the save that leaves both copies holding them.
class PendingUnits {
 public:
  // Units first..last, both included.
  void mark(std::size_t first, std::size_t last) {
    const std::size_t firstWord = first / 64, lastWord = last / 64;
    const u64 from = ~u64{0} << (first % 64), to = ~u64{0} >> (63 - last % 64);
    if (firstWord == lastWord) [[likely]] {
      words_[firstWord] |= from & to;  // a few bytes, a unit or two: nearly every mark
    } else {
      words_[firstWord] |= from;
      for (std::size_t w = firstWord + 1; w < lastWord; ++w) words_[w] = ~u64{0};
      words_[lastWord] |= to;
    }
    any_ = true;
  }
  // The units of `bits` in word w of the map (unit 64 w + k for bit k).
  void markWord(std::size_t w, u64 bits) {
    words_[w] |= bits;
    any_ = true;
  }
  bool marked(std::size_t unit) const { return (words_[unit / 64] >> (unit % 64) & 1) != 0; }
  // Word w of the map (units 64 w to 64 w + 63).
  static constexpr std::size_t N_WORDS = (MAX_UNITS + 63) / 64;
  u64 word(std::size_t w) const { return words_[w]; }
  bool any() const { return any_; }
  void clear() {
    words_.fill(0);
    any_ = false;
  }

 private:
  std::array<u64, N_WORDS> words_{};
  bool any_ = false;
};

// The marks of one share: where its bytes and units lie. Until the window lays the image out (and
// for an object without a share) it marks nothing; the save after a layout takes every unit anyway.
class ShareMarks {
 public:
  // The whole share may have changed.
  void setAll() {
    if (wholeBits_ != 0) {
      pending_->markWord(wholeWord_, wholeBits_);  // frequent: most shares lie in one word of the map
    } else if (count_ != 0) {
      pending_->mark(first_, first_ + count_ - 1);
    }
  }
  // The `len` bytes at p may have changed; only those of them that lie in the share are its own.
  void setBytes(const void* p, std::size_t len) {
    const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(p) - reinterpret_cast<std::uintptr_t>(base_);
    if (at >= size_ || len == 0) return;  // wraps round when p lies before the share
    const std::size_t end = at + len < size_ ? at + len : size_;
    pending_->mark(first_ + at / UNIT_SIZE, first_ + (end - 1) / UNIT_SIZE);
  }
  // Whether some unit of the share is marked.
  bool any() const {
    for (std::size_t u = first_; u < first_ + count_; ++u)
      if (pending_->marked(u)) return true;
    return false;
  }
  // The share's bytes in the live image and its units among the pending ones; size 0 detaches.
  void attach(PendingUnits* pending, const u8* base, std::size_t size, std::size_t firstUnit) {
    pending_ = pending;
    base_ = base;
    size_ = static_cast<u32>(size);
    first_ = static_cast<u16>(firstUnit);
    count_ = static_cast<u16>((size + UNIT_SIZE - 1) / UNIT_SIZE);
    const std::size_t last = firstUnit + count_ - 1;
    const bool oneWord = count_ != 0 && firstUnit / 64 == last / 64;
    wholeWord_ = static_cast<u16>(firstUnit / 64);
    wholeBits_ = oneWord ? (~u64{0} << (firstUnit % 64)) & (~u64{0} >> (63 - last % 64)) : 0;
  }
  std::size_t firstUnit() const { return first_; }
  std::size_t units() const { return count_; }

 private:
  PendingUnits* pending_ = nullptr;
  const u8* base_ = nullptr;
  u32 size_ = 0;
  u16 first_ = 0;
  u16 count_ = 0;
  u16 wholeWord_ = 0;  // when the share's units lie in one word of the map: that word and its bits
  u64 wholeBits_ = 0;
};
static_assert(MAX_UNITS <= 0xFFFF);

// One share of the image: bytes [offset, offset + size) of every copy.
struct Share {
  u32 offset;
  u32 size;
  ShareMarks* marks;
};

// What a window holds.
struct Found {
  const u8* image = nullptr;   // the copy to resume from; nullptr: none
  bool commitRecords = false;  // some commit record is whole
  int copy = -1;               // the copy of `image` (COPY_A for an image of the old kind)
  u32 sequence = 0;            // the highest of the whole commit records
  std::array<u32, N_COPIES> wholeSize{};  // bytes of each copy whose record and CRC hold, else 0
};
// Reads a window of NV_SIZE bytes (the non-volatile one, or a file's copy of it).
Found locateImage(const u8* window);

class BackupWindow {
 public:
  static constexpr std::size_t MAX_SHARES = storage::MAX_SHARES;

  // Reads the window for the live image at `live`, laid out as `shares` (in offset order, together
  // covering [0, size) of the image): which copy to resume from and what each copy holds now.
  // Points each share's marks at its bytes and units, and marks every unit: what the copies hold
  // is not known unit by unit, so the first save compares each unit with each copy (with the
  // first only, when both copies hold the same bytes).
  Found open(const u8* live, std::span<const Share> shares, std::size_t size);
  // Writes every marked unit that differs from what a copy holds, copy by copy, and commits each
  // copy it changed. Writes and compares nothing when nothing is marked.
  void save(const u8* live);
  // Host checks only (never in the field cycle): calls report(share, copy) once for every share
  // with an unmarked unit whose bytes in `live` differ from that copy in the window.
  template <class Fn>
  void forEachUnmarkedChange(const u8* live, Fn report) const {
    for (std::size_t s = 0; s < nShares_; ++s)
      for (int c = 0; c < N_COPIES; ++c) {
        const ShareMarks& marks = *shares_[s].marks;
        for (std::size_t u = marks.firstUnit(); u < marks.firstUnit() + marks.units(); ++u)
          if (!pending_.marked(u) && differs(live, u, c)) {
            report(s, c);
            break;
          }
      }
  }
  std::span<const Share> shares() const { return {shares_.data(), nShares_}; }
  // The CRC-32 that the commit record of a copy would carry now: that of its bytes in the window.
  u32 copyCrc(int copy) const { return copyCrc_[static_cast<std::size_t>(copy)]; }

 private:
  std::size_t unitSize(std::size_t unit) const { return unitOffset_[unit + 1] - unitOffset_[unit]; }
  bool differs(const u8* live, std::size_t unit, int copy) const;
  // Compares every pending unit with the copy, writes those that differ and commits the copy;
  // whether it wrote the commit record. While both copies hold the same bytes it keeps the runs
  // of units it wrote, for repeatCopy.
  bool saveCopy(const u8* live, int copy, u32 sequence);
  // Writes the runs of units the first copy of the save took to the copy and commits it, its CRC
  // already known: for the second copy of a save when it held what the first one did.
  bool repeatCopy(const u8* live, int copy, u32 sequence);
  void voidCommit(std::size_t copy);
  bool commit(std::size_t copy, u32 sequence);

  std::array<Share, MAX_SHARES> shares_{};
  std::size_t nShares_ = 0;
  std::size_t size_ = 0;
  PendingUnits pending_;
  // Where each unit starts, and after the last one the image's size.
  std::array<u32, MAX_UNITS + 1> unitOffset_{};
  // x^(8 n) for the n bytes of the image after each unit: what a change within the unit is
  // multiplied by to bring it to the copy's CRC.
  std::array<u32, MAX_UNITS> unitShift_{};
  // The CRC-32 of each copy's bytes as the window holds them, kept up to date by every write, so
  // that a save reads no more than the units it compares.
  std::array<u32, N_COPIES> copyCrc_{};
  std::array<bool, N_COPIES> committed_{};  // the copy is whole and its commit record says so
  // Both copies hold the same bytes: true when open finds them alike, and from the end of the
  // first save after open, which compares every unit with each copy, since every save then writes
  // both alike.
  bool twins_ = false;
  // The runs of units (first and last) that the first copy of a save took while both copies held
  // the same bytes, in unit order. Two runs never touch: at most one per two units.
  std::array<std::array<u16, 2>, (MAX_UNITS + 1) / 2> runs_{};
  std::size_t nRuns_ = 0;
  int first_ = COPY_B;                      // the copy a save writes first: not the newest whole one
  u32 sequence_ = 0;                        // of the newest commit record seen or written
};
}  // namespace storage
