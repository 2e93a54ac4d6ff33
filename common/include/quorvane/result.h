// Result<T, E>: a value or an error, the way every fallible operation of the
// codec, the rANS coder and the wavelet engine reports its outcome. Nothing is
// thrown across subsystem boundaries; each subsystem has its own error type E.
#pragma once

#include <cassert>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace quorvane {

// Wraps an error so that `return Err{e};` converts into any Result<T, E>.
template <class E>
struct Err {
  E value;
};
template <class E>
Err(E) -> Err<E>;

template <class T, class E>
class [[nodiscard]] Result {
 public:
  using value_type = T;
  using error_type = E;

  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  template <class E2, class = std::enable_if_t<std::is_convertible_v<E2, E>>>
  Result(Err<E2> error) : state_(std::in_place_index<1>, E(std::move(error.value))) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & {
    assert(ok());
    return std::get<0>(state_);
  }
  const T& value() const& {
    assert(ok());
    return std::get<0>(state_);
  }
  T&& value() && {
    assert(ok());
    return std::get<0>(std::move(state_));
  }
  const E& error() const {
    assert(!ok());
    return std::get<1>(state_);
  }

 private:
  std::variant<T, E> state_;
};

// Success without a value: a status.
template <class E>
class [[nodiscard]] Result<void, E> {
 public:
  using value_type = void;
  using error_type = E;

  Result() = default;
  template <class E2, class = std::enable_if_t<std::is_convertible_v<E2, E>>>
  Result(Err<E2> error) : error_(E(std::move(error.value))) {}

  bool ok() const { return !error_.has_value(); }
  explicit operator bool() const { return ok(); }
  const E& error() const {
    assert(!ok());
    return *error_;
  }

 private:
  std::optional<E> error_;
};

template <class E>
using Status = Result<void, E>;

}  // namespace quorvane

#define QUORVANE_CONCAT_INNER(a, b) a##b
#define QUORVANE_CONCAT(a, b) QUORVANE_CONCAT_INNER(a, b)

// QUORVANE_TRY(auto x, expr): evaluates expr (a Result), returns its error
// from the enclosing function, or binds its value to x.
#define QUORVANE_TRY(decl, expr) \
  QUORVANE_TRY_IMPL(QUORVANE_CONCAT(quorvane_try_, __LINE__), decl, expr)
#define QUORVANE_TRY_IMPL(tmp, decl, expr)                 \
  auto tmp = (expr);                                       \
  if (!tmp.ok()) return ::quorvane::Err{tmp.error()};      \
  decl = std::move(tmp).value()

// QUORVANE_TRY_STATUS(expr): returns the error of a Status from the
// enclosing function.
#define QUORVANE_TRY_STATUS(expr)                                        \
  do {                                                                   \
    auto quorvane_status_ = (expr);                                      \
    if (!quorvane_status_.ok()) return ::quorvane::Err{quorvane_status_.error()}; \
  } while (false)
