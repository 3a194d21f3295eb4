#pragma once
// The asynchronous run time every part of Pelmox runs on: one io_context driven by one thread per logical
// processor, a separate pool for blocking work (file system, terminal input), and the two races the engine
// needs — work against a time limit and work against a stop flag — in a form that abandons the loser at once
// instead of waiting for it to notice.
//
// Thread-safety: Runtime is created once by start-up; run_blocking and the races may be used from any
// coroutine on any executor.

#include <atomic>
#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <type_traits>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/experimental/concurrent_channel.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace pelmox {

namespace asio = boost::asio;
template <class T>
using awaitable = asio::awaitable<T>;
using asio::use_awaitable;

class Runtime {
 public:
  // workers == 0: one per logical processor.
  explicit Runtime(unsigned workers = 0);
  ~Runtime();
  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;

  asio::io_context& io() { return io_; }
  asio::any_io_executor executor() { return io_.get_executor(); }

  // Runs `main` to completion on the worker threads and returns what it returned; the calling thread is one of
  // the workers. Work still pending when `main` ends is abandoned (the process is about to exit).
  int block_on(std::function<awaitable<int>()> main);

 private:
  asio::io_context io_;
  unsigned workers_;
};

// The process-wide pool for blocking work. It belongs to the run time as tokio's blocking pool does: created on
// first use, sized generously because terminal input parks one of its threads for as long as the user thinks.
asio::thread_pool& blocking_pool();

// Runs fn() on the blocking pool and resumes the caller on its own executor with fn's result. An exception
// thrown by fn is rethrown in the caller.
template <class F>
auto run_blocking(F fn) -> awaitable<std::invoke_result_t<F&>> {
  using R = std::invoke_result_t<F&>;
  // Named first: g++ 12 mishandles temporaries inside a co_await expression.
  auto job = [fn = std::move(fn)]() mutable -> awaitable<R> { co_return fn(); };
  auto spawned = asio::co_spawn(blocking_pool().get_executor(), std::move(job), use_awaitable);
  co_return co_await std::move(spawned);
}

namespace detail {

// Shared between an abandonable piece of work and the one waiting for it.
template <class T>
struct RaceSlot {
  explicit RaceSlot(asio::any_io_executor ex) : done(ex, 1), strand(asio::make_strand(ex)) {}
  std::mutex mu;
  std::optional<T> result;
  std::exception_ptr failure;
  asio::experimental::concurrent_channel<void(boost::system::error_code)> done;
  asio::strand<asio::any_io_executor> strand;
  asio::cancellation_signal cancel;  // touched only on `strand`
};

template <class T>
awaitable<void> fill(std::shared_ptr<RaceSlot<T>> slot, awaitable<T> work) {
  try {
    T value = co_await std::move(work);
    std::lock_guard lock(slot->mu);
    slot->result.emplace(std::move(value));
  } catch (...) {
    std::lock_guard lock(slot->mu);
    slot->failure = std::current_exception();
  }
  slot->done.try_send(boost::system::error_code{});
}

template <class T>
std::shared_ptr<RaceSlot<T>> launch(awaitable<T> work, asio::any_io_executor ex) {
  auto slot = std::make_shared<RaceSlot<T>>(ex);
  auto filling = fill(slot, std::move(work));
  asio::co_spawn(slot->strand, std::move(filling), asio::bind_cancellation_slot(slot->cancel.slot(), asio::detached));
  return slot;
}

template <class T>
void abandon(const std::shared_ptr<RaceSlot<T>>& slot) {
  asio::post(slot->strand, [slot] { slot->cancel.emit(asio::cancellation_type::terminal); });
}

template <class T>
std::optional<T> take(const std::shared_ptr<RaceSlot<T>>& slot) {
  std::lock_guard lock(slot->mu);
  if (slot->failure) std::rethrow_exception(slot->failure);
  return std::move(slot->result);
}

// Abandons the work unless disarmed: the race's own frame may end by its caller's cancellation too, and the
// work must not outlive it unwatched.
template <class T>
struct AbandonGuard {
  std::shared_ptr<RaceSlot<T>> slot;
  bool armed = true;
  ~AbandonGuard() {
    if (armed) abandon(slot);
  }
};

}  // namespace detail

// Runs `work` and waits at most `limit` for it. Returns its result, or nullopt when the limit came first; the
// work is then sent a terminal cancellation and left to finish on its own (its result is discarded), so the
// caller never waits for a slow blocking operation to notice.
template <class T>
awaitable<std::optional<T>> with_time_limit(awaitable<T> work, std::chrono::steady_clock::duration limit) {
  using namespace asio::experimental::awaitable_operators;
  auto ex = co_await asio::this_coro::executor;
  auto slot = detail::launch(std::move(work), ex);
  detail::AbandonGuard<T> guard{slot};
  asio::steady_timer timer(ex, limit);
  auto either = slot->done.async_receive(use_awaitable) || timer.async_wait(use_awaitable);
  auto first = co_await std::move(either);
  if (first.index() == 1) co_return std::nullopt;
  guard.armed = false;
  co_return detail::take(slot);
}

// Runs `work` and checks `stop` every `poll` until it finishes. Returns its result, or nullopt when the flag
// was seen set first; the work is then abandoned as above.
template <class T>
awaitable<std::optional<T>> unless_stopped(awaitable<T> work, const std::atomic<bool>& stop,
                                           std::chrono::milliseconds poll = std::chrono::milliseconds(100)) {
  using namespace asio::experimental::awaitable_operators;
  auto ex = co_await asio::this_coro::executor;
  if (stop.load()) co_return std::nullopt;
  auto slot = detail::launch(std::move(work), ex);
  detail::AbandonGuard<T> guard{slot};
  asio::steady_timer timer(ex);
  for (;;) {
    timer.expires_after(poll);
    auto either = slot->done.async_receive(use_awaitable) || timer.async_wait(use_awaitable);
    auto first = co_await std::move(either);
    if (first.index() == 0) {
      guard.armed = false;
      co_return detail::take(slot);
    }
    if (stop.load()) co_return std::nullopt;
  }
}

}  // namespace pelmox
