#include "db/storage/data/data_file.h"

#include <algorithm>
#include <ctime>
#include <limits>
#include <set>

#include "db/common/undo_on_throw.h"
#include "db/storage/engine_error.h"
#include "db/storage/file/file_system.h"
#include "db/storage/file/scramble.h"
#include "db/storage/language_table.h"

namespace kura {
namespace {

constexpr std::size_t kBufferStep = 4096;
constexpr int kReadBlockBytes = 8192;
constexpr int kMruProbe = 4;
constexpr int kMaxRecordSize = 65535;

// Local date and time as a day count since 1899-12-30 with the time as
// fraction, minus 693594 (the stored form of the last-write stamp).
// The stamp moves once a second; a header written more often (a write
// lock per row) reuses the second's stamp instead of converting again.
double LastWriteStamp() {
  thread_local std::time_t last = -1;
  thread_local double stamp = 0;
  const std::time_t now = std::time(nullptr);
  if (now == last) return stamp;
  std::tm tm{};
  localtime_r(&now, &tm);
  const double days = DayNumber(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday) -
                      DayNumber(1899, 12, 30) +
                      (tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec) / 86400.0;
  last = now;
  stamp = days - 693594;
  return stamp;
}

void Grow(std::vector<std::uint8_t>& buffer, std::size_t n) {
  if (buffer.size() < n) buffer.resize((n + kBufferStep - 1) / kBufferStep * kBufferStep);
}

bool ValidNameStart(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || (c >= 128 && c <= 254);
}

// A field as the rules below see it, whether it comes from a caller's
// definition or from a stored descriptor.
struct TFieldFacts {
  std::string name;
  std::size_t name_size = 0;               // stored: the length byte, which may exceed the capacity
  TValueShape shape;                       // length 0 for types without one, scale 0 but for BCD
  std::array<std::string, 3> value_texts;  // minimum, maximum, default
  std::array<std::size_t, 3> value_text_sizes{};
};

// The first rule a field breaks, in this order.
enum class TFieldFault { kNone, kName, kShape, kValueText };

// The rules of one field: a name of 1..25 bytes starting with a letter, '_'
// or a byte 128..254, unique case-insensitively among `earlier`; a known type
// and subtype; a declared length of 1..255 exactly for the types that have
// one; a scale of 0..32 for BCD and none otherwise; minimum, maximum and
// default texts that fit their field and read as its values.
TFieldFault FieldFault(const TFieldFacts& f, const std::vector<std::string>& earlier) {
  if (f.name.empty() || f.name_size > descriptor::kNameCapacity ||
      !ValidNameStart(static_cast<unsigned char>(f.name[0])))
    return TFieldFault::kName;
  for (const std::string& other : earlier)
    if (SameTextIgnoringCase(other, f.name)) return TFieldFault::kName;
  const TValueShape& s = f.shape;
  if (!IsValidFieldType(s.type) || !IsValidSubtype(s.type, s.subtype) ||
      (HasDeclaredLength(s.type) ? (s.length < 1 || s.length > kMaxDeclaredLength)
                                 : s.length != 0) ||
      (s.type == kFieldBcd ? (s.scale < 0 || s.scale > kBcdDigits) : s.scale != 0))
    return TFieldFault::kShape;
  for (std::size_t i = 0; i < f.value_texts.size(); ++i) {
    if (f.value_text_sizes[i] > descriptor::kTextCapacity || !IsValidValueText(s, f.value_texts[i]))
      return TFieldFault::kValueText;
  }
  return TFieldFault::kNone;
}

std::string ScrambledText(std::string_view text) {
  std::string s(text);
  Scramble(reinterpret_cast<std::uint8_t*>(s.data()), s.size(), kDescriptionKey);
  return s;
}

}  // namespace

TDataFile::TDataFile(std::string table_name, bool in_memory, const TStorageSettings& settings)
    : TFileHandler(std::move(table_name), in_memory), settings_(settings) {}

TDataFile::~TDataFile() {
  // Buffers hold raw pointers to this file; drop them before the handle.
  cache_.Clear();
}

// ---- header fields ----

std::int32_t TDataFile::Header32(std::size_t off) const {
  return static_cast<std::int32_t>(DecodeFixed32(&header_[off]));
}
void TDataFile::SetHeader32(std::size_t off, std::int32_t v) {
  EncodeFixed32(&header_[off], static_cast<std::uint32_t>(v));
}
int TDataFile::BlobFieldCount() const {
  return static_cast<std::int16_t>(DecodeFixed16(&header_[data_header::kBlobFieldCount]));
}
int TDataFile::RecordSize() const {
  return DecodeFixed16(&header_[data_header::kRecordSize]);
}
int TDataFile::BlobBlockSize() const {
  const int size = Header32(data_header::kBlobBlockSize) & 0xFFFF;
  return size == 0 ? 512 : size;
}
std::uint16_t TDataFile::LocaleLanguage() const {
  return DecodeFixed16(&header_[data_header::kLocaleLanguage]);
}
std::uint16_t TDataFile::LocaleSort() const {
  return DecodeFixed16(&header_[data_header::kLocaleSort]);
}
std::uint32_t TDataFile::LocaleId() const {
  return MakeLocaleId(LocaleLanguage(), LocaleSort());
}
std::int16_t TDataFile::UserMajor() const {
  return static_cast<std::int16_t>(DecodeFixed16(&header_[data_header::kUserMajor]));
}
std::int16_t TDataFile::UserMinor() const {
  return static_cast<std::int16_t>(DecodeFixed16(&header_[data_header::kUserMinor]));
}
bool TDataFile::Encrypted() const {
  return header_[data_header::kEncrypted] != 0;
}
std::string TDataFile::Description() const {
  std::string s =
      DecodeShortString(&header_[data_header::kDescription], data_header::kDescriptionCapacity);
  return Encrypted() ? ScrambledText(s) : s;
}
std::string TDataFile::Password() const {
  std::string s =
      DecodeShortString(&header_[data_header::kPassword], data_header::kPasswordCapacity);
  return Encrypted() ? ScrambledText(s) : s;
}
std::int32_t TDataFile::ChangeCounter() const {
  return Header32(data_header::kChangeCounter);
}
std::int32_t TDataFile::FreeHead() const {
  return Header32(data_header::kFreeHead);
}
std::int32_t TDataFile::NextRecordNumber() const {
  return Header32(data_header::kNextRecord);
}
std::int32_t TDataFile::LastAutoInc() const {
  return Header32(data_header::kLastAutoInc);
}
std::int32_t TDataFile::LastBlobStamp() const {
  return Header32(data_header::kLastBlobStamp);
}

// Generated values only ever grow, so a generated value never repeats one
// handed out before (explicit values raise the counter to themselves). Once
// 2147483647 has been handed out no value is left that is known to be unused:
// wrapping to 1 would collide with the oldest live records, so the insert is
// refused with 9492 instead and the counter stays.
std::int32_t TDataFile::NextAutoInc() {
  const std::int32_t last = LastAutoInc();
  if (last == std::numeric_limits<std::int32_t>::max()) Raise(kErrFieldLimits);
  const std::int32_t next = last + 1;
  SetHeader32(data_header::kLastAutoInc, next);
  header_changed_ = true;
  return next;
}

void TDataFile::SetLastAutoInc(std::int32_t v) {
  SetHeader32(data_header::kLastAutoInc, v);
  header_changed_ = true;
}

std::int32_t TDataFile::NextBlobStamp() {
  const std::int32_t last = LastBlobStamp();
  const std::int32_t next = last == 2147483647 ? 1 : last + 1;
  SetHeader32(data_header::kLastBlobStamp, next);
  header_changed_ = true;
  return next;
}

void TDataFile::AlterHeader(std::string_view password, std::string_view description,
                            std::int32_t last_auto_inc, std::int16_t user_major,
                            std::int16_t user_minor) {
  const bool enc = Encrypted();
  EncodeShortString(&header_[data_header::kPassword], data_header::kPasswordCapacity,
                    enc ? ScrambledText(password) : std::string());
  EncodeShortString(&header_[data_header::kDescription], data_header::kDescriptionCapacity,
                    enc ? ScrambledText(description) : std::string(description));
  SetHeader32(data_header::kLastAutoInc, last_auto_inc);
  EncodeFixed16(&header_[data_header::kUserMajor], static_cast<std::uint16_t>(user_major));
  EncodeFixed16(&header_[data_header::kUserMinor], static_cast<std::uint16_t>(user_minor));
  header_changed_ = true;
}

std::int64_t TDataFile::DataStart() const {
  return static_cast<std::int64_t>(kDataHeaderSize) +
         static_cast<std::int64_t>(fields_.size()) * kDescriptorSize;
}

std::int64_t TDataFile::SlotOffset(std::int32_t n) const {
  return DataStart() + static_cast<std::int64_t>(n - 1) * RecordSize();
}

const TFieldDescriptor* TDataFile::FieldByNumber(int number) const {
  // Numbers follow positions unless fields were dropped or moved: the field
  // at the number's position is looked at first.
  if (number >= 1 && static_cast<std::size_t>(number) <= fields_.size() &&
      fields_[static_cast<std::size_t>(number) - 1]->Number() == number)
    return fields_[static_cast<std::size_t>(number) - 1].get();
  for (const auto& f : fields_)
    if (f->Number() == number) return f.get();
  return nullptr;
}

const TFieldDescriptor* TDataFile::FieldByName(std::string_view name) const {
  for (const auto& f : fields_)
    if (SameTextIgnoringCase(f->Name(), name)) return f.get();
  return nullptr;
}

// ---- create ----

void TDataFile::CreateTable(const std::string& file_name, const std::vector<TFieldDefinition>& defs,
                            const TTableOptions& options) {
  TErrorContext ctx;
  ctx.table_name = table_name_;
  if (defs.empty() || defs.size() > static_cast<std::size_t>(kMaxFields))
    RaiseEngineError(kErrFieldLimits, ctx);
  if (options.blob_block_size < 0 || options.blob_block_size > 65535 ||
      (options.blob_block_size != 0 && options.blob_block_size < 64))
    RaiseEngineError(kErrBlobFields, ctx);

  std::vector<std::unique_ptr<TFieldDescriptor>> fields;
  int blob_fields = 0;
  std::int64_t record_size = kRecordHeaderSize;
  std::vector<std::string> names;
  for (std::size_t i = 0; i < defs.size(); ++i) {
    const TFieldDefinition& d = defs[i];
    ctx.field_name = d.name;
    const int length = HasDeclaredLength(d.type) ? d.length : 0;
    const int scale = d.type == kFieldBcd ? d.scale : 0;
    const TFieldFacts facts{d.name,
                            d.name.size(),
                            {d.type, d.subtype, length, scale},
                            {d.minimum, d.maximum, d.default_value},
                            {d.minimum.size(), d.maximum.size(), d.default_value.size()}};
    const TFieldFault fault = FieldFault(facts, names);
    if (fault == TFieldFault::kName) RaiseEngineError(kErrFieldName, ctx);
    if (fault == TFieldFault::kShape || d.char_case > 2 ||
        d.description.size() > descriptor::kTextCapacity)
      RaiseEngineError(kErrFieldDefinition, ctx);
    if (fault == TFieldFault::kValueText) RaiseEngineError(kErrValidityCheck, ctx);
    names.push_back(d.name);
    if (d.type == kFieldBlob && ++blob_fields > kMaxBlobFields)
      RaiseEngineError(kErrBlobFields, ctx);

    auto f = std::make_unique<TFieldDescriptor>();
    auto& im = f->image;
    const int storage = kura::StorageSize(d.type, length);
    EncodeFixed16(&im[descriptor::kNumber], static_cast<std::uint16_t>(i + 1));
    EncodeShortString(&im[descriptor::kName], descriptor::kNameCapacity, d.name);
    EncodeShortString(&im[descriptor::kDescription], descriptor::kTextCapacity, d.description);
    im[descriptor::kType] = d.type;
    im[descriptor::kSubtype] = d.subtype;
    im[descriptor::kLength] = static_cast<std::uint8_t>(length);
    im[descriptor::kScale] = static_cast<std::uint8_t>(scale);
    im[descriptor::kStorageSize] = static_cast<std::uint8_t>(storage);
    im[descriptor::kScaleCopy] = static_cast<std::uint8_t>(scale);
    const bool autoinc = d.type == kFieldInteger && d.subtype == kSubtypeAutoInc;
    const std::int64_t offset = autoinc ? record::kAutoInc : record_size;
    EncodeFixed16(&im[descriptor::kOffset], static_cast<std::uint16_t>(offset & 0xFFFF));
    im[descriptor::kRequired] = d.required ? 1 : 0;
    im[descriptor::kCharCase] = d.char_case;
    EncodeShortString(&im[descriptor::kMinimum], descriptor::kTextCapacity, d.minimum);
    EncodeShortString(&im[descriptor::kMaximum], descriptor::kTextCapacity, d.maximum);
    EncodeShortString(&im[descriptor::kDefault], descriptor::kTextCapacity, d.default_value);
    im[descriptor::kComputed] = d.computed ? 1 : 0;
    if (!autoinc && !d.computed) record_size += storage + 1;
    fields.push_back(std::move(f));
  }
  ctx.field_name.clear();
  if (record_size > kMaxRecordSize) RaiseEngineError(kErrMaxRecordSize, ctx);

  header_.fill(0);
  const bool enc = options.encrypted;
  EncodeFixed32(&header_[data_header::kBlobBlockSize],
                static_cast<std::uint32_t>(options.blob_block_size & 0xFFFF));
  header_[data_header::kVersion] = kDataFileVersion;
  SetHeader32(data_header::kFreeHead, 0);
  SetHeader32(data_header::kNextRecord, 1);
  SetHeader32(data_header::kLastAutoInc, 0);
  EncodeFixed16(&header_[data_header::kRecordSize], static_cast<std::uint16_t>(record_size));
  EncodeFixed16(&header_[data_header::kFieldCount], static_cast<std::uint16_t>(fields.size()));
  EncodeFixed16(&header_[data_header::kBlobFieldCount], static_cast<std::uint16_t>(blob_fields));
  const std::string description = options.description.substr(0, data_header::kDescriptionCapacity);
  const std::string password = options.password.substr(0, data_header::kPasswordCapacity);
  EncodeShortString(&header_[data_header::kDescription], data_header::kDescriptionCapacity,
                    enc ? ScrambledText(description) : description);
  header_[data_header::kEncrypted] = enc ? 1 : 0;
  EncodeShortString(&header_[data_header::kPassword], data_header::kPasswordCapacity,
                    enc ? ScrambledText(password) : std::string());
  EncodeFixed16(&header_[data_header::kLocaleLanguage], options.locale_language);
  EncodeFixed16(&header_[data_header::kLocaleSort], options.locale_sort);
  EncodeFixed16(&header_[data_header::kUserMajor], static_cast<std::uint16_t>(options.user_major));
  EncodeFixed16(&header_[data_header::kUserMinor], static_cast<std::uint16_t>(options.user_minor));
  fields_ = std::move(fields);
  header_changed_ = true;
  descriptors_changed_ = true;
  records_per_block_ = std::max(1, kReadBlockBytes / static_cast<int>(record_size));

  TFileHandler::Create(file_name);
  written_ = false;
  DropRecords();
  SizeCache();
}

// ---- open, header ----

void TDataFile::Open(const std::string& file_name, bool exclusive, bool temporary) {
  TFileHandler::Open(file_name, exclusive, temporary);
  TUndoOnThrow close([this] {
    fields_.clear();
    TFileHandler::Close();
  });
  ReadHeader();
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(FieldCount()) * kDescriptorSize);
  fields_.clear();
  const int count = DecodeFixed16(&header_[data_header::kFieldCount]);
  bytes.resize(static_cast<std::size_t>(count) * kDescriptorSize);
  ReadFull(kDataHeaderSize, bytes.data(), bytes.size());
  if (Encrypted()) Scramble(bytes.data(), bytes.size(), kRecordKey);
  DecodeDescriptors(bytes.data());
  descriptors_changed_ = false;
  CheckLayout();
  CheckHeaderNumbers();
  records_per_block_ = std::max(1, kReadBlockBytes / RecordSize());
  hits_ = misses_ = block_reads_ = writes_ = 0;
  written_ = false;
  DropRecords();
  SizeCache();
}

void TDataFile::Close() {
  cache_.Clear();
  block_count_ = 0;
  dirtied_.clear();
  dirtied_overflow_ = false;
  fields_.clear();
  header_changed_ = descriptors_changed_ = false;
  TFileHandler::Close();
}

void TDataFile::ReadHeader() {
  std::array<std::uint8_t, kDataHeaderSize> h;
  ReadFull(0, h.data(), h.size());
  if (h[data_header::kVersion] != kDataFileVersion) Raise(kErrVersion);
  if (DecodeFixed16(&h[data_header::kFieldCount]) > kMaxFields) Raise(kErrHeaderCorrupt);
  header_ = h;
  header_[data_header::kHeaderChanged] = 0;
  header_changed_ = false;
}

void TDataFile::DecodeDescriptors(const std::uint8_t* bytes) {
  const int count = DecodeFixed16(&header_[data_header::kFieldCount]);
  for (int i = 0; i < count; ++i) {
    auto f = std::make_unique<TFieldDescriptor>();
    std::copy_n(bytes + static_cast<std::size_t>(i) * kDescriptorSize, kDescriptorSize,
                f->image.begin());
    fields_.push_back(std::move(f));
  }
}

// The checks every open makes so that field access stays inside the record:
// known types, storage sizes that match them, slots inside the record.
void TDataFile::CheckLayout() const {
  const int size = RecordSize();
  if (size < static_cast<int>(kRecordHeaderSize) || fields_.empty()) Raise(kErrHeaderCorrupt);
  for (const auto& f : fields_) {
    if (!IsValidFieldType(f->Type())) Raise(kErrHeaderCorrupt);
    if (f->Computed()) continue;
    if (f->IsAutoInc()) {
      if (f->Offset() != record::kAutoInc) Raise(kErrHeaderCorrupt);
      continue;
    }
    const int storage = kura::StorageSize(f->Type(), f->Length());
    if (storage <= 0 || f->StorageSize() != storage ||
        (HasDeclaredLength(f->Type()) && f->Length() == 0))
      Raise(kErrHeaderCorrupt);
    if (f->Offset() < kRecordHeaderSize || f->Offset() + 1 + storage > size)
      Raise(kErrHeaderCorrupt);
  }
}

// The header's slot numbers must fit the file: records always reach the disk
// before the header that counts them, so the file is never shorter than the
// header's slots. A header claiming more would make appends write far past
// the end of the file.
void TDataFile::CheckHeaderNumbers() {
  const std::int32_t next = NextRecordNumber();
  const std::int32_t head = FreeHead();
  if (next < 1 || next > kMaxRecordNumber + 1 || head < 0 || head >= next) Raise(kErrHeaderCorrupt);
  const std::int64_t needed = DataStart() + static_cast<std::int64_t>(next - 1) * RecordSize();
  if (Size() < needed && !allow_short_file_) Raise(kErrHeaderCorrupt);
}

// Every read lock checks the counter: only its four bytes are read, and the
// whole header only when it moved.
bool TDataFile::ReReadHeaderIfChanged() {
  std::uint8_t counter[4];
  ReadHeadFull(data_header::kChangeCounter, counter, sizeof counter);
  if (DecodeFixed32(counter) == DecodeFixed32(&header_[data_header::kChangeCounter])) return false;
  std::array<std::uint8_t, kDataHeaderSize> h;
  ReadFull(0, h.data(), h.size());
  // Another session wrote: the structure must be the one we opened.
  if (h[data_header::kVersion] != kDataFileVersion) Raise(kErrVersion);
  if (DecodeFixed16(&h[data_header::kRecordSize]) != RecordSize() ||
      DecodeFixed16(&h[data_header::kFieldCount]) != FieldCount())
    Raise(kErrHeaderCorrupt);
  const auto saved = header_;
  header_ = h;
  header_[data_header::kHeaderChanged] = 0;
  {
    TUndoOnThrow restore([&] { header_ = saved; });
    CheckHeaderNumbers();
  }
  header_changed_ = false;
  DropRecords();
  return true;
}

void TDataFile::WriteHeader(bool force) {
  if (!force && !header_changed_) return;
  EncodeFixed32(&header_[data_header::kChangeCounter],
                DecodeFixed32(&header_[data_header::kChangeCounter]) + 1u);
  EncodeFixed64(&header_[data_header::kWriter], static_cast<std::uint64_t>(kWriterStamp));
  EncodeDouble(&header_[data_header::kLastWrite], LastWriteStamp());
  header_[data_header::kHeaderChanged] = header_changed_ ? 1 : 0;
  Write(0, header_.data(), header_.size());
  header_[data_header::kHeaderChanged] = 0;
  written_ = true;
  header_changed_ = false;
}

void TDataFile::WriteDescriptorsIfChanged() {
  if (!descriptors_changed_) return;
  std::vector<std::uint8_t> bytes(fields_.size() * kDescriptorSize);
  for (std::size_t i = 0; i < fields_.size(); ++i)
    std::copy(fields_[i]->image.begin(), fields_[i]->image.end(),
              bytes.begin() + i * kDescriptorSize);
  if (Encrypted()) Scramble(bytes.data(), bytes.size(), kRecordKey);
  Write(kDataHeaderSize, bytes.data(), bytes.size());
  written_ = true;
  descriptors_changed_ = false;
}

void TDataFile::MarkChanged() {
  EncodeFixed32(&header_[data_header::kChangeCounter],
                DecodeFixed32(&header_[data_header::kChangeCounter]) + 1u);
  header_changed_ = true;
}

void TDataFile::Empty(bool flush_os) {
  DropRecords();
  SetSize(DataStart());
  if (flush_os) Flush();
  SetHeader32(data_header::kChangeCounter, 0);
  SetHeader32(data_header::kFreeHead, 0);
  SetHeader32(data_header::kNextRecord, 1);
  SetHeader32(data_header::kLastAutoInc, 0);
  header_changed_ = true;
  written_ = true;
}

// ---- verification ----

void TDataFile::Verify() {
  if (header_[data_header::kVersion] != kDataFileVersion) Raise(kErrVersion);
  const std::uint32_t locale = LocaleId();
  if (locale != 0 && !IsLocaleInstalled(locale)) Raise(kErrLanguageDriver);
  std::int64_t expected = kRecordHeaderSize;
  int blob_fields = 0;
  std::vector<std::string> names;
  for (int pos = 1; pos <= FieldCount(); ++pos) {
    const TFieldDescriptor& f = Field(pos);
    auto text = [&f](std::size_t off) {
      return DecodeShortString(&f.image[off], descriptor::kTextCapacity);
    };
    const TFieldFacts facts{
        f.Name(),
        f.image[descriptor::kName],
        f.Shape(),
        {text(descriptor::kMinimum), text(descriptor::kMaximum), text(descriptor::kDefault)},
        {f.image[descriptor::kMinimum], f.image[descriptor::kMaximum],
         f.image[descriptor::kDefault]}};
    if (f.Number() != pos || FieldFault(facts, names) != TFieldFault::kNone)
      Raise(kErrHeaderCorrupt);
    names.push_back(facts.name);
    if (f.StorageSize() != kura::StorageSize(f.Type(), f.Length())) Raise(kErrHeaderCorrupt);
    if (f.Type() == kFieldBlob) ++blob_fields;
    if (f.Computed()) continue;
    if (f.IsAutoInc()) {
      if (f.Offset() != record::kAutoInc) Raise(kErrHeaderCorrupt);
      continue;
    }
    if (f.Offset() != expected) Raise(kErrHeaderCorrupt);
    expected += f.StorageSize() + 1;
  }
  if (expected != RecordSize() || blob_fields != BlobFieldCount()) Raise(kErrHeaderCorrupt);
  const std::int64_t length = Size();
  const std::int64_t data = length - DataStart();
  if (data < 0 || data % RecordSize() != 0) Raise(kErrHeaderCorrupt);
  const std::int64_t slots = data / RecordSize();
  if (NextRecordNumber() != slots + 1) Raise(kErrHeaderCorrupt);
  if (FreeHead() < 0 || FreeHead() > slots) Raise(kErrHeaderCorrupt);
}

std::vector<std::string> TDataFile::CheckSlots() {
  std::vector<std::string> problems;
  const std::int32_t slots = SlotCount();
  std::vector<bool> deleted(static_cast<std::size_t>(slots) + 1, false);
  for (std::int32_t n = 1; n <= slots; ++n) {
    TRecordPin r = GetRecord(n);
    if (r->Data()[record::kDeleted] > 1)
      problems.push_back("slot " + std::to_string(n) + ": deleted flag " +
                         std::to_string(r->Data()[record::kDeleted]));
    deleted[static_cast<std::size_t>(n)] = r->Deleted();
  }
  // Re-read live link bytes from disk: memory always holds the own number.
  std::vector<std::uint8_t> slot(static_cast<std::size_t>(RecordSize()));
  const std::int64_t on_disk = (Size() - DataStart()) / RecordSize();
  for (std::int32_t n = 1; n <= slots && n <= on_disk; ++n) {
    if (deleted[static_cast<std::size_t>(n)]) continue;
    TRecord* cached = cache_.Find(n);
    if (cached != nullptr && cached->Dirty()) continue;
    ReadFull(SlotOffset(n), slot.data(), slot.size());
    if (Encrypted()) Scramble(slot.data(), slot.size(), kRecordKey);
    if (static_cast<std::int32_t>(DecodeFixed32(&slot[record::kLink])) != n)
      problems.push_back("live slot " + std::to_string(n) + " does not hold its own number");
  }
  std::set<std::int32_t> seen;
  for (std::int32_t n = FreeHead(); n != 0;) {
    if (n < 0 || n > slots || !deleted[static_cast<std::size_t>(n)] || !seen.insert(n).second) {
      problems.push_back("free chain reaches slot " + std::to_string(n) +
                         ", not a deleted slot it has not visited");
      break;
    }
    TRecordPin r = GetRecord(n);
    n = r->Link();
  }
  return problems;
}

void TDataFile::CheckConsistency() {
  if (!CheckSlots().empty()) Raise(kErrHeaderCorrupt);
}

// ---- record cache ----

void TDataFile::SizeCache() {
  const int size = std::max(1, RecordSize());
  const std::size_t by_memory = static_cast<std::size_t>(settings_.record_buffer_memory / size);
  const std::size_t bound =
      std::min(by_memory, static_cast<std::size_t>(settings_.record_buffer_count));
  capacity_ = std::max<std::size_t>({bound, 1, static_cast<std::size_t>(records_per_block_)});
}

void TDataFile::InsertPending() {
  if (!cache_.InsertPending()) Raise(kErrRecordBuffersCorrupt);
}

// Evicts least recently used records that are neither dirty nor pinned,
// until `needed` places are free below the capacity (or nothing more can
// go), in one pass over the sorted list. Evicted records go back to the
// stack.
void TDataFile::MakeRoom(std::size_t needed) {
  const std::size_t target = capacity_ > needed ? capacity_ - needed : 0;
  if (cache_.sorted.size() <= target) return;
  const std::size_t to_free = cache_.sorted.size() - target;
  std::size_t freed = 0;
  for (TRecord* r = cache_.tail; r != nullptr && freed < to_free;) {
    TRecord* prev = r->mru_prev;
    if (!r->Dirty() && r->Pins() == 0) {
      r->SetNumber(0);  // marks it for removal below; live numbers are >= 1
      ++freed;
    }
    r = prev;
  }
  if (freed == 0) return;
  // The marked records leave both lists in one pass.
  cache_.RemoveIf([](const TRecord& r) { return r.Number() == 0; }, stack_);
}

// A fresh buffer numbered n at the head of the MRU list, not yet in the
// sorted list: the cache's pending one until the caller hands it to
// InsertPending.
TRecord* TDataFile::TakeBuffer(std::int32_t n) {
  if (cache_.sorted.size() >= capacity_) {
    // Evict in batches: the sorted list shifts once per batch, not per record.
    const std::size_t batch = std::max<std::size_t>(1, capacity_ / 8);
    MakeRoom(batch);
    if (cache_.sorted.size() >= capacity_ && !table_lock_held_ && !defer_writes_) {
      FlushRecords();
      MakeRoom(batch);
    }
    // Every record dirty or pinned (a large transaction): the cache grows,
    // by an eighth of itself at least 64, so that the scans for room stay
    // a constant share of the records taken instead of one per 64 of them.
    if (cache_.sorted.size() >= capacity_)
      capacity_ += std::max<std::size_t>(64, cache_.sorted.size() / 8);
  }
  return cache_.TakeFresh(stack_, this, static_cast<std::size_t>(RecordSize()), n);
}

void TDataFile::FinishRead(TRecord* r) {
  if (Encrypted()) Scramble(r->Data(), r->Size(), kRecordKey);
  if (!r->Deleted()) r->SetLink(r->Number());
}

bool TDataFile::InBlock(std::int32_t n) const {
  return n >= block_first_ && n < block_first_ + block_count_;
}

void TDataFile::CopyFromBlock(TRecord* r) {
  const std::size_t rs = static_cast<std::size_t>(RecordSize());
  std::copy_n(read_buffer_.data() + static_cast<std::size_t>(r->Number() - block_first_) * rs, rs,
              r->Data());
  FinishRead(r);
}

void TDataFile::ReadBlock(std::int32_t n, bool backwards) {
  const int rs = RecordSize();
  const std::int32_t next = NextRecordNumber();
  std::int32_t first = n, count;
  if (backwards) {
    first = std::max<std::int32_t>(1, n - records_per_block_ + 1);
    count = n - first + 1;
  } else {
    count = std::min<std::int32_t>(records_per_block_, next - n);
  }
  const std::size_t bytes = static_cast<std::size_t>(count) * static_cast<std::size_t>(rs);
  block_count_ = 0;  // the buffer is overwritten now
  Grow(read_buffer_, bytes);
  const std::size_t got = Read(SlotOffset(first), read_buffer_.data(), bytes);
  ++block_reads_;
  if (got < bytes) {
    // Slots past the end of the file are the ones this handle appended and
    // still holds in the cache, dirty or pinned (a transaction defers their
    // writes); those are not read. Any other missing slot is a read error.
    if (!MayReadShort(Exclusive()) &&
        !cache_.AllDirtyOrPinned(
            first + static_cast<std::int32_t>(got / static_cast<std::size_t>(rs)), first + count))
      Raise(kErrReading);
    std::fill(read_buffer_.begin() + static_cast<std::ptrdiff_t>(got),
              read_buffer_.begin() + static_cast<std::ptrdiff_t>(bytes), 0);
  }
  block_first_ = first;
  block_count_ = count;
  // Cached slots of the block are refreshed unless dirty or pinned.
  for (std::size_t i = cache_.LowerBound(first);
       i < cache_.sorted.size() && InBlock(cache_.sorted[i]->Number()); ++i) {
    TRecord* cached = cache_.sorted[i];
    if (!cached->Dirty() && cached->Pins() == 0) CopyFromBlock(cached);
  }
}

TRecordPin TDataFile::GetRecord(std::int32_t n, bool backwards) {
  const std::int32_t next = NextRecordNumber();
  if (n <= 0 || n > next) Raise(kErrRecordBuffersCorrupt);
  if (n == next) {
    const std::int64_t end = DataStart() + static_cast<std::int64_t>(n) * RecordSize();
    if (end > kMaxDataFileBytes || n > kMaxRecordNumber) Raise(kErrTableFull);
    TRecord* r = TakeBuffer(n);
    r->Pin();
    InsertPending();
    SetHeader32(data_header::kNextRecord, next + 1);
    header_changed_ = true;
    return TRecordPin(r);
  }
  if (TRecordPin r = PinCached(cache_, n, kMruProbe)) return r;
  if (InBlock(n)) {
    ++hits_;
  } else {
    ++misses_;
    ReadBlock(n, backwards);
  }
  // Taking a buffer may write dirty records back; such writes keep the block
  // up to date (Write), so the copy comes after.
  TRecord* r = TakeBuffer(n);
  CopyFromBlock(r);
  InsertPending();
  r->Pin();
  return TRecordPin(r);
}

// Slot n where it lies: the record cache's copy (`cached`), else the read
// block's bytes, as stored (the block read when it does not hold n).
const std::uint8_t* TDataFile::SlotBytes(std::int32_t n, bool& cached) {
  if (n <= 0 || n >= NextRecordNumber()) Raise(kErrRecordBuffersCorrupt);
  if (const TRecord* r = cache_.Find(n)) {
    cached = true;
    return r->Data();
  }
  cached = false;
  if (InBlock(n)) {
    ++hits_;
  } else {
    ++misses_;
    ReadBlock(n, false);
  }
  return read_buffer_.data() +
         static_cast<std::size_t>(n - block_first_) * static_cast<std::size_t>(RecordSize());
}

const std::uint8_t* TDataFile::PeekRecord(std::int32_t n) {
  bool cached = false;
  const std::uint8_t* slot = SlotBytes(n, cached);
  if (cached) return slot;
  const std::size_t rs = static_cast<std::size_t>(RecordSize());
  Grow(peek_buffer_, rs);
  std::copy_n(slot, rs, peek_buffer_.data());
  // As FinishRead does for a cached record.
  if (Encrypted()) Scramble(peek_buffer_.data(), rs, kRecordKey);
  if (peek_buffer_[record::kDeleted] == 0)
    EncodeFixed32(&peek_buffer_[record::kLink], static_cast<std::uint32_t>(n));
  return peek_buffer_.data();
}

const std::uint8_t* TDataFile::PeekFields(std::int32_t n) {
  // An encrypted block is held as stored: its records need the copy.
  if (Encrypted()) return PeekRecord(n);
  bool cached = false;
  return SlotBytes(n, cached);
}

TRecordPin TDataFile::AllocateSlot(bool no_primary_key) {
  const std::int32_t head = FreeHead();
  const bool reuse = head != 0 && !no_primary_key;
  const std::int32_t slot = reuse ? head : NextRecordNumber();
  TRecordPin r = GetRecord(slot);
  // A reused slot must be a deleted one, and its link must stay inside the
  // file: a corrupt chain must never hand out a live record.
  if (reuse && !r->Deleted()) Raise(kErrHeaderCorrupt);
  const std::int32_t link = r->Deleted() ? r->Link() : 0;
  const std::int32_t new_head = reuse ? link : 0;
  if (new_head < 0 || new_head >= NextRecordNumber() || new_head == slot) Raise(kErrHeaderCorrupt);
  if (new_head != head) {
    SetHeader32(data_header::kFreeHead, new_head);
    header_changed_ = true;
  }
  return r;
}

std::int32_t TDataFile::AppendSlots(const std::uint8_t* images, std::size_t count) {
  const std::int32_t first = NextRecordNumber();
  const std::int64_t rs = RecordSize();
  const std::int64_t last = static_cast<std::int64_t>(first) + static_cast<std::int64_t>(count) - 1;
  if (last > kMaxRecordNumber || DataStart() + last * rs > kMaxDataFileBytes) Raise(kErrTableFull);
  if (static_cast<std::int64_t>(LastAutoInc()) + static_cast<std::int64_t>(count) >
      std::numeric_limits<std::int32_t>::max())
    Raise(kErrFieldLimits);
  if (count == 0) return first;
  // A file in memory takes its final length at once instead of growing
  // block by block (each growth a copy of all before it).
  if (InMemory()) SetSize(SlotOffset(first) + static_cast<std::int64_t>(count) * rs);
  WriteSlots(first, images, count, LastAutoInc());
  const std::int32_t auto_inc = LastAutoInc() + static_cast<std::int32_t>(count);
  SetHeader32(data_header::kNextRecord, static_cast<std::int32_t>(last + 1));
  SetHeader32(data_header::kLastAutoInc, auto_inc);
  header_changed_ = true;
  written_ = true;
  ++writes_;
  return first;
}

// Slots first.. get the images, as live records holding their own number
// and the auto-increment values after `auto_inc`: in blocks of about 64 KB,
// which keep the copy small and the writes few.
void TDataFile::WriteSlots(std::int32_t first, const std::uint8_t* images, std::size_t count,
                           std::int32_t auto_inc) {
  const std::int64_t rs = RecordSize();
  const std::size_t per = std::max<std::size_t>(1, 65536 / static_cast<std::size_t>(rs));
  for (std::size_t done = 0; done < count;) {
    const std::size_t n = std::min(per, count - done);
    Grow(write_buffer_, n * static_cast<std::size_t>(rs));
    for (std::size_t k = 0; k < n; ++k) {
      std::uint8_t* dst = write_buffer_.data() + k * static_cast<std::size_t>(rs);
      std::copy_n(images + (done + k) * static_cast<std::size_t>(rs), rs, dst);
      dst[record::kDeleted] = 0;
      EncodeFixed32(&dst[record::kLink], static_cast<std::uint32_t>(first + done + k));
      EncodeFixed32(&dst[record::kAutoInc], static_cast<std::uint32_t>(++auto_inc));
      if (Encrypted()) Scramble(dst, static_cast<std::size_t>(rs), kRecordKey);
    }
    Write(SlotOffset(first + static_cast<std::int32_t>(done)), write_buffer_.data(),
          n * static_cast<std::size_t>(rs));
    done += n;
  }
}

void TDataFile::OverwriteSlots(const std::uint8_t* images, std::size_t count) {
  DropRecords();
  {
    TUndoOnThrow forget([this] { DropRecords(); });
    WriteSlots(1, images, count, 0);
  }
  header_changed_ = true;
  written_ = true;
  ++writes_;
}

void TDataFile::UndoAppendSlots(const TInsertMark& mark) {
  DropRecords();
  SetSize(DataStart());
  header_ = mark.header;
  header_changed_ = mark.header_changed;
}

TDataFile::TInsertMark TDataFile::MarkInsert() const {
  return TInsertMark{header_, header_changed_};
}

void TDataFile::UndoAllocate(const TInsertMark& mark, TRecordPin& slot,
                             const std::uint8_t* previous) {
  const std::int32_t n = slot->Number();
  if (previous != nullptr) {
    std::copy_n(previous, slot->Size(), slot->Data());
    slot->SetDirty(true);
    slot.Release();
  } else {
    // An appended slot exists only in the cache: forget it.
    slot->SetDirty(false);
    slot.Release();
    if (TRecord* r = cache_.Find(n); r != nullptr && r->Pins() == 0)
      cache_.GiveBack(cache_.LowerBound(n), stack_);
  }
  header_ = mark.header;
  header_changed_ = mark.header_changed;
}

void TDataFile::DeleteRecord(std::int32_t n) {
  if (n <= 0 || n >= NextRecordNumber()) Raise(kErrRecordNotFound);
  TRecordPin r = GetRecord(n);
  if (r->Deleted()) Raise(kErrRecordNotFound);
  r->SetDeleted(true);
  r->SetLink(FreeHead());
  r->SetDirty(true);
  SetHeader32(data_header::kFreeHead, n);
  header_changed_ = true;
}

void TDataFile::BufferDirtied(std::int32_t n) {
  // Beyond this many, scanning the whole cache is as cheap.
  if (dirtied_.size() < std::max<std::size_t>(64, capacity_ / 4)) {
    dirtied_.push_back(n);
  } else {
    dirtied_overflow_ = true;
  }
}

void TDataFile::WriteRun(TRecord* const* run, std::size_t count) {
  const std::size_t rs = static_cast<std::size_t>(RecordSize());
  Grow(write_buffer_, count * rs);
  for (std::size_t k = 0; k < count; ++k) {
    std::uint8_t* dst = write_buffer_.data() + k * rs;
    std::copy_n(run[k]->Data(), rs, dst);
    if (Encrypted()) Scramble(dst, rs, kRecordKey);
  }
  Write(SlotOffset(run[0]->Number()), write_buffer_.data(), count * rs);
  for (std::size_t k = 0; k < count; ++k)
    run[k]->SetDirty(false);
  written_ = true;
  ++writes_;
}

// Runs are the dirty unpinned records with consecutive numbers, written in
// ascending order. The records dirtied since the last flush are known by
// number, so usually only they are looked at; pinned ones stay noted.
bool TDataFile::FlushRecords() {
  std::vector<std::int32_t> pending;
  bool any = false;
  if (dirtied_overflow_) {
    auto writable = [&](const TRecord& r) {
      if (r.Dirty() && r.Pins() > 0) pending.push_back(r.Number());
      return r.Dirty() && r.Pins() == 0;
    };
    any = cache_.ForEachRun(writable, [&](std::size_t first, std::size_t count) {
      run_.clear();
      for (std::size_t k = 0; k < count; ++k)
        run_.push_back(cache_.sorted[first + k]);
      WriteRun(run_.data(), count);
    });
  } else {
    if (dirtied_.empty()) return false;
    std::sort(dirtied_.begin(), dirtied_.end());
    dirtied_.erase(std::unique(dirtied_.begin(), dirtied_.end()), dirtied_.end());
    run_.clear();
    for (std::int32_t n : dirtied_) {
      TRecord* r = cache_.Find(n);
      if (r == nullptr || !r->Dirty()) continue;
      if (r->Pins() > 0) {
        pending.push_back(n);
        continue;
      }
      if (!run_.empty() && run_.back()->Number() + 1 != n) {
        WriteRun(run_.data(), run_.size());
        any = true;
        run_.clear();
      }
      run_.push_back(r);
    }
    if (!run_.empty()) {
      WriteRun(run_.data(), run_.size());
      any = true;
    }
  }
  run_.clear();
  dirtied_ = std::move(pending);
  dirtied_overflow_ = false;
  return any;
}

void TDataFile::DropRecords() {
  cache_.DropUnpinned(stack_);
  block_count_ = 0;
}

// Keeps the last block read equal to the disk: bytes written over any of its
// slots are copied into it (they are in disk form, like the block).
void TDataFile::Write(std::int64_t offset, const void* buffer, std::size_t n) {
  {
    TUndoOnThrow forget_block([this] { block_count_ = 0; });  // the disk's bytes are unknown now
    TFileHandler::Write(offset, buffer, n);
  }
  if (block_count_ == 0) return;
  const std::int64_t start = SlotOffset(block_first_);
  const std::int64_t end = start + static_cast<std::int64_t>(block_count_) * RecordSize();
  const std::int64_t lo = std::max(start, offset);
  const std::int64_t hi = std::min(end, offset + static_cast<std::int64_t>(n));
  if (lo >= hi) return;
  std::copy_n(static_cast<const std::uint8_t*>(buffer) + (lo - offset),
              static_cast<std::size_t>(hi - lo), read_buffer_.data() + (lo - start));
}

void TDataFile::TrimCache() {
  SizeCache();
  MakeRoom(0);
}

// ---- field values ----

bool TDataFile::IsNull(const std::uint8_t* rec, const TFieldDescriptor& f) const {
  if (f.IsAutoInc()) return false;
  if (f.Computed()) return true;
  return rec[f.Offset()] == 0;
}

bool TDataFile::GetField(const std::uint8_t* rec, const TFieldDescriptor& f,
                         std::uint8_t* out) const {
  if (f.IsAutoInc()) {
    std::copy_n(rec + record::kAutoInc, 4, out);
    return true;
  }
  if (IsNull(rec, f)) return false;
  const std::size_t n = f.Type() == kFieldBlob ? 4 : f.StorageSize();
  std::copy_n(rec + f.Offset() + 1, n, out);
  return true;
}

void TDataFile::PutNull(std::uint8_t* rec, const TFieldDescriptor& f, bool force) {
  if ((f.Computed() && !force) || f.IsAutoInc()) return;
  if (f.Computed()) return;  // no slot to write, even when forced
  rec[f.Offset()] = 0;
  const std::size_t n = f.Type() == kFieldBlob ? 4 : f.StorageSize();
  std::fill_n(rec + f.Offset() + 1, n, 0);
}

void TDataFile::PutString(std::uint8_t* rec, const TFieldDescriptor& f, std::string_view text,
                          bool force) {
  PutField(rec, f, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()),
           force);
}

void TDataFile::PutField(std::uint8_t* rec, const TFieldDescriptor& f,
                         std::span<const std::uint8_t> value, bool force) {
  if (f.Computed()) {
    (void)force;  // computed fields have no slot in a stored record
    return;
  }
  if (f.IsAutoInc()) {
    std::uint8_t v[4] = {};
    std::copy_n(value.data(), std::min<std::size_t>(4, value.size()), v);
    std::copy_n(v, 4, rec + record::kAutoInc);
    return;
  }
  std::uint8_t* slot = rec + f.Offset();
  const std::size_t size = f.StorageSize();
  switch (f.Type()) {
    case kFieldString: {
      std::string text(reinterpret_cast<const char*>(value.data()), value.size());
      if (const auto z = text.find('\0'); z != std::string::npos) text.resize(z);
      if (text.size() > size - 1) text.resize(size - 1);
      while (!text.empty() && text.back() == ' ')
        text.pop_back();
      if (f.CharCase() != 0) {
        text = CaseMapCp932(text, LocaleId(), f.CharCase() == 2);
        if (text.size() > size - 1) text.resize(size - 1);
      }
      if (text.empty()) {
        PutNull(rec, f);
        return;
      }
      slot[0] = 1;
      std::fill_n(slot + 1, size, 0);
      std::copy(text.begin(), text.end(), slot + 1);
      return;
    }
    case kFieldBoolean: {
      const std::uint16_t v = value.size() >= 2 ? DecodeFixed16(value.data()) : 0;
      slot[0] = 1;
      EncodeFixed16(slot + 1, v == 0 ? 0 : 1);
      return;
    }
    case kFieldBlob: {
      const std::size_t n = std::min<std::size_t>(value.size(), 8);
      std::fill_n(slot + 1, 8, 0);
      std::copy_n(value.data(), n, slot + 1);
      slot[0] = DecodeFixed32(slot + 1) != 0 ? 1 : 0;
      return;
    }
    default: {
      slot[0] = 1;
      std::fill_n(slot + 1, size, 0);
      std::copy_n(value.data(), std::min(size, value.size()), slot + 1);
      return;
    }
  }
}

}  // namespace kura
