// TRecordsBitmapStack: the process-wide pool of spare record bitmaps, shared
// by every session's cursors and guarded by its own lock. Taking pops the
// most recently given bitmap (cleared) or makes a new one; giving back keeps
// at most kCapacity spares and frees the rest. TPooledBitmap returns its
// bitmap on scope exit so that a throw never leaks one.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "db/storage/records_bitmap.h"

namespace kura {

class TRecordsBitmapStack {
 public:
  static constexpr std::size_t kCapacity = 64;

  static TRecordsBitmapStack& Instance();

  std::unique_ptr<TRecordsBitmap> Take();
  void Give(std::unique_ptr<TRecordsBitmap> bitmap);
  std::size_t SpareCount();

 private:
  std::mutex mutex_;
  std::vector<std::unique_ptr<TRecordsBitmap>> spare_;
};

class TPooledBitmap {
 public:
  TPooledBitmap() : bitmap_(TRecordsBitmapStack::Instance().Take()) {}
  ~TPooledBitmap() {
    if (bitmap_) TRecordsBitmapStack::Instance().Give(std::move(bitmap_));
  }
  TPooledBitmap(TPooledBitmap&&) noexcept = default;
  TPooledBitmap& operator=(TPooledBitmap&&) = delete;
  TPooledBitmap(const TPooledBitmap&) = delete;
  TPooledBitmap& operator=(const TPooledBitmap&) = delete;

  TRecordsBitmap& operator*() const { return *bitmap_; }
  TRecordsBitmap* operator->() const { return bitmap_.get(); }

 private:
  std::unique_ptr<TRecordsBitmap> bitmap_;
};

}  // namespace kura
