// TBlobBuffer: one BLOB or memo value held in memory for a cursor, moved
// between memory and its block chain; and the helpers that read and write
// the 8-byte BLOB reference inside a record image (blob_format.h).
//
// Writing a value always takes a new stamp from the data header's BLOB
// stamp counter and writes the value into new blocks; the old chain stays
// untouched. Whoever writes the record frees the old chain once the record is
// on disk (TDataTable::UpdateRecord queues it with DeferFreeChain), so a crash
// never leaves a record pointing at a half-written or freed value, and an
// edit that is cancelled loses nothing.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "db/storage/blob/blob_file.h"
#include "db/storage/data/data_file.h"

namespace kura {

// The reference held in a record's BLOB field; {0, 0} when the field is null.
TBlobRef GetBlobRef(const std::uint8_t* record, const TFieldDescriptor& field);
// The reference's bytes as stored, whatever the has-value byte says.
TBlobRef StoredBlobRef(const std::uint8_t* record, const TFieldDescriptor& field);
// Whether the has-value byte agrees with the first block number: every write
// sets it exactly when the block number is non-zero (a value has a chain, an
// empty value has none). A field that has a value but no chain, or a chain
// but no value, was damaged on disk; read as it stands, it would pass for a
// different value.
bool BlobRefConsistent(const std::uint8_t* record, const TFieldDescriptor& field);
// Writes the reference (has-value byte set when the first block is non-zero).
void PutBlobRef(TDataFile& data, std::uint8_t* record, const TFieldDescriptor& field, TBlobRef ref);

// The value of a BLOB field of `record` (empty when null). 8708, 8711, 8963
// as TBlobFile::LoadValue, 8963 also for a reference that is not consistent
// (BlobRefConsistent); 10753 when the field is not a BLOB field.
std::vector<std::uint8_t> ReadBlobField(TBlobFile& blobs, const TDataFile& data,
                                        const std::uint8_t* record, const TFieldDescriptor& field);
// Stores `value` as the field's new value with a new stamp and updates the
// record image. Returns the old reference, whose chain the caller frees
// (deferred) once the record is written.
TBlobRef WriteBlobField(TBlobFile& blobs, TDataFile& data, std::uint8_t* record,
                        const TFieldDescriptor& field, std::span<const std::uint8_t> value);
// Queues the chains of every BLOB field of a record that is being deleted.
void ReleaseBlobFields(TBlobFile& blobs, const TDataFile& data, const std::uint8_t* record);

class TBlobBuffer {
 public:
  explicit TBlobBuffer(const void* owner = nullptr) : owner_(owner) {}

  // Reads the value of the record's field (see ReadBlobField).
  void Load(TBlobFile& blobs, const TDataFile& data, const std::uint8_t* record,
            const TFieldDescriptor& field);
  // Writes the value held into the record's field (see WriteBlobField),
  // clears the modified flag and returns the old reference.
  TBlobRef Store(TBlobFile& blobs, TDataFile& data, std::uint8_t* record,
                 const TFieldDescriptor& field);
  // Keeps a second copy of the bytes (to compare or restore on cancel).
  void SaveCopy() { saved_ = bytes_; }
  void RestoreCopy();

  void SetBytes(std::span<const std::uint8_t> bytes);
  const std::vector<std::uint8_t>& Bytes() const { return bytes_; }
  const std::vector<std::uint8_t>& SavedBytes() const { return saved_; }
  std::size_t Length() const { return bytes_.size(); }
  bool Modified() const { return modified_; }
  std::int32_t FirstBlock() const { return ref_.first_block; }
  std::int32_t Stamp() const { return ref_.stamp; }
  const void* Owner() const { return owner_; }

 private:
  const void* owner_;
  bool modified_ = false;
  TBlobRef ref_;
  std::vector<std::uint8_t> bytes_;
  std::vector<std::uint8_t> saved_;
};

}  // namespace kura
