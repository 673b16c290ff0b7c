// Colour conversion of matte and background colours: hue in tenths of a degree (0..3599),
// saturation in tenths of a percent (0..1000), luminance in tenths of a percent (0..1080, above
// 1000 super-white) to 10-bit Y (64..1010), Cb and Cr (64..960).
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
