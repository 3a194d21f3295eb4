#include "llm/llm_client.hpp"

#include <thread>

#include <gtest/gtest.h>

#include "fakes/fake_provider.hpp"
#include "llm/line_splitter.hpp"
#include "net/test_http_server.hpp"

namespace pelmox {
namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;

// Runs a coroutine to completion on a fresh two-thread io_context.
template <class F>
auto run_async(F make) {
  using T = typename decltype(make())::value_type;
  std::optional<T> out;
  asio::io_context io;
  asio::co_spawn(
      io, [&]() -> awaitable<void> { out.emplace(co_await make()); },
      [](std::exception_ptr e) {
        if (e) std::rethrow_exception(e);
      });
  std::thread second([&] { io.run(); });
  io.run();
  second.join();
  return std::move(*out);
}

// A client whose waits between attempts are recorded instead of slept.
struct Harness {
  fake::FakeProvider provider;
  std::shared_ptr<std::vector<milliseconds>> delays = std::make_shared<std::vector<milliseconds>>();

  explicit Harness(std::vector<fake::ScriptedReply> script = {}) {
    provider.start();
    if (!script.empty()) provider.script(std::move(script));
  }

  LlmClientPtr client(const std::string& base, const std::string& key = "sk-test") {
    auto c = LlmClient::create(base, key, "gpt-4o", 4096, 0.7);
    auto d = delays;
    c->set_sleep([d](milliseconds ms) -> awaitable<void> {
      d->push_back(ms);
      co_return;
    });
    return c;
  }
  LlmClientPtr client() { return client(provider.base_url()); }

  Result<AssistantResponse> chat(const LlmClientPtr& c, std::vector<Message> messages = {UserMessage{"hi"}},
                                 std::vector<ApiTool> tools = {}) {
    return run_async([&]() { return c->chat(messages, tools); });
  }
};

fake::ScriptedReply status_reply(int status, std::string body, int repeat = 1) {
  fake::ScriptedReply r;
  r.status = status;
  r.body = std::move(body);
  r.repeat = repeat;
  return r;
}
std::vector<milliseconds> ms_list(std::initializer_list<long> values) {
  std::vector<milliseconds> out;
  for (long v : values) out.emplace_back(v);
  return out;
}

TEST(LlmClientRules, UrlsBasesDelaysAndCapabilities) {
  EXPECT_EQ(chat_completions_url("https://api.openai.com/v1"), "https://api.openai.com/v1/chat/completions");
  EXPECT_EQ(chat_completions_url("http://h/v1/"), "http://h/v1/chat/completions");
  EXPECT_EQ(chat_completions_url("http://h/v1///"), "http://h/v1/chat/completions");

  EXPECT_TRUE(is_ollama_like("http://localhost:11434/v1"));
  EXPECT_TRUE(is_ollama_like("https://My-OLLAMA.example/v1"));
  EXPECT_FALSE(is_ollama_like("https://api.openai.com/v1"));

  std::vector<milliseconds> busy, transport;
  for (unsigned n = 1; n < LlmClient::kAttempts; ++n) {
    busy.push_back(retry_delay(n, true));
    transport.push_back(retry_delay(n, false));
  }
  EXPECT_EQ(busy, ms_list({2000, 4000, 8000, 10000, 10000, 10000, 10000}));
  EXPECT_EQ(transport, ms_list({3000, 9000, 20000, 20000, 20000, 20000, 20000}));
  EXPECT_EQ(retry_delay(60, true), milliseconds(10000));
  EXPECT_EQ(retry_delay(60, false), milliseconds(20000));

  const std::vector<std::pair<std::chrono::nanoseconds, std::string>> durations = {
      {2s, "2s"}, {20s, "20s"}, {1500ms, "1.5s"}, {1250ms, "1.25s"}, {250ms, "250ms"},
      {1500us, "1.5ms"}, {10us, "10µs"}, {0ns, "0ns"}};
  for (const auto& [d, text] : durations) EXPECT_EQ(format_duration(d), text);

  const std::vector<std::pair<std::string, bool>> models = {
      {"gpt-4o", false}, {"deepseek-R1", true},  {"o1-mini", true},      {"Qwen3:8b", true},
      {"kimi-k2", true}, {"qvq-max", true},      {"claude-thinking", true}, {"llama3.2", false}};
  for (const auto& [name, reasoning] : models) {
    EXPECT_EQ(capabilities_for(name).reasoning, reasoning) << name;
    EXPECT_TRUE(capabilities_for(name).streaming);
  }
}

TEST(LlmClientRules, RequestBodyIsWrittenInDeclaredOrder) {
  ApiTool tool;
  tool.function.name = "read_file";
  tool.function.description = "Read";
  tool.function.parameters = json::parse(R"({"type":"object","properties":{"path":{"type":"string"}}})");
  auto client = LlmClient::create("https://api.openai.com/v1/", "k", "gpt-4o", 4096, 0.7);

  EXPECT_EQ(dump(client->request_body({SystemMessage{"sys"}, UserMessage{"hi"}}, {tool}, false)),
            R"({"model":"gpt-4o","messages":[{"role":"system","content":"sys"},{"role":"user","content":"hi"}],)"
            R"("tools":[{"type":"function","function":{"name":"read_file","description":"Read","parameters":)"
            R"({"properties":{"path":{"type":"string"}},"type":"object"}}}],"tool_choice":"auto",)"
            R"("temperature":0.7,"max_tokens":4096})");
  // Without tools there is no tool_choice either; stream appears only when asked for.
  EXPECT_EQ(dump(client->request_body({UserMessage{"hi"}}, {}, true)),
            R"({"model":"gpt-4o","messages":[{"role":"user","content":"hi"}],"temperature":0.7,)"
            R"("max_tokens":4096,"stream":true})");

  auto ollama = LlmClient::create("http://localhost:11434/v1", "", "qwen3", 512, 0.0);
  ollama->set_num_ctx(4096);
  EXPECT_EQ(dump(ollama->request_body({UserMessage{"hi"}}, {}, false)),
            R"({"model":"qwen3","messages":[{"role":"user","content":"hi"}],"temperature":0.0,)"
            R"("max_tokens":512,"options":{"keep_alive":"30m","num_ctx":4096}})");
}

TEST(LlmClient, PostsTheRequestAndReturnsTheFirstChoice) {
  fake::ScriptedReply reply;
  reply.text = "hello";
  reply.tool_calls = {{"read_file", R"({"path":"a"})", "call_1"}};
  Harness h({reply});
  auto client = h.client(h.provider.base_url() + "/", "");
  auto r = h.chat(client);
  ASSERT_TRUE(r.ok()) << r.error().message;
  EXPECT_EQ(r->content, "hello");
  ASSERT_TRUE(r->tool_calls);
  ASSERT_EQ(r->tool_calls->size(), 1u);
  EXPECT_EQ((*r->tool_calls)[0].function.name, "read_file");
  EXPECT_EQ((*r->tool_calls)[0].function.arguments, R"({"path":"a"})");

  auto requests = h.provider.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].target, "/v1/chat/completions");
  EXPECT_EQ(requests[0].headers["authorization"].substr(0, 6), "Bearer");  // sent even without a key
  EXPECT_EQ(requests[0].headers["content-type"], "application/json");
  EXPECT_EQ(requests[0].body, dump(client->request_body({UserMessage{"hi"}}, {}, false)));
}

TEST(LlmClient, ClientErrorIsReturnedAtOnce) {
  Harness h({status_reply(401, R"({"error":"bad key"})")});
  auto r = h.chat(h.client());
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message, R"(API error (401 Unauthorized): {"error":"bad key"})");
  EXPECT_EQ(r.error().http_status, 401);
  EXPECT_EQ(h.provider.requests().size(), 1u);
  EXPECT_TRUE(h.delays->empty());
}

TEST(LlmClient, BusyServerIsTriedEightTimesWithShortBackOff) {
  Harness h({status_reply(503, "overloaded", 8)});
  auto r = h.chat(h.client());
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message, "API error (503 Service Unavailable): overloaded");
  EXPECT_EQ(r.error().http_status, 503);
  EXPECT_EQ(h.provider.requests().size(), 8u);
  EXPECT_EQ(*h.delays, ms_list({2000, 4000, 8000, 10000, 10000, 10000, 10000}));
}

TEST(LlmClient, RetryRecoversAfterRateLimit) {
  fake::ScriptedReply ok;
  ok.text = "fine";
  Harness h({status_reply(429, "slow down", 2), ok});
  auto r = h.chat(h.client());
  ASSERT_TRUE(r.ok()) << r.error().message;
  EXPECT_EQ(r->content, "fine");
  EXPECT_EQ(*h.delays, ms_list({2000, 4000}));
}

TEST(LlmClient, TransportFailuresUseTheLongBackOff) {
  Harness h;
  auto r = h.chat(h.client("http://127.0.0.1:" + std::to_string(test_http::closed_port()) + "/v1"));
  ASSERT_FALSE(r.ok());
  EXPECT_TRUE(r.error().message.starts_with("Couldn't connect to server")) << r.error().message;
  EXPECT_FALSE(r.error().http_status);
  EXPECT_EQ(*h.delays, ms_list({3000, 9000, 20000, 20000, 20000, 20000, 20000}));
}

TEST(LlmClient, UnusableRepliesAreErrorsWithoutRetry) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"not json", ""},
      {R"({"choices":[]})", "No choices in API response"},
      {R"({"choices":[{"message":{"content":"x"},"finish_reason":null}]})", ""},
      {R"({"choices":[{"message":{"reasoning":"a","thinking":"b"},"finish_reason":"stop"}]})",
       "duplicate field `reasoning_content`"},
  };
  for (const auto& [body, text] : cases) {
    std::atomic<int> requests{0};
    test_http::TestServer server([&](int fd, const test_http::RawRequest&) {
      ++requests;
      return test_http::send_all(fd, test_http::reply(200, "OK", body));
    });
    Harness h;
    auto r = h.chat(h.client(server.url("/v1")));
    ASSERT_FALSE(r.ok()) << body;
    if (!text.empty()) {
      EXPECT_EQ(r.error().message, text);
    }
    EXPECT_FALSE(r.error().message.empty());
    EXPECT_EQ(requests, 1) << body;
    EXPECT_TRUE(h.delays->empty()) << body;
  }
}

TEST(LlmClient, ReadsEveryReasoningSpelling) {
  for (const std::string key : {"reasoning_content", "reasoning", "thinking"}) {
    fake::ScriptedReply reply;
    reply.text = "answer";
    reply.reasoning = "because";
    reply.reasoning_key = key;
    Harness h({reply});
    auto r = h.chat(h.client());
    ASSERT_TRUE(r.ok()) << key << ": " << r.error().message;
    EXPECT_EQ(r->reasoning_content, "because") << key;
    EXPECT_EQ(r->content, "answer");
  }
}

TEST(LlmClient, WithModelSharesThePoolAndKeepsSettings) {
  auto base = LlmClient::create("http://localhost:11434/v1", "k", "llama3.2", 100, 0.5);
  base->set_num_ctx(2048);
  base->set_enable_thinking(true);
  auto other = base->with_model_client("qwen3:8b");
  EXPECT_EQ(other->model(), "qwen3:8b");
  EXPECT_TRUE(other->capabilities().reasoning);
  EXPECT_FALSE(base->capabilities().reasoning);
  EXPECT_EQ(other->http(), base->http());
  EXPECT_EQ(other->num_ctx(), 2048u);
  EXPECT_TRUE(other->enable_thinking());
  EXPECT_EQ(other->api_base(), base->api_base());
  EXPECT_EQ(base->model(), "llama3.2");
  EXPECT_EQ(LlmClient::create("b", "k", "m", 1, 1.0)->num_ctx(), LlmClient::kDefaultNumCtx);
}

TEST(LineSplitter, SplitsPiecesIntoBoundedLines) {
  LineSplitter s(16);
  std::vector<std::string> lines;
  ASSERT_TRUE(s.feed("data: a\nda", lines).ok());
  ASSERT_TRUE(s.feed("ta: \xE4\xBD", lines).ok());  // a character split between two pieces
  ASSERT_TRUE(s.feed("\xA0\n\n\xFFx\nrest", lines).ok());
  EXPECT_EQ(lines, (std::vector<std::string>{"data: a", "data: \xE4\xBD\xA0", "", "\xEF\xBF\xBDx"}));
  EXPECT_EQ(s.take_rest(), "rest");

  LineSplitter small(8);
  lines.clear();
  ASSERT_TRUE(small.feed("12345678\n1234", lines).ok());  // exactly the limit is fine
  auto grown = small.feed("56789", lines);
  ASSERT_FALSE(grown.ok());
  EXPECT_EQ(grown.error().message, "stream line exceeds 8 bytes");
  EXPECT_FALSE(small.feed("\n", lines).ok());
  EXPECT_EQ(lines, std::vector<std::string>{"12345678"});
}

}  // namespace
}  // namespace pelmox
