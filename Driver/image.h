// Inside the driver layer only: the setters record into these images; feature code reads them
// through kz::meImage / kz::glueImage and changes them only through the asserted setters.
#pragma once
#include "Driver/kz.h"

namespace kz::image {

// Index 0 .. N_ME_CONTEXTS - 1 of the context last selected by setMeContext. A plain word, as
// every per-context setter of every field reads it.
extern int currentContextIndex;

// Image of the context last selected by setMeContext.
MeImage& currentMe();
GlueImage& glue();

}  // namespace kz::image
