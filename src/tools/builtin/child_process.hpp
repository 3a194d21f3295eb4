#pragma once
// Running one program to its end with its standard output and standard error captured.
//
// The child runs in a process group of its own. The coroutine owns that group: when the call is abandoned
// (a terminal cancellation, or the coroutine frame destroyed before the child was reaped) every process of the
// group is sent SIGKILL and the child is reaped, so nothing started here outlives its caller. A child that
// finishes normally is left alone, including anything it started in the background and detached from its
// pipes.
//
// Thread-safety: every call is independent; nothing is shared between calls.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "runtime/runtime.hpp"
#include "utils/result.hpp"

namespace pelmox {

struct CapturedOutput {
  // The first `keep_bytes` bytes of each stream; the rest is read and dropped so that a command printing
  // without end cannot grow this process.
  std::string out;
  std::string err;
  // Bytes the stream carried in all.
  std::uint64_t out_total = 0;
  std::uint64_t err_total = 0;
  // The exit status, or -1 when a signal ended the child.
  int exit_code = 0;
};

// Starts `argv[0]` (searched in PATH) with `argv` as its arguments, in `working_dir` when given, with this
// process's environment and standard input. Reads both output streams to their end, then waits for the child
// to exit, without blocking the calling thread. Errors carry the system's text (a working directory that does
// not exist, a program that cannot be started, a failed read).
awaitable<Result<CapturedOutput>> run_captured(std::vector<std::string> argv,
                                               std::optional<std::string> working_dir, std::size_t keep_bytes);

}  // namespace pelmox
