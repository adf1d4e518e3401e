// TDataSource: connects a dataset to what shows or follows it (a grid, a
// detail query's parameters). The dataset tells each of its data sources when
// its state changes and when its data changes: a field (field given), or the
// current row or the whole set (no field).
#pragma once

#include <functional>

#include "db/dataset/data_set.h"

namespace kura {

class TDataSource {
 public:
  TDataSource() = default;
  ~TDataSource();
  TDataSource(const TDataSource&) = delete;
  TDataSource& operator=(const TDataSource&) = delete;

  TDataSet* DataSet() const { return dataset_; }
  void SetDataSet(TDataSet* dataset);
  TDataSetState State() const { return dataset_ ? dataset_->State() : TDataSetState::dsInactive; }

  std::function<void(TDataSource&)> OnStateChange;
  std::function<void(TDataSource&, TField* field)> OnDataChange;

 private:
  friend class TDataSet;
  TDataSet* dataset_ = nullptr;
};

}  // namespace kura
