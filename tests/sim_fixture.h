// Boots the back-end in-process through the host runner and collects what it prints.
#pragma once
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "Common/storage.h"
#include "Main/bp.h"
#include "Platform/platform.h"
#include "Sim/runner.h"

using Lines = std::vector<std::string>;

// A value as `bytes` big-endian bytes in the runner's lowercase hex.
inline std::string hexBytes(unsigned long long v, int bytes) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "%0*llx", 2 * bytes, v & ((1ull << (8 * bytes)) - 1));
  return buf;
}

// Drops the commit records of the non-volatile window, so that the next resume takes the image at
// its start (copy A) as a test edited it, as it takes an image saved before commit records were
// kept; with them, the edit would only break copy A's CRC and the other copy would be resumed.
inline void dropCommitRecords() {
  std::memset(platform::nvWindow() + storage::COMMIT_AREA, 0, storage::NV_SIZE - storage::COMMIT_AREA);
}

class SimTest : public ::testing::Test {
 protected:
  // Boots and runs the first field, so that the cold-start reports (tables every panel gets at
  // start) are out of the way; tests of the boot itself call boot() alone.
  void SetUp() override {
    boot({});
    settle();
  }
  void settle() {
    runner->field(1);
    lines.clear();
  }
  void TearDown() override { runner.reset(); }

  void boot(sim::Runner::Options options) {
    // Every field of every test checks that no share of the backup image changed unmarked.
    if (!options.unmarkedShare)
      options.unmarkedShare = [](const std::string& share) {
        ADD_FAILURE() << "changed without a mark, the backup save misses it: " << share;
      };
    runner.reset();
    lines.clear();
    runner = std::make_unique<sim::Runner>(std::move(options), [this](const std::string& l) { lines.push_back(l); });
  }
  // Runs script lines and returns what they printed.
  std::vector<std::string> run(std::initializer_list<const char*> script) {
    lines.clear();
    for (const char* l : script) EXPECT_TRUE(runner->execute(l)) << l << ": " << runner->error();
    return lines;
  }
  // Runs one field cycle pass by pass; the shares (type name and M/E) that its backup save
  // compares with the non-volatile window. What it sends is printed by the next field.
  static Lines fieldSaveShares() {
    BP& bp = BP::instance();
    bp.receiveAll();
    bp.updateAll();
    bp.sendAll();
    bp.afterSendAll();
    Lines shares;
    bp.forEachMarkedShare(
        [&](const char* name, int, int me) { shares.push_back(std::string(name) + " " + std::to_string(me)); });
    bp.saveBackup();
    return shares;
  }
  static std::vector<std::string> only(const std::vector<std::string>& out, const std::string& prefix) {
    std::vector<std::string> r;
    for (const auto& l : out)
      if (l.rfind(prefix, 0) == 0) r.push_back(l);
    return r;
  }

  std::unique_ptr<sim::Runner> runner;
  std::vector<std::string> lines;
};

// The orvane-sim binary itself, for what only the process does: arguments, files, exit status.
struct SimProcessResult {
  int status = -1;
  std::string out, err;
};

// A file name of the running test's own: ctest runs tests as parallel processes, and other
// builds of this suite may run at the same time, hence the process id.
inline std::string testTempPath(const std::string& suffix) {
  return testing::TempDir() + "orvane_" + std::to_string(getpid()) + "_" +
         testing::UnitTest::GetInstance()->current_test_info()->name() + suffix;
}

// Runs orvane-sim with `args` (shell words) and `script` on standard input.
inline SimProcessResult runSimProcess(const std::string& args, const std::string& script = "") {
  const std::string in = testTempPath(".orv");
  const std::string err = testTempPath(".stderr");
  std::ofstream(in) << script;
  SimProcessResult r;
  FILE* p = popen((std::string(ORVANE_SIM_PATH) + " " + args + " <" + in + " 2>" + err).c_str(), "r");
  if (!p) return r;
  for (char buf[512]; std::fgets(buf, sizeof buf, p);) r.out += buf;
  const int wait = pclose(p);
  r.status = WIFEXITED(wait) ? WEXITSTATUS(wait) : -1;
  std::ifstream e(err);
  r.err.assign(std::istreambuf_iterator<char>(e), std::istreambuf_iterator<char>());
  std::remove(in.c_str()), std::remove(err.c_str());
  return r;
}
