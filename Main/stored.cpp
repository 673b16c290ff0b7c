#include "Main/stored.h"

#include <cstring>
#include <utility>

#include "Main/bp.h"
#include "Main/bus.h"
#include "Main/faderevent.h"

KZ_SOURCE("Main/stored");

namespace {

category::CategoryBus* busesOf(int me) {
  auto* bus = BP::instance().find<category::CategoryBus>(me);
  return bus != nullptr ? bus : BP::instance().find<category::CategoryBus>(0);
}

int sourceOn(int me, int bus) {
  const category::CategoryBus* b = busesOf(me);
  return b != nullptr ? b->getSource(bus) : 0;
}

// The look of a keyer: what marks key source memory changed when a record carries it.
constexpr int KEY_LOOK_BITS[] = {KzifKey::BIT_MATTE1,  KzifKey::BIT_MATTE2,         KzifKey::BIT_BOX_EDGES,
                                 KzifKey::BIT_SHAPE_ON, KzifKey::BIT_SHAPE_SOFTNESS, KzifKey::BIT_MATTE3,
                                 KzifKey::BIT_SHAPE};
constexpr int DSK_LOOK_BITS[] = {KzifDsk::BIT_MATTE_COLOR, KzifDsk::BIT_EDGE_COLOR, KzifDsk::BIT_BOX_EDGES};

}  // namespace

namespace libkz {

void StoredKeyData::capture(int me, int k) {
  std::memset(static_cast<void*>(this), 0, sizeof *this);
  const category::CategoryKey& keys = category::CategoryKey::get(me);
  key = keys.data(k);
  rec::clearMasks(key);
  fillSource = sourceOn(me, 2 * (k + 1));
  keySource = sourceOn(me, 2 * (k + 1) + 1);
  const AutoTransition& t = std::as_const(category::CategoryFaderEvent::get()).transition(keyTransIndex(me, k));
  transPosition = t.position();
  transEndFlag = t.endFlag;
  transState = t.state;
  if (const auto* chroma = category::CategoryChromaKey::find(me)) chroma->readChannelData(k, this->chroma);
}

void StoredKeyData::recall(int me, int k) const {
  KzifKey look = key;
  rec::clearMasks(look);
  rec::setAllMasks(look.style);
  rec::setAllMasks(look.adjust);
  rec::setAllMasks(look.edge);
  rec::setAllMasks(look.boxMask);
  for (int bit : KEY_LOOK_BITS) look.set(bit);
  category::CategoryKey::get(me).assign(look, k);
  if (auto* keyerChroma = category::CategoryChromaKey::find(me)) keyerChroma->writeChannelData(k, chroma);
}

bool StoredKeyData::equals(const StoredKeyData& other) const { return std::memcmp(this, &other, sizeof *this) == 0; }

void StoredDskData::capture(int n) {
  std::memset(static_cast<void*>(this), 0, sizeof *this);
  dsk = category::CategoryDsk::get().data(n);
  rec::clearMasks(dsk);
  fillSource = sourceOn(category::CategoryDsk::BUS_ME, 16 + 2 * n);
  keySource = sourceOn(category::CategoryDsk::BUS_ME, 17 + 2 * n);
  level = dskLevel(std::as_const(category::CategoryFaderEvent::get()).transition(dskTransIndex(n)));
}

void StoredDskData::recall(int n) const {
  KzifDsk look = dsk;
  rec::clearMasks(look);
  rec::setAllMasks(look.style);
  rec::setAllMasks(look.adjust);
  rec::setAllMasks(look.edge);
  rec::setAllMasks(look.boxMask);
  for (int bit : DSK_LOOK_BITS) look.set(bit);
  category::CategoryDsk::get().assign(look, n);
}

bool StoredDskData::equals(const StoredDskData& other) const { return std::memcmp(this, &other, sizeof *this) == 0; }

}  // namespace libkz
