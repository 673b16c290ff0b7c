// What the fuzz targets share: one host runner whose booted machine is restored from a snapshot
// before each input, a reader that turns the input into small decisions, and a watch on the
// console for assertions.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "Platform/platform.h"
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

// Outcome of one input, to tell whether it depends on what ran before it: every message sent,
// every console line and the non-volatile window at the end, hashed (64-bit FNV-1a).
class Digest {
 public:
  void reset() { hash_ = OFFSET_BASIS; }
  void add(const void* p, std::size_t n) {
    const auto* b = static_cast<const std::uint8_t*>(p);
    for (std::size_t i = 0; i < n; ++i) hash_ = (hash_ ^ b[i]) * PRIME;
  }
  void addLine(const std::string& line) { add(line.data(), line.size() + 1); }  // with its terminator
  void addMessage(unsigned type, std::span<const std::uint8_t> body) {
    const std::uint64_t head[2] = {type, body.size()};
    add(head, sizeof head);
    add(body.data(), body.size());
  }
  std::uint64_t value() const { return hash_; }

 private:
  static constexpr std::uint64_t OFFSET_BASIS = 14695981039346656037ull;
  static constexpr std::uint64_t PRIME = 1099511628211ull;
  std::uint64_t hash_ = OFFSET_BASIS;
};

// One runner for the life of the process, booted once on a blank non-volatile window; the whole
// machine (board, back-end statics, the runner's side) is then taken as a snapshot, and every
// input starts from it. An input meets the same back-end whatever ran before it, so any finding
// replays alone, and no input pays for a boot it does not ask for.
//
// ORVANE_FUZZ_DIGEST=1 prints each input's outcome digest ("digest HEX" on standard error), so
// that a corpus run in two orders can be compared; ORVANE_FUZZ_CHECK_SNAPSHOT=1 runs every input
// a second time after a power cycle and the target's set-up instead of the snapshot, and fails
// when the outcomes differ.
class SnapshotRunner {
 public:
  using Output = sim::Runner::Output;
  using MessageSink = std::function<void(unsigned type, std::span<const std::uint8_t> body)>;
  using Steps = std::function<void(sim::Runner&)>;

  // out takes the console lines, and the message lines when printMessages is true (or
  // ORVANE_FUZZ_ECHO asks to see them); onMessage takes every message as bytes.
  explicit SnapshotRunner(Output out, bool printMessages = true, MessageSink onMessage = {})
      : out_(std::move(out)),
        onMessage_(std::move(onMessage)),
        printDigest_(std::getenv("ORVANE_FUZZ_DIGEST") != nullptr),
        checkSnapshot_(std::getenv("ORVANE_FUZZ_CHECK_SNAPSHOT") != nullptr),
        printMessages_(printMessages || std::getenv("ORVANE_FUZZ_ECHO") != nullptr) {}

  // Boots with bootMode ("init", "resume" or "" as sim::Runner takes it), runs setUp, and takes
  // the snapshot every input starts from.
  void start(const std::string& bootMode, Steps setUp = {}) {
    bootMode_ = bootMode;
    setUp_ = std::move(setUp);
    sim::Runner::Options options{.bootMode = bootMode, .printMessages = printMessages_, .unmarkedShare = failOnUnmarkedShare};
    if (onMessage_ || printDigest_ || checkSnapshot_)
      options.onMessage = [this](unsigned type, std::span<const std::uint8_t> body) {
        if (digesting_) digest_.addMessage(type, body);
        if (onMessage_) onMessage_(type, body);
      };
    runner_ = std::make_unique<sim::Runner>(std::move(options), [this](const std::string& line) {
      if (digesting_ && line.rfind("msg ", 0) != 0) digest_.addLine(line);
      out_(line);
    });
    if (setUp_) setUp_(*runner_);
    if (!runner_->saveSnapshot(checkSnapshot_))
      fail("no snapshot: this build does not gather the back-end's statics", "build the targets with --preset fuzz");
  }

  // One input: the machine as the snapshot took it, then the input's steps.
  void run(const Steps& input) {
    runner_->restoreSnapshot();
    if (checkSnapshot_) checkRestored();
    if (!printDigest_ && !checkSnapshot_) {
      input(*runner_);
      return;
    }
    const std::uint64_t fromSnapshot = outcome(input);
    if (printDigest_) std::fprintf(stderr, "digest %016llx\n", static_cast<unsigned long long>(fromSnapshot));
    if (!checkSnapshot_) return;
    // What the snapshot stands for: a blank window, a power cycle, the boot and the set-up.
    std::memset(platform::nvWindow(), 0, platform::NV_SIZE);
    runner_->restart(bootMode_);
    if (setUp_) setUp_(*runner_);
    const std::uint64_t fromBoot = outcome(input);
    if (fromBoot != fromSnapshot)
      fail("the input's outcome from the snapshot is not its outcome after a boot",
           "set ORVANE_FUZZ_ECHO=1 and compare the two runs' lines");
  }

  sim::Runner& runner() { return *runner_; }

 private:
  // Right after a restore, every byte the machine and the runner own is as the snapshot took
  // it, whatever ran before: the back-end's statics, the board, the runner's side, and any
  // static of a firmware header that the linker placed outside the snapshot's sections. Only
  // the process's other inhabitants may differ: the fuzzer and sanitizer runtimes, the C++
  // runtime, and the target's own file (its statics follow the inputs by design).
  void checkRestored() {
    std::string escaped;
    for (const std::string& name : runner_->changedSinceSnapshot())
      if (!ownedOutsideTheMachine(name)) escaped += name + "\n";
    if (!escaped.empty()) fail("state outside the snapshot changed between inputs", escaped);
  }
  static bool ownedOutsideTheMachine(const std::string& name) {
    static constexpr const char* OWNERS[] = {
        "fuzz_",            // the target's own file (locals are FILE:NAME)
        "_ZN6fuzzer", "Fuzzer",  // libFuzzer
        "__sancov", "_ZN11__sanitizer", "__sanitizer", "sanitizer_", "_ZN6__asan", "__asan", "asan_",
        "_ZN6__lsan", "__lsan", "lsan_", "_ZN7__ubsan", "__ubsan", "ubsan_", "_ZN14__interception",
        "interception_",
        "[.got", "[__sancov_cntrs]",  // lazily bound calls, coverage counters
    };
    for (const char* owner : OWNERS)
      if (name.rfind(owner, 0) == 0) return true;
    return false;
  }

  std::uint64_t outcome(const Steps& input) {
    digest_.reset();
    digesting_ = true;
    input(*runner_);
    digesting_ = false;
    digest_.add(platform::nvWindow(), platform::NV_SIZE);
    return digest_.value();
  }

  Output out_;
  MessageSink onMessage_;
  bool printDigest_;
  bool checkSnapshot_;
  bool printMessages_;
  std::string bootMode_;
  Steps setUp_;
  std::unique_ptr<sim::Runner> runner_;
  Digest digest_;
  bool digesting_ = false;
};

}  // namespace fuzz
