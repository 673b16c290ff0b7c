// Driver call trace: each setter reports its call as one line "NAME ARG..." so that a host run
// shows what the features asked of the hardware. Costs one flag test when tracing is off.
#pragma once
#include <array>
#include <concepts>
#include <cstddef>

#include "Platform/platform.h"

namespace trace {

// A KZ id (target, source, context): printed as 0x-hex so that it reads like the id tables.
struct Id {
  int value;
};

class Line {
 public:
  explicit Line(const char* name);
  void addId(int value);
  void addInteger(long long value);
  void addReal(double value);
  const char* text() const { return text_.data(); }

 private:
  void append(const char* format, ...) __attribute__((format(printf, 2, 3)));
  std::array<char, 160> text_{};
  std::size_t length_ = 0;
};

template <typename T>
void addArgument(Line& line, T value) {
  if constexpr (std::same_as<T, Id>) {
    line.addId(value.value);
  } else if constexpr (std::floating_point<T>) {
    line.addReal(static_cast<double>(value));
  } else {
    static_assert(std::integral<T>, "trace arguments are ids, integers or floats");
    line.addInteger(static_cast<long long>(value));
  }
}

// Kept out of the setters, so that with tracing off a setter pays one flag test and no stack frame
// for the line.
template <typename... Args>
[[gnu::noinline, gnu::cold]] void emit(const char* name, Args... args) {
  Line line(name);
  (addArgument(line, args), ...);
  platform::driverTrace(line.text());
}

// Whether calls are traced: a caller that skips setters it knows would change nothing must make
// them while they are traced, so that the trace shows every call.
inline bool enabled() { return platform::driverTraceEnabled(); }

// Call after the setter's assertions passed, so that the trace shows only calls that took effect.
template <typename... Args>
inline void call(const char* name, Args... args) {
  if (platform::driverTraceEnabled()) [[unlikely]] emit(name, args...);
}

}  // namespace trace
