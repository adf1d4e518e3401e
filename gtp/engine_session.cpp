#include "gtp/engine_session.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace kirobaku::gtp {

namespace {

constexpr Milliseconds kQuickLimit{10000};

std::string KomiText(double komi) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", komi);
  return text;
}

// An engine's name or version for a game's comment: one line of at most
// `bytes` bytes, cut before a UTF-8 sequence, control characters as blanks.
std::string CleanName(std::string_view text, std::size_t bytes) {
  std::string name;
  for (char c : text.substr(0, text.find('\n')))
    name += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? ' ' : c;
  if (name.size() > bytes) {
    std::size_t cut = bytes;
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
    name.resize(cut);
  }
  return name;
}

std::string PlayCommand(const Played& move) {
  return std::string("play ") + ColourWord(move.colour) + ' ' + VertexText(move.point);
}

}  // namespace

std::vector<Played> PositionMoves(const GameState& game) {
  std::vector<Played> moves;
  const MoveEntry* last = nullptr;  // the last numbered move placed
  for (std::int32_t i = 1; i <= game.Position; ++i) {
    const MoveEntry& e = game.EntryAt(i);
    if (!e.IsPlaceable()) continue;
    if (e.move > 0) {
      // Passes fill the numbers skipped since the last move (or since the
      // start), the one right before this move by the other colour.
      const std::int32_t from = last != nullptr && last->move < e.move ? last->move : 0;
      if (last == nullptr || last->move < e.move) {
        const std::int32_t passes = std::min<std::int32_t>(e.move - from - 1, kRecordSize);
        for (std::int32_t k = passes; k >= 1; --k)
          moves.push_back({k % 2 == 1 ? OtherColour(e.colour) : e.colour, 0});
      }
      last = &e;
    }
    moves.push_back({e.colour, e.point});
  }
  if (last != nullptr && game.MoveNumber > last->move) {
    const std::int32_t passes = std::min<std::int32_t>(game.MoveNumber - last->move, kRecordSize);
    StoneColour c = last->colour;
    for (std::int32_t k = 0; k < passes; ++k) {
      c = OtherColour(c);
      moves.push_back({c, 0});
    }
  }
  return moves;
}

bool BoardShowsRecord(const GameState& game) {
  NullBoardView view;
  GameState replay(view);
  replay.MoveRecord = game.MoveRecord;
  replay.ReplayEntries(game.Position, 0);
  return replay.Board == game.Board;
}

void EngineSession::Configure(const EngineSettings& settings) {
  settings_ = settings;
  settings_.level = std::clamp(settings_.level, 1, 10);
}

Milliseconds EngineSession::LimitOf(Limit limit) const {
  switch (limit) {
    case Limit::kQuick:
      return std::min(settings_.timeLimit, kQuickLimit);
    case Limit::kMove:
      return settings_.timeLimit;
    case Limit::kScore:
      return settings_.timeLimit * 3;
  }
  return settings_.timeLimit;
}

template <typename F>
auto EngineSession::Finish(F f) {
  return [this, f](auto&&... args) {
    busy_ = false;
    f(std::forward<decltype(args)>(args)...);
  };
}

void EngineSession::Stop() {
  if (channel_ != nullptr) {
    channel_->Close();
    finished_ = std::move(channel_);
  }
  opened_ = false;
  knownValid_ = false;
  busy_ = false;
}

void EngineSession::Begin(Failed failed, std::function<void(Failed)> body) {
  if (busy_) {
    failed("コンピュータが考えています。応答を待ってください。");
    return;
  }
  busy_ = true;
  Failed fail = [this, failed](const std::string& message) {
    busy_ = false;
    failed(message);
  };
  const bool restart = channel_ != nullptr && (!channel_->Running() ||
                                               started_.command != settings_.command ||
                                               started_.level != settings_.level);
  if (restart) {
    channel_->Close();
    finished_ = std::move(channel_);
    opened_ = false;
  }
  if (opened_) {
    body(fail);
    return;
  }
  Open([body, fail] { body(fail); }, fail);
}

void EngineSession::Open(std::function<void()> done, Failed failed) {
  if (channel_ != nullptr) {
    // An engine whose start-up failed halfway is not used again.
    channel_->Close();
    finished_ = std::move(channel_);
  }
  std::vector<std::string> args;
  try {
    args = EngineArguments(settings_.command, settings_.level);
    channel_ = factory_(args);
  } catch (const std::exception& e) {
    failed(std::string("コンピュータを起動できません：") + e.what());
    return;
  }
  started_ = settings_;
  known_.clear();
  knownValid_ = false;
  commands_.clear();
  name_.clear();
  komiSent_ = -1000;
  const bool customCommand = settings_.command.find_first_not_of(" \t") != std::string::npos;
  auto level = [this, customCommand, done, failed] {
    if (!customCommand || !Knows("level")) {
      opened_ = true;
      done();
      return;
    }
    Run("level " + std::to_string(settings_.level), Limit::kQuick, [this, done](const std::string&) {
      opened_ = true;
      done();
    }, failed);
  };
  auto board = [this, level, failed] {
    Run("boardsize 19", Limit::kQuick, [this, level, failed](const std::string&) {
      Run("clear_board", Limit::kQuick, [this, level](const std::string&) {
        knownValid_ = true;
        level();
      }, failed);
    }, failed);
  };
  auto commands = [this, board, failed] {
    // list_commands is required by the protocol; an engine without it is
    // taken to know only the required commands.
    channel_->Send("list_commands", LimitOf(Limit::kQuick),
                   [this, board, failed](const Answer& answer) {
      if (!answer.Replied()) {
        failed(FailureMessage("list_commands", answer, LimitOf(Limit::kQuick)));
        return;
      }
      if (answer.outcome == Outcome::kSuccess) {
        std::string word;
        for (char c : answer.text + "\n") {
          if (c == '\n' || c == ' ') {
            if (!word.empty()) commands_.insert(word);
            word.clear();
          } else {
            word += c;
          }
        }
      }
      board();
    });
  };
  Run("protocol_version", Limit::kQuick, [this, commands, failed](const std::string& version) {
    if (version != "2") {
      throw GtpGarbage("GTP のバージョンが 2 ではありません（" + version + "）");
    }
    Run("name", Limit::kQuick, [this, commands, failed](const std::string& name) {
      name_ = CleanName(name, 60);
      Run("version", Limit::kQuick, [this, commands](const std::string& version) {
        if (!version.empty()) {
          name_ += ' ';
          name_ += CleanName(version, 30);
        }
        commands();
      }, failed);
    }, failed);
  }, failed);
}

void EngineSession::Run(const std::string& command, Limit limit, Text done, Failed failed) {
  const Milliseconds ms = LimitOf(limit);
  if (channel_ == nullptr || !channel_->Running()) {
    opened_ = false;
    failed(FailureMessage(command, {Outcome::kNotRunning, {}}, ms));
    return;
  }
  channel_->Send(command, ms, [this, command, ms, done, failed](const Answer& answer) {
    if (answer.outcome == Outcome::kSuccess) {
      try {
        done(answer.text);
      } catch (const GtpGarbage& e) {
        // A reply in the form of the protocol whose value is nonsense.
        if (channel_ != nullptr) channel_->Close();
        opened_ = false;
        knownValid_ = false;
        failed(FailureMessage(command, {Outcome::kGarbage, e.what()}, ms));
      }
      return;
    }
    if (!answer.Replied()) {
      opened_ = false;
      knownValid_ = false;
    }
    failed(FailureMessage(command, answer, ms));
  });
}

void EngineSession::PlayFrom(std::vector<Played> moves, std::size_t next,
                             std::function<void()> done, Failed failed) {
  if (next >= moves.size()) {
    done();
    return;
  }
  const Played move = moves[next];
  Run(PlayCommand(move), Limit::kQuick,
      [this, moves = std::move(moves), next, done, failed](const std::string&) mutable {
        known_.push_back(moves[next]);
        PlayFrom(std::move(moves), next + 1, done, failed);
      },
      [this, failed](const std::string& message) {
        knownValid_ = false;
        failed(message);
      });
}

void EngineSession::SyncTo(const std::vector<Played>& moves, std::function<void()> done,
                           Failed failed) {
  Begin(failed, [this, moves, done](Failed fail) {
    auto play = [this, moves, done, fail] {
      const bool continues = knownValid_ && known_.size() <= moves.size() &&
                             std::equal(known_.begin(), known_.end(), moves.begin());
      if (continues) {
        PlayFrom(moves, known_.size(), Finish(done), fail);
        return;
      }
      Run("clear_board", Limit::kQuick, [this, moves, done, fail](const std::string&) {
        known_.clear();
        knownValid_ = true;
        PlayFrom(moves, 0, Finish(done), fail);
      }, fail);
    };
    if (komiSent_ == settings_.komi) {
      play();
      return;
    }
    Run("komi " + KomiText(settings_.komi), Limit::kQuick, [this, play](const std::string&) {
      komiSent_ = settings_.komi;
      play();
    }, fail);
  });
}

void EngineSession::NewGame(int handicap, bool engineHandicap,
                            const std::vector<PointIndex>& ownStones,
                            std::function<void(std::vector<PointIndex>)> done, Failed failed) {
  Begin(failed, [this, handicap, engineHandicap, ownStones, done](Failed fail) {
    auto stones = [this, handicap, engineHandicap, ownStones, done, fail] {
      auto placed = [this, done](std::vector<PointIndex> points) {
        for (PointIndex p : points)
          known_.push_back({kBlack, p});
        Finish(done)(std::move(points));
      };
      if (handicap < 2) {
        placed({});
      } else if (engineHandicap) {
        Run("fixed_handicap " + std::to_string(handicap), Limit::kQuick,
            [handicap, placed](const std::string& text) {
              std::vector<PointIndex> points = ParseVertexList(text);
              std::vector<PointIndex> sorted = points;
              std::sort(sorted.begin(), sorted.end());
              if (points.size() != static_cast<std::size_t>(handicap) ||
                  std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) {
                throw GtpGarbage("置石 " + std::to_string(handicap) + " 子ではない応答「" + text +
                                 "」");
              }
              placed(std::move(points));
            },
            fail);
      } else {
        std::string command = "set_free_handicap";
        for (PointIndex p : ownStones) {
          command += ' ';
          command += VertexText(p);
        }
        Run(command, Limit::kQuick, [placed, ownStones](const std::string&) { placed(ownStones); },
            fail);
      }
    };
    Run("komi " + KomiText(settings_.komi), Limit::kQuick, [this, stones, fail](const std::string&) {
      komiSent_ = settings_.komi;
      Run("clear_board", Limit::kQuick, [this, stones](const std::string&) {
        known_.clear();
        knownValid_ = true;
        stones();
      }, fail);
    }, fail);
  });
}

void EngineSession::Genmove(StoneColour colour, std::function<void(EngineMove)> done,
                            Failed failed) {
  Begin(failed, [this, colour, done](Failed fail) {
    Run(std::string("genmove ") + ColourWord(colour), Limit::kMove,
        [this, colour, done](const std::string& text) {
          const EngineMove move = ParseEngineMove(text);
          if (!move.resign) known_.push_back({colour, move.point});
          Finish(done)(move);
        },
        fail);
  });
}

void EngineSession::Suggest(StoneColour colour, std::function<void(EngineMove)> done,
                            Failed failed) {
  Begin(failed, [this, colour, done](Failed fail) {
    const std::string c = ColourWord(colour);
    if (Knows("reg_genmove")) {
      Run("reg_genmove " + c, Limit::kMove,
          [this, done](const std::string& text) { Finish(done)(ParseEngineMove(text)); }, fail);
      return;
    }
    Run("genmove " + c, Limit::kMove, [this, done, fail](const std::string& text) {
      const EngineMove move = ParseEngineMove(text);
      if (move.resign) {
        Finish(done)(move);
        return;
      }
      // The engine played its suggestion; take it back (or forget what the
      // engine's board holds, so the next sync starts again).
      channel_->Send("undo", LimitOf(Limit::kQuick), [this, move, done, fail](const Answer& a) {
        if (a.outcome != Outcome::kSuccess) knownValid_ = false;
        if (!a.Replied()) opened_ = false;
        Finish(done)(move);
      });
    }, fail);
  });
}

void EngineSession::Score(bool estimate, bool withDead,
                          std::function<void(double, std::vector<PointIndex>)> done,
                          Failed failed) {
  Begin(failed, [this, estimate, withDead, done](Failed fail) {
    // The command list is known once the engine runs.
    Run(estimate && Knows("estimate_score") ? "estimate_score" : "final_score", Limit::kScore, [this, withDead, done, fail](const std::string& text) {
      const double lead = ParseScore(text);
      if (!withDead || !Knows("final_status_list")) {
        Finish(done)(lead, std::vector<PointIndex>());
        return;
      }
      Run("final_status_list dead", Limit::kScore, [this, lead, done](const std::string& list) {
        Finish(done)(lead, ParseVertexList(list));
      }, fail);
    }, fail);
  });
}

void EngineSession::Estimate(bool withDead,
                             std::function<void(double, std::vector<PointIndex>)> done,
                             Failed failed) {
  Score(true, withDead, done, failed);
}

void EngineSession::FinalScore(bool withDead,
                               std::function<void(double, std::vector<PointIndex>)> done,
                               Failed failed) {
  Score(false, withDead, done, failed);
}

}  // namespace kirobaku::gtp
