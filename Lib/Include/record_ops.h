// What a record declaration gives: decode, encode, the wire size, the masked merge, the mask
// bookkeeping of restore and send, and the M/E and channel stamp.
#pragma once
#include <array>
#include <bit>
#include <cstddef>
#include <cstring>
#include <tuple>
#include <type_traits>

#include "Lib/Include/kz_types.h"
#include "Lib/Include/record_fields.h"
#include "Lib/Include/record_text.h"
#include "Lib/Include/record_wire.h"

// REC_ALWAYS_INLINE (record_wire.h) marks the per-field steps of the codec and the merge that
// must stay inside their record's function (see mergeField).

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
  // A text that fits its room, with the body holding at least the S bytes of that room after its
  // length: its characters taken as S bytes at once, those after the length zeroed (the bytes
  // after the terminator stay unread).
  if (const u8* p = r.peek(2 + S)) {
    const i16 n = loadBigEndian<i16>(p);
    if (n >= 0 && static_cast<std::size_t>(n) <= N) {
      const auto count = static_cast<std::size_t>(n);
      if (count == 0) {
        std::memset(t.chars, 0, S);  // an empty text, the most common one
      } else {
        copyKept<S>(t.chars, p + 2, count);
      }
      t.length = n;
      r.advance(2 + count + 1);
      return;
    }
  }
  const i16 n = r.get<i16>();
  std::memset(t.chars, 0, S);
  const std::size_t kept = readTextChars(r, n, t.chars, N);
  t.length = n < 0 ? n : static_cast<i16>(kept);  // a negative length stays as sent for the checks
}

template <std::size_t N, std::size_t S>
void writeText(WireWriter& w, const Text<N, S>& t) {
  const std::size_t n = t.usable();
  if (n == 0) {
    // An empty text, the most common one: a zero length and the terminator.
    if (u8* p = w.room(3)) {
      std::memset(p, 0, 3);
      w.advance(3);
      return;
    }
  }
  if constexpr (charsInWords<S>()) {
    // With room for the whole storage, its S bytes go out at once as words: the n characters,
    // then zeros, the terminator the first of them; only the length, the characters and the
    // terminator are kept (n < S).
    if (u8* p = w.room(2 + S)) {
      storeBigEndian<i16>(p, static_cast<i16>(n));
      copyKept<S>(p + 2, t.chars, n);
      w.advance(2 + n + 1);
      return;
    }
  } else {
    // The length, the characters and the terminator with one check of the room.
    if (u8* p = w.room(2 + n + 1)) {
      storeBigEndian<i16>(p, static_cast<i16>(n));
      std::memcpy(p + 2, t.chars, n);
      p[2 + n] = 0;
      w.advance(2 + n + 1);
      return;
    }
  }
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
constexpr std::size_t sumOfFixedFieldSizes() {
  static_assert(Declaration<R>::checked);
  return std::apply(
      [](const auto&... d) {
        return (std::size_t{0} + ... + fixedValueWireSize<typename std::decay_t<decltype(d)>::Member>());
      },
      R::wire());
}
// Worked out once, as a constant: a call in running code then never builds the field list (a
// build that does not fold it, with the sanitizers, copied the list for every table entry).
template <class R>
inline constexpr std::size_t FIXED_RECORD_WIRE_SIZE = sumOfFixedFieldSizes<R>();

template <class R>
constexpr std::size_t fixedRecordWireSize() {
  return FIXED_RECORD_WIRE_SIZE<R>;
}

// Whether every element of an array passes its check.
template <class C, class V, std::size_t... I>
REC_ALWAYS_INLINE bool acceptsEveryElement(const C& c, const V& v, std::index_sequence<I...>) {
  return (true && ... && acceptElementAt<I>(c, at(v, I)));
}

// A scalar array taken whole, in one copy. A target that moves no unaligned word in line (the
// board, built with -mno-unaligned-access) makes a library call of a memcpy of a few bytes of
// halfword-aligned values: there a short array goes element by element instead.
template <class V>
REC_ALWAYS_INLINE void storeWhole(V& dst, const V& src) {
#if defined(__arm__) && !defined(__ARM_FEATURE_UNALIGNED)
  if constexpr (ArrayOf<V>::size <= 8) {
    [&]<std::size_t... I>(std::index_sequence<I...>) { ((at(dst, I) = at(src, I)), ...); }(
        std::make_index_sequence<ArrayOf<V>::size>{});
    return;
  }
#endif
  std::memcpy(static_cast<void*>(&dst), &src, sizeof(V));
}

// Merges one masked value; returns the number of values dropped by the check. Unchecked, every
// value is taken as it is (a text still only up to its capacity).
template <class V, class C>
REC_ALWAYS_INLINE int mergeValue(V& dst, const V& src, const C& c, bool checked, bool& took) {
  if constexpr (IsText<V>::value) {
    if (checked && !c.accept(src)) [[unlikely]] return 1;
    dst.assignFrom(src);
    took = true;
    return 0;
  } else if constexpr (isScalarArray<V>()) {
    constexpr std::size_t n = ArrayOf<V>::size;
    if constexpr (requires { c.acceptArray(src); }) {
      if (checked && !c.acceptArray(src)) [[unlikely]] return static_cast<int>(n);
    }
    // Most arrays come in whole and valid: they are taken as one copy.
    if (!checked) {
      storeWhole(dst, src);
      took = true;
      return 0;
    }
    // The common case first: every element passes, each tested with no more than a compare.
    if constexpr (EachCount<C>::value > 0 || n <= 8) {
      if (acceptsEveryElement(c, src, std::make_index_sequence<n>{})) [[likely]] {
        storeWhole(dst, src);
        took = true;
        return 0;
      }
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
    if (dropped == 0) [[likely]] {
      storeWhole(dst, src);
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
      if (checked && !c.acceptArray(src)) [[unlikely]] return 1;  // a value of several parts, judged whole
    }
    if (checked && !c.accept(src)) [[unlikely]] return 1;
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

// Whether an array of E travels as its memory with each value's bytes swapped: integers other
// than bool, and floats.
template <class E>
constexpr bool isSwappedRun() {
  return (std::is_integral_v<E> && !std::is_same_v<E, bool>) || std::is_same_v<E, float>;
}

template <class V, class C>
const u8* readFixed(const u8* p, V& v, const C& c);
template <class V>
u8* writeFixed(u8* p, const V& v);

// ---- runs of values read and written in bulk ------------------------------------------------
// A fixed-size record (or a run of fixed-size fields of one) is walked as a list of items in wire
// order, its sub-records opened up: a scalar or an array of scalars is a run of values of one
// width lying side by side both on the wire and in memory; anything else (an array of
// sub-records, a boolean) an item read and written on its own. Runs of one width that follow one
// another on the wire and also lie one after another in memory are then one run, read and
// written by runFromWire and runToWire. Whether they lie one after another is asked of their
// addresses in the record, which the compiler works out; runs it finds apart are each done on
// their own.

// Reaches a member of the record being read or written: the record itself, and a member of what
// an outer access reaches.
struct RecordAccess {
  template <class Root>
  static constexpr Root& get(Root& r) {
    return r;
  }
};
template <class Outer, auto MEMBER>
struct MemberAccess {
  template <class Root>
  static constexpr auto& get(Root& r) {
    return Outer::get(r).*MEMBER;
  }
};

// COUNT values of E, the value (or array) that Access reaches.
template <class Access, class E, std::size_t COUNT>
struct RunItem {
  using A = Access;
  using Element = E;
  static constexpr std::size_t count = COUNT;
  static constexpr std::size_t bytes = COUNT * sizeof(E);
};
// The value V that Access reaches, checked by C (its type only matters: a boolean is read as 0 or
// 1), read and written on its own.
template <class Access, class V, class C>
struct ValueItem {
  using A = Access;
  using Value = V;
  using Check = std::conditional_t<std::is_same_v<C, Boolean>, Boolean, Any>;
  static constexpr std::size_t bytes = fixedValueWireSize<V>();
};

template <class T>
struct IsRunItem : std::false_type {};
template <class A, class E, std::size_t N>
struct IsRunItem<RunItem<A, E, N>> : std::true_type {};

template <class R, class Outer, std::size_t FIRST, std::size_t... I>
constexpr auto itemsOfFields(std::index_sequence<I...>);

template <class R, class Outer, std::size_t I>
constexpr auto itemsOfField() {
  using D = std::tuple_element_t<I, WireList<R>>;
  using M = typename D::Member;
  using C = std::decay_t<decltype(FIELD<R, I>.check)>;
  using A = MemberAccess<Outer, FIELD<R, I>.member>;
  if constexpr (HasWire<M>) {
    return itemsOfFields<M, A, 0>(wireIndexes<M>());
  } else if constexpr (std::is_same_v<C, Boolean>) {
    return std::tuple<ValueItem<A, M, C>>{};
  } else if constexpr (isSwappedRun<M>()) {
    return std::tuple<RunItem<A, M, 1>>{};
  } else if constexpr (ArrayOf<M>::is && !HasWire<typename ArrayOf<M>::Element>) {
    if constexpr (isSwappedRun<typename ArrayOf<M>::Element>()) {
      return std::tuple<RunItem<A, typename ArrayOf<M>::Element, ArrayOf<M>::size>>{};
    } else {
      return std::tuple<ValueItem<A, M, C>>{};
    }
  } else {
    return std::tuple<ValueItem<A, M, C>>{};
  }
}
template <class R, class Outer, std::size_t FIRST, std::size_t... I>
constexpr auto itemsOfFields(std::index_sequence<I...>) {
  return std::tuple_cat(itemsOfField<R, Outer, FIRST + I>()...);
}
// The items of fields FIRST..LAST-1 of R.
template <class R, std::size_t FIRST, std::size_t LAST>
using FieldItems = decltype(itemsOfFields<R, RecordAccess, FIRST>(std::make_index_sequence<LAST - FIRST>{}));

// The end of the group of runs that begins at item POS: the runs after it of the same width.
template <class Items, std::size_t POS, std::size_t WIDTH>
constexpr std::size_t runGroupEnd() {
  if constexpr (POS < std::tuple_size_v<Items>) {
    using It = std::tuple_element_t<POS, Items>;
    if constexpr (IsRunItem<It>::value) {
      if constexpr (sizeof(typename It::Element) == WIDTH) return runGroupEnd<Items, POS + 1, WIDTH>();
    }
  }
  return POS;
}
template <class Items, std::size_t FIRST, std::size_t... K>
constexpr std::size_t groupBytes(std::index_sequence<K...>) {
  return (std::size_t{0} + ... + std::tuple_element_t<FIRST + K, Items>::bytes);
}

// The unsigned integer of a width.
template <std::size_t WIDTH>
using UnsignedOf = std::conditional_t<WIDTH == 1, u8, std::conditional_t<WIDTH == 2, u16, std::conditional_t<WIDTH == 4, u32, u64>>>;

// Where item K lies in the record, as a byte offset (a constant once compiled).
template <class Items, std::size_t K, class Root>
REC_ALWAYS_INLINE std::ptrdiff_t itemOffset(Root& r) {
  return reinterpret_cast<const char*>(&std::tuple_element_t<K, Items>::A::get(r)) - reinterpret_cast<const char*>(&r);
}
// Whether items FIRST.. FIRST + sizeof...(K) lie one after another in memory.
template <class Items, std::size_t FIRST, class Root, std::size_t... K>
REC_ALWAYS_INLINE bool adjacent(Root& r, std::index_sequence<K...>) {
  return (true && ... &&
          (itemOffset<Items, FIRST + K + 1>(r) ==
           itemOffset<Items, FIRST + K>(r) + static_cast<std::ptrdiff_t>(std::tuple_element_t<FIRST + K, Items>::bytes)));
}

template <class Items, std::size_t FIRST, std::size_t OFFSET, class Root, std::size_t... K>
REC_ALWAYS_INLINE void readRunsApart(const u8* p, Root& r, std::index_sequence<K...>);
template <class Items, std::size_t FIRST, std::size_t OFFSET, class Root, std::size_t... K>
REC_ALWAYS_INLINE void writeRunsApart(u8* p, const Root& r, std::index_sequence<K...>);

// The items from POS on, their wire bytes from p + OFFSET on.
template <class Items, std::size_t POS, std::size_t OFFSET, class Root>
REC_ALWAYS_INLINE void readItems(const u8* p, Root& r) {
  if constexpr (POS < std::tuple_size_v<Items>) {
    using It = std::tuple_element_t<POS, Items>;
    if constexpr (IsRunItem<It>::value) {
      constexpr std::size_t WIDTH = sizeof(typename It::Element);
      constexpr std::size_t END = runGroupEnd<Items, POS, WIDTH>();
      constexpr std::size_t BYTES = groupBytes<Items, POS>(std::make_index_sequence<END - POS>{});
      if constexpr (END - POS == 1) {
        runFromWire<typename It::Element, It::count>(&It::A::get(r), p + OFFSET);
      } else if (adjacent<Items, POS>(r, std::make_index_sequence<END - POS - 1>{})) {
        runFromWire<UnsignedOf<WIDTH>, BYTES / WIDTH>(reinterpret_cast<u8*>(&r) + itemOffset<Items, POS>(r), p + OFFSET);
      } else {
        readRunsApart<Items, POS, OFFSET>(p, r, std::make_index_sequence<END - POS>{});
      }
      readItems<Items, END, OFFSET + BYTES>(p, r);
    } else {
      readFixed(p + OFFSET, It::A::get(r), typename It::Check{});
      readItems<Items, POS + 1, OFFSET + It::bytes>(p, r);
    }
  }
}
template <class Items, std::size_t FIRST, std::size_t OFFSET, class Root, std::size_t... K>
REC_ALWAYS_INLINE void readRunsApart(const u8* p, Root& r, std::index_sequence<K...>) {
  (runFromWire<typename std::tuple_element_t<FIRST + K, Items>::Element, std::tuple_element_t<FIRST + K, Items>::count>(
       &std::tuple_element_t<FIRST + K, Items>::A::get(r), p + OFFSET + groupBytes<Items, FIRST>(std::make_index_sequence<K>{})),
   ...);
}

template <class Items, std::size_t POS, std::size_t OFFSET, class Root>
REC_ALWAYS_INLINE void writeItems(u8* p, const Root& r) {
  if constexpr (POS < std::tuple_size_v<Items>) {
    using It = std::tuple_element_t<POS, Items>;
    if constexpr (IsRunItem<It>::value) {
      constexpr std::size_t WIDTH = sizeof(typename It::Element);
      constexpr std::size_t END = runGroupEnd<Items, POS, WIDTH>();
      constexpr std::size_t BYTES = groupBytes<Items, POS>(std::make_index_sequence<END - POS>{});
      if constexpr (END - POS == 1) {
        runToWire<typename It::Element, It::count>(p + OFFSET, &It::A::get(r));
      } else if (adjacent<Items, POS>(r, std::make_index_sequence<END - POS - 1>{})) {
        runToWire<UnsignedOf<WIDTH>, BYTES / WIDTH>(p + OFFSET, reinterpret_cast<const u8*>(&r) + itemOffset<Items, POS>(r));
      } else {
        writeRunsApart<Items, POS, OFFSET>(p, r, std::make_index_sequence<END - POS>{});
      }
      writeItems<Items, END, OFFSET + BYTES>(p, r);
    } else {
      writeFixed(p + OFFSET, It::A::get(r));
      writeItems<Items, POS + 1, OFFSET + It::bytes>(p, r);
    }
  }
}
template <class Items, std::size_t FIRST, std::size_t OFFSET, class Root, std::size_t... K>
REC_ALWAYS_INLINE void writeRunsApart(u8* p, const Root& r, std::index_sequence<K...>) {
  (runToWire<typename std::tuple_element_t<FIRST + K, Items>::Element, std::tuple_element_t<FIRST + K, Items>::count>(
       p + OFFSET + groupBytes<Items, FIRST>(std::make_index_sequence<K>{}), &std::tuple_element_t<FIRST + K, Items>::A::get(r)),
   ...);
}

// One entry of a table, kept inside the table's loop: a sub-record's items in line rather than a
// call for each entry.
template <class E, class C>
REC_ALWAYS_INLINE const u8* readEntry(const u8* p, E& e, const C& c) {
  if constexpr (HasWire<E>) {
    readItems<FieldItems<E, 0, std::tuple_size_v<WireList<E>>>, 0, 0>(p, e);
    return p + fixedRecordWireSize<E>();
  } else {
    return readFixed(p, e, c);
  }
}
template <class E>
REC_ALWAYS_INLINE u8* writeEntry(u8* p, const E& e) {
  if constexpr (HasWire<E>) {
    writeItems<FieldItems<E, 0, std::tuple_size_v<WireList<E>>>, 0, 0>(p, e);
    return p + fixedRecordWireSize<E>();
  } else {
    return writeFixed(p, e);
  }
}

// An entry that is its mask word and then a few bytes (a table's usual entry: a mask and its
// settings), the bytes right after the mask in memory, eight bytes or fewer on the wire and at least
// eight in memory. Where words go anywhere, such an entry goes to the wire as two words: its mask,
// its bytes swapped, and the four bytes after it as they are; whatever the second word carries past
// the entry's wire bytes is written over by the next entry, so a table's last entry goes value by
// value.
template <class It>
constexpr bool isByteRunItem() {
  if constexpr (IsRunItem<It>::value) {
    return sizeof(typename It::Element) == 1;
  } else {
    return false;
  }
}
template <class Items, std::size_t... K>
constexpr bool isWordThenBytes(std::index_sequence<K...>) {
  using First = std::tuple_element_t<0, Items>;
  if constexpr (IsRunItem<First>::value) {
    return sizeof(typename First::Element) == 4 && First::count == 1 &&
           (true && ... && isByteRunItem<std::tuple_element_t<K + 1, Items>>());
  } else {
    return false;
  }
}
template <class E>
constexpr bool entryGoesAsWord() {
  if constexpr (!HasWire<E> || !WORDS_ANYWHERE) {
    return false;
  } else {
    using Items = FieldItems<E, 0, std::tuple_size_v<WireList<E>>>;
    constexpr std::size_t N_ITEMS = std::tuple_size_v<Items>;
    if constexpr (N_ITEMS < 2) {
      return false;
    } else {
      return isWordThenBytes<Items>(std::make_index_sequence<N_ITEMS - 1>{}) && fixedRecordWireSize<E>() <= 8 &&
             sizeof(E) >= 8;
    }
  }
}
// Whether the entry's mask lies first and its bytes right after it (a constant once compiled).
template <class E>
REC_ALWAYS_INLINE bool laidOutAsWord(const E& e) {
  using Items = FieldItems<E, 0, std::tuple_size_v<WireList<E>>>;
  constexpr std::size_t N_ITEMS = std::tuple_size_v<Items>;
  return itemOffset<Items, 0>(e) == 0 && itemOffset<Items, 1>(e) == 4 &&
         adjacent<Items, 1>(e, std::make_index_sequence<N_ITEMS - 2>{});
}
REC_ALWAYS_INLINE void entryWordsToWire(u8* p, const u8* entry) {
  u32 mask;
  u32 bytes;
  std::memcpy(&mask, entry, sizeof mask);
  std::memcpy(&bytes, entry + sizeof mask, sizeof bytes);
  storeBigEndian<u32>(p, mask);
  std::memcpy(p + sizeof mask, &bytes, sizeof bytes);
}

// A fixed-size value from bytes already known to be there: one bounds check per record instead of
// one per value. The position travels by value, so that the stores of a table's values (bytes
// among them) do not make the compiler reload it after each one.
template <class V, class C>
const u8* readFixed(const u8* p, V& v, const C& c) {
  if constexpr (HasWire<V>) {
    readItems<FieldItems<V, 0, std::tuple_size_v<WireList<V>>>, 0, 0>(p, v);
    p += fixedRecordWireSize<V>();
  } else if constexpr (ArrayOf<V>::is) {
    using E = typename ArrayOf<V>::Element;
    if constexpr (isSwappedRun<E>() && !std::is_same_v<C, Boolean>) {
      // Bytes copied as they are, wider values as runFromWire takes them.
      runFromWire<E, ArrayOf<V>::size>(&at(v, 0), p);
      p += ArrayOf<V>::size * sizeof(E);
    } else {
      // A table of sub-records two entries at a time.
      constexpr std::size_t N = ArrayOf<V>::size;
      std::size_t i = 0;
      for (; i + 2 <= N; i += 2) {
        p = readEntry(p, at(v, i), c);
        p = readEntry(p, at(v, i + 1), c);
      }
      if constexpr (N % 2 != 0) p = readEntry(p, at(v, N - 1), c);
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
    writeItems<FieldItems<V, 0, std::tuple_size_v<WireList<V>>>, 0, 0>(p, v);
    p += fixedRecordWireSize<V>();
  } else if constexpr (ArrayOf<V>::is) {
    using E = typename ArrayOf<V>::Element;
    if constexpr (isSwappedRun<E>()) {
      runToWire<E, ArrayOf<V>::size>(p, &at(v, 0));
      p += ArrayOf<V>::size * sizeof(E);
    } else {
      constexpr std::size_t N = ArrayOf<V>::size;
      if constexpr (entryGoesAsWord<E>()) {
        if (laidOutAsWord(at(v, 0))) {
          // Two entries a turn, as the entries of other tables go.
          constexpr std::size_t WIRE = fixedRecordWireSize<E>();
          std::size_t k = 0;
          for (; k + 3 <= N; k += 2) {
            entryWordsToWire(p, reinterpret_cast<const u8*>(&at(v, k)));
            entryWordsToWire(p + WIRE, reinterpret_cast<const u8*>(&at(v, k + 1)));
            p += 2 * WIRE;
          }
          if (k + 2 == N) {
            entryWordsToWire(p, reinterpret_cast<const u8*>(&at(v, k)));
            p += WIRE;
          }
          return writeEntry(p, at(v, N - 1));
        }
      }
      std::size_t i = 0;
      for (; i + 2 <= N; i += 2) {
        p = writeEntry(p, at(v, i));
        p = writeEntry(p, at(v, i + 1));
      }
      if constexpr (N % 2 != 0) p = writeEntry(p, at(v, N - 1));
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

// The first field after I that has no fixed wire size (or the end of the list).
template <class R, std::size_t I>
constexpr std::size_t fixedRunEnd() {
  if constexpr (fieldIsFixed<R, I>()) {
    return fixedRunEnd<R, I + 1>();
  } else {
    return I;
  }
}

// One field of a record with texts. The first field of a run of fixed-size fields reads the
// whole run (its items as one list, so that runs of values of the fields go in bulk); the others
// of the run have nothing left to do. False once the body has run out.
template <class R, std::size_t I>
REC_ALWAYS_INLINE bool decodeField(WireReader& r, R& rec) {
  if constexpr (startsFixedRun<R, I>()) {
    constexpr std::size_t run = fixedRunFrom<R, I>();  // worked out here, not at every call
    const u8* p = r.take(run);
    if (p == nullptr) return false;
    readItems<FieldItems<R, I, fixedRunEnd<R, I>()>, 0, 0>(p, rec);
    return true;
  } else if constexpr (fieldIsFixed<R, I>()) {
    return true;
  } else {
    constexpr const auto& d = FIELD<R, I>;
    readValue(r, rec.*(d.member), d.check);
    return r.ok();
  }
}
template <class R, std::size_t... I>
REC_ALWAYS_INLINE bool decodeFields(WireReader& r, R& rec, std::index_sequence<I...>) {
  return (true && ... && decodeField<R, I>(r, rec));
}

template <class R, std::size_t I>
REC_ALWAYS_INLINE bool encodeField(WireWriter& w, const R& rec) {
  if constexpr (startsFixedRun<R, I>()) {
    constexpr std::size_t run = fixedRunFrom<R, I>();
    u8* p = w.take(run);
    if (p == nullptr) return false;
    writeItems<FieldItems<R, I, fixedRunEnd<R, I>()>, 0, 0>(p, rec);
    return true;
  } else if constexpr (fieldIsFixed<R, I>()) {
    return true;
  } else {
    writeValue(w, rec.*(FIELD<R, I>.member));
    return w.ok();
  }
}
template <class R, std::size_t... I>
REC_ALWAYS_INLINE void encodeFields(WireWriter& w, const R& rec, std::index_sequence<I...>) {
  (void)(true && ... && encodeField<R, I>(w, rec));
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

// A record's mask bits, word by word: every bit it declares (every element's included) or, with
// TAKEN_ONLY, those a merge can take: the bits of every field, and of every element its check lets
// a record change.
template <class R, bool TAKEN_ONLY, std::size_t I>
constexpr void addMaskBits(std::array<u32, MAX_MASK_WORDS>& bits) {
  using D = std::tuple_element_t<I, WireList<R>>;
  constexpr int n = static_cast<int>(bitsSpanned<D>());
  for (int i = 0; i < n; ++i) {
    if (TAKEN_ONLY && D::role == Role::Elements && !takes(FIELD<R, I>.check, static_cast<std::size_t>(i))) continue;
    const int b = FIELD<R, I>.bit + i;
    bits[static_cast<std::size_t>(b / 32)] |= 1u << (b % 32);
  }
}
template <class R, bool TAKEN_ONLY, std::size_t... I>
constexpr std::array<u32, MAX_MASK_WORDS> maskBitsOf(std::index_sequence<I...>) {
  std::array<u32, MAX_MASK_WORDS> bits{};
  (addMaskBits<R, TAKEN_ONLY, I>(bits), ...);
  return bits;
}
template <class R>
inline constexpr std::array<u32, MAX_MASK_WORDS> TAKEN_BITS = maskBitsOf<R, true>(wireIndexes<R>());

// ---- chunks of fields ------------------------------------------------------------------------
// A merge walks the fields in chunks of a few mask bits each. A chunk whose bits are all marked
// (the common case for a record that changes much) merges its fields with no test of their bits;
// any other chunk tests field by field. A record whose marks are all set but one thus still takes
// most of its fields without their tests.
inline constexpr std::size_t CHUNK_BITS = 6;

template <class R, std::size_t I>
constexpr std::size_t takenBitCount() {
  std::array<u32, MAX_MASK_WORDS> bits{};
  addMaskBits<R, true, I>(bits);
  std::size_t n = 0;
  for (u32 w : bits) n += static_cast<std::size_t>(std::popcount(w));
  return n;
}
template <class R, std::size_t... I>
constexpr std::array<std::size_t, sizeof...(I) + 1> chunkStartsOf(std::index_sequence<I...>) {
  constexpr std::array<std::size_t, sizeof...(I)> counts{takenBitCount<R, I>()...};
  std::array<std::size_t, sizeof...(I) + 1> starts{};
  std::size_t chunks = 1, bits = 0;
  for (std::size_t i = 0; i < counts.size(); ++i) {
    if (bits > 0 && bits + counts[i] > CHUNK_BITS) {
      starts[chunks++] = i;
      bits = 0;
    }
    bits += counts[i];
  }
  for (std::size_t k = chunks; k < starts.size(); ++k) starts[k] = counts.size();
  return starts;
}
// Where each chunk of R's fields starts; the entries after the last chunk hold the field count.
template <class R>
inline constexpr auto CHUNK_STARTS = chunkStartsOf<R>(wireIndexes<R>());
template <class R>
constexpr std::size_t chunkCount() {
  std::size_t n = 0;
  while (n + 1 < CHUNK_STARTS<R>.size() && CHUNK_STARTS<R>[n] < CHUNK_STARTS<R>.size() - 1) ++n;
  return n;
}
// The mask bits a merge can take from fields FIRST..LAST-1.
template <class R, std::size_t FIRST, std::size_t... J>
constexpr std::array<u32, MAX_MASK_WORDS> takenBitsRange(std::index_sequence<J...>) {
  std::array<u32, MAX_MASK_WORDS> bits{};
  (addMaskBits<R, true, FIRST + J>(bits), ...);
  return bits;
}
template <class R, std::size_t FIRST, std::size_t LAST>
inline constexpr std::array<u32, MAX_MASK_WORDS> CHUNK_TAKEN = takenBitsRange<R, FIRST>(std::make_index_sequence<LAST - FIRST>{});

// Whether the marks `in` hold every bit of BITS.
template <std::size_t WORDS, class Words>
REC_ALWAYS_INLINE bool allMarked(const Words& in, const std::array<u32, MAX_MASK_WORDS>& bits) {
  u32 missing = 0;
  for (std::size_t w = 0; w < WORDS; ++w) missing |= bits[w] & ~in[w];
  return missing == 0;
}

// The bits of the values taken, kept in `took` as the merge goes. Field by field (ALL false) a
// bit is added when its value is taken. With every bit marked (ALL true), `took` starts with every
// bit a merge can take, and a bit is dropped only when its value is refused whole: the common
// case, every value taken, then costs no bookkeeping per field. Either way the same bits.
template <bool ALL, class Words>
REC_ALWAYS_INLINE void noteTaken(Words& took, std::size_t w, u32 b, bool taken, int dropped) {
  if constexpr (ALL) {
    if (dropped != 0 && !taken) took[w] &= ~b;
  } else {
    if (taken) took[w] |= b;
  }
}

template <bool CHECKED, class R, std::size_t I>
REC_ALWAYS_INLINE void mergeSub(R& dst, const R& src, MergeResult& result);

// ---- the merge straight from the wire --------------------------------------------------------
// A fixed-size record merged from its wire bytes into the live record, with no decoded copy in
// between: each masked value is read where it lies, checked and stored; a value whose bit is clear
// is never read, and a sub-record whose mask is clear is passed over whole. The same outcome as
// decode followed by merge.

// The source of a merge from the wire: a fixed-size record's wire bytes, all of them there, the
// mask words first.
struct WireBytes {
  const u8* p;
};
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

// Element K of field I (an elements() array) from `values`, the source's array (the record's, or
// the one read from the wire): taken by its own bit and check.
template <bool CHECKED, bool ALL, class R, std::size_t I, std::size_t K, class V, class Words>
REC_ALWAYS_INLINE void mergeElement(R& dst, const V& values, const Words& in, Words& took, MergeResult& result) {
  constexpr const auto& d = FIELD<R, I>;
  constexpr int bit = d.bit + static_cast<int>(K);
  constexpr std::size_t w = static_cast<std::size_t>(bit / 32);
  constexpr u32 b = 1u << (bit % 32);
  if constexpr (takes(d.check, K)) {
    if (!ALL && (in[w] & b) == 0) return;
    const auto& value = at(values, K);
    if constexpr (IsText<std::decay_t<decltype(value)>>::value) {
      at(dst.*(d.member), K).assignFrom(value);
      if constexpr (!ALL) took[w] |= b;
    } else {
      if (CHECKED && !acceptElementAt<K>(d.check, value)) [[unlikely]] {
        result.refused(bit, 1);
        noteTaken<ALL>(took, w, b, false, 1);
        return;
      }
      at(dst.*(d.member), K) = value;
      if constexpr (!ALL) took[w] |= b;
    }
  }
}
template <bool CHECKED, bool ALL, class R, std::size_t I, class V, class Words, std::size_t... K>
REC_ALWAYS_INLINE void mergeElements(R& dst, const V& values, const Words& in, Words& took, MergeResult& result,
                                     std::index_sequence<K...>) {
  (mergeElement<CHECKED, ALL, R, I, K>(dst, values, in, took, result), ...);
}

// One field of a merge, its bit, member and check constants of its code. Kept inside the record's
// merge, where the mask words are locals: out of line, a field whose bit is clear would cost a
// call and a reload of the words rather than one test against a constant. With ALL (every bit
// marked) there is no test at all: each value is checked and stored where it lies.
template <bool CHECKED, bool ALL, class R, std::size_t I, class Words>
REC_ALWAYS_INLINE void mergeField(R& dst, const R& src, const Words& in, Words& took, MergeResult& result) {
  constexpr const auto& d = FIELD<R, I>;
  using D = std::decay_t<decltype(d)>;
  if constexpr (D::role == Role::Field) {
    constexpr std::size_t w = static_cast<std::size_t>(d.bit / 32);
    constexpr u32 b = 1u << (d.bit % 32);
    if (ALL || (in[w] & b) != 0) {
      bool taken = false;
      const int dropped = mergeValue(dst.*(d.member), src.*(d.member), d.check, CHECKED, taken);
      noteTaken<ALL>(took, w, b, taken, dropped);
      if (dropped) [[unlikely]] result.refused(d.bit, dropped);
    }
  } else if constexpr (D::role == Role::Elements) {
    mergeElements<CHECKED, ALL, R, I>(dst, src.*(d.member), in, took, result,
                                      std::make_index_sequence<ArrayOf<typename D::Member>::size>{});
  } else if constexpr (D::role == Role::Sub) {
    mergeSub<CHECKED, R, I>(dst, src, result);
  }
}

// The same field read from the record's wire bytes: a value whose bit is marked is read where it
// lies, checked and stored; one whose bit is clear is never read.
template <bool CHECKED, bool ALL, class R, std::size_t I, class Words>
REC_ALWAYS_INLINE void mergeField(R& dst, WireBytes src, const Words& in, Words& took, MergeResult& result) {
  constexpr const auto& d = FIELD<R, I>;
  using D = std::decay_t<decltype(d)>;
  using M = typename D::Member;
  const u8* p = src.p + wireOffsetOf<R, I>();
  if constexpr (D::role == Role::Field) {
    constexpr std::size_t w = static_cast<std::size_t>(d.bit / 32);
    constexpr u32 b = 1u << (d.bit % 32);
    if (ALL || (in[w] & b) != 0) {
      M value;
      readFixed(p, value, d.check);
      bool taken = false;
      const int dropped = mergeValue(dst.*(d.member), value, d.check, CHECKED, taken);
      noteTaken<ALL>(took, w, b, taken, dropped);
      if (dropped) [[unlikely]] result.refused(d.bit, dropped);
    }
  } else if constexpr (D::role == Role::Elements) {
    M values;
    readFixed(p, values, d.check);
    mergeElements<CHECKED, ALL, R, I>(dst, values, in, took, result, std::make_index_sequence<ArrayOf<M>::size>{});
  } else if constexpr (D::role == Role::Sub) {
    auto& dv = dst.*(d.member);
    // A sub-record's refused values count, its bits are its own (as in mergeField).
    MergeResult sub;
    if constexpr (HasWire<M>) {
      mergeRecordFromWire<CHECKED>(dv, p, sub);
    } else {
      using S = typename ArrayOf<M>::Element;
      constexpr std::size_t N = ArrayOf<M>::size;
      constexpr std::size_t SIZE = fixedRecordWireSize<S>();
      std::size_t i = 0;
      for (; i + 2 <= N; i += 2) {  // a table two entries at a time
        mergeRecordFromWire<CHECKED>(at(dv, i), p + i * SIZE, sub);
        mergeRecordFromWire<CHECKED>(at(dv, i + 1), p + (i + 1) * SIZE, sub);
      }
      if constexpr (N % 2 != 0) mergeRecordFromWire<CHECKED>(at(dv, N - 1), p + (N - 1) * SIZE, sub);
    }
    result.droppedValues += sub.droppedValues;
  }
}

// Fields FIRST.. of a merge from Src: the record (const R&) or its wire bytes (WireBytes).
template <bool CHECKED, bool ALL, class R, std::size_t FIRST, class Src, class Words, std::size_t... J>
REC_ALWAYS_INLINE void mergeFieldRange(R& dst, const Src& src, const Words& in, Words& took, MergeResult& result,
                                       std::index_sequence<J...>) {
  (mergeField<CHECKED, ALL, R, FIRST + J>(dst, src, in, took, result), ...);
}
// The fields of chunk K: with no test of their bits when all of them are marked.
template <bool CHECKED, class R, std::size_t K, class Src, class Words>
REC_ALWAYS_INLINE void mergeChunk(R& dst, const Src& src, const Words& in, Words& took, MergeResult& result) {
  constexpr std::size_t FIRST = CHUNK_STARTS<R>[K];
  constexpr std::size_t LAST = CHUNK_STARTS<R>[K + 1];
  constexpr std::size_t WORDS = maskWords<R>();
  constexpr std::array<u32, MAX_MASK_WORDS> BITS = CHUNK_TAKEN<R, FIRST, LAST>;
  constexpr bool HAS_BITS = (BITS[0] | BITS[1]) != 0;
  if constexpr (WORDS > 0 && HAS_BITS) {
    if (allMarked<WORDS>(in, BITS)) {
      for (std::size_t w = 0; w < WORDS; ++w) took[w] |= BITS[w];
      mergeFieldRange<CHECKED, true, R, FIRST>(dst, src, in, took, result, std::make_index_sequence<LAST - FIRST>{});
      return;
    }
  }
  mergeFieldRange<CHECKED, false, R, FIRST>(dst, src, in, took, result, std::make_index_sequence<LAST - FIRST>{});
}
template <bool CHECKED, class R, class Src, class Words, std::size_t... K>
REC_ALWAYS_INLINE void mergeChunks(R& dst, const Src& src, const Words& in, Words& took, MergeResult& result,
                                   std::index_sequence<K...>) {
  (mergeChunk<CHECKED, R, K>(dst, src, in, took, result), ...);
}

// The merge of a record whose marks are in `in`, from the record or its wire bytes; the bits taken
// are added to dst's mask.
template <bool CHECKED, class R, class Src, class Words>
REC_ALWAYS_INLINE void mergeMarked(R& dst, const Src& src, const Words& in, MergeResult& result) {
  constexpr std::size_t WORDS = maskWords<R>();
  Words took{};
  mergeChunks<CHECKED>(dst, src, in, took, result, std::make_index_sequence<chunkCount<R>()>{});
  if constexpr (WORDS > 0) {
    u32* out = maskWordsOf(dst);
    for (std::size_t w = 0; w < WORDS; ++w) out[w] |= took[w];
  }
}

// One entry of a table of flat records, kept inside the table's merge; the values it refused.
template <bool CHECKED, class R>
REC_ALWAYS_INLINE int mergeFlat(R& dst, const R& src) {
  const u32 marks = *maskWordsOf(src);
  if (marks == 0) return 0;
  const std::array<u32, 1> in{marks};
  MergeResult result;
  mergeMarked<CHECKED>(dst, src, in, result);
  return result.droppedValues;
}

template <bool CHECKED, class R>
REC_ALWAYS_INLINE void mergeRecordInto(R& dst, const R& src, MergeResult& result);

// A record of a few fields whose sub-records (none of them an array) are flat.
template <class D>
constexpr bool isSmallField() {
  if constexpr (D::role == Role::Sub) {
    if constexpr (HasWire<typename D::Member>) return isFlatRecord<typename D::Member>();
    return false;
  }
  return true;
}
template <class R, std::size_t... I>
constexpr bool isSmallRecordOf(std::index_sequence<I...>) {
  return sizeof...(I) <= 8 && (true && ... && isSmallField<std::tuple_element_t<I, WireList<R>>>());
}
template <class R>
constexpr bool isSmallRecord() {
  return isSmallRecordOf<R>(wireIndexes<R>());
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
  } else if constexpr (isSmallRecord<SubRecordOf<M>>()) {
    // Entries of a few fields whose sub-records are flat: merged in place, not called.
    for (std::size_t i = 0; i < ArrayOf<M>::size; ++i) {
      MergeResult entry;
      mergeRecordInto<CHECKED>(at(dv, i), at(sv, i), entry);
      result.droppedValues += entry.droppedValues;
    }
  } else {
    for (std::size_t i = 0; i < ArrayOf<M>::size; ++i) {
      result.droppedValues += mergeRecord<CHECKED>(at(dv, i), at(sv, i)).droppedValues;
    }
  }
}

// The merge with its checks applied or skipped as a compile-time choice: a table's entries are
// merged one after another, and a flag read again for each of them is much of a small entry's cost.
template <bool CHECKED, class R>
REC_ALWAYS_INLINE void mergeRecordInto(R& dst, const R& src, MergeResult& result) {
  static_assert(Declaration<R>::checked);
  constexpr std::size_t WORDS = maskWords<R>();
  // The incoming marks and those of the values taken are held in locals and dst's mask is set
  // once at the end: a store of a taken value (a byte, say) then never makes the compiler read
  // the mask words again, which for the entries of a large table is most of the cost.
  std::array<u32, WORDS == 0 ? 1 : WORDS> in{};
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
      if (any == 0) return;
    }
  }
  mergeMarked<CHECKED>(dst, src, in, result);
}

template <bool CHECKED, class R>
MergeResult mergeRecord(R& dst, const R& src) {
  MergeResult result;
  mergeRecordInto<CHECKED>(dst, src, result);
  return result;
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
  if constexpr (WORDS > 0) {
    u32 any = 0;
    for (std::size_t w = 0; w < WORDS; ++w) {
      in[w] = loadBigEndian<u32>(p + w * sizeof(u32));
      any |= in[w];
    }
    if constexpr (!hasSubRecords<R>()) {
      if (any == 0) return;
    }
  }
  mergeMarked<CHECKED>(dst, WireBytes{p}, in, result);
}

// ---- the merge from the wire of a record whose texts come late ------------------------------
// A record with texts whose fields before the first text (its head) lie at fixed places in its
// body: the head is merged from its wire bytes as a fixed-size record's are, and the fields from
// the first text on (its rest, read first, so that the body is known to hold the whole record
// before anything is merged) from a record that holds them decoded. The same outcome as decode
// followed by merge.

// The first field of R whose wire size is not fixed (the field count when there is none).
template <class R, std::size_t... I>
constexpr std::size_t firstVariableFieldOf(std::index_sequence<I...>) {
  std::size_t first = sizeof...(I);
  ((first = first == sizeof...(I) && !fieldIsFixed<R, I>() ? I : first), ...);
  return first;
}
template <class R>
inline constexpr std::size_t FIRST_VARIABLE_FIELD = firstVariableFieldOf<R>(wireIndexes<R>());

template <class R>
struct WireHead {
  const u8* p;    // the body, the head's bytes all there
  const R& rest;  // the fields from the first text on, decoded
};

template <bool CHECKED, bool ALL, class R, std::size_t I, class Words>
REC_ALWAYS_INLINE void mergeField(R& dst, const WireHead<R>& src, const Words& in, Words& took, MergeResult& result) {
  if constexpr (I < FIRST_VARIABLE_FIELD<R>) {
    mergeField<CHECKED, ALL, R, I>(dst, WireBytes{src.p}, in, took, result);
  } else {
    mergeField<CHECKED, ALL, R, I>(dst, src.rest, in, took, result);
  }
}

template <class R, std::size_t FIRST, std::size_t... J>
REC_ALWAYS_INLINE bool decodeFieldsFrom(WireReader& r, R& rec, std::index_sequence<J...>) {
  return (true && ... && decodeField<R, FIRST + J>(r, rec));
}

template <class R, std::size_t I, class M>
constexpr bool isMemberOf(M R::*m) {
  if constexpr (std::is_same_v<typename std::tuple_element_t<I, WireList<R>>::Member, M>) {
    return FIELD<R, I>.member == m;
  } else {
    return false;
  }
}
template <class R, class M, std::size_t... I>
constexpr std::size_t wireIndexOfMember(M R::*m, std::index_sequence<I...>) {
  std::size_t index = sizeof...(I);
  ((index = index == sizeof...(I) && isMemberOf<R, I>(m) ? I : index), ...);
  return index;
}

}  // namespace detail

// The wire bytes of the head of a record whose texts come late: the fields before its first text.
template <class R>
constexpr std::size_t wireHeadSizeOf() {
  static_assert(!detail::isFixedSize<R>(), "a record without texts is all head: wireSizeOf");
  return detail::wireOffsetOf<R, detail::FIRST_VARIABLE_FIELD<R>>();
}
// Reads the rest of such a record (its fields from the first text on) into `rest`, the reader
// standing after the head; false when they would run past the body. Nothing else of `rest` is
// written.
template <class R>
bool decodeWireRest(WireReader& r, R& rest) {
  constexpr std::size_t FIRST = detail::FIRST_VARIABLE_FIELD<R>;
  return detail::decodeFieldsFrom<R, FIRST>(r, rest, std::make_index_sequence<std::tuple_size_v<detail::WireList<R>> - FIRST>{});
}
// Merges such a record as received, its checks applied: its head from the body's bytes at
// `head` (wireHeadSizeOf of them), the rest from `rest` (decodeWireRest); as merge of the decoded
// record.
template <class R>
MergeResult mergeFromWire(R& dst, const u8* head, const R& rest) {
  static_assert(detail::maskLeads<R>(), "the mask comes first on the wire, before the fields it marks");
  constexpr std::size_t WORDS = detail::maskWords<R>();
  static_assert(WORDS > 0, "a record merged from the wire declares its mask");
  std::array<u32, WORDS> in{};
  for (std::size_t w = 0; w < WORDS; ++w) in[w] = loadBigEndian<u32>(head + w * sizeof(u32));
  const detail::WireHead<R> src{head, rest};
  MergeResult result;
  detail::mergeMarked<true>(dst, src, in, result);
  return result;
}
// Where head field I of such a record lies in the head's bytes.
template <class R, std::size_t I>
constexpr std::size_t headFieldOffset() {
  static_assert(I < detail::FIRST_VARIABLE_FIELD<R>, "only a head field lies at a fixed place");
  return detail::wireOffsetOf<R, I>();
}
// A head field of such a record (one before its first text) read from the head's bytes as
// decode reads it.
template <class R, std::size_t I, class V>
void headFieldFromWire(const u8* head, V& value) {
  static_assert(I < detail::FIRST_VARIABLE_FIELD<R>, "only a head field lies at a fixed place");
  constexpr const auto& d = detail::FIELD<R, I>;
  static_assert(std::is_same_v<V, typename std::decay_t<decltype(d)>::Member>);
  detail::readFixed(head + detail::wireOffsetOf<R, I>(), value, d.check);
}
// The index in R's wire() list of the field of member m (the field count when none is).
template <class R, class M>
constexpr std::size_t wireIndexOf(M R::*m) {
  return detail::wireIndexOfMember<R>(m, detail::wireIndexes<R>());
}

namespace detail {
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
int restoreChecked(R& rec, const R& stored);

namespace detail {

// Element K of field I (an elements() array) of a restore; 1 when it was refused and differs.
template <class R, std::size_t I, std::size_t K>
REC_ALWAYS_INLINE int restoreElement(R& rec, const R& stored) {
  constexpr const auto& d = FIELD<R, I>;
  auto& de = at(rec.*(d.member), K);
  const auto& se = at(stored.*(d.member), K);
  if constexpr (IsText<std::decay_t<decltype(se)>>::value) {
    de.assignFrom(se);
  } else if constexpr (!takes(d.check, K)) {
    de = se;
  } else if (acceptElementAt<K>(d.check, se)) {
    de = se;
  } else {
    return differingValues(de, se);
  }
  return 0;
}
template <class R, std::size_t I, std::size_t... K>
REC_ALWAYS_INLINE int restoreElements(R& rec, const R& stored, std::index_sequence<K...>) {
  return (0 + ... + restoreElement<R, I, K>(rec, stored));
}

// Field I of a restore: the values refused that differ from the cold start's.
template <class R, std::size_t I>
REC_ALWAYS_INLINE int restoreField(R& rec, const R& stored) {
  constexpr const auto& d = FIELD<R, I>;
  using D = std::decay_t<decltype(d)>;
  using M = typename D::Member;
  using C = std::decay_t<decltype(d.check)>;
  auto& dv = rec.*(d.member);
  const auto& sv = stored.*(d.member);
  if constexpr (D::role == Role::Field && !std::is_same_v<C, Boolean>) {
    bool took = false;
    // Nothing refused: every value taken, none differs.
    if (mergeValue(dv, sv, d.check, true, took) == 0) return 0;
    return differingValues(dv, sv);
  } else if constexpr (D::role == Role::Elements) {
    return restoreElements<R, I>(rec, stored, std::make_index_sequence<ArrayOf<M>::size>{});
  } else if constexpr (D::role == Role::Sub && HasWire<M>) {
    return restoreChecked(dv, sv);
  } else if constexpr (D::role == Role::Sub) {
    int reset = 0;
    for (std::size_t i = 0; i < ArrayOf<M>::size; ++i) reset += restoreChecked(at(dv, i), at(sv, i));
    return reset;
  } else {
    // A boolean field (any value accepted, stored as 0 or 1) and what is never merged.
    takeStored(dv, sv, d.check);
    return 0;
  }
}
template <class R, std::size_t... I>
REC_ALWAYS_INLINE int restoreFields(R& rec, const R& stored, std::index_sequence<I...>) {
  return (0 + ... + restoreField<R, I>(rec, stored));
}

}  // namespace detail

template <class R>
int restoreChecked(R& rec, const R& stored) {
  static_assert(detail::Declaration<R>::checked);
  return detail::restoreFields(rec, stored, detail::wireIndexes<R>());
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
    // A table's entries four at a time: the loop costs as much as a store.
    constexpr std::size_t N = ArrayOf<M>::size;
    constexpr std::size_t HEAD = N - N % 4;
    auto& table = rec.*(d.member);
    for (std::size_t k = 0; k < HEAD; k += 4) {
      clearMaskWords(at(table, k));
      clearMaskWords(at(table, k + 1));
      clearMaskWords(at(table, k + 2));
      clearMaskWords(at(table, k + 3));
    }
    if constexpr (N % 4 > 0) clearMaskWords(at(table, HEAD));
    if constexpr (N % 4 > 1) clearMaskWords(at(table, HEAD + 1));
    if constexpr (N % 4 > 2) clearMaskWords(at(table, HEAD + 2));
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

namespace detail {

// Every bit a record declares (every element's included), word by word.
template <class R>
inline constexpr std::array<u32, MAX_MASK_WORDS> DECLARED_BITS = maskBitsOf<R, false>(wireIndexes<R>());

template <class R>
void setAllMaskWords(R& rec);
template <class R, std::size_t I>
REC_ALWAYS_INLINE void setAllSubMasks(R& rec) {
  constexpr const auto& d = FIELD<R, I>;
  using D = std::decay_t<decltype(d)>;
  using M = typename D::Member;
  if constexpr (D::role == Role::Sub && HasWire<M>) {
    setAllMaskWords(rec.*(d.member));
  } else if constexpr (D::role == Role::Sub) {
    for (std::size_t k = 0; k < ArrayOf<M>::size; ++k) setAllMaskWords(at(rec.*(d.member), k));
  }
}
template <class R, std::size_t... I>
REC_ALWAYS_INLINE void setAllSubMasksOf(R& rec, std::index_sequence<I...>) {
  (setAllSubMasks<R, I>(rec), ...);
}
template <class R>
void setAllMaskWords(R& rec) {
  static_assert(Declaration<R>::checked);
  if constexpr (maskWords<R>() > 0) {
    u32* m = maskWordsOf(rec);
    for (std::size_t w = 0; w < maskWords<R>(); ++w) m[w] = DECLARED_BITS<R>[w];
  }
  setAllSubMasksOf(rec, wireIndexes<R>());
}

template <class R>
bool anyMaskWord(const R& rec);
template <class R, std::size_t I>
REC_ALWAYS_INLINE bool anySubMask(const R& rec) {
  constexpr const auto& d = FIELD<R, I>;
  using D = std::decay_t<decltype(d)>;
  using M = typename D::Member;
  if constexpr (D::role == Role::Sub && HasWire<M>) {
    return anyMaskWord(rec.*(d.member));
  } else if constexpr (D::role == Role::Sub) {
    for (std::size_t k = 0; k < ArrayOf<M>::size; ++k)
      if (anyMaskWord(at(rec.*(d.member), k))) return true;
    return false;
  } else {
    return false;
  }
}
template <class R, std::size_t... I>
REC_ALWAYS_INLINE bool anySubMaskOf(const R& rec, std::index_sequence<I...>) {
  return (false || ... || anySubMask<R, I>(rec));
}
template <class R>
bool anyMaskWord(const R& rec) {
  static_assert(Declaration<R>::checked);
  if constexpr (maskWords<R>() > 0) {
    const u32* m = maskWordsOf(rec);
    u32 any = 0;
    for (std::size_t w = 0; w < maskWords<R>(); ++w) any |= m[w];
    if (any != 0) return true;
  }
  if constexpr (hasSubRecords<R>()) {
    return anySubMaskOf(rec, wireIndexes<R>());
  } else {
    return false;
  }
}

}  // namespace detail

// Every mask (sub-records included) set to all of its declared fields, as after a restore.
template <class R>
void setAllMasks(R& rec) {
  detail::setAllMaskWords(rec);
}

// True when any mask word of the record, sub-records included, is non-zero.
template <class R>
bool anyMask(const R& rec) {
  return detail::anyMaskWord(rec);
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
