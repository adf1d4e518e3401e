// The failure texts of the engine's dataset classes, raised as
// EDatabaseError (the host framework's exception); "%s" takes a name.
#pragma once

namespace kura {

inline constexpr const char* kNoSqlStatement = "No SQL statement available";
inline constexpr const char* kNoParameterValue = "No value for parameter '%s'";
inline constexpr const char* kErrorCreatingHandle = "Error creating table handle.";
inline constexpr const char* kNotEditing = "Table is not in edit or insert mode.";
inline constexpr const char* kFieldNotInIndex = "Field %s is not in the current index.";
inline constexpr const char* kFieldReadOnly = "Field %s cannot be modified.";

}  // namespace kura
