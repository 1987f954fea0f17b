// src/core/errors.h: the one error type of the core and the result wrapper that carries it.
#pragma once

#include <cstdlib>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "core/assert.h"

namespace xray {

enum class ErrorKind : unsigned char { Parse, BadSpec, Data };

// A failure the system detected itself. The message never holds the kind's
// prefix; display_text adds it.
struct XrayError {
  ErrorKind kind;
  std::string message;

  static XrayError parse(std::string message) { return {ErrorKind::Parse, std::move(message)}; }
  static XrayError bad_spec(std::string message) {
    return {ErrorKind::BadSpec, std::move(message)};
  }
  static XrayError data(std::string message) { return {ErrorKind::Data, std::move(message)}; }

  bool operator==(const XrayError&) const = default;
};

// "parse: ", "bad spec: " or "data: " followed by the message.
[[nodiscard]] std::string display_text(const XrayError& error);

// A value or one error. Converts from either, tests true when it holds a value.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}          // NOLINT
  Result(XrayError error) : state_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  explicit operator bool() const { return state_.index() == 0; }
  bool ok() const { return state_.index() == 0; }

  T& value() & { return *held(); }
  const T& value() const& { return *held(); }
  T&& value() && { return std::move(*held()); }
  T* operator->() { return held(); }
  const T* operator->() const { return held(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

  XrayError& error() & { return *failure(); }
  const XrayError& error() const& { return *failure(); }
  XrayError&& error() && { return std::move(*failure()); }

 private:
  T* held() {
    XRAY_ASSERT(state_.index() == 0, "value() of a failed Result");
    return std::get_if<0>(&state_);
  }
  const T* held() const {
    XRAY_ASSERT(state_.index() == 0, "value() of a failed Result");
    return std::get_if<0>(&state_);
  }
  XrayError* failure() {
    XRAY_ASSERT(state_.index() == 1, "error() of a successful Result");
    return std::get_if<1>(&state_);
  }
  const XrayError* failure() const {
    XRAY_ASSERT(state_.index() == 1, "error() of a successful Result");
    return std::get_if<1>(&state_);
  }

  std::variant<T, XrayError> state_;
};

// Success without a value, or one error.
template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(XrayError error) : error_(std::move(error)), failed_(true) {}  // NOLINT

  explicit operator bool() const { return !failed_; }
  bool ok() const { return !failed_; }
  XrayError& error() & { return error_; }
  const XrayError& error() const& { return error_; }
  XrayError&& error() && { return std::move(error_); }

 private:
  XrayError error_{ErrorKind::Parse, {}};
  bool failed_ = false;
};

using Status = Result<void>;

}  // namespace xray
