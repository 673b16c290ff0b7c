// The source names through the wire: the record's bytes (echo, stored, backup image), the name
// rule, the labels the multiview shows and their refresh from the custom information.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <random>
#include <string>
#include <tuple>

#include "Common/assert.h"
#include "Main/bp.h"
#include "Main/custominfo.h"
#include "Main/multiview.h"
#include "Main/sourcename.h"
#include "Platform/platform.h"
#include "tests/record_hex.h"

using category::CategoryButtonSourceName;
using category::CategoryMultiView;

namespace {

// A name on the wire: its length (as given, or that of the text) and the characters with a zero.
std::string name(const std::string& s, int length = -1) {
  std::string h = hexBytes(length < 0 ? static_cast<int>(s.size()) : length, 2);
  for (char c : s) h += hexBytes(static_cast<u8>(c), 1);
  return h + "00";
}

std::string body(u32 mask, int ch, int buttonMode = 0, const std::string& button = name(""), int attribute = 0,
                 int mvMode = 0, const std::string& mv = name("")) {
  return hexBytes(mask, 4) + hexBytes(ch, 2) + hexBytes(buttonMode, 1) + button + hexBytes(attribute, 1) +
         hexBytes(mvMode, 1) + mv;
}

std::string hexOfEntry(const void* p) {
  std::string h;
  for (std::size_t i = 0; i < sizeof(KzifSourceName); ++i) h += hexBytes(static_cast<const u8*>(p)[i], 1);
  return h;
}

class SourceNameTest : public SimTest {
 protected:
  Lines send(const std::string& b) { return only(run({("send 39 " + b).c_str(), "field"}), "msg 39"); }
  static const KzifSourceName& stored(int c) { return CategoryButtonSourceName::get().data(c); }
  static std::string label(int v) { return CategoryMultiView::get().output(7).labels[static_cast<std::size_t>(v)].text.chars; }
};

TEST_F(SourceNameTest, RecordBytesOnTheWireInMemoryAndInTheBackupImage) {
  // Channel 130 (still 1 video): both names, attribute 7, the label from the second name.
  const std::string in = body(0x1f, 130, 1, name("Cam 1"), 7, 1, name("Wide"));
  EXPECT_EQ(in, "0000001f00820100054361" "6d20310007010004576964" "6500");
  EXPECT_EQ(send(in), Lines{"msg 39 " + in});
  const std::string entry = "0000000082000100050043616d2031" "000000000000000000" "0701" "0400" "57696465" "000000000000000000" "00" "0000";
  EXPECT_EQ(hexOfEntry(&stored(130)), entry);
  EXPECT_EQ(label(155), "Wide");

  // Channels 0..31 and 128..223 are entries 0..127 of the image: channel 130 is entry 34, and the
  // name of SDI input 41 (channel 40) is not kept.
  send(body(0x10, 40, 0, name(""), 0, 0, name("Studio")));
  u8* nv = platform::nvWindow() + BP::instance().shareOffset(KzifSourceName::TYPE_ID, 0);
  EXPECT_EQ(hexOfEntry(nv + 34 * sizeof(KzifSourceName)), entry);
  for (int e = 0; e < CategoryButtonSourceName::N_BACKED_UP; ++e) {
    const int channel = e == 34 ? 130 : nv[e * sizeof(KzifSourceName) + 4];
    EXPECT_EQ(channel, e < 32 ? e : e + 96) << e;
  }

  // A resume reports the kept channels with every field marked, each stamped with its own channel
  // whatever the image says.
  nv[34 * sizeof(KzifSourceName) + 4] = 7;
  run({"restart resume"});
  EXPECT_EQ(stored(130).channel, 130);
  const Lines out = only(run({"field"}), "msg 39");
  EXPECT_EQ(out.size(), 128u);
  EXPECT_EQ(out.at(34), "msg 39 " + in);
  EXPECT_EQ(std::string(stored(40).mvName.chars), "");
  EXPECT_EQ(label(155), "Wide");
}

TEST_F(SourceNameTest, NamesAreReadToTheirEndAndHeldToTheTextRule) {
  send(body(0x12, 5, 0, name("a\\\"b"), 0, 0, name("x\\\\")));
  EXPECT_EQ(std::string(stored(5).buttonName.chars) + "|" + stored(5).mvName.chars, "a\\\"b|x\\\\");
  // Refused, the old name kept: an unescaped quote, a control character, a trailing lone backslash,
  // a length with bit 15 set (no characters follow it). The fields after each are still taken.
  for (const std::string& bad : {name("a\"b"), name("a\tb"), name("ab\\"), hexBytes(0x8000, 2)}) {
    send(body(0x07, 5, 2, bad, 3));
    EXPECT_EQ(std::string(stored(5).buttonName.chars), "a\\\"b") << bad;
    EXPECT_EQ(stored(5).attribute + 10 * stored(5).buttonNameMode, 23) << bad;
    send(body(0x05, 5));
  }
  // Twenty characters: twelve kept, the rest read past; the fields after them are where they should be.
  EXPECT_EQ(send(body(0x1e, 5, 0, name("ABCDEFGHIJKLMNOPQRST"), 6, 1, name("ok"))),
            Lines{"msg 39 " + body(0x1e, 5, 0, name("ABCDEFGHIJKL"), 6, 1, name("ok"))});
  // Twelve characters whole; a length of 0 empties the name.
  const std::pair<std::string, int> lengths[] = {{name("123456789012"), 12}, {name("", 0), 0}};
  for (const auto& [n, length] : lengths) {
    send(body(0x02, 5, 0, n));
    EXPECT_EQ(stored(5).buttonName.length, length);
  }
  // Modes above 2 are dropped alone.
  send(body(0x0d, 5, 3, name(""), 5, 3));
  EXPECT_EQ(stored(5).attribute + 10 * stored(5).buttonNameMode + 100 * stored(5).mvNameMode, 105);

  // A name that would run past the body drops the record; the next frame is read as usual; so is a
  // channel above 223.
  const std::string cut = body(0x0a, 6, 0, name("ABCD", 20), 0, 1, name(""));
  const std::string next = body(0x04, 7, 0, name(""), 1);
  const Lines out = run({("send 39 " + cut.substr(0, cut.size() - 8)).c_str(), ("send 39 " + next).c_str(),
                         ("send 39 " + body(0x04, 224, 0, name(""), 1)).c_str(), "field"});
  EXPECT_EQ(only(out, "msg 39"), Lines{"msg 39 " + next});
  EXPECT_EQ(stored(6).mvNameMode, 0);
}

TEST_F(SourceNameTest, TheLengthSentIsTheNameAndTheTerminatorByteNeverACharacter) {
  // Length 0 with an X in its terminator byte is the empty name; length 2 "AB" with a C there is
  // "AB". Echo and memory hold exactly the characters counted.
  EXPECT_EQ(send(body(0x12, 5, 0, "000058", 0, 0, "0002414243")), Lines{"msg 39 " + body(0x12, 5, 0, name(""), 0, 0, name("AB"))});
  EXPECT_EQ(hexOfEntry(&stored(5)), "00000000" "0500" "00" "00" "0000" + std::string(26, '0') + "00" "00" "00" "0200" "4142" +
                                        std::string(22, '0') + "000000");
  // A zero among the characters fails the text rule and the old name stays; the attribute after
  // it is still taken.
  send(body(0x06, 5, 0, "0003610062" "00", 3));
  EXPECT_EQ(std::tuple(textOf(stored(5).mvName), stored(5).buttonName.length, +stored(5).attribute),
            std::tuple(std::string("AB"), 0, 3));
  // Fourteen characters (the thirteenth a lone quote) and a Z terminator: twelve kept, judged by
  // what was kept, echoed with a zero terminator.
  EXPECT_EQ(send(body(0x02, 5, 0, "000e" "4142434445464748494a4b4c" "224d" "5a", 3)),
            Lines{"msg 39 " + body(0x02, 5, 0, name("ABCDEFGHIJKL"), 3, 0, name("AB"))});
}

TEST_F(SourceNameTest, LabelsFollowTheModesAndCustomTextsRenameTheMeOutputsOfBothSidesButNotBlack) {
  // M/E 1 A side "STU", M/E 1 B side "B2" with a final carriage return.
  internal::KzifCustomInfo info{};
  info.customText[0].set("STU");
  info.customText[4].set("B2\r");
  info.mask = (1u << 18) | (1u << 22);
  // Its refresh hands over records that carry no channel of their own.
  category::CategoryCustomInfo::get().assign(info, 0);
  EXPECT_EQ(stored(208).channel + stored(165).channel, 208 + 165);
  const Lines out = run({"field"});
  EXPECT_EQ(only(out, "msg 39").size(), 32u);
  EXPECT_EQ(label(130) + " " + label(133) + " " + label(233) + " " + label(236) + " " + label(237) + " " + label(248),
            "STUPGM STUKEYPVW B2PGM B2KEYPVW ME2BPGM ME4BKEYPVW");
  EXPECT_EQ(label(174), "Black");
  // The eight multiview outputs are 0..7: no neighbour is read in place of another.
  for (int n : {-1, CategoryMultiView::N_OUTPUTS})
    EXPECT_THROW(CategoryMultiView::get().output(n), assert::AssertException) << n;
  // A text that starts with a carriage return names nothing; one that ends with it drops it.
  info = {};
  info.customText[1].set("\rX");
  info.customText[2].set("C\r");
  info.mask = (1u << 19) | (1u << 20);
  category::CategoryCustomInfo::get().assign(info, 0);
  run({"field"});
  EXPECT_EQ(label(134) + " " + label(138), "ME2PGM CPGM");

  // A user name of the last B-side output reaches index 248, not black's; so does publishing every
  // label on a new video format.
  send(body(0x18, 223, 0, name(""), 0, 1, name("Last")));
  CategoryMultiView::get().setSourceName(174, "drawn");
  run({"send 29 00000001 04 00 00 00 00", "field"});
  EXPECT_EQ(label(248) + " " + label(174) + " " + label(154), "Last Black SEL_KEYPVW");

  // Channel 175 (AUX 1) labels index 183, drawn over before each send: the attribute alone leaves it,
  // a mode (even the same one again) redraws it.
  const std::pair<std::string, const char*> steps[] = {
      {body(0x1b, 175, 2, name("Btn"), 0, 2, name("Mv")), "AUX1"}, {body(0x01, 175, 1), "Btn"},
      {body(0x08, 175, 0, name(""), 0, 1), "Mv"}, {body(0x04, 175, 0, name(""), 4), "drawn"},
      {body(0x08, 175, 0, name(""), 0, 1), "Mv"}};
  for (const auto& [b, want] : steps) {
    CategoryMultiView::get().setSourceName(183, "drawn");
    send(b);
    EXPECT_EQ(label(183), want) << b;
  }
}

}  // namespace

namespace {

TEST_F(SourceNameTest, EveryDefaultLabelFromTheDskOutputsToTheClockStandsAtItsIndex) {
  run({"field"});
  // Indices 146..232 of the default table: the DSK outputs, stills and clips (fill and key by turns), the colour
  // backgrounds and bars, black, the eight multiviews, 48 AUX buses, the clock and the time code.
  std::vector<std::string> want = {"DSKPGM1", "DSKPGM2", "DSKPVW1", "DSKPVW2", "DSK1CLN",
                                   "DSK2CLN", "DSK3CLN", "DSK4CLN", "SEL_KEYPVW"};
  for (const char* kind : {"Still ", "Clip "})
    for (int i = 0; i < 8; ++i) want.push_back(kind + std::to_string(i / 2 + 1) + (i % 2 == 0 ? "V" : "K"));
  for (const char* s : {"CBGD1", "CBGD2", "CBAR", "Black"}) want.push_back(s);
  for (int i = 1; i <= 8; ++i) want.push_back("MV" + std::to_string(i));
  for (int i = 1; i <= 48; ++i) want.push_back("AUX" + std::to_string(i));
  want.push_back("Clock");
  want.push_back("LTC");
  for (std::size_t i = 0; i < want.size(); ++i) {
    const int v = 146 + static_cast<int>(i);
    EXPECT_EQ(sourcename::fixedDefaultName(v), want[i]) << v;
    // AUX 25..48 and the time code have no channel of their own: nothing publishes them.
    if (v < 207 || v == 231) {
      EXPECT_EQ(label(v), want[i]) << v;
    }
  }
}

}  // namespace

namespace {

// Entries whose bytes stay are left alone by the copy to the backup image, but every change reaches
// it, and after a start every entry does; a label is set again when its text is the same but it is
// not marked for drawing (as after a start).
TEST_F(SourceNameTest, TheBackupImageAndTheLabelsTakeEveryChangeThoughNotTheSameBytesAgain) {
  u8* nv = platform::nvWindow() + BP::instance().shareOffset(KzifSourceName::TYPE_ID, 0);
  const auto kept = [nv](int e) {
    return std::string(reinterpret_cast<const char*>(nv + e * sizeof(KzifSourceName) + offsetof(KzifSourceName, buttonName) + 2));
  };
  for (const char* n : {"Cam 1", "Cam 1", "Cam 2", "Cam 1"}) {
    send(body(0x03, 3, 1, name(n)));
    EXPECT_EQ(kept(3), n);
  }
  send(body(0x03, 130, 1, name("Wide")));
  EXPECT_EQ(kept(34), "Wide");

  // A mode-1 label with no text: after a restart the multiview holds the same empty text, not drawn.
  send(body(0x18, 175, 0, name(""), 0, 1, name("")));
  const auto drawn = [](int v) -> const CategoryMultiView::Label& {
    return CategoryMultiView::get().output(0).labels[static_cast<std::size_t>(v)];
  };
  EXPECT_EQ(drawn(183).redraw, 1);
  run({"restart resume", "field"});
  EXPECT_EQ(label(183), "");
  EXPECT_EQ(drawn(183).redraw, 1);
  EXPECT_EQ(CategoryMultiView::get().output(7).labels[183].redraw, 1);
  EXPECT_EQ(kept(3) + " " + kept(34), "Cam 1 Wide");

  // A cold start blanks the names: every entry of the image is written again, those whose bytes
  // equal the blank area's (entry 0) included.
  std::memcpy(nv + offsetof(KzifSourceName, buttonName) + 2, "Old", 3);
  run({"restart init", "field"});
  EXPECT_EQ(kept(0) + "|" + kept(3) + "|" + kept(34), "||");
}

}  // namespace

namespace {

// The custom information takes back each M/E output's own label mode without a record: for every
// mode, one within the range and one beyond it (written into the record), the channel comes out
// as an assign of that mode alone leaves it, on the wire, in the record, the image and the label.
TEST_F(SourceNameTest, RetakingTheLabelModeDoesWhatAnAssignOfTheModeDoes) {
  const auto outcome = [this](int mode, bool viaAssign) {
    boot({});
    settle();
    auto& names = CategoryButtonSourceName::get();
    send(body(0x1b, 150, 1, name("Btn"), 3, 2, name("Mv")));
    names.record(151).mvNameMode = static_cast<u8>(mode);  // 150's neighbour: a mode of any value
    names.record(150).mvNameMode = static_cast<u8>(mode);
    run({"field"});
    CategoryMultiView::get().setSourceName(130, "drawn");
    if (viaAssign) {
      KzifSourceName change{};
      change.mvNameMode = names.data(150).mvNameMode;
      change.mask = 1u << KzifSourceName::BIT_MV_NAME_MODE;
      names.assign(change, 150);
    } else {
      names.retakeLabelMode(150);
    }
    const Lines out = only(run({"field"}), "msg 39");
    u8* nv = platform::nvWindow() + BP::instance().shareOffset(KzifSourceName::TYPE_ID, 0);
    return std::tuple(out, hexOfEntry(&stored(150)), hexOfEntry(nv + (150 - 96) * sizeof(KzifSourceName)), label(130));
  };
  for (int mode : {0, 1, 2, 3, 255}) {
    const auto want = outcome(mode, true);
    EXPECT_EQ(outcome(mode, false), want) << mode;
    EXPECT_EQ(std::get<0>(want).size(), 1u) << mode;
  }
  EXPECT_EQ(std::get<3>(outcome(1, false)), "Mv");
  EXPECT_EQ(std::get<3>(outcome(3, false)), "drawn");
}

}  // namespace

namespace {

// A label the multiview shows cut short (drawn, one character less) is set again whole: the length
// each kind of label is compared by is all of its text. Every default label, a custom M/E output
// name, a user name and a user name with a zero among its characters, which ends the label there.
TEST_F(SourceNameTest, ALabelShownCutShortIsSetAgainWhole) {
  internal::KzifCustomInfo info{};
  info.customText[1].set("STU2");
  info.mask = 1u << 19;
  category::CategoryCustomInfo::get().assign(info, 0);
  send(body(0x18, 175, 0, name(""), 0, 1, name("Wide")));
  send(body(0x08, 177, 0, name(""), 0, 1));
  // No record brings a zero into a name; one written into the record is shown up to it.
  KzifSourceName& zero = CategoryButtonSourceName::get().record(177);
  std::memcpy(zero.mvName.chars, "Ab\0cd", 5);
  zero.mvName.length = 5;
  run({"send 29 00000001 04 00 00 00 00", "field"});  // a new video format publishes every label
  std::vector<std::string> want;
  for (int v = 0; v < CategoryMultiView::N_SOURCES; ++v) want.push_back(label(v));
  EXPECT_EQ(want[134] + " " + want[183] + " " + want[185] + " " + want[10], "STU2PGM Wide Ab SDI IN11");
  for (int v = 0; v < CategoryMultiView::N_SOURCES; ++v) {
    const std::string& full = want[static_cast<std::size_t>(v)];
    if (!full.empty()) CategoryMultiView::get().setSourceName(v, full.substr(0, full.size() - 1).c_str());
  }
  run({"send 29 00000001 05 00 00 00 00", "field"});
  for (int v = 0; v < CategoryMultiView::N_SOURCES; ++v) EXPECT_EQ(label(v), want[static_cast<std::size_t>(v)]) << v;
}

}  // namespace

namespace {

// A label mode taken back copies a channel written since it was last taken back to the image, each
// name as a merge takes a text: lengths out of range on both sides and at every word boundary,
// with other characters written after them in the record, come out as assignFrom gives them.
// Taken back again with no write in between, it leaves the image alone, unmarked for the save.
TEST_F(SourceNameTest, TheImageTakesEachNameAsAMergeTakesItWhateverFollowsItsLength) {
  auto& names = CategoryButtonSourceName::get();
  u8* nv = platform::nvWindow() + BP::instance().shareOffset(KzifSourceName::TYPE_ID, 0);
  const auto savedShares = [] {
    std::string shares;
    for (const std::string& s : fieldSaveShares()) shares += s + ";";
    return shares;
  };
  for (int length : {-3, 0, 1, 3, 4, 5, 7, 8, 9, 11, 12, 13, 32767}) {
    SCOPED_TRACE(length);
    KzifSourceName& r = names.record(20);
    std::memcpy(r.buttonName.chars, "ABCDEFGHIJKLM", sizeof r.buttonName.chars);
    r.buttonName.length = static_cast<i16>(length);
    std::memcpy(r.mvName.chars, "nopqrstuvwxyz", sizeof r.mvName.chars);
    r.mvName.length = static_cast<i16>(12 - std::min(std::max(length, 0), 12));
    r.attribute = static_cast<u8>(length & 7);
    names.retakeLabelMode(20);
    KzifSourceName want = r;
    want.buttonName.assignFrom(r.buttonName);
    want.mvName.assignFrom(r.mvName);
    want.mask = 0;
    EXPECT_NE(savedShares().find("KzifSourceName 0"), std::string::npos);
    EXPECT_EQ(hexOfEntry(nv + 20 * sizeof(KzifSourceName)), hexOfEntry(&want));
    names.retakeLabelMode(20);  // the same bytes again
    EXPECT_EQ(savedShares().find("KzifSourceName 0"), std::string::npos) << savedShares();
  }
}

}  // namespace

namespace {

// The default name of every channel, worked out here from the layout of the multiview indexes:
// the M/E outputs (A sides 130..145, B sides 233..248, four per M/E) take their M/E's custom text
// and their suffix, any other index its fixed name.
TEST_F(SourceNameTest, EveryChannelsDefaultNameTakesTheCustomTextOfItsOwnMeSideAndOutput) {
  internal::KzifCustomInfo info{};
  const char* texts[] = {"A1", "A2", "A3", "A4", "B1", "B2", "B3", "B4"};
  for (int t = 0; t < 8; ++t) {
    info.customText[t].set(texts[t]);
    info.mask |= 1u << (18 + t);
  }
  category::CategoryCustomInfo::get().assign(info, 0);
  const char* suffixes[] = {"PGM", "PVW", "CLN", "KEYPVW"};
  for (int c = 0; c < KzifSourceName::N_CHANNELS; ++c) {
    const int v = sourcename::mvIndexOfChannel(c);
    std::string want = sourcename::fixedDefaultName(v);
    if (130 <= v && v < 146) want = std::string(texts[(v - 130) / 4]) + suffixes[(v - 130) % 4];
    if (233 <= v && v < 249) want = std::string(texts[4 + (v - 233) / 4]) + suffixes[(v - 233) % 4];
    char out[sourcename::LABEL_ROOM] = {};
    CategoryButtonSourceName::get().defaultName(c, out);
    EXPECT_EQ(std::string(out), want) << c;
  }
  // Without custom texts every channel shows its fixed name.
  info = {};
  for (int t = 0; t < 8; ++t) info.mask |= 1u << (18 + t);
  category::CategoryCustomInfo::get().assign(info, 0);
  for (int c = 0; c < KzifSourceName::N_CHANNELS; ++c) {
    char out[sourcename::LABEL_ROOM] = {};
    CategoryButtonSourceName::get().defaultName(c, out);
    EXPECT_EQ(std::string(out), sourcename::fixedDefaultName(sourcename::mvIndexOfChannel(c))) << c;
  }
}

}  // namespace

namespace {

// The labels every multiview output holds, index by index, against what each channel's label
// works out to one by one (a mode out of range keeps `kept`'s label): a label set has its text,
// zeros after it and the redraw mark; an index no channel labels stays as the start left it.
void expectEveryLabelWorkedOut(const std::array<CategoryMultiView::Label, CategoryMultiView::N_SOURCES>& kept) {
  const auto& names = CategoryButtonSourceName::get();
  std::array<CategoryMultiView::Label, CategoryMultiView::N_SOURCES> want = kept;
  for (int c = 0; c < KzifSourceName::N_CHANNELS; ++c) {
    char text[sourcename::LABEL_ROOM];
    if (!names.label(c, text)) continue;
    CategoryMultiView::Label& label = want[static_cast<std::size_t>(sourcename::mvIndexOfChannel(c))];
    label = {};
    label.text.set(text);
    label.redraw = 1;
  }
  for (int n = 0; n < CategoryMultiView::N_OUTPUTS; ++n)
    for (int v = 0; v < CategoryMultiView::N_SOURCES; ++v) {
      const CategoryMultiView::Label& shown = CategoryMultiView::get().output(n).labels[static_cast<std::size_t>(v)];
      EXPECT_EQ(std::memcmp(&shown, &want[static_cast<std::size_t>(v)], sizeof shown), 0)
          << "output " << n << " index " << v << ": " << shown.text.chars << " / " << want[static_cast<std::size_t>(v)].text.chars;
    }
}

// Names of every kind over random channels: user names for the label or the button, the button's
// name or the default one, custom texts for the M/E outputs.
void sendRandomNames(std::mt19937& rng, int count) {
  static constexpr const char* TEXTS[] = {"", "A", "Cam 1", "123456789012", "Wide shot", "x"};
  auto& names = CategoryButtonSourceName::get();
  for (int i = 0; i < count; ++i) {
    const int c = static_cast<int>(rng() % KzifSourceName::N_CHANNELS);
    KzifSourceName in{};
    in.mask = 0x1f;
    in.buttonNameMode = static_cast<u8>(rng() % 3);
    in.buttonName.set(TEXTS[rng() % std::size(TEXTS)]);
    in.mvNameMode = static_cast<u8>(rng() % 3);
    in.mvName.set(TEXTS[rng() % std::size(TEXTS)]);
    names.assign(in, c);
  }
  internal::KzifCustomInfo info{};
  for (int t = 0; t < 8; ++t) info.customText[t].set(rng() % 2 ? TEXTS[rng() % std::size(TEXTS)] : "");
  info.mask = 0xffu << 18;
  category::CategoryCustomInfo::get().assign(info, 0);
}

const std::array<CategoryMultiView::Label, CategoryMultiView::N_SOURCES> BLANK_LABELS{};

TEST_F(SourceNameTest, AfterAStartEveryOutputHoldsEveryChannelsLabelAsWorkedOutOneByOne) {
  std::mt19937 rng(11);
  for (int round = 0; round < 4; ++round) {
    sendRandomNames(rng, 60);
    run({"field"});
    expectEveryLabelWorkedOut(BLANK_LABELS);
    // The resume marks the kept channels for publishing in the same field that asks for every label.
    run({"restart resume", "field"});
    expectEveryLabelWorkedOut(BLANK_LABELS);
  }
  // A record taken in the start's first field is in the labels of that field.
  run({"restart resume", ("send 39 " + body(0x18, 175, 0, name(""), 0, 1, name("First"))).c_str(), "field"});
  EXPECT_EQ(label(183), "First");
  expectEveryLabelWorkedOut(BLANK_LABELS);
  run({"restart init", "field"});
  expectEveryLabelWorkedOut(BLANK_LABELS);
}

TEST_F(SourceNameTest, ANewFormatWithLabelsPendingSetsEachAsWorkedOutAndKeepsOneWithoutAMode) {
  std::mt19937 rng(12);
  sendRandomNames(rng, 40);
  run({"field"});
  // Labels pending from records of the same field, one channel's mode out of range (its label
  // stays), another's label drawn over.
  sendRandomNames(rng, 20);
  CategoryButtonSourceName::get().record(150).mvNameMode = 7;
  CategoryMultiView::get().setSourceName(sourcename::mvIndexOfChannel(3), "drawn");
  std::array<CategoryMultiView::Label, CategoryMultiView::N_SOURCES> kept{};
  for (int v = 0; v < CategoryMultiView::N_SOURCES; ++v)
    kept[static_cast<std::size_t>(v)] = CategoryMultiView::get().output(0).labels[static_cast<std::size_t>(v)];
  run({"send 29 00000001 04 00 00 00 00", "field"});
  expectEveryLabelWorkedOut(kept);
  // The same field again: nothing new, nothing set.
  run({"field"});
  expectEveryLabelWorkedOut(kept);
}

TEST_F(SourceNameTest, EveryMultiviewOutputTakesTheFirstOnesLabelsWhenALabelPassEndsHoweverItEnds) {
  auto& multiView = CategoryMultiView::get();
  for (bool thrown : {false, true}) {
    multiView.initInternal();
    try {
      CategoryMultiView::LabelPass pass(multiView);
      pass.set(0, CategoryMultiView::labelOf("SDI IN1"));
      pass.set(248, CategoryMultiView::labelOf("Last of all!!"));
      pass.set(249, CategoryMultiView::labelOf("none"));  // outside the indexes: ignored
      pass.set(-1, CategoryMultiView::labelOf("none"));
      if (thrown) throw assert::AssertException(__FILE__, __LINE__);
      pass.set(100, CategoryMultiView::labelOf(nullptr));
    } catch (const assert::AssertException&) {
    }
    for (int n = 1; n < CategoryMultiView::N_OUTPUTS; ++n)
      EXPECT_EQ(std::memcmp(&multiView.output(n).labels, &multiView.output(0).labels, sizeof multiView.output(0).labels), 0)
          << n << (thrown ? " thrown" : "");
    EXPECT_EQ(std::string(multiView.output(7).labels[248].text.chars) + "|" + multiView.output(7).labels[0].text.chars,
              "Last of all!|SDI IN1");
    EXPECT_EQ(multiView.output(5).labels[100].redraw, thrown ? 0 : 1);
  }
}

}  // namespace
