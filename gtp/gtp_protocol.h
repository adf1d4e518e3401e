// The Go Text Protocol, version 2, as a controller speaks it: vertices, the
// framing of replies, and the checked reading of the values engines answer.
//
// A command is one line "ID NAME ARGS\n" (ID a decimal number). A reply is
//   "=ID TEXT\n" (success) or "?ID TEXT\n" (failure), possibly more lines of
//   TEXT, and ends with an empty line ("\n\n"). ID may be left out. "\r" is
//   dropped and a tab counts as a blank, as the protocol says.
// Vertices are a column letter A..T without I (from the left) and a row number
// 1..19 (from the bottom), letter case ignored; "pass" is a pass. On the
// board's numbering, point p = 19 x column + row + 1 (row from the top) is the
// letter of column (p - 1) / 19 and the number 19 - (p - 1) % 19.
//
// Everything an engine sends is untrusted: a reply over kMaxReplyBytes, a line
// that starts neither with "=" nor "?", an ID that is not the one asked, or a
// value that is not what the command answers, is an error (GtpGarbage).
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "board/types.h"

namespace kirobaku::gtp {

inline constexpr std::size_t kMaxReplyBytes = 64 * 1024;

// Output of the engine that is no reply of the protocol.
class GtpGarbage : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A vertex as "Q16"; point 0 is "pass".
std::string VertexText(PointIndex p);
// The point of a vertex ("q16", "Q16"), 0 for "pass"; nullopt for anything else
// (a letter I, a row outside 1..19, "resign", trailing text).
std::optional<PointIndex> ParseVertex(std::string_view text);
// "black" / "white" for the GTP colour argument.
const char* ColourWord(StoneColour c);

// A reply as it arrived: success or failure, and its text without the
// leading "=ID " and the final empty line (lines joined with "\n").
struct Reply {
  bool success = false;
  std::string text;
};

// Collects the engine's output and cuts it into replies.
class ReplyReader {
 public:
  // Adds bytes the engine wrote. Throws GtpGarbage on output that is no reply.
  void Feed(std::string_view bytes);
  // The next complete reply, checked against the ID of the command it answers
  // (a reply without an ID is accepted). Throws GtpGarbage on a wrong ID.
  std::optional<Reply> Take(std::int64_t expectedId);
  // Bytes that arrived and are not a complete reply yet (for messages).
  const std::string& Pending() const { return buffer_; }
  void Clear() { buffer_.clear(); }

 private:
  // Drops empty lines before the next reply; throws when it starts with
  // anything but "=" or "?".
  void CheckStart();

  std::string buffer_;  // "\r" removed, tabs as blanks; starts with a reply
};

// The text of a command line to send: "ID NAME ARGS\n".
std::string CommandLine(std::int64_t id, std::string_view command);

// A move a genmove answers: a point, a pass (point 0) or a resignation.
struct EngineMove {
  PointIndex point = 0;
  bool resign = false;
};
// Reads genmove's reply; throws GtpGarbage when it is no vertex, pass or resign.
EngineMove ParseEngineMove(std::string_view text);
// Reads a list of vertices separated by blanks or line breaks (fixed_handicap,
// final_status_list); throws GtpGarbage on any other word or a pass.
std::vector<PointIndex> ParseVertexList(std::string_view text);

// A score as "B+37.0", "W+0.5" or "0" (a draw), Black's lead in points
// (negative when White leads). Text after the first word (estimate_score
// adds bounds) is ignored. Throws GtpGarbage on anything else.
double ParseScore(std::string_view text);
// A score in the form engines write it: "B+12.5", "W+3.0", "0".
std::string ScoreText(double blackLead);

// Splits a command line into the program and its arguments: words separated by
// blanks, "..." and '...' quote, a backslash escapes the next character.
// Throws std::invalid_argument on an unclosed quote or an empty line.
std::vector<std::string> SplitCommandLine(std::string_view line);

}  // namespace kirobaku::gtp
