// Must not compile: element 1 of `steps` takes mask bit 2, which `level` already has. With
// ORVANE_COMPILE_FAIL_CONTROL the same record without the clash, which must compile.
#include "Lib/Include/record.h"

namespace {

struct Clash {
  u32 mask;
  u8 level;
  u8 steps[3];
  static constexpr auto wire() {
    using R = Clash;
#ifdef ORVANE_COMPILE_FAIL_CONTROL
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::level), rec::elements(1, &R::steps));
#else
    return rec::list(rec::mask(&R::mask), rec::field(2, &R::level), rec::elements(1, &R::steps));
#endif
  }
};

static_assert(rec::wireSizeOf<Clash>() == 8);

}  // namespace
