// Fixed-width integer names and the KZ id numbering that feature code passes to the drivers.
#pragma once
#include <cstddef>
#include <cstdint>

using u8 = std::uint8_t;
using i8 = std::int8_t;
using u16 = std::uint16_t;
using i16 = std::int16_t;
using u32 = std::uint32_t;
using i32 = std::int32_t;
using u64 = std::uint64_t;
using i64 = std::int64_t;
using f32 = float;

constexpr int N_ME = 4;
constexpr int N_TYPES = 102;

// Sources.
constexpr int KZ_IN_1 = 0x1100;
constexpr int KZ_DVI_1 = 0x1120;
constexpr int KZ_DVI_2 = 0x1121;
constexpr int KZ_STILL_1 = 0x1180;
constexpr int KZ_CLIP_1 = 0x1188;
constexpr int KZ_CBGD_1 = 0x1191;
constexpr int KZ_CBGD_2 = 0x1192;
constexpr int KZ_BLACK = 0x1193;
constexpr int KZ_DSK_PGM1 = 0x11C0;
constexpr int KZ_DSK_CLN1 = 0x11C4;

// M/E bus and key inputs of one context.
constexpr int KZ_ABUS = 0x1200;
constexpr int KZ_BBUS = 0x1201;
constexpr int KZ_UTIL1 = 0x1202;
constexpr int KZ_UTIL2 = 0x1203;
constexpr int KZ_KEY1_F = 0x1204;
constexpr int KZ_KEY1 = 0x1205;
constexpr int KZ_KEY4 = 0x120B;
constexpr int KZ_KEY4_S = 0x120B;
constexpr int KZ_KEY_DVE_MAX = 0x1207;
constexpr int KZ_DSK1_F = 0x1210;
constexpr int KZ_DSK1 = 0x1211;  // downstream key n is KZ_DSK1 + 2n, the id of its key input
constexpr int KZ_DSK4 = 0x1217;
constexpr int KZ_DSK4_S = 0x1217;
constexpr int KZ_AUX1 = 0x1220;
constexpr int KZ_AUX_LAST = 0x123F;
constexpr int KZ_EXT_OUT1 = 0x1290;
constexpr int KZ_EXT_OUT_LAST = 0x1292;
constexpr int KZ_USK1_F = 0x1280;
constexpr int KZ_USK4_S = 0x1287;
constexpr int KZ_BKGD = 0x1600;

// Colour mattes: keyer k of a context uses KZ_COLOR_KEY_MATTE4 + k, .._MATTE1 + k, .._MATTE2 + k
// and .._MATTE3 + k; the downstream keys' fill and edge mattes and the upstream keys' mattes are
// not per context.
constexpr int KZ_COLOR_BKGD_BORDER = 0x2100;
constexpr int KZ_COLOR_KEY_MATTE4 = 0x2101;
constexpr int KZ_COLOR_KEY_MATTE1 = 0x2105;
constexpr int KZ_COLOR_KEY_MATTE2 = 0x2109;
constexpr int KZ_COLOR_KEY_MATTE3 = 0x210D;
constexpr int KZ_COLOR_DSK_FILL = 0x2120;
constexpr int KZ_COLOR_DSK_EDGE = 0x2124;
constexpr int KZ_COLOR_USK4_MATTE = 0x212B;

// Key edge codes: four edge kinds and none.
constexpr int KZ_KEY_EDGE_FIRST = 0x2000;
constexpr int KZ_KEY_EDGE_NONE = 0x2004;

// M/E contexts.
constexpr int KZ_CONTEXT_ME1 = 0x3210;
constexpr int KZ_CONTEXT_ME4B = 0x3217;
