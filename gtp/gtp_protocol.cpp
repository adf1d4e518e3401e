#include "gtp/gtp_protocol.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace kirobaku::gtp {

namespace {

constexpr std::string_view kColumns = "ABCDEFGHJKLMNOPQRST";

char Upper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Upper(a[i]) != Upper(b[i])) return false;
  }
  return true;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\n')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\n')) s.remove_suffix(1);
  return s;
}

std::vector<std::string_view> Words(std::string_view s) {
  std::vector<std::string_view> words;
  std::size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\n')) ++i;
    std::size_t j = i;
    while (j < s.size() && s[j] != ' ' && s[j] != '\n') ++j;
    if (j > i) words.push_back(s.substr(i, j - i));
    i = j;
  }
  return words;
}

// A short, printable excerpt of engine output for a message.
std::string Excerpt(std::string_view s) {
  std::string out;
  for (char c : s.substr(0, 60)) {
    const auto u = static_cast<unsigned char>(c);
    out += (u < 0x20 || u == 0x7f) ? '?' : c;
  }
  if (s.size() > 60) out += "...";
  return out;
}

}  // namespace

std::string VertexText(PointIndex p) {
  if (!IsPoint(p)) return "pass";
  return kColumns[static_cast<std::size_t>(ColumnOf(p))] + std::to_string(kBoardSize - RowOf(p));
}

std::optional<PointIndex> ParseVertex(std::string_view text) {
  if (EqualsIgnoringCase(text, "pass")) return 0;
  if (text.size() < 2 || text.size() > 3) return std::nullopt;
  const std::size_t column = kColumns.find(Upper(text[0]));
  if (column == std::string_view::npos) return std::nullopt;
  int row = 0;
  const auto [end, error] = std::from_chars(text.data() + 1, text.data() + text.size(), row);
  if (error != std::errc() || end != text.data() + text.size() || text[1] == '0' || row < 1 ||
      row > kBoardSize) {
    return std::nullopt;
  }
  return PointAt(static_cast<int>(column), kBoardSize - row);
}

const char* ColourWord(StoneColour c) {
  return c == kWhite ? "white" : "black";
}

void ReplyReader::Feed(std::string_view bytes) {
  for (char c : bytes) {
    if (c == '\r') continue;
    buffer_ += c == '\t' ? ' ' : c;
  }
  CheckStart();
  if (buffer_.size() > kMaxReplyBytes) {
    throw GtpGarbage("応答が長すぎます（" + std::to_string(kMaxReplyBytes) + " バイト超）");
  }
}

void ReplyReader::CheckStart() {
  // Empty lines between replies belong to no reply.
  const std::size_t start = buffer_.find_first_not_of('\n');
  buffer_.erase(0, start == std::string::npos ? buffer_.size() : start);
  if (!buffer_.empty() && buffer_[0] != '=' && buffer_[0] != '?') {
    throw GtpGarbage("「" + Excerpt(buffer_) + "」");
  }
}

std::optional<Reply> ReplyReader::Take(std::int64_t expectedId) {
  const std::size_t end = buffer_.find("\n\n");
  if (end == std::string::npos) return std::nullopt;
  const std::string whole = buffer_.substr(0, end);
  buffer_.erase(0, end + 2);
  Reply reply;
  reply.success = whole[0] == '=';
  std::size_t i = 1;
  while (i < whole.size() && whole[i] >= '0' && whole[i] <= '9') ++i;
  if (i > 1) {
    std::int64_t id = -1;
    const auto [p, error] = std::from_chars(whole.data() + 1, whole.data() + i, id);
    if (error != std::errc() || id != expectedId) {
      throw GtpGarbage("番号の違う応答「" + Excerpt(whole) + "」");
    }
  }
  if (i < whole.size() && whole[i] != ' ' && whole[i] != '\n') {
    throw GtpGarbage("「" + Excerpt(whole) + "」");
  }
  reply.text = std::string(Trim(std::string_view(whole).substr(i)));
  CheckStart();
  return reply;
}

std::string CommandLine(std::int64_t id, std::string_view command) {
  return std::to_string(id) + ' ' + std::string(command) + '\n';
}

EngineMove ParseEngineMove(std::string_view text) {
  const std::string_view word = Trim(text);
  if (EqualsIgnoringCase(word, "resign")) return {0, true};
  const std::optional<PointIndex> p = ParseVertex(word);
  if (!p) throw GtpGarbage("手ではない応答「" + Excerpt(word) + "」");
  return {*p, false};
}

std::vector<PointIndex> ParseVertexList(std::string_view text) {
  std::vector<PointIndex> points;
  for (std::string_view word : Words(text)) {
    const std::optional<PointIndex> p = ParseVertex(word);
    if (!p || *p == 0) throw GtpGarbage("座標ではない応答「" + Excerpt(word) + "」");
    points.push_back(*p);
  }
  return points;
}

double ParseScore(std::string_view text) {
  const std::vector<std::string_view> words = Words(text);
  if (words.empty()) throw GtpGarbage("空の得点");
  const std::string_view w = words[0];
  if (w == "0") return 0;
  if (w.size() >= 3 && (Upper(w[0]) == 'B' || Upper(w[0]) == 'W') && w[1] == '+') {
    double points = 0;
    const auto [end, error] = std::from_chars(w.data() + 2, w.data() + w.size(), points);
    if (error == std::errc() && end == w.data() + w.size() && std::isfinite(points) &&
        points >= 0 && points <= kPointCount + 1000) {
      return Upper(w[0]) == 'B' ? points : -points;
    }
  }
  throw GtpGarbage("得点ではない応答「" + Excerpt(w) + "」");
}

std::string ScoreText(double blackLead) {
  if (blackLead == 0) return "0";
  char number[32];
  std::snprintf(number, sizeof number, "%.1f", std::fabs(blackLead));
  return std::string(blackLead > 0 ? "B+" : "W+") + number;
}

std::vector<std::string> SplitCommandLine(std::string_view line) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false;
  char quote = 0;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quote != 0) {
      if (c == quote) {
        quote = 0;
      } else if (c == '\\' && quote == '"' && i + 1 < line.size()) {
        word += line[++i];
      } else {
        word += c;
      }
    } else if (c == '"' || c == '\'') {
      quote = c;
      inWord = true;
    } else if (c == '\\' && i + 1 < line.size()) {
      word += line[++i];
      inWord = true;
    } else if (c == ' ' || c == '\t' || c == '\n') {
      if (inWord) words.push_back(std::move(word));
      word.clear();
      inWord = false;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (quote != 0) throw std::invalid_argument("閉じていない引用符があります");
  if (inWord) words.push_back(std::move(word));
  if (words.empty()) throw std::invalid_argument("コマンドが空です");
  return words;
}

}  // namespace kirobaku::gtp
