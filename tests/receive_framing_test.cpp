// The receive pass frames a message whose header lies before the input ring's end with its sync
// bytes in place without searching for them byte by byte. Held here to the byte-by-byte framing,
// field by field: the same records taken in the same order, the same echoes and log lines.
#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "Main/bp.h"
#include "tests/sim_fixture.h"

namespace {

using Bytes = std::vector<u8>;

BP::FieldStartHook previousHook = nullptr;

// Frames everything buffered byte by byte before the field cycle's own receive pass: that pass
// then finds only what the byte-by-byte one left waiting, and takes nothing of it either.
void receiveByteByByteFirst() {
  if (previousHook) previousHook();
  BP::instance().receiveAllByteByByte();
}

// v big-endian in `bytes` bytes; those above the value's eight are zeros.
void put(Bytes& out, std::uint64_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out.push_back(i < 8 ? static_cast<u8>(v >> (8 * i)) : u8{0});
}
void frame(Bytes& out, unsigned type, const Bytes& body, long length = -1) {
  out.push_back(MessageHeader::SYNC0);
  out.push_back(MessageHeader::SYNC1);
  put(out, length < 0 ? body.size() : static_cast<std::uint64_t>(length), 4);
  put(out, type, 2);
  out.insert(out.end(), body.begin(), body.end());
}
// A background record (type 2, 14 bytes) for M/E me (out of range from 4 on).
Bytes bkgd(int me, int pattern) {
  Bytes b;
  put(b, 0x10, 4);
  put(b, static_cast<unsigned>(me), 1);
  put(b, 0, 4);
  put(b, static_cast<unsigned>(pattern), 1);
  put(b, 0, 4);
  return b;
}
// A source name record (type 39) giving channel ch a one-letter name.
Bytes sourceName(int ch, int letter) {
  Bytes b;
  put(b, 2, 4);
  put(b, static_cast<unsigned>(ch), 2);
  put(b, 0, 1);
  put(b, 1, 2);
  put(b, static_cast<unsigned>('A' + letter % 26), 1);
  put(b, 0, 10);
  return b;
}

class FramingTest : public SimTest {
 protected:
  // Boots, feeds `fields` one field each, and runs two more fields for what is left; what the
  // back-end printed.
  Lines feed(const std::vector<Bytes>& fields, bool byteByByte) {
    boot({});
    settle();
    previousHook = BP::instance().fieldStartHook();
    if (byteByByte) BP::instance().setFieldStartHook(receiveByteByByteFirst);
    for (const Bytes& f : fields) {
      runner->raw(f);
      runner->field(1);
    }
    runner->field(2);
    BP::instance().setFieldStartHook(previousHook);
    return lines;
  }
  void expectSameAsByteByByte(const std::vector<Bytes>& fields) {
    const Lines inPlace = feed(fields, false);
    const Lines byteByByte = feed(fields, true);
    ASSERT_EQ(inPlace.size(), byteByByte.size());
    for (std::size_t i = 0; i < inPlace.size(); ++i) ASSERT_EQ(inPlace[i], byteByByte[i]) << "line " << i;
    EXPECT_GT(only(inPlace, "msg 2 ").size() + only(inPlace, "msg 39 ").size(), fields.size() / 4);
  }
};

// Good frames, frames of a wrong or impossible length, bodies too short or too long, unknown
// types and stray sync bytes, cut into fields anywhere, until the ring has gone round many times.
TEST_F(FramingTest, RandomStreamsWithSyncNoiseAreFramedAsByteByByte) {
  for (const unsigned seed : {1u, 2u, 3u}) {
    std::mt19937 rng(seed);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    Bytes stream;
    bool tookRing = false;
    while (stream.size() < 60000) {
      const int what = pick(40);
      if (what < 2) {
        frame(stream, 2, bkgd(pick(4), pick(256)), 10 + pick(10));  // a fixed size, mostly wrong
      } else if (what < 4) {
        frame(stream, 39, sourceName(pick(300), pick(26)), pick(2) ? 12 : 19 + pick(40));  // short, or longer
      } else if (what < 5) {
        frame(stream, pick(2) ? 200 : 60, Bytes(static_cast<std::size_t>(pick(5)), 0x5a));
      } else if (what < 6) {
        // A header that could never be buffered; once, one whose body takes all the ring.
        const bool whole = stream.size() > 30000 && !tookRing;
        tookRing = tookRing || whole;
        Bytes h{MessageHeader::SYNC0, MessageHeader::SYNC1};
        put(h, whole ? 0x3ff8u : 0x3ff9u + static_cast<unsigned>(pick(3)), 4);
        put(h, 39, 2);
        stream.insert(stream.end(), h.begin(), h.end());
      } else if (what < 9) {
        for (int n = 1 + pick(5); n > 0; --n)
          stream.push_back(static_cast<u8>(pick(3) == 0 ? 0x81 : pick(2) ? 0x5a : rng()));
      } else if (what < 11) {
        for (int n = pick(what == 9 ? 64 : 3000); n > 0; --n) stream.push_back(0);
      } else if (pick(2)) {
        frame(stream, 2, bkgd(pick(5), pick(256)));
      } else {
        frame(stream, 39, sourceName(pick(224), pick(26)));
      }
    }
    std::vector<Bytes> fields;
    for (std::size_t at = 0; at < stream.size();) {
      const std::size_t n = std::min(stream.size() - at, static_cast<std::size_t>(1 + pick(pick(30) == 0 ? 20000 : 200)));
      fields.emplace_back(stream.begin() + static_cast<long>(at), stream.begin() + static_cast<long>(at + n));
      at += n;
    }
    SCOPED_TRACE(seed);
    expectSameAsByteByByte(fields);
  }
}

// Frames that start at every offset up to 60 bytes before the ring's end: headers and bodies split
// there, a header right up to it, the sync bytes either side of it.
TEST_F(FramingTest, FramesSplitAtEveryOffsetAroundTheRingEndAreFramedAsByteByByte) {
  std::vector<Bytes> fields;
  std::size_t position = 0;  // where the next byte goes in the ring, everything before it taken
  for (int k = 0; k <= 60; ++k) {
    Bytes f((BpInputStream::CAPACITY - static_cast<std::size_t>(k) - position) % BpInputStream::CAPACITY, 0);
    frame(f, 2, bkgd(k % 4, k));
    frame(f, 39, sourceName(k, k));
    frame(f, 2, bkgd(1, k), 15);  // refused at its header; the search goes on after its sync bytes
    frame(f, 2, bkgd(2, k));
    frame(f, 39, sourceName(k + 1, k), 30);  // longer than its record
    f.push_back(MessageHeader::SYNC0);
    f.push_back(MessageHeader::SYNC1);
    frame(f, 39, sourceName(k + 2, k));
    position = (position + f.size()) % BpInputStream::CAPACITY;
    fields.push_back(f);
  }
  expectSameAsByteByByte(fields);
  // Each field's frames are taken within it (two fields more at the end), and where they lay
  // is where the ring is now.
  EXPECT_EQ(BP::instance().input().available(), 0u);
}

}  // namespace
