// The orvane-sim process: refused script lines and their reasons, arguments, the non-volatile
// image file and the exit statuses that scripts and CI rely on.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "tests/sim_fixture.h"

namespace {

std::string readFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

TEST(SimProcess, RefusedLinesSayWhyAreSkippedAndExitOne) {
  const SimProcessResult r = runSimProcess("",
                                           "send 29 0\n"
                                           "frobnicate\n"
                                           "hw parity 2\n"
                                           "hw parity 1\n"
                                           "field x\n"
                                           "raw 5g\n"
                                           "lock 128 on\n"
                                           "hw power 0x100000000\n"
                                           "send 0x10000 00\n"
                                           "send 29 00000001 04 00 00 00 00\n"
                                           "field\n"
                                           "cut\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, "orvane-sim: line 1: send 29 0: odd number of hex digits\n")) << r.err;
  for (const char* why : {"line 2: frobnicate: unknown command", "line 3: hw parity 2: parity must be 0 or 1",
                          "line 5: field x: 'x' is not a number", "line 6: raw 5g: 'g' is not a hex digit",
                          "line 7: lock 128 on: lock number must be below 128",
                          "line 8: hw power 0x100000000: hw power value must fit 32 bits",
                          "line 9: send 0x10000 00: type id must be at most 0xffff",
                          "line 12: cut: cut takes a byte count"})
    EXPECT_TRUE(contains(r.err, why)) << why << "\n" << r.err;
  EXPECT_FALSE(contains(r.err, "line 4")) << r.err;
  // The good lines around them still run.
  EXPECT_TRUE(contains(r.out, "msg 29 000000010400000000\n")) << r.out;
}

TEST(SimProcess, BadArgumentsExitTwoWithoutBooting) {
  for (const char* args : {"--bogus", "--boot warm", "--nv", "/", "/nonexistent/script.orv", "a.orv b.orv",
                           "--nv-overwrite"}) {
    const SimProcessResult r = runSimProcess(args, "field\n");
    EXPECT_EQ(r.status, 2) << args;
    EXPECT_EQ(r.out, "") << args;
    EXPECT_TRUE(contains(r.err, "orvane-sim: ")) << args;
  }
  EXPECT_TRUE(contains(runSimProcess("/").err, "/ is a directory"));
  EXPECT_EQ(runSimProcess("--help").status, 0);
}

TEST(SimProcess, NvFileIsRefusedUnlessOverwriteIsAskedAndImagesSurviveRuns) {
  const std::string nv = testTempPath(".nv");
  const std::string notAnImage = "# a script, not a backup image\nfield\n";
  writeFile(nv, notAnImage);
  SimProcessResult r = runSimProcess("--nv " + nv, "field\n");
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(contains(r.err, "is not a backup image of this back-end (size 37,")) << r.err;
  EXPECT_EQ(readFile(nv), notAnImage);

  r = runSimProcess("--nv " + nv + " --nv-overwrite", "send 29 00000001 05 00 00 00 00\nfield\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(contains(r.err, "initialised")) << r.err;
  std::string image = readFile(nv);
  ASSERT_EQ(image.size(), 0x20000u);
  EXPECT_EQ(image.substr(0, 8), std::string("\x21\x54\x76\x08\x91\x00\x00\x00", 8));

  // The next run resumes it: the record comes back with every mask set.
  r = runSimProcess("--nv " + nv, "field\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(contains(r.err, "backup image resumed")) << r.err;
  EXPECT_TRUE(contains(r.out, "msg 29 0000001f0500000000")) << r.out;

  // An image of another layout is not this back-end's either (without commit records, copy A is
  // the image).
  image[4] = static_cast<char>(144);
  image.replace(storage::COMMIT_AREA, storage::NV_SIZE - storage::COMMIT_AREA, storage::NV_SIZE - storage::COMMIT_AREA, '\0');
  writeFile(nv, image);
  r = runSimProcess("--nv " + nv, "field\n");
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(contains(r.err, "layout version 144")) << r.err;
  EXPECT_EQ(readFile(nv), image);
  std::remove(nv.c_str());
}

TEST_F(SimTest, SharedMemoryWritesAndPeeksStayInsideTheSharedRegion) {
  EXPECT_EQ(run({"smem 0x85ffffc 0a0b0c0d", "peek 0x85ffffe 2", "peek 0 0"}),
            (Lines{"smem 0x85ffffe 0c0d", "smem 0x0 "}));
  for (const char* line : {"smem 0x85ffffe 010203", "peek 0x85fffff 2", "peek 0x8600000 1"}) {
    EXPECT_FALSE(runner->execute(line)) << line;
    EXPECT_EQ(runner->error(), "shared memory ends at 0x8600000") << line;
  }
  EXPECT_FALSE(runner->execute("peek 5"));
}

// restartWithBootMode: the word the System Manager wrote before the start holds after the power
// cycle; with saving turned off no field writes the window.
TEST_F(SimTest, RestartWithABootModeWordKeepsTheWordAfterThePowerCycle) {
  std::memset(platform::nvWindow(), 0, platform::NV_SIZE);
  runner->restartWithBootMode(0x4000);
  EXPECT_EQ(*platform::ocmWord(platform::OCM_BOOT_MODE), 0x4000u);
  runner->field(2);
  const u8* nv = platform::nvWindow();
  EXPECT_TRUE(std::all_of(nv, nv + platform::NV_SIZE, [](u8 b) { return b == 0; }));
  runner->restartWithBootMode(0);
  runner->field(1);
  EXPECT_FALSE(std::all_of(nv, nv + platform::NV_SIZE, [](u8 b) { return b == 0; }));
}

// onMessage sees each message's bytes as the printed line shows them, in the same order.
TEST(SimRunner, MessageSinkGetsTheBytesOfEveryPrintedMessage) {
  Lines printed, seen;
  sim::Runner::Options options{.bootMode = "init"};
  options.onMessage = [&](unsigned type, std::span<const std::uint8_t> body) {
    std::string line = "msg " + std::to_string(type) + " ";
    for (const std::uint8_t b : body) line += hexBytes(b, 1);
    seen.push_back(line);
  };
  sim::Runner runner(options, [&](const std::string& l) {
    if (l.rfind("msg ", 0) == 0) printed.push_back(l);
  });
  runner.field(1);
  EXPECT_TRUE(runner.execute("send 29 00000001 04 00 00 00 00"));
  runner.field(1);
  EXPECT_GT(printed.size(), 1u);
  EXPECT_EQ(seen, printed);
}
