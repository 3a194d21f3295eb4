#include "runtime/runtime.hpp"

#include <algorithm>

namespace pelmox {

Runtime::Runtime(unsigned workers)
    : io_(static_cast<int>(workers ? workers : std::max(1u, std::thread::hardware_concurrency()))),
      workers_(workers ? workers : std::max(1u, std::thread::hardware_concurrency())) {}

Runtime::~Runtime() { io_.stop(); }

int Runtime::block_on(std::function<awaitable<int>()> main) {
  int status = 1;
  std::exception_ptr failure;
  auto guard = asio::make_work_guard(io_);
  asio::co_spawn(io_, main(), [&](std::exception_ptr e, int rc) {
    failure = e;
    status = rc;
    io_.stop();
  });
  std::vector<std::thread> threads;
  for (unsigned i = 1; i < workers_; ++i) threads.emplace_back([this] { io_.run(); });
  io_.run();
  for (auto& t : threads) t.join();
  if (failure) std::rethrow_exception(failure);
  return status;
}

asio::thread_pool& blocking_pool() {
  // Never destroyed: a thread parked in a blocking read (terminal input) must not hold up process exit.
  static auto* pool = new asio::thread_pool(std::max(4u, 2 * std::thread::hardware_concurrency()));
  return *pool;
}

}  // namespace pelmox
