// Memory shared with the System Manager's core: word-aligned access to the shared DDR region and
// the two framed-message byte rings.
#pragma once
#include <cstddef>

#include "Lib/Include/kz_types.h"
#include "Platform/platform.h"

class SharedMemory {
 public:
  static SharedMemory& instance();
  // offset from the start of the shared region; word-aligned, count a multiple of 4.
  void read(u32 offset, void* buffer, std::size_t count) const;
  void write(u32 offset, const void* buffer, std::size_t count);
  // The count bytes at offset in place (word-aligned, inside the region; asserted), for a caller
  // that reads and writes back the same bytes: one look-up, not one per access.
  static u8* bytes(u32 offset, std::size_t count);
  u32 readWord(u32 offset) const;
  void writeWord(u32 offset, u32 value);
};

// The bytes [offset, offset + nbyte) of a key source unit in place; nullptr (logged as
// readKeySourceMemory and writeKeySourceMemory log it) when they lie outside the units.
u8* keySourceBytes(u32 unitAdr, int offset, int nbyte);

// One byte ring in shared DDR: a write index and a read index (u32 each), then the data bytes.
// Empty when the indexes are equal; one byte always stays free so that full differs from empty.
class SystemManagerRing {
 public:
  static constexpr std::size_t DATA_SIZE = platform::SM_RING_DATA_SIZE;
  static_assert(platform::SM_TX_RING + 8 + DATA_SIZE <= platform::SM_RX_RING, "the rings overlap");

  explicit SystemManagerRing(u32 base) : base_(base) {}
  // The back-end's two ends: it writes the transmit ring and reads the receive ring.
  static SystemManagerRing& transmit();
  static SystemManagerRing& receive();

  std::size_t readable() const;
  std::size_t writable() const;
  // Takes up to max bytes. The first data ever taken from the receive ring since start-up logs
  // "Connected from System Manager".
  std::size_t read(u8* dst, std::size_t max);
  // Puts up to len bytes (as many as fit) and signals the other core; returns the count put.
  std::size_t write(const u8* src, std::size_t len);
  // Start-up: forget that the System Manager has been heard from.
  void resetConnection() { connected_ = false; }

  u32 writeIndex() const;
  u32 readIndex() const;

  // Writing in place: the data bytes, of which the writer may fill the writable() ones after the
  // write index (the other core reads none of them until the index moves), and then hand over
  // the first n of them, signalling the other core as write() does.
  u8* data() const;
  void handOver(std::size_t n);

 private:
  // The index words (write, read) and the data bytes, where they lie.
  struct InPlace {
    volatile u32* index;
    u8* data;
    u32 writeIndex() const;
    u32 readIndex() const;
    std::size_t readable() const;
  };
  InPlace inPlace() const;

  u32 base_;
  bool connected_ = false;
};
