#include "tools/registry.hpp"

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>

#include <boost/asio/steady_timer.hpp>
#include <gtest/gtest.h>

#include "tools/builtin/builtins.hpp"
#include "runtime/run_sync.hpp"

namespace pelmox {
namespace {

ToolCall call(std::string name, std::string arguments) {
  ToolCall c;
  c.id = "call_1";
  c.function = {std::move(name), std::move(arguments)};
  return c;
}

// Answers with the arguments it received, so a test sees exactly what reached the tool.
class EchoTool : public Tool {
 public:
  explicit EchoTool(std::string name, std::string tag = "") : name_(std::move(name)), tag_(std::move(tag)) {}
  std::string name() const override { return name_; }
  ApiTool definition() const override { return make_definition(name_, "echo " + tag_, json::object()); }
  awaitable<Result<ToolOutput>> execute(json args) override { co_return ToolOutput{tag_ + args.dump(), args}; }

 private:
  std::string name_, tag_;
};

class FailingTool : public Tool {
 public:
  std::string name() const override { return "failing"; }
  ApiTool definition() const override { return make_definition("failing", "", json::object()); }
  awaitable<Result<ToolOutput>> execute(json args) override {
    if (args.is_object() && args.contains("throw")) throw std::runtime_error("exploded");
    co_return Error("Missing 'path' parameter");
  }
};

// Waits far longer than any limit under test unless cancelled, and records that it was. (Bounded, so that a
// call wrongly left running fails the test instead of hanging it.)
class ForeverTool : public Tool {
 public:
  explicit ForeverTool(std::shared_ptr<std::atomic<bool>> cancelled) : cancelled_(std::move(cancelled)) {}
  std::string name() const override { return "forever"; }
  ApiTool definition() const override { return make_definition("forever", "", json::object()); }
  awaitable<Result<ToolOutput>> execute(json) override {
    asio::steady_timer timer(co_await asio::this_coro::executor, std::chrono::seconds(20));
    auto flag = cancelled_;
    try {
      co_await timer.async_wait(use_awaitable);
    } catch (const boost::system::system_error&) {
      flag->store(true);
      throw;
    }
    co_return ToolOutput{"finished", std::nullopt};
  }

 private:
  std::shared_ptr<std::atomic<bool>> cancelled_;
};

TEST(ToolRegistry, DecodesArgumentsAndReportsErrors) {
  ToolRegistry reg(60);
  reg.register_tool(std::make_shared<EchoTool>("echo"));
  reg.register_tool(std::make_shared<FailingTool>());

  struct Case {
    std::string name, arguments;
    bool ok;
    std::string text;  // the tool's text on success, the error message's start otherwise
  };
  const Case cases[] = {
      {"echo", "", true, "{}"},
      {"echo", "null", true, "null"},
      {"echo", "[1,\"a\"]", true, "[1,\"a\"]"},
      {"echo", "\"just text\"", true, "\"just text\""},
      {"echo", "{\"path\": \"x\"}", true, "{\"path\":\"x\"}"},
      {"Echo", "{}", false, "Tool not found: Echo"},
      {"echo", "{\"path\": ", false, "Invalid tool arguments '{\"path\": ': "},
      {"failing", "{}", false, "Missing 'path' parameter"},
      {"failing", "{\"throw\": 1}", false, "exploded"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name + " " + c.arguments);
    auto r = run_sync(reg.execute(call(c.name, c.arguments)));
    ASSERT_EQ(r.ok(), c.ok);
    if (c.ok) {
      EXPECT_EQ(r->text, c.text);
    } else {
      EXPECT_EQ(r.error().message.substr(0, c.text.size()), c.text);
      if (c.text.starts_with("Invalid")) {
        EXPECT_GT(r.error().message.size(), c.text.size());  // the parser's own message follows
      }
    }
  }
}

TEST(ToolRegistry, RegisterReplacesAndGetIsExact) {
  ToolRegistry reg(60);
  reg.register_tool(std::make_shared<EchoTool>("echo", "old"));
  reg.register_tool(std::make_shared<EchoTool>("other"));
  reg.register_tool(std::make_shared<EchoTool>("echo", "new"));
  EXPECT_EQ(reg.size(), 2u);
  EXPECT_EQ(reg.get("ECHO"), nullptr);
  ASSERT_NE(reg.get("echo"), nullptr);
  auto r = run_sync(reg.execute(call("echo", "")));
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->text, "new{}");
  int echo_defs = 0;
  for (const auto& d : reg.definitions()) echo_defs += d.function.name == "echo";
  EXPECT_EQ(echo_defs, 1);
}

TEST(ToolRegistry, TimeLimitAbandonsTheCall) {
  auto cancelled = std::make_shared<std::atomic<bool>>(false);
  ToolRegistry reg(1);
  reg.register_tool(std::make_shared<ForeverTool>(cancelled));
  auto r = run_sync(reg.execute(call("forever", "{}")));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message, "Tool 'forever' timed out after 1s");
  // run_sync returns only once all work on its loop has ended, so the tool has seen its cancellation.
  EXPECT_TRUE(cancelled->load());
}

TEST(ToolRegistry, AbandonedCallerAbandonsTheToolToo) {
  auto cancelled = std::make_shared<std::atomic<bool>>(false);
  ToolRegistry reg(3600);
  reg.register_tool(std::make_shared<ForeverTool>(cancelled));
  auto r = run_sync(with_time_limit(reg.execute(call("forever", "{}")), std::chrono::milliseconds(100)));
  EXPECT_FALSE(r.has_value());
  EXPECT_TRUE(cancelled->load());
}

TEST(ToolRegistry, WithBuiltins) {
  struct Case {
    bool shell, file_write;
    std::set<std::string> names;
  };
  const std::set<std::string> read_only = {"create_plan", "list_directory", "read_file", "search_content",
                                           "search_files"};
  auto with = [&](std::set<std::string> extra) {
    extra.insert(read_only.begin(), read_only.end());
    return extra;
  };
  const Case cases[] = {
      {false, false, read_only},
      {true, false, with({"run_command"})},
      {false, true, with({"write_file"})},
      {true, true, with({"run_command", "write_file"})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.shell) + std::to_string(c.file_write));
    auto reg = ToolRegistry::with_builtins(c.shell, c.file_write, 60, std::nullopt);
    EXPECT_EQ(reg->timeout_secs(), 60u);
    std::set<std::string> names;
    for (const auto& d : reg->definitions()) names.insert(d.function.name);
    EXPECT_EQ(names, c.names);
    for (const auto& name : names) {
      EXPECT_EQ(reg->get(name)->requires_approval(), name == "run_command" || name == "write_file") << name;
    }
  }
  auto no_shell = ToolRegistry::with_builtins(false, true, 60, std::nullopt);
  auto r = run_sync(no_shell->execute(call("run_command", R"({"command": "true"})")));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message, "Tool not found: run_command");

  // The allowed directories reach the shell tool.
  auto sandboxed = ToolRegistry::with_builtins(true, false, 60, std::vector<std::string>{"/nonexistent-pelmox-dir"});
  auto refused = run_sync(sandboxed->execute(call("run_command", R"({"command": "true", "working_dir": "/"})")));
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().message,
            "run_command sandbox: working directory '/' is outside the allowed directories [/nonexistent-pelmox-dir]");
}

}  // namespace
}  // namespace pelmox
