// Non-volatile storage of the backup image: read at start-up, saved by DMA after each field.
#pragma once
#include <cstddef>

#include "Lib/Include/kz_types.h"
#include "Platform/platform.h"

namespace storage {
// The non-volatile window of the memory map.
constexpr std::size_t NV_SIZE = platform::NV_SIZE;
// The image as it stands in the non-volatile window.
const u8* storedImage();
// Copies the live backup storage into the window (the DMA save of the field cycle).
void saveBackup(const u8* image, std::size_t len);
}  // namespace storage
