#include "Main/stillmemory.h"

#include "Driver/still.h"
#include "Main/bp.h"
#include "Main/clip.h"

KZ_SOURCE("Main/stillmemory");

namespace {

constexpr u32 REC_MODE_MONITOR_BIT = 1u << 2;
constexpr u32 STATUS_RECORDED_BIT = 1u << 1;
constexpr u32 STATUS_OPTION1_BIT = 1u << 4;

int stillId(int ch) { return KZ_STILL_1 + 2 * ch; }

void checkStillChannel(int ch) { KZ_CHECK(0 <= ch && ch < N_STILL_CHANNELS); }

// The clip channels' locks are those of the clip status category, wherever it is registered.
int clipChannelsRecording() {
  const auto* clips =
      static_cast<const category::CategoryClipStatus*>(category::lookup(IndexOf<KzifClipStatus>::value, 0));
  return clips != nullptr ? clips->locks().isRecording() : 0;
}

}  // namespace

namespace category {

// ---- still status and the capture locks -----------------------------------------------------

CategoryStillStatus::~CategoryStillStatus() {
  for (int ch = N_STILL_CHANNELS - 1; ch >= 0; --ch)
    if (lockState_[static_cast<std::size_t>(ch)] != IDLE) releaseLock(ch);
}

void CategoryStillStatus::initInternal() {
  CategoryCommon::initInternal();
  // A resume restores nothing into this volatile table, so its entry numbers are stamped at every
  // start, not only a cold one.
  for (int i = 0; i < N_CHANNELS; ++i) records_[i].index = static_cast<u16>(i);
  releaseAllLocks();
}

int CategoryStillStatus::takeCaptureLock(int ch) {
  checkStillChannel(ch);
  const auto i = static_cast<std::size_t>(ch);
  if (lockState_[i] != IDLE) return 2;
  if (isStillBusy()) return 1;
  if (clipChannelsRecording()) return 1;
  lock_[i].lock(ch, true);
  if (!lock_[i].held()) return 2;
  lockState_[i] = CAPTURING;
  return 0;
}

void CategoryStillStatus::releaseLock(int ch) {
  checkStillChannel(ch);
  const auto i = static_cast<std::size_t>(ch);
  lock_[i].unlock();
  lockState_[i] = IDLE;
}

void CategoryStillStatus::releaseAllLocks() {
  for (int ch = 0; ch < N_STILL_CHANNELS; ++ch)
    if (lockState_[static_cast<std::size_t>(ch)] != IDLE) releaseLock(ch);
}

int CategoryStillStatus::isStillBusy() const {
  for (i32 s : lockState_)
    if (s == CAPTURING) return 1;
  return 0;
}

i32 CategoryStillStatus::lockState(int ch) const {
  checkStillChannel(ch);
  return lockState_[static_cast<std::size_t>(ch)];
}

void CategoryStillStatus::resetChannels() {
  releaseAllLocks();
  for (int ch = 0; ch < N_STILL_CHANNELS; ++ch) {
    const int entry = STILL_STATUS_FIRST_CHANNEL + ch;
    KzifStillStatus& r = record(entry);
    r.index = static_cast<u16>(entry);
    r.recorded = 0;
    r.mask |= STATUS_RECORDED_BIT;
  }
}

void CategoryStillStatus::markCaptured(int ch, int option) {
  checkStillChannel(ch);
  const int entry = STILL_STATUS_FIRST_CHANNEL + ch;
  KzifStillStatus& r = record(entry);
  r.index = static_cast<u16>(entry);
  r.recorded = 1;
  r.option1 = static_cast<u8>(option);
  r.mask |= STATUS_RECORDED_BIT | STATUS_OPTION1_BIT;
}

// ---- still settings and the capture engine -------------------------------------------------------

CategoryStillMemory::CategoryStillMemory() {
  setRoute<KzifStillMemoryCmd>(IndexOf<KzifStillMemory>::value);
  clearStillMemory();
}

void CategoryStillMemory::initInternal() {
  CategoryCommon::initInternal();
  captureCountdown_ = 0;
  captureChannel_ = -1;
  captureOption_ = 0;
  commandRecord_ = {};
  captureRecord_ = {};
  // Cold: the record is fresh; resumed: restore has just brought the stored channel back.
  lastChannel_ = current().channel;
}

void CategoryStillMemory::restore(const u8* stored) {
  CategoryCommon::restore(stored);
  rec::normalizeTexts(records_[0]);
  lastChannel_ = records_[0].channel;
}

int CategoryStillMemory::channelModeOf(int i) const {
  checkStillChannel(i);
  return current().channelMode.mode[i] != 0 ? 1 : 0;
}

void CategoryStillMemory::applyMode(int ch, int mode) { setStillMode(stillId(ch), mode); }

void CategoryStillMemory::applyEnable(int ch, int enable) { setStillEnable(stillId(ch), enable); }

void CategoryStillMemory::receiveRouted(int typeId, RequestReceiver& rx) {
  assert::checkEqual(kzSourceName, __LINE__, "id", static_cast<long>(typeId), "IndexOf<KzifStillMemoryCmd>::value",
                     static_cast<long>(IndexOf<KzifStillMemoryCmd>::value));
  KzifStillMemoryCmd in{};
  const bool whole = rec::decode(rx.reader(), in);
  rx.consume();
  if (!whole) return;  // a name running past the body: nothing to answer
  commandRecord_ = in;

  int ch = commandRecord_.channel;
  if (ch == STILL_CURRENT_CHANNEL) ch = current().channel;
  if (commandRecord_.header.command != STILL_CAPTURE || ch < 0 || ch >= N_STILL_CHANNELS) {
    replyToMediaCommand(commandRecord_, STILL_RESULT_BAD_PARAMETER);
    return;
  }
  const int refused = startCapture(ch);
  if (refused == 1) {
    replyToMediaCommand(commandRecord_, STILL_RESULT_CONFLICT);
  } else if (refused == 2) {
    replyToMediaCommand(commandRecord_, STILL_RESULT_BUSY);
  } else {
    captureRecord_ = commandRecord_;  // its reply comes when the capture completes
  }
}

int CategoryStillMemory::startCapture(int ch) {
  checkStillChannel(ch);
  auto& status = BP::instance().require<CategoryStillStatus>();
  const int r = status.takeCaptureLock(ch);
  if (r != 0) return r;
  const KzifStillMemory& settings = current();
  const int mode = settings.recMode.mode != 0 ? 1 : 0;
  const u8 option = settings.recMode.option1;
  captureChannel_ = ch;
  captureOption_ = option;
  if (settings.recMode.monitor == 1) {
    applyEnable(ch, 0);
    if (settings.channel == ch) {
      KzifStillMemory& live = record(0);
      live.recMode.monitor = 0;
      live.recMode.mask |= REC_MODE_MONITOR_BIT;
    }
  }
  applyMode(ch, mode);
  setStillCapture(stillId(ch), option);
  captureCountdown_ = 3;
  return 0;
}

void CategoryStillMemory::completeCapture() {
  auto& status = BP::instance().require<CategoryStillStatus>();
  const int ch = captureChannel_;
  status.releaseLock(ch);
  captureRecord_.header.command = STILL_CAPTURE;
  captureRecord_.channel = static_cast<u8>(ch);
  replyToMediaCommand(captureRecord_, STILL_RESULT_DONE);
  status.markCaptured(ch, captureOption_);
  captureChannel_ = -1;
}

void CategoryStillMemory::update() {
  if (captureCountdown_ >= 0) {
    --captureCountdown_;
    if (captureCountdown_ == 0 && captureChannel_ >= 0) completeCapture();
  }
  const KzifStillMemory& settings = current();
  if (lastChannel_ != settings.channel && settings.recMode.monitor == 1) {
    KzifStillMemory& live = record(0);
    live.recMode.monitor = 0;
    live.recMode.mask |= REC_MODE_MONITOR_BIT;
  }
  for (int i = 0; i < N_STILL_CHANNELS; ++i) {
    applyMode(i, channelModeOf(i));
    applyEnable(i, i == settings.channel && settings.recMode.monitor == 1 ? 1 : 0);
  }
  lastChannel_ = settings.channel;
}

void CategoryStillMemory::resetStills() {
  clearStillMemory();
  captureCountdown_ = 0;
  captureChannel_ = -1;
  BP::instance().require<CategoryStillStatus>().resetChannels();
}

}  // namespace category

void initCategoryStillMemory() { static category::CategoryStillMemory stillMemory; }
void initCategoryStillStatus() { static category::CategoryStillStatus stillStatus; }
