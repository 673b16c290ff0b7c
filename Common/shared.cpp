#include "Common/shared.h"

#include <cstring>

#include "Common/assert.h"
#include "Common/log.h"
#include "Platform/platform.h"

KZ_SOURCE("Common/shared");

u8* SharedMemory::bytes(u32 offset, std::size_t count) {
  KZ_CHECK((offset & 3) == 0 && (count & 3) == 0);
  u8* p = platform::ddr(platform::SHARED_DDR_BASE + offset, count);
  KZ_CHECK(p != nullptr);
  return p;
}

SharedMemory& SharedMemory::instance() {
  static SharedMemory shared;
  return shared;
}

void SharedMemory::read(u32 offset, void* buffer, std::size_t count) const {
  std::memcpy(buffer, bytes(offset, count), count);
}

void SharedMemory::write(u32 offset, const void* buffer, std::size_t count) {
  std::memcpy(bytes(offset, count), buffer, count);
}

u32 SharedMemory::readWord(u32 offset) const {
  u32 v;
  read(offset, &v, 4);
  return v;
}

void SharedMemory::writeWord(u32 offset, u32 value) { write(offset, &value, 4); }

SystemManagerRing& SystemManagerRing::transmit() {
  static SystemManagerRing ring(platform::SM_TX_RING);
  return ring;
}

SystemManagerRing& SystemManagerRing::receive() {
  static SystemManagerRing ring(platform::SM_RX_RING);
  return ring;
}

// The ring in place, its index words and its data bytes with one look-up: the field cycle reads
// and writes both rings many times a field.
SystemManagerRing::InPlace SystemManagerRing::inPlace() const {
  u8* p = platform::ddr(base_, 8 + DATA_SIZE);
  return {reinterpret_cast<volatile u32*>(p), p + 8};
}

u8* SystemManagerRing::data() const { return inPlace().data; }

// Indexes come from the other core: a value out of range is taken modulo the data size so that a
// corrupted index can never address outside the ring.
u32 SystemManagerRing::InPlace::writeIndex() const { return index[0] % DATA_SIZE; }
u32 SystemManagerRing::InPlace::readIndex() const { return index[1] % DATA_SIZE; }
std::size_t SystemManagerRing::InPlace::readable() const {
  return (writeIndex() + DATA_SIZE - readIndex()) % DATA_SIZE;
}

u32 SystemManagerRing::writeIndex() const { return inPlace().writeIndex(); }
u32 SystemManagerRing::readIndex() const { return inPlace().readIndex(); }

std::size_t SystemManagerRing::readable() const { return inPlace().readable(); }

std::size_t SystemManagerRing::writable() const { return DATA_SIZE - 1 - readable(); }

std::size_t SystemManagerRing::read(u8* dst, std::size_t max) {
  const InPlace ring = inPlace();
  const u32 w = ring.writeIndex(), r = ring.readIndex();
  std::size_t n = (w + DATA_SIZE - r) % DATA_SIZE;
  if (n > max) n = max;
  if (n == 0) return 0;
  const std::size_t first = n < DATA_SIZE - r ? n : DATA_SIZE - r;
  std::memcpy(dst, ring.data + r, first);
  std::memcpy(dst + first, ring.data, n - first);
  ring.index[1] = static_cast<u32>((r + n) % DATA_SIZE);
  if (!connected_) {
    connected_ = true;
    libkz::getLogger().printf(libkz::LOG_INFO, "Connected from System Manager\n");
  }
  return n;
}

void SystemManagerRing::handOver(std::size_t n) {
  if (n == 0) return;
  KZ_CHECK(n <= writable());
  const InPlace ring = inPlace();
  ring.index[0] = static_cast<u32>((ring.writeIndex() + n) % DATA_SIZE);
  platform::signalOtherCore();
}

std::size_t SystemManagerRing::write(const u8* src, std::size_t len) {
  const InPlace ring = inPlace();
  const u32 w = ring.writeIndex();
  std::size_t n = DATA_SIZE - 1 - (w + DATA_SIZE - ring.readIndex()) % DATA_SIZE;
  if (n > len) n = len;
  if (n == 0) return 0;
  const std::size_t first = n < DATA_SIZE - w ? n : DATA_SIZE - w;
  std::memcpy(ring.data + w, src, first);
  std::memcpy(ring.data, src + first, n - first);
  ring.index[0] = static_cast<u32>((w + n) % DATA_SIZE);
  platform::signalOtherCore();
  return n;
}
