#include "Main/keyprocess.h"

#include <array>
#include <cstring>
#include <numbers>

namespace keyproc {
namespace {

constexpr PresetBox BOX_1080_A{-0.3646f, 0.3646f, 0.488928f, -0.489873f};
constexpr PresetBox BOX_1080_B{-0.3595f, 0.3595f, 0.480595f, -0.48154f};
constexpr std::array<PresetBox, 12> PRESET_BOXES = {
    BOX_1080_A,                                        // 0
    BOX_1080_B,                                        // 1
    BOX_1080_B,                                        // 2
    BOX_1080_A,                                        // 3
    PresetBox{-0.3646f, 0.3646f, 0.488889f, -0.490419f},  // 4
    PresetBox{-0.3595f, 0.3595f, 0.480556f, -0.482086f},  // 5
    PresetBox{-0.479514f, 0.478264f, 0.477569f, -0.477674f},  // 6
    PresetBox{-0.481862f, 0.480612f, 0.482733f, -0.484513f},  // 7
    BOX_1080_A,                                        // 8
    BOX_1080_B,                                        // 9
    BOX_1080_A,                                        // 10
    BOX_1080_B,                                        // 11
};

constexpr f32 GAIN_CURVE_START_DEGREES = 45.0f;
constexpr f32 GAIN_CURVE_DEGREES_PER_STEP = 0.04473f;

}  // namespace

const PresetBox& presetBox(int videoFormat) {
  if (videoFormat < 0 || videoFormat >= static_cast<int>(PRESET_BOXES.size())) return PRESET_BOXES[0];
  return PRESET_BOXES[static_cast<std::size_t>(videoFormat)];
}

f32 keyGain(int gain) {
  if (gain <= 1000) return static_cast<f32>(gain) / 1000.0f;
  const f32 degrees = GAIN_CURVE_START_DEGREES + static_cast<f32>(gain - 1000) * GAIN_CURVE_DEGREES_PER_STEP;
  return std::tan(degrees * std::numbers::pi_v<f32> / 180.0f);
}

const YCbCr10& convertMatte(const i16 (&hsl)[3], int videoFormat, ColorCache& cache) {
  // Compared and copied member by member: three halfwords are no call on any target.
  if (cache.format != videoFormat || cache.hsl[0] != hsl[0] || cache.hsl[1] != hsl[1] || cache.hsl[2] != hsl[2]) {
    cache.hsl[0] = hsl[0];
    cache.hsl[1] = hsl[1];
    cache.hsl[2] = hsl[2];
    cache.format = static_cast<i16>(videoFormat);
    cache.value = hslToYCbCr(videoFormat, hsl[0], hsl[1], hsl[2]);
  }
  return cache.value;
}

YCbCr10 applyMatteColor(int matteId, const i16 (&hsl)[3], int videoFormat, ColorCache& cache) {
  const YCbCr10& c = convertMatte(hsl, videoFormat, cache);
  writeMatte(matteId, c);
  return c;
}

}  // namespace keyproc
