#include "Main/escaped_text.h"

#include <array>

namespace {

// What a character is to the rule: taken as it is, a backslash (which must escape what follows)
// or refused (outside printable ASCII, or a bare double quote).
enum CharClass : unsigned char { PLAIN = 0, BACKSLASH = 1, REFUSED = 2 };

constexpr auto CHAR_CLASS = [] {
  std::array<unsigned char, 256> classes{};
  for (int c = 0; c < 256; ++c)
    classes[static_cast<std::size_t>(c)] = c < 0x20 || c > 0x7E || c == '"' ? REFUSED : c == '\\' ? BACKSLASH : PLAIN;
  return classes;
}();

}  // namespace

// Most texts hold plain characters only: those are passed over with one look-up each, and the
// first character that is not plain hands the rest to the character-by-character rule.
bool isValidEscapedText(int length, const char* chars, std::size_t held) {
  if (length < 0) return false;
  const std::size_t n = static_cast<std::size_t>(length) < held ? static_cast<std::size_t>(length) : held;
  std::size_t i = 0;
  while (i < n && CHAR_CLASS[static_cast<unsigned char>(chars[i])] == PLAIN) ++i;
  for (; i < n; ++i) {
    const auto c = static_cast<unsigned char>(chars[i]);
    if (c < 0x20 || c > 0x7E || c == '"') return false;
    if (c != '\\') continue;
    if (i + 1 >= n) return false;  // unpaired at the end
    const char next = chars[++i];
    if (next != '\'' && next != '\\' && next != '"') return false;
  }
  return true;
}
