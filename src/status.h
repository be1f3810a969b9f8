// Status and Result: how the engine reports failure.
//
// Errors travel as values. A Status is either OK or carries a code and a
// message; Result<T> holds either a T or a failed Status. kInvalid messages
// are user-visible texts; kNoMemory is memory exhaustion; kInternal a
// violated invariant. Only the Python binding turns them into exceptions
// (src/binding/ref.h).
//
// Thread safety: plain values; no shared state.
#pragma once

#include <cassert>
#include <string>
#include <utility>
#include <variant>

namespace ostrel {

class Status {
 public:
  enum class Code { kOk, kInvalid, kNoMemory, kInternal };

  Status() = default;
  static Status OK() { return Status(); }
  static Status Invalid(std::string msg) { return Status(Code::kInvalid, std::move(msg)); }
  static Status NoMemory(std::string msg = "out of memory") {
    return Status(Code::kNoMemory, std::move(msg));
  }
  static Status Internal(std::string msg) { return Status(Code::kInternal, std::move(msg)); }

  bool ok() const { return code_ == Code::kOk; }
  Code code() const { return code_; }
  const std::string& message() const { return message_; }

 private:
  Status(Code code, std::string msg) : code_(code), message_(std::move(msg)) {}

  Code code_ = Code::kOk;
  std::string message_;
};

// Either a value or a failed Status. REQUIRES for value(): ok().
template <typename T>
class Result {
 public:
  Result(T value) : state_(std::move(value)) {}  // NOLINT: implicit by design
  Result(Status status) : state_(std::move(status)) {  // NOLINT
    assert(!std::get<Status>(state_).ok());
  }

  bool ok() const { return std::holds_alternative<T>(state_); }
  const Status& status() const {
    static const Status kOk;
    return ok() ? kOk : std::get<Status>(state_);
  }
  T& value() & { return std::get<T>(state_); }
  const T& value() const& { return std::get<T>(state_); }
  T&& value() && { return std::get<T>(std::move(state_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }

 private:
  std::variant<T, Status> state_;
};

}  // namespace ostrel
