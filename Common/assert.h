// Assertions: a failed check logs at level 2 and throws, so that the caller's step is abandoned.
#pragma once
#include "Lib/Include/kz_types.h"

namespace assert {

class AssertException {
 public:
  AssertException(const char* file, int line) : file_(file), line_(line) {}
  const char* file() const { return file_; }
  int line() const { return line_; }

 private:
  const char* file_;
  int line_;
};

[[noreturn]] void fail(const char* file, int line, const char* expr);
// Logs "Assertion failed: %s(%d) %s\n" and throws when cond is false. Inline: the drivers check
// their ranges on every call of every field, and a passing check should cost a compare.
inline void check(const char* file, int line, const char* expr, bool cond) {
  if (!cond) [[unlikely]] fail(file, line, expr);
}
// Logs "Assertion failed: %s(%d) %s is %d must be %s\n" and throws when value != expected.
void checkEqual(const char* file, int line, const char* expr, long value, const char* expectedText, long expected);
// Float form: "Assertion failed: %s(%d) %s is %f must be %s\n".
void checkEqual(const char* file, int line, const char* expr, double value, const char* expectedText, double expected);

}  // namespace assert

// Each source names itself for its assertion lines, e.g. KZ_SOURCE("Main/bp").
#define KZ_SOURCE(name) [[maybe_unused]] static constexpr const char* kzSourceName = name
#define KZ_CHECK(cond) ::assert::check(kzSourceName, __LINE__, #cond, static_cast<bool>(cond))
#define KZ_CHECK_EQ(value, expected) \
  ::assert::checkEqual(kzSourceName, __LINE__, #value, static_cast<long>(value), #expected, static_cast<long>(expected))
#define KZ_NEVER_REACH() ::assert::fail(kzSourceName, __LINE__, "NeverReachHere")
