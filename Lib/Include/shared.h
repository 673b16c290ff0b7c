// The stores this back-end shares with the System Manager in shared memory, addressed by their
// offset from its start: the chroma data blocks with their table status words, and the key source
// units. Neither side locks them; a status word or flag says when data is ready or being written.
#pragma once
#include <cstddef>

#include "Lib/Include/kz_types.h"

// ---- chroma data -------------------------------------------------------------------------------
// Keyer c of M/E m has its block at CHROMAKEY_BASE + (4m + c) * CHROMAKEY_STRIDE (channel 4m + c).
constexpr u32 CHROMAKEY_BASE = 0x60000;
constexpr u32 CHROMAKEY_STRIDE = 0x1000;
constexpr u32 CHROMAKEY_LIMIT = 0x80000;  // no chroma block reaches this offset
constexpr int CHROMAKEY_UNIT = 3136;
constexpr int N_CHROMAKEY_CHANNELS = 32;
// Table status words of keyers 2, 3 and 4 (channels 1..3) of every M/E; keyer 1 has none.
constexpr u32 CHROMAKEY_STATUS_BASE = 0x300;
constexpr u32 CHROMAKEY_TABLE_READY = 0x3A9ACD6B;

// nbyte bytes (a multiple of 4) of the block of channel 0..31. An address past the limit is
// reported and nothing is moved (a read leaves buf as it was); returns whether it was moved.
bool writeChromakey(int channel, const void* buf, int nbyte);
bool readChromakey(int channel, void* buf, int nbyte);
// The same at the block address adr (what the two above compute from the channel).
bool writeChromakeyAt(u32 adr, int channel, const void* buf, int nbyte);
bool readChromakeyAt(u32 adr, int channel, void* buf, int nbyte);
u32 readChromakeyStatus(int keyer);  // keyer 1..3

// ---- key source units --------------------------------------------------------------------------
// One unit of KEY_SOURCE_UNIT bytes per source unit index, native little-endian words; the default
// unit (index 126) is the System Manager's, only read here. A unit:
//   0      u32 usedWords         bit w: enabled word w may hold set bits
//   4      u32 enabled[2]        bit s: slot s holds settings written for this source
//   12     u32 status            bits 0..11 change counter, 0x1000 formatted, 0x2000 write in progress
//   16     16 x StoredKeyData    key slots 0..15 (key k of M/E m: slot 4m + k; shared mode: slot 0)
//   57232  4 x StoredDskData     DSK slots 16..19 (DSK n: slot 16 + n; shared mode: slot 16)
// The layouts of StoredKeyData (3,576 bytes) and StoredDskData (156 bytes) are in Main/stored.h.
constexpr u32 KEY_SOURCE_BASE = 0x6600000;
constexpr int KEY_SOURCE_UNIT = 0x10000;
constexpr u32 KEY_SOURCE_LIMIT = 0x8600000;  // 512 units from the first
constexpr int D_LIB_STORAGE_SECTORS_KEY_SRC = 63;
constexpr int D_LIB_STORAGE_DATA_PER_SECTOR_KEY_SRC = 2;
constexpr int KEY_SOURCE_DEFAULT_UNIT = D_LIB_STORAGE_SECTORS_KEY_SRC * D_LIB_STORAGE_DATA_PER_SECTOR_KEY_SRC;

// Address of unit `index` (0 .. KEY_SOURCE_DEFAULT_UNIT), asserted.
u32 keySourceUnitAddress(int index);
// nbyte bytes (a multiple of 4) at `offset` in the unit at unitAdr; the access must lie inside
// the unit (asserted). An address past the limit is reported and nothing is moved.
bool readKeySourceMemory(u32 unitAdr, int offset, void* buf, int nbyte);
bool writeKeySourceMemory(u32 unitAdr, int offset, const void* buf, int nbyte);
