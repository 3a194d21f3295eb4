#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include <boost/asio/steady_timer.hpp>
#include <gtest/gtest.h>

#include "tools/builtin/builtins.hpp"
#include "tools/registry.hpp"
#include "utils/text.hpp"
#include "runtime/run_sync.hpp"

namespace pelmox {
namespace {

namespace fs = std::filesystem;

class ShellTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/pelmox_shell_XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = fs::canonical(tmpl);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  Result<ToolOutput> run(json args, std::optional<std::vector<std::string>> allowed = std::nullopt) {
    auto tool = make_run_command_tool(std::move(allowed));
    return run_sync(tool->execute(std::move(args)));
  }
  Result<ToolOutput> run_cmd(const std::string& command) { return run(json{{"command", command}}); }

  void write(const fs::path& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary);
    f << bytes;
  }
  static std::string read(const fs::path& path) {
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  }

  fs::path dir_;
};

TEST_F(ShellTest, DefinitionAndApproval) {
  auto tool = make_run_command_tool(std::nullopt);
  EXPECT_EQ(tool->name(), "run_command");
  EXPECT_TRUE(tool->requires_approval());
  auto def = tool->definition();
  EXPECT_EQ(def.type, "function");
  EXPECT_EQ(def.function.description,
            "Execute a shell command on the local machine and return stdout, stderr, and exit code.");
  EXPECT_EQ(def.function.parameters.dump(),
            R"j({"properties":{"command":{"description":"The shell command to execute","type":"string"},)j"
            R"j("working_dir":{"description":"Working directory for the command (optional)","type":"string"}},)j"
            R"j("required":["command"],"type":"object"})j");
}

TEST_F(ShellTest, ResultLayoutAndExitCodes) {
  struct Case {
    std::string command, text;
    int exit_code;
  };
  const Case cases[] = {
      {"true", "Exit code: 0\n(no output)", 0},
      {"printf a; printf b >&2", "Exit code: 0\n--- stdout ---\na--- stderr ---\nb", 0},
      {"echo out; exit 3", "Exit code: 3\n--- stdout ---\nout\n", 3},
      {"echo only-err >&2; exit 1", "Exit code: 1\n--- stderr ---\nonly-err\n", 1},
      {"kill -9 $$", "Exit code: -1\n(no output)", -1},
      // Invalid UTF-8 is replaced, not passed on or refused.
      {"printf 'x\\377y'", "Exit code: 0\n--- stdout ---\nx\xEF\xBF\xBDy", 0},
      // The command text is used verbatim: leading white space and quoting reach the shell as given.
      {"  echo '  spaced  '", "Exit code: 0\n--- stdout ---\n  spaced  \n", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    auto r = run_cmd(c.command);
    ASSERT_TRUE(r.ok()) << r.error().message;
    EXPECT_EQ(r->text, c.text);
    ASSERT_TRUE(r->data.has_value());
    EXPECT_EQ((*r->data)["exit_code"], c.exit_code);
  }
  auto r = run_cmd("printf a; printf b >&2; exit 2");
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->data->dump(), R"({"exit_code":2,"stderr":"b","stdout":"a"})");
}

TEST_F(ShellTest, MissingCommand) {
  for (const json& args : {json::object(), json(nullptr), json{{"command", 5}}, json::array({"ls"})}) {
    auto r = run(args);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message, "Missing 'command' parameter");
  }
}

// The output kept in memory is bounded; the cut results must still be what cutting the whole output gives.
TEST_F(ShellTest, LongOutputIsCutAtCharacterBoundaries) {
  const std::string header = "Exit code: 0\n--- stdout ---\n";  // 28 bytes
  auto as = [](std::size_t n, char c = 'a') { return std::string(n, c); };
  struct Case {
    std::string name, out, err;
  };
  const Case cases[] = {
      // "é" straddles the 50000-byte mark of the text.
      {"two-byte char at the cut", as(49971) + "\xC3\xA9" + as(10000, 'b'), ""},
      // Each invalid byte becomes three bytes of U+FFFD; the first one crosses the mark.
      {"invalid bytes at the cut", as(49970) + std::string(10, '\xFF') + as(100), ""},
      {"four-byte chars", as(49950) + [] { std::string s; for (int i = 0; i < 30; ++i) s += "\xF0\x9F\x98\x80"; return s; }(), ""},
      // A character split where the kept bytes of the stream end.
      {"char split at the kept end", as(50002) + "\xE2\x82\xAC" + as(5000), ""},
      {"exactly at the limit", as(50000 - header.size()), ""},
      {"long stderr after short stdout", "x", as(4999) + "\xC3\xA9" + as(60000, 'e')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write(dir_ / "out", c.out);
    write(dir_ / "err", c.err);
    auto r = run(json{{"command", "cat out; cat err >&2"}, {"working_dir", dir_.string()}});
    ASSERT_TRUE(r.ok()) << r.error().message;
    std::string out = lossy_utf8(c.out), err = lossy_utf8(c.err);
    std::string full = header + out + (err.empty() ? "" : "--- stderr ---\n" + err);
    std::string expected = full.size() > 50000 ? utf8_prefix(full, 50000) + "\n... (truncated)" : full;
    EXPECT_EQ(r->text, expected);
    EXPECT_EQ((*r->data)["stdout"], utf8_prefix(out, 5000));
    EXPECT_EQ((*r->data)["stderr"], utf8_prefix(err, 5000));
  }
  // Spot checks that do not lean on the helpers above.
  write(dir_ / "out", cases[0].out);
  auto r = run(json{{"command", "cat out"}, {"working_dir", dir_.string()}});
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->text, header + as(49971) + "\n... (truncated)");
  EXPECT_EQ((*r->data)["stdout"], as(5000));
}

TEST_F(ShellTest, HugeOutputIsDrainedAndCut) {
  auto r = run_cmd("head -c 200000000 /dev/zero | tr '\\0' a; echo done >&2");
  ASSERT_TRUE(r.ok()) << r.error().message;
  EXPECT_EQ(r->text, "Exit code: 0\n--- stdout ---\n" + std::string(50000 - 28, 'a') + "\n... (truncated)");
  EXPECT_EQ((*r->data)["stdout"], std::string(5000, 'a'));
  EXPECT_EQ((*r->data)["stderr"], "done\n");
}

TEST_F(ShellTest, WorkingDirectory) {
  fs::create_directories(dir_ / "home" / "proj");
  write(dir_ / "file", "x");
  const char* old_home = ::getenv("HOME");
  std::string saved = old_home ? old_home : "";
  ::setenv("HOME", (dir_ / "home").c_str(), 1);
  auto tilde = run(json{{"command", "pwd"}, {"working_dir", "~/proj"}});
  if (old_home) ::setenv("HOME", saved.c_str(), 1); else ::unsetenv("HOME");
  ASSERT_TRUE(tilde.ok()) << tilde.error().message;
  EXPECT_EQ(tilde->text, "Exit code: 0\n--- stdout ---\n" + (dir_ / "home" / "proj").string() + "\n");

  struct Case {
    std::string working_dir, error;
  };
  const Case cases[] = {
      {(dir_ / "missing").string(), "Failed to execute command: No such file or directory"},
      {(dir_ / "file").string(), "Failed to execute command: Not a directory"},
  };
  for (const auto& c : cases) {
    auto r = run(json{{"command", "pwd"}, {"working_dir", c.working_dir}});
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message, c.error);
  }
}

TEST_F(ShellTest, Sandbox) {
  fs::create_directories(dir_ / "a" / "sub");
  fs::create_directories(dir_ / "ab");
  fs::create_symlink(dir_ / "a", dir_ / "link");
  const std::string a = (dir_ / "a").string();
  const std::string cwd = fs::current_path().string();
  const std::string missing_allowed = (dir_ / "nowhere" / ".." / "x").string();
  struct Case {
    std::string name;
    std::optional<std::string> working_dir;
    std::vector<std::string> allowed;
    std::string outcome;  // stdout on success, the error otherwise
  };
  const Case cases[] = {
      {"subdirectory", (dir_ / "a" / "sub").string(), {a}, (dir_ / "a" / "sub").string() + "\n"},
      {"the directory itself, configured with a trailing slash", a, {a + "/"}, a + "\n"},
      {"through a symlink", (dir_ / "link" / "sub").string(), {a}, (dir_ / "a" / "sub").string() + "\n"},
      {"second entry", (dir_ / "ab").string(), {a, (dir_ / "ab").string()}, (dir_ / "ab").string() + "\n"},
      {"sibling sharing a prefix", (dir_ / "ab").string(), {a},
       "run_command sandbox: working directory '" + (dir_ / "ab").string() +
           "' is outside the allowed directories [" + a + "]"},
      {"dot-dot escape", (dir_ / "a" / ".." / "ab").string(), {a, missing_allowed},
       "run_command sandbox: working directory '" + (dir_ / "ab").string() +
           "' is outside the allowed directories [" + a + ", " + missing_allowed + "]"},
      {"empty entry allows nothing", (dir_ / "ab").string(), {""},
       "run_command sandbox: working directory '" + (dir_ / "ab").string() +
           "' is outside the allowed directories []"},
      {"no working_dir checks the process directory", std::nullopt, {a},
       "run_command sandbox: working directory '" + fs::canonical(cwd).string() +
           "' is outside the allowed directories [" + a + "]"},
      {"no working_dir inside", std::nullopt, {cwd}, fs::canonical(cwd).string() + "\n"},
      {"missing directory passes the check unchanged, then fails to start", (dir_ / "a" / "gone").string(), {a},
       "Failed to execute command: No such file or directory"},
      {"empty list turns the sandbox off", (dir_ / "ab").string(), {}, (dir_ / "ab").string() + "\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    json args{{"command", "pwd -P"}};
    if (c.working_dir) args["working_dir"] = *c.working_dir;
    auto r = run(args, c.allowed);
    if (c.outcome.starts_with("run_command sandbox") || c.outcome.starts_with("Failed")) {
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(r.error().message, c.outcome);
    } else {
      ASSERT_TRUE(r.ok()) << r.error().message;
      EXPECT_EQ((*r->data)["stdout"], c.outcome);
    }
  }
}

TEST_F(ShellTest, ChildGetsDefaultSigpipeEvenWhenWeIgnoreIt) {
  struct sigaction ignore {}, previous{};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &previous);
  auto r = run_cmd("yes | head -c 3");
  ::sigaction(SIGPIPE, &previous, nullptr);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->text, "Exit code: 0\n--- stdout ---\ny\ny");
}

bool process_gone(pid_t pid, bool zombie_counts) {
  if (::kill(pid, 0) != 0 && errno == ESRCH) return true;
  if (!zombie_counts) return false;
  // An orphaned grandchild may linger as a zombie until the system's init reaps it; it runs no more.
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string content((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  auto close = content.rfind(')');
  return close != std::string::npos && content.size() > close + 2 && content[close + 2] == 'Z';
}

// Waits until the pid is read from the file and gone, at most ten seconds.
awaitable<bool> wait_gone(fs::path pid_file, bool zombie_counts) {
  asio::steady_timer timer(co_await asio::this_coro::executor);
  for (int i = 0; i < 200; ++i) {
    std::ifstream f(pid_file);
    pid_t pid = 0;
    if (f >> pid && pid > 0 && process_gone(pid, zombie_counts)) co_return true;
    timer.expires_after(std::chrono::milliseconds(50));
    co_await timer.async_wait(use_awaitable);
  }
  co_return false;
}

// An abandoned call takes its whole process group with it: the shell and what it started in the background.
TEST_F(ShellTest, AbandonedCallKillsTheProcessGroup) {
  const std::string command = "echo $$ > sh.pid; sleep 30 & echo $! > bg.pid; sleep 30";
  for (bool by_registry : {true, false}) {
    SCOPED_TRACE(by_registry ? "registry time limit" : "caller abandons the registry call");
    fs::remove(dir_ / "sh.pid");
    fs::remove(dir_ / "bg.pid");
    ToolRegistry reg(by_registry ? 1 : 3600);
    reg.register_tool(make_run_command_tool(std::nullopt));
    ToolCall call;
    call.id = "c";
    call.function = {"run_command", json{{"command", command}, {"working_dir", dir_.string()}}.dump()};
    auto gone = run_sync([&]() -> awaitable<bool> {
      if (by_registry) {
        auto executing = reg.execute(call);
        auto r = co_await std::move(executing);
        EXPECT_FALSE(r.ok());
        if (!r.ok()) {
          EXPECT_EQ(r.error().message, "Tool 'run_command' timed out after 1s");
        }
      } else {
        auto limited = with_time_limit(reg.execute(call), std::chrono::seconds(1));
        auto r = co_await std::move(limited);
        EXPECT_FALSE(r.has_value());
      }
      // The shell is our child and must have been reaped; the background sleep is the shell's.
      auto sh_gone = wait_gone(dir_ / "sh.pid", false);
      bool sh = co_await std::move(sh_gone);
      auto bg_gone = wait_gone(dir_ / "bg.pid", true);
      bool bg = co_await std::move(bg_gone);
      co_return sh && bg;
    }());
    EXPECT_TRUE(gone);
  }
}

}  // namespace
}  // namespace pelmox
