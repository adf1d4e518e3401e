// The body shared by the fuzz targets of the game-record readers: the input
// is a file's bytes. A run reads them into an empty record, checks what the
// reader stored (entries 1..n placeable, the rest empty, at most 400), then
// puts the record on a board as the program does after an import: a replay
// to its end, up to kSteps steps back and as many forward again, with the
// game state's consistency check after each stage. (Each step back over a
// retaken point replays the record, so the steps are bounded to keep runs
// fast.) Any exception or failed check
// is a finding (std::abort); readers of untrusted bytes raise nothing.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>

#include "board/board_view.h"
#include "board/game_state.h"

namespace kirobaku::fuzz {

[[noreturn]] inline void Finding(const std::string& what) {
  std::fprintf(stderr, "finding: %s\n", what.c_str());
  std::abort();
}

inline void CheckStoredEntries(const Record& record) {
  if (record[0] != MoveEntry{}) Finding("entry 0 written");
  bool ended = false;
  for (int i = 1; i <= kRecordSize; ++i) {
    const MoveEntry& e = record[i];
    if (e == MoveEntry{}) {
      ended = true;
    } else if (ended) {
      Finding("entry " + std::to_string(i) + " after an empty entry");
    } else if (!e.IsPlaceable() || e.move < 0) {
      Finding("entry " + std::to_string(i) + " is not placeable");
    }
  }
}

inline void Check(const GameState& state, const char* stage) {
  try {
    state.CheckConsistency();
  } catch (const std::exception& e) {
    Finding(std::string(stage) + ": " + e.what());
  }
}

inline constexpr std::int32_t kSteps = 60;

template <typename Reader>
void FuzzRecordReader(Reader read, const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  NullBoardView view;
  GameState state(view);
  try {
    const std::string comment = read(bytes, state.MoveRecord);
    (void)comment;
  } catch (const std::exception& e) {
    Finding(std::string("the reader threw: ") + e.what());
  }
  CheckStoredEntries(state.MoveRecord);
  state.ReplayTo(0, 1);
  Check(state, "after the replay");
  const std::int32_t end = state.Position;
  const std::int32_t steps = std::min(end, kSteps);
  for (std::int32_t i = 0; i < steps; ++i)
    state.StepBackward();
  Check(state, "after stepping back");
  for (std::int32_t i = 0; i < steps; ++i)
    state.StepForward();
  Check(state, "after stepping forward");
  if (state.Position != end) Finding("stepping forward did not reach the replay's end");
}

}  // namespace kirobaku::fuzz
