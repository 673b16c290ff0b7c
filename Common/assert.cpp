#include "Common/assert.h"

#include "Common/log.h"

namespace assert {

void fail(const char* file, int line, const char* expr) {
  libkz::getLogger().printf(libkz::LOG_ERR, "Assertion failed: %s(%d) %s\n", file, line, expr);
  throw AssertException(file, line);
}

void checkEqual(const char* file, int line, const char* expr, long value, const char* expectedText, long expected) {
  if (value == expected) return;
  libkz::getLogger().printf(libkz::LOG_ERR, "Assertion failed: %s(%d) %s is %ld must be %s\n", file, line, expr, value,
                            expectedText);
  throw AssertException(file, line);
}

void checkEqual(const char* file, int line, const char* expr, double value, const char* expectedText, double expected) {
  if (value == expected) return;
  libkz::getLogger().printf(libkz::LOG_ERR, "Assertion failed: %s(%d) %s is %f must be %s\n", file, line, expr, value,
                            expectedText);
  throw AssertException(file, line);
}

}  // namespace assert
