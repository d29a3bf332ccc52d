// Futures through which every operation delivers its result.
//
// A `pledge::Future<T>` is a cheap, copyable handle to one shared settlement
// slot. It starts unresolved and settles exactly once: resolved with a value,
// rejected with an error (std::exception_ptr), or cancelled. Of several
// threads racing to settle it, exactly one wins; the others' calls return
// false and change nothing.
//
// Cancellation: `cancel()` on an unsettled future settles it as cancelled.
// Cancelled counts as a failure carrying `pledge::CancelledError`: failure
// observers run with that error, success observers never run, waiters wake
// and `wait()` throws `CancelledError`, and futures derived by `map`/`then`
// are rejected with the same error. Cancelling a settled future does nothing.
//
// Observers run exactly once: on the settling thread, after the future's lock
// is released, or at once on the registering thread when the future has
// already settled. An exception thrown by an observer is swallowed.
#pragma once

#include "tavrik/Util/Error.h"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace pledge {

/// The result type of operations that return nothing.
using Void = std::monostate;

/// Thrown by `wait(timeout)` when the limit passes before the future settles.
class TimeoutError : public tavrik::Error {
public:
  std::string localizedDescription() const override { return "Timed out waiting for the future"; }
};

/// The error of a cancelled future.
class CancelledError : public tavrik::Error {
public:
  std::string localizedDescription() const override { return "The operation was cancelled"; }
};

template <class T> class Future;

namespace detail {

template <class T> struct IsFuture : std::false_type {};
template <class U> struct IsFuture<Future<U>> : std::true_type {
  using ValueType = U;
};

template <class T> struct State {
  enum class Phase { pending, resolved, rejected, cancelled };

  std::mutex mutex; // guards everything below
  std::condition_variable settled;
  Phase phase = Phase::pending;
  std::optional<T> value;
  std::exception_ptr error;
  std::vector<std::function<void(const T&)>> successObservers;
  std::vector<std::function<void(const std::exception_ptr&)>> failureObservers;
};

} // namespace detail

template <class T> class Future {
  using State = detail::State<T>;
  using Phase = typename State::Phase;

public:
  using ValueType = T;

  /// An unresolved future.
  Future() : state_(std::make_shared<State>()) {}

  static Future resolved(T value) {
    Future f;
    f.resolve(std::move(value));
    return f;
  }
  static Future rejected(std::exception_ptr error) {
    Future f;
    f.reject(std::move(error));
    return f;
  }

  /// Settles with a value. Returns false (and does nothing) when already settled.
  bool resolve(T value) const {
    // Held locally: an observer may release the last handle (this one included).
    const auto state = state_;
    std::vector<std::function<void(const T&)>> observers;
    // The losing observers are destroyed outside the lock too: what they
    // captured may reach back into this future when released.
    std::vector<std::function<void(const std::exception_ptr&)>> unused;
    const T* stored = nullptr;
    {
      std::lock_guard lock(state->mutex);
      if (state->phase != Phase::pending) return false;
      state->value.emplace(std::move(value));
      state->phase = Phase::resolved;
      observers.swap(state->successObservers);
      unused.swap(state->failureObservers);
      stored = &*state->value;
    }
    state->settled.notify_all();
    // The value is never written again once settled, so reading it unlocked is safe.
    for (auto& observer : observers) invoke(observer, *stored);
    return true;
  }

  /// Settles with an error. Returns false when already settled.
  bool reject(std::exception_ptr error) const { return fail(std::move(error), Phase::rejected); }
  template <class E, class = std::enable_if_t<!std::is_same_v<std::decay_t<E>, std::exception_ptr>>>
  bool reject(E&& error) const {
    return reject(std::make_exception_ptr(std::forward<E>(error)));
  }

  /// Settles as cancelled (see the header comment). Returns false when already settled.
  bool cancel() const { return fail(std::make_exception_ptr(CancelledError()), Phase::cancelled); }

  bool isSettled() const { return phase() != Phase::pending; }
  bool isResolved() const { return phase() == Phase::resolved; }
  bool isRejected() const { return phase() == Phase::rejected || phase() == Phase::cancelled; }
  bool isCancelled() const { return phase() == Phase::cancelled; }

  /// The value once resolved, nullopt otherwise.
  std::optional<T> value() const {
    std::lock_guard lock(state_->mutex);
    return state_->value;
  }
  /// The error once rejected or cancelled, null otherwise.
  std::exception_ptr error() const {
    std::lock_guard lock(state_->mutex);
    return state_->error;
  }

  /// Runs `observer` with the value once the future resolves.
  const Future& onSuccess(std::function<void(const T&)> observer) const {
    std::unique_lock lock(state_->mutex);
    if (state_->phase == Phase::pending) {
      state_->successObservers.push_back(std::move(observer));
      return *this;
    }
    if (state_->phase != Phase::resolved) return *this;
    const auto state = state_; // see resolve()
    const T* stored = &*state->value;
    lock.unlock();
    invoke(observer, *stored);
    return *this;
  }

  /// Runs `observer` with the error once the future is rejected or cancelled.
  const Future& onFailure(std::function<void(const std::exception_ptr&)> observer) const {
    std::unique_lock lock(state_->mutex);
    if (state_->phase == Phase::pending) {
      state_->failureObservers.push_back(std::move(observer));
      return *this;
    }
    if (state_->phase == Phase::resolved) return *this;
    auto error = state_->error;
    lock.unlock();
    invoke(observer, error);
    return *this;
  }

  /// A future that resolves with `transform(value)`, or fails with this
  /// future's error or with whatever `transform` throws.
  template <class F> auto map(F transform) const -> Future<std::invoke_result_t<F, const T&>> {
    using U = std::invoke_result_t<F, const T&>;
    Future<U> next;
    onSuccess([next, transform = std::move(transform)](const T& value) mutable {
      try {
        next.resolve(transform(value));
      } catch (...) {
        next.reject(std::current_exception());
      }
    });
    onFailure([next](const std::exception_ptr& error) { next.reject(error); });
    return next;
  }

  /// `transform` returns a further future; the result settles as that one does.
  template <class F>
  auto then(F transform) const -> Future<typename detail::IsFuture<std::invoke_result_t<F, const T&>>::ValueType> {
    using Inner = std::invoke_result_t<F, const T&>;
    static_assert(detail::IsFuture<Inner>::value, "then() needs a transform returning a Future");
    using U = typename detail::IsFuture<Inner>::ValueType;
    Future<U> next;
    onSuccess([next, transform = std::move(transform)](const T& value) mutable {
      try {
        Inner inner = transform(value);
        inner.onSuccess([next](const U& v) { next.resolve(v); });
        inner.onFailure([next](const std::exception_ptr& e) { next.reject(e); });
      } catch (...) {
        next.reject(std::current_exception());
      }
    });
    onFailure([next](const std::exception_ptr& error) { next.reject(error); });
    return next;
  }

  /// Blocks until the future settles; returns the value or throws the error
  /// (CancelledError when cancelled). With a timeout, throws TimeoutError
  /// when it passes first.
  T wait(std::optional<std::chrono::nanoseconds> timeout = std::nullopt) const {
    std::unique_lock lock(state_->mutex);
    auto done = [&] { return state_->phase != Phase::pending; };
    if (timeout) {
      if (!state_->settled.wait_for(lock, *timeout, done)) throw TimeoutError();
    } else {
      state_->settled.wait(lock, done);
    }
    if (state_->phase == Phase::resolved) return *state_->value;
    std::rethrow_exception(state_->error);
  }

  /// True when both handles refer to the same future.
  bool operator==(const Future& other) const { return state_ == other.state_; }

private:
  Phase phase() const {
    std::lock_guard lock(state_->mutex);
    return state_->phase;
  }

  bool fail(std::exception_ptr error, Phase phase) const {
    const auto state = state_; // see resolve()
    std::vector<std::function<void(const std::exception_ptr&)>> observers;
    std::vector<std::function<void(const T&)>> unused; // see resolve()
    {
      std::lock_guard lock(state->mutex);
      if (state->phase != Phase::pending) return false;
      state->error = error;
      state->phase = phase;
      observers.swap(state->failureObservers);
      unused.swap(state->successObservers);
    }
    state->settled.notify_all();
    for (auto& observer : observers) invoke(observer, error);
    return true;
  }

  template <class Fn, class Arg> static void invoke(Fn& fn, const Arg& arg) noexcept {
    try {
      fn(arg);
    } catch (...) {
    }
  }

  std::shared_ptr<State> state_;
};

} // namespace pledge
