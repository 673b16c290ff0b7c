// The message streams copy runs of bytes: across the end of the input ring, and into and out of
// the output ring while a backlog makes it wrap.
#include <cstdio>
#include <string>
#include <vector>

#include "Main/stream.h"
#include "Main/system.h"
#include "tests/record_hex.h"
#include "tests/sim_fixture.h"

namespace {

std::vector<u8> pending;  // what the fake source still has to give
std::size_t pullLimit = 0;

struct FakeSource {
  static std::size_t pull(u8* dst, std::size_t max) {
    std::size_t n = max < pending.size() ? max : pending.size();
    if (n > pullLimit) n = pullLimit;
    std::copy(pending.begin(), pending.begin() + static_cast<long>(n), dst);
    pending.erase(pending.begin(), pending.begin() + static_cast<long>(n));
    return n;
  }
};

std::string hexOf(const std::vector<u8>& bytes) {
  std::string s;
  for (u8 b : bytes) s += hexBytes(b, 1);
  return s;
}

std::vector<u8> pattern(int message, std::size_t n) {
  std::vector<u8> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<u8>(message * 7 + static_cast<int>(i));
  return v;
}

}  // namespace

TEST(StreamTest, InputCopiesAcrossTheRingEndAsBuffered) {
  typelist::BufferedInStream<FakeSource, 16> in;
  const std::vector<u8> sent = pattern(0, 40);
  pending = sent;
  pullLimit = 5;  // the source gives little at a time: fill() goes round
  in.fill();
  in.skip(11);
  in.fill();  // 5 free at the ring's end, 11 at its start
  ASSERT_EQ(in.available(), 16u);
  std::vector<u8> got(14);
  in.copy(2, got.data(), got.size());  // offsets 13..15 and 0..10 of the ring
  EXPECT_EQ(hexOf(got), hexOf(std::vector<u8>(sent.begin() + 13, sent.begin() + 27)));
  // Read in place only up to the ring's end: offsets 13..15 lie in one run, 13..16 do not.
  const u8* atEnd = in.contiguous(2, 3);
  ASSERT_NE(atEnd, nullptr);
  EXPECT_EQ(hexOf(std::vector<u8>(atEnd, atEnd + 3)), hexOf(std::vector<u8>(sent.begin() + 13, sent.begin() + 16)));
  EXPECT_EQ(in.contiguous(2, 4), nullptr);
  const u8* atStart = in.contiguous(5, 11);  // offsets 0..10
  ASSERT_NE(atStart, nullptr);
  EXPECT_EQ(hexOf(std::vector<u8>(atStart, atStart + 11)), hexOf(std::vector<u8>(sent.begin() + 16, sent.begin() + 27)));
  EXPECT_EQ((std::array{in.peek(0), in.read(), in.peek(0)}), (std::array<u8, 3>{11, 11, 12}));
}

TEST_F(SimTest, OutputRingKeepsMessagesWholeAndInOrderWhenItWraps) {
  constexpr int MESSAGES = 80;
  constexpr std::size_t BODY = 4000;
  AcknowledgeSender& tx = AcknowledgeSender::instance();
  run({"drain off"});
  // Half goes in, the transmit ring takes what it can; the other half then runs past the end of
  // the output ring.
  for (int m = 0; m < MESSAGES; ++m) {
    const auto body = pattern(m, BODY);
    ASSERT_TRUE(writeMessage(99, std::span<const u8>(body.data(), body.size()))) << m;
    if (m == MESSAGES / 2) tx.stream().flush();
  }
  ASSERT_GT(tx.stream().unsent(), 0u);
  const Lines out = only(run({"drain on", "field 3"}), "msg 99 ");
  ASSERT_EQ(out.size(), static_cast<std::size_t>(MESSAGES));
  for (int m = 0; m < MESSAGES; ++m) EXPECT_EQ(out[static_cast<std::size_t>(m)], "msg 99 " + hexOf(pattern(m, BODY))) << m;
}

// The last free byte is written where it is; a byte with no room left goes in after a flush.
TEST_F(SimTest, AByteWrittenIntoAFullOutputRingGoesInAfterAFlush) {
  BufferedOutStream& s = AcknowledgeSender::instance().stream();
  const std::vector<u8> fill(s.freeSpace() - 1, 0);
  s.append(fill.data(), fill.size());
  const std::size_t full = BufferedOutStream::CAPACITY - BufferedOutStream::RESERVE;
  EXPECT_TRUE(s.write(1));
  EXPECT_EQ(s.unsent(), full);
  EXPECT_TRUE(s.write(2));
  EXPECT_LT(s.unsent(), full);
  s.clear();
}

// A record goes into the output ring in place while it fits before the ring's end, and through
// the scratch buffer when it would run past it: the same bytes, in order, either way.
TEST_F(SimTest, RecordsWrittenInPlaceAndAroundTheRingEndKeepTheirBytes) {
  AcknowledgeSender& tx = AcknowledgeSender::instance();
  BufferedOutStream& stream = tx.stream();
  run({"drain off"});
  stream.flush();
  auto fill = [](std::size_t body) {
    const auto bytes = pattern(3, body);
    ASSERT_TRUE(writeMessage(99, std::span<const u8>(bytes.data(), bytes.size())));
  };
  // The transmit ring takes what it can, so the output ring's pending bytes start well past its
  // beginning and the free bytes run on round its end.
  while (stream.unsent() < 160000) fill(4000);
  stream.flush();
  const std::size_t record = MessageHeader::SIZE + rec::wireSizeOf<KzifSystem>();
  while (stream.freeRun().size() > 8000) fill(4000);
  fill(stream.freeRun().size() - MessageHeader::SIZE - (record - 3));
  ASSERT_EQ(stream.freeRun().size(), record - 3);
  ASSERT_GT(stream.freeSpace(), SEND_FREE_MIN + 2 * record);

  KzifSystem sys{};
  sys.mask = 0x1F;
  std::vector<std::string> sent;
  for (u8 format : {4, 5, 6}) {  // round the end, then in place twice
    sys.videoFormat = format;
    ASSERT_TRUE(tx.writeRecord(sys));
    sent.push_back("msg 29 " + hexOf(sys));
  }
  const Lines out = only(run({"drain on", "field 1"}), "msg 29 ");
  ASSERT_GE(out.size(), 3u);
  EXPECT_EQ(Lines(out.begin(), out.begin() + 3), Lines(sent.begin(), sent.end()));
}

// Short of the free room a message needs, a record is refused whether it would go in place or
// aside: written in place, it would eat into the room kept for the replies that must not be lost.
TEST_F(SimTest, ARecordShortOfTheKeptRoomIsRefusedEvenWhereItWouldFitInPlace) {
  AcknowledgeSender& tx = AcknowledgeSender::instance();
  BufferedOutStream& stream = tx.stream();
  run({"drain off"});
  auto fill = [](std::size_t body) {
    const auto bytes = pattern(5, body);
    ASSERT_TRUE(writeMessage(99, std::span<const u8>(bytes.data(), bytes.size())));
  };
  while (stream.unsent() < 160000) fill(4000);
  stream.flush();  // the transmit ring is full from here on
  while (stream.freeSpace() > SEND_FREE_MIN + 8000) fill(4000);
  fill(stream.freeSpace() - (SEND_FREE_MIN - 200) - MessageHeader::SIZE);
  ASSERT_EQ(stream.freeSpace(), SEND_FREE_MIN - 200);
  ASSERT_GT(stream.freeRun().size(), MessageHeader::SIZE + rec::wireSizeOf<KzifSystem>());
  const std::size_t unsent = stream.unsent();
  KzifSystem sys{};
  sys.mask = 0x1F;
  lines.clear();
  EXPECT_FALSE(tx.writeRecord(sys));
  EXPECT_EQ(stream.unsent(), unsent);
  EXPECT_EQ(only(lines, "log [ERR] send buffer full").size(), 1u);
}

// In the send pass messages go straight into the transmit ring. A flush within the pass hands
// them over, and those after it follow them rather than land where they were written.
TEST_F(SimTest, MessagesWrittenIntoTheTransmitRingFollowEachOtherAcrossAFlush) {
  BufferedOutStream& stream = AcknowledgeSender::instance().stream();
  run({"drain off"});
  stream.beginPass();
  for (int m = 0; m < 3; ++m) {
    const auto body = pattern(m, 100);
    ASSERT_TRUE(writeMessage(99, std::span<const u8>(body.data(), body.size())));
    EXPECT_EQ(stream.unsent(), (m == 2 ? 1u : static_cast<std::size_t>(m + 1)) * (MessageHeader::SIZE + 100));
    if (m == 1) stream.flush();
  }
  stream.endPass();
  EXPECT_EQ(stream.unsent(), 0u);
  const Lines out = only(run({"drain on"}), "msg 99 ");
  ASSERT_EQ(out.size(), 3u);
  for (int m = 0; m < 3; ++m) EXPECT_EQ(out[static_cast<std::size_t>(m)], "msg 99 " + hexOf(pattern(m, 100))) << m;
}

// When the transmit ring fills within the pass, the rest waits in the output ring behind what
// went in: the ring takes as much as it would from the buffer alone, and nothing is reordered.
TEST_F(SimTest, WhenTheTransmitRingFillsInTheSendPassTheRestWaitsBehindIt) {
  constexpr int MESSAGES = 40;
  constexpr std::size_t BODY = 4000;
  BufferedOutStream& stream = AcknowledgeSender::instance().stream();
  run({"drain off"});
  stream.flush();
  const std::size_t room = SystemManagerRing::transmit().writable();
  stream.beginPass();
  for (int m = 0; m < MESSAGES; ++m) {
    const auto body = pattern(m, BODY);
    ASSERT_TRUE(writeMessage(99, std::span<const u8>(body.data(), body.size()))) << m;
  }
  const std::size_t total = MESSAGES * (MessageHeader::SIZE + BODY);
  ASSERT_GT(total, room);
  EXPECT_EQ(stream.unsent(), total);
  stream.endPass();
  EXPECT_EQ(stream.unsent(), total - room);
  EXPECT_EQ(SystemManagerRing::transmit().writable(), 0u);
  const Lines out = only(run({"drain on", "field 3"}), "msg 99 ");
  ASSERT_EQ(out.size(), static_cast<std::size_t>(MESSAGES));
  for (int m = 0; m < MESSAGES; ++m) EXPECT_EQ(out[static_cast<std::size_t>(m)], "msg 99 " + hexOf(pattern(m, BODY))) << m;
}

// In the send pass a record written in place may end exactly at the transmit ring's end: the next
// one starts at the ring's beginning, and every record keeps its bytes and its place.
TEST_F(SimTest, RecordsWrittenIntoTheTransmitRingUpToItsEndAndAfterItKeepTheirBytes) {
  AcknowledgeSender& tx = AcknowledgeSender::instance();
  BufferedOutStream& stream = tx.stream();
  run({"drain off"});
  stream.flush();
  stream.beginPass();
  auto fill = [](std::size_t body) {
    const auto bytes = pattern(7, body);
    ASSERT_TRUE(writeMessage(99, std::span<const u8>(bytes.data(), bytes.size())));
  };
  const std::size_t record = MessageHeader::SIZE + rec::wireSizeOf<KzifSystem>();
  while (stream.freeRun().size() > 8000) fill(4000);
  fill(stream.freeRun().size() - MessageHeader::SIZE - record);
  ASSERT_EQ(stream.freeRun().size(), record);
  // The ring's end, not its free room, bounds the run.
  ASSERT_GT(SystemManagerRing::transmit().writable(), stream.unsent() + 4 * record);
  KzifSystem sys{};
  sys.mask = 0x1F;
  std::vector<std::string> sent;
  for (u8 format : {4, 5, 6}) {  // up to the end, then from the beginning twice
    sys.videoFormat = format;
    const std::size_t before = stream.unsent();
    ASSERT_TRUE(tx.writeRecord(sys));
    EXPECT_EQ(stream.unsent(), before + record);
    sent.push_back("msg 29 " + hexOf(sys));
  }
  stream.endPass();
  EXPECT_EQ(stream.unsent(), 0u);
  const Lines out = only(run({"drain on", "field 1"}), "msg 29 ");
  ASSERT_GE(out.size(), 3u);
  EXPECT_EQ(Lines(out.begin(), out.begin() + 3), Lines(sent.begin(), sent.end()));
}
