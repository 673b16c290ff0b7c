#include "Main/image.h"

#include "Driver/filter.h"
#include "Driver/kz.h"
#include "Main/bp.h"
#include "Main/bus.h"
#include "Main/color.h"
#include "Main/led.h"
#include "Main/operate.h"
#include "Main/system.h"

KZ_SOURCE("Main/image");

namespace {

using category::CategoryImage;

constexpr int N_FILTERED_ME = 2;  // M/Es with filter hardware
constexpr int N_PANELS = 3;
// The mono colouring takes only Cb and Cr, which do not depend on the level: the colour is
// converted at full luminance.
constexpr int MONO_LUMINANCE = 1000;
constexpr int COLOR_CENTRE = 512;

void applyFilter(const ImageFilter& f, int target, int videoFormat) {
  if (f.on != 1) {
    setImageFilterMode(target, 0, 0.0f);
    setImageFilterLevel(target, 0, 0, 0);
    setImageMonoColor(target, 0, COLOR_CENTRE, COLOR_CENTRE);
    return;
  }
  const int mode = f.filterMode == ImageFilter::MODE_MOSAIC    ? KZ_IMAGE_MOSAIC
                   : f.filterMode == ImageFilter::MODE_DEFOCUS ? KZ_IMAGE_DEFOCUS
                                                               : 0;
  setImageFilterMode(target, mode, static_cast<f32>(f.amount) * 0.1f);
  setImageFilterLevel(target, f.levelOn, f.levelY, f.levelC);
  const YCbCr10 mono = hslToYCbCr(videoFormat, f.hue, f.saturation, MONO_LUMINANCE);
  setImageMonoColor(target, f.monoOn, mono.cb, mono.cr);
}

// The row arrangement of M/E me from the operation settings: 0 fixed, 1 swapped while the flip is
// 1, 2 (or more) swapped while it is 0.
int rowMode(int me) {
  const auto* operate = BP::instance().find<category::CategoryOperate>();
  if (operate == nullptr) return 0;
  const KzifOperate& op = operate->record(0);
  if (op.busRowModeSelect == 0) return op.busRowMode;
  if (op.busRowModeSelect == 1) return op.busRowModeMe.value[me];
  return 2;
}

}  // namespace

int imageRowsSwapped(int me) {
  KZ_CHECK(0 <= me && me < N_ME);
  const int mode = rowMode(me);
  if (mode == 0) return 0;
  const auto* bus = BP::instance().find<category::CategoryBus>(me);
  const int flip = bus != nullptr ? bus->flip() : 0;
  return (mode == 1 ? flip == 1 : flip == 0) ? 1 : 0;
}

int imageFilterOn(int me, int filter) {
  if (me < 0 || me >= N_ME || filter < 0 || filter >= KzifImage::N_KEY_FILTERS) return 0;
  const auto* image = BP::instance().find<CategoryImage>(me);
  return image != nullptr ? image->record(0).imageKey[filter].on : 0;
}

namespace category {

CategoryImage& CategoryImage::get(int me) {
  KZ_CHECK(0 <= me && me < N_ME);
  return BP::instance().require<CategoryImage>(me);
}

void CategoryImage::initIndex(int, int) { rec::stamp(record(0), me_, 0); }

void CategoryImage::update() {
  if (me_ >= N_FILTERED_ME) return;
  const KzifImage& r = records_[0];
  setMeContext(KZ_CONTEXT_ME1 + me_);
  const int format = CategorySystem::get().videoFormat();
  const bool written = takeRecordWritten(0);  // taken every field, so that it never goes stale
  // The same filters in the same format, with no setter having taken anything since they went
  // out: untraced, each call would find its registers holding what it is given.
  if (written || !filtersHeld_ || filtersFormat_ != format || filtersGeneration_ != kz::memo::generation ||
      filtersContext_ != kz::image::currentContextIndex || trace::enabled()) {
    filtersHeld_ = false;
    applyFilter(r.imageA, KZ_ABUS, format);
    applyFilter(r.imageB, KZ_BBUS, format);
    applyFilter(r.imageKey[0], KZ_KEY1, format);
    applyFilter(r.imageKey[1], KZ_KEY_DVE_MAX, format);
    filtersHeld_ = true;
    filtersFormat_ = format;
    filtersGeneration_ = kz::memo::generation;
    filtersContext_ = kz::image::currentContextIndex;
  }

  auto* lamps = BP::instance().find<CategoryMeLed>(me_);
  if (lamps == nullptr) return;
  const bool swapped = imageRowsSwapped(me_) == 1;
  const u8 aLamp = r.imageA.on == 1 ? 2 : 0;
  const u8 bLamp = r.imageB.on == 1 ? 2 : 0;
  for (int panel = 0; panel < N_PANELS; ++panel) {
    lamps->setLed(panel, swapped ? LAMP_B : LAMP_A, aLamp);
    lamps->setLed(panel, swapped ? LAMP_A : LAMP_B, bLamp);
  }
}

void CategoryImage::onButton(const internal::KzifButtonEvent& event) {
  const int code = event.getCode();
  if (event.state != 1 || event.panel >= N_PANELS || (code != BUTTON_A && code != BUTTON_B)) return;
  const bool busB = (code == BUTTON_B) != (imageRowsSwapped(me_) == 1);
  ImageFilter& filter = busB ? records_[0].imageB : records_[0].imageA;
  ImageFilter toggle{};
  toggle.mask = 1u << ImageFilter::BIT_ON;
  toggle.on = filter.on == 1 ? 0 : 1;
  ImageFilter::merge(filter, toggle);
  mayHoldMarks(0);
}

}  // namespace category

void initCategoryImage() { static category::CategoryImage images[N_ME]; }
