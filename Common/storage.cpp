#include "Common/storage.h"

#include "Common/assert.h"
#include "Platform/platform.h"

KZ_SOURCE("Common/storage");

namespace storage {

const u8* storedImage() { return platform::nvWindow(); }

void saveBackup(const u8* image, std::size_t len) {
  KZ_CHECK(len <= NV_SIZE);
  platform::dmaToNv(0, image, len);
}

}  // namespace storage
