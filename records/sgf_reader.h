// The SGF reader: turns a Smart Game Format file into the one-line comment of
// the game list (event, players, result) and MoveRecord entries (the black
// setup stones, then the moves of the main line).
//
// It is not a general SGF parser. It looks for a few markers (EV, PB, PW, RE,
// AB, ";B", ";W", ")(" and ")") in the text outside property values and reads
// fixed byte positions after them:
//  - The file's lines are joined with their line ends (LF, CRLF, CR) dropped.
//  - A property value runs from "[" to its closing "]"; "\" escapes the byte
//    after it, and in a CP932 file the byte after a double-byte lead byte
//    (0x81-0x9F, 0xE0-0xFC) is never taken for "]" or "\". A file that declares
//    CA[UTF-8] (any letter case), or declares no CA and is valid UTF-8 beyond
//    ASCII, is read as UTF-8: no double-byte rule, and the values it puts
//    into the comment are converted from UTF-8 to CP932 ("?" for what CP932
//    lacks, those characters reported). Markers are never searched inside
//    values.
//  - Points are two letters a..s (column from the left, row from the top); a
//    move whose letters are not both a..s (a pass, upper case, ...) is counted
//    but not stored, so later moves keep the game's own numbers.
//  - Setup stones come from every AB property before the first move, as black
//    stones with move number 0; AW is not read.
//  - The main line is read as alternating black and white moves from the start
//    of the game tree up to the first ")(" (or, when there is none, ")").
//  - At most 400 entries are stored.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "board/game_state.h"

namespace kirobaku {

// Reads the SGF text (the file's bytes) into entries 1..n of record, which the
// caller has emptied, and returns the comment as CP932 bytes. `unkept`, when
// given, receives the characters of a UTF-8 file's values that CP932 lacks
// (UTF-8, each once, in the order met; empty when all were kept).
std::string ReadSgfText(std::string_view bytes, Record& record, std::string* unkept = nullptr);

// Reads the SGF file at path as ReadSgfText does. Throws RecordFileError when
// the file cannot be read; nothing is stored then.
std::string ReadSgfFile(const std::filesystem::path& path, Record& record,
                        std::string* unkept = nullptr);

}  // namespace kirobaku
