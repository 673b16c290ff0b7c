// BP's receive pass: the framing of the System Manager's messages in the receive ring and their
// dispatch to the categories. Where input bytes first meet the back-end, so a file of its own: the
// fuzz preset traces its compares, and not those of the per-field passes in Main/bp.cpp.
#include <cstdarg>

#include "Common/assert.h"
#include "Common/log.h"
#include "Main/bp.h"

KZ_SOURCE("Main/bp");

// Inlined into the framing loop: one call less per message, and the type's name is looked up
// only for a line that is logged.
[[gnu::always_inline]] inline std::size_t BP::dispatch(const MessageHeader& header, std::span<const u8> body,
                                                       BodyRule rule) {
  RequestReceiver rx(header.typeId, body);
  const int type = header.typeId;
  // contained(), written out: its lambda would be a call of its own, with the header and the
  // receiver handed over in memory.
  try {
    if (category::CategoryInterface* c = type < FIRST_COMMAND_TYPE ? own(type, 0) : nullptr) {
      c->receive(rx);
    } else if (const int handler = routeAt(type); handler >= 0 && own(handler, 0) != nullptr) {
      own(handler, 0)->receiveRouted(type, rx);
    } else {
      logReceiveFault(header.typeId, "receive undefined category %s", typelist::typeName(type));
    }
  } catch (const assert::AssertException&) {
    // Logged where it was raised; this message alone is abandoned.
  }
  const rec::WireReader& reader = rx.reader();
  if (!reader.ok()) {
    logReceiveFault(header.typeId, "receive %s dropped: body too short, length %u", typelist::typeName(type),
                    static_cast<unsigned>(body.size()));
    return 0;
  }
  if (rx.refusedWhat() != nullptr)
    logReceiveFault(header.typeId, "receive %s dropped: %s %d out of range", typelist::typeName(type),
                    rx.refusedWhat(), rx.refusedValue());
  if (!rule.searchUnread || reader.remaining() == 0) return 0;
  logReceiveFault(header.typeId, "receive %s length mismatch: length %u, record took %u", typelist::typeName(type),
                  static_cast<unsigned>(body.size()), static_cast<unsigned>(reader.position()));
  return reader.remaining();
}

template <bool IN_PLACE>
void BP::receiveFrames() {
  const std::size_t maxBody = BpInputStream::CAPACITY - MessageHeader::SIZE;
  faultLogged_.fill(false);
  // Frame sync: drop bytes up to 0x5A 0x81; a lone 0x5A at the end may still begin one.
  auto dropToSync = [this] {
    while (input_.available() >= 2 && !(input_.peek(0) == MessageHeader::SYNC0 && input_.peek(1) == MessageHeader::SYNC1))
      input_.skip(1);
    if (input_.available() == 1 && input_.peek(0) != MessageHeader::SYNC0) input_.skip(1);
  };
  for (;;) {
    MessageHeader header;
    const u8* front = input_.front();
    if (IN_PLACE && input_.frontRun() >= MessageHeader::SIZE && front[0] == MessageHeader::SYNC0 &&
        front[1] == MessageHeader::SYNC1) {
      // The usual case: the next frame starts right here and its header lies before the ring's
      // end. The search below would drop nothing and read no more.
      header = MessageHeader::parseBytes(front);
    } else {
      // The ring is read only when what is buffered runs short, not once per message.
      dropToSync();
      if (input_.available() < MessageHeader::SIZE) {
        input_.fill();
        dropToSync();
      }
      if (input_.available() < MessageHeader::SIZE) return;
      header = input_.header();
    }
    if (header.length > maxBody) {
      // Could never be buffered whole: noise. Search again right after its sync bytes.
      logReceiveFault(header.typeId, "receive frame too long: length %u type %u", static_cast<unsigned>(header.length),
                      static_cast<unsigned>(header.typeId));
      input_.drop(2);
      continue;
    }
    const BodyRule rule = bodyRuleAt(header.typeId);
    if (rule.fixedLength != 0 && header.length != rule.fixedLength) {
      // The record has one size: this header is wrong, and its body may well be the next frames.
      logReceiveFault(header.typeId, "receive %s dropped: length %u, record takes %u",
                      typelist::typeName(header.typeId), static_cast<unsigned>(header.length),
                      static_cast<unsigned>(rule.fixedLength));
      input_.drop(2);
      continue;
    }
    if (input_.available() < MessageHeader::SIZE + header.length) {
      input_.fill();
      if (input_.available() < MessageHeader::SIZE + header.length) return;  // the rest comes later
    }
    // A body that lies in one run is read where it is; only one split by the ring's end is
    // copied out. Nothing a handler does touches the input buffer.
    const u8* body = input_.contiguous(MessageHeader::SIZE, header.length);
    if (body == nullptr) {
      input_.copy(MessageHeader::SIZE, body_.data(), header.length);
      body = body_.data();
    }
    const std::size_t unread = dispatch(header, std::span<const u8>(body, header.length), rule);
    input_.skip(MessageHeader::SIZE + header.length - unread);
  }
}

void BP::receiveAll() { receiveFrames<true>(); }

void BP::receiveAllByteByByte() { receiveFrames<false>(); }

void BP::logReceiveFault(u16 type, const char* format, ...) {
  bool& logged = faultLogged_[type < N_TYPES ? type : N_TYPES];
  if (logged) return;
  logged = true;
  va_list args;
  va_start(args, format);
  libkz::getLogger().vprintf(libkz::LOG_ERR, format, args);
  va_end(args);
}
