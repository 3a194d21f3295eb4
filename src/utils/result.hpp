#pragma once
// Failures travel as values: every operation that can fail returns Result<T>, whose error carries the
// message text users and models see. Nothing throws across a module boundary.

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace pelmox {

struct Error {
  std::string message;
  // HTTP status of a failed request, when the failure came from a reply; the model client's retry policy
  // reads it. Never part of the message text itself.
  std::optional<int> http_status;

  Error() = default;
  Error(std::string msg, std::optional<int> status = std::nullopt)  // NOLINT: implicit from text is the point
      : message(std::move(msg)), http_status(status) {}
};

template <class T>
class [[nodiscard]] Result {
 public:
  // Asio's completion handlers default-construct their value for the exception path; such a Result is never
  // handed on as a real outcome.
  Result() : v_(std::in_place_index<1>, Error("no result")) {}
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT
  Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

  const Error& error() const { return std::get<1>(v_); }
  Error& error() { return std::get<1>(v_); }

 private:
  std::variant<T, Error> v_;
};

// For operations that succeed with nothing to say.
struct Unit {};
using Status = Result<Unit>;
inline Status ok_status() { return Unit{}; }

}  // namespace pelmox
