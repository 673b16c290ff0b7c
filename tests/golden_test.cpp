// The whole output of every example script and emulated script, pinned: every driver call with its
// arguments, every message on the wire and every log line, in order. A change of behaviour anywhere
// the scripts reach shows up here as the first line that differs. The same run without the driver
// trace must give the same lines less the driver calls: the untraced field skips setter blocks
// whose inputs did not move, and that must change nothing that goes out.
//
// After a change that is meant to alter the output, write the pinned files again with
//   ORVANE_UPDATE_GOLDEN=1 ./build/default/orvane_tests --gtest_filter='GoldenRun.*'
// and review their diff before committing it.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

#include "tests/sim_fixture.h"

namespace {

namespace fs = std::filesystem;

const fs::path SOURCE_DIR{ORVANE_SOURCE_DIR};

std::vector<fs::path> scripts() {
  std::vector<fs::path> found;
  for (const char* dir : {"examples", "tests/emulated"})
    for (const auto& e : fs::directory_iterator(SOURCE_DIR / dir))
      if (e.path().extension() == ".orv") found.push_back(e.path());
  std::sort(found.begin(), found.end());
  return found;
}

fs::path goldenOf(const fs::path& script) {
  return SOURCE_DIR / "tests/golden" / (script.parent_path().filename().string() + "_" + script.stem().string() + ".out");
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string readFile(const fs::path& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// Empty when equal; else where the two first part, with a few lines before it.
std::string firstDifference(const std::vector<std::string>& want, const std::vector<std::string>& got) {
  const std::size_t n = std::min(want.size(), got.size());
  std::size_t i = 0;
  while (i < n && want[i] == got[i]) ++i;
  if (i == n && want.size() == got.size()) return {};
  std::ostringstream s;
  s << "first difference at line " << i + 1 << " (" << want.size() << " lines pinned, " << got.size()
    << " produced)\n";
  for (std::size_t k = i < 3 ? 0 : i - 3; k < i; ++k) s << "    " << want[k] << "\n";
  s << "  pinned:   " << (i < want.size() ? want[i] : "<end>") << "\n";
  s << "  produced: " << (i < got.size() ? got[i] : "<end>") << "\n";
  return s.str();
}

bool updating() {
  const char* v = std::getenv("ORVANE_UPDATE_GOLDEN");
  return v != nullptr && *v != '\0' && *v != '0';
}

}  // namespace

TEST(GoldenRun, EveryScriptGivesItsPinnedOutputTracedAndUntraced) {
  const std::vector<fs::path> all = scripts();
  ASSERT_GE(all.size(), 12u);
  for (const fs::path& script : all) {
    SCOPED_TRACE(script.string());
    const SimProcessResult traced = runSimProcess("--trace " + script.string());
    ASSERT_EQ(traced.status, 0) << traced.err;
    const fs::path golden = goldenOf(script);
    if (updating()) {
      std::ofstream(golden, std::ios::binary | std::ios::trunc) << traced.out;
      continue;
    }
    ASSERT_TRUE(fs::exists(golden)) << golden << " is missing: write it with ORVANE_UPDATE_GOLDEN=1";
    const std::vector<std::string> pinned = linesOf(readFile(golden));
    EXPECT_EQ(firstDifference(pinned, linesOf(traced.out)), "") << "traced run of " << script.filename();

    std::vector<std::string> withoutDriver;
    for (const std::string& line : pinned)
      if (line.rfind("drv ", 0) != 0) withoutDriver.push_back(line);
    const SimProcessResult untraced = runSimProcess(script.string());
    ASSERT_EQ(untraced.status, 0) << untraced.err;
    EXPECT_EQ(firstDifference(withoutDriver, linesOf(untraced.out)), "") << "untraced run of " << script.filename();
  }
}

TEST(GoldenRun, EveryPinnedFileHasItsScript) {
  // A script renamed or removed leaves its pinned output behind; a stale file pins nothing.
  std::vector<fs::path> expected;
  for (const fs::path& s : scripts()) expected.push_back(goldenOf(s));
  for (const auto& e : fs::directory_iterator(SOURCE_DIR / "tests/golden"))
    EXPECT_NE(std::find(expected.begin(), expected.end(), e.path()), expected.end()) << e.path();
}
