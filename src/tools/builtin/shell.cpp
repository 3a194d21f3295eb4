// run_command: one command line through the POSIX shell, with its exit code and both output streams.

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include <fmt/format.h>

#include "tools/builtin/builtins.hpp"
#include "tools/builtin/child_process.hpp"
#include "utils/paths.hpp"
#include "utils/text.hpp"

namespace pelmox {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kTextLimit = 50000;
constexpr std::size_t kDataLimit = 5000;
// A few bytes beyond the text limit: converting this prefix to text gives the same first kTextLimit bytes as
// converting the whole stream would, since a cut sequence of at most four bytes only changes what follows it.
constexpr std::size_t kKeepBytes = kTextLimit + 4;

// Path components as a user reads them: repeated and trailing separators and inner "." do not count.
std::vector<std::string> components(const std::string& path) {
  std::vector<std::string> parts;
  if (!path.empty() && path.front() == '/') parts.emplace_back("/");
  std::size_t i = 0;
  while (i < path.size()) {
    std::size_t j = path.find('/', i);
    if (j == std::string::npos) j = path.size();
    std::string part = path.substr(i, j - i);
    if (!part.empty() && !(part == "." && !parts.empty())) parts.push_back(std::move(part));
    i = j + 1;
  }
  return parts;
}

bool inside(const std::vector<std::string>& dir, const std::vector<std::string>& base) {
  // An empty entry would otherwise contain every directory; it allows nothing.
  if (base.empty() || base.size() > dir.size()) return false;
  return std::equal(base.begin(), base.end(), dir.begin());
}

std::string canonical_or_same(const std::string& path) {
  std::error_code ec;
  auto canon = fs::canonical(fs::path(path), ec);
  return ec ? path : canon.string();
}

Status check_sandbox(const std::optional<std::string>& working_dir, const std::vector<std::string>& allowed) {
  std::string dir;
  if (working_dir) {
    dir = *working_dir;
  } else {
    std::error_code ec;
    auto cwd = fs::current_path(ec);
    if (ec) return Error(fmt::format("Cannot resolve process CWD for sandbox check: {}", ec.message()));
    dir = cwd.string();
  }
  dir = canonical_or_same(dir);
  auto dir_parts = components(dir);
  std::vector<std::string> bases;
  bool ok = false;
  for (const auto& entry : allowed) {
    bases.push_back(canonical_or_same(entry));
    if (inside(dir_parts, components(bases.back()))) ok = true;
  }
  if (ok) return ok_status();
  return Error(fmt::format("run_command sandbox: working directory '{}' is outside the allowed directories [{}]",
                           dir, fmt::join(bases, ", ")));
}

std::string result_text(int exit_code, const std::string& out, const std::string& err) {
  std::string text = fmt::format("Exit code: {}\n", exit_code);
  if (!out.empty()) text += "--- stdout ---\n" + out;
  if (!err.empty()) text += "--- stderr ---\n" + err;
  if (out.empty() && err.empty()) text += "(no output)";
  if (text.size() > kTextLimit) text = utf8_prefix(text, kTextLimit) + "\n... (truncated)";
  return text;
}

class RunCommandTool final : public Tool {
 public:
  explicit RunCommandTool(std::optional<std::vector<std::string>> allowed) : allowed_(std::move(allowed)) {}

  std::string name() const override { return "run_command"; }

  ApiTool definition() const override {
    return make_definition(
        "run_command", "Execute a shell command on the local machine and return stdout, stderr, and exit code.",
        string_params_schema({{"command", "The shell command to execute"},
                              {"working_dir", "Working directory for the command (optional)"}},
                             {"command"}));
  }

  bool requires_approval() const override { return true; }

  awaitable<Result<ToolOutput>> execute(json args) override {
    auto command = string_arg(args, "command");
    if (!command) co_return Error("Missing 'command' parameter");
    std::optional<std::string> working_dir;
    if (auto wd = string_arg(args, "working_dir")) working_dir = expand_tilde(*wd);

    if (allowed_ && !allowed_->empty()) {
      // Canonical paths come from the file system; keep that off the event loop.
      // Operands of co_await are named first: g++ 12 destroys temporaries there twice.
      auto check = [working_dir, allowed = *allowed_] { return check_sandbox(working_dir, allowed); };
      auto checking = run_blocking(std::move(check));
      auto verdict = co_await std::move(checking);
      if (!verdict) co_return verdict.error();
    }

    std::vector<std::string> argv{"sh", "-c", *command};
    auto running = run_captured(std::move(argv), working_dir, kKeepBytes);
    auto run = co_await std::move(running);
    if (!run) co_return Error(fmt::format("Failed to execute command: {}", run.error().message));

    std::string out = lossy_utf8(run->out);
    std::string err = lossy_utf8(run->err);
    ToolOutput output;
    output.text = result_text(run->exit_code, out, err);
    output.data = json{{"exit_code", run->exit_code},
                       {"stdout", utf8_prefix(out, kDataLimit)},
                       {"stderr", utf8_prefix(err, kDataLimit)}};
    co_return output;
  }

 private:
  std::optional<std::vector<std::string>> allowed_;
};

}  // namespace

ToolPtr make_run_command_tool(std::optional<std::vector<std::string>> allowed_workdirs) {
  return std::make_shared<RunCommandTool>(std::move(allowed_workdirs));
}

}  // namespace pelmox
