// Text at the kura tool's boundary: field definitions on the command line
// ("NAME:TYPE[:LENGTH[:SCALE]]") and rows on standard input (tab-separated
// values in field order, "\N" for NULL). Text outside is UTF-8; table
// strings are CP932, converted here.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "db/storage/data/data_file.h"

namespace kura::tool {

// Parses "NAME:TYPE[:LENGTH[:SCALE]]"; nullopt with a reason when malformed.
std::optional<TFieldDefinition> ParseFieldDefinition(std::string_view definition, std::string* error);
// The tool's name of a field's type ("string", "autoinc", "memo", ...).
std::string TypeName(std::uint8_t type, std::uint8_t subtype);
// Whether `text` is well-formed UTF-8.
bool IsValidUtf8(std::string_view text);

// Fills `record` (a blank record image) from one input line. Returns the
// supplied auto-increment value through `auto_inc` when the row gives one.
// On failure returns false with a reason naming the field.
bool FillRecord(const TDataFile& data, std::string_view line, std::vector<std::uint8_t>* record,
                std::optional<std::int32_t>* auto_inc, std::string* error);

// A field's value of a record image as UTF-8 text, "\N" when null.
std::string FieldText(const TDataFile& data, const std::uint8_t* record,
                      const TFieldDescriptor& field);

}  // namespace kura::tool
