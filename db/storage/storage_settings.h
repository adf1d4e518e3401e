// Settings of the storage layer: the session's lock and flush options and the
// buffer bounds of the record, page and block caches. A table takes a copy
// when it opens; the defaults are the engine's.
#pragma once

#include <cstdint>

namespace kura {

struct TStorageSettings {
  // Session options.
  bool strict_change_detection = false;
  bool force_buffer_flush = false;
  int lock_retry_count = 15;  // record-lock attempts before 10258
  int lock_wait_time = 100;   // milliseconds between record-lock attempts

  // Lowest-level lock acquisition: table and write locks retry, read locks
  // try a new random slot, this many times with this sleep in between.
  int low_level_retries = 32766;
  int low_level_sleep_ms = 3;

  // Buffer bounds: each cache keeps at most min(memory / unit size, count).
  std::int32_t record_buffer_memory = 16384;
  std::int32_t record_buffer_count = 8192;
  std::int32_t index_buffer_memory = 16384;
  std::int32_t blob_buffer_memory = 32768;
  std::int32_t blob_buffer_count = 8192;

  // A commit journal that reaches this length is checkpointed by the commit
  // that made it so: the tables its commits wrote are flushed and it is cut.
  std::int64_t journal_checkpoint_bytes = std::int64_t{4} << 20;
};

// The process-wide defaults new tables start from.
TStorageSettings& DefaultStorageSettings();

}  // namespace kura
