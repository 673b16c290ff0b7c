// Colour conversion of matte, background and image colours. Luminance is the video level of the
// colour, not its lightness: 0..1000 spans black to white on 10-bit Y 64..940 and runs on to 1080
// (Y 1010) as super-white. Hue (tenths of a degree, 0..3599) and saturation (tenths of a percent,
// 0..1000) set only the colour differences, so a saturated colour keeps its hue at any level:
// Cb and Cr are those of the fully saturated hue, scaled by saturation, on 64..960. Inputs
// beyond their ranges are taken at the nearest end.
#pragma once

struct YCbCr10 {
  int y;
  int cb;
  int cr;
};

YCbCr10 hslToYCbCr709(int hue, int saturation, int luminance);
YCbCr10 hslToYCbCr601(int hue, int saturation, int luminance);
// BT.601 for the standard-definition formats 6 and 7, BT.709 otherwise.
YCbCr10 hslToYCbCr(int videoFormat, int hue, int saturation, int luminance);
