#include "Lib/Include/shared.h"

#include <cstring>

#include "Common/assert.h"
#include "Common/log.h"
#include "Common/shared.h"

KZ_SOURCE("Lib/Include/shared");

namespace {

bool chromakeyInRange(const char* function, u32 adr, int channel, int nbyte) {
  KZ_CHECK(0 <= channel && channel < 32);
  KZ_CHECK(0 <= nbyte && nbyte <= CHROMAKEY_UNIT);
  if (adr < CHROMAKEY_LIMIT && static_cast<u32>(nbyte) <= CHROMAKEY_LIMIT - adr) return true;
  libkz::getLogger().printf(libkz::LOG_INFO, "Err! %s(), Address is Out of range. (adr:0x%x, nbyte:%d, channel:%d)\n",
                            function, static_cast<unsigned>(adr), nbyte, channel);
  return false;
}

u32 chromakeyAddress(int channel) {
  KZ_CHECK(0 <= channel && channel < 32);
  return CHROMAKEY_BASE + static_cast<u32>(channel) * CHROMAKEY_STRIDE;
}

bool keySourceInRange(const char* function, u32 unitAdr, int offset, int nbyte) {
  KZ_CHECK(0 <= nbyte && 0 <= offset && offset + nbyte <= KEY_SOURCE_UNIT);
  const u32 adr = unitAdr + static_cast<u32>(offset);
  if (adr >= unitAdr && adr < KEY_SOURCE_LIMIT && static_cast<u32>(nbyte) <= KEY_SOURCE_LIMIT - adr) return true;
  libkz::getLogger().printf(libkz::LOG_INFO, "Err! %s(), Address is Out of range. (adr:0x%x, nbyte:%d, offset:%d)\n",
                            function, static_cast<unsigned>(adr), nbyte, offset);
  return false;
}

}  // namespace

bool writeChromakeyAt(u32 adr, int channel, const void* buf, int nbyte) {
  if (!chromakeyInRange("writeChromakey", adr, channel, nbyte)) return false;
  SharedMemory::instance().write(adr, buf, static_cast<std::size_t>(nbyte));
  return true;
}

bool readChromakeyAt(u32 adr, int channel, void* buf, int nbyte) {
  if (!chromakeyInRange("readChromakey", adr, channel, nbyte)) return false;
  SharedMemory::instance().read(adr, buf, static_cast<std::size_t>(nbyte));
  return true;
}

bool writeChromakey(int channel, const void* buf, int nbyte) {
  return writeChromakeyAt(chromakeyAddress(channel), channel, buf, nbyte);
}

bool readChromakey(int channel, void* buf, int nbyte) {
  return readChromakeyAt(chromakeyAddress(channel), channel, buf, nbyte);
}

u32 readChromakeyStatus(int keyer) {
  KZ_CHECK(1 <= keyer && keyer <= 3);
  return SharedMemory::instance().readWord(CHROMAKEY_STATUS_BASE + 4u * static_cast<u32>(keyer - 1));
}

u32 keySourceUnitAddress(int index) {
  KZ_CHECK(( ( 0 <= index ) && ( index <= ( D_LIB_STORAGE_SECTORS_KEY_SRC * D_LIB_STORAGE_DATA_PER_SECTOR_KEY_SRC ) ) ));
  return KEY_SOURCE_BASE + static_cast<u32>(index) * static_cast<u32>(KEY_SOURCE_UNIT);
}

u8* keySourceBytes(u32 unitAdr, int offset, int nbyte) {
  if (!keySourceInRange("keySourceBytes", unitAdr, offset, nbyte)) return nullptr;
  return SharedMemory::bytes(unitAdr + static_cast<u32>(offset), static_cast<std::size_t>(nbyte));
}

bool readKeySourceMemory(u32 unitAdr, int offset, void* buf, int nbyte) {
  if (!keySourceInRange("readKeySourceMemory", unitAdr, offset, nbyte)) return false;
  std::memcpy(buf, SharedMemory::bytes(unitAdr + static_cast<u32>(offset), static_cast<std::size_t>(nbyte)),
              static_cast<std::size_t>(nbyte));
  return true;
}

bool writeKeySourceMemory(u32 unitAdr, int offset, const void* buf, int nbyte) {
  if (!keySourceInRange("writeKeySourceMemory", unitAdr, offset, nbyte)) return false;
  std::memcpy(SharedMemory::bytes(unitAdr + static_cast<u32>(offset), static_cast<std::size_t>(nbyte)), buf,
              static_cast<std::size_t>(nbyte));
  return true;
}
