#include "Main/inputvideo.h"

#include <cstring>

#include "Common/assert.h"

KZ_SOURCE("Main/inputvideo");

namespace {
bool isInputChannel(int channel) { return 0 <= channel && channel < KzifInputVideo::N_CHANNELS; }

// A value outside the field's byte would otherwise wrap into range on the way in.
u8 asFieldValue(int v) { return v < 0 || v > 255 ? u8{0xFF} : static_cast<u8>(v); }
}  // namespace

namespace category {

CategoryInputVideo& CategoryInputVideo::get() {
  static CategoryInputVideo inputVideo;
  return inputVideo;
}

CategoryInputVideo::CategoryInputVideo() { clear(); }

void CategoryInputVideo::clear() {
  std::memset(static_cast<void*>(records_), 0, sizeof records_);
  for (int ch = 0; ch < N_CHANNELS; ++ch) rec::stamp(records_[ch], 0, ch);
}

int CategoryInputVideo::isConverted(int source) const {
  if (source < FIRST_SDI_SOURCE || source > LAST_SDI_SOURCE) return 0;
  return records_[source - FIRST_SDI_SOURCE].converted;
}

int CategoryInputVideo::isTallyExcluded(int channel) const {
  if (!isInputChannel(channel)) return 0;
  return records_[channel].tallyExclude == 1 ? 1 : 0;
}

const KzifInputVideo& CategoryInputVideo::record(int channel) const {
  KZ_CHECK(0 <= channel && channel < N_CHANNELS);
  return records_[channel];
}

void CategoryInputVideo::assign(const KzifInputVideo& in, int channel) {
  if (!isInputChannel(channel)) return;
  rec::merge(records_[channel], in);
  rec::stamp(records_[channel], 0, channel);
}

void CategoryInputVideo::setTallyExcluded(int channel, int exclude) {
  KzifInputVideo in{};
  in.mask = KzifInputVideo::TALLY_EXCLUDE;
  in.tallyExclude = asFieldValue(exclude);
  assign(in, channel);
}

void CategoryInputVideo::setConverted(int channel, int converted) {
  KzifInputVideo in{};
  in.mask = KzifInputVideo::CONVERTED;
  in.converted = asFieldValue(converted);
  assign(in, channel);
}

CategoryExtendedDisplay& CategoryExtendedDisplay::get() {
  static CategoryExtendedDisplay display;
  return display;
}

void CategoryExtendedDisplay::assign(const KzifExtendedDisplay& in) { rec::merge(record_, in); }

void CategoryExtendedDisplay::setEnable(int enable) {
  KzifExtendedDisplay in{};
  in.mask = KzifExtendedDisplay::ENABLE;
  in.enable = static_cast<u8>(enable != 0);
  assign(in);
}

}  // namespace category
