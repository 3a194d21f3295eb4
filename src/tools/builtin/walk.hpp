#pragma once
// The recursive file walk behind search_files and search_content.
//
// Depth first from `root`: a stack of directories, the subdirectories of one directory visited in the reverse
// of the order they were met, entries of a directory in the order the system lists them; nothing is sorted.
// Every path begins with `root` exactly as given. Directories named like build or dependency output (target,
// build, node_modules, .git, ...) are dropped wherever they occur, `root` included. Unreadable directories are
// skipped silently. A directory reached again through a symbolic link while it is still being walked (a link
// to one of its own ancestors) is not entered twice, so link cycles end.

#include <optional>
#include <string>
#include <vector>

#include "runtime/runtime.hpp"
#include "utils/result.hpp"

namespace pelmox {

inline constexpr std::size_t kMaxWalkFiles = 1000;

struct WalkedFile {
  std::string path;      // root joined with the path below it
  std::string relative;  // the path below root
};

// `file_glob`, when present and not empty, keeps only files whose relative path matches it.
// Errors: "Invalid file_glob: {}", and the message for more than kMaxWalkFiles files.
awaitable<Result<std::vector<WalkedFile>>> collect_files(std::string root, std::optional<std::string> file_glob);

// Runs fn() (which returns a Result) on the blocking pool; a worker that fails gives "background task failed".
// The result travels wrapped in an optional because the pool's hand-over needs a default-constructible value.
template <class F>
awaitable<std::invoke_result_t<F&>> on_blocking_pool(F fn) {
  using R = std::invoke_result_t<F&>;
  try {
    // Named first: g++ 12 destroys temporaries inside a co_await expression twice.
    auto job = run_blocking([fn = std::move(fn)]() mutable { return std::optional<R>(fn()); });
    std::optional<R> r = co_await std::move(job);
    if (r) co_return std::move(*r);
  } catch (...) {
  }
  co_return Error("background task failed");
}

// `dir` joined with `name` the way paths are joined everywhere in the walk ("" + name is name).
std::string join_path(const std::string& dir, const std::string& name);

}  // namespace pelmox
