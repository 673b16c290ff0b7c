// What the still and clip commands share beyond their header: the name they carry back as it
// came, and the way their replies are written.
#pragma once
#include "Lib/Include/shared_types.h"
#include "Main/stream.h"

// A command's name is never read, only sent back: its length as sent (a negative one with no
// bytes), the first 33 of its bytes and zeros for the rest, so that a reply is as long as the
// command was.
using MediaCommandName = rec::EchoText<33>;

// Written straight into the output ring, not through a send pass. A full ring is logged by the
// sender ("send buffer full") and the reply is lost.
template <class Cmd>
void replyToMediaCommand(Cmd& cmd, i16 result) {
  cmd.header.result = result;
  AcknowledgeSender::instance().writeRecord(cmd);
}
