#include "Main/dsk.h"

#include <algorithm>
#include <cstring>

#include "Driver/memo.h"
#include "Driver/trace.h"
#include "Main/bp.h"
#include "Main/bus.h"
#include "Main/faderevent.h"
#include "Main/keymem.h"
#include "Main/sources.h"
#include "Main/system.h"

KZ_SOURCE("Main/dsk");

namespace {

using category::CategoryDsk;

constexpr float END_TOLERANCE = 1e-5f;
constexpr float FULL_POSITION = 0.99999f;
constexpr u32 KEY_MEMORY_BITS = (1u << KzifDsk::BIT_MATTE_COLOR) | (1u << KzifDsk::BIT_EDGE_COLOR) |
                                (1u << KzifDsk::BIT_BOX_EDGES);

int dskTarget(int n) { return KZ_DSK1 + 2 * n; }

// The key source memory remembers each DSK's settings per source. It is told here when a DSK's
// style, adjust, edge, box mask or colours change.
void markKeyMemoryChanged(int n) {
  if (KeyMemory* memory = findKeyMemory()) memory->markDskChanged(n);
}

bool touchesKeyMemory(const KzifDsk& in) {
  return in.style.mask != 0 || in.adjust.mask != 0 || in.edge.mask != 0 || in.boxMask.mask != 0 ||
         (in.mask & KEY_MEMORY_BITS) != 0;
}

void takeSettingField(DskTransSetting& to, const DskTransSetting& from, u32 bit) {
  if ((from.mask & bit) == 0) return;
  if (bit == DskTransSetting::TIMED) to.timed = from.timed;
  if (bit == DskTransSetting::TYPE) to.type = from.type;
  if (bit == DskTransSetting::RATE) to.rate = from.rate;
  to.mask |= bit;
}

constexpr u32 SETTING_FIELDS[] = {DskTransSetting::TIMED, DskTransSetting::TYPE, DskTransSetting::RATE};

// What the checks after a DSK record's merge compare with or put back: the live record's values as
// they stood before it, and its send marks (the top-level word and those of the two transition
// settings), which the merge must not see.
struct DskBefore {
  u32 mask;
  i16 boxEdges[4];
  u8 transitionLink;
  u8 priority;
  DskTransSetting transition;
  DskTransSetting reverseTransition;
};

// The transition link ties the reverse setting to the forward one. Linking copies the forward
// setting (as this record leaves it) into the reverse one; while linked, a record that leaves the
// link alone changes both alike, the forward setting winning where both carry a field. `live` is
// the DSK as it stood; `change` the DSK with what the record takes merged in, its marks saying what.
void linkTransitionSettings(const KzifDsk& in, const DskBefore& live, KzifDsk& change) {
  if (in.has(KzifDsk::BIT_TRANSITION_LINK)) {
    if (!change.has(KzifDsk::BIT_TRANSITION_LINK) || change.transitionLink != 1 || live.transitionLink == 1) return;
    DskTransSetting s = live.transition;
    for (u32 bit : SETTING_FIELDS) takeSettingField(s, change.transition, bit);
    s.mask = DskTransSetting::ALL;
    change.reverseTransition = s;
    return;
  }
  if (live.transitionLink != 1) return;
  // The fields either setting takes go to both; the others keep their live values.
  DskTransSetting forward = live.transition;
  DskTransSetting reverse = live.reverseTransition;
  forward.mask = 0;
  reverse.mask = 0;
  for (u32 bit : SETTING_FIELDS) {
    for (DskTransSetting* both : {&forward, &reverse}) {
      takeSettingField(*both, change.reverseTransition, bit);
      takeSettingField(*both, change.transition, bit);
    }
  }
  change.transition = forward;
  change.reverseTransition = reverse;
}

// What fills a DSK's edge; 1 and 2 (the keyers' utility buses) leave it as it is.
int edgeFillSource(int n, int fill) {
  if (fill == DskEdge::FILL_COLOR) return KZ_COLOR_DSK_EDGE + n;
  if (fill == DskEdge::FILL_CBGD1) return KZ_CBGD_1;
  if (fill == DskEdge::FILL_CBGD2) return KZ_CBGD_2;
  if (fill >= DskEdge::FILL_FIRST_MEDIA && fill <= 12) return KZ_STILL_1 + 2 * (fill - DskEdge::FILL_FIRST_MEDIA);
  return keyproc::NO_FILL_SOURCE;
}

category::CategoryBus* dskBuses() {
  auto* bus = BP::instance().find<category::CategoryBus>(CategoryDsk::BUS_ME);
  return bus != nullptr ? bus : BP::instance().find<category::CategoryBus>(0);
}

template <class Hook>
void writeIfChanged(CategoryDsk& dsk, int n, u8 now, int value, Hook hook) {
  if (now != value) (dsk.*hook)(n, value);
}

}  // namespace

float dskLevel(const AutoTransition& t) { return t.endFlag < 0 ? 1.0f - t.position() : t.position(); }

namespace category {

CategoryDsk& CategoryDsk::get() { return BP::instance().require<CategoryDsk>(); }

void CategoryDsk::initIndex(int, int) {
  for (int n = 0; n < N_DSK; ++n) rec::stamp(records_[n], me_, n);
}

void CategoryDsk::initInternal() {
  CategoryCommon::initInternal();
  for (int n = 0; n < N_DSK; ++n) {
    const std::size_t i = static_cast<std::size_t>(n);
    views_[i] = &records_[n];
    requestedKeyOn_[i] = NO_REQUEST;
    fillColors_[i] = keyproc::ColorCache{};
    edgeColors_[i] = keyproc::ColorCache{};
    settings_[i].format = -1;
  }
}

// A damaged image must never make the sender write more of a name than the name holds.
void CategoryDsk::restore(const u8* stored) {
  CategoryCommon::restore(stored);
  for (int n = 0; n < N_DSK; ++n) rec::normalizeTexts(records_[n]);
}

// The record is merged straight into the live record, its send marks set aside first: the marks
// then say what this record changes, and the checks below may take a change back (the value as it
// stood returns with it) before the marks set aside are added again.
void CategoryDsk::assign(const KzifDsk& in, int idx) {
  checkChannel(idx);  // before anything indexes with it
  KzifDsk& r = records_[idx];
  if (touchesKeyMemory(in)) markKeyMemoryChanged(idx);

  KzifDsk asked = in;
  asked.drop(KzifDsk::BIT_REVERSE);  // the update's own, never a record's

  DskBefore was;
  was.mask = r.mask;
  std::memcpy(was.boxEdges, r.boxEdges, sizeof was.boxEdges);
  was.transitionLink = r.transitionLink;
  was.priority = r.priority;
  was.transition = r.transition;
  was.reverseTransition = r.reverseTransition;
  r.mask = 0;
  r.transition.mask = 0;
  r.reverseTransition.mask = 0;

  rec::merge(r, asked);
  // The merge's check kept the box only with every edge within -5000..5000, which is all the
  // adjustment asks: it only orders the edges here.
  if (r.has(KzifDsk::BIT_BOX_EDGES)) adjustCropEdges(0, was.boxEdges, r.boxEdges);
  linkTransitionSettings(in, was, r);
  if (r.has(KzifDsk::BIT_KEY_ON)) requestedKeyOn_[static_cast<std::size_t>(idx)] = r.keyOn;

  r.transition.mask |= was.transition.mask;
  r.reverseTransition.mask |= was.reverseTransition.mask;
  // A priority is worked out from the DSKs as they stood, this one too.
  const bool movesPriority = r.has(KzifDsk::BIT_PRIORITY);
  const int moved = r.priority;
  if (movesPriority) {
    r.drop(KzifDsk::BIT_PRIORITY);
    r.priority = was.priority;
  }
  r.mask |= was.mask;
  if (movesPriority) {
    for (int i = 0; i < N_DSK; ++i) {
      KzifDsk& d = record(i);
      d.priority = static_cast<u8>(reorderPriority(moved, was.priority, d.priority, idx, i));
      d.set(KzifDsk::BIT_PRIORITY);
    }
  }
  rec::stamp(r, me_, idx);
  markChanged(idx);
}

void CategoryDsk::setKeyOn(int n, int v) {
  KzifDsk& r = record(n);
  r.keyOn = static_cast<u8>(v);
  r.set(KzifDsk::BIT_KEY_ON);
}

void CategoryDsk::setTransStopped(int n, int v) {
  KzifDsk& r = record(n);
  r.transStopped = static_cast<u8>(v);
  r.set(KzifDsk::BIT_TRANS_STOPPED);
}

void CategoryDsk::setInTransition(int n, int v) {
  KzifDsk& r = record(n);
  r.inTransition = static_cast<u8>(v);
  r.set(KzifDsk::BIT_IN_TRANSITION);
}

void CategoryDsk::cycleTransSetting(int n) {
  KzifDsk& r = record(n);
  const auto toggle = [](DskTransSetting& s) {
    s.timed = s.timed == 1 ? 0 : 1;
    s.mask |= DskTransSetting::TIMED;
  };
  if (r.transitionLink == 1) {
    toggle(r.transition);
    toggle(r.reverseTransition);
  } else {
    toggle(r.reverse == 1 ? r.reverseTransition : r.transition);
  }
  markChanged(n);
}

void CategoryDsk::update() {
  const auto* system = BP::instance().find<CategorySystem>();
  const int format = system != nullptr ? system->videoFormat() : 0;
  const bool reapply = system != nullptr && system->reapply() != 0;
  applyLayering();
  CategoryBus* bus = dskBuses();
  const auto& transitions = CategoryFaderEvent::get().transitions();
  for (int n = 0; n < N_DSK; ++n) updateOne(n, format, reapply, bus, transitions);
}

// Levels 0..2 from the priorities; where two DSKs share one the later DSK wins, as the keyers'
// layering does.
void CategoryDsk::applyLayering() {
  std::array<int, 3> level = {dskTarget(0), dskTarget(1), dskTarget(2)};
  for (int n = 0; n < N_DSK; ++n) {
    const int p = records_[n].priority;
    if (p < 3) level[static_cast<std::size_t>(p)] = dskTarget(n);
  }
  setDskSources(level[0], level[1], level[2]);
}

void CategoryDsk::updateOne(int n, int videoFormat, bool reapply, CategoryBus* bus,
                            const std::array<AutoTransition, N_AUTO_TRANSITIONS>& transitions) {
  const std::size_t i = static_cast<std::size_t>(n);
  const int target = dskTarget(n);
  const KzifDsk& r = records_[n];
  if (bus != nullptr) bus->applyDskXpt(n, r.style.keyType, r.style.styleFlag4);
  DriverSettings& s = settings_[i];
  // Taken first, so that the flag never outlives a field that worked the settings out anyway.
  const bool written = takeRecordWritten(n);
  if (written || s.format != videoFormat || reapply) [[unlikely]] workOutDriverSettings(n, videoFormat, s);
  // The same settings under the same context, with no setter having taken anything since they
  // went out: untraced, each call would find its registers holding what it is given.
  const bool hold = s.held && s.heldGeneration == kz::memo::generation &&
                    s.heldContext == kz::image::currentContextIndex && !trace::enabled();
  if (!hold) {
    s.held = false;
    keyproc::writeMatte(KZ_COLOR_DSK_FILL + n, s.fill);
    keyproc::writeMatte(KZ_COLOR_DSK_EDGE + n, s.edge);
  }
  // The style fix changes the record, but nothing worked out from it.
  if (keyproc::needsStyleFix(r)) keyproc::fixStyle(record(n));
  if (!hold) {
    keyproc::writeBoxMask(target, s.process);
    keyproc::writeClipGain(target, s.process);
    s.held = true;
    s.heldGeneration = kz::memo::generation;
    s.heldContext = kz::image::currentContextIndex;
  }
  // As for the keyers: only while an edge change is pending, or on the system's re-apply.
  if (r.edge.mask != 0 || reapply) {
    keyproc::applyEdge(target, r, edgeFillSource(n, r.edge.fill));
  }

  const AutoTransition& t = transitions[static_cast<std::size_t>(dskTransIndex(n))];
  const u8 reverse = t.direction < 0 ? 1 : 0;
  if (r.reverse != reverse) {
    KzifDsk& w = record(n);
    w.reverse = reverse;
    w.set(KzifDsk::BIT_REVERSE);
  }
  setKeyMix(target, std::clamp(dskLevel(t), 0.0f, 1.0f));
  if (requestedKeyOn_[i] != NO_REQUEST) carryOutRequestedKeyOn(n);
}

void CategoryDsk::workOutDriverSettings(int n, int videoFormat, DriverSettings& s) {
  const std::size_t i = static_cast<std::size_t>(n);
  const KzifDsk& r = records_[n];
  s.fill = keyproc::convertMatte(r.matteColor, videoFormat, fillColors_[i]);
  s.edge = keyproc::convertMatte(r.edgeColor, videoFormat, edgeColors_[i]);
  keyproc::boxMaskSettings(r, videoFormat, s.process);
  keyproc::clipGainSettings(r, s.process);
  s.format = videoFormat;
  s.held = false;
}

// A record that switches keyOn is carried out as a cut of the DSK's transition (keyOn has been
// brought in line with the level by the fader hooks of this field); ganged DSKs in the same state
// go with it.
void CategoryDsk::carryOutRequestedKeyOn(int n) {
  const std::size_t i = static_cast<std::size_t>(n);
  const i32 wanted = requestedKeyOn_[i];
  requestedKeyOn_[i] = NO_REQUEST;
  const KzifDsk& r = records_[n];
  if (wanted == NO_REQUEST || wanted == r.keyOn) return;
  CategoryFaderEvent& fader = CategoryFaderEvent::get();
  fader.transition(dskTransIndex(n)).cut();
  if (r.gang != 1) return;
  for (int other = 0; other < N_DSK; ++other)
    if (other != n && records_[other].gang == 1 && records_[other].keyOn == r.keyOn)
      fader.transition(dskTransIndex(other)).cut();
}

}  // namespace category

void followDskTransitions(const std::array<AutoTransition, N_AUTO_TRANSITIONS>& transitions) {
  CategoryDsk* dsk = BP::instance().find<CategoryDsk>();
  if (dsk == nullptr) return;
  const CategoryDsk& view = *dsk;  // reading alone must not count as a change to send
  for (int n = 0; n < CategoryDsk::N_DSK; ++n) {
    const AutoTransition& t = transitions[static_cast<std::size_t>(dskTransIndex(n))];
    const float level = dskLevel(t);
    const KzifDsk& r = view.data(n);
    const bool on = level > END_TOLERANCE;
    const bool between = on && level < FULL_POSITION;
    writeIfChanged(*dsk, n, r.keyOn, on ? 1 : 0, &CategoryDsk::setKeyOn);
    writeIfChanged(*dsk, n, r.inTransition, between || t.state == AutoTransition::STATE_RUNNING ? 1 : 0,
                   &CategoryDsk::setInTransition);
    writeIfChanged(*dsk, n, r.transStopped, t.state == AutoTransition::STATE_CUT_PENDING ? 1 : 0,
                   &CategoryDsk::setTransStopped);
  }
}

// The DSK output routing joins here: whether each downstream key is keyed (keyOn) picks the source
// of the DSK outputs once the output routing is known.
void routeDskOutputs() {}

void initCategoryDsk() { static category::CategoryDsk dsk; }
