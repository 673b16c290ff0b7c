#include "Main/multiview.h"

#include <cstring>
#include <type_traits>

#include "Main/bp.h"
#include "Main/source_ids.h"
#include "Main/sourcename.h"
#include "Main/system.h"
#include "Main/tally.h"

KZ_SOURCE("Main/multiview");

namespace {

// The tally marks of the labels come from the four source tally record channels (type id 53):
// when their bytes have moved since the last look, every output draws its tally borders again.
void readSourceTally(category::CategoryMultiView& multiView, u32& seenRevision) {
  const auto* tally = BP::instance().find<category::CategorySourceTally>();
  if (tally == nullptr || tally->tallyRevision() == seenRevision) return;
  seenRevision = tally->tallyRevision();
  multiView.invalidateTally();
}

// Asks the button source names for every label: their publishNames feeds setSourceName.
void readSourceNames() {
  if (const auto* names = BP::instance().find<category::CategoryButtonSourceName>()) names->publishNames();
}

int levelSlot(int source) {
  const int offset = source - SOURCE_CLIP_FILL_FIRST;
  if (offset < 0 || offset % SOURCE_IDS_PER_MEDIA_CHANNEL != 0 ||
      offset / SOURCE_IDS_PER_MEDIA_CHANNEL >= category::CategoryMultiView::N_LEVEL_SOURCES)
    return -1;
  return offset / SOURCE_IDS_PER_MEDIA_CHANNEL;
}

}  // namespace

namespace category {

CategoryMultiView::CategoryMultiView() { registerCategory(this, TYPE_ID); }

CategoryMultiView& CategoryMultiView::get() { return BP::instance().require<CategoryMultiView>(); }

void CategoryMultiView::initInternal() {
  // Every label empty (no characters, zeros in its room) and nothing to redraw: all zeros, one
  // store over the outputs rather than one text at a time (every boot runs this).
  static_assert(std::is_trivially_copyable_v<OutputState>);
  std::memset(static_cast<void*>(outputs_.data()), 0, sizeof outputs_);
  for (auto& pair : levels_) pair.fill(0.0f);
  appliedFormat_ = -1;
  tallyRevision_ = 0;
}

// Looked at every field that has labels to publish: the system is found only after a start.
bool CategoryMultiView::asksForEveryLabelAfterStart() const {
  static_assert(std::is_unsigned_v<decltype(KzifSystem::videoFormat)>, "a format is never the -1 of none");
  return appliedFormat_ < 0 && BP::instance().find<CategorySystem>() != nullptr;
}

void CategoryMultiView::update() {
  // The labels depend on the video format (M/E output names and the like), so a changed format asks
  // for all of them and redraws every output; so does the first field after start-up.
  if (auto* system = BP::instance().find<CategorySystem>()) {
    const int format = system->videoFormat();
    if (format != appliedFormat_) {
      appliedFormat_ = format;
      for (OutputState& out : outputs_) out.redrawRequest = 1;
      readSourceNames();
    }
  }
  readSourceTally(*this, tallyRevision_);
}

void CategoryMultiView::receive(RequestReceiver& rx) { rx.consume(); }

CategoryMultiView::Label CategoryMultiView::labelOf(const char* text) {
  Label label{};
  label.text.set(text ? text : "");
  label.redraw = 1;
  return label;
}

void CategoryMultiView::setSourceName(int index, const char* text) { setSourceName(index, labelOf(text)); }

void CategoryMultiView::setSourceName(int index, const Label& label) {
  if (index < 0 || index >= N_SOURCES) return;
  for (OutputState& out : outputs_) out.labels[static_cast<std::size_t>(index)] = label;
}

void CategoryMultiView::LabelPass::set(int index, const Label& label) {
  if (index < 0 || index >= N_SOURCES) return;
  multiView_.outputs_[0].labels[static_cast<std::size_t>(index)] = label;
  any_ = true;
}

// A start sets every label at once: seven copies of the first output's labels instead of seven
// more stores of each.
CategoryMultiView::LabelPass::~LabelPass() {
  if (!any_) return;
  static_assert(std::is_trivially_copyable_v<Label>);
  auto& outputs = multiView_.outputs_;
  for (std::size_t n = 1; n < outputs.size(); ++n)
    std::memcpy(static_cast<void*>(outputs[n].labels.data()), outputs[0].labels.data(), sizeof outputs[0].labels);
}

void CategoryMultiView::invalidateTally() {
  for (OutputState& out : outputs_) {
    out.redrawRequest = 1;
    out.changeFlags |= TALLY_CHANGED;
  }
}

void CategoryMultiView::setSourceLevel(int source, f32 a, f32 b) {
  const int slot = levelSlot(source);
  if (slot < 0) return;
  levels_[static_cast<std::size_t>(slot)] = {a, b};
}

const CategoryMultiView::OutputState& CategoryMultiView::output(int n) const {
  KZ_CHECK(0 <= n && n < N_OUTPUTS);
  return outputs_[static_cast<std::size_t>(n)];
}

f32 CategoryMultiView::sourceLevel(int source, int which) const {
  const int slot = levelSlot(source);
  if (slot < 0 || which < 0 || which > 1) return 0.0f;
  return levels_[static_cast<std::size_t>(slot)][static_cast<std::size_t>(which)];
}

}  // namespace category

void initCategoryMultiView() { static category::CategoryMultiView multiView; }
