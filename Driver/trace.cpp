#include "Driver/trace.h"

#include <cstdarg>
#include <cstdio>

namespace trace {

Line::Line(const char* name) { append("%s", name); }

void Line::addId(int value) { append(" 0x%x", static_cast<unsigned>(value)); }

void Line::addInteger(long long value) { append(" %lld", value); }

void Line::addReal(double value) { append(" %g", value); }

void Line::append(const char* format, ...) {
  if (length_ + 1 >= text_.size()) return;
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(text_.data() + length_, text_.size() - length_, format, args);
  va_end(args);
  // vsnprintf reports the length it wanted; a cut line stays terminated at the buffer's end.
  if (n > 0) length_ += static_cast<std::size_t>(n);
  if (length_ >= text_.size()) length_ = text_.size() - 1;
}

}  // namespace trace
