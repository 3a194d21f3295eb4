#include "runtime/runtime.hpp"

#include <gtest/gtest.h>

#include <boost/asio/as_tuple.hpp>

#include "runtime/run_sync.hpp"

namespace pelmox {
namespace {

using namespace std::chrono_literals;

// Sleeps for `d`, reporting through `cancelled` whether it was cut short by a cancellation.
awaitable<int> nap(std::chrono::milliseconds d, std::shared_ptr<std::atomic<bool>> cancelled, int value) {
  asio::steady_timer t(co_await asio::this_coro::executor, d);
  auto [ec] = co_await t.async_wait(asio::as_tuple(use_awaitable));
  if (ec) cancelled->store(true);
  co_return value;
}

TEST(Races, TimeLimitKeepsFastWorkAndAbandonsSlowWork) {
  auto cancelled = std::make_shared<std::atomic<bool>>(false);
  run_sync([&]() -> awaitable<void> {
    auto fast = co_await with_time_limit(nap(1ms, cancelled, 7), 5s);
    EXPECT_EQ(fast, 7);
    const auto start = std::chrono::steady_clock::now();
    auto slow = co_await with_time_limit(nap(30s, cancelled, 8), 50ms);
    EXPECT_FALSE(slow.has_value());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);  // did not wait for the work
  }());
  EXPECT_TRUE(cancelled->load());  // the abandoned work was told to stop
}

TEST(Races, StopFlagAbandonsWorkAndBlockingWorkIsNotWaitedFor) {
  std::atomic<bool> stop{false};
  auto cancelled = std::make_shared<std::atomic<bool>>(false);
  run_sync([&]() -> awaitable<void> {
    auto done = co_await unless_stopped(nap(1ms, cancelled, 3), stop);
    EXPECT_EQ(done, 3);
    auto ex = co_await asio::this_coro::executor;
    auto setter = [&stop]() -> awaitable<void> {
      asio::steady_timer t(co_await asio::this_coro::executor, 50ms);
      co_await t.async_wait(use_awaitable);
      stop.store(true);
    };
    asio::co_spawn(ex, setter(), asio::detached);
    auto stopped = co_await unless_stopped(nap(30s, cancelled, 4), stop);
    EXPECT_FALSE(stopped.has_value());

    auto job = run_blocking([] { return 5; });
    EXPECT_EQ(co_await std::move(job), 5);
  }());
  EXPECT_TRUE(cancelled->load());
}

}  // namespace
}  // namespace pelmox
