// The log: one console line per call, "[LEVEL] message" behind an escape byte.
#pragma once
#include <cstdarg>

namespace libkz {

enum LogLevel { LOG_INFO = 0, LOG_WARN = 1, LOG_ERR = 2, LOG_FATAL = 3 };

class LogInstance {
 public:
  void printf(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));
  void vprintf(int level, const char* format, va_list args);
};

LogInstance& getLogger();

}  // namespace libkz
