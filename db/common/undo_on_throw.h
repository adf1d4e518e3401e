// TUndoOnThrow: a scope guard for rollbacks. It runs its undo action when
// the scope it guards is left by an exception, and never otherwise:
//
//   data_->Open(name, exclusive);
//   TUndoOnThrow close([&] { data_->Close(); });
//   ReadAndCheckHeader();  // a throw here closes the file again
//
// The undo runs while the first error is on its way out; that error is the
// one the caller hears of, so a second failure inside the undo is swallowed
// (a destructor may not throw while unwinding).
#pragma once

#include <exception>
#include <utility>

namespace kura {

template <typename Undo>
class [[nodiscard]] TUndoOnThrow {
 public:
  explicit TUndoOnThrow(Undo undo)
      : undo_(std::move(undo)), exceptions_(std::uncaught_exceptions()) {}
  ~TUndoOnThrow() {
    if (std::uncaught_exceptions() <= exceptions_) return;
    try {
      undo_();
    } catch (...) {
      // The error being thrown already is the one to report.
    }
  }
  TUndoOnThrow(const TUndoOnThrow&) = delete;
  TUndoOnThrow& operator=(const TUndoOnThrow&) = delete;

 private:
  Undo undo_;
  int exceptions_;
};

}  // namespace kura
