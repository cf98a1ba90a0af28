#pragma once

#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include "quellmar/core/engine_error.h"
#include "quellmar/core/internal_fault.h"

namespace quellmar {

// The outcome of an operation that returns nothing: success or one EngineError.
class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(EngineError error) : error_(std::move(error)) {}  // NOLINT: implicit by design

  static Status ok() { return Status(); }

  bool is_ok() const { return !error_.has_value(); }
  explicit operator bool() const { return is_ok(); }

  const EngineError& error() const& {
    QM_CHECK(error_.has_value());
    return *error_;
  }
  EngineError&& error() && {
    QM_CHECK(error_.has_value());
    return std::move(*error_);
  }

 private:
  std::optional<EngineError> error_;
};

// A value of type T or one EngineError. Both conversions are implicit, so a function returning
// Result<T> can `return value;` and `return EngineError::...;` alike.
template <typename T>
class [[nodiscard]] Result {
 public:
  static_assert(!std::is_same_v<std::decay_t<T>, EngineError>);

  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}                 // NOLINT
  Result(EngineError error) : v_(std::in_place_index<1>, std::move(error)) {}       // NOLINT
  Result(Status status) : v_(std::in_place_index<1>, std::move(status).error()) {}  // NOLINT

  bool is_ok() const { return v_.index() == 0; }
  explicit operator bool() const { return is_ok(); }

  T& value() & {
    QM_CHECK(is_ok());
    return std::get<0>(v_);
  }
  const T& value() const& {
    QM_CHECK(is_ok());
    return std::get<0>(v_);
  }
  T&& value() && {
    QM_CHECK(is_ok());
    return std::get<0>(std::move(v_));
  }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

  const EngineError& error() const& {
    QM_CHECK(!is_ok());
    return std::get<1>(v_);
  }
  EngineError&& error() && {
    QM_CHECK(!is_ok());
    return std::get<1>(std::move(v_));
  }
  Status status() const { return is_ok() ? Status() : Status(error()); }

 private:
  std::variant<T, EngineError> v_;
};

namespace detail {
inline Status to_status(Status&& s) { return std::move(s); }
template <typename T>
Status to_status(Result<T>&& r) {
  return r.is_ok() ? Status() : Status(std::move(r).error());
}
}  // namespace detail

}  // namespace quellmar

#define QM_CONCAT_INNER(a, b) a##b
#define QM_CONCAT(a, b) QM_CONCAT_INNER(a, b)

// Returns the error of a Status or Result expression from the enclosing function.
#define QM_RETURN_IF_ERROR(expr)                                   \
  do {                                                             \
    auto&& qm_status_ = (expr);                                    \
    if (!qm_status_.is_ok()) return std::move(qm_status_).error(); \
  } while (false)

// `QM_ASSIGN_OR_RETURN(auto x, f());` declares x from f()'s value, or returns its error.
// Expands to several statements: never the unbraced body of an if.
#define QM_ASSIGN_OR_RETURN(lhs, expr) \
  QM_ASSIGN_OR_RETURN_IMPL(QM_CONCAT(qm_result_, __LINE__), lhs, expr)
#define QM_ASSIGN_OR_RETURN_IMPL(tmp, lhs, expr)   \
  auto tmp = (expr);                               \
  if (!tmp.is_ok()) return std::move(tmp).error(); \
  lhs = std::move(tmp).value()
