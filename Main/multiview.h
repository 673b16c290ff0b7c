// The multiview (type id 40): eight multiview outputs, each drawing source windows with their
// labels, tally borders and audio meters. This holds what the other features feed it: the label
// of every multiview source index, the tally redraw requests and the clip audio levels. Its
// record is not built, so it is registered without record storage and takes no messages.
#pragma once
#include <array>

#include "Main/category.h"

namespace category {

class CategoryMultiView : public CategoryInterface {
 public:
  static constexpr int TYPE_ID = 40;
  static constexpr int N_OUTPUTS = 8;
  static constexpr int N_SOURCES = 249;  // multiview source indexes 0..248
  static constexpr int LABEL_CAPACITY = 12;
  static constexpr u8 TALLY_CHANGED = 0x80;  // change-flag bit: tally borders to be drawn again
  static constexpr int N_LEVEL_SOURCES = 4;  // the clip video sources 201 + 3i

  struct Label {
    rec::Text<LABEL_CAPACITY> text;
    u8 redraw;  // 1: the drawing pass draws this label again
  };
  struct OutputState {
    u8 redrawRequest;
    u8 changeFlags;
    std::array<Label, N_SOURCES> labels;
  };

  CategoryMultiView();
  static CategoryMultiView& get();

  const char* typeName() const override { return "KzifMultiView"; }
  std::size_t attachBackup(u8*) override { return 0; }
  void initInternal() override;
  void update() override;
  // No record of its own yet: the body is taken and dropped.
  void receive(RequestReceiver& rx) override;

  // Copies the label (at most 12 characters; null for none) into the entry of that source index in
  // every output and marks it for redraw. An index outside 0..248 is ignored.
  void setSourceName(int index, const char* text);
  // The same with the label as labelOf() makes it of the text.
  void setSourceName(int index, const Label& label);
  // A pass that sets many labels, each set() doing what setSourceName does: the labels go into
  // the first output alone, and when the pass ends (however it ends) every other output takes the
  // first one's labels whole, once, if any was set. Only the pass reads the labels meanwhile.
  class LabelPass {
   public:
    explicit LabelPass(CategoryMultiView& multiView) : multiView_(multiView) {}
    ~LabelPass();
    LabelPass(const LabelPass&) = delete;
    LabelPass& operator=(const LabelPass&) = delete;
    // The label as labelOf() makes it of its text.
    void set(int index, const Label& label);

   private:
    CategoryMultiView& multiView_;
    bool any_ = false;
  };
  // What setSourceName stores for a text: at most 12 characters, zeros after them, marked for redraw.
  static Label labelOf(const char* text);
  // Whether this field's update asks for every label as the first one since a start (any video
  // format differs from none); a later change of the format asks for them too.
  bool asksForEveryLabelAfterStart() const;
  // Every output redraws and draws its tally borders again.
  void invalidateTally();
  // The two audio levels of a clip video source (201, 204, 207, 210); other sources are ignored.
  void setSourceLevel(int source, f32 a, f32 b);

  const OutputState& output(int n) const;
  // Level a (which 0) or b (which 1) last set for a source; 0 for a source without levels.
  f32 sourceLevel(int source, int which) const;

 private:
  std::array<OutputState, N_OUTPUTS> outputs_{};
  std::array<std::array<f32, 2>, N_LEVEL_SOURCES> levels_{};
  int appliedFormat_ = -1;  // video format the labels were last asked for; -1 none yet
  u32 tallyRevision_ = 0;   // source tally revision the tally borders were last drawn for
};

}  // namespace category

void initCategoryMultiView();
