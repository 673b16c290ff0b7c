#include "Main/key.h"

#include <cstring>
#include <utility>

#include <algorithm>

#include "Driver/kz.h"
#include "Main/bp.h"
#include "Main/bus.h"
#include "Main/faderevent.h"
#include "Main/image.h"
#include "Main/inputvideo.h"
#include "Main/keymem.h"
#include "Main/system.h"
#include "Main/video_format.h"

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
// style, adjust, edge, box mask, colours or shape change.
void markKeyMemoryChanged(int me, int key) {
  if (KeyMemory* memory = findKeyMemory()) memory->markChanged(me, key);
}

bool touchesKeyMemory(const KzifKey& in) {
  return in.style.mask != 0 || in.adjust.mask != 0 || in.edge.mask != 0 || in.boxMask.mask != 0 ||
         (in.mask[0] & KEY_MEMORY_BITS) != 0;
}

CategoryKey* keysOf(int me) { return BP::instance().find<CategoryKey>(me); }

int keyTarget(int key) { return KZ_KEY1 + 2 * key; }

// The bus record of an M/E routes its keys; M/E 0's stands in for an M/E without one.
category::CategoryBus* busesOf(int me) {
  auto* bus = BP::instance().find<category::CategoryBus>(me);
  return bus != nullptr ? bus : BP::instance().find<category::CategoryBus>(0);
}

// The formats whose inputs may come through format conversion, which the key DVE must know of.
constexpr bool convertingFormat(int format) { return format == 0 || format == 1 || format == 8 || format == 9; }

constexpr f32 SHAPE_UNIT = 10000.0f;
constexpr f32 SHAPE_SOFTNESS_UNIT = 1000.0f;
constexpr int N_LINK_STEPS = 3;  // the key's follower and at most two more down the chain

f32 unitClamp(f32 v) { return std::clamp(v, 0.0f, 1.0f); }

// A window of width w at x, cut to the picture.
void cutToPicture(f32& x, f32& w) {
  if (x + w > 1.0f) w -= x + w - 1.0f;
  if (x < 0.0f) {
    w += x;
    x = 0.0f;
  }
}

i16 negated(i16 v) { return static_cast<i16>(-v); }

// A small array copied element by element, with no loop: a memcpy of a few bytes stays a library
// call on the board.
template <class T, std::size_t N>
void copyElements(T (&to)[N], const T (&from)[N]) {
  [&]<std::size_t... I>(std::index_sequence<I...>) { ((to[I] = from[I]), ...); }(std::make_index_sequence<N>{});
}

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

// Whether adjustCropEdges may move an edge: unlinked, it moves only an edge that changed.
bool cropEdgesToAdjust(int linked, const i16 (&was)[4], const i16 (&now)[4]) {
  return linked != 0 || now[0] != was[0] || now[1] != was[1] || now[2] != was[2] || now[3] != was[3];
}

// Whether settleAspectPair leaves the pair as it is: nothing of it sent, or both members set and
// usable.
bool aspectPairSettled(const KeyPair16& pair) {
  if ((pair.mask & (KeyPair16::A | KeyPair16::B)) == 0) return true;
  const auto usable = [](i16 v) { return ASPECT_MIN <= v && v <= KeyPair16::FULL; };
  return usable(pair.aspectA) && usable(pair.aspectB);
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

// What the checks after a key record's merge compare with or put back: the live record's values as
// they stood before it, and its send marks (the top-level words and those of the sub-records the
// checks read), which the merge must not see.
struct KeyBefore {
  u32 mask[2];
  u32 dveSize;
  i16 cropEdges[4];
  u8 cropLink;
  u8 transLink;
  u8 priority;
  u8 patternA[2];
  u8 patternB[2];
  LinkedPair linkedPair;
  KeyTransSetting settingA;
  KeyTransSetting settingB;
};

// The transition link ties setting B to setting A. Linking copies A into B at once; while the
// live settings are linked, a record that leaves the link alone changes both alike. `live` is the
// key as it stood; `change` the key with what the record takes merged in, its marks saying what;
// `linkSent` whether the record marks the link.
void linkTransitionSettings(bool linkSent, const KeyBefore& live, KzifKey& change) {
  if (linkSent) {
    if (!change.has(KzifKey::BIT_TRANS_LINK) || change.transLink != 1 || live.transLink == 1) return;
    KeyTransSetting a = live.settingA;
    for (u32 bit : SETTING_FIELDS) takeSettingField(a, change.settingA, bit);
    a.mask = KeyTransSetting::FLAG | KeyTransSetting::TYPE | KeyTransSetting::VALUE;
    change.settingB = a;
    return;
  }
  if (live.transLink != 1) return;
  // The fields either setting takes go to both; the others keep their live values.
  KeyTransSetting a = live.settingA;
  KeyTransSetting b = live.settingB;
  a.mask = 0;
  b.mask = 0;
  for (u32 bit : SETTING_FIELDS) {
    for (KeyTransSetting* both : {&a, &b}) {
      takeSettingField(*both, change.settingB, bit);
      takeSettingField(*both, change.settingA, bit);  // A wins where both carry the field
    }
  }
  change.settingA = a;
  change.settingB = b;
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

// Where the fields the checks read of a record as it came lie in its wire body.
template <auto MEMBER>
constexpr std::size_t HEAD_AT = rec::headFieldOffset<KzifKey, rec::wireIndexOf<KzifKey>(MEMBER)>();

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
  setRoute<KzifKeyCmd>(IndexOf<KzifKey>::value);
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
    colorCaches_[k].fill(keyproc::ColorCache{});
    driverSettings_[k].format = -1;
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

// The fields up to the names lie at fixed places in the body and are merged from there; only the
// names and the sub-record after them are decoded (into a record of which nothing else is read).
// As the framework's receive, a record that runs past its body is dropped whole, and one whose
// M/E or key is out of range is refused.
void CategoryKey::receive(RequestReceiver& rx) {
  static KzifKey rest;
  const u8* head = rx.reader().take(rec::wireHeadSizeOf<KzifKey>());
  const bool whole = head != nullptr && rec::decodeWireRest(rx.reader(), rest);
  rx.consume();
  if (!whole) return;
  const int ch = rec::channelFromWire<KzifKey>(head);
  auto* target = static_cast<CategoryKey*>(targetOf(rx, rec::meFromWire<KzifKey>(head), ch));
  if (target == nullptr) return;
  Asked asked;
  rec::headFieldFromWire<KzifKey, rec::wireIndexOf<KzifKey>(&KzifKey::mask)>(head, asked.mask);
  const auto subMask = [head](std::size_t at) { return rec::loadBigEndian<u32>(head + at); };
  asked.touchesKeyMemory = subMask(HEAD_AT<&KzifKey::style>) != 0 || subMask(HEAD_AT<&KzifKey::adjust>) != 0 ||
                           subMask(HEAD_AT<&KzifKey::edge>) != 0 || subMask(HEAD_AT<&KzifKey::boxMask>) != 0 ||
                           (asked.mask[0] & KEY_MEMORY_BITS) != 0;
  rec::headFieldFromWire<KzifKey, rec::wireIndexOf<KzifKey>(&KzifKey::dveAspect)>(head, asked.aspect);
  rec::headFieldFromWire<KzifKey, rec::wireIndexOf<KzifKey>(&KzifKey::linkedPair)>(head, asked.linkedPair);
  target->assignAsked(ch, asked, nullptr, head, &rest);
}

void CategoryKey::assign(const KzifKey& in, int idx) {
  checkChannel(idx);
  Asked asked;
  copyElements(asked.mask, in.mask);
  asked.touchesKeyMemory = touchesKeyMemory(in);
  asked.aspect = in.dveAspect;
  asked.linkedPair = in.linkedPair;
  assignAsked(idx, asked, &in, nullptr, nullptr);
}

// The record is merged straight into the live record, its send marks set aside first: the marks
// then say what this record changes, and the checks below may take a change back (the value as it
// stood returns with it) before the marks set aside are added again. The record is merged as it
// came; what the merge must not take from it as sent (the selected setting, an aspect pair to be
// settled first) is put back or merged again after it.
void CategoryKey::assignAsked(int idx, const Asked& asked, const KzifKey* in, const u8* head, const KzifKey* rest) {
  checkChannel(idx);
  KzifKey& r = records_[idx];
  if (asked.touchesKeyMemory) markKeyMemoryChanged(me_, idx);

  const u8 bSelected = r.settingBSelected;  // the key update's own, never a record's
  const bool aspectAsSent = aspectPairSettled(asked.aspect);
  const KeyPair16 aspectWas = r.dveAspect;

  KeyBefore was;
  copyElements(was.mask, r.mask);
  was.dveSize = r.dveSize;
  copyElements(was.cropEdges, r.cropEdges);
  was.cropLink = r.dveCrop.link;
  was.transLink = r.transLink;
  was.priority = r.priority;
  copyElements(was.patternA, r.patternA);
  copyElements(was.patternB, r.patternB);
  was.linkedPair = r.linkedPair;
  was.settingA = r.settingA;
  was.settingB = r.settingB;
  r.mask[0] = 0;
  r.mask[1] = 0;
  r.linkedPair.mask = 0;
  r.settingA.mask = 0;
  r.settingB.mask = 0;

  if (in != nullptr) {
    rec::merge(r, *in);
  } else {
    rec::mergeFromWire(r, head, *rest);
  }
  r.settingBSelected = bSelected;
  r.drop(KzifKey::BIT_SETTING_B_SELECTED);
  if (!aspectAsSent) [[unlikely]] {
    KeyPair16 settled = asked.aspect;
    settleAspectPair(settled);
    r.dveAspect = aspectWas;
    rec::merge(r.dveAspect, settled);
  }
  if (r.has(KzifKey::BIT_DVE_SIZE) && smallKey(idx) && r.dveSize > SMALL_KEY_DVE_SIZE_MAX) {
    r.drop(KzifKey::BIT_DVE_SIZE);
    r.dveSize = was.dveSize;
  }
  if (r.has(KzifKey::BIT_PATTERN_A) && !patternAccepted(idx, r.patternA)) {
    r.drop(KzifKey::BIT_PATTERN_A);
    copyElements(r.patternA, was.patternA);
  }
  if (r.has(KzifKey::BIT_PATTERN_B) && !patternAccepted(idx, r.patternB)) {
    r.drop(KzifKey::BIT_PATTERN_B);
    copyElements(r.patternB, was.patternB);
  }
  // The merge's check kept the edges only when all lie within -5000..5000, which is all the
  // adjustment asks: it only mirrors or orders them here.
  if (r.has(KzifKey::BIT_CROP_EDGES) && cropEdgesToAdjust(was.cropLink, was.cropEdges, r.cropEdges))
    adjustCropEdges(was.cropLink, was.cropEdges, r.cropEdges);
  syncLinkedPairKey(asked.linkedPair, was.linkedPair, r.linkedPair);
  linkTransitionSettings(asked.has(KzifKey::BIT_TRANS_LINK), was, r);
  if (r.has(KzifKey::BIT_KEY_ON)) requested_[static_cast<std::size_t>(idx)] = r.keyOn;
  if (changesDveGeometry(r)) dveGeometryChanged_[static_cast<std::size_t>(idx)] = 1;

  r.linkedPair.mask |= was.linkedPair.mask;
  r.settingA.mask |= was.settingA.mask;
  r.settingB.mask |= was.settingB.mask;
  // A priority is worked out from the keys as they stood, this one too.
  const bool movesPriority = r.has(KzifKey::BIT_PRIORITY);
  const int priority = r.priority;
  if (movesPriority) {
    r.drop(KzifKey::BIT_PRIORITY);
    r.priority = was.priority;
  }
  r.mask[0] |= was.mask[0];
  r.mask[1] |= was.mask[1];
  if (movesPriority) applyPriority(idx, priority);  // every key of the M/E
  rec::stamp(r, me_, idx);
  markChanged(idx);
}

// A key whose priority stays and is marked for sending already is left alone: writing it would
// change no byte, and its channel was marked when the bit was set. A priority the key holds
// already moves no key: each is only marked. Key idx itself is written in place: the record's
// assign marks it changed after this.
void CategoryKey::applyPriority(int idx, int newPriority) {
  const int oldPriority = records_[idx].priority;
  const auto writable = [this, idx](int i) -> KzifKey& { return i == idx ? records_[i] : record(i); };
  if (newPriority == oldPriority) {
    for (int i = 0; i < N_KEYS; ++i)
      if (!records_[i].has(KzifKey::BIT_PRIORITY)) writable(i).set(KzifKey::BIT_PRIORITY);
    return;
  }
  for (int i = 0; i < N_KEYS; ++i) {
    const KzifKey& now = records_[i];
    const u8 priority = static_cast<u8>(reorderPriority(newPriority, oldPriority, now.priority, idx, i));
    if (priority == now.priority && now.has(KzifKey::BIT_PRIORITY)) continue;
    KzifKey& r = writable(i);
    r.priority = priority;
    r.set(KzifKey::BIT_PRIORITY);
  }
}

void CategoryKey::mergeInto(int ch, const KzifKey& change) {
  checkChannel(ch);
  KzifKey::merge(records_[ch], change);
  rec::stamp(records_[ch], me_, ch);
  markChanged(ch);
}

inline CategoryKey::KeyDriverSettings& CategoryKey::driverSettings(int ch, int videoFormat, bool reapply) {
  KeyDriverSettings& s = driverSettings_[static_cast<std::size_t>(ch)];
  // Taken first, so that the flag never outlives a field that worked the settings out anyway.
  const bool written = takeRecordWritten(ch);
  if (written || s.format != videoFormat || reapply) [[unlikely]] {
    workOutDriverSettings(ch, videoFormat, s);
    s.format = videoFormat;
  }
  return s;
}

inline void CategoryKey::applyKeyProcess(int ch, int videoFormat, KeyDriverSettings& s, bool reapply) {
  const std::size_t k = static_cast<std::size_t>(ch);
  const KzifKey& r = records_[ch];
  const int target = keyTarget(ch);
  const YCbCr10& m1 = matte(ch, 0, videoFormat, s);
  const YCbCr10& m2 = matte(ch, 1, videoFormat, s);
  keyproc::writeMatte(KZ_COLOR_KEY_MATTE1 + ch, m1);
  keyproc::writeMatte(KZ_COLOR_KEY_MATTE2 + ch, m2);
  if (s.colorsToStore) {
    colors_[k].ycbcr = {static_cast<u16>(m1.y), static_cast<u16>(m1.cb), static_cast<u16>(m1.cr),
                        static_cast<u16>(m2.y),  static_cast<u16>(m2.cb), static_cast<u16>(m2.cr)};
    s.colorsToStore = false;
  }
  if (keyproc::needsStyleFix(r)) keyproc::fixStyle(record(ch));
  keyproc::writeBoxMask(target, s.process);
  keyproc::writeClipGain(target, s.process);
  applyEdgeIfPending(ch, reapply);
}

// The edge goes out only while a change of it is pending (a resume marks every field) or the
// system asks for everything again.
inline void CategoryKey::applyEdgeIfPending(int ch, bool reapply) {
  const KzifKey& r = records_[ch];
  if (r.edge.mask != 0 || reapply) {
    const int fill = r.edge.fill == 1 ? KZ_UTIL1 : r.edge.fill == 2 ? KZ_UTIL2 : KZ_COLOR_KEY_MATTE2 + ch;
    keyproc::applyEdge(keyTarget(ch), r, fill);
  }
}

bool CategoryKey::settersHold(const KeyDriverSettings& s, u8 path) {
  return s.heldPath == path && s.heldContext == kz::image::currentContextIndex && *s.keyerCount == s.heldKeyer &&
         *s.shapeStamp == s.heldShape && !trace::enabled();
}

void CategoryKey::holdSetters(KeyDriverSettings& s, int ch, u8 path) {
  const int context = kz::image::currentContextIndex;
  const std::size_t k = static_cast<std::size_t>(ch);
  const auto c = static_cast<std::size_t>(context);
  s.heldPath = path;
  s.heldContext = context;
  s.keyerCount = &kz::memo::keyerGeneration[c][k];
  s.shapeStamp = &kz::memo::keyShape[c][k].stamp;
  s.heldKeyer = *s.keyerCount;
  s.heldShape = *s.shapeStamp;
}

// Matte colour n (0..3) of key ch, converted the first time it is written after the settings were
// worked out (from the record and the video format they were worked out from), and then only
// when it or the format differs from its last conversion: a matte whose setter the path of the
// key's update leaves out is not converted.
inline const YCbCr10& CategoryKey::matte(int ch, int n, int videoFormat, KeyDriverSettings& s) {
  static constexpr Hsl KzifKey::*MATTES[4] = {&KzifKey::matte1, &KzifKey::matte2, &KzifKey::matte3, &KzifKey::matte4};
  const std::size_t i = static_cast<std::size_t>(n);
  const u8 bit = static_cast<u8>(1u << n);
  if (s.mattesDue & bit) [[unlikely]] {
    s.matte[i] = keyproc::convertMatte(records_[ch].*MATTES[i], videoFormat, colorCaches_[static_cast<std::size_t>(ch)][i]);
    s.mattesDue = static_cast<u8>(s.mattesDue & ~bit);
  }
  return s.matte[i];
}

inline void CategoryKey::applyShapeWindow(int ch, int videoFormat, KeyDriverSettings& s) {
  keyproc::writeMatte(KZ_COLOR_KEY_MATTE3 + ch, matte(ch, 2, videoFormat, s));
  setKeyShape(keyTarget(ch), s.shapeX, s.shapeY, s.shapeWidth, s.shapeHeight, s.shapeSoftness);
}

void CategoryKey::update() {
  static const KzifSystem noSystem{};
  const auto* system = BP::instance().find<CategorySystem>();
  const KzifSystem& settings = system != nullptr ? system->record(0) : noSystem;
  const bool reapply = system != nullptr && system->reapply() != 0;
  setMeContext(KZ_CONTEXT_ME1 + me_);
  applyLayering();
  // Looked up once for the four keys: none of them moves within a field.
  const auto* image = BP::instance().find<CategoryImage>(me_);
  const auto keyed = [image](int filter) -> u8 { return image != nullptr && image->record(0).imageKey[filter].on == 1 ? 1 : 0; };
  const FieldInputs in{settings, reapply, busesOf(me_), {keyed(0), keyed(1)}, CategoryFaderEvent::get().transitions()};
  for (int ch = 0; ch < N_KEYS; ++ch) updateKey(ch, in);
}

// Levels 1..3 start with keys 1..3; a key of priority 0..2 takes that level, a later key over an
// earlier one; priority 3 places a key at no level.
void CategoryKey::applyLayering() {
  std::array<int, 3> level = {keyTarget(0), keyTarget(1), keyTarget(2)};
  for (int ch = 0; ch < N_KEYS; ++ch) {
    const int p = records_[ch].priority;
    if (p < 3) level[static_cast<std::size_t>(p)] = keyTarget(ch);
  }
  setKeyPriority(level[0], level[1], level[2]);
}

void CategoryKey::updateKey(int ch, const FieldInputs& in) {
  const std::size_t k = static_cast<std::size_t>(ch);
  const KzifKey& r = records_[ch];
  const KzifSystem& system = in.system;
  const int format = system.videoFormat;
  if (in.bus != nullptr) {
    in.bus->applyKeyXpt(ch, r.style.keyType, r.style.styleFlag4);
    if (getMeContext() != KZ_CONTEXT_ME1 + me_) setMeContext(KZ_CONTEXT_ME1 + me_);
  }

  const AutoTransition& t = in.transitions[static_cast<std::size_t>(keyTransIndex(me_, ch))];
  const bool outward = t.endFlag < 0;
  f32 p = outward ? 1.0f - t.position() : t.position();
  const u8 bSelected = outward ? 1 : 0;
  if (r.settingBSelected != bSelected) {
    KzifKey& w = record(ch);
    w.settingBSelected = bSelected;
    w.set(KzifKey::BIT_SETTING_B_SELECTED);
  }
  const KeyTransSetting& active = r.transLink == 1 || r.settingBSelected != 1 ? r.settingA : r.settingB;
  if (active.type == KeyTransSetting::TYPE_EXTERNAL) p = externalPosition_[k];
  p = unitClamp(p);

  // The style fix below changes the record, but nothing worked out from it.
  KeyDriverSettings& settings = driverSettings(ch, format, in.reapply);
  const u8 path = r.transKind == 1 && r.dveMatte == 1 ? PATH_DVE_MATTE : PATH_KEY_PROCESS;
  if (settersHold(settings, path)) {
    // Nothing these setters were given has changed since: only what is not theirs to hold.
    if (keyproc::needsStyleFix(r)) keyproc::fixStyle(record(ch));
    if (path == PATH_KEY_PROCESS) applyEdgeIfPending(ch, in.reapply);
  } else {
    settings.heldPath = NOT_HELD;  // until every setter of the block has taken its arguments
    if (path == PATH_DVE_MATTE) {
      keyproc::writeMatte(KZ_COLOR_KEY_MATTE4 + ch, matte(ch, 3, format, settings));
      if (keyproc::needsStyleFix(r)) keyproc::fixStyle(record(ch));
    } else {
      applyKeyProcess(ch, format, settings, in.reapply);
    }
    applyShapeWindow(ch, format, settings);
    holdSetters(settings, ch, path);
  }
  if (r.transKind == 1) {
    propagateDveLink(ch);
    dves_[k].setup(r, system, convertedFill(ch, format, in.bus), p);
    dves_[k].render(p);
  } else {
    KeyTransition& wipe = transitions_[k];
    wipe.setup(r, system, p);
    if (ch < 2) wipe.setImageKey(in.imageKey[k]);
    wipe.update(me_, p);
  }
  if (requested_[k] != NO_REQUEST) carryOutRequestedKeyState(ch);
}

void CategoryKey::workOutDriverSettings(int ch, int videoFormat, KeyDriverSettings& s) {
  const KzifKey& r = records_[ch];
  keyproc::boxMaskSettings(r, videoFormat, s.process);
  keyproc::clipGainSettings(r, s.process);

  f32 w = static_cast<f32>(r.shape[2]) / SHAPE_UNIT;
  f32 x = (static_cast<f32>(r.shape[0]) + 5000.0f) / SHAPE_UNIT - w / 2.0f;
  f32 h = static_cast<f32>(r.shape[3]) / SHAPE_UNIT;
  f32 y = (5000.0f - static_cast<f32>(r.shape[1])) / SHAPE_UNIT - h / 2.0f;
  cutToPicture(x, w);
  cutToPicture(y, h);
  const f32 softness = r.shapeOn == 1 ? static_cast<f32>(r.shapeSoftness) / SHAPE_SOFTNESS_UNIT : 0.0f;
  s.shapeX = unitClamp(x);
  s.shapeY = unitClamp(y);
  s.shapeWidth = unitClamp(w);
  s.shapeHeight = unitClamp(h);
  s.shapeSoftness = unitClamp(softness);
  s.mattesDue = ALL_MATTES;
  s.colorsToStore = true;
  s.heldPath = NOT_HELD;
}

// Only an SDI input can come through format conversion; any other fill (none, a matte, a still)
// is taken as it is.
int CategoryKey::convertedFill(int ch, int videoFormat, const CategoryBus* bus) const {
  if (!convertingFormat(videoFormat)) return 0;
  if (bus == nullptr) return 0;
  const int source = bus->getSource((ch + 1) * 2);
  if (source < CategoryInputVideo::FIRST_SDI_SOURCE || source > CategoryInputVideo::LAST_SDI_SOURCE) return 0;
  return CategoryInputVideo::get().isConverted(source) != 0 ? 1 : 0;
}

// A key whose DVE geometry changed hands it down its chain of link keys, each follower taking it
// from the one before; a key already visited ends the chain, so two keys linked to each other
// copy once.
void CategoryKey::propagateDveLink(int ch) {
  const std::size_t k = static_cast<std::size_t>(ch);
  if (dveGeometryChanged_[k] == 0) return;
  dveGeometryChanged_[k] = 0;
  std::array<bool, N_KEYS> visited{};
  visited[k] = true;
  int source = ch;
  for (int step = 0; step < N_LINK_STEPS; ++step) {
    const int link = records_[source].dveLinkKey;
    if (link < 1 || link > N_KEYS) break;
    const int follower = link - 1;
    if (visited[static_cast<std::size_t>(follower)]) break;
    visited[static_cast<std::size_t>(follower)] = true;
    copyGeometryToFollower(records_[source], follower);
    source = follower;
  }
}

// Link modes mirror the source: 0 vertically, 1 horizontally, 2 both ways, 3 not at all (and
// only mode 3 takes the depth). Keys 3 and 4 take a DVE size of at most 10000, as their own
// records do. The three fields are written in place with their marks, as a merge of a change
// record holding only them would write them (the values were checked when they came in), and the
// follower is stamped with its own channel and marked changed.
void CategoryKey::copyGeometryToFollower(const KzifKey& s, int follower) {
  checkChannel(follower);
  KzifKey& f = records_[follower];
  const int mode = s.dveLinkMode;
  const bool flipX = mode == 1 || mode == 2;
  const bool flipY = mode == 0 || mode == 2;
  const i16 location[3] = {flipX ? negated(s.dveLocation[0]) : s.dveLocation[0],
                           flipY ? negated(s.dveLocation[1]) : s.dveLocation[1],
                           mode == 3 ? s.dveLocation[2] : f.dveLocation[2]};
  const i16 rotation[3] = {flipX ? negated(s.dveRotation[0]) : s.dveRotation[0],
                           flipY ? negated(s.dveRotation[1]) : s.dveRotation[1],
                           mode == 3 ? s.dveRotation[2] : negated(s.dveRotation[2])};
  copyElements(f.dveLocation, location);
  copyElements(f.dveRotation, rotation);
  f.dveSize = smallKey(follower) ? std::min(s.dveSize, SMALL_KEY_DVE_SIZE_MAX) : s.dveSize;
  f.set(KzifKey::BIT_DVE_LOCATION);
  f.set(KzifKey::BIT_DVE_SIZE);
  f.set(KzifKey::BIT_DVE_ROTATION);
  rec::stamp(f, me_, follower);
  markChanged(follower);
}

// A key asked to go on or off by a record is cut there; keys of its group in the same state go
// with it. The fader table's step completes the cut, and the hooks report the state it reaches.
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
