#pragma once
// For tests: runs a coroutine to completion on an event loop of its own, and returns only once everything on
// that loop, abandoned work included, has ended.

#include <exception>
#include <optional>

#include "runtime/runtime.hpp"

namespace pelmox {

template <class T>
T run_sync(awaitable<T> work) {
  asio::io_context io;
  std::optional<T> out;
  std::exception_ptr failure;
  auto body = [&]() -> awaitable<void> { out.emplace(co_await std::move(work)); };
  asio::co_spawn(io, body(), [&](std::exception_ptr e) { failure = e; });
  io.run();
  if (failure) std::rethrow_exception(failure);
  return std::move(*out);
}

inline void run_sync(awaitable<void> work) {
  asio::io_context io;
  std::exception_ptr failure;
  asio::co_spawn(io, std::move(work), [&](std::exception_ptr e) { failure = e; });
  io.run();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace pelmox
