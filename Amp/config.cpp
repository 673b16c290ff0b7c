#include "Amp/config.h"

#include "Driver/kz.h"

namespace amp {

void powerOn() {
  // The board model, DDR3 and the configuration images are the boot loader's on this target;
  // what remains is to give the video hardware its first register state.
  kzInitialize();
}

}  // namespace amp
