#include "tools/builtin/child_process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <exception>
#include <system_error>
#include <utility>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>

extern char** environ;

namespace pelmox {
namespace {

// Through the system call itself: the C library's declaration of it lacks C linkage on this platform.
int open_pidfd(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

Error system_error_text(int err) { return Error(std::system_category().message(err)); }

// Closes a descriptor that has not been handed on.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

// Owns the child's process group until the child has been reaped. Until then the child, at worst a zombie,
// keeps its pid and with it the group id, so signalling the group can never reach an unrelated process.
class GroupOwner {
 public:
  explicit GroupOwner(pid_t pid) : pid_(pid) {}
  GroupOwner(const GroupOwner&) = delete;
  GroupOwner& operator=(const GroupOwner&) = delete;
  ~GroupOwner() {
    if (reaped_) return;
    if (::kill(-pid_, SIGKILL) != 0) ::kill(pid_, SIGKILL);
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) return;
    // A killed process takes a moment to die; wait for it off the event loop. Nobody else waits for this pid.
    asio::post(blocking_pool(), [pid = pid_] {
      int st = 0;
      while (::waitpid(pid, &st, 0) < 0 && errno == EINTR) {
      }
    });
  }

  pid_t pid() const { return pid_; }

  // The exit code once the child has exited (it is then reaped), none while it still runs.
  Result<std::optional<int>> try_reap() {
    int status = 0;
    pid_t r;
    do {
      r = ::waitpid(pid_, &status, WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == 0) return std::optional<int>{};
    if (r < 0) {
      // The pid is not ours any more (reaped elsewhere); never signal it again.
      reaped_ = true;
      return system_error_text(errno);
    }
    reaped_ = true;
    return std::optional<int>(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  }

 private:
  pid_t pid_;
  bool reaped_ = false;
};

struct Spawned {
  pid_t pid;
  int out_fd;
  int err_fd;
};

Result<Spawned> spawn(const std::vector<std::string>& argv, const std::optional<std::string>& working_dir) {
  if (argv.empty()) return system_error_text(EINVAL);
  int out[2];
  int err[2];
  // Close-on-exec from the start, so a child spawned concurrently by another call inherits none of these.
  if (::pipe2(out, O_CLOEXEC) != 0) return system_error_text(errno);
  Fd out_r(out[0]), out_w(out[1]);
  if (::pipe2(err, O_CLOEXEC) != 0) return system_error_text(errno);
  Fd err_r(err[0]), err_w(err[1]);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  if (int rc = posix_spawn_file_actions_init(&actions); rc != 0) return system_error_text(rc);
  if (int rc = posix_spawnattr_init(&attr); rc != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return system_error_text(rc);
  }
  int rc = posix_spawn_file_actions_adddup2(&actions, out_w.get(), STDOUT_FILENO);
  if (rc == 0) rc = posix_spawn_file_actions_adddup2(&actions, err_w.get(), STDERR_FILENO);
  if (rc == 0 && working_dir) rc = posix_spawn_file_actions_addchdir_np(&actions, working_dir->c_str());
  if (rc == 0) rc = posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                                        POSIX_SPAWN_SETSIGDEF);
  if (rc == 0) rc = posix_spawnattr_setpgroup(&attr, 0);
  sigset_t mask;
  sigemptyset(&mask);
  if (rc == 0) rc = posix_spawnattr_setsigmask(&attr, &mask);
  // A server process usually ignores SIGPIPE; a shell pipeline such as `yes | head` relies on it.
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  if (rc == 0) rc = posix_spawnattr_setsigdefault(&attr, &defaults);

  pid_t pid = -1;
  if (rc == 0) {
    std::vector<char*> cargv;
    cargv.reserve(argv.size() + 1);
    for (const auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
    cargv.push_back(nullptr);
    rc = posix_spawnp(&pid, argv[0].c_str(), &actions, &attr, cargv.data(), environ);
  }
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) return system_error_text(rc);
  return Spawned{pid, out_r.release(), err_r.release()};
}

// Reads one stream to its end, keeping its first `keep` bytes.
awaitable<void> drain(asio::posix::stream_descriptor& stream, std::string& kept, std::uint64_t& total,
                      std::size_t keep, boost::system::error_code& failure) {
  std::vector<char> buf(64 * 1024);
  for (;;) {
    auto [ec, n] = co_await stream.async_read_some(asio::buffer(buf), asio::as_tuple(use_awaitable));
    total += n;
    if (kept.size() < keep) kept.append(buf.data(), std::min(n, keep - kept.size()));
    if (ec == asio::error::eof) co_return;
    if (ec) {
      failure = ec;
      co_return;
    }
  }
}

bool cancelled(const asio::cancellation_state& state) {
  return state.cancelled() != asio::cancellation_type::none;
}

}  // namespace

awaitable<Result<CapturedOutput>> run_captured(std::vector<std::string> argv,
                                               std::optional<std::string> working_dir, std::size_t keep_bytes) {
  using namespace asio::experimental::awaitable_operators;
  try {
    auto ex = co_await asio::this_coro::executor;
    auto spawned = spawn(argv, working_dir);
    if (!spawned) co_return spawned.error();
    GroupOwner owner(spawned->pid);
    Fd out_fd(spawned->out_fd), err_fd(spawned->err_fd);
    asio::posix::stream_descriptor out(ex, out_fd.get());
    out_fd.release();
    asio::posix::stream_descriptor err(ex, err_fd.get());
    err_fd.release();
    // Opened while the child is certainly unreaped, so the descriptor names this child and no other.
    Fd pidfd(open_pidfd(owner.pid()));

    CapturedOutput result;
    boost::system::error_code out_failure, err_failure;
    // Operands of co_await are named first: g++ 12 destroys temporaries there twice.
    auto both = drain(out, result.out, result.out_total, keep_bytes, out_failure) &&
                drain(err, result.err, result.err_total, keep_bytes, err_failure);
    co_await std::move(both);
    if (cancelled(co_await asio::this_coro::cancellation_state)) co_return Error("cancelled");
    if (out_failure) co_return Error(out_failure.message());
    if (err_failure) co_return Error(err_failure.message());

    if (pidfd.get() >= 0) {
      asio::posix::stream_descriptor exit_watch(ex, pidfd.release());
      for (;;) {
        auto reaped = owner.try_reap();
        if (!reaped) co_return reaped.error();
        if (*reaped) {
          result.exit_code = **reaped;
          co_return result;
        }
        auto [ec] = co_await exit_watch.async_wait(asio::posix::descriptor_base::wait_read,
                                                   asio::as_tuple(use_awaitable));
        if (ec) co_return Error(ec.message());
      }
    }
    // Without process descriptors (an old kernel), look again every few milliseconds.
    asio::steady_timer timer(ex);
    for (;;) {
      auto reaped = owner.try_reap();
      if (!reaped) co_return reaped.error();
      if (*reaped) {
        result.exit_code = **reaped;
        co_return result;
      }
      timer.expires_after(std::chrono::milliseconds(10));
      auto [ec] = co_await timer.async_wait(asio::as_tuple(use_awaitable));
      if (ec) co_return Error(ec.message());
    }
  } catch (const std::exception& e) {
    co_return Error(e.what());
  }
}

}  // namespace pelmox
