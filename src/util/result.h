#pragma once
#include <QString>

#include <functional>
#include <optional>
#include <utility>

namespace nimbo {

// An error as the user sees it. `domain`/`code` identify ad-hoc errors
// (domain "Nimbo", negative codes); typed errors only fill `description`.
struct Error {
  QString description;
  QString domain;
  int code = 0;
  bool operator==(const Error&) const = default;
};

template <typename T>
class Result {
 public:
  Result() = default;  // an error with no description; containers need it
  Result(T value) : value_(std::move(value)) {}
  Result(Error error) : error_(std::move(error)) {}
  bool ok() const { return value_.has_value(); }
  const T& value() const { return *value_; }
  // Moves the value out (for move-only values).
  T take() { return std::move(*value_); }
  const Error& error() const { return error_; }

 private:
  std::optional<T> value_;
  Error error_;
};

template <typename T>
using Callback = std::function<void(Result<T>)>;

}  // namespace nimbo
