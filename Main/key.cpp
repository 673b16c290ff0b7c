#include "Main/key.h"

#include <cstring>
#include <utility>

#include "Main/bp.h"
#include "Main/faderevent.h"

KZ_SOURCE("Main/key");

namespace {

using category::CategoryKey;

constexpr float END_TOLERANCE = 1e-5f;
constexpr float FULL_POSITION = 0.99999f;
constexpr u32 KEY_MEMORY_BITS = 0x7f;  // matte colours 1-3, box edges and the shape of word 0
constexpr i16 ASPECT_MIN = 5000;
constexpr u32 SMALL_KEY_DVE_SIZE_MAX = 10000;  // keys 3 and 4
constexpr int FIRST_SMALL_KEY = 2;

// The key source memory remembers each keyer's settings per source. It is told here when a key's
// style, adjust, edge, box mask, colours or shape change, once it is built.
void markKeyMemoryChanged(int me, int key) {
  (void)me;
  (void)key;
}

bool touchesKeyMemory(const KzifKey& in) {
  return in.style.mask != 0 || in.adjust.mask != 0 || in.edge.mask != 0 || in.boxMask.mask != 0 ||
         (in.mask[0] & KEY_MEMORY_BITS) != 0;
}

CategoryKey* keysOf(int me) { return BP::instance().find<CategoryKey>(me); }

bool smallKey(int key) { return key >= FIRST_SMALL_KEY; }

// A 0 in either member stands for 10000 and counts as sent; then both members must be usable or
// the pair is not taken at all.
void settleAspectPair(KeyPair16& pair) {
  if ((pair.mask & (KeyPair16::A | KeyPair16::B)) == 0) return;
  if (pair.aspectA == KeyPair16::UNSET) {
    pair.aspectA = KeyPair16::FULL;
    pair.mask |= KeyPair16::A;
  }
  if (pair.aspectB == KeyPair16::UNSET) {
    pair.aspectB = KeyPair16::FULL;
    pair.mask |= KeyPair16::B;
  }
  const auto usable = [](i16 v) { return ASPECT_MIN <= v && v <= KeyPair16::FULL; };
  if (!usable(pair.aspectA) || !usable(pair.aspectB)) pair.mask = 0;
}

bool patternAccepted(int key, const u8 (&pattern)[2]) {
  if (smallKey(key) && pattern[1] != 0) return false;  // keys 3 and 4 have group 0 only
  return isPatternValid(KeyPattern{pattern[0], pattern[1]}, KZ_KEY1 + 2 * key) != 0;
}

// A field of the active setting taken by its bit from `from` into `to`.
void takeSettingField(KeyTransSetting& to, const KeyTransSetting& from, u32 bit) {
  if ((from.mask & bit) == 0) return;
  if (bit == KeyTransSetting::FLAG) to.flag = from.flag;
  if (bit == KeyTransSetting::TYPE) to.type = from.type;
  if (bit == KeyTransSetting::VALUE) to.value = from.value;
  to.mask |= bit;
}

constexpr u32 SETTING_FIELDS[] = {KeyTransSetting::FLAG, KeyTransSetting::TYPE, KeyTransSetting::VALUE};

// The transition link ties setting B to setting A. Linking copies A into B at once; while the
// live settings are linked, a record that leaves the link alone changes both alike.
void linkTransitionSettings(const KzifKey& in, const KzifKey& live, KzifKey& change) {
  if (in.has(KzifKey::BIT_TRANS_LINK)) {
    if (!change.has(KzifKey::BIT_TRANS_LINK) || change.transLink != 1 || live.transLink == 1) return;
    KeyTransSetting a = live.settingA;
    for (u32 bit : SETTING_FIELDS) takeSettingField(a, change.settingA, bit);
    a.mask = KeyTransSetting::FLAG | KeyTransSetting::TYPE | KeyTransSetting::VALUE;
    change.settingB = a;
    return;
  }
  if (live.transLink != 1) return;
  KeyTransSetting both{};
  for (u32 bit : SETTING_FIELDS) {
    takeSettingField(both, change.settingB, bit);
    takeSettingField(both, change.settingA, bit);  // A wins where both carry the field
  }
  change.settingA = both;
  change.settingB = both;
}

bool changesDveGeometry(const KzifKey& change) {
  for (int bit : {KzifKey::BIT_DVE_LOCATION, KzifKey::BIT_DVE_SIZE, KzifKey::BIT_DVE_ROTATION,
                  KzifKey::BIT_DVE_LINK_KEY, KzifKey::BIT_DVE_LINK_MODE})
    if (change.has(bit)) return true;
  return false;
}

// The DVE settings of source key `from` (0..3) as a change record for target key `to`.
void buildDveCopy(const KzifKey& src, int from, int to, KzifKey& c) {
  const auto take = [&](int bit) { c.set(bit); };
  c.transKind = src.transKind;
  c.dveMatte = src.dveMatte;
  c.dveMattePattern = src.dveMattePattern;
  take(KzifKey::BIT_TRANS_KIND);
  take(KzifKey::BIT_DVE_MATTE);
  take(KzifKey::BIT_DVE_MATTE_PATTERN);
  c.dveBorder = src.dveBorder;
  c.dveBorder.mask = 0x7;
  c.dveFlag1 = src.dveFlag1;
  std::memcpy(c.matte4, src.matte4, sizeof c.matte4);
  std::memcpy(c.dveLocation, src.dveLocation, sizeof c.dveLocation);
  take(KzifKey::BIT_DVE_FLAG1);
  take(KzifKey::BIT_MATTE4);
  take(KzifKey::BIT_DVE_LOCATION);
  c.dveSize = smallKey(to) && src.dveSize > SMALL_KEY_DVE_SIZE_MAX ? SMALL_KEY_DVE_SIZE_MAX : src.dveSize;
  take(KzifKey::BIT_DVE_SIZE);
  std::memcpy(c.dveTriple1, src.dveTriple1, sizeof c.dveTriple1);
  c.dveValue2 = src.dveValue2;
  take(KzifKey::BIT_DVE_TRIPLE1);
  take(KzifKey::BIT_DVE_VALUE2);
  if (!smallKey(from) && !smallKey(to)) {  // only keys 1 and 2 rotate and have an aspect
    std::memcpy(c.dveRotation, src.dveRotation, sizeof c.dveRotation);
    take(KzifKey::BIT_DVE_ROTATION);
    c.dveAspect = src.dveAspect;
    c.dveAspect.mask = KeyPair16::A | KeyPair16::B;
    c.dveValue5 = src.dveValue5;
    take(KzifKey::BIT_DVE_VALUE5);
  }
  std::memcpy(c.dveTriple2, src.dveTriple2, sizeof c.dveTriple2);
  c.dveValue3 = src.dveValue3;
  c.dveValue4 = src.dveValue4;
  take(KzifKey::BIT_DVE_TRIPLE2);
  take(KzifKey::BIT_DVE_VALUE3);
  take(KzifKey::BIT_DVE_VALUE4);
  c.dveCrop = src.dveCrop;
  c.dveCrop.mask = 0x3;
  std::memcpy(c.cropEdges, src.cropEdges, sizeof c.cropEdges);
  take(KzifKey::BIT_CROP_EDGES);
}

CategoryKey::KeyCopyRequest& copyRequest() {
  static CategoryKey::KeyCopyRequest request;
  return request;
}

// The hooks are called only for a value that changes, so that an unchanged key is not reported.
void writeIfChanged(CategoryKey& keys, int k, u8 now, int value, void (CategoryKey::*hook)(int, int)) {
  if (now != value) (keys.*hook)(k, value);
}

}  // namespace

void KzifKey::assignAll(KzifKey& dst, const KzifKey& src) {
  dst = src;
  rec::setAllMasks(dst);
  rec::normalizeTexts(dst);
}

KeyCode decodeKeyCode(int code) {
  KeyCode k;
  if (code < 1 || code > 32) return k;
  const int i = code - 1;
  k.me = i / 8 + (i % 8 >= 4 ? 4 : 0);
  k.key = i % 4;
  k.valid = k.me < N_ME;
  return k;
}

namespace category {

CategoryKey::CategoryKey() : CategoryCommon(true) {
  setRoute(IndexOf<KzifKeyCmd>::value, IndexOf<KzifKey>::value);
}

CategoryKey& CategoryKey::get(int me) {
  KZ_CHECK(0 <= me && me < N_ME);
  return BP::instance().require<CategoryKey>(me);
}

void CategoryKey::initIndex(int, int) {
  for (int ch = 0; ch < N_KEYS; ++ch) rec::stamp(records_[ch], me_, ch);
}

void CategoryKey::initInternal() {
  CategoryCommon::initInternal();
  for (int ch = 0; ch < N_KEYS; ++ch) {
    const std::size_t k = static_cast<std::size_t>(ch);
    colors_[k] = ColorBlock{};
    colors_[k].record = &records_[ch];
    dveGeometryChanged_[k] = 0;
    requested_[k] = NO_REQUEST;
  }
}

// A damaged image must never make the sender write more of a name than the name holds.
void CategoryKey::restore(const u8* stored) {
  CategoryCommon::restore(stored);
  for (int ch = 0; ch < N_KEYS; ++ch) rec::normalizeTexts(records_[ch]);
}

const KeyTransSetting& CategoryKey::activeTransSetting(int ch) const {
  const KzifKey& r = record(ch);
  if (r.transLink == 1) return r.settingA;
  return r.settingBSelected == 1 ? r.settingB : r.settingA;
}

void CategoryKey::assign(const KzifKey& in, int idx) {
  checkChannel(idx);
  const KzifKey& live = records_[idx];
  if (touchesKeyMemory(in)) markKeyMemoryChanged(me_, idx);

  KzifKey asked = in;
  asked.drop(KzifKey::BIT_SETTING_B_SELECTED);  // the key update's own, never a record's
  settleAspectPair(asked.dveAspect);

  KzifKey change{};
  rec::merge(change, asked);
  if (change.has(KzifKey::BIT_DVE_SIZE) && smallKey(idx) && change.dveSize > SMALL_KEY_DVE_SIZE_MAX)
    change.drop(KzifKey::BIT_DVE_SIZE);
  if (change.has(KzifKey::BIT_PATTERN_A) && !patternAccepted(idx, change.patternA)) change.drop(KzifKey::BIT_PATTERN_A);
  if (change.has(KzifKey::BIT_PATTERN_B) && !patternAccepted(idx, change.patternB)) change.drop(KzifKey::BIT_PATTERN_B);
  if (change.has(KzifKey::BIT_CROP_EDGES) && !adjustCropEdges(live.dveCrop.link, live.cropEdges, change.cropEdges))
    change.drop(KzifKey::BIT_CROP_EDGES);
  syncLinkedPairKey(asked.linkedPair, live.linkedPair, change.linkedPair);
  linkTransitionSettings(asked, live, change);

  if (change.has(KzifKey::BIT_PRIORITY)) {
    applyPriority(idx, change.priority);
    change.drop(KzifKey::BIT_PRIORITY);
  }
  if (change.has(KzifKey::BIT_KEY_ON)) requested_[static_cast<std::size_t>(idx)] = change.keyOn;
  if (changesDveGeometry(change)) dveGeometryChanged_[static_cast<std::size_t>(idx)] = 1;

  mergeInto(idx, change);
}

void CategoryKey::applyPriority(int idx, int newPriority) {
  const int oldPriority = records_[idx].priority;
  for (int i = 0; i < N_KEYS; ++i) {
    KzifKey& r = record(i);
    r.priority = static_cast<u8>(reorderPriority(newPriority, oldPriority, r.priority, idx, i));
    r.set(KzifKey::BIT_PRIORITY);
  }
}

void CategoryKey::mergeInto(int ch, const KzifKey& change) {
  checkChannel(ch);
  KzifKey::merge(records_[ch], change);
  rec::stamp(records_[ch], me_, ch);
  markChanged(ch);
}

void CategoryKey::update() {
  for (int ch = 0; ch < N_KEYS; ++ch) carryOutRequestedKeyState(ch);
}

// A key asked to go on or off by a record is cut there; keys of its group in the same state go
// with it. The fader table's step completes the cut, and the hooks report the new state.
void CategoryKey::carryOutRequestedKeyState(int ch) {
  const std::size_t k = static_cast<std::size_t>(ch);
  const i32 wanted = requested_[k];
  requested_[k] = NO_REQUEST;
  const KzifKey& r = records_[ch];
  if (wanted == NO_REQUEST || wanted == r.keyOn) return;
  CategoryFaderEvent& fader = CategoryFaderEvent::get();
  const auto cutKey = [&](int key) {
    fader.transition(keyTransIndex(me_, key)).cut();
    fader.link(keyTransIndex(me_, key)).owner = FaderLink::FREE;
  };
  cutKey(ch);
  if (r.group != 1) return;
  for (int other = 0; other < N_KEYS; ++other)
    if (other != ch && records_[other].group == 1 && records_[other].keyOn == r.keyOn) cutKey(other);
}

void CategoryKey::setKeyOn(int ch, int v) {
  KzifKey& r = record(ch);
  r.keyOn = static_cast<u8>(v);
  r.set(KzifKey::BIT_KEY_ON);
}

void CategoryKey::setInTransition(int ch, int v) {
  KzifKey& r = record(ch);
  r.inTransition = static_cast<u8>(v);
  r.set(KzifKey::BIT_IN_TRANSITION);
}

void CategoryKey::setTransStopped(int ch, int v) {
  KzifKey& r = record(ch);
  r.transStopped = static_cast<u8>(v);
  r.set(KzifKey::BIT_TRANS_STOPPED);
}

void CategoryKey::setTransType(int ch, int v) {
  KzifKey& r = record(ch);
  const auto setType = [v](KeyTransSetting& s) {
    s.type = static_cast<u8>(v);
    s.mask |= KeyTransSetting::TYPE;
  };
  if (r.transLink == 1) {
    setType(r.settingA);
    setType(r.settingB);
  } else {
    setType(r.settingBSelected == 1 ? r.settingB : r.settingA);
  }
}

void CategoryKey::cycleTransSetting(int ch) {
  const KzifKey& r = std::as_const(*this).record(ch);
  // Linked settings step from A, the one both directions use, and both take the result.
  const KeyTransSetting& now = activeTransSetting(ch);
  KeyTransSetting next{};
  next.mask = KeyTransSetting::FLAG | KeyTransSetting::TYPE;
  if (now.flag == 0) {
    next.flag = 1;
    next.type = 0;
  } else if (now.type == 0) {
    next.flag = 1;
    next.type = 1;
  }
  KzifKey change{};
  if (r.transLink == 1) {
    change.settingA = next;
    change.settingB = next;
  } else if (r.settingBSelected == 1) {
    change.settingB = next;
  } else {
    change.settingA = next;
  }
  mergeInto(ch, change);
}

void CategoryKey::toggleTransKind(int ch) {
  KzifKey change{};
  change.transKind = std::as_const(*this).record(ch).transKind == 1 ? 0 : 1;
  change.set(KzifKey::BIT_TRANS_KIND);
  mergeInto(ch, change);
}

void CategoryKey::receiveRouted(int id, RequestReceiver& rx) {
  rx.consume();
  KZ_CHECK_EQ(id, IndexOf<KzifKeyCmd>::value);
  KzifKeyCmd cmd{};
  if (!rec::decode(rx.reader(), cmd)) return;  // a short body is no command; nothing to answer
  if (cmd.command == KzifKeyCmd::COPY_DVE) {
    copyKeyDve(cmd);
    cmd.result = KzifKeyCmd::RESULT_OK;
  } else {
    cmd.result = KzifKeyCmd::RESULT_UNKNOWN_COMMAND;
  }
  AcknowledgeSender::instance().writeRecord(cmd);  // "send buffer full" is logged there
}

// Every change record is built before any is merged, so that keys copied among themselves on one
// M/E all take the settings from before the command.
void CategoryKey::copyKeyDve(const KzifKeyCmd& cmd) {
  KeyCopyRequest& request = copyRequest();
  request.reset();
  request.targetMe = cmd.targetMe;
  for (int t = 0; t < N_KEYS; ++t) request.codes[static_cast<std::size_t>(t)] = cmd.sourceCodes[t];
  CategoryKey* target = cmd.targetMe < N_ME ? keysOf(cmd.targetMe) : nullptr;
  if (target != nullptr) {
    std::array<bool, N_KEYS> copied{};
    for (int t = 0; t < N_KEYS; ++t) {
      const KeyCode source = decodeKeyCode(request.codes[static_cast<std::size_t>(t)]);
      CategoryKey* from = source.valid ? keysOf(source.me) : nullptr;
      if (from == nullptr) continue;
      buildDveCopy(from->record(source.key), source.key, t, request.changes[static_cast<std::size_t>(t)]);
      copied[static_cast<std::size_t>(t)] = true;
    }
    for (int t = 0; t < N_KEYS; ++t)
      if (copied[static_cast<std::size_t>(t)]) target->mergeInto(t, request.changes[static_cast<std::size_t>(t)]);
  }
  request.reset();
}

}  // namespace category

void followKeyTransitions(const std::array<AutoTransition, N_AUTO_TRANSITIONS>& transitions) {
  for (int me = 0; me < N_ME; ++me) {
    CategoryKey* keys = keysOf(me);
    if (keys == nullptr) continue;
    const CategoryKey& view = *keys;  // reading alone must not count as a change to send
    for (int k = 0; k < CategoryKey::N_KEYS; ++k) {
      const AutoTransition& t = transitions[static_cast<std::size_t>(keyTransIndex(me, k))];
      const float p = t.endFlag < 0 ? 1.0f - t.position() : t.position();
      const KzifKey& r = view.record(k);
      const bool on = p > END_TOLERANCE;
      const bool between = on && p < FULL_POSITION;
      writeIfChanged(*keys, k, r.keyOn, on ? 1 : 0, &CategoryKey::setKeyOn);
      writeIfChanged(*keys, k, r.inTransition, between || t.state == AutoTransition::STATE_RUNNING ? 1 : 0,
                     &CategoryKey::setInTransition);
      writeIfChanged(*keys, k, r.transStopped, t.state == AutoTransition::STATE_CUT_PENDING ? 1 : 0,
                     &CategoryKey::setTransStopped);
    }
  }
}

void initCategoryKey() { static category::CategoryKey keys[N_ME]; }
