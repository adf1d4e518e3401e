#include "records/sgf_reader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>

#include "records/record_test_util.h"
#include "support/fake_board_view.h"

namespace kirobaku {
namespace {

using ::testing::ElementsAre;
using test::EntriesOf;
using test::ExpectSoundRecord;
using ::testing::IsEmpty;
using test::Sgf;
using test::Sjis;

// The result of reading one SGF text into a fresh record.
struct Read {
  explicit Read(std::string_view text) { comment = ReadSgfText(text, record); }
  Record record{};
  std::string comment;
  std::string Utf8() const { return kura::Cp932ToUtf8(comment); }
  std::vector<MoveEntry> Entries() const { return EntriesOf(record); }
};

MoveEntry Move(std::int32_t n, StoneColour c, const char* xy) {
  return {n, c, Sgf(xy)};
}
MoveEntry Stone(const char* xy) {
  return {0, kBlack, Sgf(xy)};
}

TEST(SgfReaderTest, ReadsEventPlayersResultAndMainLine) {
  const Read r("(;GM[1]EV[Meijin]PB[A]PW[B]RE[B+R];B[pd];W[dp])");
  EXPECT_EQ(r.Utf8(), "Meijin黒：A × 白：B  黒中押し勝ち");
  EXPECT_THAT(r.Entries(), ElementsAre(MoveEntry{1, 1, 289}, MoveEntry{2, 2, 73}));
}

TEST(SgfReaderTest, CommentPiecesAreCp932Bytes) {
  const Read r("(;PB[A]PW[B]RE[0])");
  // 黒 81 46 (full-width colon), space, 0x817E (multiplication sign), space, 白, ...
  EXPECT_EQ(r.comment,
            "\x8D\x95\x81\x46"
            "A \x81\x7E \x94\x92\x81\x46"
            "B  \x8E\x9D\x8C\xE9");
}

TEST(SgfReaderTest, ResultForms) {
  EXPECT_EQ(Read("(;RE[0])").Utf8(), "  持碁");
  EXPECT_EQ(Read("(;RE[W+6.5])").Utf8(), "  白6.5目勝ち");
  EXPECT_EQ(Read("(;RE[B+Resign])").Utf8(), "  黒中押し勝ち");
  EXPECT_EQ(Read("(;RE[B+12])").Utf8(), "  黒12目勝ち");
  // Short and unknown values read nothing past their own closing bracket.
  EXPECT_EQ(Read("(;RE[B];B[aa])").Utf8(), "  黒目勝ち");
  EXPECT_EQ(Read("(;RE[?])").Utf8(), "目勝ち");
  EXPECT_EQ(Read("(;RE[])").Utf8(), "目勝ち");
}

TEST(SgfReaderTest, MissingPropertiesLeaveTheirPieceOut) {
  EXPECT_EQ(Read("(;PB[Kuro]PW[Shiro];B[aa])").Utf8(), "黒：Kuro × 白：Shiro");
  EXPECT_EQ(Read("(;EV[Cup];B[aa])").Utf8(), "Cup");
  EXPECT_EQ(Read("(;GM[1];B[aa])").Utf8(), "");
  // A marker without a value gives an empty piece; an unclosed value too.
  EXPECT_EQ(Read("(;PB PW[x])").Utf8(), "黒： × 白：x");
  EXPECT_EQ(Read("(;EV[never closed").Utf8(), "");
}

TEST(SgfReaderTest, SetupStonesInBothForms) {
  EXPECT_THAT(Read("(;AB[dd][pp];B[aa];W[bb])").Entries(),
              ElementsAre(MoveEntry{0, 1, 61}, MoveEntry{0, 1, 301}, Move(1, kBlack, "aa"),
                          Move(2, kWhite, "bb")));
  EXPECT_THAT(Read("(;AB[dd:pp];B[aa];W[bb])").Entries(),
              ElementsAre(MoveEntry{0, 1, 61}, MoveEntry{0, 1, 301}, Move(1, kBlack, "aa"),
                          Move(2, kWhite, "bb")));
  // Bracket pairs must follow each other directly; AW is not read.
  EXPECT_THAT(Read("(;AB[dd] [pp]AW[qq])").Entries(), ElementsAre(Stone("dd")));
}

TEST(SgfReaderTest, EveryAbBeforeTheFirstMoveIsRead) {
  const Read r("(;AB[aa]AW[ss]AB[bb][cc];AB[dd:ee];W[ff];B[gg]AB[hh];W[ii])");
  EXPECT_THAT(r.Entries(),
              ElementsAre(Stone("aa"), Stone("bb"), Stone("cc"), Stone("dd"), Stone("ee"),
                          Move(1, kWhite, "ff"), Move(2, kBlack, "gg"), Move(3, kWhite, "ii")));
}

TEST(SgfReaderTest, MainLineEndsAtTheFirstBranch) {
  EXPECT_THAT(Read("(;B[aa];W[bb](;B[cc])(;B[dd]))").Entries(),
              ElementsAre(Move(1, kBlack, "aa"), Move(2, kWhite, "bb"), Move(3, kBlack, "cc")));
  // Without a ")(" the first ")" ends it.
  EXPECT_THAT(Read("(;B[aa];W[bb])(;B[cc])").Entries(),
              ElementsAre(Move(1, kBlack, "aa"), Move(2, kWhite, "bb")));
}

TEST(SgfReaderTest, MovesAlternateStartingWithTheFirstColour) {
  // White first (handicap game).
  EXPECT_THAT(Read("(;AB[dd];W[aa];B[bb])").Entries(),
              ElementsAre(Stone("dd"), Move(1, kWhite, "aa"), Move(2, kBlack, "bb")));
  // A second move of the same colour in a row is passed over.
  EXPECT_THAT(Read("(;B[aa];B[bb];W[cc];B[dd])").Entries(),
              ElementsAre(Move(1, kBlack, "aa"), Move(2, kWhite, "cc"), Move(3, kBlack, "dd")));
}

TEST(SgfReaderTest, OneColourOnlyOrNoClosingParenthesisGivesNoMoves) {
  EXPECT_THAT(Read("(;B[aa];B[bb];B[cc])").Entries(), IsEmpty());
  EXPECT_THAT(Read("(;W[aa];W[bb])").Entries(), IsEmpty());
  EXPECT_THAT(Read("(;B[aa];W[bb];B[cc]").Entries(), IsEmpty());
  EXPECT_THAT(Read("").Entries(), IsEmpty());
}

TEST(SgfReaderTest, MarkersInsideValuesAreNotSeen) {
  // A ")" in a player's name does not end the main line.
  const Read r("(;PB[GnuGo (GNU Go 3.1.13)]PW[x];B[aa];W[bb])");
  EXPECT_EQ(r.Utf8(), "黒：GnuGo (GNU Go 3.1.13) × 白：x");
  EXPECT_THAT(r.Entries(), ElementsAre(Move(1, kBlack, "aa"), Move(2, kWhite, "bb")));
  // Markers in comments, and an escaped "]", are skipped.
  const Read c(
      "(;C[EV[fake\\] PB[no\\] RE[W+R\\] ;W[ss\\] AB[rr\\] "
      ")(]EV[Real]PB[P];B[aa]C[;W[ss\\]];W[bb])");
  EXPECT_EQ(c.Utf8(), "Real黒：P");
  EXPECT_THAT(c.Entries(), ElementsAre(Move(1, kBlack, "aa"), Move(2, kWhite, "bb")));
  // An escaped backslash does not escape the "]" after it.
  EXPECT_THAT(Read("(;C[a\\\\];B[aa];W[bb])").Entries(),
              ElementsAre(Move(1, kBlack, "aa"), Move(2, kWhite, "bb")));
}

TEST(SgfReaderTest, SecondByteOfADoubleByteCharacterIsNotABracketOrEscape) {
  // 表 is 95 5C and ゾ is 83 5D in CP932: neither escapes nor closes.
  const std::string name = Sjis("表ゾ");
  const Read r("(;PB[" + name + "]PW[" + Sjis("ソ") + "];B[aa];W[bb])");
  EXPECT_EQ(r.Utf8(), "黒：表ゾ × 白：ソ");
  EXPECT_THAT(r.Entries(), ElementsAre(Move(1, kBlack, "aa"), Move(2, kWhite, "bb")));
}

TEST(SgfReaderTest, Utf8FileIsScannedBytewiseAndConverted) {
  // "あ]" in UTF-8 is E3 81 82 5D: read with the CP932 rule, 82 would take
  // the "]". Letter case of the declaration is ignored.
  const Read r("(;CA[utf-8]EV[あ]PB[趙治勲]PW[Ryu 한]RE[W+2.5];B[aa];W[bb])");
  EXPECT_EQ(r.comment, Sjis("あ黒：趙治勲 × 白：Ryu ?  白2.5目勝ち"));
  EXPECT_THAT(r.Entries(), ElementsAre(Move(1, kBlack, "aa"), Move(2, kWhite, "bb")));
  // The declaration may follow values that the CP932 rule would misread.
  const Read late("(;EV[あ]PB[x]CA[UTF-8];B[aa];W[bb])");
  EXPECT_EQ(late.comment, Sjis("あ黒：x"));
  EXPECT_EQ(late.Entries().size(), 2u);
  // Another declaration takes the bytes as CP932, unconverted.
  EXPECT_EQ(Read("(;CA[Shift_JIS]EV[" + Sjis("碁") + "])").comment, Sjis("碁"));
  EXPECT_EQ(Read("(;CA[Shift_JIS]EV[\xE3\x81\x82]").comment, "");  // "]" taken by 82
}

// Without CA the bytes decide: valid UTF-8 beyond ASCII is UTF-8, anything
// else CP932. A UTF-8 name read as CP932 would run on past its "]".
TEST(SgfReaderTest, WithoutADeclarationTheBytesDecideTheEncoding) {
  const Read utf8("(;EV[第51期本因坊戦]PB[趙治勲]PW[小林光一]RE[W+0.5];B[aa];W[bb])");
  EXPECT_EQ(utf8.Utf8(), "第51期本因坊戦黒：趙治勲 × 白：小林光一  白0.5目勝ち");
  EXPECT_EQ(utf8.Entries().size(), 2u);
  const Read cp932(Sjis("(;EV[第51期本因坊戦]PB[趙治勲]PW[小林光一]RE[W+0.5];B[aa];W[bb])"));
  EXPECT_EQ(cp932.Utf8(), "第51期本因坊戦黒：趙治勲 × 白：小林光一  白0.5目勝ち");
  // ASCII only, or bytes that are not UTF-8, stay CP932 bytes.
  EXPECT_EQ(Read("(;PB[Lee]PW[Cho])").comment, Sjis("黒：Lee × 白：Cho"));
  EXPECT_EQ(Read("(;PB[\xE3\x81]PW[x])").comment,
            Sjis("黒：") + "\xE3\x81" + Sjis(" × 白：x"));  // E3 81 is one CP932 character
}

// What CP932 cannot hold becomes "?", and the reader says which characters.
TEST(SgfReaderTest, CharactersCp932LacksAreReported) {
  Record record{};
  std::string unkept;
  const std::string comment =
      ReadSgfText("(;CA[UTF-8]PB[이세돌]PW[柯洁]RE[W+R];B[aa];W[bb])", record, &unkept);
  EXPECT_EQ(comment, Sjis("黒：??? × 白：柯?  白中押し勝ち"));
  EXPECT_EQ(unkept, "이세돌洁");
  ReadSgfText("(;CA[UTF-8]PB[趙治勲]PW[이세돌 이])", record, &unkept);
  EXPECT_EQ(unkept, "이세돌");
  ReadSgfText(Sjis("(;PB[趙治勲])"), record, &unkept);
  EXPECT_EQ(unkept, "");
}

TEST(SgfReaderTest, PointsOutsideTheAlphabetAreCountedNotStored) {
  const Read r("(;B[aa];W[];B[cc];W[tt];B[DD];W[ee];B[s];W[ss])");
  EXPECT_THAT(r.Entries(), ElementsAre(Move(1, kBlack, "aa"), Move(3, kBlack, "cc"),
                                       Move(6, kWhite, "ee"), Move(8, kWhite, "ss")));
  EXPECT_THAT(Read("(;AB[tt][dd][Aa][]AB[ee:zz:ff];B[aa];W[bb])").Entries(),
              ElementsAre(Stone("dd"), Stone("ee"), Stone("ff"), Move(1, kBlack, "aa"),
                          Move(2, kWhite, "bb")));
}

TEST(SgfReaderTest, LineEndsOfEveryKindAreDropped) {
  for (const std::string eol : {"\n", "\r\n", "\r"}) {
    const Read r("(;EV[Big" + eol + "Cup]PB[A]" + eol + ";" + eol + "B[aa];W" + eol + "[bb]" + eol +
                 ")" + eol);
    EXPECT_EQ(r.Utf8(), "BigCup黒：A");
    EXPECT_THAT(r.Entries(), ElementsAre(Move(1, kBlack, "aa"), Move(2, kWhite, "bb")));
  }
  // A backslash at the end of a line escapes the line end, not the next line's "]".
  EXPECT_THAT(Read("(;C[soft\\\r\n];B[aa];W[bb])").Entries(),
              ElementsAre(Move(1, kBlack, "aa"), Move(2, kWhite, "bb")));
}

std::string LongGame(int setup, int moves, const char* pass = nullptr) {
  std::string text = "(;";
  for (int i = 0; i < setup; ++i)
    text += "AB[aa]";
  for (int i = 1; i <= moves; ++i) {
    const char x = static_cast<char>('a' + i % 19);
    const char y = static_cast<char>('a' + (i / 19) % 19);
    text +=
        std::string(i % 2 ? ";B[" : ";W[") + (pass && i % 7 == 0 ? pass : std::string{x, y}) + "]";
  }
  return text + ")";
}

TEST(SgfReaderTest, StoresAtMost400Entries) {
  const Read moves(LongGame(0, 450));
  EXPECT_EQ(CountEntries(moves.record), kRecordSize);
  EXPECT_EQ(moves.record[kRecordSize].move, 400);
  const Read both(LongGame(10, 450));
  EXPECT_EQ(CountEntries(both.record), kRecordSize);
  EXPECT_EQ(both.record[10].move, 0);
  EXPECT_EQ(both.record[kRecordSize].move, 390);
  const Read setup(LongGame(420, 5));
  EXPECT_EQ(CountEntries(setup.record), kRecordSize);
  EXPECT_EQ(setup.record[kRecordSize].move, 0);
  ExpectSoundRecord(moves.record);
  ExpectSoundRecord(both.record);
  ExpectSoundRecord(setup.record);
}

TEST(SgfReaderTest, MoveNumbersPastTheEntriesStillReplayToTheEnd) {
  // Every seventh move is a pass: 460 moves, 395 stored, numbered up to 460.
  const Read r(LongGame(0, 460, "tt"));
  const std::int32_t n = CountEntries(r.record);
  ASSERT_EQ(n, 460 - 460 / 7);
  EXPECT_EQ(r.record[n].move, 460);
  test::FakeBoardView view;
  GameState game(view);
  game.ResetGame();
  game.MoveRecord = r.record;
  game.ReplayTo(0, 1);
  EXPECT_EQ(game.Position, n);
  EXPECT_EQ(game.MoveNumber, 460);
}

// Malformed and hostile texts: none may crash, hang, or store an entry the
// board cannot place.
TEST(SgfReaderTest, MalformedTextsGiveSoundRecords) {
  const std::string game = test::ReadWholeFile(KIROBAKU_TEST_DATA "/sgf/Mehin-21-2.sgf");
  ASSERT_FALSE(game.empty());
  for (size_t cut = 0; cut <= game.size(); cut += 7) {
    SCOPED_TRACE(cut);
    ExpectSoundRecord(Read(game.substr(0, cut)).record);
  }
  for (const char* text : {"(;B[aa;W[bb])", "(;B]aa[;W[bb])", "[[[[", "]]]]", "(;AB[", "(;AB[d",
                           "(;AB[dd][", "(;AB[dd:", "(;B[", "(;B[a", ";B", ";W", "\\", "(;C[\\"}) {
    SCOPED_TRACE(text);
    ExpectSoundRecord(Read(text).record);
  }
  std::mt19937 random(20261208);
  const std::string alphabet = "()[];:\\ABWEVPRCabcdst\x81\x5C\x5D\xE3\r\n";
  for (int round = 0; round < 3000; ++round) {
    std::string text = round % 2 ? game : std::string();
    const int edits = 1 + static_cast<int>(random() % 40);
    for (int i = 0; i < edits; ++i) {
      const char c = round % 3 ? alphabet[random() % alphabet.size()] : static_cast<char>(random());
      const size_t at = text.empty() ? 0 : random() % text.size();
      if (random() % 2 || text.empty()) {
        text.insert(text.begin() + static_cast<std::ptrdiff_t>(at), c);
      } else {
        text[at] = c;
      }
    }
    SCOPED_TRACE(round);
    const Read r(text);
    ExpectSoundRecord(r.record);
    if (::testing::Test::HasFailure()) break;
  }
}

TEST(SgfReaderTest, HugeTextsAreReadInOnePass) {
  // Passes make the search run over the whole text; without a ")(" the end of
  // the branch must not be searched again for every move.
  std::string passes = "(;";
  for (int i = 0; i < 400000; ++i)
    passes += ";B[tt];W[]";
  passes += ")";
  const Read r(passes);
  EXPECT_THAT(r.Entries(), IsEmpty());
  std::string noClose(4 << 20, ';');
  for (size_t i = 0; i + 6 < noClose.size(); i += 6)
    noClose.replace(i, 6, i % 12 ? ";W[bb]" : ";B[aa]");
  EXPECT_THAT(Read(noClose).Entries(), IsEmpty());
  ExpectSoundRecord(Read(std::string(8 << 20, '[')).record);
}

}  // namespace
}  // namespace kirobaku
