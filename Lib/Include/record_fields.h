// The field descriptors of a record declaration, the value checks they carry, and the rules every
// declaration is held to at compile time.
#pragma once
#include <array>
#include <cstddef>
#include <tuple>
#include <type_traits>
#include <utility>

#include "Lib/Include/kz_types.h"
#include "Lib/Include/record_text.h"

namespace rec {

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

// For elements(): only the first `count` elements are ever taken, each by `check`; the others are
// carried on the wire and stored, but a record never changes them (nor counts them as refused).
template <class C>
struct OnlyFirst {
  std::size_t count;
  C check;
  constexpr bool takes(std::size_t index) const { return index < count; }
  template <class V>
  constexpr bool accept(V v) const { return check.accept(v); }
};

// For an array: element i checked by the i-th check (a triple of hue, saturation and luminance,
// say, each with a range of its own).
template <class... C>
struct Each {
  std::tuple<C...> checks;
  static constexpr std::size_t count = sizeof...(C);
  template <class V>
  constexpr bool acceptAt(std::size_t index, V v) const {
    bool ok = false;
    std::size_t i = 0;
    std::apply([&](const auto&... c) { ((ok = (i++ == index) ? c.accept(v) : ok), ...); }, checks);
    return index < count && ok;
  }
};

// For an array: taken whole or not at all; one element that fails `check` refuses them all.
template <class C>
struct Whole {
  C check;
  template <class V>
  constexpr bool accept(V v) const { return check.accept(v); }
  template <class V>
  constexpr bool acceptAt(std::size_t index, V v) const {
    if constexpr (requires { check.acceptAt(index, v); }) {
      return check.acceptAt(index, v);
    } else {
      return check.accept(v);
    }
  }
};

constexpr Range range(i64 lo, i64 hi) { return Range{lo, hi}; }
template <class... V>
constexpr OneOf<sizeof...(V)> oneOf(V... v) {
  return OneOf<sizeof...(V)>{{static_cast<i64>(v)...}};
}
// For an array: taken whole when `valid` accepts the array as a whole (a date whose day depends on
// its month, say), else refused whole.
template <class A>
struct WholeIf {
  bool (*valid)(const A&);
  template <class V>
  constexpr bool accept(V) const { return true; }
  constexpr bool acceptArray(const A& a) const { return valid(a); }
};

constexpr Boolean boolean() { return Boolean{}; }
template <class A>
constexpr WholeIf<A> wholeIf(bool (*valid)(const A&)) {
  return WholeIf<A>{valid};
}
template <class C>
constexpr OnlyFirst<C> onlyFirst(std::size_t count, C check) {
  return OnlyFirst<C>{count, check};
}
template <class... C>
constexpr Each<C...> each(C... checks) {
  return Each<C...>{{checks...}};
}
template <class C = Any>
constexpr Whole<C> whole(C check = {}) {
  return Whole<C>{check};
}

// ---- field descriptors -------------------------------------------------------------------------
enum class Role { Mask, Me, Channel, Plain, Field, Elements, Sub };

template <class R, class M, Role ROLE, class C = Any>
struct Desc {
  M R::*member;
  int bit;  // Field: its mask bit; Elements: the bit of element 0
  C check;
  static constexpr Role role = ROLE;
  using Member = M;
};

namespace detail {

template <class T>
concept HasWire = requires { T::wire(); };

template <class T>
struct ArrayOf {
  static constexpr bool is = false;
  static constexpr std::size_t size = 1;
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

template <class V>
constexpr bool isScalarArray() {
  if constexpr (ArrayOf<V>::is) {
    return std::is_arithmetic_v<typename ArrayOf<V>::Element>;
  } else {
    return false;
  }
}

template <class C>
struct EachCount {
  static constexpr std::size_t value = 0;
};
template <class... C>
struct EachCount<Each<C...>> {
  static constexpr std::size_t value = sizeof...(C);
};
template <class C>
struct EachCount<Whole<C>> : EachCount<C> {};

// An each() check names one check per element of the array it checks.
template <class M, class C>
constexpr bool checksFit() {
  constexpr std::size_t n = EachCount<C>::value;
  return n == 0 || (ArrayOf<M>::is && ArrayOf<M>::size == n);
}

// Element `index` of an array against its check: the element's own check under each(), else
// the one check of every element.
template <class C, class V>
constexpr bool acceptElement(const C& c, std::size_t index, const V& v) {
  if constexpr (requires { c.acceptAt(index, v); }) {
    return c.acceptAt(index, v);
  } else {
    (void)index;
    return c.accept(v);
  }
}

// The same with the element's index known when compiling: each() then picks its check without
// walking its list.
template <std::size_t I, class C, class V>
constexpr bool acceptElementAt(const C& c, const V& v) {
  if constexpr (EachCount<C>::value > 0 && requires { c.checks; }) {
    return std::get<I>(c.checks).accept(v);
  } else if constexpr (EachCount<C>::value > 0 && requires { c.check; }) {
    return acceptElementAt<I>(c.check, v);
  } else {
    return acceptElement(c, I, v);
  }
}

template <class C>
struct IsWhole : std::false_type {};
template <class C>
struct IsWhole<Whole<C>> : std::true_type {};
template <class A>
struct IsWhole<WholeIf<A>> : std::true_type {};

template <class C>
constexpr bool takes(const C& c, std::size_t index) {
  if constexpr (requires { c.takes(index); }) {
    return c.takes(index);
  } else {
    (void)c;
    (void)index;
    return true;
  }
}

}  // namespace detail

// The record's mask: one u32, or an array of u32 words when it has more than 32 bits (bit b is
// bit b % 32 of word b / 32).
template <class R, class M>
constexpr auto mask(M R::*m) {
  static_assert(std::is_same_v<M, u32> || std::is_same_v<std::remove_extent_t<M>, u32>,
                "a mask is a u32 or an array of u32");
  return Desc<R, M, Role::Mask>{m, -1, {}};
}
template <class R, class M>
constexpr auto me(M R::*m) { return Desc<R, M, Role::Me>{m, -1, {}}; }
template <class R, class M>
constexpr auto channel(M R::*m) { return Desc<R, M, Role::Channel>{m, -1, {}}; }
// Carried on the wire, never merged; with boolean() a non-zero value reads as 1.
template <class R, class M, class C = Any>
constexpr auto plain(M R::*m, C check = {}) {
  static_assert(std::is_same_v<C, Any> || std::is_same_v<C, Boolean>, "a plain field is never checked");
  return Desc<R, M, Role::Plain, C>{m, -1, check};
}
template <class R, class M, class C = Any>
constexpr auto field(int bit, M R::*m, C check = {}) {
  static_assert(detail::checksFit<M, C>(), "each() gives one check per element of the array");
  return Desc<R, M, Role::Field, C>{m, bit, check};
}
// An array whose element i has mask bit firstBit + i of its own.
template <class R, class M, class C = Any>
constexpr auto elements(int firstBit, M R::*m, C check = {}) {
  static_assert(detail::ArrayOf<M>::is, "elements() takes an array");
  static_assert(!detail::IsWhole<C>::value, "elements are taken one by one, never whole");
  static_assert(detail::checksFit<M, C>(), "each() gives one check per element of the array");
  static_assert(std::is_arithmetic_v<typename detail::ArrayOf<M>::Element> || IsText<typename detail::ArrayOf<M>::Element>::value,
                "elements() takes an array of scalars or of texts");
  return Desc<R, M, Role::Elements, C>{m, firstBit, check};
}
template <class R, class M>
constexpr auto sub(M R::*m) { return Desc<R, M, Role::Sub>{m, -1, {}}; }

template <class... D>
constexpr auto list(D... d) { return std::tuple<D...>{d...}; }

// ---- rules of a declaration --------------------------------------------------------------------
namespace detail {

inline constexpr std::size_t MAX_MASK_WORDS = 2;

template <class D>
constexpr std::size_t bitsSpanned() {
  if constexpr (D::role == Role::Field) return 1;
  if constexpr (D::role == Role::Elements) return ArrayOf<typename D::Member>::size;
  return 0;
}

// The rules look at the descriptor types of the list (and at the bits it holds) through index
// sequences rather than generic lambdas, which some compilers cannot evaluate here.
template <class R>
using WireList = std::decay_t<decltype(R::wire())>;
template <class R>
constexpr auto wireIndexes() {
  return std::make_index_sequence<std::tuple_size_v<WireList<R>>>{};
}

template <class D>
constexpr int maskCount() {
  return D::role == Role::Mask ? 1 : 0;
}
template <class D>
constexpr std::size_t maskWordCount() {
  if constexpr (D::role == Role::Mask) return ArrayOf<typename D::Member>::size;
  return 0;
}

template <class R, std::size_t... I>
constexpr int maskDescriptorsOf(std::index_sequence<I...>) {
  return (0 + ... + maskCount<std::tuple_element_t<I, WireList<R>>>());
}
template <class R>
constexpr int maskDescriptors() {
  return maskDescriptorsOf<R>(wireIndexes<R>());
}

template <class R, std::size_t... I>
constexpr std::size_t maskWordsOf(std::index_sequence<I...>) {
  return (std::size_t{0} + ... + maskWordCount<std::tuple_element_t<I, WireList<R>>>());
}
// The number of u32 words of the record's mask (0 when it has none).
template <class R>
constexpr std::size_t maskWords() {
  return maskWordsOf<R>(wireIndexes<R>());
}

template <class R, std::size_t... I>
constexpr bool hasMaskedFieldsOf(std::index_sequence<I...>) {
  return (false || ... || (bitsSpanned<std::tuple_element_t<I, WireList<R>>>() > 0));
}
template <class R>
constexpr bool hasMaskedFields() {
  return hasMaskedFieldsOf<R>(wireIndexes<R>());
}

template <class R, std::size_t... I>
constexpr bool hasSubRecordsOf(std::index_sequence<I...>) {
  return (false || ... || (std::tuple_element_t<I, WireList<R>>::role == Role::Sub));
}
// Whether the record nests sub-records (with masks of their own).
template <class R>
constexpr bool hasSubRecords() {
  return hasSubRecordsOf<R>(wireIndexes<R>());
}

template <class D>
constexpr bool claimBits(int first, std::array<bool, 32 * MAX_MASK_WORDS>& used, int limit) {
  constexpr int n = static_cast<int>(bitsSpanned<D>());
  for (int i = 0; i < n; ++i) {
    const int b = first + i;
    if (b < 0 || b >= limit || used[static_cast<std::size_t>(b)]) return false;
    used[static_cast<std::size_t>(b)] = true;
  }
  return true;
}
template <class R, std::size_t... I>
constexpr bool maskBitsUniqueOf(std::index_sequence<I...>) {
  constexpr WireList<R> list = R::wire();
  std::array<bool, 32 * MAX_MASK_WORDS> used{};
  const int limit = static_cast<int>(32 * maskWords<R>());
  return (true && ... && claimBits<std::tuple_element_t<I, WireList<R>>>(std::get<I>(list).bit, used, limit));
}
// Every bit (an elements() range bit by bit) inside the mask and used once.
template <class R>
constexpr bool maskBitsUnique() {
  return maskBitsUniqueOf<R>(wireIndexes<R>());
}

template <class V>
struct SubRecord {
  using type = V;
};
template <class E, std::size_t N>
struct SubRecord<E[N]> {
  using type = E;
};
template <class V>
using SubRecordOf = typename SubRecord<V>::type;

template <class D>
constexpr bool subRecordMasked() {
  if constexpr (D::role == Role::Sub) {
    using S = SubRecordOf<typename D::Member>;
    if constexpr (HasWire<S>) return maskDescriptors<S>() == 1;
  }
  return true;
}
template <class R, std::size_t... I>
constexpr bool subRecordsMaskedOf(std::index_sequence<I...>) {
  return (true && ... && subRecordMasked<std::tuple_element_t<I, WireList<R>>>());
}
// A sub-record merges by its own mask, so it must have one.
template <class R>
constexpr bool subRecordsMasked() {
  return subRecordsMaskedOf<R>(wireIndexes<R>());
}

// Instantiated by every operation on a record, so that a declaration that breaks a rule does not
// compile.
template <class R>
struct Declaration {
  static_assert(maskDescriptors<R>() <= 1, "a record declares one mask");
  static_assert(maskDescriptors<R>() == 1 || !hasMaskedFields<R>(), "a record with mask bits declares its mask");
  static_assert(subRecordsMasked<R>(), "a sub-record declares its mask");
  static_assert(maskWords<R>() <= MAX_MASK_WORDS, "a mask has at most two words");
  static_assert(maskBitsUnique<R>(), "the mask bits of a record are unique and below 32 for each mask word");
  static constexpr bool checked = true;
};

}  // namespace detail

}  // namespace rec
