#include "llm/llm_client.hpp"

#include <condition_variable>
#include <mutex>
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

// ---- streamed replies ----

// Everything a stream gave, in order, and the log lines written meanwhile.
struct Streamed {
  Result<std::vector<StreamChunk>> chunks = std::vector<StreamChunk>{};
  std::string log;
};

Streamed stream_all(const LlmClientPtr& c, std::vector<Message> messages = {UserMessage{"hi"}},
                    std::vector<ApiTool> tools = {}) {
  Streamed out;
  testing::internal::CaptureStdout();
  out.chunks = run_async([&]() -> awaitable<Result<std::vector<StreamChunk>>> {
    auto rx = co_await c->chat_stream(messages, tools);
    if (!rx) co_return rx.error();
    std::vector<StreamChunk> got;
    while (auto chunk = co_await rx->next()) got.push_back(std::move(*chunk));
    co_return got;
  });
  out.log = testing::internal::GetCapturedStdout();
  return out;
}

std::string text_of(const std::vector<StreamChunk>& chunks, bool reasoning = false) {
  std::string all;
  for (const auto& c : chunks) {
    const auto& part = reasoning ? c.reasoning : c.content;
    if (part) all += *part;
  }
  return all;
}

TEST(LlmClientStream, WireToolCallAccumulatesWithIdAndNameRepeated) {
  // The documented delta sequence of a streamed get_weather call, in SSE framing.
  auto event = [](const std::string& delta, const std::string& finish) {
    return "data: {\"id\":\"chatcmpl-1\",\"object\":\"chat.completion.chunk\",\"created\":1,\"model\":\"gpt-4o\","
           "\"choices\":[{\"index\":0,\"delta\":" + delta + ",\"finish_reason\":" + finish + "}]}\n\n";
  };
  std::string body = event(R"({"role":"assistant","content":null,"tool_calls":[{"index":0,)"
                           R"("id":"call_DdmO9pD3xa9XTPNJ32zg2hcA","type":"function",)"
                           R"("function":{"name":"get_weather","arguments":""}}]})", "null");
  for (std::string fragment : {R"({\")", "location", R"(\":\")", "Paris", ",", " France", R"(\"})"}) {
    body += event(R"({"tool_calls":[{"index":0,"id":null,"type":null,"function":{"name":null,"arguments":")" +
                      fragment + R"("}}]})", "null");
  }
  body += event("{}", R"("tool_calls")") + "data: [DONE]\n\n";
  fake::ScriptedReply reply;
  reply.raw_body = body;
  reply.chunk_delay_ms = 1;  // one event per write
  Harness h({reply});
  auto s = stream_all(h.client());
  ASSERT_TRUE(s.chunks.ok()) << s.chunks.error().message;

  std::string arguments;
  int tool_chunks = 0;
  for (const auto& c : *s.chunks) {
    if (!c.tool_call) continue;
    ++tool_chunks;
    EXPECT_EQ(c.tool_call->index, 0u);
    EXPECT_EQ(c.tool_call->id, "call_DdmO9pD3xa9XTPNJ32zg2hcA");
    EXPECT_EQ(c.tool_call->name, "get_weather");
    arguments += c.tool_call->arguments.value_or("");
  }
  EXPECT_EQ(tool_chunks, 8);
  EXPECT_EQ(arguments, R"({"location":"Paris, France"})");
  // finish_reason gives one done chunk and [DONE] another.
  ASSERT_GE(s.chunks->size(), 2u);
  EXPECT_TRUE(s.chunks->back().done);
  EXPECT_TRUE((*s.chunks)[s.chunks->size() - 2].done);

  auto requests = h.provider.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].target, "/v1/chat/completions");
  EXPECT_EQ(requests[0].body, dump(h.client()->request_body({UserMessage{"hi"}}, {}, true)));
}

TEST(LlmClientStream, ScriptedReplyStreamsReasoningTextAndUsage) {
  fake::ScriptedReply reply;
  reply.reasoning = "thinking it over";
  reply.reasoning_key = "reasoning";
  reply.text = "你好, a longer answer";
  reply.usage = json{{"prompt_tokens", 5}, {"completion_tokens", 7}, {"total_tokens", 12}};
  Harness h({reply});
  auto s = stream_all(h.client());
  ASSERT_TRUE(s.chunks.ok()) << s.chunks.error().message;
  EXPECT_EQ(text_of(*s.chunks), "你好, a longer answer");
  EXPECT_EQ(text_of(*s.chunks, true), "thinking it over");
  std::optional<Usage> usage;
  for (const auto& c : *s.chunks)
    if (c.usage) usage = c.usage;
  EXPECT_EQ(usage, (Usage{5, 7, 12}));
  EXPECT_TRUE(s.chunks->back().done);
}

TEST(LlmClientStream, CutStreamEndsWithADoneChunkAndALoggedError) {
  fake::ScriptedReply reply;
  reply.text = "this answer is cut off halfway through";
  reply.cut = true;
  Harness h({reply});
  auto s = stream_all(h.client());
  ASSERT_TRUE(s.chunks.ok()) << s.chunks.error().message;
  ASSERT_FALSE(s.chunks->empty());
  EXPECT_TRUE(s.chunks->back().done);
  EXPECT_NE(s.log.find("Stream error: "), std::string::npos) << s.log;
  EXPECT_EQ(h.provider.requests().size(), 1u);  // a stream that has begun is not retried
}

TEST(LlmClientStream, StatusLineIsRetriedWithItsOwnLogLines) {
  fake::ScriptedReply ok;
  ok.text = "fine";
  Harness h({status_reply(503, "overloaded"), ok});
  auto s = stream_all(h.client());
  ASSERT_TRUE(s.chunks.ok()) << s.chunks.error().message;
  EXPECT_EQ(text_of(*s.chunks), "fine");
  EXPECT_EQ(*h.delays, ms_list({2000}));
  EXPECT_EQ(h.provider.requests().size(), 2u);
  EXPECT_NE(s.log.find("Stream attempt 1 failed: API error (503 Service Unavailable): overloaded"),
            std::string::npos) << s.log;
  EXPECT_NE(s.log.find("Stream retry attempt 1 after 2s"), std::string::npos) << s.log;

  Harness refused({status_reply(401, "no key"), ok});
  auto r = stream_all(refused.client());
  ASSERT_FALSE(r.chunks.ok());
  EXPECT_EQ(r.chunks.error().message, "API error (401 Unauthorized): no key");
  EXPECT_EQ(r.chunks.error().http_status, 401);
  EXPECT_TRUE(refused.delays->empty());
  EXPECT_EQ(r.log.find("Stream attempt"), std::string::npos) << r.log;

  Harness busy({status_reply(429, "slow down", 8)});
  auto b = stream_all(busy.client());
  ASSERT_FALSE(b.chunks.ok());
  EXPECT_EQ(b.chunks.error().message, "API error (429 Too Many Requests): slow down");
  EXPECT_EQ(*busy.delays, ms_list({2000, 4000, 8000, 10000, 10000, 10000, 10000}));
}

// A provider whose stream the test paces: it writes the head and the first event, then waits for the test to let
// the rest out, or for the client to close the connection.
struct PacedProvider {
  std::mutex mu;
  std::condition_variable cv;
  bool go = false;
  std::atomic<bool> waited{false};     // the first event was out before the rest was allowed
  std::atomic<bool> saw_close{false};  // the client closed the connection while the provider waited
  test_http::TestServer server{[this](int fd, const test_http::RawRequest&) {
    auto chunk = [](const std::string& data) {
      char size[32];
      std::snprintf(size, sizeof size, "%zx\r\n", data.size());
      return std::string(size) + data + "\r\n";
    };
    auto event = [&](const std::string& text) {
      return chunk("data: {\"choices\":[{\"delta\":{\"content\":\"" + text + "\"},\"finish_reason\":null}]}\n\n");
    };
    test_http::send_all(fd, "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nTransfer-Encoding: chunked\r\n\r\n" +
                                event("first"));
    for (int i = 0; i < 2000; ++i) {
      {
        std::unique_lock lock(mu);
        if (cv.wait_for(lock, std::chrono::milliseconds(10), [&] { return go; })) break;
      }
      char byte;
      if (::recv(fd, &byte, 1, MSG_DONTWAIT | MSG_PEEK) == 0) {
        saw_close = true;
        return false;
      }
    }
    {
      std::lock_guard lock(mu);
      waited = go;
    }
    if (!waited) return false;
    test_http::send_all(fd, event("second") + chunk("data: [DONE]\n\n") + "0\r\n\r\n");
    return false;
  }};

  void release() {
    std::lock_guard lock(mu);
    go = true;
    cv.notify_all();
  }
};

// With a short total limit, so a pump that does not let go fails the test instead of stalling it.
LlmClientPtr paced_client(PacedProvider& provider) {
  return LlmClient::create(HttpClient::create(std::chrono::seconds(30)), provider.server.url("/v1"), "k", "gpt-4o",
                           100, 0.0);
}

TEST(LlmClientStream, FirstChunkArrivesWhileTheProviderIsStillSending) {
  PacedProvider provider;
  auto client = paced_client(provider);
  std::vector<std::string> texts;
  auto ended = run_async([&]() -> awaitable<Result<bool>> {
    std::vector<Message> messages = {UserMessage{"hi"}};
    auto rx = co_await client->chat_stream(std::move(messages), {});
    if (!rx) co_return rx.error();
    auto first = co_await rx->next();
    if (first && first->content) texts.push_back(*first->content);
    provider.release();  // only now may the provider write the rest
    bool done = false;
    while (auto c = co_await rx->next()) {
      if (c->content) texts.push_back(*c->content);
      done = done || c->done;
    }
    co_return done;
  });
  ASSERT_TRUE(ended.ok()) << ended.error().message;
  EXPECT_TRUE(*ended);
  EXPECT_TRUE(provider.waited);
  EXPECT_EQ(texts, (std::vector<std::string>{"first", "second"}));
}

TEST(LlmClientStream, DroppingTheReceiverEndsTheTransfer) {
  PacedProvider provider;
  auto client = paced_client(provider);
  testing::internal::CaptureStdout();
  auto finished = run_async([&]() -> awaitable<Result<bool>> {
    {
      std::vector<Message> messages = {UserMessage{"hi"}};
      auto rx = co_await client->chat_stream(std::move(messages), {});
      if (!rx) co_return rx.error();
      auto first = co_await rx->next();
      EXPECT_TRUE(first && first->content == "first");
      EXPECT_EQ(client->http()->active_transfers(), 1u);
    }
    asio::steady_timer timer(co_await asio::this_coro::executor);
    for (int i = 0; i < 2000 && client->http()->active_transfers() > 0; ++i) {
      timer.expires_after(5ms);
      co_await timer.async_wait(use_awaitable);
    }
    for (int i = 0; i < 2000 && !provider.saw_close; ++i) {
      timer.expires_after(5ms);
      co_await timer.async_wait(use_awaitable);
    }
    co_return client->http()->active_transfers() == 0;
  });
  const std::string log = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(finished.ok()) << finished.error().message;
  EXPECT_TRUE(*finished) << "the transfer outlived its receiver";
  EXPECT_TRUE(provider.saw_close);
  EXPECT_EQ(log.find("Stream error"), std::string::npos) << "walking away is no provider failure: " << log;
}

// ---- native Ollama ----

TEST(LlmClientNative, UrlAndBody) {
  EXPECT_EQ(native_chat_url("http://localhost:11434"), "http://localhost:11434/api/chat");
  EXPECT_EQ(native_chat_url("http://localhost:11434/v1/"), "http://localhost:11434/api/chat");
  EXPECT_EQ(native_chat_url("http://h/ollama//v1//"), "http://h/ollama/api/chat");
  EXPECT_EQ(native_chat_url("http://h/v10"), "http://h/v10/api/chat");

  auto client = LlmClient::create("http://localhost:11434/v1/", "k", "qwen3", 512, 0.2);
  client->set_native_ollama(true);
  std::vector<Message> history = {
      UserMessage{"hi"},
      AssistantMessage{std::nullopt,
                       std::vector<ToolCall>{{"c1", "function", {"read_file", R"({"path":"a"})"}},
                                             {"c2", "function", {"read_file", "not json"}}},
                       std::string("why")},
      ToolMessage{"c1", "text"}};
  EXPECT_EQ(dump(client->native_request_body(history, {}, false)),
            R"({"messages":[{"content":"hi","role":"user"},{"reasoning_content":"why","role":"assistant",)"
            R"("tool_calls":[{"function":{"arguments":{"path":"a"},"name":"read_file"},"id":"c1","type":"function"},)"
            R"({"function":{"arguments":{},"name":"read_file"},"id":"c2","type":"function"}]},)"
            R"({"content":"text","role":"tool","tool_call_id":"c1"}],"model":"qwen3",)"
            R"("options":{"num_ctx":16384},"stream":false,"think":false,"tools":null})");

  ApiTool tool;
  tool.function = {"read_file", "Read", json::parse(R"({"type":"object"})")};
  client->set_enable_thinking(true);
  client->set_max_thinking_length(300);
  client->set_num_ctx(8192);
  EXPECT_EQ(dump(client->native_request_body({UserMessage{"hi"}}, {tool}, true)),
            R"({"messages":[{"content":"hi","role":"user"}],"model":"qwen3",)"
            R"("options":{"max_thinking_length":300,"num_ctx":8192},"stream":true,"think":true,)"
            R"("tools":[{"function":{"description":"Read","name":"read_file","parameters":{"type":"object"}},)"
            R"("type":"function"}]})");
}

TEST(LlmClientNative, WholeReplies) {
  struct Case {
    std::string body;
    std::string error;  // empty: parses
  };
  const std::vector<Case> failing = {
      {"not json", "parse"},
      {R"({"done":true})", "missing field `message`"},
      {R"({"message":{"content":5}})", "invalid type: integer, expected a string for `content`"},
      {R"({"message":{"tool_calls":[{"name":"x"}]}})", "missing field `function`"},
  };
  for (const auto& c : failing) {
    auto r = native_response_from_text(c.body);
    ASSERT_FALSE(r.ok()) << c.body;
    EXPECT_NE(r.error().message.find(c.error), std::string::npos) << r.error().message;
  }
  auto r = native_response_from_text(R"({"message":{"content":" two\n","thinking":"","tool_calls":null}})");
  ASSERT_TRUE(r.ok()) << r.error().message;
  EXPECT_EQ(r->content, " two\n");  // kept untrimmed
  EXPECT_EQ(r->reasoning_content, "");
  EXPECT_FALSE(r->tool_calls);
}

LlmClientPtr native_client(Harness& h, const std::string& suffix = "/v1/") {
  auto c = h.client(h.provider.ollama_url() + suffix);
  c->set_native_ollama(true);
  return c;
}

TEST(LlmClientNative, ChatNumbersCallsAndNeverRetries) {
  fake::ScriptedReply reply;
  reply.text = " \n\t";
  reply.reasoning = "plan";
  reply.tool_calls = {{"get_weather", R"({"city":"Tokyo"})", ""}, {"list_dir", "", ""}};
  Harness h({reply, status_reply(503, "busy")});
  auto client = native_client(h);
  auto r = h.chat(client);
  ASSERT_TRUE(r.ok()) << r.error().message;
  EXPECT_FALSE(r->content);
  EXPECT_EQ(r->reasoning_content, "plan");
  ASSERT_TRUE(r->tool_calls);
  const std::vector<ToolCall> expected = {{"call_native_0", "function", {"get_weather", R"({"city":"Tokyo"})"}},
                                           {"call_native_1", "function", {"list_dir", ""}}};
  EXPECT_EQ(*r->tool_calls, expected);
  auto requests = h.provider.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].target, "/api/chat");
  EXPECT_EQ(requests[0].headers["authorization"], "Bearer sk-test");
  EXPECT_EQ(requests[0].body, dump(client->native_request_body({UserMessage{"hi"}}, {}, false)));

  auto busy = h.chat(client);
  ASSERT_FALSE(busy.ok());
  EXPECT_EQ(busy.error().message, "API error (503 Service Unavailable): busy");
  EXPECT_EQ(h.provider.requests().size(), 2u);
  EXPECT_TRUE(h.delays->empty());

  auto unreachable = h.client("http://127.0.0.1:" + std::to_string(test_http::closed_port()));
  unreachable->set_native_ollama(true);
  auto down = h.chat(unreachable);
  ASSERT_FALSE(down.ok());
  EXPECT_TRUE(down.error().message.starts_with("Couldn't connect to server")) << down.error().message;
  EXPECT_TRUE(h.delays->empty());
}

TEST(LlmClientNative, StreamGivesReasoningContentThenCallsAndEndsOnDone) {
  fake::ScriptedReply reply;
  reply.reasoning = "let me count";
  reply.text = "two calls";
  reply.tool_calls = {{"get_weather", R"({"city":"Tokyo"})", ""}, {"list_dir", "", ""}};
  fake::ScriptedReply cut;
  cut.text = "broken off in the middle of the answer";
  cut.cut = true;
  Harness h({reply, cut, status_reply(500, "down")});
  auto client = native_client(h, "");
  client->set_enable_thinking(true);

  auto s = stream_all(client);
  ASSERT_TRUE(s.chunks.ok()) << s.chunks.error().message;
  const auto& chunks = *s.chunks;
  ASSERT_GE(chunks.size(), 5u);
  EXPECT_EQ(text_of(chunks, true), "let me count");
  EXPECT_EQ(text_of(chunks), "two calls");
  // Order: all reasoning, then content, then the calls, then done.
  std::string kinds;
  for (const auto& c : chunks) {
    char k = c.done ? 'D' : c.tool_call ? 'T' : c.content ? 'C' : c.reasoning ? 'R' : '?';
    if (kinds.empty() || kinds.back() != k || k == 'T') kinds += k;
  }
  EXPECT_EQ(kinds, "RCTTD");
  const auto& call0 = chunks[chunks.size() - 3].tool_call;
  const auto& call1 = chunks[chunks.size() - 2].tool_call;
  ASSERT_TRUE(call0 && call1);
  EXPECT_EQ(call0->index, 0u);
  EXPECT_EQ(call0->id, "call_native_0");
  EXPECT_EQ(call0->name, "get_weather");
  EXPECT_EQ(call0->arguments, R"({"city":"Tokyo"})");
  EXPECT_EQ(call1->id, "call_native_1");
  EXPECT_EQ(call1->arguments, "{}");  // no arguments: {} on the stream, "" in a whole reply
  for (const auto& c : chunks) EXPECT_FALSE(c.usage);
  auto requests = h.provider.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].body, dump(client->native_request_body({UserMessage{"hi"}}, {}, true)));
  EXPECT_EQ(s.log.find("request to"), std::string::npos) << s.log;

  auto broken = stream_all(client);
  ASSERT_TRUE(broken.chunks.ok()) << broken.chunks.error().message;
  for (const auto& c : *broken.chunks) EXPECT_FALSE(c.done);

  auto refused = stream_all(client);
  ASSERT_FALSE(refused.chunks.ok());
  EXPECT_EQ(refused.chunks.error().message, "API error (500 Internal Server Error): down");
  EXPECT_EQ(h.provider.requests().size(), 3u);
  EXPECT_TRUE(h.delays->empty());
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
