// The database exception of the host dataset framework. The dataset framework
// (db/dataset) raises it for its own failures; the engine's EKuraEngineError
// derives from it, so a caller can catch every database failure as one type.
#pragma once

#include <stdexcept>
#include <string>

namespace kura {

class EDatabaseError : public std::runtime_error {
 public:
  explicit EDatabaseError(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace kura
