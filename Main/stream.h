// Message streams between the back-end and the System Manager: the framed-message header, the
// 16 KB input ring over the receive ring, the request receiver handed to the categories, and the
// 256 KB output ring with the acknowledge sender that writes whole messages.
#pragma once
#include <array>
#include <cstddef>
#include <cstring>
#include <span>

#include "Common/shared.h"
#include "Lib/Include/kz_types.h"
#include "Lib/Include/record.h"

// 0x5A 0x81, body length u32 big-endian, type id u16 big-endian; then the body.
struct MessageHeader {
  static constexpr u8 SYNC0 = 0x5A;
  static constexpr u8 SYNC1 = 0x81;
  static constexpr std::size_t SIZE = 8;
  u32 length = 0;
  u16 typeId = 0;

  // The eight header bytes of a message (the System Manager's side frames with it too).
  std::array<u8, SIZE> bytes() const {
    return {SYNC0, SYNC1, static_cast<u8>(length >> 24), static_cast<u8>(length >> 16), static_cast<u8>(length >> 8),
            static_cast<u8>(length), static_cast<u8>(typeId >> 8), static_cast<u8>(typeId)};
  }
  // Length and type id from the eight header bytes at p (the sync bytes not looked at).
  static MessageHeader parseBytes(const u8* p) {
    MessageHeader h;
    h.length = rec::loadBigEndian<u32>(p + 2);
    h.typeId = rec::loadBigEndian<u16>(p + 6);
    return h;
  }
  // Length and type id from the six bytes after the sync bytes.
  template <class ByteAt>
  static MessageHeader parse(ByteAt at) {
    MessageHeader h;
    h.length = static_cast<u32>(at(2)) << 24 | static_cast<u32>(at(3)) << 16 | static_cast<u32>(at(4)) << 8 | at(5);
    h.typeId = static_cast<u16>(at(6) << 8 | at(7));
    return h;
  }
};

// How the receive pass frames one message type. The default (a type with no category, or a body
// the System Manager may extend beyond what is read here) waits for the whole body, hands it over
// and drops whatever the handler left unread.
struct BodyRule {
  // Non-zero: the only body length a header of this type can give; any other is refused as it
  // is parsed, so that a wrong length neither swallows the frames after it nor waits for bytes.
  u32 fixedLength = 0;
  // Body bytes the record leaves unread are searched for frames: a length larger than the record
  // must not take the next frames with it.
  bool searchUnread = false;
};

// The rule of a record type: from its declaration, unless it says that the System Manager may
// send blocks after the declared fields (TRAILING_BLOCKS), or it declares no fields at all.
template <class T>
constexpr BodyRule bodyRuleOf() {
  if constexpr (requires { T::TRAILING_BLOCKS; }) {
    static_assert(T::TRAILING_BLOCKS);
    return {};
  } else if constexpr (!requires { T::wire(); }) {
    return {};
  } else if constexpr (rec::hasFixedWireSize<T>()) {
    return {static_cast<u32>(rec::wireSizeOf<T>()), true};
  } else {
    return {0, true};
  }
}

// Free bytes a message writer needs in the output ring, and the unsent backlog above which the
// categories hold their changes back.
constexpr std::size_t SEND_FREE_MIN = 4162;
constexpr std::size_t SEND_PENDING_MAX = 0x20000;

// Byte source of the input stream: the System Manager receive ring.
struct BpInStream {
  static std::size_t pull(u8* dst, std::size_t max) { return SystemManagerRing::receive().read(dst, max); }
};

namespace typelist {

// A ring of N bytes refilled from Source. The field cycle never waits on it: callers look at
// what is buffered and take a message only when all of it is there.
template <class Source, std::size_t N>
class BufferedInStream {
 public:
  static constexpr std::size_t CAPACITY = N;

  // Pulls as many bytes from the source as the ring has room for.
  void fill() {
    while (count_ < N) {
      const std::size_t tail = (head_ + count_) % N;
      const std::size_t room = tail >= head_ ? N - tail : head_ - tail;
      const std::size_t got = Source::pull(buf_.data() + tail, room < N - count_ ? room : N - count_);
      if (got == 0) break;
      count_ += got;
    }
  }
  std::size_t available() const { return count_; }
  u8 peek(std::size_t i) const { return buf_[(head_ + i) % N]; }
  // The header of the message at the front (the caller has seen that its eight bytes are there):
  // read where it lies, or byte by byte when it runs round the ring's end.
  MessageHeader header() const {
    if (head_ + MessageHeader::SIZE <= N) return MessageHeader::parseBytes(buf_.data() + head_);
    return MessageHeader::parse([this](std::size_t i) { return peek(i); });
  }
  // Next byte; only called when available() > 0.
  u8 read() {
    const u8 b = buf_[head_];
    skip(1);
    return b;
  }
  void skip(std::size_t n) {
    if (n > count_) n = count_;
    drop(n);
  }
  // skip() of bytes the caller knows are buffered (n <= available()).
  void drop(std::size_t n) {
    head_ = (head_ + n) % N;
    count_ -= n;
  }
  // The buffered bytes at the front, where they lie, and how many of them lie in one run there
  // (up to the ring's end).
  const u8* front() const { return buf_.data() + head_; }
  std::size_t frontRun() const { return N - head_ < count_ ? N - head_ : count_; }
  // Copies n buffered bytes from offset `from` on, in at most two runs around the ring's end.
  void copy(std::size_t from, u8* dst, std::size_t n) const {
    if (n == 0) return;
    const std::size_t start = (head_ + from) % N;
    const std::size_t first = n < N - start ? n : N - start;
    std::memcpy(dst, buf_.data() + start, first);
    std::memcpy(dst + first, buf_.data(), n - first);
  }
  // The n buffered bytes from offset `from` on, where they lie; nullptr when they run around the
  // ring's end (copy() them then).
  const u8* contiguous(std::size_t from, std::size_t n) const {
    const std::size_t start = (head_ + from) % N;
    return n <= N - start ? buf_.data() + start : nullptr;
  }
  void clear() { head_ = count_ = 0; }

 private:
  std::array<u8, N> buf_{};
  std::size_t head_ = 0;
  std::size_t count_ = 0;
};

}  // namespace typelist

using BpInputStream = typelist::BufferedInStream<BpInStream, 16384>;

// One received message as handed to a category: its header and its whole body. A handler reads
// the body through reader() (bounded by the body length) and clears the header-valid flag once
// it has taken the message.
class RequestReceiver {
 public:
  RequestReceiver(u16 typeId, std::span<const u8> body) : typeId_(typeId), body_(body), reader_(body) {}
  u16 typeId() const { return typeId_; }
  u32 length() const { return static_cast<u32>(body_.size()); }
  bool headerValid() const { return headerValid_; }
  void consume() { headerValid_ = false; }
  rec::WireReader& reader() { return reader_; }
  std::span<const u8> body() const { return body_; }
  // The record was dropped whole because a value that picks its object (M/E, channel, panel) is
  // out of range; the receive pass logs why.
  void refuse(const char* what, int value) {
    refusedWhat_ = what;
    refusedValue_ = value;
  }
  const char* refusedWhat() const { return refusedWhat_; }
  int refusedValue() const { return refusedValue_; }

 private:
  u16 typeId_;
  std::span<const u8> body_;
  rec::WireReader reader_;
  bool headerValid_ = true;
  const char* refusedWhat_ = nullptr;
  int refusedValue_ = 0;
};

// 256 KB ring in front of the System Manager transmit ring. 16 bytes are always kept free.
//
// Within the send pass, bytes that no backlog waits before are put straight into the transmit
// ring's free bytes, after its write index, and handed over at the next flush: the other core sees
// the same bytes at the same moments as through the buffer here, and they are copied once, not
// twice. They count as unsent until then, as buffered bytes do.
class BufferedOutStream {
 public:
  static constexpr std::size_t CAPACITY = 256 * 1024;
  static constexpr std::size_t RESERVE = 16;

  // Puts one byte, flushing first when the ring is full; false when there was still no room.
  bool write(u8 b);
  // Puts n bytes that the caller has made room for (n <= freeSpace()), in at most two runs.
  void append(const u8* src, std::size_t n);
  // Hands the pending bytes to the transmit ring, as many as it takes.
  void flush();
  // The send pass: flushes, and until endPass() writes into the transmit ring where it can.
  void beginPass();
  // Flushes, and ends writing into the transmit ring.
  void endPass();
  // The free bytes from the write position on, up to the ring's end: a writer may fill them in
  // place and then commit what it wrote.
  std::span<u8> freeRun() {
    runInRing_ = intoRing();
    if (runInRing_) {
      const auto run = static_cast<std::size_t>(ringEnd_ - ringAt_);
      const std::size_t room = ringLeft_ < freeSpace() ? ringLeft_ : freeSpace();
      return {ringAt_, run < room ? run : room};
    }
    const std::size_t tail = (head_ + count_) % CAPACITY;
    const std::size_t run = CAPACITY - tail;
    return {buf_.data() + tail, run < freeSpace() ? run : freeSpace()};
  }
  // Takes the n bytes a writer filled in the last freeRun(). Every message written goes through
  // here: a count within that run is taken in line, anything else is left to commitChecked, which
  // refuses a count past the run.
  void commit(std::size_t n) {
    if (n <= freeSpace()) {
      if (!runInRing_) {
        count_ += n;
        return;
      }
      if (n <= ringLeft_ && n < static_cast<std::size_t>(ringEnd_ - ringAt_)) {
        ringAt_ += n;
        ringLeft_ -= n;
        staged_ += n;
        return;
      }
    }
    commitChecked(n);
  }
  void commitChecked(std::size_t n);
  std::size_t unsent() const { return count_ + staged_; }
  std::size_t freeSpace() const { return CAPACITY - RESERVE - unsent(); }
  void clear() {
    head_ = count_ = staged_ = 0;
    through_ = false;
    forgetRing();
  }

 private:
  // Bytes go into the transmit ring only while nothing waits here to go before them. Where the
  // ring may be written is looked at once after each flush, when something is first written.
  bool intoRing() {
    if (!through_ || count_ != 0) return false;
    if (ringAt_ == nullptr) lookAtRing();
    return ringLeft_ != 0;
  }
  void lookAtRing();
  void forgetRing() {
    ringAt_ = nullptr;
    ringLeft_ = 0;
  }
  // n bytes were put at ringAt_, round the ring's end when they did not fit before it.
  void putIntoRing(std::size_t n);

  std::array<u8, CAPACITY> buf_{};
  std::size_t head_ = 0;
  std::size_t count_ = 0;
  bool through_ = false;    // within the send pass
  bool runInRing_ = false;  // the last freeRun() lay in the transmit ring
  // The transmit ring's data bytes, where the next byte put into it goes (nullptr until looked
  // at after a flush) and how many more it has room for.
  u8* ringBegin_ = nullptr;
  u8* ringEnd_ = nullptr;
  u8* ringAt_ = nullptr;
  std::size_t ringLeft_ = 0;
  std::size_t staged_ = 0;  // bytes put into the ring, not yet handed over
};

void logSendBufferFull();

// Output side handed to sendChanges, send and the command handlers.
class AcknowledgeSender {
 public:
  static AcknowledgeSender& instance();
  BufferedOutStream& stream() { return out_; }
  // True while the unsent backlog is too large for categories to queue more changes.
  bool backlogged() const { return out_.unsent() > SEND_PENDING_MAX; }
  // Frames and writes one message. Needs SEND_FREE_MIN free bytes (and room for the message),
  // flushes once when short; false, with "send buffer full" logged, when the room is still
  // missing.
  bool writeMessage(u16 typeId, std::span<const u8> body);
  // Encodes a record as a message body and writes it. A body is at most as long as the scratch
  // buffer; one that is longer is not written.
  template <class R>
  bool writeRecord(const R& rec) {
    // Encoded straight into the output ring when that needs no flush and the message fits before
    // the ring's end, rather than encoded aside and copied in; the same bytes either way.
    const std::span<u8> run = out_.freeRun();
    if (out_.freeSpace() >= SEND_FREE_MIN && run.size() > MessageHeader::SIZE) {
      const std::size_t room = run.size() - MessageHeader::SIZE;
      rec::WireWriter w(run.subspan(MessageHeader::SIZE, room < scratch_.size() ? room : scratch_.size()));
      rec::encode(w, rec);
      if (w.ok()) {
        const auto header = MessageHeader{static_cast<u32>(w.size()), static_cast<u16>(R::TYPE_ID)}.bytes();
        std::memcpy(run.data(), header.data(), header.size());
        out_.commit(header.size() + w.size());
        return true;
      }
    }
    rec::WireWriter w(scratch_);
    rec::encode(w, rec);
    if (!w.ok()) return false;
    return writeMessage(static_cast<u16>(R::TYPE_ID), std::span<const u8>(scratch_.data(), w.size()));
  }

 private:
  BufferedOutStream out_;
  std::array<u8, 16384> scratch_{};
};

inline bool writeMessage(u16 typeId, std::span<const u8> body) {
  return AcknowledgeSender::instance().writeMessage(typeId, body);
}
