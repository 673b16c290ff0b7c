// System-wide settings (type id 29): the video format, the field parity of the running field,
// the panel event field selection and the two panel toggles, and the bus link-suppress request.
#pragma once
#include "Main/button_event_record.h"
#include "Main/category.h"
#include "Main/video_format.h"

// Stored layout (208 bytes; the bytes not named here are kept zero for settings that other
// features add):
//   0 u32 mask | 8 u8 videoFormat | 9 u8 toggle2006 | 10 u8 toggle2013 | 108 u8 fieldSelect |
//   204 u8 linkSuppress
// Wire body (big-endian), in this order:
//   u32 mask; u8 videoFormat (bit 0, 0..11); u8 linkSuppress (bit 1, 0..1);
//   u8 toggle2006 (bit 2, 0..1); u8 toggle2013 (bit 3, 0..1); u8 fieldSelect (bit 4, any)
struct KzifSystem {
  static constexpr int TYPE_ID = 29;
  static constexpr int N_CHANNELS = 1;
  static constexpr const char* NAME = "KzifSystem";
  // The layout is ours: the System Manager may send blocks after these fields. They are skipped,
  // so the body length is not held to the fields read.
  static constexpr bool TRAILING_BLOCKS = true;

  u32 mask;
  u8 reserved0[4];
  u8 videoFormat;  // 0..11, see Main/video_format.h
  u8 toggle2006;   // toggled by panel button 2006
  u8 toggle2013;   // toggled by panel button 2013
  u8 reserved1[97];
  u8 fieldSelect;  // which field panel events are handled in (progressive 1080 formats)
  u8 reserved2[95];
  u8 linkSuppress;  // 1: the buses skip their source-link follow once
  u8 reserved3[3];

  static constexpr auto wire() {
    using R = KzifSystem;
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::videoFormat, rec::range(0, VIDEO_FORMAT_LAST)),
                     rec::field(1, &R::linkSuppress, rec::range(0, 1)),
                     rec::field(2, &R::toggle2006, rec::range(0, 1)), rec::field(3, &R::toggle2013, rec::range(0, 1)),
                     rec::field(4, &R::fieldSelect));
  }
};
static_assert(sizeof(KzifSystem) == 208);
static_assert(rec::wireSizeOf<KzifSystem>() == 9);
static_assert(offsetof(KzifSystem, videoFormat) == 8);
static_assert(offsetof(KzifSystem, fieldSelect) == 108);
static_assert(offsetof(KzifSystem, linkSuppress) == 204);

namespace category {

class CategorySystem : public CategoryCommon<KzifSystem> {
 public:
  static CategorySystem& get();

  void initInternal() override;
  void update() override;
  UpdateClass updateClass() const override { return UpdateClass::System; }
  void assign(const KzifSystem& in, int idx) override;

  // Panel buttons 2006 and 2013 of no M/E row: a press toggles their setting.
  void onButton(const internal::KzifButtonEvent& event);

  int videoFormat() const { return record(0).videoFormat; }
  // True in progressive formats; in interlaced ones when the running field's parity is n.
  bool isField(int n) const;
  // True for formats 4 and 5, else in the second field of a frame.
  bool isSecondField() const;
  // True in the field in which the video format changed.
  bool formatChanged() const { return formatChanged_ != 0; }

  // Set by the VSYNC handler before each field cycle.
  void setFieldParity(int parity) { fieldParity_ = static_cast<u8>(parity & 1); }
  int fieldParity() const { return fieldParity_; }
  // While set, the keyer routines send their edge settings every field.
  int reapply() const { return reapply_; }
  void setReapply(int on) { reapply_ = static_cast<u8>(on != 0); }

 private:
  u8 fieldParity_ = 0;
  u8 reapply_ = 0;
  u8 formatChanged_ = 0;
  int appliedFormat_ = 0;
  u8 pressed_[2][3] = {};  // press memory of 2006 and 2013 per panel
};

}  // namespace category

void initCategorySystem();
