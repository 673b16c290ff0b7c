// Record declarations. Every Kzif record is a plain struct laid out exactly as the backup image
// stores it (little-endian, padding included), plus one list of its fields in wire order:
//
//   struct KzifThing {
//     u32 mask; u8 me; u8 level; i16 angle; rec::Text<12> name;
//     static constexpr auto wire() {
//       using R = KzifThing;
//       return rec::list(rec::mask(&R::mask), rec::me(&R::me),
//                        rec::field(0, &R::level, rec::range(0, 100)),
//                        rec::field(1, &R::angle, rec::range(-45, 45)),
//                        rec::field(2, &R::name));
//     }
//   };
//
// From that list come the big-endian wire reader and writer (every value as wide as its member,
// no padding), the masked merge with its range and value-list checks, the "every mask set" of a
// restore and the pending-change tests of the send pass. Field kinds:
//   mask(&R::m)          the record's (or sub-record's) u32 field mask
//   me(&R::m), channel(&R::m)
//                        the M/E and channel bytes: read and written, never merged (the object's
//                        own values are stamped instead)
//   plain(&R::m)         carried on the wire, never merged
//   field(bit, &R::m[, check])
//                        merged when mask bit `bit` is set and the value passes the check; a
//                        scalar, an array of scalars (each element checked and taken on its own)
//                        or a Text
//   sub(&R::m)           a nested record with a mask and a wire() of its own, or an array of them
#pragma once
#include <array>
#include <bit>
#include <cstddef>
#include <cstring>
#include <span>
#include <tuple>
#include <type_traits>

#include "Lib/Include/kz_types.h"

namespace rec {

// ---- text field --------------------------------------------------------------------------------
// A 16-bit length and CAPACITY + 1 characters ending with a zero byte. On the wire: the length n,
// then n + 1 bytes (the characters and a zero).
template <std::size_t CAPACITY>
struct Text {
  static constexpr std::size_t capacity = CAPACITY;
  i16 length;
  char chars[CAPACITY + 1];

  // The characters up to the first zero, at most the capacity.
  std::size_t usable() const {
    std::size_t n = 0;
    while (n < CAPACITY && chars[n] != '\0') ++n;
    return n;
  }
  // Copies another text the way a merge takes it: up to its first zero, at most the capacity.
  void assignFrom(const Text& other) {
    const std::size_t n = other.usable();
    std::memcpy(chars, other.chars, n);
    std::memset(chars + n, 0, CAPACITY + 1 - n);
    length = static_cast<i16>(n);
  }
  void set(const char* text) {
    std::size_t n = 0;
    while (n < CAPACITY && text[n] != '\0') ++n;
    std::memcpy(chars, text, n);
    std::memset(chars + n, 0, CAPACITY + 1 - n);
    length = static_cast<i16>(n);
  }
  bool operator==(const Text& o) const { return usable() == o.usable() && std::memcmp(chars, o.chars, usable()) == 0; }
};

template <class T>
struct IsText : std::false_type {};
template <std::size_t N>
struct IsText<Text<N>> : std::true_type {};

// ---- bounded big-endian reader and writer ------------------------------------------------------
class WireReader {
 public:
  explicit WireReader(std::span<const u8> bytes) : bytes_(bytes) {}
  bool ok() const { return ok_; }
  std::size_t position() const { return pos_; }
  std::size_t remaining() const { return bytes_.size() - pos_; }

  template <class V>
  V get() {
    using U = std::make_unsigned_t<std::conditional_t<std::is_same_v<V, float>, u32, V>>;
    if (!need(sizeof(V))) return V{};
    U u = 0;
    for (std::size_t i = 0; i < sizeof(V); ++i) u = static_cast<U>((u << 8) | bytes_[pos_ + i]);
    pos_ += sizeof(V);
    if constexpr (std::is_same_v<V, float>) {
      return std::bit_cast<float>(u);
    } else {
      return static_cast<V>(u);
    }
  }
  // Copies n bytes when they are there.
  bool bytes(u8* dst, std::size_t n) {
    if (!need(n)) return false;
    if (dst) std::memcpy(dst, bytes_.data() + pos_, n);
    pos_ += n;
    return true;
  }
  bool skip(std::size_t n) { return bytes(nullptr, n); }

 private:
  bool need(std::size_t n) {
    if (!ok_ || n > remaining()) {
      ok_ = false;
      return false;
    }
    return true;
  }
  std::span<const u8> bytes_;
  std::size_t pos_ = 0;
  bool ok_ = true;
};

class WireWriter {
 public:
  explicit WireWriter(std::span<u8> bytes) : bytes_(bytes) {}
  bool ok() const { return ok_; }
  std::size_t size() const { return pos_; }

  template <class V>
  void put(V v) {
    using U = std::make_unsigned_t<std::conditional_t<std::is_same_v<V, float>, u32, V>>;
    U u;
    if constexpr (std::is_same_v<V, float>) {
      u = std::bit_cast<u32>(v);
    } else {
      u = static_cast<U>(v);
    }
    if (!need(sizeof(V))) return;
    for (std::size_t i = 0; i < sizeof(V); ++i) bytes_[pos_ + i] = static_cast<u8>(u >> (8 * (sizeof(V) - 1 - i)));
    pos_ += sizeof(V);
  }
  void bytes(const u8* src, std::size_t n) {
    if (!need(n)) return;
    std::memcpy(bytes_.data() + pos_, src, n);
    pos_ += n;
  }
  void zeros(std::size_t n) {
    if (!need(n)) return;
    std::memset(bytes_.data() + pos_, 0, n);
    pos_ += n;
  }

 private:
  bool need(std::size_t n) {
    if (!ok_ || n > bytes_.size() - pos_) {
      ok_ = false;
      return false;
    }
    return true;
  }
  std::span<u8> bytes_;
  std::size_t pos_ = 0;
  bool ok_ = true;
};

// ---- value checks ------------------------------------------------------------------------------
struct Any {
  template <class V>
  constexpr bool accept(V) const { return true; }
};

struct Range {
  i64 lo, hi;
  template <class V>
  constexpr bool accept(V v) const {
    if constexpr (std::is_floating_point_v<V>) {
      return static_cast<double>(lo) <= v && v <= static_cast<double>(hi);
    } else {
      return lo <= static_cast<i64>(v) && static_cast<i64>(v) <= hi;
    }
  }
};

struct RangeF {
  float lo, hi;
  template <class V>
  constexpr bool accept(V v) const { return lo <= v && v <= hi; }  // NaN fails
};

template <std::size_t N>
struct OneOf {
  std::array<i64, N> values;
  template <class V>
  constexpr bool accept(V v) const {
    for (i64 x : values)
      if (x == static_cast<i64>(v)) return true;
    return false;
  }
};

// Any value accepted; a non-zero one is stored as 1 when read.
struct Boolean {
  template <class V>
  constexpr bool accept(V) const { return true; }
};

constexpr Range range(i64 lo, i64 hi) { return Range{lo, hi}; }
constexpr RangeF rangeF(float lo, float hi) { return RangeF{lo, hi}; }
template <class... V>
constexpr OneOf<sizeof...(V)> oneOf(V... v) {
  return OneOf<sizeof...(V)>{{static_cast<i64>(v)...}};
}
constexpr Boolean boolean() { return Boolean{}; }

// ---- field descriptors -------------------------------------------------------------------------
enum class Role { Mask, Me, Channel, Plain, Field, Sub };

template <class R, class M, Role ROLE, class C = Any>
struct Desc {
  M R::*member;
  int bit;
  C check;
  static constexpr Role role = ROLE;
  using Member = M;
};

template <class R>
constexpr auto mask(u32 R::*m) { return Desc<R, u32, Role::Mask>{m, -1, {}}; }
template <class R, class M>
constexpr auto me(M R::*m) { return Desc<R, M, Role::Me>{m, -1, {}}; }
template <class R, class M>
constexpr auto channel(M R::*m) { return Desc<R, M, Role::Channel>{m, -1, {}}; }
template <class R, class M>
constexpr auto plain(M R::*m) { return Desc<R, M, Role::Plain>{m, -1, {}}; }
template <class R, class M, class C = Any>
constexpr auto field(int bit, M R::*m, C check = {}) { return Desc<R, M, Role::Field, C>{m, bit, check}; }
template <class R, class M>
constexpr auto sub(M R::*m) { return Desc<R, M, Role::Sub>{m, -1, {}}; }

template <class... D>
constexpr auto list(D... d) { return std::tuple<D...>{d...}; }

// ---- per-value operations ----------------------------------------------------------------------
namespace detail {

template <class T>
concept HasWire = requires { T::wire(); };

template <class T>
struct ArrayOf {
  static constexpr bool is = false;
};
template <class E, std::size_t N>
struct ArrayOf<E[N]> {
  static constexpr bool is = true;
  using Element = E;
  static constexpr std::size_t size = N;
};
template <class E, std::size_t N>
struct ArrayOf<std::array<E, N>> {
  static constexpr bool is = true;
  using Element = E;
  static constexpr std::size_t size = N;
};

template <class T>
auto& at(T& arr, std::size_t i) {
  return arr[i];
}

template <class V, class C>
void readScalar(WireReader& r, V& v, const C&) {
  v = r.get<V>();
  if constexpr (std::is_same_v<C, Boolean>) v = static_cast<V>(v != 0);
}

template <class R>
bool decodeRecord(WireReader& r, R& rec);
template <class R>
void encodeRecord(WireWriter& w, const R& rec);
template <class R>
std::size_t recordWireSize(const R& rec);

template <std::size_t N>
void readText(WireReader& r, Text<N>& t) {
  const i16 n = r.get<i16>();
  std::memset(t.chars, 0, N + 1);
  t.length = 0;
  if (!r.ok() || n < 0) return;  // a negative length carries no characters
  const std::size_t total = static_cast<std::size_t>(n) + 1;
  const std::size_t kept = total < N + 1 ? total : N + 1;
  if (!r.bytes(reinterpret_cast<u8*>(t.chars), kept)) return;
  r.skip(total - kept);  // the part that does not fit the array is read and dropped
  t.chars[N] = '\0';
  t.length = static_cast<i16>(t.usable());
}

template <std::size_t N>
std::size_t textLength(const Text<N>& t) {
  std::size_t n = t.length < 0 ? 0 : static_cast<std::size_t>(t.length);
  const std::size_t u = t.usable();
  return n < u ? n : u;
}

template <std::size_t N>
void writeText(WireWriter& w, const Text<N>& t) {
  const std::size_t n = textLength(t);
  w.put<i16>(static_cast<i16>(n));
  w.bytes(reinterpret_cast<const u8*>(t.chars), n);
  w.zeros(1);
}

template <class V, class C>
void readValue(WireReader& r, V& v, const C& c) {
  if constexpr (IsText<V>::value) {
    readText(r, v);
  } else if constexpr (HasWire<V>) {
    decodeRecord(r, v);
  } else if constexpr (ArrayOf<V>::is) {
    for (std::size_t i = 0; i < ArrayOf<V>::size; ++i) readValue(r, at(v, i), c);
  } else {
    readScalar(r, v, c);
  }
}

template <class V>
void writeValue(WireWriter& w, const V& v) {
  if constexpr (IsText<V>::value) {
    writeText(w, v);
  } else if constexpr (HasWire<V>) {
    encodeRecord(w, v);
  } else if constexpr (ArrayOf<V>::is) {
    for (std::size_t i = 0; i < ArrayOf<V>::size; ++i) writeValue(w, at(v, i));
  } else {
    w.put(v);
  }
}

template <class V>
std::size_t valueWireSize(const V& v) {
  if constexpr (IsText<V>::value) {
    return 2 + textLength(v) + 1;
  } else if constexpr (HasWire<V>) {
    return recordWireSize(v);
  } else if constexpr (ArrayOf<V>::is) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < ArrayOf<V>::size; ++i) n += valueWireSize(at(v, i));
    return n;
  } else {
    return sizeof(V);
  }
}

// Merges one masked value; returns the number of values dropped by the check.
template <class V, class C>
int mergeValue(V& dst, const V& src, const C& c, bool& took) {
  if constexpr (IsText<V>::value) {
    dst.assignFrom(src);
    took = true;
    return 0;
  } else if constexpr (ArrayOf<V>::is) {
    int dropped = 0;
    for (std::size_t i = 0; i < ArrayOf<V>::size; ++i) dropped += mergeValue(at(dst, i), at(src, i), c, took);
    return dropped;
  } else {
    if (!c.accept(src)) return 1;
    dst = src;
    took = true;
    return 0;
  }
}

template <class R, class F>
constexpr void forEachField(F&& f) {
  std::apply([&](const auto&... d) { (f(d), ...); }, R::wire());
}

}  // namespace detail

// Outcome of a merge: the top-level mask bits whose values were (wholly or partly) refused.
struct MergeResult {
  u32 droppedBits = 0;
  int droppedValues = 0;
  bool clean() const { return droppedValues == 0; }
};

template <class R>
MergeResult merge(R& dst, const R& src);

namespace detail {

template <class R>
u32 maskOf(const R& rec) {
  u32 m = 0;
  forEachField<R>([&](const auto& d) {
    if constexpr (std::decay_t<decltype(d)>::role == Role::Mask) m = rec.*(d.member);
  });
  return m;
}

template <class R>
u32* maskPtr(R& rec) {
  u32* m = nullptr;
  forEachField<R>([&](const auto& d) {
    if constexpr (std::decay_t<decltype(d)>::role == Role::Mask) m = &(rec.*(d.member));
  });
  return m;
}

template <class V, class Fn>
void forEachSub(V& v, Fn&& fn) {
  if constexpr (HasWire<std::remove_const_t<V>>) {
    fn(v);
  } else if constexpr (ArrayOf<std::remove_const_t<V>>::is) {
    for (std::size_t i = 0; i < ArrayOf<std::remove_const_t<V>>::size; ++i) forEachSub(at(v, i), fn);
  }
}

template <class R>
bool decodeRecord(WireReader& r, R& rec) {
  forEachField<R>([&](const auto& d) { readValue(r, rec.*(d.member), d.check); });
  return r.ok();
}

template <class R>
void encodeRecord(WireWriter& w, const R& rec) {
  forEachField<R>([&](const auto& d) { writeValue(w, rec.*(d.member)); });
}

template <class R>
std::size_t recordWireSize(const R& rec) {
  std::size_t n = 0;
  forEachField<R>([&](const auto& d) { n += valueWireSize(rec.*(d.member)); });
  return n;
}

}  // namespace detail

// ---- record operations -------------------------------------------------------------------------

// Reads one record from the wire; false when its fields would run past the bytes given.
template <class R>
bool decode(WireReader& r, R& rec) {
  return detail::decodeRecord(r, rec);
}
template <class R>
void encode(WireWriter& w, const R& rec) {
  detail::encodeRecord(w, rec);
}
template <class R>
std::size_t wireSize(const R& rec) {
  return detail::recordWireSize(rec);
}

// The mask bits a record (or sub-record) declares.
template <class R>
constexpr u32 declaredBits() {
  u32 bits = 0;
  detail::forEachField<R>([&](const auto& d) {
    if constexpr (std::decay_t<decltype(d)>::role == Role::Field) bits |= 1u << d.bit;
  });
  return bits;
}

// Takes from src the fields whose mask bits are set and whose values pass their checks, and sets
// those bits in dst's mask (pending-change marks); sub-records merge by their own masks. The
// M/E, channel and carried fields of dst are left as they are.
template <class R>
MergeResult merge(R& dst, const R& src) {
  MergeResult result;
  const u32 in = detail::maskOf(src);
  u32* out = detail::maskPtr(dst);
  detail::forEachField<R>([&](const auto& d) {
    using D = std::decay_t<decltype(d)>;
    if constexpr (D::role == Role::Field) {
      if (in & (1u << d.bit)) {
        bool took = false;
        const int dropped = detail::mergeValue(dst.*(d.member), src.*(d.member), d.check, took);
        if (took && out) *out |= 1u << d.bit;
        if (dropped) {
          result.droppedBits |= 1u << d.bit;
          result.droppedValues += dropped;
        }
      }
    } else if constexpr (D::role == Role::Sub) {
      auto& dv = dst.*(d.member);
      const auto& sv = src.*(d.member);
      if constexpr (detail::HasWire<typename D::Member>) {
        result.droppedValues += merge(dv, sv).droppedValues;
      } else {
        for (std::size_t i = 0; i < detail::ArrayOf<typename D::Member>::size; ++i) {
          result.droppedValues += merge(detail::at(dv, i), detail::at(sv, i)).droppedValues;
        }
      }
    }
  });
  return result;
}

// Every mask (sub-records included) set to all of its declared fields, as after a restore.
template <class R>
void setAllMasks(R& rec) {
  if (u32* m = detail::maskPtr(rec)) *m = declaredBits<R>();
  detail::forEachField<R>([&](const auto& d) {
    if constexpr (std::decay_t<decltype(d)>::role == Role::Sub)
      detail::forEachSub(rec.*(d.member), [](auto& s) { setAllMasks(s); });
  });
}

template <class R>
void clearMasks(R& rec) {
  if (u32* m = detail::maskPtr(rec)) *m = 0;
  detail::forEachField<R>([&](const auto& d) {
    if constexpr (std::decay_t<decltype(d)>::role == Role::Sub)
      detail::forEachSub(rec.*(d.member), [](auto& s) { clearMasks(s); });
  });
}

// True when any mask word of the record, sub-records included, is non-zero.
template <class R>
bool anyMask(const R& rec) {
  bool any = detail::maskOf(rec) != 0;
  detail::forEachField<R>([&](const auto& d) {
    if constexpr (std::decay_t<decltype(d)>::role == Role::Sub)
      detail::forEachSub(rec.*(d.member), [&](const auto& s) { any = any || anyMask(s); });
  });
  return any;
}

template <class R>
constexpr bool hasMe() {
  bool has = false;
  detail::forEachField<R>([&](const auto& d) { has = has || std::decay_t<decltype(d)>::role == Role::Me; });
  return has;
}

template <class R>
constexpr bool hasChannel() {
  bool has = false;
  detail::forEachField<R>([&](const auto& d) { has = has || std::decay_t<decltype(d)>::role == Role::Channel; });
  return has;
}

// The M/E and channel bytes of a record (0 when it has none).
template <class R>
int meOf(const R& rec) {
  int v = 0;
  detail::forEachField<R>([&](const auto& d) {
    if constexpr (std::decay_t<decltype(d)>::role == Role::Me) v = static_cast<int>(rec.*(d.member));
  });
  return v;
}

template <class R>
int channelOf(const R& rec) {
  int v = 0;
  detail::forEachField<R>([&](const auto& d) {
    if constexpr (std::decay_t<decltype(d)>::role == Role::Channel) v = static_cast<int>(rec.*(d.member));
  });
  return v;
}

// Stamps the record with the M/E and channel of the object that holds it.
template <class R>
void stamp(R& rec, int me, int ch) {
  detail::forEachField<R>([&](const auto& d) {
    using D = std::decay_t<decltype(d)>;
    if constexpr (D::role == Role::Me) rec.*(d.member) = static_cast<typename D::Member>(me);
    if constexpr (D::role == Role::Channel) rec.*(d.member) = static_cast<typename D::Member>(ch);
  });
}

}  // namespace rec
