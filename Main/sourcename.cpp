#include "Main/sourcename.h"

#include <array>
#include <cstring>
#include <utility>

#include "Main/bp.h"
#include "Main/custominfo.h"
#include "Main/multiview.h"

KZ_SOURCE("Main/sourcename");

namespace {

using category::CategoryButtonSourceName;
using sourcename::N_MV_SOURCES;

constexpr std::size_t NAME_ROOM = 28;
using NameTable = std::array<std::array<char, NAME_ROOM>, N_MV_SOURCES>;

// ---- the default name table, by multiview source index ----------------------------------------

constexpr int MV_ME_OUTPUTS = 130;    // four per M/E: program, preview, clean, key preview
constexpr int MV_DSK_OUTPUTS = 146;
constexpr int MV_STILLS = 155;
constexpr int MV_CLIPS = 163;
constexpr int MV_CBGD = 171;
constexpr int MV_BLACK = 174;
constexpr int MV_MULTIVIEWS = 175;
constexpr int MV_AUX = 183;
constexpr int MV_CLOCK = 231;
constexpr int MV_ME_B_OUTPUTS = 233;  // the B sides, four per M/E as above
constexpr int N_ME_SIDES = 4;
constexpr int OUTPUTS_PER_ME = 4;
constexpr const char* ME_OUTPUT_SUFFIX[OUTPUTS_PER_ME] = {"PGM", "PVW", "CLN", "KEYPVW"};

class NameWriter {
 public:
  constexpr explicit NameWriter(std::array<char, NAME_ROOM>& out) : out_(out) {}
  constexpr NameWriter& text(const char* s) {
    while (*s != '\0' && n_ + 1 < NAME_ROOM) out_[n_++] = *s++;
    return *this;
  }
  constexpr NameWriter& number(int v) {
    char digits[12] = {};
    int k = 0;
    do {
      digits[k++] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v > 0);
    while (k > 0 && n_ + 1 < NAME_ROOM) out_[n_++] = digits[--k];
    return *this;
  }

 private:
  std::array<char, NAME_ROOM>& out_;
  std::size_t n_ = 0;
};

constexpr NameTable buildDefaultNames() {
  NameTable t{};
  auto at = [&t](int v) { return NameWriter(t[static_cast<std::size_t>(v)]); };
  for (int i = 0; i < 128; ++i) at(i).text("SDI IN").number(i + 1);
  at(128).text("DVI IN1");
  at(129).text("DVI IN2");
  for (int m = 0; m < N_ME_SIDES; ++m) {
    for (int o = 0; o < OUTPUTS_PER_ME; ++o) {
      at(MV_ME_OUTPUTS + OUTPUTS_PER_ME * m + o).text("ME").number(m + 1).text(ME_OUTPUT_SUFFIX[o]);
      at(MV_ME_B_OUTPUTS + OUTPUTS_PER_ME * m + o).text("ME").number(m + 1).text("B").text(ME_OUTPUT_SUFFIX[o]);
    }
  }
  constexpr const char* DSK_OUTPUTS[] = {"DSKPGM1", "DSKPGM2", "DSKPVW1", "DSKPVW2", "DSK1CLN",
                                         "DSK2CLN", "DSK3CLN", "DSK4CLN", "SEL_KEYPVW"};
  for (int i = 0; i < 9; ++i) at(MV_DSK_OUTPUTS + i).text(DSK_OUTPUTS[i]);
  for (int i = 0; i < 8; ++i) {
    const char* part = i % 2 == 0 ? "V" : "K";
    at(MV_STILLS + i).text("Still ").number(i / 2 + 1).text(part);
    at(MV_CLIPS + i).text("Clip ").number(i / 2 + 1).text(part);
    at(MV_MULTIVIEWS + i).text("MV").number(i + 1);
  }
  at(MV_CBGD).text("CBGD1");
  at(MV_CBGD + 1).text("CBGD2");
  at(MV_CBGD + 2).text("CBAR");
  at(MV_BLACK).text("Black");
  for (int i = 0; i < 48; ++i) at(MV_AUX + i).text("AUX").number(i + 1);
  at(MV_CLOCK).text("Clock");
  at(MV_CLOCK + 1).text("LTC");
  return t;
}

constexpr NameTable DEFAULT_NAMES = buildDefaultNames();

constexpr bool everyNameFitsALabel() {
  for (const auto& name : DEFAULT_NAMES)
    if (name[sourcename::LABEL_ROOM - 1] != '\0') return false;
  return true;
}
static_assert(everyNameFitsALabel());

constexpr std::array<u8, N_MV_SOURCES> nameLengths() {
  std::array<u8, N_MV_SOURCES> lengths{};
  for (std::size_t v = 0; v < DEFAULT_NAMES.size(); ++v)
    while (DEFAULT_NAMES[v][lengths[v]] != '\0') ++lengths[v];
  return lengths;
}
constexpr std::array<u8, N_MV_SOURCES> DEFAULT_NAME_LENGTHS = nameLengths();

// Each fixed default name as the multiview keeps it (CategoryMultiView::labelOf): a start sets
// most labels from here.
using Label = category::CategoryMultiView::Label;
constexpr std::array<Label, N_MV_SOURCES> DEFAULT_LABELS = [] {
  std::array<Label, N_MV_SOURCES> labels{};
  for (std::size_t v = 0; v < labels.size(); ++v) {
    std::size_t n = DEFAULT_NAME_LENGTHS[v];
    if (n > category::CategoryMultiView::LABEL_CAPACITY) n = category::CategoryMultiView::LABEL_CAPACITY;
    for (std::size_t i = 0; i < n; ++i) labels[v].text.chars[i] = DEFAULT_NAMES[v][i];
    labels[v].text.length = static_cast<i16>(n);
    labels[v].redraw = 1;
  }
  return labels;
}();

// The M/E outputs whose default name is the M/E's custom text and a suffix: the A sides take
// custom texts 0..3, the B sides 4..7. -1 for any other index.
struct CustomOutputName {
  int text = -1;
  int suffix = 0;
};
// Asked for every label published: two range checks, each one compare.
CustomOutputName customOutputName(int mvIndex) {
  constexpr unsigned PER_SIDE = N_ME_SIDES * OUTPUTS_PER_ME;
  if (const auto k = static_cast<unsigned>(mvIndex - MV_ME_OUTPUTS); k < PER_SIDE)
    return {static_cast<int>(k / OUTPUTS_PER_ME), static_cast<int>(k % OUTPUTS_PER_ME)};
  if (const auto k = static_cast<unsigned>(mvIndex - MV_ME_B_OUTPUTS); k < PER_SIDE)
    return {N_ME_SIDES + static_cast<int>(k / OUTPUTS_PER_ME), static_cast<int>(k % OUTPUTS_PER_ME)};
  return {};
}

constexpr char CARRIAGE_RETURN = '\r';

// ---- channels and their place in the backup image ---------------------------------------------

// SDI inputs 33..128 (channels 32..127) are not kept: the image holds channels 0..31, then
// 128..223.
constexpr int KEPT_SDI_INPUTS = 32;
constexpr int FIRST_KEPT_AFTER_SDI = 128;
constexpr int NOT_KEPT = FIRST_KEPT_AFTER_SDI - KEPT_SDI_INPUTS;

// The backup entry of a channel, or -1 for channels 32..127.
int backupEntryOf(int c) {
  if (c < KEPT_SDI_INPUTS) return c;
  return c < FIRST_KEPT_AFTER_SDI ? -1 : c - NOT_KEPT;
}
int channelOfBackupEntry(int e) { return e < KEPT_SDI_INPUTS ? e : e + NOT_KEPT; }

// The stored fields of a channel, field by field (the padding and the mask are left as they are);
// a text is what its length counts, at most 12 characters, whatever the source bytes hold.
void copyNameFields(KzifSourceName& dst, const KzifSourceName& src) {
  dst.channel = src.channel;
  dst.buttonNameMode = src.buttonNameMode;
  dst.buttonName.assignFrom(src.buttonName);
  dst.attribute = src.attribute;
  dst.mvNameMode = src.mvNameMode;
  dst.mvName.assignFrom(src.mvName);
}

constexpr u32 ALL_FIELDS = (1u << KzifSourceName::N_BITS) - 1;
// A change of the attribute alone leaves the label as it is.
constexpr u32 LABEL_FIELDS = ALL_FIELDS & ~(1u << KzifSourceName::BIT_ATTRIBUTE);

}  // namespace

namespace sourcename {

namespace {

constexpr int mvIndexByRange(int c) {
  if (c <= 129) return c;                 // SDI and DVI inputs
  if (c <= 148) return c + 25;            // stills, clips, colour backgrounds, colour bars
  if (c == 149) return MV_BLACK;
  if (c <= 173) return c - 20;            // M/E outputs, DSK outputs
  if (c == 174) return 154;               // selected key preview
  if (c <= 198) return c + 8;             // AUX 1..24
  if (c <= 206) return c - 24;            // multiview outputs
  if (c == 207) return MV_CLOCK;
  return c - 208 + MV_ME_B_OUTPUTS;       // the M/E B-side outputs
}

// Looked up for every label published: one entry per channel.
constexpr auto MV_INDEX_OF_CHANNEL = [] {
  std::array<u8, KzifSourceName::N_CHANNELS> index{};
  for (int c = 0; c < KzifSourceName::N_CHANNELS; ++c) index[static_cast<std::size_t>(c)] = static_cast<u8>(mvIndexByRange(c));
  return index;
}();
static_assert(MV_INDEX_OF_CHANNEL[KzifSourceName::N_CHANNELS - 1] == N_MV_SOURCES - 1, "every index fits a byte");

}  // namespace

int mvIndexOfChannel(int c) {
  if (c < 0 || c >= KzifSourceName::N_CHANNELS) return -1;
  return MV_INDEX_OF_CHANNEL[static_cast<std::size_t>(c)];
}

const char* fixedDefaultName(int mvIndex) {
  if (mvIndex < 0 || mvIndex >= N_MV_SOURCES) return "";
  return DEFAULT_NAMES[static_cast<std::size_t>(mvIndex)].data();
}

}  // namespace sourcename

namespace category {

CategoryButtonSourceName& CategoryButtonSourceName::get() { return BP::instance().require<CategoryButtonSourceName>(); }

std::size_t CategoryButtonSourceName::attachBackup(u8* p) {
  attachInternal(working_.data());
  backup_ = reinterpret_cast<KzifSourceName*>(p);
  toPublish_ = {};
  toBackUp_ = {};
  return sizeof(KzifSourceName) * N_BACKED_UP;
}

void CategoryButtonSourceName::initIndex(int, int) {
  for (int c = 0; c < N_CHANNELS; ++c) rec::stamp(records_[c], me_, c);
}

// The backup area starts blank at every start: every backed-up channel is copied at the first
// chance.
void CategoryButtonSourceName::initInternal() {
  CategoryCommon::initInternal();
  toBackUp_.markAll();
}

void CategoryButtonSourceName::restore(const u8* stored) {
  const auto* entries = reinterpret_cast<const KzifSourceName*>(stored);
  for (int c = 0; c < N_CHANNELS; ++c) rec::stamp(records_[c], me_, c);
  int reset = 0;
  for (int e = 0; e < N_BACKED_UP; ++e) {
    const int c = channelOfBackupEntry(e);
    KzifSourceName entry;
    std::memcpy(static_cast<void*>(&entry), &entries[e], sizeof entry);  // the image need not be aligned
    rec::normalizeTexts(entry);
    KzifSourceName& r = records_[c];
    reset += rec::restoreChecked(r, entry);
    rec::stamp(r, me_, c);  // the channel is the slot's, whatever the image says
    rec::setAllMasks(r);
    markChanged(c);
    toPublish_.mark(c);
  }
  toBackUp_.markAll();
  reportValuesReset(reset);
}

// An entry whose bytes the copy would leave as they are is neither written nor marked for the
// save (a record that sends a name again, a refresh of the M/E output labels): the save looks only
// for bytes that differ from the image it holds. A start marks the whole area (initInternal).
void CategoryButtonSourceName::afterSend() {
  if (backup_ == nullptr) return;
  toBackUp_.visit([&](int c) {
    toBackUp_.unmark(c);
    const int e = backupEntryOf(c);
    if (e < 0) return true;
    KzifSourceName entry;
    std::memcpy(static_cast<void*>(&entry), &backup_[e], sizeof entry);
    copyNameFields(entry, records_[c]);
    entry.mask = 0;
    if (std::memcmp(&entry, &backup_[e], sizeof entry) == 0) return true;
    std::memcpy(static_cast<void*>(&backup_[e]), &entry, sizeof entry);
    shareMarks().setBytes(&backup_[e], sizeof entry);  // the backup area is the share, not the records
    return true;
  });
}

void CategoryButtonSourceName::assign(const KzifSourceName& in, int idx) {
  checkChannel(idx);
  const rec::MergeResult result = rec::merge(records_[idx], in);
  rec::stamp(records_[idx], me_, idx);
  markChanged(idx);
  toBackUp_.mark(idx);
  if ((in.mask & LABEL_FIELDS & ~static_cast<u32>(result.droppedBits)) != 0) toPublish_.mark(idx);
}

// As the merge would take the mode: only within its range. The mode it takes is the record's own,
// so the stored fields change only where the record was written since it was last looked at here
// (the record handed out writable, a merge, a start): only then is the channel copied to the image
// again, as an assign would copy it.
void CategoryButtonSourceName::retakeLabelMode(int c) {
  checkChannel(c);
  KzifSourceName& r = records_[c];
  const bool written = takeRecordWritten(c);
  if (r.mvNameMode <= KzifSourceName::MODE_BUTTON) {
    r.mask |= 1u << KzifSourceName::BIT_MV_NAME_MODE;
    toPublish_.mark(c);
  }
  rec::stamp(r, me_, c);
  markChanged(c);
  takeRecordWritten(c);  // this call's own change, which leaves the stored fields as they were
  if (written) toBackUp_.mark(c);
}

void CategoryButtonSourceName::update() {
  if (toPublish_.none()) return;
  auto* multiView = BP::instance().find<CategoryMultiView>();
  // The multiview's update, next in this pass (the type id after this one, nothing between), asks
  // for every label in the first field after a start: what these would set, it sets.
  if (multiView == nullptr || multiView->asksForEveryLabelAfterStart()) {
    toPublish_ = {};
    return;
  }
  const auto* customTexts = BP::instance().find<CategoryCustomInfo>();
  const CategoryMultiView::OutputState& shown = multiView->output(0);
  CategoryMultiView::Label label;
  toPublish_.visit([&](int c) {
    toPublish_.unmark(c);
    const int index = labelToSet(c, shown, customTexts, label);
    if (index >= 0) multiView->setSourceName(index, label);
    return true;
  });
}

void CategoryButtonSourceName::publishNames() const {
  auto* multiView = BP::instance().find<CategoryMultiView>();
  if (multiView == nullptr) return;
  const auto* customTexts = BP::instance().find<CategoryCustomInfo>();
  const CategoryMultiView::OutputState& shown = multiView->output(0);
  CategoryMultiView::LabelPass pass(*multiView);
  CategoryMultiView::Label label;
  for (int c = 0; c < N_CHANNELS; ++c) {
    const int index = labelToSet(c, shown, customTexts, label);
    if (index >= 0) pass.set(index, label);
  }
}

// A label the multiview shows already, marked for drawing, is not set again: setting it would
// change nothing. The multiview sets and clears a label in all of its outputs alike, so its first
// output stands for every one.
int CategoryButtonSourceName::labelToSet(int c, const CategoryMultiView::OutputState& shownOutput,
                                         const CategoryCustomInfo* customTexts, CategoryMultiView::Label& label) const {
  const int index = sourcename::mvIndexOfChannel(c);
  if (index < 0 || index >= CategoryMultiView::N_SOURCES) return -1;
  const CategoryMultiView::Label& shown = shownOutput.labels[static_cast<std::size_t>(index)];
  const KzifSourceName& r = record(c);
  const bool defaultName = r.mvNameMode == KzifSourceName::MODE_DEFAULT ||
                           (r.mvNameMode == KzifSourceName::MODE_BUTTON && r.buttonNameMode != KzifSourceName::MODE_USER);
  // A label is set whole, zeros after its characters (the text cut to the label's capacity): its
  // length and the characters it counts are all of it.
  auto showsAlready = [&shown](const char* text, std::size_t n) {
    return shown.redraw == 1 && shown.text.length == static_cast<i16>(n) && std::memcmp(shown.text.chars, text, n) == 0;
  };
  if (defaultName && customOutputName(index).text < 0) {
    // A fixed name, ready made.
    const Label& ready = DEFAULT_LABELS[static_cast<std::size_t>(index)];
    if (showsAlready(ready.text.chars, static_cast<std::size_t>(ready.text.length))) return -1;
    label = ready;
    return index;
  }
  char text[sourcename::LABEL_ROOM];
  const int length = labelAt(c, index, text, customTexts);
  if (length < 0) return -1;
  std::size_t n = static_cast<std::size_t>(length);
  if (n > static_cast<std::size_t>(CategoryMultiView::LABEL_CAPACITY)) n = CategoryMultiView::LABEL_CAPACITY;
  if (showsAlready(text, n)) return -1;
  label = {};
  std::memcpy(label.text.chars, text, n);
  label.text.length = static_cast<i16>(n);
  label.redraw = 1;
  return index;
}

bool CategoryButtonSourceName::label(int c, char* out) const {
  return labelAt(c, sourcename::mvIndexOfChannel(c), out, BP::instance().find<CategoryCustomInfo>()) >= 0;
}

int CategoryButtonSourceName::labelAt(int c, int mvIndex, char* out, const CategoryCustomInfo* customTexts) const {
  const KzifSourceName& r = record(c);
  // A name is what its length counts, a zero among its characters ending the label there.
  auto copyName = [out](const KzifSourceName::Name& name) {
    const std::size_t n = name.usable();
    std::memcpy(out, name.chars, n);
    out[n] = '\0';
    const void* zero = std::memchr(out, '\0', n);
    return static_cast<int>(zero != nullptr ? static_cast<const char*>(zero) - out : static_cast<std::ptrdiff_t>(n));
  };
  switch (r.mvNameMode) {
    case KzifSourceName::MODE_DEFAULT:
      return defaultNameAt(mvIndex, out, customTexts);
    case KzifSourceName::MODE_USER:
      return copyName(r.mvName);
    case KzifSourceName::MODE_BUTTON:
      return r.buttonNameMode == KzifSourceName::MODE_USER ? copyName(r.buttonName) : defaultNameAt(mvIndex, out, customTexts);
    default:
      return -1;
  }
}

void CategoryButtonSourceName::defaultName(int c, char* out) const {
  defaultNameAt(sourcename::mvIndexOfChannel(c), out, BP::instance().find<CategoryCustomInfo>());
}

int CategoryButtonSourceName::defaultNameAt(int v, char* out, const CategoryCustomInfo* customTexts) const {
  const CustomOutputName custom = customOutputName(v);
  const CategoryCustomInfo* info = custom.text >= 0 ? customTexts : nullptr;
  const char* text = info != nullptr ? info->getCustomText(custom.text) : "";
  if (text[0] != '\0' && text[0] != CARRIAGE_RETURN) {
    std::size_t n = std::strlen(text);
    if (n > sourcename::CUSTOM_TEXT_ROOM) n = sourcename::CUSTOM_TEXT_ROOM;
    if (text[n - 1] == CARRIAGE_RETURN) --n;
    std::memcpy(out, text, n);
    std::strcpy(out + n, ME_OUTPUT_SUFFIX[custom.suffix]);
    return static_cast<int>(n + std::strlen(ME_OUTPUT_SUFFIX[custom.suffix]));
  }
  if (v < 0 || v >= N_MV_SOURCES) {
    out[0] = '\0';
    return 0;
  }
  // Every fixed name fits a label with its zero, the rest of its row zeros as well.
  const std::size_t i = static_cast<std::size_t>(v);
  std::memcpy(out, DEFAULT_NAMES[i].data(), sourcename::LABEL_ROOM);
  return DEFAULT_NAME_LENGTHS[i];
}

}  // namespace category

void initCategoryButtonSourceName() { static category::CategoryButtonSourceName names; }
