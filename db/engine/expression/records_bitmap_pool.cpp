#include "db/engine/expression/records_bitmap_pool.h"

namespace kura {

TRecordsBitmapStack& TRecordsBitmapStack::Instance() {
  static TRecordsBitmapStack stack;
  return stack;
}

std::unique_ptr<TRecordsBitmap> TRecordsBitmapStack::Take() {
  std::unique_ptr<TRecordsBitmap> b;
  {
    std::lock_guard lock(mutex_);
    if (!spare_.empty()) {
      b = std::move(spare_.back());
      spare_.pop_back();
    }
  }
  if (!b) return std::make_unique<TRecordsBitmap>();
  b->SetSize(0);
  b->ClearAll();
  return b;
}

void TRecordsBitmapStack::Give(std::unique_ptr<TRecordsBitmap> bitmap) {
  if (!bitmap) return;
  std::lock_guard lock(mutex_);
  if (spare_.size() < kCapacity) spare_.push_back(std::move(bitmap));
}

std::size_t TRecordsBitmapStack::SpareCount() {
  std::lock_guard lock(mutex_);
  return spare_.size();
}

}  // namespace kura
