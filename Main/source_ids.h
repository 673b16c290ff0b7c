// SourceId: the one numbering of video sources that the buses, crosspoints, source links, tally,
// source names, keyers and snapshots share, with the maps every one of them needs. What a
// particular consumer makes of a source (which bus takes it, which crosspoint value is accepted)
// stays with that consumer.
#pragma once
#include <array>
#include <cstddef>

#include "Lib/Include/kz_types.h"

// SDI input n (1..128) is 9 + n; only inputs 1..32 have a route to the M/E hardware.
constexpr int SOURCE_SDI_FIRST = 10;
constexpr int SOURCE_SDI_ROUTED_LAST = 41;
constexpr int SOURCE_SDI_LAST = 137;
constexpr int SOURCE_DVI_1 = 140;
constexpr int SOURCE_DVI_2 = 141;

// M/E k (0..3): 150 + 4k programme, + 1 preview, + 2 clean, + 3 key preview.
constexpr int SOURCE_ME_OUTPUT_FIRST = 150;
constexpr int SOURCE_OUTPUTS_PER_ME = 4;
constexpr int SOURCE_ME_OUTPUT_LAST = SOURCE_ME_OUTPUT_FIRST + SOURCE_OUTPUTS_PER_ME * N_ME - 1;  // 165

// 170, 171 DSK programme 1, 2; 172, 173 DSK preview 1, 2; 174..177 DSK 1..4 clean; 178 the
// selected key preview.
constexpr int SOURCE_DSK_OUTPUT_FIRST = 170;
constexpr int SOURCE_DSK_CLEAN_FIRST = 174;
constexpr int SOURCE_DSK_CLEAN_LAST = 177;
constexpr int SOURCE_KEY_PREVIEW = 178;
constexpr int SOURCE_DSK_OUTPUT_LAST = SOURCE_KEY_PREVIEW;

// Stills and clips, four channels each and three ids per channel: channel n of a block is
// base + 3n (carried in crosspoints and tally only), base + 3n + 1 its video (fill) and
// base + 3n + 2 its key.
constexpr int SOURCE_MEDIA_CHANNELS = 4;
constexpr int SOURCE_IDS_PER_MEDIA_CHANNEL = 3;
constexpr int SOURCE_STILL_BASE = 180;
constexpr int SOURCE_STILL_FILL_FIRST = SOURCE_STILL_BASE + 1;  // 181
constexpr int SOURCE_STILL_LAST = SOURCE_STILL_BASE + SOURCE_IDS_PER_MEDIA_CHANNEL * SOURCE_MEDIA_CHANNELS - 1;  // 191
constexpr int SOURCE_CLIP_BASE = 200;
constexpr int SOURCE_CLIP_FILL_FIRST = SOURCE_CLIP_BASE + 1;  // 201
constexpr int SOURCE_CLIP_LAST = SOURCE_CLIP_BASE + SOURCE_IDS_PER_MEDIA_CHANNEL * SOURCE_MEDIA_CHANNELS - 1;  // 211

constexpr int SOURCE_COLOR_BKGD_1 = 220;
constexpr int SOURCE_COLOR_BKGD_2 = 221;
constexpr int SOURCE_COLOR_BAR = 222;
constexpr int SOURCE_BLACK = 223;

// Multiview outputs 1..8; only the first four are selectable on the buses.
constexpr int SOURCE_MULTIVIEW_FIRST = 230;
constexpr int SOURCE_MULTIVIEW_LAST = 237;
// AUX buses 1..48 as sources.
constexpr int SOURCE_AUX_FIRST = 240;
constexpr int SOURCE_AUX_LAST = 287;
// The B-side outputs of M/E 1..4, four per M/E.
constexpr int SOURCE_ME_B_SIDE_FIRST = 314;
constexpr int SOURCE_ME_B_SIDE_LAST = 329;

// A direct bus code carries 10..302 or 314..329 (302 being the crosspoints' "unassigned").
constexpr int SOURCE_CODABLE_FIRST = SOURCE_SDI_FIRST;
constexpr int SOURCE_CODABLE_LAST = 302;

constexpr bool isCodableSource(int source) {
  return (SOURCE_CODABLE_FIRST <= source && source <= SOURCE_CODABLE_LAST) ||
         (SOURCE_ME_B_SIDE_FIRST <= source && source <= SOURCE_ME_B_SIDE_LAST);
}

// The M/E (0..3) whose output the source is; -1 for any other source.
constexpr int meOfOutput(int source) {
  return SOURCE_ME_OUTPUT_FIRST <= source && source <= SOURCE_ME_OUTPUT_LAST
             ? (source - SOURCE_ME_OUTPUT_FIRST) / SOURCE_OUTPUTS_PER_ME
             : -1;
}

// The video or key id of a still or clip channel (181/182, 184/185, ..., 210/211).
constexpr bool isStillOrClip(int source) {
  for (int base : {SOURCE_STILL_BASE, SOURCE_CLIP_BASE}) {
    const int offset = source - base;
    if (offset < 0 || offset >= SOURCE_IDS_PER_MEDIA_CHANNEL * SOURCE_MEDIA_CHANNELS) continue;
    return offset % SOURCE_IDS_PER_MEDIA_CHANNEL != 0;
  }
  return false;
}

// The KZ id the routing drivers take for a SourceId; KZ_BLACK for a source without one.
int sourceToKz(int source);

namespace source_ids_detail {
constexpr std::size_t N_LINKED_SOURCES = 195;

constexpr std::array<u16, N_LINKED_SOURCES> buildLinkKeyList() {
  std::array<u16, N_LINKED_SOURCES> list{};
  std::size_t n = 0;
  auto span = [&](int from, int to) {
    for (int s = from; s <= to; ++s) list[n++] = static_cast<u16>(s);
  };
  span(SOURCE_SDI_FIRST, SOURCE_SDI_LAST);
  span(SOURCE_DVI_1, SOURCE_DVI_2);
  span(SOURCE_ME_OUTPUT_FIRST, SOURCE_ME_OUTPUT_LAST);
  span(SOURCE_DSK_OUTPUT_FIRST, SOURCE_DSK_OUTPUT_LAST);
  for (int s = SOURCE_STILL_BASE; s <= SOURCE_CLIP_LAST; ++s)
    if (isStillOrClip(s)) list[n++] = static_cast<u16>(s);
  span(SOURCE_COLOR_BKGD_1, SOURCE_BLACK);
  span(SOURCE_MULTIVIEW_FIRST, SOURCE_MULTIVIEW_FIRST + 3);
  span(SOURCE_ME_B_SIDE_FIRST, SOURCE_ME_B_SIDE_LAST);
  return list;
}
}  // namespace source_ids_detail

constexpr int N_LINK_KEYS = static_cast<int>(source_ids_detail::N_LINKED_SOURCES);

// The sources that own a source-link entry, in entry order: link[i] belongs to linkKeyList[i].
inline constexpr std::array<u16, N_LINK_KEYS> linkKeyList = source_ids_detail::buildLinkKeyList();
static_assert(linkKeyList[127] == 137 && linkKeyList[128] == 140 && linkKeyList[179] == 314 &&
              linkKeyList[N_LINK_KEYS - 1] == 329);

namespace source_ids_detail {
// Entry of each source 0..329 in linkKeyList, -1 for none: the list is looked up once per link of
// every record and every followed bus, too often to walk.
constexpr int LINK_KEY_TABLE_SIZE = 330;
constexpr std::array<i16, LINK_KEY_TABLE_SIZE> buildLinkKeyIndex() {
  std::array<i16, LINK_KEY_TABLE_SIZE> table{};
  table.fill(-1);
  for (int i = 0; i < N_LINK_KEYS; ++i) table[linkKeyList[static_cast<std::size_t>(i)]] = static_cast<i16>(i);
  return table;
}
inline constexpr std::array<i16, LINK_KEY_TABLE_SIZE> linkKeyIndexTable = buildLinkKeyIndex();
}  // namespace source_ids_detail

// Position of a source in linkKeyList, -1 when it has no entry.
constexpr int linkKeyIndex(int source) {
  if (source < 0 || source >= source_ids_detail::LINK_KEY_TABLE_SIZE) return -1;
  return source_ids_detail::linkKeyIndexTable[static_cast<std::size_t>(source)];
}
static_assert(linkKeyIndex(10) == 0 && linkKeyIndex(140) == 128 && linkKeyIndex(329) == N_LINK_KEYS - 1 &&
              linkKeyIndex(138) == -1 && linkKeyIndex(330) == -1 && linkKeyIndex(-1) == -1);
