#include "db/storage/blob/blob_buffer.h"

#include "db/storage/coding.h"
#include "db/storage/engine_error.h"

namespace kura {
namespace {

void CheckBlobField(const TDataFile& data, const TFieldDescriptor& field) {
  if (field.Type() == kFieldBlob && field.HasSlot() &&
      field.Offset() + 1 + blob_ref::kSize <= static_cast<std::size_t>(data.RecordSize()))
    return;
  TErrorContext context;
  context.table_name = data.TableName();
  context.field_name = field.Name();
  RaiseEngineError(kErrBlobField, context);
}

}  // namespace

TBlobRef StoredBlobRef(const std::uint8_t* record, const TFieldDescriptor& field) {
  const std::uint8_t* slot = record + field.Offset();
  return {static_cast<std::int32_t>(DecodeFixed32(slot + 1 + blob_ref::kFirstBlock)),
          static_cast<std::int32_t>(DecodeFixed32(slot + 1 + blob_ref::kStamp))};
}

TBlobRef GetBlobRef(const std::uint8_t* record, const TFieldDescriptor& field) {
  if (record[field.Offset()] == 0) return {};
  return StoredBlobRef(record, field);
}

bool BlobRefConsistent(const std::uint8_t* record, const TFieldDescriptor& field) {
  return (record[field.Offset()] != 0) == (StoredBlobRef(record, field).first_block != 0);
}

void PutBlobRef(TDataFile& data, std::uint8_t* record, const TFieldDescriptor& field,
                TBlobRef ref) {
  std::uint8_t value[blob_ref::kSize];
  EncodeFixed32(value + blob_ref::kFirstBlock, static_cast<std::uint32_t>(ref.first_block));
  EncodeFixed32(value + blob_ref::kStamp, static_cast<std::uint32_t>(ref.stamp));
  data.PutField(record, field, value);
}

std::vector<std::uint8_t> ReadBlobField(TBlobFile& blobs, const TDataFile& data,
                                        const std::uint8_t* record, const TFieldDescriptor& field) {
  CheckBlobField(data, field);
  if (!BlobRefConsistent(record, field)) RaiseTableError(kErrBlobBuffersCorrupt, data.TableName());
  return blobs.LoadValue(GetBlobRef(record, field));
}

TBlobRef WriteBlobField(TBlobFile& blobs, TDataFile& data, std::uint8_t* record,
                        const TFieldDescriptor& field, std::span<const std::uint8_t> value) {
  CheckBlobField(data, field);
  const TBlobRef old = GetBlobRef(record, field);
  const std::int32_t stamp = data.NextBlobStamp();
  const std::int32_t first = blobs.RewriteValue(TBlobRef{}, stamp, value);
  PutBlobRef(data, record, field, {first, stamp});
  return old;
}

void ReleaseBlobFields(TBlobFile& blobs, const TDataFile& data, const std::uint8_t* record) {
  for (int pos = 1; pos <= data.FieldCount(); ++pos) {
    const TFieldDescriptor& f = data.Field(pos);
    if (f.Type() != kFieldBlob || !f.HasSlot()) continue;
    blobs.DeferFreeChain(GetBlobRef(record, f));
  }
}

void TBlobBuffer::Load(TBlobFile& blobs, const TDataFile& data, const std::uint8_t* record,
                       const TFieldDescriptor& field) {
  bytes_ = ReadBlobField(blobs, data, record, field);
  ref_ = GetBlobRef(record, field);
  modified_ = false;
}

TBlobRef TBlobBuffer::Store(TBlobFile& blobs, TDataFile& data, std::uint8_t* record,
                            const TFieldDescriptor& field) {
  const TBlobRef old = WriteBlobField(blobs, data, record, field, bytes_);
  ref_ = GetBlobRef(record, field);
  modified_ = false;
  return old;
}

void TBlobBuffer::RestoreCopy() {
  bytes_ = saved_;
  modified_ = true;
}

void TBlobBuffer::SetBytes(std::span<const std::uint8_t> bytes) {
  bytes_.assign(bytes.begin(), bytes.end());
  modified_ = true;
}

}  // namespace kura
