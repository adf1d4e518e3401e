#include "db/engine/query/execution_support.h"

#include <atomic>
#include <cmath>
#include <cstring>

#include "db/engine/cursor/data_cursor.h"
#include "db/engine/session/data_session.h"
#include "db/storage/blob/blob_buffer.h"
#include "db/storage/engine_error.h"
#include "db/storage/file/file_system.h"
#include "db/storage/table/data_table.h"

namespace kura {

TExpressionContext SqlContext(const char* clause) {
  return TExpressionContext{kErrSql, std::string(), clause};
}

void SqlFail(const std::string& detail) {
  TErrorContext c;
  c.extra_message = detail;
  RaiseEngineError(kErrSql, c);
}

bool SameName(std::string_view a, std::string_view b) {
  return SameTextIgnoringCase(a, b);
}

// ---- TSourceSet ----

TSourceSet::TSourceSet(TDataDirectory& database, std::vector<TSourceTable>& sources, bool writable,
                       bool target_only)
    : sources_(sources) {
  try {
    for (TSourceTable& s : sources) {
      const bool write = writable && (!target_only || &s == &sources.front());
      if (s.shared && s.cursor) continue;  // still open from an earlier run
      CloseSource(s);
      TDataDirectory* dir = &database;
      if (!s.database.empty()) {
        dir = &database.Session().OpenDirectory(s.database, s.database);
        s.own_directory = true;
      }
      s.directory = dir;
      s.shared = &dir->OpenTable(s.name, !write, false, s.in_memory);
      s.cursor = std::make_unique<TDataCursor>(s.shared->Table(),
                                               TCursorSettings{database.Session().LockProtocol()});
      s.cursor->Open();
    }
  } catch (...) {
    for (TSourceTable& s : sources)
      CloseSource(s);
    throw;
  }
}

void TSourceSet::Release(std::size_t i) {
  TSourceTable& s = sources_[i];
  s.shared = nullptr;
  s.cursor.reset();
  s.own_directory = false;
}

void CloseSource(TSourceTable& s) {
  try {
    if (s.cursor) s.cursor->Close();
  } catch (...) {
    // Closing a cursor we only read through cannot lose anything.
  }
  s.cursor.reset();
  if (s.shared && s.directory) {
    try {
      s.directory->CloseTable(*s.shared);
    } catch (...) {
    }
  }
  s.shared = nullptr;
  if (s.own_directory && s.directory) {
    try {
      s.directory->Session().CloseDirectory(*s.directory);
    } catch (...) {
    }
  }
  s.own_directory = false;
  s.directory = nullptr;
}

void CloseSources(TDataQuery& q) {
  for (auto it = q.sources.rbegin(); it != q.sources.rend(); ++it)
    CloseSource(*it);
}

TDataTable& TSourceSet::Table(std::size_t i) {
  return sources_[i].shared->Table();
}

std::uint32_t TSourceSet::Locale() {
  return sources_.empty() ? 0 : Table(0).Data().LocaleId();
}

// ---- TRowLayout ----

namespace {
std::atomic<std::uint64_t> layout_serial{0};
}

TRowLayout::TRowLayout(TSourceSet& sources) : sources_(sources) {
  if (sources.Count() <= 1) return;
  std::vector<TFieldDefinition> defs;
  for (std::size_t i = 0; i < sources.Count(); ++i) {
    const TDataFile& d = sources.Table(i).Data();
    first_.push_back(defs.size() + 1);
    for (int f = 1; f <= d.FieldCount(); ++f) {
      const TFieldDescriptor& fd = d.Field(f);
      TFieldDefinition def;
      def.name = std::string(1, 'F');
      def.name += std::to_string(defs.size() + 1);
      def.type = fd.Type();
      def.subtype = fd.IsAutoInc() ? std::uint8_t{kSubtypeNone} : fd.Subtype();
      def.length = fd.Length();
      def.scale = fd.Scale();
      defs.push_back(def);
    }
  }
  if (defs.size() > static_cast<std::size_t>(kMaxFields))
    SqlFail("Maximum number of columns (" + std::to_string(kMaxFields) +
            ") in joined source tables exceeded");
  TTableOptions options;
  options.locale_language = sources.Table(0).Data().LocaleLanguage();
  options.locale_sort = sources.Table(0).Data().LocaleSort();
  combined_ = std::make_unique<TDataTable>(std::string(), "~join" + std::to_string(++layout_serial),
                                           DefaultStorageSettings(), true);
  combined_->Create(defs, options, TIndexCreateOptions{true});
  // What Combine copies of each source: the value slots (has-value byte and
  // value; 8 bytes of a BLOB reference) as runs of adjacent bytes, and an
  // auto-increment value, which has no slot, into its column's slot.
  const TDataFile& cd = combined_->Data();
  copies_.resize(sources.Count());
  for (std::size_t i = 0; i < sources.Count(); ++i) {
    const TDataFile& d = sources.Table(i).Data();
    for (int f = 1; f <= d.FieldCount(); ++f) {
      const TFieldDescriptor& from = d.Field(f);
      const TFieldDescriptor& to = cd.Field(static_cast<int>(first_[i]) + f - 1);
      std::vector<TCopy>& runs = copies_[i];
      if (from.IsAutoInc()) {
        runs.push_back({record::kAutoInc, to.Offset(), 4, true});
      } else if (!from.Computed()) {
        const std::size_t n = (from.Type() == kFieldBlob ? 8 : from.StorageSize()) + 1u;
        if (!runs.empty() && !runs.back().auto_inc &&
            runs.back().from + runs.back().size == from.Offset() &&
            runs.back().to + runs.back().size == to.Offset())
          runs.back().size += n;
        else
          runs.push_back({from.Offset(), to.Offset(), n, false});
      }
    }
  }
}

TRowLayout::~TRowLayout() {
  if (!combined_) return;
  try {
    combined_->Close(true);
    combined_->Delete();
  } catch (...) {
    // An in-memory table that cannot be dropped only holds memory.
  }
}

const TDataFile& TRowLayout::Data() const {
  return combined_ ? combined_->Data() : sources_.Table(0).Data();
}

int TRowLayout::RecordSize() const {
  return Data().RecordSize();
}

const TFieldDescriptor* TRowLayout::Resolve(const std::string& correlation, const std::string& name,
                                            const char* clause) const {
  const TFieldDescriptor* found = nullptr;
  for (std::size_t i = 0; i < sources_.Count(); ++i) {
    TSourceTable& s = sources_.Source(i);
    if (!correlation.empty() && !SameName(correlation, s.correlation)) continue;
    const TDataFile& d = sources_.Table(i).Data();
    const TFieldDescriptor* f = d.FieldByName(name);
    if (!f) continue;
    if (found) SqlContext(clause).FailIn("Ambiguous column name '" + name + "'");
    found = f;
    if (combined_) {
      for (int p = 1; p <= d.FieldCount(); ++p)
        if (&d.Field(p) == f) found = &combined_->Data().Field(static_cast<int>(first_[i]) + p - 1);
    }
  }
  return found;
}

TLayoutColumn TRowLayout::Origin(const TFieldDescriptor* f) const {
  const TDataFile& d = Data();
  int position = 0;
  for (int p = 1; p <= d.FieldCount(); ++p)
    if (&d.Field(p) == f) position = p;
  if (!combined_) return {0, position};
  std::size_t s = 0;
  while (s + 1 < first_.size() && static_cast<int>(first_[s + 1]) <= position)
    ++s;
  return {s, position - static_cast<int>(first_[s]) + 1};
}

std::vector<const TFieldDescriptor*> TRowLayout::SourceFields(std::size_t i) const {
  std::vector<const TFieldDescriptor*> out;
  const int count = sources_.Table(i).Data().FieldCount();
  for (int f = 1; f <= count; ++f)
    out.push_back(combined_ ? &combined_->Data().Field(static_cast<int>(first_[i]) + f - 1)
                            : &sources_.Table(i).Data().Field(f));
  return out;
}

std::uint64_t TRowLayout::SourcesOf(const TExpToken& n) const {
  std::uint64_t bits = 0;
  if (n.kind == kNodeColumn && n.field) {
    const std::size_t s = Origin(n.field).source;
    if (s < 64) bits |= std::uint64_t{1} << s;
  }
  if (n.left) bits |= SourcesOf(*n.left);
  if (n.right) bits |= SourcesOf(*n.right);
  for (const auto& o : n.operands)
    bits |= SourcesOf(*o);
  return bits;
}

void TRowLayout::Combine(const std::vector<const std::uint8_t*>& records, std::uint8_t* out) const {
  std::memset(out, 0, static_cast<std::size_t>(combined_->Data().RecordSize()));
  for (std::size_t i = 0; i < records.size(); ++i) {
    const std::uint8_t* rec = records[i];
    if (!rec) continue;
    for (const TCopy& c : copies_[i]) {
      if (c.auto_inc) {
        out[c.to] = 1;
        std::memcpy(out + c.to + 1, rec + c.from, c.size);
      } else {
        std::memcpy(out + c.to, rec + c.from, c.size);
      }
    }
  }
}

TColumnResolver TRowLayout::Resolver(const char* clause) const {
  return [this, clause](const std::string& correlation, const std::string& name) {
    return Resolve(correlation, name, clause);
  };
}

// ---- values ----

TLastAutoIncLookup LastAutoIncOf(TDataDirectory& db) {
  return [&db](const std::string& name) {
    TSharedTable& shared = db.OpenTable(name, true, false);
    std::int32_t value = 0;
    try {
      // The read lock re-reads a header another program changed.
      const TReadLockGuard lock(shared.Table());
      value = shared.Table().Data().LastAutoInc();
    } catch (...) {
      db.CloseTable(shared);
      throw;
    }
    db.CloseTable(shared);
    return value;
  };
}

TExpValue ReadFieldValue(const TDataFile& data, const TFieldDescriptor& f,
                         const std::uint8_t* record, TBlobFile* blobs) {
  std::uint8_t buf[kBcdSize + 256];
  if (!data.GetField(record, f, buf)) return TExpValue::Null(f.Type());
  if (f.Type() == kFieldBlob) {
    TExpValue v = TExpValue::Null(kFieldBlob);
    v.null = false;
    if (blobs) {
      const std::vector<std::uint8_t> bytes = ReadBlobField(*blobs, data, record, f);
      v.s.assign(bytes.begin(), bytes.end());
    }
    return v;
  }
  return DecodeFieldValue(f.Shape(), buf);
}

namespace {

std::string ValueText(const TExpValue& v) {
  if (IsIntegerType(v.type) || v.type == kFieldBoolean) return std::to_string(v.i);
  if (IsFloatType(v.type)) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17Lg", v.f);
    return buf;
  }
  return v.s;
}

}  // namespace

bool ConvertValue(const TExpValue& v, const TValueShape& shape, TExpValue* out) {
  *out = v;
  if (v.null) {
    out->type = shape.type;
    return true;
  }
  const std::uint8_t t = shape.type;
  if (t == v.type) return true;
  if (IsIntegerType(t) && IsIntegerType(v.type)) {
    out->type = t;
    return true;
  }
  if (IsIntegerType(t) && IsFloatType(v.type)) {
    if (std::isnan(v.f) || v.f != std::floor(v.f) || std::fabs(v.f) > 9.2e18L) return false;
    *out = TExpValue::Int(t, static_cast<std::int64_t>(v.f));
    return true;
  }
  if (IsFloatType(t) && IsIntegerType(v.type)) {
    *out = TExpValue::Float(t, static_cast<long double>(v.i));
    return true;
  }
  if (IsFloatType(t) && IsFloatType(v.type)) {
    out->type = t;
    return true;
  }
  if (t == kFieldString && v.type != kFieldBlob && !IsByteType(v.type) && v.type != kFieldDate &&
      v.type != kFieldTime && v.type != kFieldTimestamp) {
    *out = TExpValue::Str(kFieldString, ValueText(v));
    return true;
  }
  if (t == kFieldBlob && (v.type == kFieldString || IsByteType(v.type))) {
    *out = TExpValue::Str(kFieldBlob, v.s);
    return true;
  }
  if (IsByteType(t) && IsByteType(v.type)) {
    out->type = t;
    return true;
  }
  if (t == kFieldTimestamp && v.type == kFieldDate) {
    // Day 1 (0001-01-01) is timestamp 0.
    *out = TExpValue::Float(kFieldTimestamp, static_cast<long double>(v.i - 1) * 86400000.0L);
    return true;
  }
  return false;
}

void StoreFieldValue(TDataTable& table, const TFieldDescriptor& f, std::uint8_t* record,
                     const TExpValue& value) {
  TDataFile& data = table.Data();
  // An integer into an integer field (most result columns) takes no detour.
  if (!value.null && value.type == kFieldInteger && f.Type() == kFieldInteger &&
      value.i >= INT32_MIN && value.i <= INT32_MAX) {
    std::uint8_t bytes[4];
    EncodeFixed32(bytes, static_cast<std::uint32_t>(value.i));
    data.PutField(record, f, bytes);
    return;
  }
  // A value of the field's own type needs no converted copy (the common
  // case of result rows and copied columns).
  TExpValue converted;
  const bool same = value.null || value.type == f.Type();
  if (!same && !ConvertValue(value, f.Shape(), &converted))
    SqlFail("Type mismatch: a value of type " + TypeName(value.type) +
            " cannot be stored in column '" + f.Name() + "' of type " + TypeName(f.Type()));
  const TExpValue& given = same ? value : converted;
  // Trailing blanks are not stored, so they do not count against the
  // column's length.
  TExpValue trimmed;
  const bool blanks = !given.null && f.Type() == kFieldString && !given.s.empty() &&
                      given.s.back() == ' ';
  if (blanks) {
    trimmed = given;
    trimmed.s.erase(trimmed.s.find_last_not_of(' ') + 1);
    if (trimmed.s.empty()) trimmed = TExpValue::Null(kFieldString);
  }
  const TExpValue& v = blanks ? trimmed : given;
  if (v.null) {
    data.PutNull(record, f);
    return;
  }
  if (f.Type() == kFieldBlob) {
    TBlobFile* blobs = table.Blobs();
    if (!blobs) RaiseTableError(kErrBlobField, table.Name());
    WriteBlobField(*blobs, data, record, f,
                   std::span(reinterpret_cast<const std::uint8_t*>(v.s.data()), v.s.size()));
    return;
  }
  thread_local std::vector<std::uint8_t> bytes;
  if (!EncodeFieldValue(f.Shape(), v, &bytes))
    SqlFail("Value '" + ValueText(v) + "' does not fit column '" + f.Name() + "' of type " +
            TypeName(f.Type()));
  data.PutField(record, f, bytes);
}

}  // namespace kura
