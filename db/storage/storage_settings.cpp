#include "db/storage/storage_settings.h"

namespace kura {

TStorageSettings& DefaultStorageSettings() {
  static TStorageSettings settings;
  return settings;
}

}  // namespace kura
