// The tally source walk: from one output (an M/E output, a DSK output or an AUX bus) to everything
// that feeds it, through the M/E backgrounds and keys, the DSKs, the AUX selections, the media
// recorders and the upstream keys. Each source is visited at most once per group and pass, which
// also ends the walk where M/Es feed each other.
#include <cstring>

#include "Main/autotrans.h"
#include "Main/bkgd.h"
#include "Main/bp.h"
#include "Main/bus.h"
#include "Main/dsk.h"
#include "Main/faderevent.h"
#include "Main/inputvideo.h"
#include "Main/key.h"
#include "Main/mf_config.h"
#include "Main/operate.h"
#include "Main/sources.h"
#include "Main/tally.h"
#include "Main/usk.h"

KZ_SOURCE("Main/tally_walk");

namespace category {

namespace {

constexpr float ON_AIR = 0.00001f;      // a transition level above this has begun
constexpr float FADED_OUT = 0.99999f;   // a fade to black above this hides the DSK programs

constexpr int BUS_A = 0;
constexpr int BUS_UTILITY_BASE = 9;  // utility bus v (1, 2) is bus 9 + v
constexpr int BUS_DSK_FIRST = 16;
constexpr int BUS_AUX_FIRST = 24;
constexpr int BUS_USK_FIRST = 72;
constexpr int SOURCE_AUX_FIRST = 240;
constexpr int SOURCE_AUX_LAST = 287;
constexpr int SOURCE_DSK_PGM1 = 170;
constexpr int SOURCE_DSK_PGM2 = 171;
constexpr int SOURCE_DSK_PVW1 = 172;
constexpr int SOURCE_DSK_PVW2 = 173;
constexpr int SOURCE_DSK_CLEAN_FIRST = 174;
constexpr int SOURCE_DSK_CLEAN_LAST = 177;

// A transition's level: its position, or 1 - position once a completed run has flipped its end.
float levelOf(const AutoTransition& t) { return t.endFlag < 0 ? 1.0f - t.position() : t.position(); }

bool keyedWithSource(const KeyStyle& s) { return (s.keyType == 1 || s.keyType == 2) && s.styleFlag4 == 1; }

// Status byte `byte` (0 least significant) of a word.
int statusByte(u32 word, int byte) { return static_cast<int>((word >> (8 * byte)) & 0xFFu); }

// The entry of the upstream key assignment table a source has, or -1.
int uskEntryOf(int s) {
  if (10 <= s && s <= 41) return s - 10;
  if (s == 140 || s == 141) return s - 12;
  for (int n = 0; n < 4; ++n) {
    if (s == 181 + 3 * n) return 130 + 2 * n;
    if (s == 182 + 3 * n) return 131 + 2 * n;
    if (s == 201 + 3 * n) return 138 + 2 * n;
    if (s == 202 + 3 * n) return 139 + 2 * n;
  }
  if (220 <= s && s <= 223) return s - 74;
  return -1;
}

}  // namespace

class CategorySourceTally::Walk {
 public:
  Walk(Tally& work, bool hardware, const std::array<u32, N_STATUS_WORDS>& status)
      : work_(work), hardware_(hardware), status_(status) {
    BP& bp = BP::instance();
    for (int m = 0; m < N_ME; ++m) {
      const auto i = static_cast<std::size_t>(m);
      bus_[i] = bp.find<CategoryBus>(m);
      key_[i] = bp.find<CategoryKey>(m);
      bkgd_[i] = bp.find<CategoryBkgd>(m);
    }
    dskBus_ = bus_[1] != nullptr ? bus_[1] : bus_[0];
    dsk_ = bp.find<CategoryDsk>();
    usk_ = bp.find<CategoryUpStreamKey>();
    uskAssign_ = bp.find<CategoryUpStreamKeyAssign>();
    config_ = bp.find<CategoryMainframeConfig>();
    fader_ = bp.find<CategoryFaderEvent>();
    operate_ = bp.find<CategoryOperate>();
  }

  void walk(int s);
  friend void CategorySourceTally::recurBkgd(Walk& walk, int me, int preview);

 private:
  // ---- what the walk reads ----
  int busSource(int me, int bus) const {
    const CategoryBus* b = bus_[static_cast<std::size_t>(me)];
    return b != nullptr ? b->getSource(bus) : -1;
  }
  float transLevel(int i) const { return fader_ != nullptr ? levelOf(fader_->transition(i)) : 0.0f; }
  float keyLevel(int me, int k) const { return transLevel(keyTransIndex(me, k)); }
  const KzifKey* key(int me, int k) const {
    const CategoryKey* c = key_[static_cast<std::size_t>(me)];
    return c != nullptr ? &c->record(k) : nullptr;
  }
  const KzifBkgd* bkgd(int me) const {
    const CategoryBkgd* c = bkgd_[static_cast<std::size_t>(me)];
    return c != nullptr ? &c->record(0) : nullptr;
  }
  const MeConfig* meConfig(int me) const { return config_ != nullptr ? &config_->record(0).meConfig[me] : nullptr; }
  const DskConfig* dskConfig() const { return config_ != nullptr ? &config_->record(0).dskConfig : nullptr; }
  bool excluded(int s) const {
    if (10 <= s && s <= 137) return CategoryInputVideo::get().isTallyExcluded(s - 10) != 0;
    if (s == 140 || s == 141) return CategoryInputVideo::get().isTallyExcluded(s - 140) != 0;
    return false;
  }

  // ---- what it writes ----
  void flagBus(int me, int b) {
    if (b < 0 || b >= KzifBusTally::N_BUSES) return;
    KzifBusTally& r = work_.buses[static_cast<std::size_t>(me)];
    r.tally[b] = 1;
    r.changed[b / 32] |= 1u << (b % 32);
  }
  void flagBusAllMes(int b) {
    for (int m = 0; m < N_ME; ++m) flagBus(m, b);
  }
  void walkBus(int me, int b) { walk(busSource(me, b)); }

  // ---- steps ----
  void utilityStep(int me, int v) {
    if (v != 1 && v != 2) return;
    flagBus(me, BUS_UTILITY_BASE + v);
    walkBus(me, BUS_UTILITY_BASE + v);
  }
  void mediaStep(int s) {
    if (!isStillSourceSelected(s) && !isClipSourceSelected(s)) return;
    const int b = mediaSourceKind(s);
    if (b < 0) return;
    flagBusAllMes(b);
    walkBus(0, b);
  }
  void uskStep(int s);
  // The M/E output step of either variant; preview 0 program, 1 preview.
  void meOutput(int me, int preview);
  void meOutputHardware(int me, int b);
  void cleanOutput(int me);
  void keyStep(int me, int k, int mode);
  void dskOutput(int s, int b);
  void dskKeyStep(int n, bool typeTwoKeys);
  int dskSide(int s) const;
  int dskInput(int s, int side) const;
  int dskStatusByte(int s) const;
  int meStatusByte(int me, int byte) const { return statusByte(status_[static_cast<std::size_t>(me)], byte); }
  // The clean key of an M/E, or -1 when the configuration names none.
  int cleanKey(const MeConfig& c) const { return c.cleanKey < CategoryKey::N_KEYS ? c.cleanKey : -1; }

  Tally& work_;
  bool hardware_;
  const std::array<u32, N_STATUS_WORDS>& status_;
  std::array<const CategoryBus*, N_ME> bus_{};
  std::array<const CategoryKey*, N_ME> key_{};
  std::array<const CategoryBkgd*, N_ME> bkgd_{};
  const CategoryBus* dskBus_ = nullptr;
  const CategoryDsk* dsk_ = nullptr;
  const CategoryUpStreamKey* usk_ = nullptr;
  const CategoryUpStreamKeyAssign* uskAssign_ = nullptr;
  const CategoryMainframeConfig* config_ = nullptr;
  const CategoryFaderEvent* fader_ = nullptr;
  const CategoryOperate* operate_ = nullptr;
};

void CategorySourceTally::Walk::walk(int s) {
  while (s >= 0) {
    const int i = tallyIndexOf(s);
    if (i >= 0 && work_.sources.tally[i] != 0) return;
    if ((s == SOURCE_DSK_PGM1 || s == SOURCE_DSK_PGM2) && operate_ != nullptr && operate_->fadeLevel() > FADED_OUT)
      return;
    if (excluded(s)) return;
    if (i >= 0) {
      work_.sources.tally[i] = 1;
      work_.sources.changed[i / 32] |= 1u << (i % 32);
    }
    if ((150 <= s && s <= 152) || (154 <= s && s <= 156)) {
      const int me = s < 154 ? 0 : 1;
      const int output = s - (me == 0 ? 150 : 154);
      if (output == 2)
        cleanOutput(me);
      else
        meOutput(me, output);
      return;
    }
    if (SOURCE_DSK_PGM1 <= s && s <= SOURCE_DSK_CLEAN_LAST) {
      dskOutput(s, dskStatusByte(s));
      return;
    }
    if (SOURCE_AUX_FIRST <= s && s <= SOURCE_AUX_LAST) {
      const int b = BUS_AUX_FIRST + (s - SOURCE_AUX_FIRST);
      flagBusAllMes(b);
      s = busSource(0, b);
      continue;
    }
    mediaStep(s);
    uskStep(s);
    return;
  }
}

void CategorySourceTally::Walk::uskStep(int s) {
  const int j = uskEntryOf(s);
  if (j < 0 || uskAssign_ == nullptr || usk_ == nullptr) return;
  const KzifUpStreamKeyAssign& assign = uskAssign_->data();
  const int u = assign.inputKey[j].key;
  if (uskAssign_->isAssigned(u) <= 0) return;
  const int k = (u - 1) % N_USK;
  const KzifUpStreamKey& key = usk_->data(k);
  const int fill = assign.sources.uskSource[2 * k];
  const int keySource = assign.sources.uskSource[2 * k + 1];
  flagBus(0, BUS_USK_FIRST + 2 * k);
  walk(fill);
  if (key.style.keyType != 0 && key.style.keyType != 3 && key.style.styleFlag4 != 0) {
    flagBus(0, BUS_USK_FIRST + 2 * k + 1);
    walk(keySource);
  }
}

void CategorySourceTally::recurBkgd(Walk& w, int me, int preview) {
  KZ_CHECK(0 <= me && me < N_ME);
  const CategoryBus* bus = w.bus_[static_cast<std::size_t>(me)];
  const int p = bus != nullptr ? bus->flip() : 0;
  const int q = (p == 0 || p == 1) ? 1 - p : 0;
  w.flagBus(me, p);
  w.flagBus(me, q);
  float a = 0.0f, second = 0.0f;
  if (w.fader_ != nullptr) {
    const AutoTransition& t = w.fader_->transition(bkgdTransIndex[static_cast<std::size_t>(me)]);
    a = t.position();
    second = t.getMode() == 1 ? t.positionB : 0.0f;
  }
  const MeConfig* config = w.meConfig(me);
  if (preview == 1 && config != nullptr && config->previewBus != 0) {
    w.walkBus(me, q);
    return;
  }
  w.walkBus(me, p);
  if (!(a > ON_AIR || second > ON_AIR)) return;
  w.walkBus(me, q);
  const KzifBkgd* bk = w.bkgd(me);
  if (bk == nullptr || bk->transType != 1) return;
  if (bk->wipeUtility == 1 && bk->wipeGroup == 0 && bk->wipePattern != 23) w.utilityStep(me, bk->transUtilityBus);
  const int group = bk->wipeGroup, pattern = bk->wipePattern;
  const bool takesUtility = (group == 1 && (bk->wipeVariant == 2 || bk->wipeVariant == 3) && (pattern == 16 || pattern == 18)) ||
                            (group == 3 && 12 <= pattern && pattern <= 15) || (group == 1 && 20 <= pattern && pattern <= 22);
  if (takesUtility) w.utilityStep(me, bk->utilityBus);
}

void CategorySourceTally::Walk::meOutput(int me, int preview) {
  KZ_CHECK(0 <= me && me < N_ME);
  if (hardware_) {
    meOutputHardware(me, meStatusByte(me, preview));
    return;
  }
  recurBkgd(*this, me, preview);
  const MeConfig* config = meConfig(me);
  for (int k = 0; k < CategoryKey::N_KEYS; ++k) {
    const float level = keyLevel(me, k);
    bool selected = false;
    if (preview == 1) {
      const int rule = config != nullptr ? config->previewKey[k] : 0;
      selected = (rule == 1 && level <= FADED_OUT) || rule == 2;
    } else {
      selected = level > 0.0f;
    }
    if (!selected) continue;
    const KzifKey* kz = key(me, k);
    keyStep(me, k, kz != nullptr && keyedWithSource(kz->style) ? 2 : 0);
  }
}

void CategorySourceTally::Walk::meOutputHardware(int me, int b) {
  if (b & 0x06) {
    flagBus(me, BUS_A);
    flagBus(me, BUS_A + 1);
  }
  if (b & 0x02) walkBus(me, BUS_A);
  if (b & 0x04) walkBus(me, BUS_A + 1);
  const KzifBkgd* bk = bkgd(me);
  if ((b & 0x01) && bk != nullptr) utilityStep(me, bk->utilityBus);
  if (bk != nullptr && fader_ != nullptr && fader_->transition(bkgdTransIndex[static_cast<std::size_t>(me)]).position() > ON_AIR &&
      bk->transType == 1 && bk->wipeUtility == 1 && bk->wipeGroup == 0 && bk->wipePattern != 23)
    utilityStep(me, bk->transUtilityBus);
  for (int k = 0; k < CategoryKey::N_KEYS; ++k) {
    if ((b & (1 << (3 + k))) == 0) continue;
    flagBus(me, 2 + 2 * k);
    walkBus(me, 2 + 2 * k);
    const KzifKey* kz = key(me, k);
    if (kz == nullptr) continue;
    if (keyedWithSource(kz->style)) {
      flagBus(me, 3 + 2 * k);
      walkBus(me, 3 + 2 * k);
    }
    if (kz->edge.type != 0) utilityStep(me, kz->edge.fill);
  }
}

void CategorySourceTally::Walk::keyStep(int me, int k, int mode) {
  if (mode == 0 || mode == 2) {
    flagBus(me, 2 + 2 * k);
    walkBus(me, 2 + 2 * k);
  }
  if (mode == 1 || mode == 2) {
    flagBus(me, 3 + 2 * k);
    walkBus(me, 3 + 2 * k);
  }
  const KzifKey* kz = key(me, k);
  if (kz != nullptr && kz->edge.type != 0 && kz->edge.width != 0) utilityStep(me, kz->edge.fill);
}

void CategorySourceTally::Walk::cleanOutput(int me) {
  const MeConfig* config = meConfig(me);
  const int mode = config != nullptr ? config->cleanMode : 0;
  const int clean = config != nullptr ? cleanKey(*config) : 0;
  if (hardware_) {
    if (mode != 1) {
      meOutputHardware(me, meStatusByte(me, 2));
      return;
    }
    if (clean < 0 || keyLevel(me, clean) <= ON_AIR) return;
    const KzifKey* kz = key(me, clean);
    const int b = (kz != nullptr && keyedWithSource(kz->style) ? 3 : 2) + 2 * clean;
    flagBus(me, b);
    walkBus(me, b);
    return;
  }
  if (mode == 1) {
    if (clean >= 0 && keyLevel(me, clean) > ON_AIR) keyStep(me, clean, 1);
    return;
  }
  if (mode != 0) return;
  if (clean >= 0) {
    const KzifKey* cleanRecord = key(me, clean);
    const int floor = cleanRecord != nullptr ? cleanRecord->priority : 0;
    for (int k = 0; k < CategoryKey::N_KEYS; ++k) {
      const KzifKey* kz = key(me, k);
      if (kz == nullptr || kz->priority <= floor || keyLevel(me, k) <= ON_AIR) continue;
      keyStep(me, k, keyedWithSource(kz->style) ? 2 : 0);
    }
  }
  recurBkgd(*this, me, 0);
}

int CategorySourceTally::Walk::dskStatusByte(int s) const {
  const u32 out = status_[4], clean = status_[5];
  switch (s) {
    case SOURCE_DSK_PGM1: return statusByte(out, 0);
    case SOURCE_DSK_PVW1: return statusByte(out, 1);
    case SOURCE_DSK_PGM2: return statusByte(out, 2);
    case SOURCE_DSK_PVW2: return statusByte(out, 3);
    default: return statusByte(clean, s - SOURCE_DSK_CLEAN_FIRST);
  }
}

int CategorySourceTally::Walk::dskSide(int s) const {
  const DskConfig* c = dskConfig();
  if (c == nullptr) return -1;
  const bool e = c->sideSelect == 1;
  if (s == SOURCE_DSK_PGM1 || s == SOURCE_DSK_PVW1) return 0;
  if (s == SOURCE_DSK_PGM2) return e ? 1 : 0;
  if (s == SOURCE_DSK_PVW2) {
    const int v = c->previewSelect;
    if (1 <= v && v <= 4) return e && c->programAssign[v - 1] == 1 ? 1 : 0;
    if (v == 0 || v == 5) return e ? 1 : 0;
    return -1;
  }
  if (SOURCE_DSK_CLEAN_FIRST <= s && s <= SOURCE_DSK_CLEAN_LAST)
    return e && c->programAssign[s - SOURCE_DSK_CLEAN_FIRST] == 1 ? 1 : 0;
  return -1;
}

int CategorySourceTally::Walk::dskInput(int s, int side) const {
  const DskConfig* c = dskConfig();
  if (c == nullptr || side < 0 || side > 1) return -1;
  const int x = c->previewFollow == 1 && c->previewFollowOff == 0 ? 1 : 0;
  auto anyAssigned = [&](int value) {
    for (u8 a : c->programAssign)
      if (a == value) return true;
    return false;
  };
  int g = 1;
  if (s == SOURCE_DSK_PVW1) {
    g = x == 1 ? 0 : (anyAssigned(0) ? 1 : 0);
  } else if (s == SOURCE_DSK_PVW2) {
    const int v = c->previewSelect;
    if (1 <= v && v <= 4)
      g = 1 - x;
    else if (v == 5)
      g = 0;
    else
      g = x == 0 && anyAssigned(1) ? 1 : 0;
  } else if (SOURCE_DSK_CLEAN_FIRST <= s && s <= SOURCE_DSK_CLEAN_LAST) {
    g = c->cleanPreview[s - SOURCE_DSK_CLEAN_FIRST] != 0 ? 1 - x : 1;
  }
  switch (c->meInput[side]) {
    case 0: return g == 1 ? 150 : 151;
    case 1: return g == 1 ? 154 : 155;
    case 8: return g == 1 ? 152 : 151;
    case 9: return g == 1 ? 156 : 155;
    default: return -1;
  }
}

void CategorySourceTally::Walk::dskKeyStep(int n, bool typeTwoKeys) {
  flagBusAllMes(BUS_DSK_FIRST + 2 * n);
  if (dskBus_ != nullptr) walk(dskBus_->getSource(BUS_DSK_FIRST + 2 * n));
  if (dsk_ == nullptr) return;
  const DskStyle& style = dsk_->record(n).style;
  const bool separateKey = (style.keyType == 1 || (typeTwoKeys && style.keyType == 2)) && style.styleFlag4 == 1;
  if (!separateKey) return;
  flagBusAllMes(BUS_DSK_FIRST + 2 * n + 1);
  if (dskBus_ != nullptr) walk(dskBus_->getSource(BUS_DSK_FIRST + 2 * n + 1));
}

void CategorySourceTally::Walk::dskOutput(int s, int b) {
  const int side = dskSide(s);
  if (hardware_) {
    if ((b & 0x01) && side != -1) walk(dskInput(s, side));
    for (int n = 0; n < CategoryDsk::N_DSK; ++n)
      if (b & (1 << (1 + n))) dskKeyStep(n, false);
    return;
  }
  if (side != -1) walk(dskInput(s, side));
  if (s == SOURCE_DSK_PGM1 || s == SOURCE_DSK_PGM2) {
    const DskConfig* c = dskConfig();
    const int program = s == SOURCE_DSK_PGM2 ? 1 : 0;
    for (int n = 0; n < CategoryDsk::N_DSK; ++n) {
      const int assigned = c != nullptr ? c->programAssign[n] : 0;
      if (assigned == program && transLevel(dskTransIndex(n)) > ON_AIR) dskKeyStep(n, true);
    }
    return;
  }
  for (int n = 0; n < CategoryDsk::N_DSK; ++n)
    if (b & (1 << (1 + n))) dskKeyStep(n, true);
}

void CategorySourceTally::walkGroup(Tally& work, const TallyGroup& group, bool hardware) const {
  Walk walk(work, hardware, statusOr_);
  for (i16 code : group.output) walk.walk(tallyEntrySource(code));
}

void CategorySourceTally::walkAndTakeGroups(const CategoryPeripheral* peripheral, bool hardware) {
  static Tally work;  // one group's work record, built anew for each group
  Walk walk(work, hardware, statusOr_);
  for (int k = 0; k < N_GROUPS; ++k) {
    // Only group 0's bus flags are taken: the other groups' walks may leave theirs behind.
    if (k == 0) {
      std::memset(static_cast<void*>(&work), 0, sizeof work);
      for (int m = 0; m < N_ME; ++m) work.buses[static_cast<std::size_t>(m)].me = static_cast<u8>(m);
    } else {
      std::memset(static_cast<void*>(&work.sources), 0, sizeof work.sources);
    }
    if (peripheral != nullptr)
      for (i16 code : peripheral->tallyGroup(k).output)
        if (code != 0) walk.walk(tallyEntrySource(code));  // entry 0 names no output
    takeGroup(k, work);
  }
}

}  // namespace category
