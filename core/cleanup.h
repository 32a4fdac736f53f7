// A scope-exit guard: runs a callable when it leaves scope, unless it was cancelled first. Made
// for error paths, where whatever a function has half done must be undone on every early return:
//
//   auto txn = storage.begin_transaction();
//   if (!txn) return ...;
//   Cleanup abort_on_error([&] { ignore_error(storage.abort(*txn), "the first error wins"); });
//   if (auto r = step_one(*txn); !r) return r;  // aborted here
//   if (auto r = step_two(*txn); !r) return r;  // and here
//   std::move(abort_on_error).cancel();          // the transaction is kept
//   return {};
//
// Not thread-safe; the callable must not throw (it runs in a destructor).
#pragma once

#include <type_traits>
#include <utility>

namespace kavrel {

template <class F>
class [[nodiscard]] Cleanup {
  static_assert(std::is_invocable_v<F&>, "a cleanup callable takes no arguments");

 public:
  explicit Cleanup(F callback) : callback_(std::move(callback)) {}
  // The moved-from guard no longer runs the callable; the new one does.
  Cleanup(Cleanup&& other) noexcept
      : callback_(std::move(other.callback_)), armed_(std::exchange(other.armed_, false)) {}
  Cleanup(const Cleanup&) = delete;
  Cleanup& operator=(const Cleanup&) = delete;
  Cleanup& operator=(Cleanup&&) = delete;
  ~Cleanup() {
    if (armed_) callback_();
  }

  // The callable will not run. Rvalue-qualified, like the end of the guard's use:
  // `std::move(guard).cancel()`.
  void cancel() && { armed_ = false; }
  // Runs the callable now rather than at the end of the scope; it will not run again.
  void invoke() && {
    if (std::exchange(armed_, false)) callback_();
  }

 private:
  F callback_;
  bool armed_ = true;
};

template <class F>
Cleanup(F) -> Cleanup<F>;

}  // namespace kavrel
