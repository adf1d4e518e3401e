// The UGF reader: turns a UGF file (key=value header lines and a "[Data]"
// section of one move per line) into the one-line comment of the game list
// (title, players, result) and MoveRecord entries.
//
// Lines end at LF, CRLF or CR. Before "[Data]" the keys "Title=", "Winner",
// "BMemb1" and "WMemb1" are read at fixed byte positions; in the data section
// a line "DD:PP:..." holds black setup stones and a line "PD,B1,1,0" one move
// (point, colour letter, the rest unread). Points are two letters A..S: column
// from the left, row from the bottom. The move list ends at the first line
// whose fourth byte is neither "B" nor "W", or whose first letter is not A..S;
// a move whose second letter is not A..S is counted but not stored, and setup
// points with such letters are skipped. At most 400 entries are stored.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "board/game_state.h"

namespace kirobaku {

// Reads the UGF text (the file's bytes) into entries 1..n of record, which the
// caller has emptied, and returns the comment as CP932 bytes.
std::string ReadUgfText(std::string_view bytes, Record& record);

// Reads the UGF file at path as ReadUgfText does. Throws RecordFileError when
// the file cannot be read; nothing is stored then.
std::string ReadUgfFile(const std::filesystem::path& path, Record& record);

}  // namespace kirobaku
