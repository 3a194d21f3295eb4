// The real executable against the fake provider: command line, printed lines, exit statuses, files written and
// the requests the provider receives.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "fakes/fake_provider.hpp"
#include "integration/child.hpp"

namespace pelmox::test {
namespace {

using nlohmann::json;
using fake::FakeProvider;
using fake::ScriptedReply;
using fake::ScriptedToolCall;

bool contains(const std::string& hay, const std::string& needle) { return hay.find(needle) != std::string::npos; }

class TerminalAgent : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(provider_.start(), 0) << provider_.last_error();
    home_.write(".keep", "");
    work_.write("config.toml", "[llm]\napi_base = \"" + provider_.base_url() +
                                   "\"\napi_key = \"sk-test\"\nmodel = \"fake-model\"\n");
  }

  ChildResult pelmox(std::vector<std::string> args, std::string input = "") {
    ChildSpec spec;
    spec.args = std::move(args);
    spec.cwd = work_.path();
    spec.env_set = {{"HOME", home_.path().string()}, {"NO_COLOR", "1"}};
    spec.env_unset = {"OPENAI_API_KEY", "PELMOX_API_KEY", "PELMOX_LOG", "http_proxy", "https_proxy",
                      "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"};
    spec.input = std::move(input);
    return run_child(PELMOX_BIN, spec);
  }

  std::vector<json> request_bodies() {
    std::vector<json> out;
    for (const auto& r : provider_.requests()) out.push_back(json::parse(r.body));
    return out;
  }

  FakeProvider provider_;
  TempDir home_, work_;
};

TEST(CommandLine, VersionHelpAndUsageErrors) {
  TempDir dir;
  auto run = [&](std::vector<std::string> args) {
    ChildSpec spec;
    spec.args = std::move(args);
    spec.cwd = dir.path();
    return run_child(PELMOX_BIN, spec);
  };
  auto version = run({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "pelmox 0.3.0\n");
  EXPECT_EQ(run({"-V"}).out, "pelmox 0.3.0\n");

  auto help = run({"--help"});
  EXPECT_EQ(help.status, 0);
  for (const char* line : {"Pelmox — local AI agent with streaming LLM, RAG knowledge base, MCP-ready tools, Web UI",
                           "-c, --config <CONFIG>", "Path to config.toml", "--task <TASK>",
                           "Autonomy level: supervised | autonomous | yolo", "-V, --version"})
    EXPECT_TRUE(contains(help.out, line)) << line;

  for (std::vector<std::string> bad : {std::vector<std::string>{"--bogus"}, {"--port", "65536"}, {"--task"}}) {
    auto r = run(bad);
    EXPECT_EQ(r.status, 2) << bad[0];
    EXPECT_FALSE(r.err.empty());
  }
}

TEST(CommandLine, ExplicitConfigFailuresAreFatal) {
  TempDir dir;
  dir.write("broken.toml", "[llm\nmodel = 1\n");
  dir.write("nollm.toml", "[agent]\nmax_iterations = 3\n");
  auto run = [&](std::string path) {
    ChildSpec spec;
    spec.args = {"--config", path, "--task", "hi"};
    spec.cwd = dir.path();
    return run_child(PELMOX_BIN, spec);
  };
  auto missing = run("absent.toml");
  EXPECT_EQ(missing.status, 1);
  EXPECT_TRUE(contains(missing.err, "Error: Failed to read config 'absent.toml': ")) << missing.err;
  auto broken = run("broken.toml");
  EXPECT_EQ(broken.status, 1);
  EXPECT_TRUE(contains(broken.err, "Error: Failed to parse config: ")) << broken.err;
  auto nollm = run("nollm.toml");
  EXPECT_EQ(nollm.status, 1);
  EXPECT_TRUE(contains(nollm.err, "llm")) << nollm.err;
}

TEST_F(TerminalAgent, SingleTaskRunsAShellToolRoundAndPrintsTheAnswerBox) {
  provider_.script({
      ScriptedReply{.tool_calls = {ScriptedToolCall{"run_command", R"({"command":"echo hi"})", "call_1"}}},
      ScriptedReply{.text = "All done."},
  });
  auto r = pelmox({"--task", "say hi"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.out, "[Tool] run_command ({\"command\":\"echo hi\"})\n")) << r.out;
  EXPECT_TRUE(contains(r.out, "[Result] Exit code: 0\n--- stdout ---\nhi\n\n")) << r.out;
  const std::string rule = "+" + std::string(38, '-');
  EXPECT_TRUE(contains(r.out, "\n" + rule + "\n| Agent response\n" + rule + "\nAll done.\n")) << r.out;
  EXPECT_TRUE(contains(r.out, "Agent loop iteration 1")) << r.out;

  auto bodies = request_bodies();
  ASSERT_EQ(bodies.size(), 2u);
  EXPECT_EQ(provider_.requests()[0].target, "/v1/chat/completions");
  EXPECT_EQ(provider_.requests()[0].headers.at("authorization"), "Bearer sk-test");
  EXPECT_EQ(bodies[0]["model"], "fake-model");
  EXPECT_EQ(bodies[0]["tool_choice"], "auto");
  EXPECT_FALSE(bodies[0].contains("stream"));
  const auto& msgs = bodies[1]["messages"];
  ASSERT_EQ(msgs.size(), 4u);
  EXPECT_EQ(msgs[0]["role"], "system");
  EXPECT_EQ(msgs[1], (json{{"role", "user"}, {"content", "say hi"}}));
  EXPECT_EQ(msgs[2]["tool_calls"][0]["id"], "call_1");
  EXPECT_EQ(msgs[3]["tool_call_id"], "call_1");
  EXPECT_TRUE(contains(msgs[3]["content"].get<std::string>(), "hi"));

  // The conversation is kept in the task file, and the task got its dated workspace under ~/.pelmox.
  auto state = json::parse(work_.read(".pelmox_tasks.json"));
  ASSERT_EQ(state["tasks"].size(), 1u);
  EXPECT_EQ(state["tasks"][0]["name"], "say hi");
  EXPECT_EQ(state["tasks"][0]["context"]["messages"].size(), 5u);
  std::string workspace = state["tasks"][0]["workspace"];
  EXPECT_EQ(std::filesystem::path(workspace).parent_path(), home_.path() / ".pelmox");
  EXPECT_TRUE(std::filesystem::is_directory(workspace));
}

TEST_F(TerminalAgent, ProviderFailureIsAnAgentErrorNotAFailedProcess) {
  provider_.script({ScriptedReply{.status = 401, .body = R"({"error":{"message":"bad key"}})"}});
  auto r = pelmox({"--task", "hi"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(contains(r.err, "\n[Agent error] API error (401 Unauthorized): {\"error\":{\"message\":\"bad key\"}}\n\n"))
      << r.err;
  EXPECT_EQ(provider_.requests().size(), 1u);
}

TEST_F(TerminalAgent, DefaultProviderChoosesTheStartUpModel) {
  work_.write("config.toml", "[llm]\napi_base = \"http://127.0.0.1:9/v1\"\nmodel = \"unused\"\n"
                             "default_provider = \"alt\"\n[llm.providers.alt]\napi_base = \"" +
                                 provider_.base_url() + "\"\nmodel = \"alt-model\"\n");
  provider_.script({ScriptedReply{.text = "from alt"}});
  auto r = pelmox({"--task", "hi"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.out, "from alt")) << r.out << r.err;
  ASSERT_EQ(provider_.requests().size(), 1u);
  EXPECT_EQ(request_bodies()[0]["model"], "alt-model");
}

TEST_F(TerminalAgent, ConversationSurvivesRestartsAndClear) {
  provider_.script({ScriptedReply{.text = "first answer"}, ScriptedReply{.text = "second answer"},
                    ScriptedReply{.text = "after clear"}});
  auto first = pelmox({"--cli"}, "hello\n   \n/exit\n");
  EXPECT_EQ(first.status, 0) << first.err;
  const std::string rule = "+" + std::string(38, '-');
  EXPECT_EQ(first.out.rfind(rule + "+\n|        Pelmox v0.3.0 (CLI)         |\n" + rule +
                                "+\nCommands: /exit  /clear  /help\n> ",
                            0),
            0u)
      << first.out;
  EXPECT_TRUE(contains(first.out, "| Agent response\n" + rule + "\nfirst answer\n\n> > ")) << first.out;

  auto second = pelmox({"--cli"}, "again\n/help\n/clear\nfresh");
  EXPECT_EQ(second.status, 0) << second.err;
  EXPECT_TRUE(contains(second.out, "Commands: /exit /clear /help\n\n> Context cleared.\n\n> ")) << second.out;

  auto bodies = request_bodies();
  ASSERT_EQ(bodies.size(), 3u);
  // After the restart the model sees the earlier exchange; after /clear only the system prompt and the request.
  const auto& resumed = bodies[1]["messages"];
  ASSERT_EQ(resumed.size(), 4u);
  EXPECT_EQ(resumed[2]["content"], "first answer");
  EXPECT_EQ(resumed[3]["content"], "again");
  const auto& cleared = bodies[2]["messages"];
  ASSERT_EQ(cleared.size(), 2u);
  EXPECT_EQ(cleared[1]["content"], "fresh");
}

TEST_F(TerminalAgent, InputEndsAndUndecodableInput) {
  auto eof = pelmox({"--cli"}, "");
  EXPECT_EQ(eof.status, 0);
  EXPECT_TRUE(eof.out.ends_with("Commands: /exit  /clear  /help\n> ")) << eof.out;
  EXPECT_TRUE(provider_.requests().empty());

  auto bad = pelmox({"--cli"}, "caf\xe9\n");
  EXPECT_EQ(bad.status, 1);
  EXPECT_TRUE(contains(bad.err, "Error: ")) << bad.err;
  EXPECT_TRUE(provider_.requests().empty());

  provider_.script({ScriptedReply{.text = "ran"}});
  auto upper = pelmox({"--cli"}, "/CLEAR\n /exit \n");
  EXPECT_EQ(upper.status, 0);
  ASSERT_EQ(provider_.requests().size(), 1u);  // commands are case-sensitive: /CLEAR is a request
  EXPECT_EQ(request_bodies()[0]["messages"][1]["content"], "/CLEAR");
}

TEST_F(TerminalAgent, AbortAfterThreeFailuresKeepsTheHistoryValidForStrictProviders) {
  // One reply with four calls: three fail in a row, so the fourth is never run.
  provider_.script({
      ScriptedReply{.tool_calls = {{"read_file", R"({"path":"/nonexistent/a"})", "c1"},
                                   {"read_file", R"({"path":"/nonexistent/b"})", "c2"},
                                   {"no_such_tool", "{}", "c3"},
                                   {"read_file", R"({"path":"/nonexistent/d"})", "c4"}}},
      ScriptedReply{.text = "next"},
  });
  auto r = pelmox({"--cli"}, "try\nnext request\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.out, "[Error] Tool error: Failed to read '/nonexistent/a': No such file or directory"))
      << r.out;
  EXPECT_TRUE(contains(r.out, "[Error] Tool error: Tool not found: no_such_tool")) << r.out;
  EXPECT_TRUE(contains(r.err, "[Abort] 连续 3 个工具执行失败，已中断。最后一个失败原因：Tool not found: no_such_tool"))
      << r.err;
  EXPECT_TRUE(contains(r.out, "⛔ 连续 3 个工具执行失败")) << r.out;

  auto bodies = request_bodies();
  ASSERT_EQ(bodies.size(), 2u);
  const auto& msgs = bodies[1]["messages"];
  // system, user, assistant with four calls, one result per call, then the next request.
  ASSERT_EQ(msgs.size(), 8u) << msgs.dump(1);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(msgs[3 + i]["tool_call_id"], "c" + std::to_string(i + 1));
  EXPECT_TRUE(contains(msgs[6]["content"].get<std::string>(), "not executed"));
}

}  // namespace
}  // namespace pelmox::test
