#include "Main/chrkey.h"

#include <cstring>
#include <utility>

#include "Driver/chroma.h"
#include "Driver/kz.h"
#include "Driver/memo.h"
#include "Driver/trace.h"
#include "Main/bp.h"
#include "Main/key.h"
#include "Main/keymem.h"
#include "Main/mf_config.h"
#include "Main/system.h"

KZ_SOURCE("Main/chrkey");

namespace {

constexpr i16 APPLIED_SAMPLE_SIZE_AT_START = 10;
constexpr int KEY_TYPE_CHROMA = 2;
constexpr int LEVEL_OFFSET_STEP = 5;

int keyerTarget(int c) { return KZ_KEY1 + 2 * c; }

int chromaChannel(int me, int c) { return 4 * me + c; }

int chromaModeId(int chromaMode) {
  if (chromaMode == 2) return 0x2013;
  if (chromaMode == 3) return 0x2012;
  return 0x2014;
}

}  // namespace

// Each of L, W, T and H is one single-precision expression truncated toward zero; the clipping
// differs by raster, as the sample hardware of each format counts its edges differently.
ChromaSampleArea chromaSampleArea(int videoFormat, int x, int y, int size) {
  const float xs = static_cast<float>(x) / 10000.0f + 0.5f;
  const float ys = 0.5f - static_cast<float>(y) / 10000.0f;
  const float w = static_cast<float>(size) / 10000.0f;
  const float h = w;
  int L, W, T, H, Lc;
  const bool is720 = videoFormat == 4 || videoFormat == 5;
  const bool is525 = videoFormat == 6;
  const bool is625 = videoFormat == 7;
  if (is720) {
    L = static_cast<int>(xs * 1280.0f - w * 1281.0f / 2.0f);
    W = static_cast<int>(w * 1281.0f);
    T = static_cast<int>(ys * 720.0f - h * 360.0f);
    H = static_cast<int>(h * 720.0f);
  } else if (is525) {
    L = static_cast<int>(xs * 720.0f - w * 360.0f);
    W = static_cast<int>(w * 720.0f);
    T = static_cast<int>(ys * 244.0f - h * 122.0f);
    H = static_cast<int>(h * 244.0f);
  } else if (is625) {
    L = static_cast<int>(xs * 720.0f - w * 721.0f / 2.0f);
    W = static_cast<int>(w * 721.0f);
    T = static_cast<int>(ys * 289.0f - h * 144.0f);
    H = static_cast<int>(h * 288.0f);
  } else {
    L = static_cast<int>(xs * 1920.0f - w * 1921.0f / 2.0f);
    W = static_cast<int>(w * 1921.0f);
    T = static_cast<int>(ys * 540.0f - h * 270.0f);
    H = static_cast<int>(h * 540.0f);
  }

  bool leftBeyond = false;
  if (L < 0) {
    W += L;
    L = 0;
    Lc = 0;
  } else if (is720) {
    if (L < 1280) {
      L &= ~1;
      Lc = L;
    } else {
      L = 1280;
      Lc = 1280;
      leftBeyond = true;
    }
  } else if (is525) {
    if (L < 719) {
      L = (L + 1) & ~1;
      Lc = L;
    } else {
      L = 718;
      Lc = 718;
    }
  } else if (is625) {
    if (L < 720) {
      L &= ~1;
      Lc = L;
    } else {
      L = 718;
      Lc = 719;
    }
  } else {
    if (L < 1920) {
      L &= ~1;
      Lc = L;
    } else {
      L = 1918;
      Lc = 1919;
    }
  }

  const int lastLine = is720 ? 719 : is525 ? 243 : is625 ? 287 : 539;
  if (T < 0) {
    H += T;
    T = 0;
  } else if (T > lastLine) {
    T = lastLine;
  }

  if (W < 0) W = 0;
  if (is720) {
    if (W >= 1280 - Lc) W = 1279 - Lc;
  } else if (is525) {
    if (W >= 719 - Lc) W = 718 - Lc;
  } else if (is625) {
    if (W >= 720 - Lc) W = 719 - Lc;
  } else {
    if (W >= 1920 - Lc) W = 1919 - Lc;
  }
  W = leftBeyond ? 0 : (W & ~1);

  if (H < 0) H = 0;
  if (is720) {
    if (H >= 720 - T) H = 719 - T;
  } else if (is525) {
    if (H >= 244 - T) H = 243 - T;
  } else if (is625) {
    if (H > 288 - T) H = 288 - T;
  } else {
    if (H >= 540 - T) H = 539 - T;
  }
  return ChromaSampleArea{L, T, W, H};
}

namespace category {

CategoryChromaKey::CategoryChromaKey() : CategoryCommon(true) {
  setRoute<KzifChromaKeyCmd>(IndexOf<KzifChromaKey>::value);
}

CategoryChromaKey* CategoryChromaKey::find(int me) {
  auto* own = BP::instance().find<CategoryChromaKey>(me);
  return own != nullptr ? own : BP::instance().find<CategoryChromaKey>(0);
}

std::size_t CategoryChromaKey::attachBackup(u8* p) {
  tableArea_ = p;
  CategoryCommon::attachBackup(p + TABLE_AREA);
  return BACKUP_SHARE;
}

void CategoryChromaKey::initIndex(int, int) {
  std::memset(tableArea_, 0, TABLE_AREA);
  for (int c = 0; c < N_KEYERS; ++c) rec::stamp(records_[c], me_, c);
}

void CategoryChromaKey::initInternal() {
  CategoryCommon::initInternal();
  sampleIsChroma_ = 0;
  for (int c = 0; c < N_KEYERS; ++c) {
    ChromaKeyData& block = blocks_[slot(c)];
    std::memset(&block, 0, sizeof block);
    std::memcpy(&block, tablePart(c), ChromaKeyData::TABLE_PART);
  }
  tablePending_.fill(1);
  const KzifChromaKey& first = records_[0];
  pending_.sampleKey = first.sampleKey;
  pending_.chromaMode = first.chromaMode;
  pending_.samplePosition[0] = first.samplePosition[0];
  pending_.samplePosition[1] = first.samplePosition[1];
  pending_.sampleSize = first.sampleSize;
  applied_ = MeWide{};
  applied_.sampleSize = APPLIED_SAMPLE_SIZE_AT_START;
  // Keyer 1 has no status word: its table is always taken as ready.
  statusChecked_ = {1, 0, 0, 0};
  polling_ = true;
  peers_.found = false;
  tableValid_ = {1, 0, 0, 0};
  keyOutputs_.fill(0);
}

void CategoryChromaKey::restore(const u8* stored) {
  CategoryCommon::restore(stored + TABLE_AREA);  // after the cold start's clear of the table area
  std::memcpy(tableArea_, stored, TABLE_AREA);
}

void CategoryChromaKey::assign(const KzifChromaKey& in, int idx) {
  checkChannel(idx);
  if (in.has(KzifChromaKey::BIT_LEVEL) || in.has(KzifChromaKey::BIT_LEVEL_OFFSET)) {
    if (KeyMemory* memory = findKeyMemory()) memory->markChanged(me_, idx);
  }
  KzifChromaKey& live = records_[idx];
  const rec::MergeResult merged = rec::merge(live, in);
  // The M/E-wide values this record gave: each is one value (the position a pair taken whole), so
  // one marked and not refused was taken.
  const auto taken = [&](int bit) { return in.has(bit) && (merged.droppedBits & (u64{1} << bit)) == 0; };
  if (taken(KzifChromaKey::BIT_SAMPLE_KEY)) pending_.sampleKey = live.sampleKey;
  if (taken(KzifChromaKey::BIT_CHROMA_MODE)) pending_.chromaMode = live.chromaMode;
  if (taken(KzifChromaKey::BIT_SAMPLE_POSITION)) {
    pending_.samplePosition[0] = live.samplePosition[0];
    pending_.samplePosition[1] = live.samplePosition[1];
  }
  if (taken(KzifChromaKey::BIT_SAMPLE_SIZE)) pending_.sampleSize = live.sampleSize;
  rec::stamp(live, me_, idx);
  markChanged(idx);
}

void CategoryChromaKey::readChannelData(int n, ChromaKeyData& out) const { out = blocks_[slot(n)]; }

void CategoryChromaKey::writeChannelData(int n, const ChromaKeyData& in) {
  ChromaKeyData& block = blocks_[slot(n)];
  block = in;
  block.fromSnapshot = 1;
  std::memcpy(tablePart(n), &block, ChromaKeyData::TABLE_PART);
  markShareChanged();
  writeChromakey(chromaChannel(me_, n), &block, CHROMAKEY_UNIT);
  tablePending_.fill(1);
}

void CategoryChromaKey::reloadChannelData(int n) {
  ChromaKeyData& block = blocks_[slot(n)];
  readChromakey(chromaChannel(me_, n), &block, CHROMAKEY_UNIT);
  std::memcpy(tablePart(n), &block, ChromaKeyData::TABLE_PART);
  markShareChanged();
  applyTable(n);
}

void CategoryChromaKey::applyTable(int n) {
  const std::size_t c = slot(n);
  if (tableValid_[c] == 0) return;
  const ChromaKeyData& block = blocks_[c];
  setMeContext(KZ_CONTEXT_ME1 + me_);
  setChromaKeyColor(keyerTarget(n), block.color);
  setChromaKeyColor2(keyerTarget(n), block.color2);
  writeChromaKeyTable(keyerTarget(n), block.table);
  tablePending_[c] = 0;
}

void CategoryChromaKey::receiveRouted(int id, RequestReceiver& rx) {
  rx.consume();
  KZ_CHECK_EQ(id, IndexOf<KzifChromaKeyCmd>::value);
  KzifChromaKeyCmd cmd{};
  if (!rec::decode(rx.reader(), cmd)) return;  // a short body is no command; nothing to answer
  CategoryChromaKey* target = cmd.me < N_ME ? find(cmd.me) : nullptr;
  if (target == nullptr) {
    rx.refuse("M/E", cmd.me);  // no chroma keyers there: nothing to answer
    return;
  }
  // The selector must be 0..3 (as i16 a negative one is refused too); a keyer channel beyond the
  // four keyers must not reach their data or the key source memory.
  if (cmd.selector > 3 || cmd.channel >= N_KEYERS) {
    cmd.result = KzifChromaKeyCmd::RESULT_BAD_PARAMETER;
  } else {
    target->reloadChannelData(cmd.channel);
    if (KeyMemory* memory = findKeyMemory()) memory->markChanged(target->me(), cmd.channel);
    cmd.result = KzifChromaKeyCmd::RESULT_OK;
  }
  AcknowledgeSender::instance().writeRecord(cmd);  // "send buffer full" is logged there
}

// A value written for one keyer reaches every keyer's record in the next update, reported with
// its mask bit.
void CategoryChromaKey::takeMeWide(int n) {
  KzifChromaKey& r = records_[n];
  bool marked = false;
  if (pending_.sampleKey != applied_.sampleKey) {
    r.sampleKey = pending_.sampleKey;
    r.mask |= 1u << KzifChromaKey::BIT_SAMPLE_KEY;
    marked = true;
  }
  if (pending_.chromaMode != applied_.chromaMode) {
    r.chromaMode = pending_.chromaMode;
    r.mask |= 1u << KzifChromaKey::BIT_CHROMA_MODE;
    marked = true;
  }
  if (pending_.samplePosition[0] != applied_.samplePosition[0] ||
      pending_.samplePosition[1] != applied_.samplePosition[1]) {
    r.samplePosition[0] = pending_.samplePosition[0];
    r.samplePosition[1] = pending_.samplePosition[1];
    r.mask |= 1u << KzifChromaKey::BIT_SAMPLE_POSITION;
    marked = true;
  }
  if (pending_.sampleSize != applied_.sampleSize) {
    r.sampleSize = pending_.sampleSize;
    r.mask |= 1u << KzifChromaKey::BIT_SAMPLE_SIZE;
    marked = true;
  }
  if (marked) mayHoldMarks(n);
}

// The last keyer k of this M/E that the configuration names as a sample keyer, that is the
// selected sample keyer and that is a chroma keyer; -1 when none is.
int CategoryChromaKey::configuredSampleKeyer(const std::array<int, N_KEYERS>& keyTypes) const {
  const CategoryMainframeConfig* config = peers_.config;
  if (config == nullptr || me_ >= 8) return -1;
  const KzifMainframeConfig& mf = config->record(0);
  int found = -1;
  for (int k = 0; k < N_KEYERS; ++k) {
    if (mf.sampleKeyer[12 * me_ + k] == 1 && mf.selectedSampleKeyer == 4 * me_ + k &&
        keyTypes[static_cast<std::size_t>(k)] == KEY_TYPE_CHROMA)
      found = k;
  }
  return found;
}

void CategoryChromaKey::findPeers() {
  const BP& bp = BP::instance();
  peers_.keys = bp.find<CategoryKey>(me_);
  if (peers_.keys == nullptr) peers_.keys = bp.find<CategoryKey>(0);
  peers_.config = bp.find<CategoryMainframeConfig>();
  peers_.system = bp.find<CategorySystem>();
  peers_.found = true;
}

void CategoryChromaKey::update() {
  // The categories are static objects, all registered before a start: looked up once per start.
  if (!peers_.found) findPeers();
  std::array<int, N_KEYERS> keyTypes{};
  if (const CategoryKey* keys = peers_.keys)
    for (int c = 0; c < N_KEYERS; ++c) keyTypes[static_cast<std::size_t>(c)] = keys->keyType(c);
  setMeContext(KZ_CONTEXT_ME1 + me_);

  const CategoryMainframeConfig* config = peers_.config;
  const int format = peers_.system != nullptr ? peers_.system->videoFormat() : 0;

  // Neither the configuration, the key types nor the sample keyer change within the pass: the
  // sample flags every keyer sets are the same.
  const MeConfig* mc = config != nullptr && me_ < 8 ? &config->record(0).meConfig[me_] : nullptr;
  const int sampleKeyer = configuredSampleKeyer(keyTypes);
  const int sampleKey = pending_.sampleKey;
  sampleIsChroma_ = sampleKey >= 1 && sampleKey <= 4 && keyTypes[static_cast<std::size_t>(sampleKey - 1)] == KEY_TYPE_CHROMA;
  const int sample1401 = mc != nullptr && mc->sampleOff1401 == 1 ? 0 : sampleIsChroma_;
  const int sample1407 = mc != nullptr && mc->sampleOff1407 == 1 ? 0 : sampleIsChroma_;
  const int sample1408 = sampleKeyer >= 0 ? 1 : 0;
  const bool meWideMoved = !(pending_ == applied_);
  for (int c = 0; c < N_KEYERS; ++c) {
    const std::size_t k = static_cast<std::size_t>(c);
    const int target = keyerTarget(c);
    const bool isChroma = keyTypes[k] == KEY_TYPE_CHROMA;
    if (meWideMoved) takeMeWide(c);
    const KzifChromaKey& r = records_[c];
    const HeldSetters::Args args{sample1401, sample1407, sample1408, isChroma ? 1 : 0, chromaModeId(r.chromaMode),
                                 r.level, r.levelOffset / LEVEL_OFFSET_STEP};
    // The same arguments under this M/E's context, with no setter having taken anything since they
    // went out: untraced, the calls would change nothing.
    HeldSetters& held = heldSetters_[k];
    if (!held.valid || held.args != args || held.generation != kz::memo::generation ||
        getMeContext() != KZ_CONTEXT_ME1 + me_ || trace::enabled()) {
      held.valid = false;
      setChromaKeySample(KZ_CHROMA_SAMPLE_1401, sample1401);
      setChromaKeySample(KZ_CHROMA_SAMPLE_1407, sample1407);
      setChromaKeySample(KZ_CHROMA_SAMPLE_1408, sample1408);
      setChromaKeyEnable(target, args[3], args[3], KZ_CHROMA_FIXED, args[4]);
      setChromaKeyLevel(target, r.level, args[6]);
      held = {args, kz::memo::generation, true};
    }
    if (!isChroma) continue;
    if (sampleKey - 1 == c || c == sampleKeyer) {
      const ChromaSampleArea a = chromaSampleArea(format, r.samplePosition[0], r.samplePosition[1], r.sampleSize);
      setChromaKeySampleArea(a.left, a.top, a.width, a.height);
    }
    if (tablePending_[k] != 0) applyTable(c);
  }
  applied_ = pending_;
  if (polling_) pollTableStatus();
  applyKeyOutputs();
}

// Keyers 2..4 wait for the System Manager's word that their data is ready; a word other than the
// ready value leaves the keyer without a table until the next start.
void CategoryChromaKey::pollTableStatus() {
  polling_ = false;
  for (int c = 1; c < N_KEYERS; ++c) {
    const std::size_t k = static_cast<std::size_t>(c);
    if (statusChecked_[k] != 0) continue;
    polling_ = true;
    const u32 word = readChromakeyStatus(c);
    if (word == 0) continue;
    statusChecked_[k] = 1;
    tableValid_[k] = word == CHROMAKEY_TABLE_READY ? 1 : 0;
    if (tableValid_[k] != 0) applyTable(c);
  }
}

// A keyer with a chroma mode gives its key through its own chroma output. Set when an id changes.
void CategoryChromaKey::applyKeyOutputs() {
  std::array<u16, N_KEYERS> ids{};
  for (int c = 0; c < N_KEYERS; ++c)
    ids[static_cast<std::size_t>(c)] = static_cast<u16>(
        records_[c].chromaMode != 0 ? KZ_CHROMA_KEY_OUTPUT_FIRST + c : KZ_CHROMA_KEY_OUTPUT);
  if (ids == keyOutputs_) return;
  keyOutputs_ = ids;
  setMeContext(KZ_CONTEXT_ME1 + me_);
  setMeKeyOutputs(ids[0], ids[1], ids[2], ids[3]);
}

}  // namespace category

void initCategoryChromaKey() { static category::CategoryChromaKey chromaKeys[N_ME]; }
