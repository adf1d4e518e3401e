// Helpers of the session tests: tables of one integer field made on disk,
// rows appended and read back through a shared open table.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "db/engine/session/kura_session.h"
#include "db/storage/coding.h"
#include "db/storage/table/data_table.h"
#include "tests/storage/storage_test_support.h"

namespace kura::test {

// Creates table `name` in `dir` with one 32-bit field "V" and closes it.
inline void MakeTable(const std::string& dir, const std::string& name, bool in_memory = false,
                      const std::string& password = "") {
  TDataTable t(dir, name, DefaultStorageSettings(), in_memory);
  TTableOptions options;
  options.encrypted = !password.empty();
  options.password = password;
  t.Create({Field("V", kFieldInteger)}, options);
  t.Close();
}

// Appends value v under the table's write lock.
inline void Append(TDataTable& t, std::int32_t v) {
  TWriteLockGuard lock(t);
  std::vector<std::uint8_t> rec = t.BlankRecord();
  std::uint8_t bytes[4];
  EncodeFixed32(bytes, static_cast<std::uint32_t>(v));
  t.Data().PutField(rec.data(), *t.Data().FieldByName("V"), bytes);
  t.InsertRecord(rec.data());
}

// The values of every live record, sorted, read under a read lock.
inline std::vector<std::int32_t> Values(TDataTable& t) {
  TReadLockGuard lock(t);
  std::vector<std::int32_t> out;
  const TFieldDescriptor& f = *t.Data().FieldByName("V");
  for (std::int32_t n = 1; n <= t.Data().SlotCount(); ++n) {
    TRecordPin r = t.Data().GetRecord(n);
    std::uint8_t bytes[4];
    if (!r->Deleted() && t.Data().GetField(r->Data(), f, bytes))
      out.push_back(static_cast<std::int32_t>(DecodeFixed32(bytes)));
  }
  std::sort(out.begin(), out.end());
  return out;
}

// The message of the EDatabaseError f raises ("" when none).
inline std::string MessageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const EDatabaseError& e) {
    return e.what();
  }
  return "";
}

}  // namespace kura::test
