// The dataset framework's own failure texts, all raised as EDatabaseError.
// "%s" is replaced by a name, "%d" by a number.
#pragma once

#include <string>

namespace kura {

inline constexpr const char* kDataSetEmpty = "空のデータセットには, この操作は実行できません";
inline constexpr const char* kDataSetClosed = "Cannot perform this operation on a closed dataset";
inline constexpr const char* kDataSetOpen = "Cannot perform this operation on an open dataset";
inline constexpr const char* kDataSetReadOnly = "Cannot modify a read-only dataset";
inline constexpr const char* kFieldNotFound = "Field '%s' not found";
inline constexpr const char* kParamNotFound = "Parameter '%s' not found";
inline constexpr const char* kListIndexError = "List index out of bounds (%d)";
inline constexpr const char* kFieldAccessError = "Cannot access field '%s' as type %s";
inline constexpr const char* kInvalidInteger = "'%s' is not a valid integer value";
inline constexpr const char* kInvalidFloat = "'%s' is not a valid floating point value";
inline constexpr const char* kInvalidBoolean = "'%s' is not a valid boolean value";
inline constexpr const char* kNoBlobStream = "Field '%s' has no BLOB stream";

// message with each "%s" / "%d" replaced by the next argument in turn.
std::string FormatMessage(const char* message, const std::string& a = {},
                          const std::string& b = {});
[[noreturn]] void DatabaseError(const char* message, const std::string& a = {},
                                const std::string& b = {});

}  // namespace kura
