// The initial status: relayed unchecked, the pulse reported by one send only, also when a backlog
// holds the send back; and the configuration menu lock with its per-entry check and restore.
#include <string>

#include "Main/cp_config.h"
#include "Main/initial_status.h"
#include "Main/menulock.h"
#include "Main/stream.h"
#include "tests/record_hex.h"
#include "tests/sim_fixture.h"

TEST_F(SimTest, InitialStatusPulseGoesOutOnceAndTheRestStays) {
  EXPECT_EQ(only(run({"send 54 0000001f 01 02 03 04 00010002000300040005 07", "field"}), "msg"),
            Lines{"msg 54 0000001f0102030400010002000300040005" "01"});
  EXPECT_EQ(only(run({"field"}), "msg"), Lines{});
  // Only byte1: the pulse reads 0, the block and flag are as they were.
  EXPECT_EQ(only(run({"send 54 00000002 09 0a 00 00 00000000000000000000 00", "field"}), "msg"),
            Lines{"msg 54 00000002000a030400010002000300040005" "01"});
  // The block is taken whole under its one bit.
  EXPECT_EQ(only(run({"send 54 00000008 00 00 00 0b 0000000000000000000c 00", "field"}), "msg"),
            Lines{"msg 54 00000008000a030b0000000000000000000c" "01"});
}

TEST_F(SimTest, InitialStatusPulseHeldBackByABacklogIsDeliveredWhenItDrains) {
  run({"drain off"});
  const std::string filler = "send 25 " + hexOf(KzifControlPanelConfig{});
  for (int i = 0; i < 400 && !AcknowledgeSender::instance().backlogged(); ++i) run({filler.c_str(), "field"});
  ASSERT_TRUE(AcknowledgeSender::instance().backlogged());
  run({"send 54 00000001 01 00 00 00 00000000000000000000 00", "field", "field"});
  const Lines out = only(run({"drain on", "field", "field", "field"}), "msg 54");
  EXPECT_EQ(out, Lines{"msg 54 00000001010000000000000000000000000000"});
}

TEST_F(SimTest, MenuLockTakesEachEntryOnItsOwnAndComesBackAfterARestart) {
  EXPECT_EQ(only(run({"send 35 0000000c 00 00 01 02 00", "field"}), "msg"), Lines{"msg 35 000000040000010000"});
  EXPECT_EQ(only(run({"send 35 00000000 01 01 01 01 01", "field"}), "msg"), Lines{"msg 35 000000000000010000"});
  EXPECT_EQ(only(run({"send 35 00000011 01 00 00 00 01", "field"}), "msg"), Lines{"msg 35 000000110100010001"});
  EXPECT_EQ(only(run({"restart", "field"}), "msg 35"), Lines{"msg 35 0000001f0100010001"});
}
