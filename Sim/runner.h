// The scripted host runner: boots the back-end on the host platform and plays the System
// Manager's side of the rings, the locks and the hardware inputs, one script command at a time.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace host {
class MachineSnapshot;
}

namespace sim {

class Runner {
 public:
  // Every printed line ("msg ...", "log ...", "drv ...") goes to out, in the order it happens.
  using Output = std::function<void(const std::string& line)>;

  struct Options {
    bool trace = false;
    // "" keeps the boot-mode word as it is, "init" asks for initialisation, "resume" does not.
    std::string bootMode;
    // Non-volatile image to load before the first boot (empty: a blank window).
    std::vector<std::uint8_t> nvImage;
    // false: what the back-end sends is read and counted but not printed (benchmarks and fuzz
    // targets, which would otherwise measure the formatting).
    bool printMessages = true;
    // Called with each message read from the transmit ring (type id and body), printed or not:
    // for callers that judge the bytes, without a round trip through the printed line.
    std::function<void(unsigned type, std::span<const std::uint8_t> body)> onMessage;
    // Called after every field with each share of the backup image that changed without being
    // marked for the save (a change the save would miss), e.g. "KzifBus M/E 1 copy B"; tests and
    // fuzz targets set it, the runner itself does not (it costs a compare of the whole image).
    std::function<void(const std::string& share)> unmarkedShare;
  };

  Runner(Options options, Output out);
  ~Runner();
  Runner(const Runner&) = delete;
  Runner& operator=(const Runner&) = delete;

  // Runs one script line; false (with the reason in error()) when the line is malformed, in which
  // case nothing of it was done.
  bool execute(const std::string& line);
  const std::string& error() const { return error_; }

  // The commands themselves.
  void send(unsigned type, const std::vector<std::uint8_t>& body);
  void raw(const std::vector<std::uint8_t>& bytes);
  void field(int n = 1);
  void tick(int n = 1);
  void lock(int resource, bool on);
  void drain(bool on);
  // The System Manager's side writes or reads shared memory, at an offset from its start,
  // without a lock; false, with the reason in error(), past its end.
  bool smem(std::uint64_t offset, const std::vector<std::uint8_t>& bytes);
  bool peek(std::uint64_t offset, std::uint64_t length);
  void restart(const std::string& bootMode);
  // A power cycle after which the System Manager writes the whole boot-mode word before the
  // back-end starts; restart() only sets or clears the initialise bit of a word the power cycle
  // has cleared.
  void restartWithBootMode(std::uint32_t word);
  // The save at the end of the next field stops after `bytes` bytes have reached the non-volatile
  // window; the back-end then starts again as after restart("resume").
  void cut(std::uint64_t bytes);
  // False, with the reason in error(), for an unknown input or a value it cannot take.
  bool hw(const std::string& name, const std::vector<std::uint64_t>& values);

  // Takes the whole machine as it is now (the board, the back-end's statics, the runner's side of
  // the rings) so that restoreSnapshot() starts again from exactly there, a cheap restart for fuzz
  // targets. False, and nothing kept, when the build does not gather the back-end's statics (only
  // the fuzz preset does): the back-end could not be put back then.
  // With watchWholeProcess, the snapshot also takes every other writable byte of the process
  // image, so that changedSinceSnapshot() can tell what a restore did not put back.
  bool saveSnapshot(bool watchWholeProcess = false);
  // Only after saveSnapshot() succeeded.
  void restoreSnapshot();
  // What differs from the snapshot now (see host::MachineSnapshot::changedSinceSave), and
  // "runner side" when the runner's side of the rings does.
  std::vector<std::string> changedSinceSnapshot() const;
  // Further whole-machine states besides the snapshot, as saveSnapshot() takes it, for a fuzz
  // target that keeps the states some stretch of its inputs reaches. Only once saveSnapshot()
  // succeeded.
  class State;
  std::shared_ptr<State> newState() const;
  void saveState(State& state) const;
  void restoreState(const State& state);

  std::vector<std::uint8_t> nvImage() const;
  // Why a non-volatile file cannot be loaded as this back-end's backup image; empty when it can
  // (no bytes, a blank window, or an image of this layout).
  static std::string nvImageProblem(const std::vector<std::uint8_t>& image);
  // Whether the last boot resumed the backup image rather than initialising.
  bool resumed() const;
  // Messages read from the transmit ring since the runner started, and their framed bytes.
  std::uint64_t messagesRead() const { return side_.messagesRead; }
  std::uint64_t messageBytesRead() const { return side_.messageBytesRead; }
  static std::string hwHelp();

 private:
  void boot();
  void pushReceive();
  void readTransmit();
  void onConsole(const char* bytes, std::size_t len);
  void applyBootMode(const std::string& mode);
  void checkShareMarks();
  bool fail(std::string why);

  Options options_;
  Output out_;
  std::string error_;
  // The runner's side of the machine: what a snapshot takes besides the board and the back-end.
  struct Side {
    std::string consoleLine;
    std::vector<std::uint8_t> pendingReceive;  // bytes waiting for room in the receive ring
    std::vector<std::uint8_t> transmitBytes;   // bytes of a message not yet read whole
    bool draining = true;
    std::optional<std::uint64_t> pendingCut;
    unsigned nextParity = 0;
    std::uint64_t messagesRead = 0;
    std::uint64_t messageBytesRead = 0;
    bool operator==(const Side&) const = default;
  };
  Side side_;
  std::unique_ptr<host::MachineSnapshot> machine_;
  Side savedSide_;
};

}  // namespace sim
