// A KzifKey wire body built by wire offsets for the tests: the fixed part, the two names and the
// trailing sub-record (empty names and a clear tail unless set).
#pragma once
#include <array>
#include <cstddef>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "tests/sim_fixture.h"

// A KzifKey wire body written by the wire offsets of the record table (fields up to the first
// name), followed by the two names and the trailing sub-record.
class KeyBody {
 public:
  KeyBody(int me, int ch) : fixed_(329, 0) {
    put(8, me, 1);
    put(9, ch, 2);
  }
  KeyBody& put(std::size_t at, long long v, int bytes) {
    for (int i = 0; i < bytes; ++i) fixed_[at + i] = static_cast<u8>(v >> (8 * (bytes - 1 - i)));
    return *this;
  }
  // A record mask bit (word 1 from 32) with its value at `at`.
  KeyBody& field(int bit, std::size_t at, std::initializer_list<long long> values, int width) {
    mask_ |= 1ull << bit;
    for (long long v : values) {
      put(at, v, width);
      at += static_cast<std::size_t>(width);
    }
    return *this;
  }
  KeyBody& bits(unsigned long long m) {
    mask_ |= m;
    return *this;
  }
  KeyBody& without(int bit) {
    mask_ &= ~(1ull << bit);
    return *this;
  }
  KeyBody& names(u32 mask, std::string first, std::string second) {
    put(325, mask, 4);
    name1_ = std::move(first);
    name2_ = std::move(second);
    return *this;
  }
  KeyBody& tail(u32 mask, u8 a, u8 b, u8 c) {
    tail_ = {static_cast<u8>(mask >> 24), static_cast<u8>(mask >> 16), static_cast<u8>(mask >> 8), static_cast<u8>(mask),
             a, b, c};
    return *this;
  }
  std::string hex() const {
    std::vector<u8> out = fixed_;
    for (int i = 0; i < 4; ++i) out[i] = static_cast<u8>(mask_ >> (8 * (3 - i)));
    for (int i = 0; i < 4; ++i) out[4 + i] = static_cast<u8>(mask_ >> (32 + 8 * (3 - i)));
    for (const std::string* n : {&name1_, &name2_}) {
      out.push_back(static_cast<u8>(n->size() >> 8));
      out.push_back(static_cast<u8>(n->size()));
      out.insert(out.end(), n->begin(), n->end());
      out.push_back(0);
    }
    out.insert(out.end(), tail_.begin(), tail_.end());
    std::string h;
    for (u8 b : out) h += hexBytes(b, 1);
    return h;
  }

 private:
  std::vector<u8> fixed_;
  unsigned long long mask_ = 0;
  std::string name1_, name2_;
  std::array<u8, 7> tail_{};
};
