// src/errors.h: the one error type of the core and the result wrapper that carries it.
#pragma once

#include <cstdlib>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

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

// {"ok":false,"error":"<display text>"}
[[nodiscard]] std::string error_response(const XrayError& error);

// A value or one error. Converts from either, tests true when it holds a value.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT
  Result(XrayError error) : state_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  explicit operator bool() const { return state_.index() == 0; }
  bool ok() const { return state_.index() == 0; }

  T& value() & { return *std::get_if<0>(&state_); }
  const T& value() const& { return *std::get_if<0>(&state_); }
  T&& value() && { return std::move(*std::get_if<0>(&state_)); }
  T* operator->() { return std::get_if<0>(&state_); }
  const T* operator->() const { return std::get_if<0>(&state_); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

  XrayError& error() & { return *std::get_if<1>(&state_); }
  const XrayError& error() const& { return *std::get_if<1>(&state_); }
  XrayError&& error() && { return std::move(*std::get_if<1>(&state_)); }

 private:
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

// A broken invariant is no user error: checked in debug and sanitizer builds only.
#if defined(XRAY_CHECK_INVARIANTS)
#include <cstdio>
#define XRAY_ASSERT(cond, why)                                                      \
  do {                                                                              \
    if (!(cond)) {                                                                  \
      std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, why); \
      std::abort();                                                                 \
    }                                                                               \
  } while (0)
#else
#define XRAY_ASSERT(cond, why) ((void)0)
#endif
