// The rule every text received from the System Manager is held to before it is stored: printable
// ASCII, with a double quote only escaped and a backslash only escaping a quote or a backslash.
#pragma once
#include <cstddef>

#include "Lib/Include/record_text.h"

// `length` is the length the sender gave (negative: invalid); the check looks at the first
// `length` of the `held` characters actually stored, never past them, so a received length
// longer than the array is judged by what was kept. A length of 0 is valid. A stored prefix that
// ends in a lone backslash is invalid. Every character counted is judged, a zero too (it fails).
bool isValidEscapedText(int length, const char* chars, std::size_t held);

// A record field check for texts under the rule above: it sees exactly the characters that the
// received length counts (cut to the capacity when read), never the terminator byte.
struct EscapedText {
  template <std::size_t N, std::size_t S>
  bool accept(const rec::Text<N, S>& t) const {
    return isValidEscapedText(t.length, t.chars, t.usable());
  }
};
