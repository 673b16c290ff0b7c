// The names of the selectable sources (type id 39): for each source two user names and the two
// mode bytes that choose between them and the source's default name. The label each source shows
// on the multiview follows from them; the default names of the M/E outputs follow the custom texts.
#pragma once
#include <array>
#include <cstddef>

#include "Main/category.h"
#include "Main/escaped_text.h"
#include "Main/markedchannels.h"
#include "Main/multiview.h"

// Stored layout: 44 bytes per channel, natural alignment, the members below in this order
// (offsets pinned after the struct). Wire body: big-endian, in member order, 15 + L1 + L2 bytes
// (L1, L2 the two name lengths).
struct KzifSourceName {
  static constexpr int TYPE_ID = 39;
  static constexpr int N_CHANNELS = 224;
  static constexpr const char* NAME = "KzifSourceName";

  static constexpr int BIT_BUTTON_NAME_MODE = 0;
  static constexpr int BIT_BUTTON_NAME = 1;
  static constexpr int BIT_ATTRIBUTE = 2;
  static constexpr int BIT_MV_NAME_MODE = 3;
  static constexpr int BIT_MV_NAME = 4;
  static constexpr int N_BITS = 5;

  // buttonNameMode: 1 the button shows buttonName, 0 and 2 the default name.
  // mvNameMode: the multiview label shows 0 the default name, 1 mvName, 2 what the button shows.
  static constexpr int MODE_DEFAULT = 0;
  static constexpr int MODE_USER = 1;
  static constexpr int MODE_BUTTON = 2;

  using Name = rec::Text<12>;

  u32 mask;
  u16 channel;  // the source's channel, 0..223
  u8 buttonNameMode;
  Name buttonName;
  u8 attribute;  // kept and reported for the panels; not read here
  u8 mvNameMode;
  Name mvName;

  static constexpr auto wire() {
    using R = KzifSourceName;
    using rec::range;
    return rec::list(rec::mask(&R::mask), rec::channel(&R::channel),
                     rec::field(BIT_BUTTON_NAME_MODE, &R::buttonNameMode, range(0, 2)),
                     rec::field(BIT_BUTTON_NAME, &R::buttonName, EscapedText{}),
                     rec::field(BIT_ATTRIBUTE, &R::attribute, range(0, 7)),
                     rec::field(BIT_MV_NAME_MODE, &R::mvNameMode, range(0, 2)),
                     rec::field(BIT_MV_NAME, &R::mvName, EscapedText{}));
  }
};
static_assert(sizeof(KzifSourceName) == 44);
static_assert(offsetof(KzifSourceName, channel) == 4);
static_assert(offsetof(KzifSourceName, buttonNameMode) == 6);
static_assert(offsetof(KzifSourceName, buttonName) == 8);
static_assert(offsetof(KzifSourceName, attribute) == 24);
static_assert(offsetof(KzifSourceName, mvNameMode) == 25);
static_assert(offsetof(KzifSourceName, mvName) == 26);

namespace sourcename {

constexpr int N_MV_SOURCES = 249;  // multiview source indexes 0..248
constexpr std::size_t CUSTOM_TEXT_ROOM = 8;  // of an M/E's custom text, at most this much is shown
constexpr std::size_t LABEL_ROOM = 16;       // the longest label (a custom text and its suffix) and its zero

// The multiview source index a channel labels (-1 for a channel outside 0..223).
int mvIndexOfChannel(int channel);
// The fixed default name of a multiview source index; "" outside 0..248.
const char* fixedDefaultName(int mvIndex);

}  // namespace sourcename

namespace category {

class CategoryCustomInfo;

class CategoryButtonSourceName : public CategoryCommon<KzifSourceName> {
 public:
  static constexpr int N_BACKED_UP = 128;  // channels 0..31 and 128..223

  static CategoryButtonSourceName& get();

  std::size_t attachBackup(u8* p) override;
  void initIndex(int me, int flags) override;
  void initInternal() override;
  void restore(const u8* stored) override;
  void afterSend() override;
  void update() override;
  void assign(const KzifSourceName& in, int idx) override;

  // What an assign of channel c's own label mode (mvNameMode, its mask bit alone) does, without
  // the record: the mode is marked for sending and the label for publishing again.
  void retakeLabelMode(int c);

  // Passes the label of every channel to the multiview.
  void publishNames() const;
  // The label channel c shows on the multiview, written into out (LABEL_ROOM bytes); false when
  // it shows none (a mode out of range).
  bool label(int c, char* out) const;
  // The default name of channel c (a custom M/E output name or the fixed one), into out
  // (LABEL_ROOM bytes).
  void defaultName(int c, char* out) const;

  const KzifSourceName& data(int c) const { return record(c); }

 private:
  // The multiview source index whose label channel c sets, the label written into `label` as
  // CategoryMultiView::labelOf makes it; -1 when it sets none (a mode out of range) or the multiview
  // shows that label already: `shown` is the multiview's first output, looked up once by the caller
  // for every label.
  int labelToSet(int c, const CategoryMultiView::OutputState& shown, const CategoryCustomInfo* customTexts,
                 CategoryMultiView::Label& label) const;
  // label and defaultName for the channel's multiview source index, worked out once by the caller,
  // with the custom texts (none: the fixed names) looked up once for every label published; each
  // returns the length of the text it wrote (label -1 for none).
  int labelAt(int c, int mvIndex, char* out, const CategoryCustomInfo* customTexts) const;
  int defaultNameAt(int mvIndex, char* out, const CategoryCustomInfo* customTexts) const;

  std::array<KzifSourceName, N_CHANNELS> working_{};
  KzifSourceName* backup_ = nullptr;
  MarkedChannels<N_CHANNELS> toPublish_;  // label inputs taken since the last update
  MarkedChannels<N_CHANNELS> toBackUp_;   // backed-up channels changed since the last copy
};

}  // namespace category

void initCategoryButtonSourceName();
