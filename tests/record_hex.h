// Records to and from the runner's hex, for tests that build or read whole record bodies.
#pragma once
#include <array>
#include <string>
#include <vector>

#include "Lib/Include/record.h"
#include "tests/sim_fixture.h"

template <class R>
std::string hexOf(const R& r) {
  static std::array<u8, 16384> buf;
  rec::WireWriter w(buf);
  rec::encode(w, r);
  std::string s;
  for (std::size_t i = 0; i < w.size(); ++i) s += hexBytes(buf[i], 1);
  return s;
}

inline std::vector<u8> bytesOf(const std::string& hex) {
  std::vector<u8> b;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) b.push_back(static_cast<u8>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return b;
}

// The bodies of the messages of one type id in the runner's output, decoded.
template <class R>
std::vector<R> sentRecords(const Lines& out) {
  const std::string prefix = "msg " + std::to_string(R::TYPE_ID) + " ";
  std::vector<R> r;
  for (const auto& l : out) {
    if (l.rfind(prefix, 0) != 0) continue;
    const std::vector<u8> body = bytesOf(l.substr(prefix.size()));
    R m{};
    rec::WireReader reader(body);
    EXPECT_TRUE(rec::decode(reader, m)) << l;
    EXPECT_EQ(reader.remaining(), 0u) << l;
    r.push_back(m);
  }
  return r;
}

template <class T>
std::string textOf(const T& t) {
  return std::string(t.chars, static_cast<std::size_t>(t.length));
}
