#include "main/terminal.hpp"

#include <cerrno>
#include <cstring>

#include "utils/text.hpp"

namespace pelmox {
namespace {

const std::string kRule = "+" + std::string(38, '-');

void print_answer(std::ostream& out, const std::string& answer) {
  out << "\n" << kRule << "\n| Agent response\n" << kRule << "\n" << answer << "\n";
}

struct ReadLine {
  bool eof = false;
  std::string line;
  std::string error;  // a read failure or undecodable input
};

ReadLine read_line(std::istream& in) {
  ReadLine r;
  for (;;) {
    errno = 0;
    if (std::getline(in, r.line)) break;
    if (in.bad()) {
      if (errno == EINTR) {  // interrupted, not failed: try again
        in.clear();
        continue;
      }
      r.error = errno ? std::strerror(errno) : "failed to read standard input";
      return r;
    }
    // End of input. A last line without a line feed was still returned above by getline.
    r.eof = true;
    return r;
  }
  if (!is_valid_utf8(r.line)) r.error = "stream did not contain valid UTF-8";
  return r;
}

}  // namespace

awaitable<void> run_single_task(Agent& agent, std::string task, std::ostream& out, std::ostream& err) {
  auto request = agent.run(std::move(task));
  auto answer = co_await std::move(request);
  if (answer) {
    print_answer(out, answer.value());
    out << std::flush;
  } else {
    err << "\n[Agent error] " << answer.error().message << "\n\n" << std::flush;
  }
}

awaitable<Status> run_terminal(Agent& agent, std::istream& in, std::ostream& out, std::ostream& err) {
  out << kRule << "+\n"
      << "|        Pelmox v0.3.0 (CLI)         |\n"
      << kRule << "+\n"
      << "Commands: /exit  /clear  /help\n";
  for (;;) {
    out << "> " << std::flush;
    // The terminal read blocks, so it waits on the blocking pool, not on an event-loop thread.
    auto read = run_blocking([&in] { return read_line(in); });
    ReadLine r = co_await std::move(read);
    if (!r.error.empty()) co_return Error(r.error);
    if (r.eof) co_return ok_status();

    const std::string line(trim(r.line));
    if (line.empty()) continue;
    if (line == "/exit" || line == "/quit" || line == "/q") co_return ok_status();
    if (line == "/clear") {
      agent.clear_active();
      out << "Context cleared.\n\n";
      continue;
    }
    if (line == "/help") {
      out << "Commands: /exit /clear /help\n\n";
      continue;
    }
    auto request = agent.run(line);
    auto answer = co_await std::move(request);
    if (answer) {
      print_answer(out, answer.value());
      out << "\n";
    } else {
      err << "\n[Agent error] " << answer.error().message << "\n\n" << std::flush;
    }
  }
}

}  // namespace pelmox
