#include "Main/stream.h"

#include <cstring>

#include "Common/assert.h"
#include "Common/log.h"

KZ_SOURCE("Main/stream");

bool BufferedOutStream::write(u8 b) {
  if (freeSpace() == 0) flush();
  if (freeSpace() == 0) return false;
  buf_[(head_ + count_) % CAPACITY] = b;
  ++count_;
  return true;
}

void BufferedOutStream::append(const u8* src, std::size_t n) {
  KZ_CHECK(n <= freeSpace());
  if (intoRing() && n <= ringLeft_) {
    const auto run = static_cast<std::size_t>(ringEnd_ - ringAt_);
    const std::size_t first = n < run ? n : run;
    std::memcpy(ringAt_, src, first);
    std::memcpy(ringBegin_, src + first, n - first);
    putIntoRing(n);
    return;
  }
  const std::size_t tail = (head_ + count_) % CAPACITY;
  const std::size_t first = n < CAPACITY - tail ? n : CAPACITY - tail;
  std::memcpy(buf_.data() + tail, src, first);
  if (first < n) std::memcpy(buf_.data(), src + first, n - first);
  count_ += n;
}

void BufferedOutStream::commitChecked(std::size_t n) {
  KZ_CHECK(n <= freeSpace());
  if (runInRing_) {
    KZ_CHECK(n <= ringLeft_ && n <= static_cast<std::size_t>(ringEnd_ - ringAt_));
    putIntoRing(n);
  } else {
    count_ += n;
  }
}

void BufferedOutStream::putIntoRing(std::size_t n) {
  const auto run = static_cast<std::size_t>(ringEnd_ - ringAt_);
  ringAt_ = n < run ? ringAt_ + n : ringBegin_ + (n - run);
  ringLeft_ -= n;
  staged_ += n;
}

void BufferedOutStream::beginPass() {
  through_ = true;
  flush();
}

void BufferedOutStream::endPass() {
  through_ = false;
  flush();
}

void BufferedOutStream::lookAtRing() {
  const SystemManagerRing& ring = SystemManagerRing::transmit();
  ringBegin_ = ring.data();
  ringEnd_ = ringBegin_ + SystemManagerRing::DATA_SIZE;
  ringAt_ = ringBegin_ + ring.writeIndex();
  ringLeft_ = ring.writable();
}

void BufferedOutStream::flush() {
  SystemManagerRing& ring = SystemManagerRing::transmit();
  // What went into the ring came before anything buffered here.
  if (staged_ != 0) {
    ring.handOver(staged_);
    staged_ = 0;
  }
  forgetRing();
  while (count_ > 0) {
    const std::size_t run = head_ + count_ <= CAPACITY ? count_ : CAPACITY - head_;
    const std::size_t put = ring.write(buf_.data() + head_, run);
    head_ = (head_ + put) % CAPACITY;
    count_ -= put;
    if (put < run) break;
  }
  if (count_ == 0) head_ = 0;
}

void logSendBufferFull() { libkz::getLogger().printf(libkz::LOG_ERR, "send buffer full"); }

AcknowledgeSender& AcknowledgeSender::instance() {
  static AcknowledgeSender sender;
  return sender;
}

bool AcknowledgeSender::writeMessage(u16 typeId, std::span<const u8> body) {
  const std::size_t need = body.size() + MessageHeader::SIZE;
  const std::size_t want = need > SEND_FREE_MIN ? need : SEND_FREE_MIN;
  if (out_.freeSpace() < want) out_.flush();
  if (out_.freeSpace() < want) {
    logSendBufferFull();
    return false;
  }
  const auto header = MessageHeader{static_cast<u32>(body.size()), typeId}.bytes();
  out_.append(header.data(), header.size());
  out_.append(body.data(), body.size());
  return true;
}
