#include "Main/escaped_text.h"

bool isValidEscapedText(int length, const char* chars, std::size_t held) {
  if (length < 0) return false;
  const std::size_t n = static_cast<std::size_t>(length) < held ? static_cast<std::size_t>(length) : held;
  for (std::size_t i = 0; i < n; ++i) {
    const auto c = static_cast<unsigned char>(chars[i]);
    if (c < 0x20 || c > 0x7E || c == '"') return false;
    if (c != '\\') continue;
    if (i + 1 >= n) return false;  // unpaired at the end
    const char next = chars[++i];
    if (next != '\'' && next != '\\' && next != '"') return false;
  }
  return true;
}
