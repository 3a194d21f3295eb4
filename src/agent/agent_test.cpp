#include "agent/agent.hpp"

#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <sstream>

#include "agent/system_prompt.hpp"
#include "agent/text_tool_calls.hpp"
#include "runtime/run_sync.hpp"

namespace pelmox {
namespace {

// A model that answers from a script and remembers what it was sent.
class ScriptedModel : public ModelClient {
 public:
  std::deque<Result<AssistantResponse>> replies;
  std::vector<std::vector<Message>> seen;
  std::string model_ = "scripted", base_ = "http://scripted";

  const std::string& model() const override { return model_; }
  const std::string& api_base() const override { return base_; }
  ModelCapabilities capabilities() const override { return {}; }
  awaitable<Result<AssistantResponse>> chat(std::vector<Message> messages, std::vector<ApiTool>) override {
    seen.push_back(std::move(messages));
    if (replies.empty()) co_return Error("script exhausted");
    auto r = std::move(replies.front());
    replies.pop_front();
    co_return r;
  }
  // Replays scripted chunk lists, one per call; without one the stream fails, so a caller that falls back to
  // chat is answered (and recorded) there.
  std::deque<std::vector<StreamChunk>> streams;
  awaitable<Result<StreamReceiver>> chat_stream(std::vector<Message> messages, std::vector<ApiTool>) override {
    if (streams.empty()) co_return Error("no stream scripted");
    seen.push_back(std::move(messages));
    auto chunks = std::move(streams.front());
    streams.pop_front();
    auto ex = co_await asio::this_coro::executor;
    co_return StreamReceiver::from_chunks(std::move(ex), std::move(chunks));
  }
  std::shared_ptr<ModelClient> with_model(const std::string&) const override { return nullptr; }
};

class EchoTool : public Tool {
 public:
  std::string name() const override { return "echo"; }
  ApiTool definition() const override { return make_definition("echo", "Echo text back.", json::object()); }
  awaitable<Result<ToolOutput>> execute(json args) override {
    if (args.contains("fail")) co_return Error("echo failed");
    co_return ToolOutput{args.value("text", std::string()), std::nullopt};
  }
};

AssistantResponse text(std::string t) { return AssistantResponse{std::move(t), std::nullopt, std::nullopt}; }
AssistantResponse calls(std::vector<ToolCall> cs) { return AssistantResponse{std::nullopt, std::move(cs), std::nullopt}; }
ToolCall call(std::string id, std::string args) { return ToolCall{std::move(id), "function", {"echo", std::move(args)}}; }

class PlainRun : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("pelmox-agent-" + std::to_string(::getpid()) + "-" +
                                                     ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
    setenv("HOME", dir_.c_str(), 1);
    model_ = std::make_shared<ScriptedModel>();
    auto tools = std::make_shared<ToolRegistry>(5);
    tools->register_tool(std::make_shared<EchoTool>());
    agent_ = std::make_unique<Agent>(model_, tools, AgentOptions{max_iterations_, (dir_ / "tasks.json").string()});
    agent_->set_output(out_, err_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  Result<std::string> run(std::string request) { return run_sync(agent_->run(std::move(request))); }

  std::uint64_t max_iterations_ = 25;
  std::filesystem::path dir_;
  std::shared_ptr<ScriptedModel> model_;
  std::unique_ptr<Agent> agent_;
  std::ostringstream out_, err_;
};

TEST_F(PlainRun, ToolRoundThenAnswerBuildsTheHistory) {
  model_->replies = {calls({call("a", R"({"text":"pong"})")}),
                     AssistantResponse{std::string("{\"answer\": \"wrapped\"}"), std::nullopt, std::string("why")}};
  auto answer = run("ping");
  ASSERT_TRUE(answer.ok()) << answer.error().message;
  EXPECT_EQ(answer.value(), "wrapped");
  EXPECT_EQ(out_.str(), "[Tool] echo ({\"text\":\"pong\"})\n[Result] pong\n[Reasoning] why...\n");

  ASSERT_EQ(model_->seen.size(), 2u);
  const auto& second = model_->seen[1];
  ASSERT_EQ(second.size(), 4u);
  EXPECT_EQ(std::get<SystemMessage>(second[0]).content, agent_->system_prompt());
  EXPECT_EQ(std::get<ToolMessage>(second[3]), (ToolMessage{"a", "pong"}));
  // Reasoning is left out of the history unless asked for.
  const Task* task = agent_->tasks().find(agent_->tasks().active_id());
  ASSERT_NE(task, nullptr);
  EXPECT_EQ(std::get<AssistantMessage>(task->context.messages().back()),
            (AssistantMessage{std::string("wrapped"), std::nullopt, std::nullopt}));
}

TEST_F(PlainRun, ToolCallsWrittenAsTextAreRun) {
  model_->replies = {text(R"(I will call {"name": "echo", "arguments": {"text": "from text"}} now)"), text("done")};
  ASSERT_TRUE(run("go").ok());
  EXPECT_EQ(std::get<ToolMessage>(model_->seen[1].back()), (ToolMessage{"textcall-1", "from text"}));
}

TEST_F(PlainRun, OutcomesThatAreAnswersAndErrors) {
  model_->replies = {AssistantResponse{std::string("  "), std::nullopt, std::string("thinking only")}};
  EXPECT_EQ(run("a").value(), "模型只生成了思考链，未产出回答或工具调用。请重试或缩小任务范围。");

  model_->replies = {Result<AssistantResponse>(Error("API error (500 Internal Server Error): boom"))};
  auto failed = run("b");
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().message, "API error (500 Internal Server Error): boom");

  agent_->request_stop();
  EXPECT_EQ(run("c").value(), "Stopped by user.");
}

TEST_F(PlainRun, IterationLimitAndFailureAbort) {
  agent_ = std::make_unique<Agent>(model_, std::make_shared<ToolRegistry>(5),
                                   AgentOptions{1, (dir_ / "tasks1.json").string()});
  agent_->set_output(out_, err_);
  model_->replies = {calls({call("x", "{}")})};
  EXPECT_EQ(run("loop").value(), "Reached maximum iterations (1) without completing the task.");

  SetUp();
  model_->replies = {calls({call("1", R"({"fail":1})")}), calls({call("2", R"({"text":"ok"})")}),
                     calls({call("3", R"({"fail":1})"), call("4", R"({"fail":1})"), call("5", R"({"fail":1})"),
                            call("6", R"({"text":"never"})")})};
  auto aborted = run("fail");
  ASSERT_TRUE(aborted.ok());
  EXPECT_EQ(aborted.value(), "⛔ 连续 3 个工具执行失败，已中断。最后一个失败原因：echo failed");
  EXPECT_EQ(err_.str(), "[Abort] 连续 3 个工具执行失败，已中断。最后一个失败原因：echo failed\n");
  // A success in between reset the count; every call of the last turn still has its result.
  const Task* task = agent_->tasks().find(agent_->tasks().active_id());
  const auto& ms = task->context.messages();
  EXPECT_EQ(std::get<ToolMessage>(ms[ms.size() - 4]).content, "Tool error: echo failed");
  EXPECT_EQ(std::get<ToolMessage>(ms.back()).tool_call_id, "6");
  EXPECT_NE(std::get<ToolMessage>(ms.back()).content.find("not executed"), std::string::npos);
}

TEST(TextToolCalls, FindsOnlyRegisteredBalancedCalls) {
  auto registered = [](const std::string& n) { return n == "read_file"; };
  auto found = tool_calls_from_text(
      R"(x {"name":"read_file","arguments":{"path":"a}"}} {"name":"nope","arguments":{}} )"
      R"({"name":"read_file","arguments":"{\"path\":\"b\"}"} {"name":"read_file"} {broken)",
      registered);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0], (ToolCall{"textcall-1", "function", {"read_file", R"({"path":"a}"})"}}));
  EXPECT_EQ(found[1], (ToolCall{"textcall-2", "function", {"read_file", R"({"path":"b"})"}}));
  EXPECT_TRUE(tool_calls_from_text("", registered).empty());
}

TEST(SystemPrompt, ListsEveryToolAfterTheFixedText) {
  ToolRegistry registry(60);
  registry.register_tool(std::make_shared<EchoTool>());
  const std::string prompt = build_system_prompt(registry);
  EXPECT_EQ(prompt.rfind("You are a local workflow agent running on the user's machine", 0), 0u);
  EXPECT_TRUE(prompt.ends_with("## Available tools\n\n- echo: Echo text back."));
}

}  // namespace
}  // namespace pelmox
