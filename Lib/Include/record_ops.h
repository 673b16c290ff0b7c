// What a record declaration gives: decode, encode, the wire size, the masked merge, the mask
// bookkeeping of restore and send, and the M/E and channel stamp.
#pragma once
#include <array>
#include <cstddef>
#include <cstring>
#include <tuple>
#include <type_traits>

#include "Lib/Include/kz_types.h"
#include "Lib/Include/record_fields.h"
#include "Lib/Include/record_text.h"
#include "Lib/Include/record_wire.h"

// Per-field steps of the codec and the merge that must stay inside their record's function (see
// mergeField).
#if defined(__GNUC__) || defined(__clang__)
#define REC_ALWAYS_INLINE [[gnu::always_inline]] inline
#else
#define REC_ALWAYS_INLINE inline
#endif

namespace rec {

namespace detail {

template <class T>
auto& at(T& arr, std::size_t i) {
  return arr[i];
}

template <class V>
constexpr bool isTextArray() {
  if constexpr (ArrayOf<V>::is) {
    return IsText<typename ArrayOf<V>::Element>::value;
  } else {
    return false;
  }
}

// The field list of a record, built once: walking it must not build the list anew on every call.
template <class R>
inline constexpr WireList<R> WIRE_LIST = R::wire();

template <class R, class F>
constexpr void forEachField(F&& f) {
  static_assert(Declaration<R>::checked);
  std::apply([&](const auto&... d) { (f(d), ...); }, WIRE_LIST<R>);
}

// The same, handing f the field's index as a type, so that f can name its descriptor (bit, member,
// check) as a constant: per-field work then has no descriptor to load.
template <class R, class F, std::size_t... I>
constexpr void forEachFieldIndexOf(F& f, std::index_sequence<I...>) {
  (f(std::integral_constant<std::size_t, I>{}), ...);
}
template <class R, class F>
constexpr void forEachFieldIndex(F&& f) {
  static_assert(Declaration<R>::checked);
  forEachFieldIndexOf<R>(f, wireIndexes<R>());
}
// The descriptor of field I of R, a constant.
template <class R, std::size_t I>
inline constexpr auto FIELD = std::get<I>(WIRE_LIST<R>);

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
template <class R>
constexpr std::size_t fixedRecordWireSize();

// The one wire codec of texts. After the i16 length n come n characters and a terminator byte.
// The characters are the text, whatever they hold: the first `room` of them are kept and the rest
// read and dropped; the terminator byte is read and never taken as a character. A negative length
// is followed by no bytes. Returns how many characters were kept.
inline std::size_t readTextChars(WireReader& r, i16 n, char* dst, std::size_t room) {
  if (!r.ok() || n < 0) return 0;
  const auto count = static_cast<std::size_t>(n);
  const std::size_t kept = count < room ? count : room;
  if (!r.bytes(reinterpret_cast<u8*>(dst), kept)) return 0;
  r.skip(count - kept + 1);
  return kept;
}

// The length, the `kept` characters, zeros for the rest of the length, and a zero terminator.
inline void writeTextChars(WireWriter& w, i16 length, const char* chars, std::size_t kept) {
  w.put<i16>(length);
  if (length < 0) return;
  w.bytes(reinterpret_cast<const u8*>(chars), kept);
  w.zeros(static_cast<std::size_t>(length) - kept + 1);
}

inline std::size_t textWireSize(i16 length) { return length < 0 ? 2 : 2 + static_cast<std::size_t>(length) + 1; }

template <std::size_t N, std::size_t S>
void readText(WireReader& r, Text<N, S>& t) {
  const i16 n = r.get<i16>();
  std::memset(t.chars, 0, S);
  const std::size_t kept = readTextChars(r, n, t.chars, N);
  t.length = n < 0 ? n : static_cast<i16>(kept);  // a negative length stays as sent for the checks
}

template <std::size_t N, std::size_t S>
void writeText(WireWriter& w, const Text<N, S>& t) {
  const std::size_t n = t.usable();
  writeTextChars(w, static_cast<i16>(n), t.chars, n);
}

template <std::size_t S>
void readEchoText(WireReader& r, EchoText<S>& t) {
  t.length = r.get<i16>();
  std::memset(t.kept, 0, S);
  readTextChars(r, t.length, t.kept, S);
}

template <std::size_t S>
void writeEchoText(WireWriter& w, const EchoText<S>& t) {
  const std::size_t n = t.length < 0 ? 0 : static_cast<std::size_t>(t.length);
  writeTextChars(w, t.length, t.kept, n < S ? n : S);
}

template <class V, class C>
void readValue(WireReader& r, V& v, const C& c) {
  if constexpr (IsText<V>::value) {
    readText(r, v);
  } else if constexpr (IsEchoText<V>::value) {
    readEchoText(r, v);
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
  } else if constexpr (IsEchoText<V>::value) {
    writeEchoText(w, v);
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
    return textWireSize(static_cast<i16>(v.usable()));
  } else if constexpr (IsEchoText<V>::value) {
    return textWireSize(v.length);
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

template <class>
inline constexpr bool ALWAYS_FALSE = false;

template <class V>
constexpr std::size_t fixedValueWireSize() {
  if constexpr (IsText<V>::value || IsEchoText<V>::value) {
    static_assert(ALWAYS_FALSE<V>, "a record with texts has no fixed wire size");
    return 0;
  } else if constexpr (HasWire<V>) {
    return fixedRecordWireSize<V>();
  } else if constexpr (ArrayOf<V>::is) {
    return ArrayOf<V>::size * fixedValueWireSize<typename ArrayOf<V>::Element>();
  } else {
    return sizeof(V);
  }
}

template <class R>
constexpr std::size_t fixedRecordWireSize() {
  static_assert(Declaration<R>::checked);
  return std::apply(
      [](const auto&... d) {
        return (std::size_t{0} + ... + fixedValueWireSize<typename std::decay_t<decltype(d)>::Member>());
      },
      R::wire());
}

// Merges one masked value; returns the number of values dropped by the check. Unchecked, every
// value is taken as it is (a text still only up to its capacity).
template <class V, class C>
REC_ALWAYS_INLINE int mergeValue(V& dst, const V& src, const C& c, bool checked, bool& took) {
  if constexpr (IsText<V>::value) {
    if (checked && !c.accept(src)) return 1;
    dst.assignFrom(src);
    took = true;
    return 0;
  } else if constexpr (isScalarArray<V>()) {
    constexpr std::size_t n = ArrayOf<V>::size;
    if constexpr (requires { c.acceptArray(src); }) {
      if (checked && !c.acceptArray(src)) return static_cast<int>(n);
    }
    // Most arrays come in whole and valid: they are taken as one copy.
    if (!checked) {
      std::memcpy(static_cast<void*>(&dst), &src, sizeof(V));
      took = true;
      return 0;
    }
    int dropped = 0;
    bool pass[n];
    // A few elements (a triple, a box) or each() with a check per element: the index a constant,
    // with no loop, and each() picking its check without walking its list.
    if constexpr (EachCount<C>::value > 0 || n <= 8) {
      [&]<std::size_t... I>(std::index_sequence<I...>) {
        ((pass[I] = acceptElementAt<I>(c, at(src, I)), dropped += pass[I] ? 0 : 1), ...);
      }(std::make_index_sequence<n>{});
    } else {
      for (std::size_t i = 0; i < n; ++i) {
        pass[i] = acceptElement(c, i, at(src, i));
        if (!pass[i]) ++dropped;
      }
    }
    if (dropped == 0) {
      std::memcpy(static_cast<void*>(&dst), &src, sizeof(V));
      took = true;
      return 0;
    }
    if (IsWhole<C>::value) return dropped;
    for (std::size_t i = 0; i < n; ++i) {
      if (!pass[i]) continue;
      at(dst, i) = at(src, i);
      took = true;
    }
    return dropped;
  } else if constexpr (ArrayOf<V>::is) {
    int dropped = 0;
    for (std::size_t i = 0; i < ArrayOf<V>::size; ++i) dropped += mergeValue(at(dst, i), at(src, i), c, checked, took);
    return dropped;
  } else {
    if constexpr (requires { c.acceptArray(src); }) {
      if (checked && !c.acceptArray(src)) return 1;  // a value of several parts, judged whole
    }
    if (checked && !c.accept(src)) return 1;
    dst = src;
    took = true;
    return 0;
  }
}

// The mask words of a record: null when it declares none.
template <class R>
u32* maskWordsOf(R& rec) {
  u32* m = nullptr;
  forEachField<std::remove_const_t<R>>([&](const auto& d) {
    using D = std::decay_t<decltype(d)>;
    if constexpr (D::role == Role::Mask) {
      if constexpr (ArrayOf<typename D::Member>::is) {
        m = rec.*(d.member);
      } else {
        m = &(rec.*(d.member));
      }
    }
  });
  return m;
}
template <class R>
const u32* maskWordsOf(const R& rec) {
  return maskWordsOf(const_cast<R&>(rec));
}

inline bool bitSet(const u32* words, int bit) {
  return words != nullptr && (words[bit / 32] & (1u << (bit % 32))) != 0;
}
inline void setBit(u32* words, int bit) {
  if (words) words[bit / 32] |= 1u << (bit % 32);
}

template <class V, class Fn>
void forEachSub(V& v, Fn&& fn) {
  if constexpr (HasWire<std::remove_const_t<V>>) {
    fn(v);
  } else if constexpr (ArrayOf<std::remove_const_t<V>>::is) {
    for (std::size_t i = 0; i < ArrayOf<std::remove_const_t<V>>::size; ++i) forEachSub(at(v, i), fn);
  }
}

// Whether a value (a record, an array, a scalar) has no text anywhere in it, so that its wire size
// is known before it is read.
template <class V>
constexpr bool isFixedSize() {
  if constexpr (IsText<V>::value || IsEchoText<V>::value) {
    return false;
  } else if constexpr (HasWire<V>) {
    return std::apply([](const auto&... d) { return (true && ... && isFixedSize<typename std::decay_t<decltype(d)>::Member>()); },
                      WIRE_LIST<V>);
  } else if constexpr (ArrayOf<V>::is) {
    return isFixedSize<typename ArrayOf<V>::Element>();
  } else {
    return true;
  }
}

// A fixed-size value from bytes already known to be there: one bounds check per record instead of
// one per value. The position travels by value, so that the stores of a table's values (bytes
// among them) do not make the compiler reload it after each one.
template <class V, class C>
const u8* readFixed(const u8* p, V& v, const C& c) {
  if constexpr (HasWire<V>) {
    forEachFieldIndex<V>([&](auto i) {
      constexpr const auto& d = FIELD<V, decltype(i)::value>;
      p = readFixed(p, v.*(d.member), d.check);
    });
  } else if constexpr (ArrayOf<V>::is) {
    using E = typename ArrayOf<V>::Element;
    if constexpr (sizeof(E) == 1 && std::is_integral_v<E> && !std::is_same_v<E, bool> && !std::is_same_v<C, Boolean>) {
      std::memcpy(&at(v, 0), p, ArrayOf<V>::size);
      p += ArrayOf<V>::size;
    } else if constexpr (std::is_integral_v<E> && !std::is_same_v<E, bool> && !std::is_same_v<C, Boolean>) {
      // A table of codes or sources: indexed rather than chained through p, so that the compiler
      // swaps several values at once.
      for (std::size_t i = 0; i < ArrayOf<V>::size; ++i) at(v, i) = loadBigEndian<E>(p + i * sizeof(E));
      p += ArrayOf<V>::size * sizeof(E);
    } else {
      for (std::size_t i = 0; i < ArrayOf<V>::size; ++i) p = readFixed(p, at(v, i), c);
    }
  } else {
    v = loadBigEndian<V>(p);
    p += sizeof(V);
    if constexpr (std::is_same_v<C, Boolean>) v = static_cast<V>(v != 0);
  }
  return p;
}

template <class V>
u8* writeFixed(u8* p, const V& v) {
  if constexpr (HasWire<V>) {
    forEachFieldIndex<V>([&](auto i) { p = writeFixed(p, v.*(FIELD<V, decltype(i)::value>.member)); });
  } else if constexpr (ArrayOf<V>::is) {
    using E = typename ArrayOf<V>::Element;
    if constexpr (sizeof(E) == 1 && std::is_integral_v<E> && !std::is_same_v<E, bool>) {
      std::memcpy(p, &at(v, 0), ArrayOf<V>::size);
      p += ArrayOf<V>::size;
    } else if constexpr (std::is_integral_v<E> && !std::is_same_v<E, bool>) {
      for (std::size_t i = 0; i < ArrayOf<V>::size; ++i) storeBigEndian<E>(p + i * sizeof(E), at(v, i));
      p += ArrayOf<V>::size * sizeof(E);
    } else {
      for (std::size_t i = 0; i < ArrayOf<V>::size; ++i) p = writeFixed(p, at(v, i));
    }
  } else {
    storeBigEndian<V>(p, v);
    p += sizeof(V);
  }
  return p;
}

// Whether field I of R has a fixed wire size, and the wire bytes of the run of such fields that
// begins at I: a record with texts is read and written run by run, one bounds check for each run
// of fixed-size fields between its texts rather than one for each value.
template <class R, std::size_t I>
constexpr bool fieldIsFixed() {
  if constexpr (I < std::tuple_size_v<WireList<R>>) {
    return isFixedSize<typename std::tuple_element_t<I, WireList<R>>::Member>();
  } else {
    return false;
  }
}
template <class R, std::size_t I>
constexpr bool startsFixedRun() {
  if constexpr (I == 0) {
    return fieldIsFixed<R, I>();
  } else {
    return fieldIsFixed<R, I>() && !fieldIsFixed<R, I - 1>();
  }
}
template <class R, std::size_t I>
constexpr std::size_t fixedRunFrom() {
  if constexpr (fieldIsFixed<R, I>()) {
    return fixedValueWireSize<typename std::tuple_element_t<I, WireList<R>>::Member>() + fixedRunFrom<R, I + 1>();
  } else {
    return 0;
  }
}

// One field of a record with texts; p is the position in the run of fixed-size fields that the
// field belongs to. False once the body has run out.
template <class R, std::size_t I>
REC_ALWAYS_INLINE bool decodeField(WireReader& r, R& rec, const u8*& p) {
  constexpr const auto& d = FIELD<R, I>;
  if constexpr (fieldIsFixed<R, I>()) {
    if constexpr (startsFixedRun<R, I>()) {
      constexpr std::size_t run = fixedRunFrom<R, I>();  // worked out here, not at every call
      p = r.take(run);
      if (p == nullptr) return false;
    }
    p = readFixed(p, rec.*(d.member), d.check);
    return true;
  } else {
    readValue(r, rec.*(d.member), d.check);
    return r.ok();
  }
}
template <class R, std::size_t... I>
REC_ALWAYS_INLINE bool decodeFields(WireReader& r, R& rec, std::index_sequence<I...>) {
  const u8* p = nullptr;
  return (true && ... && decodeField<R, I>(r, rec, p));
}

template <class R, std::size_t I>
REC_ALWAYS_INLINE bool encodeField(WireWriter& w, const R& rec, u8*& p) {
  constexpr const auto& d = FIELD<R, I>;
  if constexpr (fieldIsFixed<R, I>()) {
    if constexpr (startsFixedRun<R, I>()) {
      constexpr std::size_t run = fixedRunFrom<R, I>();
      p = w.take(run);
      if (p == nullptr) return false;
    }
    p = writeFixed(p, rec.*(d.member));
    return true;
  } else {
    writeValue(w, rec.*(d.member));
    return w.ok();
  }
}
template <class R, std::size_t... I>
REC_ALWAYS_INLINE void encodeFields(WireWriter& w, const R& rec, std::index_sequence<I...>) {
  u8* p = nullptr;
  (void)(true && ... && encodeField<R, I>(w, rec, p));
}

template <class R>
bool decodeRecord(WireReader& r, R& rec) {
  static_assert(Declaration<R>::checked);
  if constexpr (isFixedSize<R>()) {
    const u8* p = r.take(fixedRecordWireSize<R>());
    if (p == nullptr) return false;
    readFixed(p, rec, Any{});
    return true;
  } else {
    return decodeFields(r, rec, wireIndexes<R>());
  }
}

template <class R>
void encodeRecord(WireWriter& w, const R& rec) {
  static_assert(Declaration<R>::checked);
  if constexpr (isFixedSize<R>()) {
    u8* p = w.take(fixedRecordWireSize<R>());
    if (p != nullptr) writeFixed(p, rec);
  } else {
    encodeFields(w, rec, wireIndexes<R>());
  }
}

template <class R>
std::size_t recordWireSize(const R& rec) {
  std::size_t n = 0;
  forEachField<R>([&](const auto& d) { n += valueWireSize(rec.*(d.member)); });
  return n;
}

}  // namespace detail

// ---- record operations -------------------------------------------------------------------------

// Reads one record from the wire in the order of its wire() list; false when its fields would run
// past the bytes given.
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
// Whether a record's wire body has one size whatever it carries (it has no texts).
template <class R>
constexpr bool hasFixedWireSize() {
  return detail::isFixedSize<R>();
}
// The wire body size of a record without texts.
template <class R>
constexpr std::size_t wireSizeOf() {
  return detail::fixedRecordWireSize<R>();
}

// Outcome of a merge: the mask bits whose values were (wholly or partly) refused, sub-records not
// included.
struct MergeResult {
  u64 droppedBits = 0;
  int droppedValues = 0;
  bool clean() const { return droppedValues == 0; }
  void refused(int bit, int values) {
    droppedBits |= u64{1} << bit;
    droppedValues += values;
  }
};

// Whether a merge applies the declared checks. Unchecked merges carry values that were checked
// when they first came in (a copy between live records, a stored snapshot).
enum class Checks { Apply, Skip };

namespace detail {

template <bool CHECKED, class R>
MergeResult mergeRecord(R& dst, const R& src);

// A record of one mask word and scalar fields only, such as the entry of a table.
template <class D>
constexpr bool isFlatField() {
  using C = std::decay_t<decltype(D{}.check)>;
  if constexpr (D::role == Role::Mask) {
    return !ArrayOf<typename D::Member>::is;
  } else if constexpr (D::role == Role::Field) {
    return std::is_arithmetic_v<typename D::Member> && !requires(const C& c, const typename D::Member& v) { c.acceptArray(v); };
  } else {
    return false;
  }
}
template <class R, std::size_t... I>
constexpr bool isFlatRecordOf(std::index_sequence<I...>) {
  return (true && ... && isFlatField<std::tuple_element_t<I, WireList<R>>>());
}
template <class R>
constexpr bool isFlatRecord() {
  return maskWords<R>() == 1 && isFlatRecordOf<R>(wireIndexes<R>());
}
// The mask bits of a flat record's fields.
template <class R, std::size_t... I>
constexpr u32 fieldBitsOf(std::index_sequence<I...>) {
  return (0u | ... | (std::tuple_element_t<I, WireList<R>>::role == Role::Field ? 1u << (FIELD<R, I>.bit % 32) : 0u));
}

// A flat record with every field marked whose values all pass, taken without a test per field:
// the common entry of a table record. False (nothing touched) for any other.
template <bool CHECKED, class R>
REC_ALWAYS_INLINE bool mergeWholeFlat(R& dst, const R& src, u32 marks) {
  constexpr u32 ALL = fieldBitsOf<R>(wireIndexes<R>());
  if (marks != ALL) return false;
  if constexpr (CHECKED) {
    bool pass = true;
    forEachFieldIndex<R>([&](auto i) {
      constexpr const auto& d = FIELD<R, decltype(i)::value>;
      if constexpr (std::decay_t<decltype(d)>::role == Role::Field) pass &= d.check.accept(src.*(d.member));
    });
    if (!pass) return false;
  }
  forEachFieldIndex<R>([&](auto i) {
    constexpr const auto& d = FIELD<R, decltype(i)::value>;
    if constexpr (std::decay_t<decltype(d)>::role == Role::Field) dst.*(d.member) = src.*(d.member);
  });
  *maskWordsOf(dst) |= ALL;
  return true;
}

template <bool CHECKED, class R, class Words, std::size_t... I>
REC_ALWAYS_INLINE void mergeFields(R& dst, const R& src, const Words& in, Words& took, MergeResult& result,
                                   std::index_sequence<I...>);

// One entry of a table of flat records, kept inside the table's merge; the values it refused.
template <bool CHECKED, class R>
REC_ALWAYS_INLINE int mergeFlat(R& dst, const R& src) {
  const u32 marks = *maskWordsOf(src);
  if (marks == 0) return 0;
  if (mergeWholeFlat<CHECKED>(dst, src, marks)) return 0;
  std::array<u32, 1> in{marks};
  std::array<u32, 1> took{};
  MergeResult result;
  mergeFields<CHECKED>(dst, src, in, took, result, wireIndexes<R>());
  *maskWordsOf(dst) |= took[0];
  return result.droppedValues;
}


// The mask bits a merge can take: those of every field, and of every element its check lets a
// record change.
template <class R, std::size_t I>
constexpr void addTakenBits(std::array<u32, MAX_MASK_WORDS>& bits) {
  using D = std::tuple_element_t<I, WireList<R>>;
  constexpr int n = static_cast<int>(bitsSpanned<D>());
  for (int i = 0; i < n; ++i) {
    if (D::role == Role::Elements && !takes(FIELD<R, I>.check, static_cast<std::size_t>(i))) continue;
    const int b = FIELD<R, I>.bit + i;
    bits[static_cast<std::size_t>(b / 32)] |= 1u << (b % 32);
  }
}
template <class R, std::size_t... I>
constexpr std::array<u32, MAX_MASK_WORDS> takenBitsOf(std::index_sequence<I...>) {
  std::array<u32, MAX_MASK_WORDS> bits{};
  (addTakenBits<R, I>(bits), ...);
  return bits;
}
template <class R>
inline constexpr std::array<u32, MAX_MASK_WORDS> TAKEN_BITS = takenBitsOf<R>(wireIndexes<R>());

// Whether a checked merge takes all of a masked value, refusing none of it (see mergeValue).
template <class V, class C>
REC_ALWAYS_INLINE bool acceptsWhole(const V& v, const C& c) {
  if constexpr (IsText<V>::value) {
    return c.accept(v);
  } else if constexpr (isScalarArray<V>()) {
    bool pass = true;
    if constexpr (requires { c.acceptArray(v); }) pass = c.acceptArray(v);
    if constexpr (EachCount<C>::value > 0 || ArrayOf<V>::size <= 128) {
      [&]<std::size_t... K>(std::index_sequence<K...>) {
        ((pass &= acceptElementAt<K>(c, at(v, K))), ...);
      }(std::make_index_sequence<ArrayOf<V>::size>{});
    } else {
      for (std::size_t i = 0; i < ArrayOf<V>::size; ++i) pass &= acceptElement(c, i, at(v, i));
    }
    return pass;
  } else if constexpr (ArrayOf<V>::is) {
    bool pass = true;
    for (std::size_t i = 0; i < ArrayOf<V>::size; ++i) pass &= acceptsWhole(at(v, i), c);
    return pass;
  } else {
    bool pass = true;
    if constexpr (requires { c.acceptArray(v); }) pass = c.acceptArray(v);
    return pass && c.accept(v);
  }
}

// Field I of a record with every bit marked: whether its checks take all of it.
template <class R, std::size_t I>
REC_ALWAYS_INLINE bool acceptsField(const R& src) {
  constexpr const auto& d = FIELD<R, I>;
  using D = std::decay_t<decltype(d)>;
  using M = typename D::Member;
  if constexpr (D::role == Role::Field) {
    return acceptsWhole(src.*(d.member), d.check);
  } else if constexpr (D::role == Role::Elements && !isTextArray<M>()) {
    // Text elements are taken unchecked, as mergeField takes them. Elements have a mask bit each,
    // so there are never more than the mask has bits: checked without a loop.
    bool pass = true;
    [&]<std::size_t... K>(std::index_sequence<K...>) {
      ((pass &= !takes(d.check, K) || acceptElementAt<K>(d.check, at(src.*(d.member), K))), ...);
    }(std::make_index_sequence<ArrayOf<M>::size>{});
    return pass;
  } else {
    return true;
  }
}

template <bool CHECKED, class R, std::size_t I>
REC_ALWAYS_INLINE void mergeSub(R& dst, const R& src, MergeResult& result);

// Field I of a record with every bit marked and every value accepted, taken without its tests.
template <bool CHECKED, class R, std::size_t I>
REC_ALWAYS_INLINE void takeField(R& dst, const R& src, MergeResult& result) {
  constexpr const auto& d = FIELD<R, I>;
  using D = std::decay_t<decltype(d)>;
  using M = typename D::Member;
  if constexpr (D::role == Role::Field) {
    bool taken = false;
    mergeValue(dst.*(d.member), src.*(d.member), d.check, false, taken);
  } else if constexpr (D::role == Role::Elements) {
    for (std::size_t i = 0; i < ArrayOf<M>::size; ++i) {
      if (!takes(d.check, i)) continue;
      if constexpr (isTextArray<M>()) {
        at(dst.*(d.member), i).assignFrom(at(src.*(d.member), i));
      } else {
        at(dst.*(d.member), i) = at(src.*(d.member), i);
      }
    }
  } else if constexpr (D::role == Role::Sub) {
    mergeSub<CHECKED, R, I>(dst, src, result);
  }
}

// A record with every bit it can take marked and every such value accepted: checked first, then
// taken without a test per field, as the field-by-field merge would take it (sub-records by their
// own masks). False, nothing touched, for any other.
template <bool CHECKED, class R, class Words>
REC_ALWAYS_INLINE bool mergeWholeMarked(R& dst, const R& src, const Words& in, MergeResult& result) {
  constexpr std::size_t WORDS = maskWords<R>();
  constexpr std::array<u32, MAX_MASK_WORDS> TAKEN = TAKEN_BITS<R>;
  u32 missing = 0;
  for (std::size_t w = 0; w < WORDS; ++w) missing |= TAKEN[w] & ~in[w];
  if (missing != 0) return false;
  if constexpr (CHECKED) {
    bool pass = true;
    [&]<std::size_t... I>(std::index_sequence<I...>) {
      ((pass &= acceptsField<R, I>(src)), ...);
    }(wireIndexes<R>());
    if (!pass) return false;
  }
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    (takeField<CHECKED, R, I>(dst, src, result), ...);
  }(wireIndexes<R>());
  u32* out = maskWordsOf(dst);
  for (std::size_t w = 0; w < WORDS; ++w) out[w] |= TAKEN[w];
  return true;
}

// One field of a merge, its bit, member and check constants of its code. Kept inside the record's
// merge, where the mask words are locals: out of line, a field whose bit is clear would cost a
// call and a reload of the words rather than one test against a constant.
template <bool CHECKED, class R, std::size_t I, class Words>
REC_ALWAYS_INLINE void mergeField(R& dst, const R& src, const Words& in, Words& took, MergeResult& result) {
  constexpr const auto& d = FIELD<R, I>;
  using D = std::decay_t<decltype(d)>;
  if constexpr (D::role == Role::Field) {
    constexpr std::size_t w = static_cast<std::size_t>(d.bit / 32);
    constexpr u32 b = 1u << (d.bit % 32);
    if ((in[w] & b) != 0) {
      bool taken = false;
      const int dropped = mergeValue(dst.*(d.member), src.*(d.member), d.check, CHECKED, taken);
      if (taken) took[w] |= b;
      if (dropped) result.refused(d.bit, dropped);
    }
  } else if constexpr (D::role == Role::Elements) {
    for (std::size_t i = 0; i < ArrayOf<typename D::Member>::size; ++i) {
      const int bit = d.bit + static_cast<int>(i);
      const std::size_t w = static_cast<std::size_t>(bit / 32);
      const u32 b = 1u << (bit % 32);
      if ((in[w] & b) == 0 || !takes(d.check, i)) continue;
      const auto& value = at(src.*(d.member), i);
      if constexpr (IsText<std::decay_t<decltype(value)>>::value) {
        at(dst.*(d.member), i).assignFrom(value);
      } else {
        if (CHECKED && !acceptElement(d.check, i, value)) {
          result.refused(bit, 1);
          continue;
        }
        at(dst.*(d.member), i) = value;
      }
      took[w] |= b;
    }
  } else if constexpr (D::role == Role::Sub) {
    mergeSub<CHECKED, R, I>(dst, src, result);
  }
}

// A sub-record (or an array of them) by its own mask; its refused values count, its bits are its
// own. A flat one is merged in place rather than called.
template <bool CHECKED, class R, std::size_t I>
REC_ALWAYS_INLINE void mergeSub(R& dst, const R& src, MergeResult& result) {
  constexpr const auto& d = FIELD<R, I>;
  using M = typename std::decay_t<decltype(d)>::Member;
  auto& dv = dst.*(d.member);
  const auto& sv = src.*(d.member);
  if constexpr (HasWire<M>) {
    if constexpr (isFlatRecord<M>()) {
      result.droppedValues += mergeFlat<CHECKED>(dv, sv);
    } else {
      result.droppedValues += mergeRecord<CHECKED>(dv, sv).droppedValues;
    }
  } else if constexpr (isFlatRecord<SubRecordOf<M>>()) {
    for (std::size_t i = 0; i < ArrayOf<M>::size; ++i) result.droppedValues += mergeFlat<CHECKED>(at(dv, i), at(sv, i));
  } else {
    for (std::size_t i = 0; i < ArrayOf<M>::size; ++i) {
      result.droppedValues += mergeRecord<CHECKED>(at(dv, i), at(sv, i)).droppedValues;
    }
  }
}

template <bool CHECKED, class R, class Words, std::size_t... I>
REC_ALWAYS_INLINE void mergeFields(R& dst, const R& src, const Words& in, Words& took, MergeResult& result,
                                   std::index_sequence<I...>) {
  (mergeField<CHECKED, R, I>(dst, src, in, took, result), ...);
}

// The merge with its checks applied or skipped as a compile-time choice: a table's entries are
// merged one after another, and a flag read again for each of them is much of a small entry's cost.
template <bool CHECKED, class R>
MergeResult mergeRecord(R& dst, const R& src) {
  static_assert(Declaration<R>::checked);
  MergeResult result;
  constexpr std::size_t WORDS = maskWords<R>();
  // The incoming marks and those of the values taken are held in locals and dst's mask is set
  // once at the end: a store of a taken value (a byte, say) then never makes the compiler read
  // the mask words again, which for the entries of a large table is most of the cost.
  std::array<u32, WORDS == 0 ? 1 : WORDS> in{};
  std::array<u32, WORDS == 0 ? 1 : WORDS> took{};
  if constexpr (WORDS > 0) {
    const u32* marks = maskWordsOf(src);
    u32 any = 0;
    for (std::size_t w = 0; w < WORDS; ++w) {
      in[w] = marks[w];
      any |= marks[w];
    }
    // Only masked fields merge: a leaf whose mask is clear has nothing to give (the common case
    // for the entries of a large table of which a record changes a few).
    if constexpr (!hasSubRecords<R>()) {
      if (any == 0) return result;
    }
    if constexpr (isFlatRecord<R>()) {
      if (mergeWholeFlat<CHECKED>(dst, src, in[0])) return result;
    } else if constexpr (hasMaskedFields<R>()) {
      if (mergeWholeMarked<CHECKED>(dst, src, in, result)) return result;
    }
  }
  mergeFields<CHECKED>(dst, src, in, took, result, wireIndexes<R>());
  if constexpr (WORDS > 0) {
    u32* out = maskWordsOf(dst);
    for (std::size_t w = 0; w < WORDS; ++w) out[w] |= took[w];
  }
  return result;
}

// ---- the merge straight from the wire --------------------------------------------------------
// A fixed-size record merged from its wire bytes into the live record, with no decoded copy in
// between: each masked value is read where it lies, checked and stored; a value whose bit is clear
// is never read, and a sub-record whose mask is clear is passed over whole. The same outcome as
// decode followed by merge.

template <bool CHECKED, class R>
void mergeRecordFromWire(R& dst, const u8* p, MergeResult& result);

// The wire offset of field I of a fixed-size record.
template <class R, std::size_t I>
constexpr std::size_t wireOffsetOf() {
  if constexpr (I == 0) {
    return 0;
  } else {
    return wireOffsetOf<R, I - 1>() + fixedValueWireSize<typename std::tuple_element_t<I - 1, WireList<R>>::Member>();
  }
}
template <class R, Role ROLE, std::size_t... I>
constexpr std::size_t indexOfRole(std::index_sequence<I...>) {
  std::size_t index = sizeof...(I);
  ((index = std::tuple_element_t<I, WireList<R>>::role == ROLE && index == sizeof...(I) ? I : index), ...);
  return index;
}
// The value of the record's field of role ROLE (its M/E or channel) read from its wire bytes; 0
// when it has none.
template <class R, Role ROLE>
int roleValueFromWire(const u8* p) {
  constexpr std::size_t I = indexOfRole<R, ROLE>(wireIndexes<R>());
  if constexpr (I < std::tuple_size_v<WireList<R>>) {
    using M = typename std::tuple_element_t<I, WireList<R>>::Member;
    return static_cast<int>(loadBigEndian<M>(p + wireOffsetOf<R, I>()));
  } else {
    return 0;
  }
}

template <bool CHECKED, class R, std::size_t I, class Words>
REC_ALWAYS_INLINE void mergeFieldFromWire(R& dst, const u8* p, Words& in, Words& took, MergeResult& result) {
  constexpr const auto& d = FIELD<R, I>;
  using D = std::decay_t<decltype(d)>;
  using M = typename D::Member;
  p += wireOffsetOf<R, I>();
  if constexpr (D::role == Role::Mask) {
    for (std::size_t w = 0; w < ArrayOf<M>::size; ++w) in[w] = loadBigEndian<u32>(p + w * sizeof(u32));
  } else if constexpr (D::role == Role::Field) {
    constexpr std::size_t w = static_cast<std::size_t>(d.bit / 32);
    constexpr u32 b = 1u << (d.bit % 32);
    if ((in[w] & b) != 0) {
      M value;
      readFixed(p, value, d.check);
      bool taken = false;
      const int dropped = mergeValue(dst.*(d.member), value, d.check, CHECKED, taken);
      if (taken) took[w] |= b;
      if (dropped) result.refused(d.bit, dropped);
    }
  } else if constexpr (D::role == Role::Elements) {
    M values;
    readFixed(p, values, d.check);
    for (std::size_t i = 0; i < ArrayOf<M>::size; ++i) {
      const int bit = d.bit + static_cast<int>(i);
      const std::size_t w = static_cast<std::size_t>(bit / 32);
      const u32 b = 1u << (bit % 32);
      if ((in[w] & b) == 0 || !takes(d.check, i)) continue;
      const auto& value = at(values, i);
      if (CHECKED && !acceptElement(d.check, i, value)) {
        result.refused(bit, 1);
        continue;
      }
      at(dst.*(d.member), i) = value;
      took[w] |= b;
    }
  } else if constexpr (D::role == Role::Sub) {
    auto& dv = dst.*(d.member);
    // A sub-record's refused values count, its bits are its own (as in mergeField).
    MergeResult sub;
    if constexpr (HasWire<M>) {
      mergeRecordFromWire<CHECKED>(dv, p, sub);
    } else {
      using S = typename ArrayOf<M>::Element;
      for (std::size_t i = 0; i < ArrayOf<M>::size; ++i)
        mergeRecordFromWire<CHECKED>(at(dv, i), p + i * fixedRecordWireSize<S>(), sub);
    }
    result.droppedValues += sub.droppedValues;
  }
}

template <bool CHECKED, class R, class Words, std::size_t... I>
REC_ALWAYS_INLINE void mergeFieldsFromWire(R& dst, const u8* p, Words& in, Words& took, MergeResult& result,
                                           std::index_sequence<I...>) {
  (mergeFieldFromWire<CHECKED, R, I>(dst, p, in, took, result), ...);
}

template <class R>
constexpr bool maskLeads() {
  return maskWords<R>() == 0 || std::tuple_element_t<0, WireList<R>>::role == Role::Mask;
}

// p: the record's fixed-size wire bytes, all of them there.
template <bool CHECKED, class R>
REC_ALWAYS_INLINE void mergeRecordFromWire(R& dst, const u8* p, MergeResult& result) {
  static_assert(Declaration<R>::checked);
  static_assert(isFixedSize<R>(), "only a record without texts merges from its wire bytes");
  static_assert(maskLeads<R>(), "the mask comes first on the wire, before the fields it marks");
  constexpr std::size_t WORDS = maskWords<R>();
  std::array<u32, WORDS == 0 ? 1 : WORDS> in{};
  std::array<u32, WORDS == 0 ? 1 : WORDS> took{};
  if constexpr (WORDS > 0 && !hasSubRecords<R>()) {
    u32 any = 0;
    for (std::size_t w = 0; w < WORDS; ++w) any |= loadBigEndian<u32>(p + w * sizeof(u32));
    if (any == 0) return;
  }
  if constexpr (isFlatRecord<R>()) {
    // The common entry of a table: every field marked and valid, checked first and then stored,
    // each read twice where it lies rather than tested field by field.
    constexpr u32 ALL = fieldBitsOf<R>(wireIndexes<R>());
    if (loadBigEndian<u32>(p) == ALL) {
      bool pass = true;
      if constexpr (CHECKED) {
        forEachFieldIndex<R>([&](auto i) {
          constexpr const auto& d = FIELD<R, decltype(i)::value>;
          if constexpr (std::decay_t<decltype(d)>::role == Role::Field) {
            typename std::decay_t<decltype(d)>::Member value;
            readFixed(p + wireOffsetOf<R, decltype(i)::value>(), value, d.check);
            pass &= d.check.accept(value);
          }
        });
      }
      if (pass) {
        forEachFieldIndex<R>([&](auto i) {
          constexpr const auto& d = FIELD<R, decltype(i)::value>;
          if constexpr (std::decay_t<decltype(d)>::role == Role::Field)
            readFixed(p + wireOffsetOf<R, decltype(i)::value>(), dst.*(d.member), d.check);
        });
        *maskWordsOf(dst) |= ALL;
        return;
      }
    }
  }
  mergeFieldsFromWire<CHECKED>(dst, p, in, took, result, wireIndexes<R>());
  if constexpr (WORDS > 0) {
    u32* out = maskWordsOf(dst);
    for (std::size_t w = 0; w < WORDS; ++w) out[w] |= took[w];
  }
}

}  // namespace detail

// Takes from src the fields whose mask bits are set and whose values pass their checks, and sets
// those bits in dst's mask (pending-change marks); sub-records merge by their own masks. The
// M/E, channel and carried fields of dst are left as they are.
template <class R>
MergeResult merge(R& dst, const R& src, Checks checks = Checks::Apply) {
  return checks == Checks::Apply ? detail::mergeRecord<true>(dst, src) : detail::mergeRecord<false>(dst, src);
}

// The same merge with the record read from its wire bytes (all wireSizeOf<R>() of them, checked
// by the caller), without decoding it first.
template <class R>
MergeResult mergeFromWire(R& dst, const u8* wire, Checks checks = Checks::Apply) {
  MergeResult result;
  if (checks == Checks::Apply) {
    detail::mergeRecordFromWire<true>(dst, wire, result);
  } else {
    detail::mergeRecordFromWire<false>(dst, wire, result);
  }
  return result;
}
// The M/E and channel of a fixed-size record from its wire bytes (0 when it has none).
template <class R>
int meFromWire(const u8* wire) {
  return detail::roleValueFromWire<R, Role::Me>(wire);
}
template <class R>
int channelFromWire(const u8* wire) {
  return detail::roleValueFromWire<R, Role::Channel>(wire);
}

// Every text of the record, sub-records included, brought back to the text rule (see
// Text::normalize): for records read from a stored image.
template <class R>
void normalizeTexts(R& rec) {
  detail::forEachField<R>([&](const auto& d) {
    using D = std::decay_t<decltype(d)>;
    using M = typename D::Member;
    if constexpr (IsText<M>::value) {
      (rec.*(d.member)).normalize();
    } else if constexpr (detail::isTextArray<M>()) {
      for (std::size_t i = 0; i < detail::ArrayOf<M>::size; ++i) detail::at(rec.*(d.member), i).normalize();
    } else if constexpr (D::role == Role::Sub) {
      detail::forEachSub(rec.*(d.member), [](auto& s) { normalizeTexts(s); });
    }
  });
}

namespace detail {

template <class V, class Fn>
void forEachSubPair(V& dst, const V& src, Fn&& fn) {
  if constexpr (HasWire<V>) {
    fn(dst, src);
  } else if constexpr (ArrayOf<V>::is) {
    for (std::size_t i = 0; i < ArrayOf<V>::size; ++i) forEachSubPair(at(dst, i), at(src, i), fn);
  }
}

// A value that no check judges, taken as stored; a boolean as the wire reader takes it.
template <class V, class C>
void takeStored(V& dst, const V& src, const C&) {
  if constexpr (std::is_same_v<C, Boolean> && std::is_arithmetic_v<V>) {
    dst = static_cast<V>(src != 0);
  } else if constexpr (std::is_same_v<C, Boolean> && isScalarArray<V>()) {
    using E = typename ArrayOf<V>::Element;
    for (std::size_t i = 0; i < ArrayOf<V>::size; ++i) at(dst, i) = static_cast<E>(at(src, i) != 0);
  } else {
    std::memcpy(static_cast<void*>(&dst), &src, sizeof(V));
  }
}

// The scalars (and texts) in which two values differ.
template <class V>
int differingValues(const V& a, const V& b) {
  if constexpr (IsText<V>::value) {
    return a == b ? 0 : 1;
  } else if constexpr (ArrayOf<V>::is) {
    int n = 0;
    for (std::size_t i = 0; i < ArrayOf<V>::size; ++i) n += differingValues(at(a, i), at(b, i));
    return n;
  } else {
    return std::memcmp(&a, &b, sizeof(V)) == 0 ? 0 : 1;
  }
}

}  // namespace detail

// Takes a stored record (texts already normalised) into rec, which holds the record's cold-start
// values: every value its check accepts is taken, one it refuses keeps rec's value (an array taken
// whole, whole or not at all, as a merge takes it). What is never merged (masks, M/E, channel,
// carried fields, the elements a record never changes) is taken as stored. Masks are not looked
// at: every value is judged. Returns the number of values that were refused and differ from the
// value kept (a cold-start value outside its own range, stored as it was, is no damage).
template <class R>
int restoreChecked(R& rec, const R& stored) {
  int reset = 0;
  detail::forEachField<R>([&](const auto& d) {
    using D = std::decay_t<decltype(d)>;
    using M = typename D::Member;
    auto& dv = rec.*(d.member);
    const auto& sv = stored.*(d.member);
    if constexpr (D::role == Role::Field) {
      bool took = false;
      detail::mergeValue(dv, sv, d.check, true, took);
      if constexpr (std::is_same_v<std::decay_t<decltype(d.check)>, Boolean>) detail::takeStored(dv, sv, d.check);
      else reset += detail::differingValues(dv, sv);
    } else if constexpr (D::role == Role::Elements) {
      for (std::size_t i = 0; i < detail::ArrayOf<M>::size; ++i) {
        auto& de = detail::at(dv, i);
        const auto& se = detail::at(sv, i);
        if constexpr (IsText<std::decay_t<decltype(se)>>::value) {
          de.assignFrom(se);
        } else if (!detail::takes(d.check, i) || detail::acceptElement(d.check, i, se)) {
          de = se;
        } else {
          reset += detail::differingValues(de, se);
        }
      }
    } else if constexpr (D::role == Role::Sub) {
      detail::forEachSubPair(dv, sv, [&](auto& ds, const auto& ss) { reset += restoreChecked(ds, ss); });
    } else {
      detail::takeStored(dv, sv, d.check);
    }
  });
  return reset;
}

// The values of a record that its checks refuse, whatever its masks say; a zero, which a fresh
// record holds wherever no cold start sets a value, is not counted.
template <class R>
int refusedValues(const R& rec) {
  R fresh{};
  return restoreChecked(fresh, rec);
}

namespace detail {

// Every mask word of the record and its sub-records, each a store at a constant place.
template <class R>
REC_ALWAYS_INLINE void clearMaskWords(R& rec);
template <class R, std::size_t I>
REC_ALWAYS_INLINE void clearMaskField(R& rec) {
  constexpr const auto& d = FIELD<R, I>;
  using D = std::decay_t<decltype(d)>;
  using M = typename D::Member;
  if constexpr (D::role == Role::Mask) {
    std::memset(&(rec.*(d.member)), 0, sizeof(M));
  } else if constexpr (D::role == Role::Sub && HasWire<M>) {
    clearMaskWords(rec.*(d.member));
  } else if constexpr (D::role == Role::Sub) {
    for (std::size_t k = 0; k < ArrayOf<M>::size; ++k) clearMaskWords(at(rec.*(d.member), k));
  }
}
template <class R, std::size_t... I>
REC_ALWAYS_INLINE void clearMaskFields(R& rec, std::index_sequence<I...>) {
  (clearMaskField<R, I>(rec), ...);
}
template <class R>
REC_ALWAYS_INLINE void clearMaskWords(R& rec) {
  static_assert(Declaration<R>::checked);
  clearMaskFields(rec, wireIndexes<R>());
}

}  // namespace detail

template <class R>
void clearMasks(R& rec) {
  detail::clearMaskWords(rec);
}

// Every mask (sub-records included) set to all of its declared fields, as after a restore.
template <class R>
void setAllMasks(R& rec) {
  u32* m = detail::maskWordsOf(rec);
  if (m) std::memset(m, 0, sizeof(u32) * detail::maskWords<R>());
  detail::forEachField<R>([&](const auto& d) {
    using D = std::decay_t<decltype(d)>;
    constexpr int n = static_cast<int>(detail::bitsSpanned<D>());
    for (int i = 0; i < n; ++i) detail::setBit(m, d.bit + i);
    if constexpr (D::role == Role::Sub) detail::forEachSub(rec.*(d.member), [](auto& s) { setAllMasks(s); });
  });
}

// True when any mask word of the record, sub-records included, is non-zero.
template <class R>
bool anyMask(const R& rec) {
  bool any = false;
  if (const u32* m = detail::maskWordsOf(rec))
    for (std::size_t w = 0; w < detail::maskWords<R>(); ++w) any = any || m[w] != 0;
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
