#include "records/ugf_reader.h"

#include <string>

#include "db/common/code_page.h"
#include "records/record_file.h"

namespace kirobaku {

namespace {

// The value of a UGF coordinate letter: A = 1 ... S = 19, 0 for anything else.
int LetterValue(char c) {
  return c >= 'A' && c <= 'S' ? c - 'A' + 1 : 0;
}

// Takes the next line off the front of text; a line ends at LF, CRLF or CR,
// and a last line without a line end is a line too. False when text is used up.
bool NextLine(std::string_view& text, std::string_view& line) {
  if (text.empty()) return false;
  const size_t end = text.find_first_of("\r\n");
  if (end == std::string_view::npos) {
    line = text;
    text = {};
    return true;
  }
  line = text.substr(0, end);
  const size_t next =
      text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n' ? end + 2 : end + 1;
  text.remove_prefix(next);
  return true;
}

// Byte p (1-based) of the line, or "\0" past its end.
char At(std::string_view line, size_t p) {
  return p >= 1 && p <= line.size() ? line[p - 1] : '\0';
}

// The line from byte p (1-based) on, empty past its end.
std::string_view From(std::string_view line, size_t p) {
  return p >= 1 && p <= line.size() ? line.substr(p - 1) : std::string_view();
}

// The fixed texts of the comment, as CP932 bytes.
struct CommentTexts {
  std::string black = kura::Utf8ToCp932("黒");
  std::string white = kura::Utf8ToCp932("白");
  std::string blackPlayer = kura::Utf8ToCp932("黒:");
  std::string whitePlayer = kura::Utf8ToCp932("白:");
  std::string versus = kura::Utf8ToCp932("×");
  std::string resignation = kura::Utf8ToCp932("中押し勝ち");
  std::string points = kura::Utf8ToCp932("目勝ち");
};

const CommentTexts& Texts() {
  static const CommentTexts texts;
  return texts;
}

class UgfReader {
 public:
  explicit UgfReader(Record& record) : entries_(record) {}

  std::string Read(std::string_view bytes) {
    std::string_view line;
    while (NextLine(bytes, line)) {
      if (!inData_) {
        ReadHeaderLine(line);
      } else if (!ReadDataLine(line) || entries_.Full()) {
        break;
      }
    }
    return comment_;
  }

 private:
  void ReadHeaderLine(std::string_view line) {
    const CommentTexts& texts = Texts();
    const std::string_view key = line.substr(0, 6);
    if (key == "Title=") {
      comment_ = std::string(From(line, 7)) + "   ";
    } else if (key == "Winner") {
      result_ = At(line, 8) == 'B' ? texts.black : texts.white;
      if (At(line, 10) == 'T' || At(line, 10) == 'C') {
        result_ += texts.resignation;
      } else {
        result_ += std::string(From(line, 10)) + texts.points;
      }
    } else if (key == "BMemb1") {
      comment_ += texts.blackPlayer + std::string(Player(line)) + texts.versus;
    } else if (key == "WMemb1") {
      comment_ += texts.whitePlayer + std::string(Player(line)) + "   " + result_;
    } else if (key == "[Data]") {
      inData_ = true;
    }
  }

  // The player of a "BMemb1=" or "WMemb1=" line: the text after the key and its
  // equals sign without its last three bytes.
  static std::string_view Player(std::string_view line) {
    const std::string_view rest = From(line, 8);
    return rest.size() > 3 ? rest.substr(0, rest.size() - 3) : std::string_view();
  }

  // One line of the data section; false when it ends the move list.
  bool ReadDataLine(std::string_view line) {
    if (At(line, 3) == ':') {
      ReadSetupLine(line);
      return true;
    }
    const char colour = At(line, 4);
    if (colour != 'B' && colour != 'W') return false;
    const int x = LetterValue(At(line, 1));
    if (x == 0) return false;
    move_ += 1;
    if (const int y = LetterValue(At(line, 2)); y != 0) {
      entries_.Add(move_, colour == 'B' ? kBlack : kWhite, PointOf(x, y));
    }
    return true;
  }

  // "DD:PP:DP": black setup stones.
  void ReadSetupLine(std::string_view line) {
    size_t t = 0;
    do {
      const int x = LetterValue(At(line, t + 1));
      const int y = LetterValue(At(line, t + 2));
      if (x != 0 && y != 0) entries_.Add(0, kBlack, PointOf(x, y));
      t += 3;
    } while (!entries_.Full() && At(line, t) == ':');
  }

  static PointIndex PointOf(int x, int y) { return (x - 1) * kBoardSize + (kBoardSize + 1 - y); }

  EntryWriter entries_;
  bool inData_ = false;
  std::string comment_;
  std::string result_;
  std::int32_t move_ = 0;
};

}  // namespace

std::string ReadUgfText(std::string_view bytes, Record& record) {
  return UgfReader(record).Read(bytes);
}

std::string ReadUgfFile(const std::filesystem::path& path, Record& record) {
  return ReadUgfText(ReadRecordFile(path), record);
}

}  // namespace kirobaku
