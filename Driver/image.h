// Inside the driver layer only: the setters record into these images; feature code reads them
// through kz::meImage / kz::glueImage and changes them only through the asserted setters.
#pragma once
#include "Driver/kz.h"

namespace kz::image {

// Image of the context last selected by setMeContext.
MeImage& currentMe();
GlueImage& glue();

}  // namespace kz::image
