// Every ranged field of every record, tried at its edges through the checked merge that a received
// record goes through. The limits expected are written out below, one line per field, so that a
// limit moved in a declaration shows up as a difference rather than being read back from it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "Lib/Include/record.h"
#include "Main/bkgd.h"
#include "Main/bus.h"
#include "Main/bus_status.h"
#include "Main/button_event_record.h"
#include "Main/buttoninhibit.h"
#include "Main/chrkey.h"
#include "Main/clip.h"
#include "Main/cp_config.h"
#include "Main/custominfo.h"
#include "Main/dsk.h"
#include "Main/escaped_text.h"
#include "Main/faderevent.h"
#include "Main/gpi.h"
#include "Main/image.h"
#include "Main/initial_status.h"
#include "Main/initialize.h"
#include "Main/inputvideo.h"
#include "Main/key.h"
#include "Main/keypreset.h"
#include "Main/led.h"
#include "Main/maintenance.h"
#include "Main/menulock.h"
#include "Main/mf_config.h"
#include "Main/operate.h"
#include "Main/peripheral.h"
#include "Main/plugin.h"
#include "Main/shotmem.h"
#include "Main/sourcelink.h"
#include "Main/sourcename.h"
#include "Main/stillmemory.h"
#include "Main/system.h"
#include "Main/tally.h"
#include "Main/testmode.h"
#include "Main/usk.h"
#include "Main/xpt.h"

namespace {

// ---- the limits as the record tables give them -------------------------------------------------
// A field's accepted values as inclusive spans (one for a range, several for a value list); for a
// checked text, the span of its length (0..capacity). A field is named by the struct that
// declares it (a sub-record shared by several records is listed once) and its member; [i] picks
// element i of an array whose elements have limits of their own.
struct Span {
  i64 lo, hi;
  bool operator==(const Span&) const = default;
};

struct Limit {
  std::string key;
  std::vector<Span> allowed;
  Limit(std::string_view owner, std::string_view field, i64 lo, i64 hi)
      : key(std::string(owner) + "." + std::string(field)), allowed{{lo, hi}} {}
  Limit(std::string_view owner, std::string_view field, std::vector<Span> spans)
      : key(std::string(owner) + "." + std::string(field)), allowed(std::move(spans)) {}
};

// The characters the text rule lets stand unescaped at the end of a text.
constexpr Span kPrintable{0x20, 0x7E};

const std::vector<Limit>& limits() {
  static const std::vector<Limit> table = {
    // Keyers, and the sub-records that downstream keys share with them.
    {"KeyStyle", "keyType", 0, 3}, {"KeyStyle", "secondGain", 0, 1}, {"KeyStyle", "invertFlag", 0, 1},
    {"KeyStyle", "styleFlag4", 0, 1}, {"KeyStyle", "modeFlag", 0, 1},
    {"KeyAdjust", "clip", 0, 1080}, {"KeyAdjust", "gain", 0, 2000}, {"KeyAdjust", "density", 0, 1000},
    {"KeyAdjust", "invert", 0, 1},
    {"KzifKey", "matte1[0]", 0, 3599}, {"KzifKey", "matte1[1]", 0, 1000}, {"KzifKey", "matte1[2]", 0, 1080},
    {"KeyEdge", "type", 0, 4}, {"KeyEdge", "width", 0, 4}, {"KeyEdge", "direction", 0, 7}, {"KeyEdge", "softness", 0, 3},
    {"KeyEdge", "fill", 0, 2},
    {"KzifKey", "matte2[0]", 0, 3599}, {"KzifKey", "matte2[1]", 0, 1000}, {"KzifKey", "matte2[2]", 0, 1080},
    {"KeyMask", "mode", 0, 2}, {"KeyMask", "flagA", 0, 1}, {"KeyMask", "flagB", 0, 1},
    {"KzifKey", "boxEdges", -5000, 5000}, {"KzifKey", "shapeOn", 0, 1}, {"KzifKey", "shapeSoftness", 0, 1000},
    {"KzifKey", "matte3[0]", 0, 3599}, {"KzifKey", "matte3[1]", 0, 1000}, {"KzifKey", "matte3[2]", 0, 1080},
    {"KzifKey", "shape[0]", -5000, 5000}, {"KzifKey", "shape[1]", -5000, 5000}, {"KzifKey", "shape[2]", 0, 10000},
    {"KzifKey", "shape[3]", 0, 10000},
    {"KzifKey", "transKind", 0, 1}, {"KzifKey", "dveMatte", 0, 1}, {"KzifKey", "dveMattePattern", 0, 4},
    {"KeyDveBorder", "on", 0, 1}, {"KeyDveBorder", "width", 1, 1000}, {"KeyDveBorder", "value", 0, 1000},
    {"KzifKey", "dveFlag1", 0, 1},
    {"KzifKey", "matte4[0]", 0, 3599}, {"KzifKey", "matte4[1]", 0, 1000}, {"KzifKey", "matte4[2]", 0, 1080},
    {"KzifKey", "dveLocation", -10000, 10000}, {"KzifKey", "dveSize", 0, 40000},  // keys 3-4: assign's own 0..10000
    {"KzifKey", "dveTriple1", -5000, 5000}, {"KzifKey", "dveValue2", 0, 10000},
    {"KzifKey", "dveRotation", -28800, 28800},
    {"KeyPair16", "aspectA", 5000, 10000}, {"KeyPair16", "aspectB", 5000, 10000},  // a 0 is settled by assign
    {"KzifKey", "dveTriple2", -5000, 5000}, {"KzifKey", "dveValue3", -100, 100}, {"KzifKey", "dveValue4", 0, 65},
    {"KeyDveCrop", "mode", 0, 2}, {"KeyDveCrop", "link", 0, 1},
    {"KzifKey", "dveValue5", -5000, 5000}, {"KzifKey", "cropEdges", -5000, 5000},
    {"KzifKey", "dveLinkKey", 0, 4}, {"KzifKey", "dveLinkMode", 0, 3}, {"KzifKey", "dveTriple3", -10000, 10000},
    {"KzifKey", "dveValue6", 0, 40000}, {"KzifKey", "dveTriple4", -720, 720},
    {"KeyDvePair", "value1", -999, 999}, {"KeyDvePair", "value2", -999, 999},
    {"KzifKey", "dveTriple5", -5000, 5000},
    {"KeyTransSetting", "flag", 0, 1}, {"KeyTransSetting", "type", 0, 1}, {"KeyTransSetting", "value", 0, 999},
    {"KzifKey", "transLink", 0, 1},
    {"KzifKey", "settingBSelected", 0, 1},  // never taken from a record (assign drops it); judges a stored value
    {"KzifKey", "auxFlag1", 0, 1}, {"KzifKey", "dveTransMode", 0, 2},
    {"KzifKey", "fly34StartA", -10000, 10000}, {"KzifKey", "fly34StartB", -10000, 10000}, {"KzifKey", "fly34UseA", 0, 1},
    {"KzifKey", "fly12StartA", -10000, 10000}, {"KzifKey", "fly12StartB", -10000, 10000}, {"KzifKey", "fly12UseA", 0, 1},
    {"KzifKey", "dveTriple6", -40, 40},
    {"ModifySetting", "on", 0, 1}, {"ModifySetting", "value1", 0, 1000}, {"ModifySetting", "value2", 0, 1000},
    {"ModifySetting", "angle", -45, 45},
    {"KzifKey", "dveTriple7", -40, 40}, {"KzifKey", "dveTriple8", -40, 40}, {"KzifKey", "auxFlag2", 0, 1},
    {"KzifKey", "dveTriple9", -500, 500},
    {"LinkedPair", "first", 0, 3}, {"LinkedPair", "second", 0, 3}, {"LinkedPair", "linked", 0, 1},
    {"RangePair", "on", 0, 1}, {"RangePair", "value1", 0, 10000}, {"RangePair", "value2", 0, 10000},
    {"RangePair", "offset", -50, 50},
    {"KzifKey", "priority", 0, 3}, {"KzifKey", "group", 0, 1}, {"KzifKey", "auxValue", 0, 32},
    {"KeyFlags", "flag1", 0, 1}, {"KeyFlags", "flag2", 0, 1}, {"KeyFlags", "flag3", 0, 1},
    {"KzifKey", "keyOn", 0, 1}, {"KzifKey", "stateFlag", 0, 1}, {"KzifKey", "transStopped", 0, 1},
    {"KzifKey", "inTransition", 0, 1},
    {"KeyDveTail", "value1", 0, 1}, {"KeyDveTail", "value2", 0, 1}, {"KeyDveTail", "value3", 0, 4},
    // Downstream keys.
    {"DskStyle", "keyType", 0, 1}, {"DskStyle", "secondGain", 0, 1}, {"DskStyle", "invertFlag", 0, 1},
    {"DskStyle", "styleFlag4", 0, 1}, {"DskStyle", "modeFlag", 0, 1},
    {"KzifDsk", "matteColor[0]", 0, 3599}, {"KzifDsk", "matteColor[1]", 0, 1000}, {"KzifDsk", "matteColor[2]", 0, 1080},
    {"DskEdge", "type", 0, 4}, {"DskEdge", "width", 0, 4}, {"DskEdge", "direction", 0, 7}, {"DskEdge", "softness", 0, 3},
    {"DskEdge", "fill", 0, 12},
    {"KzifDsk", "edgeColor[0]", 0, 3599}, {"KzifDsk", "edgeColor[1]", 0, 1000}, {"KzifDsk", "edgeColor[2]", 0, 1080},
    {"KzifDsk", "boxEdges", -5000, 5000},
    {"DskTransSetting", "timed", 0, 1}, {"DskTransSetting", "type", 0, 0}, {"DskTransSetting", "rate", 0, 999},
    {"KzifDsk", "transitionLink", 0, 1},
    {"KzifDsk", "reverse", 0, 1},  // never taken from a record (assign drops it); judges a stored value
    {"KzifDsk", "priority", 0, 3}, {"KzifDsk", "gang", 0, 1}, {"KzifDsk", "keyOn", 0, 1},
    {"KzifDsk", "transStopped", 0, 1}, {"KzifDsk", "inTransition", 0, 1},
    // Chroma key.
    {"KzifChromaKey", "level", 0, 3}, {"KzifChromaKey", "levelOffset", -40, 40}, {"KzifChromaKey", "sampleKey", 0, 4},
    {"KzifChromaKey", "chromaMode", 0, 3}, {"KzifChromaKey", "option", 0, 14},
    {"KzifChromaKey", "samplePosition", -10000, 10000}, {"KzifChromaKey", "sampleSize", 100, 10000},
    {"KzifChromaKey", "adjustments", -1000, 1000},
    // GPI: numbered tables and the GPI code set.
    {"GpiEntry<GpiNumberCheck>", "value", 0, 245}, {"GpiEntry<GpiNumberCheck>", "option", 0, 3},
    {"GpiEntry<GpiCodeCheck>", "value",
     {{0, 315}, {400, 615}, {700, 915}, {1000, 1215}, {1300, 1319}, {1400, 1479}, {1500, 1511}, {1600, 1611},
      {1700, 1711}, {1800, 1811}}},
    {"GpiEntry<GpiCodeCheck>", "option", 0, 3},
    // Rows of the buses, crosspoints, transitions, upstream keys, image and the mainframe set-up.
#include "record_ranges_rows_a.inc"
    // Rows of clips, stills, panel configuration, maintenance, peripherals, plug-ins and names.
#include "record_ranges_rows_b.inc"
  };
  return table;
}

// ---- what the declarations say -----------------------------------------------------------------

// The compiler's spelling of a pointer to a member: "Owner::member".
template <auto P>
constexpr std::string_view qualifiedMember() {
  std::string_view f = __PRETTY_FUNCTION__;
  f = f.substr(f.find("P = &") + 5);
  return f.substr(0, f.find_first_of(";]"));
}
template <auto P>
constexpr std::string_view memberName() {
  const std::string_view q = qualifiedMember<P>();
  return q.substr(q.rfind("::") + 2);
}

std::vector<Span> spansOf(std::vector<i64> values) {
  std::sort(values.begin(), values.end());
  std::vector<Span> spans;
  for (i64 v : values) {
    if (!spans.empty() && spans.back().hi + 1 >= v) spans.back().hi = std::max(spans.back().hi, v);
    else spans.push_back({v, v});
  }
  return spans;
}

template <class C>
struct CheckTraits {
  static constexpr bool ranged = true;  // a check of its own, seen only through what it accepts
  static std::optional<std::vector<Span>> spans(const C&, std::size_t) { return std::nullopt; }
};
template <>
struct CheckTraits<rec::Any> {
  static constexpr bool ranged = false;
};
template <>
struct CheckTraits<rec::Boolean> {
  static constexpr bool ranged = false;
};
template <class A>
struct CheckTraits<rec::WholeIf<A>> {
  static constexpr bool ranged = false;  // a rule over the parts together, not a range of each
};
template <>
struct CheckTraits<rec::Range> {
  static constexpr bool ranged = true;
  static std::optional<std::vector<Span>> spans(const rec::Range& c, std::size_t) { return std::vector<Span>{{c.lo, c.hi}}; }
};
template <std::size_t N>
struct CheckTraits<rec::OneOf<N>> {
  static constexpr bool ranged = true;
  static std::optional<std::vector<Span>> spans(const rec::OneOf<N>& c, std::size_t) {
    return spansOf(std::vector<i64>(c.values.begin(), c.values.end()));
  }
};
template <class C>
struct CheckTraits<rec::Whole<C>> {
  static constexpr bool ranged = CheckTraits<C>::ranged;
  static std::optional<std::vector<Span>> spans(const rec::Whole<C>& c, std::size_t i) { return CheckTraits<C>::spans(c.check, i); }
};
template <class C>
struct CheckTraits<rec::OnlyFirst<C>> {
  static constexpr bool ranged = CheckTraits<C>::ranged;
  static std::optional<std::vector<Span>> spans(const rec::OnlyFirst<C>& c, std::size_t i) {
    return CheckTraits<C>::spans(c.check, i);
  }
};
template <class... C>
struct CheckTraits<rec::Each<C...>> {
  static constexpr bool ranged = true;
  static std::optional<std::vector<Span>> spans(const rec::Each<C...>& c, std::size_t i) {
    std::optional<std::vector<Span>> out;
    std::size_t k = 0;
    std::apply([&](const auto&... each) {
      ((k++ == i ? (out = CheckTraits<std::decay_t<decltype(each)>>::spans(each, 0), 0) : 0), ...);
    }, c.checks);
    return out;
  }
};

template <class C>
struct IsEach : std::false_type {};
template <class... C>
struct IsEach<rec::Each<C...>> : std::true_type {};
template <class C>
struct IsEach<rec::Whole<C>> : IsEach<C> {};

// ---- probing a field through the checked merge -------------------------------------------------

template <class Top>
struct Site {
  std::string path;     // the table's key
  std::string where;    // the same with the sub-record and element index, for messages
  std::optional<std::vector<Span>> declared;  // nullopt: a check that names no limits
  bool text = false;
  i64 typeLo = 0, typeHi = 0;
  // Puts `v` into this field of a record, as the live value the probes start from.
  std::function<void(Top&, i64)> setLive;
  // Merges a change record carrying only this field, set to `v`, into a copy of `live`, and checks
  // the outcome against `taken`.
  std::function<void(const Top&, i64, bool)> probe;
};

template <class T>
void copyBytes(T& dst, const T& src) {
  std::memcpy(static_cast<void*>(&dst), &src, sizeof(T));
}

template <class S>
void markBit(S& s, int bit) {
  u32* words = rec::detail::maskWordsOf(s);
  ASSERT_NE(words, nullptr);
  words[bit / 32] |= 1u << (bit % 32);
}

template <class Top>
std::string describe(const Site<Top>& site, i64 v) {
  return std::string(Top::NAME) + "." + site.where + " = " + std::to_string(v);
}

template <class Top>
class Walker {
 public:
  std::vector<Site<Top>> sites;

  void walkTop() {
    walk<Top>([](Top& t) -> Top& { return t; }, "", "");
  }

 private:
  template <class S>
  using At = std::function<S&(Top&)>;

  template <class S>
  void walk(At<S> at, const std::string& path, const std::string& where) {
    walkList<S>(at, path, where, rec::detail::wireIndexes<S>());
  }

  template <class S, std::size_t... I>
  void walkList(At<S> at, const std::string& path, const std::string& where, std::index_sequence<I...>) {
    (visit<S, I>(at, path, where), ...);
  }

  template <class S, std::size_t I>
  void visit(At<S> at, const std::string& path, const std::string& where) {
    constexpr auto d = std::get<I>(rec::detail::WIRE_LIST<S>);
    using D = std::decay_t<decltype(d)>;
    using M = typename D::Member;
    using C = std::decay_t<decltype(d.check)>;
    const std::string name(memberName<d.member>());
    const std::string_view q = qualifiedMember<d.member>();
    // The table's key: the struct that declares the member (a sub-record's own name where it is
    // shared), without a namespace.
    std::string owner(q.substr(0, q.rfind("::")));
    if (owner.rfind("internal::", 0) == 0) owner.erase(0, 10);
    // A sub-record whose template carries its checks is named by where it lies instead.
    const std::string key = owner.find('{') == std::string::npos ? owner + "." + name : std::string(Top::NAME) + "." + path + name;
    if constexpr (D::role == rec::Role::Sub) {
      using A = rec::detail::ArrayOf<M>;
      if constexpr (A::is) {
        using E = typename A::Element;
        // The first and the last of a table of sub-records: enough to see the index reach them.
        for (std::size_t i : {std::size_t{0}, A::size - 1}) {
          walk<E>([at, i](Top& t) -> E& { return (at(t).*(d.member))[i]; }, path + name + ".",
                  where + name + "[" + std::to_string(i) + "].");
          if (A::size == 1) break;
        }
      } else {
        walk<M>([at](Top& t) -> M& { return at(t).*(d.member); }, path + name + ".", where + name + ".");
      }
    } else if constexpr (D::role == rec::Role::Field || D::role == rec::Role::Elements) {
      if constexpr (rec::IsText<M>::value) {
        if constexpr (CheckTraits<C>::ranged) addText<S, M, C>(at, d.member, d.check, d.bit, key, where + name);
      } else if constexpr (CheckTraits<C>::ranged) {
        using A = rec::detail::ArrayOf<M>;
        if constexpr (A::is) {
          for (std::size_t i = 0; i < A::size; ++i) {
            if (!rec::detail::takes(d.check, i)) continue;
            const int bit = D::role == rec::Role::Elements ? d.bit + static_cast<int>(i) : d.bit;
            // Only an array taken value by value takes its other elements when one is refused.
            const bool othersTaken = D::role == rec::Role::Field && !rec::detail::IsWhole<C>::value && A::size > 1;
            const std::string idx = "[" + std::to_string(i) + "]";
            addScalar<S, M, typename A::Element>(at, d.member, static_cast<int>(i), bit, othersTaken,
                                                CheckTraits<C>::spans(d.check, i),
                                                key + (IsEach<C>::value ? idx : ""), where + name + idx);
          }
        } else {
          addScalar<S, M, M>(at, d.member, -1, d.bit, false, CheckTraits<C>::spans(d.check, 0), key, where + name);
        }
      }
    }
  }

  template <class M, class E>
  static E& element(M& m, int i) {
    if constexpr (rec::detail::ArrayOf<M>::is) {
      return m[i];
    } else {
      (void)i;
      return m;
    }
  }

  template <class S, class M, class E>
  void addScalar(At<S> at, M S::*member, int index, int bit, bool othersTaken, std::optional<std::vector<Span>> declared,
                 std::string path, std::string where) {
    Site<Top> site;
    site.path = std::move(path);
    site.where = std::move(where);
    site.declared = std::move(declared);
    if constexpr (std::is_floating_point_v<E>) {
      site.typeLo = std::numeric_limits<i64>::min();
      site.typeHi = std::numeric_limits<i64>::max();
    } else {
      site.typeLo = static_cast<i64>(std::numeric_limits<E>::lowest());
      site.typeHi = static_cast<i64>(std::numeric_limits<E>::max());
    }
    site.setLive = [at, member, index](Top& t, i64 v) { element<M, E>(at(t).*member, index) = static_cast<E>(v); };
    site.probe = [at, member, index, bit, othersTaken, where = site.where](const Top& live, i64 v, bool taken) {
      Top src, dst, want;
      copyBytes(src, live);
      rec::clearMasks(src);
      copyBytes(dst, src);
      copyBytes(want, src);
      element<M, E>(at(src).*member, index) = static_cast<E>(v);
      markBit(at(src), bit);
      if (taken) element<M, E>(at(want).*member, index) = static_cast<E>(v);
      if (taken || othersTaken) markBit(at(want), bit);
      const rec::MergeResult r = rec::merge(dst, src);
      const std::string what = std::string(Top::NAME) + "." + where + " = " + std::to_string(v);
      const E got = element<M, E>(at(dst).*member, index);
      const E expected = element<M, E>(at(want).*member, index);
      EXPECT_EQ(got, expected) << what << (taken ? " must be taken" : " must be refused");
      EXPECT_EQ(std::memcmp(&dst, &want, sizeof(Top)), 0) << what << ": the record differs elsewhere";
      EXPECT_EQ(r.droppedValues, taken ? 0 : 1) << what;
      if constexpr (std::is_same_v<S, Top>) {
        EXPECT_EQ(r.droppedBits, taken ? u64{0} : u64{1} << bit) << what;
      }
    };
    sites.push_back(std::move(site));
  }

  template <class S, class M, class C>
  void addText(At<S> at, M S::*member, C check, int bit, std::string path, std::string where) {
    (void)check;
    Site<Top> site;
    site.path = std::move(path);
    site.where = std::move(where);
    site.text = true;
    site.declared = std::vector<Span>{{0, static_cast<i64>(M::capacity)}};
    site.setLive = [](Top&, i64) {};
    // v: the last character of a text that fills the table's capacity, or -1 for a negative
    // length (no characters). The capacity itself is compared with the declaration's.
    site.probe = [at, member, bit, where = site.where](const Top& live, i64 v, bool taken) {
      Top src, dst, want;
      copyBytes(src, live);
      rec::clearMasks(src);
      copyBytes(dst, src);
      copyBytes(want, src);
      M& text = at(src).*member;
      std::memset(text.chars, 0, M::storage);
      if (v < 0) {
        text.length = -1;
      } else {
        std::memset(text.chars, 'a', M::capacity);
        text.chars[M::capacity - 1] = static_cast<char>(v);
        text.length = static_cast<i16>(M::capacity);
      }
      markBit(at(src), bit);
      if (taken) {
        (at(want).*member).assignFrom(text);
        markBit(at(want), bit);
      }
      const rec::MergeResult r = rec::merge(dst, src);
      const std::string what = std::string(Top::NAME) + "." + where + (v < 0 ? " of negative length" : " ending in char " + std::to_string(v));
      EXPECT_EQ(std::memcmp(&dst, &want, sizeof(Top)), 0) << what << (taken ? " must be taken" : " must be refused");
      EXPECT_EQ(r.droppedValues, taken ? 0 : 1) << what;
      if constexpr (std::is_same_v<S, Top>) {
        EXPECT_EQ(r.droppedBits, taken ? u64{0} : u64{1} << bit) << what;
      }
    };
    sites.push_back(std::move(site));
  }
};

template <class R>
class RecordRanges : public ::testing::Test {};

using AllRecords = ::testing::Types<
    KzifBkgd, KzifBus, KzifBusStatus, internal::KzifButtonEvent, KzifButtonInhibit, KzifChromaKey, KzifChromaKeyCmd,
    KzifClipPlay, KzifClipRec, KzifClipRegister, KzifClipStatus, KzifClipPlayCmd, KzifClipRecCmd, KzifClipRegisterCmd,
    KzifControlPanelConfig, internal::KzifCustomInfo, KzifDsk, KzifGpiInOut, KzifImage, internal::KzifInitialStatus,
    KzifInputVideo, KzifExtendedDisplay, KzifKey, KzifKeyCmd, KzifKeyPreset, internal::KzifLed,
    internal::KzifMeLed, KzifMaintenance, KzifMaintenanceCmd, KzifConfigMenuLock, KzifMainframeConfig, KzifOperate,
    KzifPeripheral, KzifPlugin, KzifPluginStatus, KzifShotMemoryStatus, KzifSourceLink, KzifSourceName,
    KzifStillMemory, KzifStillStatus, KzifStillMemoryCmd, KzifSystem, KzifBusTally, KzifSourceTally, KzifTest,
    KzifUpStreamKey, KzifUpStreamKeyAssign, KzifXptAssign>;

struct RecordName {
  template <class R>
  static std::string GetName(int) {
    return R::NAME;
  }
};
TYPED_TEST_SUITE(RecordRanges, AllRecords, RecordName);

// The records whose every ranged field has its row; the others are not probed yet.
bool tabled(std::string_view record) {
  constexpr std::string_view kTabled[] = {
      "KzifKey", "KzifDsk", "KzifChromaKey", "KzifGpiInOut",
#include "record_ranges_tabled_a.inc"
#include "record_ranges_tabled_b.inc"
  };
  return std::find(std::begin(kTabled), std::end(kTabled), record) != std::end(kTabled);
}

const Limit* rowFor(const std::string& key) {
  for (const Limit& l : limits())
    if (l.key == key) return &l;
  return nullptr;
}

bool allows(const std::vector<Span>& spans, i64 v) {
  return std::any_of(spans.begin(), spans.end(), [v](const Span& s) { return s.lo <= v && v <= s.hi; });
}

std::string spansText(const std::vector<Span>& spans) {
  std::string t;
  for (const Span& s : spans) t += (t.empty() ? "" : ", ") + std::to_string(s.lo) + ".." + std::to_string(s.hi);
  return t;
}

// Each ranged field alone, in a change record that carries only its mask bit, merged into a live
// record that holds a valid value everywhere: the lowest and highest of each span taken, the
// values just outside refused and counted, the rest of the record as it was.
TYPED_TEST(RecordRanges, EveryRangeTakesItsEdgesAndRefusesBeyond) {
  using R = TypeParam;
  Walker<R> w;
  w.walkTop();
  if (!w.sites.empty() && !tabled(R::NAME)) GTEST_SKIP() << R::NAME << ": its limits are not in the table yet";
  R live;
  std::memset(static_cast<void*>(&live), 0, sizeof(R));
  std::vector<const Limit*> rows;
  for (const auto& site : w.sites) {
    const Limit* row = rowFor(site.path);
    rows.push_back(row);
    if (row == nullptr) {
      ADD_FAILURE() << R::NAME << "." << site.where << ": no row for " << site.path << " (declared "
                    << (site.declared ? spansText(*site.declared) : "by its own check") << ")";
      continue;
    }
    if (site.declared && *site.declared != row->allowed) {
      ADD_FAILURE() << R::NAME << "." << site.where << ": declared " << spansText(*site.declared) << ", the table says "
                    << spansText(row->allowed);
    }
    // A field that takes no received value at all keeps the zero of a fresh record.
    if (row->allowed.empty()) continue;
    const Span& first = row->allowed.front();
    if (!site.text) site.setLive(live, first.lo + (first.hi - first.lo) / 2);
  }
  EXPECT_EQ(rec::refusedValues(live), 0) << "the live record must be valid";
  for (std::size_t i = 0; i < w.sites.size(); ++i) {
    const auto& site = w.sites[i];
    if (rows[i] == nullptr) continue;
    if (site.text) {
      for (i64 v : {i64{-1}, kPrintable.lo - 1, kPrintable.lo, kPrintable.hi, kPrintable.hi + 1})
        site.probe(live, v, v >= 0 && allows({kPrintable}, v));
      continue;
    }
    if (rows[i]->allowed.empty()) {
      for (i64 v : {i64{0}, i64{1}}) site.probe(live, v, false);
      continue;
    }
    for (const Span& span : rows[i]->allowed) {
      for (i64 v : {span.lo - 1, span.lo, span.hi, span.hi + 1}) {
        if (v < site.typeLo || v > site.typeHi) continue;
        site.probe(live, v, allows(rows[i]->allowed, v));
      }
    }
  }
}

template <class... R>
std::vector<std::string> declaredKeys(::testing::Types<R...>*) {
  std::vector<std::string> keys;
  auto add = [&keys](auto* record) {
    Walker<std::remove_pointer_t<decltype(record)>> w;
    w.walkTop();
    for (const auto& site : w.sites) keys.push_back(site.path);
  };
  (add(static_cast<R*>(nullptr)), ...);
  return keys;
}

TEST(RecordRangesTable, EveryRowNamesADeclaredRange) {
  const std::vector<std::string> keys = declaredKeys(static_cast<AllRecords*>(nullptr));
  for (const Limit& l : limits()) {
    EXPECT_NE(std::find(keys.begin(), keys.end(), l.key), keys.end()) << l.key << " is not a ranged field of any record";
    EXPECT_EQ(std::count_if(limits().begin(), limits().end(), [&l](const Limit& o) { return o.key == l.key; }), 1) << l.key;
  }
}

}  // namespace
