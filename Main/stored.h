// Stored settings of one keyer and of one downstream key: what key source memory keeps per
// source in shared memory (and what a snapshot of the switcher holds of them).
//
// Both are native little-endian images that the System Manager reads and fills (the default key
// source unit is its own), so their layouts are fixed here and pinned below:
//
// StoredKeyData, 3,576 bytes:
//   0     KzifKey key          the keyer's record as stored in the backup image, masks cleared
//   420   i32 fillSource       source code on the keyer's fill bus (bus 2(k + 1))
//   424   i32 keySource        source code on the keyer's key source bus (bus 2(k + 1) + 1)
//   428   f32 transPosition    the key transition: position 0..1,
//   432   i32 transEndFlag     end flag (+1 / -1)
//   436   i32 transState       and state (0 idle, 1 running, 2 paused, 3 cut pending, 4 ramp)
//   440   ChromaKeyData chroma the keyer's chroma data block (3,136 bytes)
//
// StoredDskData, 156 bytes:
//   0     KzifDsk dsk          the downstream key's record as stored, masks cleared
//   144   i32 fillSource       source code on its fill bus (bus 16 + 2n of M/E 1's buses)
//   148   i32 keySource        source code on its key source bus (bus 17 + 2n)
//   152   f32 level            its fader level 0..1
#pragma once
#include <cstddef>

#include "Main/chrkey.h"
#include "Main/dsk.h"
#include "Main/key.h"

namespace libkz {

struct StoredKeyData {
  KzifKey key;
  i32 fillSource;
  i32 keySource;
  f32 transPosition;
  i32 transEndFlag;
  i32 transState;
  ChromaKeyData chroma;

  // Fills this from keyer `key` of M/E `me` as it is now.
  void capture(int me, int key);
  // Gives keyer `key` of M/E `me` the stored look: its key settings (style, clip and gain, edge,
  // box mask and edges, matte colours, shape) through the keyer's assign, and the chroma data.
  // Its on-air state, transition, buses and layering stay as they are.
  void recall(int me, int key) const;
  bool equals(const StoredKeyData& other) const;
};
static_assert(sizeof(StoredKeyData) == 3576);
static_assert(offsetof(StoredKeyData, fillSource) == 420);
static_assert(offsetof(StoredKeyData, keySource) == 424);
static_assert(offsetof(StoredKeyData, transPosition) == 428);
static_assert(offsetof(StoredKeyData, transEndFlag) == 432);
static_assert(offsetof(StoredKeyData, transState) == 436);
static_assert(offsetof(StoredKeyData, chroma) == 440);

struct StoredDskData {
  KzifDsk dsk;
  i32 fillSource;
  i32 keySource;
  f32 level;

  void capture(int n);
  // The stored look of DSK n (style, clip and gain, edge, box mask and edges, colours) through
  // its assign; on-air state, transition and layering stay as they are.
  void recall(int n) const;
  bool equals(const StoredDskData& other) const;
};
static_assert(sizeof(StoredDskData) == 156);
static_assert(offsetof(StoredDskData, fillSource) == 144);
static_assert(offsetof(StoredDskData, level) == 152);

}  // namespace libkz
