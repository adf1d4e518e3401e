// The engine and what it knows of the board. The session starts the engine
// when an operation first needs it (protocol_version, name, version,
// list_commands, boardsize 19, clear_board, komi, and level unless the level is
// on the default command line), and keeps the moves it has told the engine, so
// that bringing the engine to a position sends only the moves it lacks (or
// clear_board and the whole line when the position is not a continuation).
//
// One operation runs at a time (Busy). Each ends with exactly one call of its
// success function or of `failed` with a Japanese message. An engine that
// dies, hangs past its limit or answers nonsense is stopped, and the next
// operation starts a new one. Nothing here touches the game state.
#pragma once

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "board/game_state.h"
#include "gtp/channel.h"
#include "gtp/gtp_protocol.h"

namespace kirobaku::gtp {

struct EngineSettings {
  std::string command;  // the engine's command line; empty: GNU Go at `level`
  int level = 5;        // 1..10
  double komi = 6.5;
  // The limit of a move (genmove); other commands get at most 10 s of it, a
  // score with dead stones three times it.
  Milliseconds timeLimit{60000};

  bool operator==(const EngineSettings&) const = default;
};

// A stone (or a pass, point 0) as the engine is told it.
struct Played {
  StoneColour colour = kBlack;
  PointIndex point = 0;
  bool operator==(const Played&) const = default;
};

// The moves that make the position the board shows: record entries
// 1..Position in order (setup stones as plays of their colour), with a pass
// wherever the move numbers skip one, coloured by the alternation counted back
// from the next move; after the last entry, one pass for each number up to
// MoveNumber (passes made since).
std::vector<Played> PositionMoves(const GameState& game);
// Whether the board is what replaying entries 1..Position makes of it (not so
// in gomoku, after dead groups were removed, with a stone lifted off).
bool BoardShowsRecord(const GameState& game);

class EngineSession {
 public:
  using Factory = std::function<std::unique_ptr<Channel>(const std::vector<std::string>& args)>;
  using Failed = std::function<void(const std::string& message)>;

  explicit EngineSession(Factory factory) : factory_(std::move(factory)) {}

  // Settings for the engine; a changed command line or level takes effect by
  // starting the engine again at the next operation, a changed komi at once.
  void Configure(const EngineSettings& settings);
  const EngineSettings& Settings() const { return settings_; }
  bool Busy() const { return busy_; }
  bool Running() const { return channel_ != nullptr && channel_->Running(); }
  // "name version" of the running (or last) engine.
  const std::string& Name() const { return name_; }
  // Whether the engine lists the command (after it started).
  bool Knows(const std::string& command) const { return commands_.count(command) > 0; }
  // Stops the engine (an operation in flight is failed).
  void Stop();

  // A new game: clear_board (and the komi), then the engine's fixed handicap
  // stones (engineHandicap) or the given stones through set_free_handicap.
  void NewGame(int handicap, bool engineHandicap, const std::vector<PointIndex>& ownStones,
               std::function<void(std::vector<PointIndex> stones)> done, Failed failed);
  // Brings the engine to the position `moves` (see PositionMoves).
  void SyncTo(const std::vector<Played>& moves, std::function<void()> done, Failed failed);
  // The engine's move for colour in the synced position; the engine plays it.
  void Genmove(StoneColour colour, std::function<void(EngineMove)> done, Failed failed);
  // The engine's suggestion for colour, not played (reg_genmove, or genmove
  // taken back with undo).
  void Suggest(StoneColour colour, std::function<void(EngineMove)> done, Failed failed);
  // The engine's estimate (estimate_score, else final_score) and its dead
  // stones (final_status_list dead) when `withDead`.
  void Estimate(bool withDead, std::function<void(double lead, std::vector<PointIndex> dead)> done,
                Failed failed);
  // final_score, and the dead stones when `withDead`.
  void FinalScore(bool withDead,
                  std::function<void(double lead, std::vector<PointIndex> dead)> done,
                  Failed failed);

 private:
  enum class Limit { kQuick, kMove, kScore };
  using Text = std::function<void(const std::string& text)>;

  // Runs `body` as the one operation in flight, the engine started first.
  void Begin(Failed failed, std::function<void(Failed)> body);
  void Open(std::function<void()> done, Failed failed);
  // Sends a command; `done` gets the text of a success (and may throw
  // GtpGarbage, which stops the engine as garbage does). Anything else fails.
  void Run(const std::string& command, Limit limit, Text done, Failed failed);
  void PlayFrom(std::vector<Played> moves, std::size_t next, std::function<void()> done,
                Failed failed);
  // estimate_score (when `estimate` and the engine knows it) or final_score.
  void Score(bool estimate, bool withDead,
             std::function<void(double, std::vector<PointIndex>)> done, Failed failed);
  Milliseconds LimitOf(Limit limit) const;
  // The end of an operation: no longer busy, then the caller's function.
  template <typename F>
  auto Finish(F f);

  Factory factory_;
  EngineSettings settings_;
  EngineSettings started_;               // the settings the engine was started with
  std::unique_ptr<Channel> channel_;     // null before the first start
  std::unique_ptr<Channel> finished_;    // a channel that lost its engine, dropped later
  bool opened_ = false;                  // the start-up commands went through
  bool busy_ = false;
  std::string name_;
  std::set<std::string> commands_;
  std::vector<Played> known_;            // what the engine's board holds
  bool knownValid_ = false;              // false: clear_board before the next sync
  double komiSent_ = -1000;
};

}  // namespace kirobaku::gtp
