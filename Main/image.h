// The picture effects of each M/E (type id 3): a mosaic or defocus filter, a level reduction and a
// monochrome colouring on the A bus, the B bus and the keys, kept per M/E, driven every field on
// the two M/Es that have filter hardware, toggled from two panel buttons with their lamps.
#pragma once
#include <cstddef>

#include "Main/button_event_record.h"
#include "Main/category.h"

// The effect on one target. Stored in member order (20 bytes); on the wire in mask-bit order,
// which puts filterMode after saturation (20 bytes).
struct ImageFilter {
  static constexpr int BIT_ON = 0;
  static constexpr u8 MODE_MOSAIC = 1;
  static constexpr u8 MODE_DEFOCUS = 2;

  u32 mask;
  u8 on;        // 1 applies the fields below; anything else switches the target's effect off
  u8 levelOn;
  i16 levelY;   // luminance level step
  i16 levelC;   // chroma level step
  u8 flag4;     // stored and sent only
  u8 flag5;     // stored and sent only
  u8 filterMode;  // 0 none, MODE_MOSAIC, MODE_DEFOCUS
  u8 monoOn;
  i16 hue;         // colouring hue, tenths of a degree
  i16 saturation;  // colouring saturation, tenths of a percent
  i16 amount;      // filter amount in tenths

  static constexpr auto wire() {
    using R = ImageFilter;
    using rec::range;
    constexpr auto unit = range(0, 1);
    return rec::list(rec::mask(&R::mask), rec::field(BIT_ON, &R::on, unit), rec::field(1, &R::levelOn, unit),
                     rec::field(2, &R::levelY, range(0, 7)), rec::field(3, &R::levelC, range(0, 7)),
                     rec::field(4, &R::flag4, unit), rec::field(5, &R::flag5, unit),
                     rec::field(6, &R::monoOn, unit), rec::field(7, &R::hue, range(0, 3599)),
                     rec::field(8, &R::saturation, range(0, 1000)), rec::field(9, &R::filterMode, range(0, 2)),
                     rec::field(10, &R::amount, range(0, 1000)));
  }

  // Takes the masked fields of change as they are and sets their bits (no checks: a button's
  // toggle, a recalled snapshot).
  static void merge(ImageFilter& dst, const ImageFilter& change) { rec::merge(dst, change, rec::Checks::Skip); }
};
static_assert(sizeof(ImageFilter) == 20);
static_assert(offsetof(ImageFilter, levelY) == 6);
static_assert(offsetof(ImageFilter, flag4) == 10);
static_assert(offsetof(ImageFilter, filterMode) == 12);
static_assert(offsetof(ImageFilter, monoOn) == 13);
static_assert(offsetof(ImageFilter, hue) == 14);
static_assert(offsetof(ImageFilter, amount) == 18);
static_assert(rec::wireSizeOf<ImageFilter>() == 20);

// Background DVE picture settings: stored, checked and sent; nothing here drives them. On the wire
// in mask-bit order, which puts dveSize before dveFlag3 (11 bytes).
struct BkgdDveImage {
  u32 mask;
  u8 dveOn;
  u8 dveFlag1;
  u8 dveFlag3;
  i16 dveLevel;
  i16 dveSize;

  static constexpr auto wire() {
    using R = BkgdDveImage;
    using rec::range;
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::dveOn, range(0, 1)),
                     rec::field(1, &R::dveFlag1, range(0, 1)), rec::field(2, &R::dveSize, range(0, 60)),
                     rec::field(3, &R::dveFlag3, range(0, 1)), rec::field(4, &R::dveLevel, range(0, 1000)));
  }
};
static_assert(sizeof(BkgdDveImage) == 12);
static_assert(offsetof(BkgdDveImage, dveFlag3) == 6);
static_assert(offsetof(BkgdDveImage, dveLevel) == 8);
static_assert(offsetof(BkgdDveImage, dveSize) == 10);
static_assert(rec::wireSizeOf<BkgdDveImage>() == 11);

// Stored layout (152 bytes per M/E, M/E 0 and 1 backed up): 0 mask | 4 me | 5 imageFlag |
// 8 imageKey[4] | 88 imageA | 108 imageB | 128 bkgdDveA | 140 bkgdDveB. Wire body (148 bytes):
// mask, me, imageKey[0..3], imageA, imageB, imageFlag (mask bit 0), bkgdDveA, bkgdDveB.
struct KzifImage {
  static constexpr int TYPE_ID = 3;
  static constexpr int N_CHANNELS = 1;
  static constexpr const char* NAME = "KzifImage";
  static constexpr int N_KEY_FILTERS = 4;

  u32 mask;
  u8 me;
  u8 imageFlag;  // stored and sent only
  ImageFilter imageKey[N_KEY_FILTERS];  // keys 1..4 of the M/E; keys 1 and 2 are driven
  ImageFilter imageA;
  ImageFilter imageB;
  BkgdDveImage bkgdDveA;
  BkgdDveImage bkgdDveB;

  static constexpr auto wire() {
    using R = KzifImage;
    return rec::list(rec::mask(&R::mask), rec::me(&R::me), rec::sub(&R::imageKey), rec::sub(&R::imageA),
                     rec::sub(&R::imageB), rec::field(0, &R::imageFlag, rec::range(0, 1)), rec::sub(&R::bkgdDveA),
                     rec::sub(&R::bkgdDveB));
  }
};
static_assert(sizeof(KzifImage) == 152);
static_assert(offsetof(KzifImage, me) == 4);
static_assert(offsetof(KzifImage, imageFlag) == 5);
static_assert(offsetof(KzifImage, imageKey) == 8);
static_assert(offsetof(KzifImage, imageA) == 88);
static_assert(offsetof(KzifImage, imageB) == 108);
static_assert(offsetof(KzifImage, bkgdDveA) == 128);
static_assert(offsetof(KzifImage, bkgdDveB) == 140);
static_assert(rec::wireSizeOf<KzifImage>() == 148);

namespace category {

class CategoryImage : public CategoryCommon<KzifImage> {
 public:
  static constexpr int BUTTON_A = 1295;
  static constexpr int BUTTON_B = 1296;
  static constexpr int LAMP_A = 227;  // under BUTTON_A
  static constexpr int LAMP_B = 228;  // under BUTTON_B

  CategoryImage() : CategoryCommon(true) {}
  // The image effects of M/E me (0..3).
  static CategoryImage& get(int me);

  void initIndex(int me, int flags) override;
  void update() override;

  // A press of BUTTON_A or BUTTON_B toggles the effect of the A or B bus, whichever is under the
  // button while the rows are swapped; releases do nothing.
  void onButton(const internal::KzifButtonEvent& event);

 private:
  // The four filters went out from the record as it stood, in this video format, under this
  // context and setter memo generation, untraced.
  bool filtersHeld_ = false;
  i32 filtersFormat_ = 0;
  i32 filtersContext_ = 0;
  u32 filtersGeneration_ = 0;
};

}  // namespace category

// Whether the A and B rows of M/E me are swapped (1) or not (0): the row arrangement of the
// operation settings against the M/E's bus flip.
int imageRowsSwapped(int me);

void initCategoryImage();
