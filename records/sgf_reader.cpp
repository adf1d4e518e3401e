#include "records/sgf_reader.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <utility>

#include "db/common/code_page.h"
#include "records/record_file.h"

namespace kirobaku {

namespace {

// Bytes inside property values are replaced by this in the searched copy of the
// text, so no marker can match there.
constexpr char kMasked = '\0';
constexpr size_t kNone = std::string::npos;

// The value of an SGF coordinate letter: a = 1 ... s = 19, 0 for anything else.
int LetterValue(char c) {
  return c >= 'a' && c <= 's' ? c - 'a' + 1 : 0;
}

// The point of the letters xy, or 0 when either is not a..s.
PointIndex PointOf(char x, char y) {
  const int column = LetterValue(x);
  const int row = LetterValue(y);
  return column == 0 || row == 0 ? 0 : (column - 1) * kBoardSize + row;
}

// The text with every byte inside a property value replaced by kMasked. The
// brackets themselves stay, so the closing "]" of a value is the first byte
// equal to "]" after its "[".
std::string MaskValues(std::string_view text, bool doubleByte) {
  std::string masked(text);
  const size_t n = text.size();
  size_t i = 0;
  while (i < n) {
    if (text[i++] != '[') continue;
    while (i < n && text[i] != ']') {
      const auto b = static_cast<unsigned char>(text[i]);
      const size_t width = b == '\\' || (doubleByte && kura::IsCp932LeadByte(b)) ? 2 : 1;
      for (size_t k = 0; k < width && i < n; ++k) {
        masked[i++] = kMasked;
      }
    }
    if (i < n) ++i;  // the closing "]"
  }
  return masked;
}

// The joined text and its searched copy, byte for byte in step.
struct SgfText {
  std::string all;      // the file's bytes without line ends
  std::string outside;  // the same with the bytes inside values masked
  bool utf8 = false;    // the file declares CA[UTF-8]

  char At(size_t i) const { return i < all.size() ? all[i] : '\0'; }
  char OutsideAt(size_t i) const { return i < outside.size() ? outside[i] : '\0'; }
  // Where the marker occurs outside values at or after from, or kNone.
  size_t Find(std::string_view marker, size_t from = 0) const { return outside.find(marker, from); }
  // The value opened right after the two-byte marker at k (its bytes up to the
  // closing "]"); empty when no "[" follows the marker or the value never closes.
  std::string_view ValueAfter(size_t k) const {
    if (OutsideAt(k + 2) != '[') return {};
    const size_t close = outside.find(']', k + 3);
    if (close == kNone) return {};
    return std::string_view(all).substr(k + 3, close - (k + 3));
  }
};

// The masking is done on the raw bytes, so a "\" or a lead byte at the end of a
// line takes the line end, not the first byte of the next line; then the line
// ends are dropped from both copies.
SgfText Join(std::string_view raw, bool doubleByte) {
  const std::string masked = MaskValues(raw, doubleByte);
  SgfText text;
  text.all.reserve(raw.size());
  text.outside.reserve(raw.size());
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\r' || raw[i] == '\n') continue;
    text.all.push_back(raw[i]);
    text.outside.push_back(masked[i]);
  }
  return text;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

bool DeclaresUtf8(const SgfText& text) {
  for (size_t k = text.Find("CA"); k != kNone; k = text.Find("CA", k + 1)) {
    if (EqualsIgnoringCase(text.ValueAfter(k), "utf-8")) return true;
  }
  return false;
}

// The length of the UTF-8 sequence that starts at text[i], or 0 when none
// does there (a stray continuation byte, an overlong form, a surrogate, a
// value above U+10FFFF, a sequence cut short).
size_t Utf8SequenceAt(std::string_view text, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char b = byte(i);
  if (b < 0x80) return 1;
  size_t n = 0;
  char32_t c = 0, min = 0;
  if ((b & 0xE0) == 0xC0) {
    n = 2, c = b & 0x1F, min = 0x80;
  } else if ((b & 0xF0) == 0xE0) {
    n = 3, c = b & 0x0F, min = 0x800;
  } else if ((b & 0xF8) == 0xF0) {
    n = 4, c = b & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (i + n > text.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    c = (c << 6) | (byte(i + k) & 0x3F);
  }
  if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
  return n;
}

// Whether the bytes are valid UTF-8 with at least one character beyond ASCII:
// CP932 text beyond ASCII is almost never valid UTF-8 (its lead bytes 0x81-0x9F
// are continuation bytes there), so such a file without a declaration is read
// as UTF-8.
bool LooksLikeUtf8(std::string_view raw) {
  bool beyondAscii = false;
  for (size_t i = 0; i < raw.size();) {
    const size_t n = Utf8SequenceAt(raw, i);
    if (n == 0) return false;
    beyondAscii = beyondAscii || n > 1;
    i += n;
  }
  return beyondAscii;
}

bool DeclaresCharset(const SgfText& text) {
  for (size_t k = text.Find("CA"); k != kNone; k = text.Find("CA", k + 1)) {
    if (text.OutsideAt(k + 2) == '[') return true;
  }
  return false;
}

// A file is read as UTF-8 when it declares CA[UTF-8], or when it declares no
// character set and its bytes are UTF-8 beyond ASCII; otherwise as CP932. The
// declaration is looked for with the CP932 rule first and then byte by byte,
// since either encoding read with the other's rule can hide it inside a value.
SgfText Scan(std::string_view raw) {
  SgfText text = Join(raw, true);
  if (DeclaresUtf8(text)) {
    text = Join(raw, false);
  } else {
    SgfText bytewise = Join(raw, false);
    if (!DeclaresUtf8(bytewise) &&
        (DeclaresCharset(text) || DeclaresCharset(bytewise) || !LooksLikeUtf8(raw))) {
      return text;
    }
    text = std::move(bytewise);
  }
  text.utf8 = true;
  return text;
}

// The fixed texts of the comment, as CP932 bytes.
struct CommentTexts {
  std::string black = kura::Utf8ToCp932("黒：");
  std::string white = kura::Utf8ToCp932(" × 白：");
  std::string draw = kura::Utf8ToCp932("  持碁");
  std::string blackWins = kura::Utf8ToCp932("  黒");
  std::string whiteWins = kura::Utf8ToCp932("  白");
  std::string resignation = kura::Utf8ToCp932("中押し勝ち");
  std::string points = kura::Utf8ToCp932("目勝ち");
};

const CommentTexts& Texts() {
  static const CommentTexts texts;
  return texts;
}

// The end of the first branch after a position: the first ")(" there, or the
// first ")" when no ")(" follows. The positions asked for only grow, so each
// search is made again only when the position has passed its last answer; the
// whole move list is read in one pass over the text.
class BranchEnd {
 public:
  explicit BranchEnd(const SgfText& text) : text_(text) {}

  size_t From(size_t from) {
    if (!searchedSplit_ || (split_ != kNone && split_ < from)) {
      split_ = text_.Find(")(", from);
      searchedSplit_ = true;
    }
    if (split_ != kNone) return split_;
    if (!searchedClose_ || (close_ != kNone && close_ < from)) {
      close_ = text_.Find(")", from);
      searchedClose_ = true;
    }
    return close_;
  }

 private:
  const SgfText& text_;
  // The last answers; searched again only once the position has passed them.
  bool searchedSplit_ = false;
  bool searchedClose_ = false;
  size_t split_ = kNone;
  size_t close_ = kNone;
};

class SgfReader {
 public:
  SgfReader(std::string_view bytes, Record& record) : text_(Scan(bytes)), entries_(record) {}

  std::string Read() {
    std::string comment = Comment();
    ReadSetupStones();
    ReadMoves();
    return comment;
  }

  // What the comment could not keep: the characters CP932 lacks (each once,
  // UTF-8), written as "?" in the comment.
  const std::string& Unkept() const { return unkept_; }

 private:
  // A value as it goes into the comment: CP932 bytes.
  std::string CommentValue(std::string_view value) {
    if (!text_.utf8) return std::string(value);
    std::string bytes = kura::Utf8ToCp932(value);
    if (bytes.find('?') != std::string::npos) NoteUnkept(value);
    return bytes;
  }

  void NoteUnkept(std::string_view value) {
    for (size_t i = 0; i < value.size();) {
      const size_t n = std::max<size_t>(Utf8SequenceAt(value, i), 1);
      const std::string_view one = value.substr(i, n);
      if (!kura::Utf8ToCp932Exact(one) && unkept_.find(one) == std::string::npos) unkept_ += one;
      i += n;
    }
  }

  std::string Comment() {
    const CommentTexts& texts = Texts();
    std::string comment;
    if (const size_t k = text_.Find("EV"); k != kNone) comment = CommentValue(text_.ValueAfter(k));
    if (const size_t k = text_.Find("PB"); k != kNone) {
      comment += texts.black + CommentValue(text_.ValueAfter(k));
    }
    if (const size_t k = text_.Find("PW"); k != kNone) {
      comment += texts.white + CommentValue(text_.ValueAfter(k));
    }
    if (const size_t k = text_.Find("RE"); k != kNone) comment += Result(text_.ValueAfter(k));
    return comment;
  }

  // The result value "B+R", "W+6.5", "0", ... as the comment says it.
  std::string Result(std::string_view value) {
    const CommentTexts& texts = Texts();
    const char winner = value.empty() ? '\0' : value[0];
    if (winner == '0') return texts.draw;
    std::string result;
    if (winner == 'B') result = texts.blackWins;
    if (winner == 'W') result = texts.whiteWins;
    const std::string_view margin = value.size() > 2 ? value.substr(2) : std::string_view();
    if (!margin.empty() && margin[0] == 'R') return result + texts.resignation;
    return result + CommentValue(margin) + texts.points;
  }

  // Where the first move node is (";B" or ";W"), or kNone.
  size_t FirstMove() const {
    const size_t b = text_.Find(";B");
    const size_t w = text_.Find(";W");
    return b < w ? b : w;
  }

  void ReadSetupStones() {
    const size_t firstMove = FirstMove();
    for (size_t k = text_.Find("AB"); k != kNone && k < firstMove && !entries_.Full();
         k = text_.Find("AB", k + 2)) {
      if (text_.OutsideAt(k + 2) != '[') continue;
      if (text_.At(k + 5) == ']') {
        ReadBracketedPoints(k);
      } else {
        ReadColonSeparatedPoints(k);
      }
    }
  }

  // AB[pd][dp]...: each point in a bracket pair of its own, the pairs directly
  // one after the other.
  void ReadBracketedPoints(size_t k) {
    size_t t = 0;
    do {
      AddSetupStone(text_.At(k + t + 3), text_.At(k + t + 4));
      t += 4;
    } while (!entries_.Full() && text_.OutsideAt(k + t + 1) == ']' &&
             text_.OutsideAt(k + t + 2) == '[');
  }

  // AB[pd:dp:pp]: points separated by colons inside one bracket pair.
  void ReadColonSeparatedPoints(size_t k) {
    size_t t = 1;
    do {
      AddSetupStone(text_.At(k + t + 2), text_.At(k + t + 3));
      t += 3;
    } while (!entries_.Full() && text_.At(k + t + 1) == ':' &&
             text_.OutsideAt(k + t + 1) == kMasked);
  }

  void AddSetupStone(char x, char y) {
    if (const PointIndex p = PointOf(x, y); p != 0) entries_.Add(0, kBlack, p);
  }

  // The main line: alternating searches for the next black and white move node,
  // each found before the end of the first branch.
  void ReadMoves() {
    const size_t b = text_.Find(";B");
    const size_t w = text_.Find(";W");
    // An absent marker counts as position 0, so black is searched first only
    // when a ";W" lies after the first ";B" or there is a ";W" but no ";B".
    bool black = (w == kNone ? 0 : w + 1) > (b == kNone ? 0 : b + 1);
    std::int32_t move = 0;
    size_t from = 0;
    BranchEnd end(text_);
    while (!entries_.Full()) {
      const size_t h = text_.Find(black ? ";B" : ";W", from);
      const size_t e = end.From(from);
      if (h == kNone || e == kNone || e < h) break;
      move += 1;
      if (const PointIndex p = PointOf(text_.At(h + 3), text_.At(h + 4)); p != 0) {
        entries_.Add(move, black ? kBlack : kWhite, p);
      }
      from = h + 1;
      black = !black;
    }
  }

  const SgfText text_;
  EntryWriter entries_;
  std::string unkept_;
};

}  // namespace

std::string ReadSgfText(std::string_view bytes, Record& record, std::string* unkept) {
  SgfReader reader(bytes, record);
  std::string comment = reader.Read();
  if (unkept != nullptr) *unkept = reader.Unkept();
  return comment;
}

std::string ReadSgfFile(const std::filesystem::path& path, Record& record, std::string* unkept) {
  return ReadSgfText(ReadRecordFile(path), record, unkept);
}

}  // namespace kirobaku
