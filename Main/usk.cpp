#include "Main/usk.h"

#include <array>
#include <bit>

#include "Driver/kz.h"
#include "Main/bp.h"
#include "Main/bus.h"
#include "Main/source_ids.h"
#include "Main/sources.h"
#include "Main/system.h"

KZ_SOURCE("Main/usk");

namespace {

using category::CategoryUpStreamKey;
using category::CategoryUpStreamKeyAssign;

int uskTarget(int n) { return KZ_USK1 + 2 * n; }
constexpr int KZ_COLOR_USK_MATTE = KZ_COLOR_USK4_MATTE - (N_USK - 1);

constexpr int FIRST_BUTTON = 2050;
constexpr int SOURCE_INDEX_SDI_LAST = 31;
constexpr int SOURCE_INDEX_DVI = 128;
constexpr int SOURCE_INDEX_STILL = 130;
constexpr int SOURCE_INDEX_CLIP = 138;
constexpr int SOURCE_INDEX_CBGD = 146;
constexpr int SOURCE_INDEX_BAR = 148;
constexpr int SOURCE_INDEX_BLACK = 149;
constexpr int KZ_COLOR_BAR = 0x1190;

// Stills and clips: three source ids per channel, of which the fill and the key are routed.
int mediaIndex(int source, int base) {
  const int offset = source - base - 1;
  if (offset < 0 || offset >= SOURCE_IDS_PER_MEDIA_CHANNEL * SOURCE_MEDIA_CHANNELS) return -1;
  if (offset % SOURCE_IDS_PER_MEDIA_CHANNEL == SOURCE_IDS_PER_MEDIA_CHANNEL - 1) return -1;
  return 2 * (offset / SOURCE_IDS_PER_MEDIA_CHANNEL) + offset % SOURCE_IDS_PER_MEDIA_CHANNEL;
}

int sourceIndex(int source) {
  if (SOURCE_SDI_FIRST <= source && source <= SOURCE_SDI_ROUTED_LAST) return source - SOURCE_SDI_FIRST;
  if (source == SOURCE_DVI_1 || source == SOURCE_DVI_2) return SOURCE_INDEX_DVI + source - SOURCE_DVI_1;
  if (const int m = mediaIndex(source, SOURCE_STILL_BASE); m >= 0) return SOURCE_INDEX_STILL + m;
  if (const int m = mediaIndex(source, SOURCE_CLIP_BASE); m >= 0) return SOURCE_INDEX_CLIP + m;
  if (source == SOURCE_COLOR_BKGD_1 || source == SOURCE_COLOR_BKGD_2)
    return SOURCE_INDEX_CBGD + source - SOURCE_COLOR_BKGD_1;
  if (source == SOURCE_COLOR_BAR) return SOURCE_INDEX_BAR;
  if (source == SOURCE_BLACK) return SOURCE_INDEX_BLACK;
  return -1;
}

constexpr bool isUskSource(int source) { return SOURCE_SDI_FIRST <= source && source <= SOURCE_BLACK; }

}  // namespace

int uskInputOfIndex(int index) {
  if (0 <= index && index <= SOURCE_INDEX_SDI_LAST) return KZ_IN_1 + index;
  if (index == SOURCE_INDEX_DVI || index == SOURCE_INDEX_DVI + 1) return KZ_DVI_1 + index - SOURCE_INDEX_DVI;
  if (SOURCE_INDEX_STILL <= index && index < SOURCE_INDEX_CBGD) return KZ_STILL_1 + index - SOURCE_INDEX_STILL;
  if (index == SOURCE_INDEX_CBGD || index == SOURCE_INDEX_CBGD + 1) return KZ_CBGD_1 + index - SOURCE_INDEX_CBGD;
  if (index == SOURCE_INDEX_BAR) return KZ_COLOR_BAR;
  if (index == SOURCE_INDEX_BLACK) return KZ_BLACK;
  return -1;
}

// Only the inputs the router has lines for go to a keyer input: SDI 1..32, not 33 and above.
int uskInputOfSource(int source) {
  const int index = sourceIndex(source);
  return index < 0 ? -1 : uskInputOfIndex(index);
}

namespace {

// The source indexes that have a keyer input, with that input, in index order: the routing walks
// these every field, so the mapping is worked out once.
struct RoutedIndex {
  u8 index;
  u16 input;
};
struct RoutedIndexes {
  std::array<RoutedIndex, N_USK_ASSIGN_SOURCES> entries{};
  int count = 0;
};
const RoutedIndexes& routedIndexes() {
  static const RoutedIndexes table = [] {
    RoutedIndexes t;
    for (int index = 0; index < N_USK_ASSIGN_SOURCES; ++index) {
      const int input = uskInputOfIndex(index);
      if (input < 0) continue;
      t.entries[static_cast<std::size_t>(t.count++)] = RoutedIndex{static_cast<u8>(index), static_cast<u16>(input)};
    }
    return t;
  }();
  return table;
}

}  // namespace

namespace category {

CategoryUpStreamKey& CategoryUpStreamKey::get() { return BP::instance().require<CategoryUpStreamKey>(); }

void CategoryUpStreamKey::initIndex(int, int) {
  for (int n = 0; n < N_USK; ++n) rec::stamp(records_[n], me_, n);
}

void CategoryUpStreamKey::initInternal() {
  CategoryCommon::initInternal();
  for (int n = 0; n < N_USK; ++n) {
    views_[static_cast<std::size_t>(n)] = &records_[n];
    colors_[static_cast<std::size_t>(n)] = keyproc::ColorCache{};
    settings_[static_cast<std::size_t>(n)].format = -1;
  }
}

void CategoryUpStreamKey::assign(const KzifUpStreamKey& in, int idx) {
  checkChannel(idx);
  KzifUpStreamKey change{};
  rec::merge(change, in);
  // The merge's check kept the box only with every edge within -5000..5000, which is all the
  // adjustment asks: it only orders the edges here.
  if (change.has(KzifUpStreamKey::BIT_MASK_BOX)) adjustCropEdges(0, records_[idx].maskBox, change.maskBox);
  rec::merge(records_[idx], change, rec::Checks::Skip);
  rec::stamp(records_[idx], me_, idx);
  markChanged(idx);
}

namespace {
// The key process reads the box mask under the names the other keyers give it.
struct BoxView {
  const KeyMask& boxMask;
  const i16 (&boxEdges)[4];
};
}  // namespace

// Upstream keyers belong to no M/E: their targets take no M/E context.
void CategoryUpStreamKey::update() {
  const auto* system = BP::instance().find<CategorySystem>();
  const int format = system != nullptr ? system->videoFormat() : 0;
  for (int n = 0; n < N_USK; ++n) {
    const KzifUpStreamKey& r = *views_[static_cast<std::size_t>(n)];
    const int target = uskTarget(n);
    DriverSettings& s = settings_[static_cast<std::size_t>(n)];
    const bool written = takeRecordWritten(n);  // taken every field, so that it never goes stale
    if (written || s.format != format) [[unlikely]] workOutDriverSettings(n, format, s);
    // The same settings, with no setter having taken anything since they went out: untraced,
    // each call would find what it is given already taken.
    const bool hold = s.held && s.heldGeneration == kz::memo::generation && !trace::enabled();
    if (!hold) {
      s.held = false;
      keyproc::writeMatte(KZ_COLOR_USK_MATTE + n, s.matte);
    }
    if (keyproc::needsStyleFix(r)) keyproc::fixStyle(record(n));
    if (!hold) {
      keyproc::writeBoxMask(target, s.process);
      keyproc::writeClipGain(target, s.process);
      s.held = true;
      s.heldGeneration = kz::memo::generation;
    }
  }
}

void CategoryUpStreamKey::workOutDriverSettings(int n, int videoFormat, DriverSettings& s) {
  const KzifUpStreamKey& r = records_[n];
  s.matte = keyproc::convertMatte(r.matteColor, videoFormat, colors_[static_cast<std::size_t>(n)]);
  keyproc::boxMaskSettings(BoxView{r.keyMask, r.maskBox}, videoFormat, s.process);
  keyproc::clipGainSettings(r, s.process);
  s.format = videoFormat;
  s.held = false;
}

CategoryUpStreamKeyAssign& CategoryUpStreamKeyAssign::get() {
  return BP::instance().require<CategoryUpStreamKeyAssign>();
}

// The record's own mask carries no field: a damaged image must not have it sent as anything but 0.
void CategoryUpStreamKeyAssign::restore(const u8* stored) {
  CategoryCommon::restore(stored);
  records_[0].mask = 0;
}

void CategoryUpStreamKeyAssign::assign(const KzifUpStreamKeyAssign& in, int idx) {
  checkChannel(idx);
  // The bus sources this record gives, for the mirror: those of its sources its checks take.
  UskSources taken{};
  rec::merge(taken, in.sources);
  KzifUpStreamKeyAssign& live = records_[0];
  rec::merge(live, in);
  live.mask = 0;
  markChanged(0);
  mirrorToBuses(taken.sourceMask);
}

void CategoryUpStreamKeyAssign::mirrorToBuses(u32 sourceBits) {
  KzifUpStreamKeyAssign& live = records_[0];
  CategoryBus* bus = BP::instance().find<CategoryBus>(0);
  if (bus == nullptr) return;
  for (int i = 0; i < N_USK_BUSES; ++i) {
    if ((sourceBits & (1u << i)) == 0) continue;
    bus->setUskSource(live.sources.uskSource[i], i);
    // A source the bus refuses is answered with the one the bus keeps, so both sides agree.
    const int held = bus->getSource(BUS_USK1_FILL + i);
    if (held != live.sources.uskSource[i] && isUskSource(held)) {
      live.sources.uskSource[i] = static_cast<u8>(held);
      live.sources.sourceMask |= 1u << i;
    }
  }
}

void CategoryUpStreamKeyAssign::setSource(int source, int bus) {
  if (bus < 0 || bus >= N_USK_BUSES || !isUskSource(source)) return;
  KzifUpStreamKeyAssign& live = records_[0];
  if (live.sources.uskSource[bus] == source) return;
  // One source, already range-tested: taken as a record carrying only it would be, without a
  // merge of the whole assignment table.
  live.sources.uskSource[bus] = static_cast<u8>(source);
  live.sources.sourceMask |= 1u << bus;
  markChanged(0);
  mirrorToBuses(1u << bus);
}

void CategoryUpStreamKeyAssign::setSources(const std::array<int, N_USK_BUSES>& sources, u32 buses) {
  KzifUpStreamKeyAssign& live = records_[0];
  u32 changed = 0;
  for (u32 bits = buses & ((1u << N_USK_BUSES) - 1); bits != 0; bits &= bits - 1) {
    const int bus = std::countr_zero(bits);
    const int source = sources[static_cast<std::size_t>(bus)];
    if (!isUskSource(source) || live.sources.uskSource[bus] == source) continue;
    live.sources.uskSource[bus] = static_cast<u8>(source);
    changed |= 1u << bus;
  }
  if (changed == 0) return;
  live.sources.sourceMask |= changed;
  markChanged(0);
  // Each bus is answered alone, so one pass over them all is the passes of one bus each.
  mirrorToBuses(changed);
}

void CategoryUpStreamKeyAssign::onButton(const internal::KzifButtonEvent& event) {
  const int n = event.getCode() - FIRST_BUTTON;
  if (n < 0 || n >= N_USK || event.state != 1) return;
  KzifUpStreamKeyAssign one{};
  one.assignment.assignFlag[n] = records_[0].assignment.assignFlag[n] == 1 ? 0 : 1;
  one.assignment.assignMask = 1u << n;
  assign(one, 0);
}

int CategoryUpStreamKeyAssign::isAssigned(int key) const {
  if (1 <= key && key <= N_USK) return records_[0].assignment.assignFlag[key - 1] == 1 ? 1 : 0;
  return N_USK < key && key <= 2 * N_USK ? 1 : 0;
}

// Input routing takes no M/E context either.
void CategoryUpStreamKeyAssign::update() {
  const auto* keys = BP::instance().find<CategoryUpStreamKey>();
  u32 keyed = 0;
  for (int n = 0; n < N_USK && keys != nullptr; ++n) {
    const KeyStyle& style = keys->data(n).style;
    if (style.keyType != 0 && style.styleFlag4 != 0) keyed |= 1u << n;
  }
  const bool written = takeRecordWritten(0);  // taken every field, so that it never goes stale
  if (written || keyed != routedKeyed_) [[unlikely]] workOutRouting(keyed);
  for (int i = 0; i < N_USK_BUSES; ++i) {
    const int input = busInputs_[static_cast<std::size_t>(i)];
    if (input >= 0) setUskInput(KZ_USK1_F + i, input);
  }
  // The same calls again, with no setter having taken anything since they went out: untraced,
  // each would find its input holding what it is given.
  if (inputCallsHeld_ && inputCallsGeneration_ == kz::memo::generation && !trace::enabled()) return;
  inputCallsHeld_ = false;
  for (int n = 0; n < nInputCalls_; ++n) {
    const InputCall& c = inputCalls_[static_cast<std::size_t>(n)];
    setInputUsk(c.input, c.on, c.usk);
  }
  inputCallsHeld_ = true;
  inputCallsGeneration_ = kz::memo::generation;
}

void CategoryUpStreamKeyAssign::workOutRouting(u32 keyed) {
  const KzifUpStreamKeyAssign& r = records_[0];
  for (int i = 0; i < N_USK_BUSES; ++i) {
    int source = r.sources.uskSource[i];
    // A key bus without a key signal of its own keys with its fill.
    if (i % 2 == 1 && (keyed & (1u << (i / 2))) == 0) source = r.sources.uskSource[i - 1];
    busInputs_[static_cast<std::size_t>(i)] = uskInputOfSource(source);
  }
  const RoutedIndexes& routed = routedIndexes();
  for (int n = 0; n < routed.count; ++n) {
    const RoutedIndex& e = routed.entries[static_cast<std::size_t>(n)];
    const int v = r.inputKey[e.index].key;
    const int keyer = 1 <= v && v <= 2 * N_USK ? (v - 1) % N_USK : 0;
    inputCalls_[static_cast<std::size_t>(n)] =
        InputCall{e.input, static_cast<u8>(isAssigned(v)), static_cast<u16>(KZ_USK1_F + 1 + 2 * keyer)};
  }
  nInputCalls_ = routed.count;
  routedKeyed_ = keyed;
  inputCallsHeld_ = false;
}

}  // namespace category

void initCategoryUpStreamKey() { static category::CategoryUpStreamKey keys; }
void initCategoryUpStreamKeyAssign() { static category::CategoryUpStreamKeyAssign assignment; }
