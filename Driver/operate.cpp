#include "Driver/operate.h"

#include <cmath>

#include "Driver/trace.h"

namespace kz {
namespace {

// One level for the whole switcher, outside the M/E contexts: the fade keyer sits behind every M/E,
// on the program output.
u16 fadeKeyLevel = 0;

}  // namespace

u16 operateKeyLevel() { return fadeKeyLevel; }

void resetOperateKeyLevel() { fadeKeyLevel = 0; }

}  // namespace kz

void setOperateKeyLevel(f32 level) {
  // Compared so that NaN falls to clear: a broken level must never leave the program half black.
  if (!(level > 0.0f)) {
    kz::fadeKeyLevel = 0;
  } else if (level >= 1.0f) {
    kz::fadeKeyLevel = kz::OPERATE_KEY_LEVEL_MAX;
  } else {
    kz::fadeKeyLevel = static_cast<u16>(std::lround(level * static_cast<f32>(kz::OPERATE_KEY_LEVEL_MAX)));
  }
  trace::call("setOperateKeyLevel", level);
}
