// Must not compile: the header pins a wire size that the declaration does not give (the i16 is
// two bytes on the wire, not the four it takes in memory with its padding). With
// ORVANE_COMPILE_FAIL_CONTROL the size the declaration gives, which must compile.
#include "Lib/Include/record.h"

namespace {

struct Sized {
  u32 mask;
  u8 on;
  i16 rate;
  static constexpr auto wire() {
    using R = Sized;
    return rec::list(rec::mask(&R::mask), rec::field(0, &R::on), rec::field(1, &R::rate));
  }
};
static_assert(sizeof(Sized) == 8);

#ifdef ORVANE_COMPILE_FAIL_CONTROL
static_assert(rec::wireSizeOf<Sized>() == 7);
#else
static_assert(rec::wireSizeOf<Sized>() == 8);
#endif

}  // namespace
