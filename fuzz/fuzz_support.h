// What the fuzz targets share: one host runner whose booted machine is restored from a snapshot
// before each input, a reader that turns the input into small decisions, and a watch on the
// console for assertions.
#pragma once
#include <array>
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

}  // namespace fuzz

// The coverage counters of the instrumented code (libFuzzer's inline 8-bit counters), bounded by
// the linker.
extern "C" __attribute__((weak)) std::uint8_t __start___sancov_cntrs[];
extern "C" __attribute__((weak)) std::uint8_t __stop___sancov_cntrs[];

namespace fuzz {

// 64-bit hash of n bytes, 32 at a time in four lanes: a key of a whole non-volatile window per
// input. The sanitizer's check of every load would cost more than the hash.
__attribute__((no_sanitize("address"))) inline std::uint64_t hashBytes(const std::uint8_t* p, std::size_t n) {
  constexpr std::uint64_t M = 0xFF51AFD7ED558CCDull;
  std::uint64_t lane[4] = {0x9E3779B97F4A7C15ull ^ n, 0xC2B2AE3D27D4EB4Full, 0x165667B19E3779F9ull, 0x27D4EB2F165667C5ull};
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    for (std::size_t k = 0; k < 4; ++k) {
      std::uint64_t w;
      std::memcpy(&w, p + i + 8 * k, 8);
      lane[k] = (lane[k] ^ w) * M;
      lane[k] ^= lane[k] >> 29;
    }
  }
  std::uint64_t h = lane[0] ^ (lane[1] * 31) ^ (lane[2] * 961) ^ (lane[3] * 29791);
  for (; i < n; ++i) h = (h ^ p[i]) * 0x100000001B3ull;
  h ^= h >> 32;
  return h * M ^ (h >> 29);
}

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
  // the snapshot every input starts from. With keptStates > 0, memoized() keeps that many states.
  void start(const std::string& bootMode, Steps setUp = {}, std::size_t keptStates = 0) {
    bootMode_ = bootMode;
    setUp_ = std::move(setUp);
    sim::Runner::Options options{.bootMode = bootMode, .printMessages = printMessages_, .unmarkedShare = failOnUnmarkedShare};
    if (onMessage_ || printDigest_ || checkSnapshot_)
      options.onMessage = [this](unsigned type, std::span<const std::uint8_t> body) { takeMessage(type, body); };
    runner_ = std::make_unique<sim::Runner>(std::move(options), [this](const std::string& line) { takeLine(line); });
    if (setUp_) setUp_(*runner_);
    if (!runner_->saveSnapshot(checkSnapshot_))
      fail("no snapshot: this build does not gather the back-end's statics", "build the targets with --preset fuzz");
    kept_.resize(keptStates);
    for (Kept& k : kept_) k.state = runner_->newState();
    if (keptStates > 0 && __start___sancov_cntrs != nullptr)
      countersBefore_.resize(static_cast<std::size_t>(__stop___sancov_cntrs - __start___sancov_cntrs));
  }

  // A stretch at the start of an input whose outcome is a function of key alone: right after the
  // restore nothing but what key holds (the bytes the input wrote into the machine, and whatever
  // else decides what the stretch does) sets the machine apart from the snapshot. When a key
  // comes for the second time, the stretch runs and the state it reaches is kept, with the lines
  // and messages it gave and the hits it added to the coverage counters; when the key comes
  // again, the machine goes to that state, the lines and messages are given again in their order
  // and the counters take the same hits, all as if the stretch ran. Its checks ran on the same
  // state then. The run that checks the snapshot against a boot always runs the stretch.
  void memoized(std::span<const std::uint8_t> key, const Steps& stretch) {
    if (kept_.empty() || !fromSnapshot_) {
      stretch(*runner_);
      return;
    }
    const std::uint64_t hash = hashBytes(key.data(), key.size());
    Kept& slot = kept_[hash % kept_.size()];
    if (slot.filled && slot.hash == hash && slot.key.size() == key.size() &&
        std::memcmp(slot.key.data(), key.data(), key.size()) == 0) {
      runner_->restoreState(*slot.state);
      replay(slot);
      return;
    }
    // Kept at the second sighting of a key: most keys come once, and keeping a state costs a copy
    // of the whole machine.
    std::uint64_t& seen = seenKeys_[hash % seenKeys_.size()];
    if (seen != hash) {
      seen = hash;
      stretch(*runner_);
      return;
    }
    slot.filled = false;
    slot.hash = hash;
    slot.key.assign(key.begin(), key.end());
    slot.events.clear();
    recording_ = &slot;
    if (!countersBefore_.empty()) std::memcpy(countersBefore_.data(), __start___sancov_cntrs, countersBefore_.size());
    stretch(*runner_);
    recording_ = nullptr;
    slot.hits.clear();
    for (std::size_t i = 0; i < countersBefore_.size(); ++i)
      if (const auto added = static_cast<std::uint8_t>(__start___sancov_cntrs[i] - countersBefore_[i]))
        slot.hits.push_back({static_cast<std::uint32_t>(i), added});
    runner_->saveState(*slot.state);
    slot.filled = true;
  }

  // One input: the machine as the snapshot took it, then the input's steps.
  void run(const Steps& input) {
    fromSnapshot_ = true;
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
    fromSnapshot_ = false;
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

  struct Hits {
    std::uint32_t counter;
    std::uint8_t added;  // counters wrap, as the instrumentation's own increments do
  };
  // A kept state: what memoized() keeps of a stretch.
  struct Kept {
    bool filled = false;
    std::uint64_t hash = 0;
    std::vector<std::uint8_t> key;
    std::shared_ptr<sim::Runner::State> state;
    // The lines and messages in their order: a kind byte ('L' or 'M'), the type id and the
    // length (4 bytes each, as they lie), then the bytes.
    std::vector<std::uint8_t> events;
    std::vector<Hits> hits;  // the coverage counters the stretch moved on
  };

  void takeLine(const std::string& line) {
    if (recording_) record(*recording_, 'L', 0, reinterpret_cast<const std::uint8_t*>(line.data()), line.size());
    if (digesting_ && line.rfind("msg ", 0) != 0) digest_.addLine(line);
    out_(line);
  }
  void takeMessage(unsigned type, std::span<const std::uint8_t> body) {
    if (recording_) record(*recording_, 'M', type, body.data(), body.size());
    if (digesting_) digest_.addMessage(type, body);
    if (onMessage_) onMessage_(type, body);
  }
  static void record(Kept& k, char kind, unsigned type, const std::uint8_t* bytes, std::size_t n) {
    const std::uint32_t head[2] = {type, static_cast<std::uint32_t>(n)};
    k.events.push_back(static_cast<std::uint8_t>(kind));
    k.events.insert(k.events.end(), reinterpret_cast<const std::uint8_t*>(head),
                    reinterpret_cast<const std::uint8_t*>(head) + sizeof head);
    k.events.insert(k.events.end(), bytes, bytes + n);
  }
  void replay(const Kept& k) {
    for (std::size_t at = 0; at < k.events.size();) {
      const char kind = static_cast<char>(k.events[at]);
      std::uint32_t head[2];
      std::memcpy(head, &k.events[at + 1], sizeof head);
      const std::uint8_t* bytes = k.events.data() + at + 1 + sizeof head;
      if (kind == 'L') takeLine(std::string(reinterpret_cast<const char*>(bytes), head[1]));
      else takeMessage(head[0], std::span<const std::uint8_t>(bytes, head[1]));
      at += 1 + sizeof head + head[1];
    }
    for (const Hits& h : k.hits)
      __start___sancov_cntrs[h.counter] = static_cast<std::uint8_t>(__start___sancov_cntrs[h.counter] + h.added);
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
  bool fromSnapshot_ = true;
  std::vector<Kept> kept_;
  std::array<std::uint64_t, 4096> seenKeys_{};
  Kept* recording_ = nullptr;
  std::vector<std::uint8_t> countersBefore_;
};

}  // namespace fuzz
