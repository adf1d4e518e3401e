// The kura tool's sql command: a shell over one database directory.
//
//   kura sql DIR [--format table|tsv] [--param VALUE]...        statements from stdin
//   kura sql DIR -c "SQL" [--format table|tsv] [--param VALUE]...
//
// A statement read from standard input ends at a ";" that ends a line, or
// at the end of the input. Each runs at once; a SELECT prints its result,
// then the rows affected and the time go to standard error. An error prints
// the engine's message and the shell goes on; the exit status is 1 when any
// statement failed.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace kura::tool {

int SqlCommand(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
               std::ostream& err, bool input_is_terminal, bool output_is_terminal);
std::string SqlHelpText();

// Display width of UTF-8 text: East Asian wide and full-width characters
// count two columns.
int DisplayWidth(std::string_view utf8);

}  // namespace kura::tool
