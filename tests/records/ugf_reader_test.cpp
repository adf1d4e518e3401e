#include "records/ugf_reader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>

#include "records/record_test_util.h"

namespace kirobaku {
namespace {

using ::testing::ElementsAre;
using test::EntriesOf;
using test::ExpectSoundRecord;
using ::testing::IsEmpty;
using test::Sjis;

struct Read {
  explicit Read(std::string_view text) { comment = ReadUgfText(text, record); }
  Record record{};
  std::string comment;
  std::string Utf8() const { return kura::Cp932ToUtf8(comment); }
  std::vector<MoveEntry> Entries() const { return EntriesOf(record); }
};

std::string Lines(std::initializer_list<std::string> lines, const std::string& eol = "\r\n") {
  std::string text;
  for (const std::string& line : lines)
    text += line + eol;
  return text;
}

TEST(UgfReaderTest, ReadsTitlePlayersResultAndMoves) {
  const Read r(Lines({"[Header]", "Title=Cup", "Winner=W,6.5", "BMemb1=Kuro,1,", "WMemb1=Shiro,2,",
                      "[Data]", "PD,B1,1,0", "DP,W2,2,0"}));
  EXPECT_EQ(r.Utf8(), "Cup   黒:Kuro×白:Shiro   白6.5目勝ち");
  EXPECT_EQ(r.comment,
            "Cup   \x8D\x95:Kuro\x81\x7E\x94\x92:Shiro   \x94\x92"
            "6.5\x96\xDA\x8F\x9F\x82\xBF");
  EXPECT_THAT(r.Entries(), ElementsAre(MoveEntry{1, 1, 301}, MoveEntry{2, 2, 61}));
}

TEST(UgfReaderTest, WinnerForms) {
  const auto result = [](const std::string& winner) {
    return Read(Lines({winner, "WMemb1=S,2,"})).Utf8();
  };
  EXPECT_EQ(result("Winner=B,T"), "白:S   黒中押し勝ち");
  EXPECT_EQ(result("Winner=B,C"), "白:S   黒中押し勝ち");
  EXPECT_EQ(result("Winner=W,12"), "白:S   白12目勝ち");
  EXPECT_EQ(result("Winner"), "白:S   白目勝ち");
}

TEST(UgfReaderTest, HeaderOrderMatters) {
  // A result after the white player is not in the comment; a title after the
  // players discards them.
  EXPECT_EQ(Read(Lines({"BMemb1=K,1,", "WMemb1=S,2,", "Winner=B,C"})).Utf8(), "黒:K×白:S   ");
  EXPECT_EQ(Read(Lines({"BMemb1=K,1,", "WMemb1=S,2,", "Title=T"})).Utf8(), "T   ");
  // Keys compare exactly, and short player lines give empty names.
  EXPECT_EQ(Read(Lines({"title=x", "BMemb1=ab", "WMemb1"})).Utf8(), "黒:×白:   ");
  // Header keys in the data section are data lines (and end the moves).
  EXPECT_EQ(Read(Lines({"[Data]", "Title=late"})).Utf8(), "");
}

TEST(UgfReaderTest, SetupLinesGiveBlackStones) {
  EXPECT_THAT(Read(Lines({"[Data]", "DD:PP", "QD,W1,1,0"})).Entries(),
              ElementsAre(MoveEntry{0, 1, 73}, MoveEntry{0, 1, 289}, MoveEntry{1, 2, 320}));
  // Points with a letter outside A..S are skipped; the line goes on.
  EXPECT_THAT(Read(Lines({"[Data]", "DD:Pz:aP:PP"})).Entries(),
              ElementsAre(MoveEntry{0, 1, 73}, MoveEntry{0, 1, 289}));
}

TEST(UgfReaderTest, MoveListEnds) {
  const std::string head = Lines({"[Data]", "PD,B1,1,0"});
  // An empty line, a line without a colour, a lower-case first letter, and a
  // first letter outside A..S end the list; later lines are not read.
  for (const char* stop : {"", "PD", "PD,X2,1,0", "pd,W2,1,0", "TD,W2,1,0", "[Figure]"}) {
    SCOPED_TRACE(stop);
    EXPECT_THAT(Read(head + Lines({stop, "DP,W2,2,0"})).Entries(),
                ElementsAre(MoveEntry{1, 1, 301}));
  }
  // The colours are taken as written; the numbers in the line are not read.
  EXPECT_THAT(Read(head + Lines({"DP,B9,1,0", "AA,W0,1,0"})).Entries(),
              ElementsAre(MoveEntry{1, 1, 301}, MoveEntry{2, 1, 61}, MoveEntry{3, 2, 19}));
  EXPECT_THAT(Read(Lines({"Title=no data", "PD,B1,1,0"})).Entries(), IsEmpty());
}

TEST(UgfReaderTest, SecondLetterOutsideTheAlphabetIsCountedNotStored) {
  EXPECT_THAT(Read(Lines({"[Data]", "PD,B1,1,0", "Pz,W2,1,0", "PT,B3,1,0", "DP,W4,1,0"})).Entries(),
              ElementsAre(MoveEntry{1, 1, 301}, MoveEntry{4, 2, 61}));
}

TEST(UgfReaderTest, LineEndsOfEveryKind) {
  for (const std::string eol : {"\n", "\r\n", "\r"}) {
    const Read r(Lines({"Title=T", "[Data]", "PD,B1,1,0", "DP,W2,2,0"}, eol));
    EXPECT_EQ(r.Utf8(), "T   ");
    EXPECT_EQ(r.Entries().size(), 2u);
  }
  // The last line needs no line end.
  EXPECT_EQ(Read("[Data]\nPD,B1,1,0\nDP,W2,2,0").Entries().size(), 2u);
}

TEST(UgfReaderTest, CommentBytesAreKeptAsCp932) {
  const Read r(Lines({"Title=" + Sjis("第51期本因坊戦"), "BMemb1=" + Sjis("趙治勲") + ",9,",
                      "WMemb1=" + Sjis("柳時熏") + ",9,"}));
  EXPECT_EQ(r.Utf8(), "第51期本因坊戦   黒:趙治勲×白:柳時熏   ");
}

TEST(UgfReaderTest, StoresAtMost400Entries) {
  std::string text = "[Data]\n";
  for (int i = 0; i < 30; ++i)
    text += "AA:BB:CC:DD:EE:FF:GG:HH:II:JJ:KK:LL:MM:NN:OO:PP\n";
  for (int i = 0; i < 50; ++i)
    text += "QQ,B1,1,0\n";
  const Read r(text);
  EXPECT_EQ(CountEntries(r.record), kRecordSize);
  EXPECT_EQ(r.record[kRecordSize].move, 0);
  ExpectSoundRecord(r.record);
  std::string moves = "[Data]\n";
  for (int i = 0; i < 450; ++i)
    moves += i % 2 ? "DP,W,1,0\n" : "PD,B,1,0\n";
  const Read m(moves);
  EXPECT_EQ(CountEntries(m.record), kRecordSize);
  EXPECT_EQ(m.record[kRecordSize].move, 400);
}

TEST(UgfReaderTest, MalformedTextsGiveSoundRecords) {
  const std::string good = Lines({"Title=T", "Winner=B,1", "BMemb1=K,1,", "WMemb1=S,2,", "[Data]",
                                  "DD:PP", "PD,B1,1,0", "DP,W2,2,0", "QQ,B3,1,0"});
  std::mt19937 random(1208);
  const std::string alphabet = "[]:,=\r\nABDPSWTabz\x81\x5C";
  for (int round = 0; round < 3000; ++round) {
    std::string text = round % 2 ? good : std::string();
    for (int i = 0, edits = 1 + static_cast<int>(random() % 30); i < edits; ++i) {
      const char c = round % 3 ? alphabet[random() % alphabet.size()] : static_cast<char>(random());
      const size_t at = text.empty() ? 0 : random() % text.size();
      if (random() % 2 || text.empty()) {
        text.insert(text.begin() + static_cast<std::ptrdiff_t>(at), c);
      } else {
        text[at] = c;
      }
    }
    SCOPED_TRACE(round);
    ExpectSoundRecord(Read(text).record, false);
    if (::testing::Test::HasFailure()) break;
  }
  ExpectSoundRecord(Read(std::string(8 << 20, ':')).record);
  ExpectSoundRecord(Read(std::string(8 << 20, '\n') + "[Data]\nPD,B1,1,0").record);
  ExpectSoundRecord(Read("[Data]\n" + std::string(8 << 20, ':')).record);
}

}  // namespace
}  // namespace kirobaku
