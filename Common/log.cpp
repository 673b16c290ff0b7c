#include "Common/log.h"

#include <cstdio>
#include <cstring>

#include "Platform/platform.h"

namespace libkz {

namespace {
const char* levelName(int level) {
  switch (level) {
    case LOG_WARN: return "WARN";
    case LOG_ERR: return "ERR";
    case LOG_FATAL: return "FATAL";
    default: return "INFO";
  }
}
}  // namespace

void LogInstance::vprintf(int level, const char* format, va_list args) {
  char message[256];
  std::vsnprintf(message, sizeof message, format, args);  // cut to 255 characters
  std::size_t n = std::strlen(message);
  if (n > 0 && message[n - 1] == '\n') message[--n] = '\0';
  char line[8 + 256 + 2];
  int len = std::snprintf(line, sizeof line, "\x1b[%s] %s\n", levelName(level), message);
  if (len < 0) return;
  if (static_cast<std::size_t>(len) >= sizeof line) len = sizeof line - 1;
  platform::consoleWrite(reinterpret_cast<const u8*>(line), static_cast<std::size_t>(len));
}

void LogInstance::printf(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vprintf(level, format, args);
  va_end(args);
}

LogInstance& getLogger() {
  static LogInstance logger;
  return logger;
}

}  // namespace libkz
