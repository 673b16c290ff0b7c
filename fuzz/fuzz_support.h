// What the fuzz targets share: one host runner kept across inputs and power-cycled before each,
// a reader that turns the input into small decisions, and a watch on the console for assertions.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "Sim/runner.h"

namespace fuzz {

[[noreturn]] inline void fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "FUZZ FINDING: %s\n%s\n", what, detail.c_str());
  std::abort();
}

// Every runner of a target checks after each field that no share of the backup image changed
// without the mark that makes the save write it.
inline void failOnUnmarkedShare(const std::string& share) {
  fail("a share of the backup image changed without a mark, the save misses it", share);
}

// Reads the input front to back; past its end every read gives 0, so a short input is simply a
// run with fewer decisions.
class InputReader {
 public:
  InputReader(const std::uint8_t* data, std::size_t size) : p_(data), end_(data + size) {}
  bool empty() const { return p_ == end_; }
  std::size_t left() const { return static_cast<std::size_t>(end_ - p_); }
  std::uint8_t u8() { return p_ < end_ ? *p_++ : 0; }
  std::uint16_t u16() { return static_cast<std::uint16_t>(u8() << 8 | u8()); }
  std::uint32_t u32() { return static_cast<std::uint32_t>(u16()) << 16 | u16(); }
  // Up to n bytes, fewer at the end of the input.
  std::vector<std::uint8_t> bytes(std::size_t n) {
    if (n > left()) n = left();
    std::vector<std::uint8_t> v(p_, p_ + n);
    p_ += n;
    return v;
  }

 private:
  const std::uint8_t* p_;
  const std::uint8_t* end_;
};

// Console lines of the current input, for the targets that judge what the back-end logged.
// ORVANE_FUZZ_ECHO=1 prints every line the runner gives (msg, log), to replay a finding.
struct Console {
  std::vector<std::string> assertions;
  bool echo = std::getenv("ORVANE_FUZZ_ECHO") != nullptr;
  void clear() { assertions.clear(); }
  void take(const std::string& line) {
    if (echo) std::fprintf(stderr, "%s\n", line.c_str());
    if (line.rfind("log ", 0) == 0 && line.find("Assertion failed") != std::string::npos) assertions.push_back(line);
  }
};

// One runner for the life of the process: a power cycle before every input is what keeps the
// inputs independent (so that any finding replays alone), and it is cheap because the host
// stand-in clears only what the last input touched.
class FreshRunner {
 public:
  using Output = sim::Runner::Output;
  // printMessages false: the messages sent are read but not formatted (the target looks only at
  // the console), unless ORVANE_FUZZ_ECHO asks to see them.
  explicit FreshRunner(Output out, bool printMessages = true)
      : out_(std::move(out)), printMessages_(printMessages || std::getenv("ORVANE_FUZZ_ECHO") != nullptr) {}

  // Power-cycled with the non-volatile window as the last input left it.
  sim::Runner& get(const std::string& bootMode) {
    if (!runner_) {
      runner_ = std::make_unique<sim::Runner>(
          sim::Runner::Options{.bootMode = bootMode, .printMessages = printMessages_, .unmarkedShare = failOnUnmarkedShare},
          [this](const std::string& line) { out_(line); });
    } else {
      runner_->restart(bootMode);
    }
    return *runner_;
  }
  sim::Runner* existing() { return runner_.get(); }

 private:
  Output out_;
  bool printMessages_;
  std::unique_ptr<sim::Runner> runner_;
};


}  // namespace fuzz
