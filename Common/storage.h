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
// save writes one copy after the other: it voids the copy's commit record, writes the shares
// that differ, then writes the new commit record, and it begins with the copy that is not the
// newest whole one. So while one copy is being written the other is whole and its commit record
// says so. Resume takes the newest copy whose commit record and CRC hold; a window without any
// whole commit record is an image of the old kind and is taken from copy A as it stands.
#pragma once
#include <array>
#include <cstddef>
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

// Which copies do not yet hold a share as it stands: one bit per copy. Set wherever the share
// may change; cleared for a copy by the save that leaves that copy holding it.
struct ShareMarks {
  static constexpr u8 ALL = (1u << N_COPIES) - 1;
  u8 bits = 0;
  void setAll() { bits = ALL; }
  bool marked(int copy) const { return (bits >> copy & 1) != 0; }
  void clear(int copy) { bits = static_cast<u8>(bits & ~(1u << copy)); }
};

// One share of the image: bytes [offset, offset + size) of every copy.
struct Share {
  u32 offset;
  u32 size;
  u32 shift;  // crc32Shift(size)
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
  static constexpr std::size_t MAX_SHARES = 256;

  // Reads the window for a live image laid out as `shares` (in offset order, together covering
  // [0, size) of the image): which copy to resume from and what each copy holds now.
  Found open(std::span<const Share> shares, std::size_t size);
  // Writes every marked share that differs from what a copy holds, copy by copy, and commits
  // each copy it changed. Writes nothing when nothing is marked.
  void save(const u8* live);
  // Host checks only (never in the field cycle): calls report(share, copy) for every share whose
  // bytes in `live` differ from that copy in the window while it is not marked for that copy.
  template <class Fn>
  void forEachUnmarkedChange(const u8* live, Fn report) const {
    for (std::size_t s = 0; s < nShares_; ++s)
      for (int c = 0; c < N_COPIES; ++c)
        if (!shares_[s].marks->marked(c) && differs(live, shares_[s], c)) report(s, c);
  }
  std::span<const Share> shares() const { return {shares_.data(), nShares_}; }

 private:
  static bool differs(const u8* live, const Share& share, int copy);
  // Whether it wrote the copy's commit record.
  bool saveCopy(const u8* live, int copy, u32 sequence);

  std::array<Share, MAX_SHARES> shares_{};
  std::size_t nShares_ = 0;
  std::size_t size_ = 0;
  // The CRC-32 of every share as each copy holds it, so that a save computes the copy's CRC
  // from the shares it wrote alone.
  std::array<std::array<u32, MAX_SHARES>, N_COPIES> shareCrc_{};
  std::array<bool, N_COPIES> committed_{};  // the copy is whole and its commit record says so
  int first_ = COPY_B;                      // the copy a save writes first: not the newest whole one
  u32 sequence_ = 0;                        // of the newest commit record seen or written
};
}  // namespace storage
