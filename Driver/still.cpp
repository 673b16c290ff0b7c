#include "Driver/still.h"

#include "Common/assert.h"
#include "Driver/trace.h"

KZ_SOURCE("Driver/still");

namespace kz {
namespace {

constexpr StillImage powerOnStills() {
  StillImage image{};
  image.captureTarget = NO_CAPTURE;
  return image;
}

StillImage stills = powerOnStills();

int stillIndex(int stillId) {
  KZ_CHECK(stillId == KZ_STILL_1 || stillId == KZ_STILL_1 + 2 || stillId == KZ_STILL_1 + 4 || stillId == KZ_STILL_1 + 6);
  return (stillId - KZ_STILL_1) / 2;
}

}  // namespace

const StillImage& stillImage() { return stills; }

void resetStillImage() { stills = powerOnStills(); }

void stepStillCapture() {
  if (stills.captureFieldsLeft <= 0) return;
  if (--stills.captureFieldsLeft == 0 && stills.captureTarget != NO_CAPTURE)
    stills.holdsPicture[static_cast<std::size_t>(stills.captureTarget)] = 1;
}

}  // namespace kz

void setStillCapture(int destination, int option) {
  if (destination == 0) {
    trace::call("setStillCapture", destination, option);
    kz::stills.captureTarget = kz::NO_CAPTURE;
    kz::stills.captureFieldsLeft = 0;
    return;
  }
  const int index = kz::stillIndex(destination);
  trace::call("setStillCapture", trace::Id{destination}, option);
  kz::stills.captureTarget = index;
  kz::stills.captureOption = static_cast<u8>(option != 0);
  kz::stills.captureFieldsLeft = kz::STILL_CAPTURE_FIELDS;
}

void setStillMode(int stillId, int mode) {
  const int index = kz::stillIndex(stillId);
  KZ_CHECK(mode == 0 || mode == 1);
  trace::call("setStillMode", trace::Id{stillId}, mode);
  kz::stills.mode[static_cast<std::size_t>(index)] = static_cast<u8>(mode);
}

void setStillEnable(int stillId, int enable) {
  const int index = kz::stillIndex(stillId);
  KZ_CHECK(enable == 0 || enable == 1);
  trace::call("setStillEnable", trace::Id{stillId}, enable);
  kz::stills.enable[static_cast<std::size_t>(index)] = static_cast<u8>(enable);
}

void clearStillMemory() {
  trace::call("clearStillMemory");
  kz::stills.holdsPicture.fill(0);
}
