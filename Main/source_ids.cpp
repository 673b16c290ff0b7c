#include "Main/source_ids.h"

#include <array>

namespace {

// KZ ids the drivers number without a name of their own.
constexpr int KZ_ME_OUTPUT_FIRST = 0x11A0;
constexpr int KZ_KEY_PREVIEW = 0x11CC;
constexpr int KZ_COLOR_BAR = 0x1190;
constexpr int KZ_MULTIVIEW_FIRST = 0x11C8;

constexpr int mapSourceToKz(int s) {
  if (SOURCE_SDI_FIRST <= s && s <= SOURCE_SDI_ROUTED_LAST) return KZ_IN_1 + s - SOURCE_SDI_FIRST;
  if (s == SOURCE_DVI_1) return KZ_DVI_1;
  if (s == SOURCE_DVI_2) return KZ_DVI_2;
  if (SOURCE_ME_OUTPUT_FIRST <= s && s <= SOURCE_ME_OUTPUT_LAST) return KZ_ME_OUTPUT_FIRST + s - SOURCE_ME_OUTPUT_FIRST;
  switch (s) {
    // The drivers number the DSK outputs programme 1, preview 1, programme 2, preview 2.
    case SOURCE_DSK_OUTPUT_FIRST: return KZ_DSK_PGM1;
    case SOURCE_DSK_OUTPUT_FIRST + 1: return KZ_DSK_PGM1 + 2;
    case SOURCE_DSK_OUTPUT_FIRST + 2: return KZ_DSK_PGM1 + 1;
    case SOURCE_DSK_OUTPUT_FIRST + 3: return KZ_DSK_PGM1 + 3;
    case SOURCE_KEY_PREVIEW: return KZ_KEY_PREVIEW;
    case SOURCE_COLOR_BKGD_1: return KZ_CBGD_1;
    case SOURCE_COLOR_BKGD_2: return KZ_CBGD_2;
    case SOURCE_COLOR_BAR: return KZ_COLOR_BAR;
    default: break;
  }
  if (SOURCE_DSK_CLEAN_FIRST <= s && s <= SOURCE_DSK_CLEAN_LAST) return KZ_DSK_CLN1 + s - SOURCE_DSK_CLEAN_FIRST;
  if (isStillOrClip(s)) {
    // Fill and key of each channel lie next to each other in the KZ numbering.
    const int fillFirst = s < SOURCE_CLIP_BASE ? SOURCE_STILL_FILL_FIRST : SOURCE_CLIP_FILL_FIRST;
    const int kz = s < SOURCE_CLIP_BASE ? KZ_STILL_1 : KZ_CLIP_1;
    const int offset = s - fillFirst;
    return kz + 2 * (offset / SOURCE_IDS_PER_MEDIA_CHANNEL) + offset % SOURCE_IDS_PER_MEDIA_CHANNEL;
  }
  if (SOURCE_MULTIVIEW_FIRST <= s && s <= SOURCE_MULTIVIEW_LAST) return KZ_MULTIVIEW_FIRST + s - SOURCE_MULTIVIEW_FIRST;
  return KZ_BLACK;
}

// Every bus of every M/E is routed through here every field, so the map is looked up, not walked.
// The table is worked out by the compiler: a start does not pay for it in its first field.
constexpr int N_MAPPED_SOURCES = 1024;  // every SourceId a bus code can carry
constexpr std::array<u16, N_MAPPED_SOURCES> MAPPED = [] {
  std::array<u16, N_MAPPED_SOURCES> t{};
  for (int source = 0; source < N_MAPPED_SOURCES; ++source)
    t[static_cast<std::size_t>(source)] = static_cast<u16>(mapSourceToKz(source));
  return t;
}();

}  // namespace

int sourceToKz(int s) {
  if (0 <= s && s < N_MAPPED_SOURCES) return MAPPED[static_cast<std::size_t>(s)];
  return mapSourceToKz(s);
}
