#include "fakes/fake_provider.hpp"

#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <gtest/gtest.h>

namespace pelmox::fake {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using nlohmann::json;

struct Reply {
  int status = 0;
  std::string content_type;
  std::string body;
  beast::error_code error;  // set when the reply did not arrive whole
};

// A plain HTTP/1.1 client over one connection, so keep-alive and cut replies can be observed directly.
class Client {
 public:
  explicit Client(unsigned short port) : socket_(ioc_) {
    socket_.connect({asio::ip::make_address("127.0.0.1"), port});
  }

  Reply send(http::verb method, const std::string& target, const std::string& body = "") {
    http::request<http::string_body> req{method, target, 11};
    req.set(http::field::host, "127.0.0.1");
    req.set(http::field::content_type, "application/json");
    req.set("X-Test-Header", "yes");
    req.body() = body;
    req.prepare_payload();
    http::write(socket_, req);
    return read();
  }

  Reply post(const std::string& target, const json& body) { return send(http::verb::post, target, body.dump()); }

  Reply read() {
    http::response_parser<http::string_body> parser;
    parser.body_limit(boost::none);
    Reply r;
    http::read(socket_, buffer_, parser, r.error);
    r.status = static_cast<int>(parser.get().result_int());
    r.content_type = std::string(parser.get()[http::field::content_type]);
    r.body = parser.get().body();
    return r;
  }

  asio::ip::tcp::socket& socket() { return socket_; }

 private:
  asio::io_context ioc_;
  asio::ip::tcp::socket socket_;
  beast::flat_buffer buffer_;
};

std::vector<json> sse_events(const std::string& body, bool* saw_done) {
  std::vector<json> out;
  *saw_done = false;
  std::istringstream in(body);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    EXPECT_EQ(line.rfind("data: ", 0), 0u) << line;
    std::string data = line.substr(6);
    EXPECT_FALSE(*saw_done) << "event after [DONE]";
    if (data == "[DONE]") {
      *saw_done = true;
      continue;
    }
    out.push_back(json::parse(data));
  }
  return out;
}

std::vector<json> ndjson_lines(const std::string& body) {
  std::vector<json> out;
  std::istringstream in(body);
  std::string line;
  while (std::getline(in, line)) out.push_back(json::parse(line));
  return out;
}

class FakeProviderTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(fake_.start(), 0) << fake_.last_error(); }
  FakeProvider fake_;
};

ScriptedReply tool_reply() {
  ScriptedReply r;
  r.reasoning = "需要查天气";
  r.tool_calls = {{"get_weather", R"({"location":"Paris, France"})", ""}, {"read_file", R"({"path":"a"})", "mine"}};
  r.usage = json{{"prompt_tokens", 7}, {"completion_tokens", 3}, {"total_tokens", 10}};
  return r;
}

TEST_F(FakeProviderTest, WholeReplyCarriesToolCallsReasoningAndUsage) {
  fake_.script({tool_reply()});
  Client c(fake_.port());
  Reply r = c.post("/v1/chat/completions", {{"model", "gpt-x"}, {"messages", json::array()}});
  ASSERT_FALSE(r.error) << r.error.message();
  EXPECT_EQ(r.status, 200);
  json j = json::parse(r.body);
  EXPECT_EQ(j["object"], "chat.completion");
  EXPECT_EQ(j["model"], "gpt-x");
  ASSERT_EQ(j["choices"].size(), 1u);
  const json& choice = j["choices"][0];
  EXPECT_EQ(choice["finish_reason"], "tool_calls");
  const json& msg = choice["message"];
  EXPECT_EQ(msg["role"], "assistant");
  EXPECT_TRUE(msg["content"].is_null());
  EXPECT_EQ(msg["reasoning_content"], "需要查天气");
  ASSERT_EQ(msg["tool_calls"].size(), 2u);
  EXPECT_EQ(msg["tool_calls"][0]["id"], "call_1");
  EXPECT_EQ(msg["tool_calls"][0]["type"], "function");
  EXPECT_EQ(msg["tool_calls"][0]["function"]["name"], "get_weather");
  EXPECT_EQ(msg["tool_calls"][0]["function"]["arguments"], R"({"location":"Paris, France"})");
  EXPECT_EQ(msg["tool_calls"][1]["id"], "mine");
  EXPECT_EQ(j["usage"]["total_tokens"], 10);

  // Generated ids keep counting across replies, so a conversation never sees the same id twice.
  fake_.script({tool_reply()});
  json again = json::parse(c.post("/v1/chat/completions", {{"model", "m"}}).body);
  EXPECT_EQ(again["choices"][0]["message"]["tool_calls"][0]["id"], "call_2");
}

// Checks an SSE body against the reply it was scripted from, the way a client would accumulate it.
void expect_stream_of(const std::string& body, const ScriptedReply& r, const std::string& first_id) {
  EXPECT_TRUE(body.ends_with("data: [DONE]\n\n"));
  bool done = false;
  auto events = sse_events(body, &done);
  ASSERT_TRUE(done);
  ASSERT_GE(events.size(), 3u);
  EXPECT_EQ(events.front()["choices"][0]["delta"]["role"], "assistant");

  std::string content, reasoning;
  std::vector<std::string> args(2), ids(2), names(2);
  int content_events = 0;
  for (std::size_t i = 0; i + 1 < events.size(); ++i) {
    EXPECT_EQ(events[i]["object"], "chat.completion.chunk");
    const json& delta = events[i]["choices"][0]["delta"];
    EXPECT_TRUE(events[i]["choices"][0]["finish_reason"].is_null());
    if (delta.contains("content") && delta["content"].is_string()) {
      content += delta["content"].get<std::string>();
      ++content_events;
    }
    if (delta.contains(r.reasoning_key)) reasoning += delta[r.reasoning_key].get<std::string>();
    if (delta.contains("tool_calls")) {
      const json& tc = delta["tool_calls"][0];
      std::size_t index = tc["index"];
      ASSERT_LT(index, 2u);
      if (tc["id"].is_string()) {
        EXPECT_TRUE(ids[index].empty()) << "id sent twice";
        EXPECT_EQ(tc["function"]["arguments"], "");
        ids[index] = tc["id"];
        names[index] = tc["function"]["name"];
      } else {
        EXPECT_FALSE(ids[index].empty()) << "fragment before the call's first event";
        EXPECT_TRUE(tc["function"]["name"].is_null());
      }
      args[index] += tc["function"]["arguments"].get<std::string>();
    }
  }
  EXPECT_EQ(content, r.text);
  EXPECT_GT(content_events, 2);
  EXPECT_EQ(reasoning, r.reasoning);
  EXPECT_EQ(ids, (std::vector<std::string>{first_id, "mine"}));
  EXPECT_EQ(names, (std::vector<std::string>{"get_weather", "read_file"}));
  EXPECT_EQ(args[0], r.tool_calls[0].arguments);
  EXPECT_EQ(args[1], r.tool_calls[1].arguments);

  const json& last = events.back();
  EXPECT_EQ(last["choices"][0]["finish_reason"], "tool_calls");
  EXPECT_TRUE(last["choices"][0]["delta"].empty());
  EXPECT_EQ(last["usage"]["prompt_tokens"], 7);
}

TEST_F(FakeProviderTest, SseStreamFragmentsConcatenateAndEndWithDone) {
  ScriptedReply r = tool_reply();
  r.text = "Hello, 世界! Fine weather.";
  r.reasoning_key = "reasoning";
  ScriptedReply paced = r;
  paced.chunk_delay_ms = 1;  // every event in its own HTTP chunk; unpaced, all travel in one
  fake_.script({r, paced});
  Client c(fake_.port());
  for (const char* first_id : {"call_1", "call_2"}) {
    SCOPED_TRACE(first_id);
    Reply reply = c.post("/v1/chat/completions", {{"model", "m"}, {"stream", true}});
    ASSERT_FALSE(reply.error) << reply.error.message();
    EXPECT_EQ(reply.content_type, "text/event-stream");
    expect_stream_of(reply.body, r, first_id);
  }
  // The connection stays usable after streams.
  Reply next = c.post("/v1/chat/completions", {{"model", "m"}});
  EXPECT_EQ(json::parse(next.body)["choices"][0]["message"]["content"], "ok");
}

TEST_F(FakeProviderTest, CutRepliesEndTheConnectionEarly) {
  ScriptedReply cut;
  cut.text = "a fairly long answer that will not arrive whole";
  cut.cut = true;
  for (bool stream : {true, false}) {
    SCOPED_TRACE(stream ? "stream" : "whole");
    fake_.script({cut});
    Client c(fake_.port());
    Reply r = c.post("/v1/chat/completions", {{"model", "m"}, {"stream", stream}});
    EXPECT_TRUE(r.error) << "a cut reply must not read as complete";
    EXPECT_EQ(r.body.find("[DONE]"), std::string::npos);
    EXPECT_EQ(r.body.find("finish_reason\":\"stop"), std::string::npos);
    if (stream) {
      EXPECT_NE(r.body.find("data: "), std::string::npos) << "something is sent before the cut";
    }
  }
  // An NDJSON stream cut midway lacks the final done object.
  fake_.script({cut});
  Client c(fake_.port());
  Reply r = c.post("/api/chat", {{"model", "m"}});
  EXPECT_TRUE(r.error);
  EXPECT_EQ(r.body.find("\"done\":true"), std::string::npos);
}

TEST_F(FakeProviderTest, ErrorStatusesAndRawBodies) {
  ScriptedReply unavailable;
  unavailable.status = 503;
  ScriptedReply denied;
  denied.status = 401;
  denied.body = "invalid api key";
  ScriptedReply garbage;
  garbage.raw_body = "{not json";
  ScriptedReply custom_sse;
  custom_sse.raw_body = "data:[DONE]\n\ndata: [DONE]\n\n";
  fake_.script({unavailable, denied, garbage, custom_sse});
  Client c(fake_.port());

  Reply r = c.post("/v1/chat/completions", {{"model", "m"}});
  EXPECT_EQ(r.status, 503);
  EXPECT_EQ(json::parse(r.body)["error"]["code"], 503);
  r = c.post("/v1/chat/completions", {{"model", "m"}});
  EXPECT_EQ(r.status, 401);
  EXPECT_EQ(r.body, "invalid api key");
  r = c.post("/v1/chat/completions", {{"model", "m"}});
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "{not json");
  r = c.post("/v1/chat/completions", {{"model", "m"}, {"stream", true}});
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.content_type, "text/event-stream");
  EXPECT_EQ(r.body, custom_sse.raw_body);
}

TEST_F(FakeProviderTest, OllamaNativeStreamAndWholeReply) {
  ScriptedReply r = tool_reply();
  r.text = "Tokyo is sunny";
  fake_.script({r, r});
  Client c(fake_.port());
  Reply reply = c.post("/api/chat", {{"model", "qwen3"}, {"messages", json::array()}});  // streams by default
  ASSERT_FALSE(reply.error) << reply.error.message();
  EXPECT_EQ(reply.content_type, "application/x-ndjson");
  auto lines = ndjson_lines(reply.body);
  ASSERT_GE(lines.size(), 4u);
  std::string thinking, content;
  std::vector<std::string> order;  // kinds in arrival order, repeats collapsed
  json calls;
  for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
    EXPECT_EQ(lines[i]["done"], false);
    EXPECT_EQ(lines[i]["model"], "qwen3");
    const json& msg = lines[i]["message"];
    std::string kind;
    if (msg.value("thinking", "") != "") {
      thinking += msg["thinking"].get<std::string>();
      kind = "thinking";
    } else if (msg.contains("tool_calls")) {
      calls = msg["tool_calls"];
      kind = "tools";
    } else {
      content += msg["content"].get<std::string>();
      kind = "content";
    }
    if (order.empty() || order.back() != kind) order.push_back(kind);
  }
  EXPECT_EQ(order, (std::vector<std::string>{"thinking", "content", "tools"}));
  EXPECT_EQ(thinking, r.reasoning);
  EXPECT_EQ(content, r.text);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0]["function"]["name"], "get_weather");
  EXPECT_EQ(calls[0]["function"]["arguments"], json({{"location", "Paris, France"}}));
  const json& last = lines.back();
  EXPECT_EQ(last["done"], true);
  EXPECT_EQ(last["prompt_eval_count"], 7);
  EXPECT_EQ(last["eval_count"], 3);

  reply = c.post("/api/chat", {{"model", "qwen3"}, {"stream", false}});
  json whole = json::parse(reply.body);
  EXPECT_EQ(whole["done"], true);
  EXPECT_EQ(whole["message"]["content"], "Tokyo is sunny");
  EXPECT_EQ(whole["message"]["thinking"], r.reasoning);
  EXPECT_EQ(whole["message"]["tool_calls"][1]["function"]["arguments"], json({{"path", "a"}}));
}

TEST_F(FakeProviderTest, RequestsAreRecordedInOrder) {
  Client c(fake_.port());
  c.post("/v1/chat/completions", {{"model", "first"}});
  c.send(http::verb::get, "/elsewhere?x=1");
  Reply bad = c.send(http::verb::post, "/v1/chat/completions", "not json");
  EXPECT_EQ(bad.status, 400);

  auto reqs = fake_.requests();
  ASSERT_EQ(reqs.size(), 3u);
  EXPECT_EQ(reqs[0].method, "POST");
  EXPECT_EQ(reqs[0].target, "/v1/chat/completions");
  EXPECT_EQ(json::parse(reqs[0].body)["model"], "first");
  EXPECT_EQ(reqs[0].headers.at("x-test-header"), "yes");
  EXPECT_EQ(reqs[0].headers.at("content-type"), "application/json");
  EXPECT_EQ(reqs[1].method, "GET");
  EXPECT_EQ(reqs[1].target, "/elsewhere?x=1");
  EXPECT_EQ(reqs[2].body, "not json");

  Reply listed = c.send(http::verb::get, "/_requests");
  json arr = json::parse(listed.body);
  ASSERT_EQ(arr.size(), 3u);
  EXPECT_EQ(arr[1]["target"], "/elsewhere?x=1");
  EXPECT_EQ(arr[0]["headers"]["x-test-header"], "yes");
  EXPECT_EQ(fake_.requests().size(), 3u) << "the listing itself is not recorded";

  fake_.clear_requests();
  EXPECT_TRUE(fake_.requests().empty());
}

TEST_F(FakeProviderTest, QueueRepeatsFallsBackAndLoops) {
  auto text_of = [](Client& c) {
    return json::parse(c.post("/v1/chat/completions", {{"model", "m"}}).body)["choices"][0]["message"]["content"];
  };
  ScriptedReply a;
  a.text = "a";
  a.repeat = 2;
  ScriptedReply b;
  b.text = "b";
  fake_.script({a, b});
  Client c(fake_.port());
  // A rejected body does not use up a scripted reply.
  EXPECT_EQ(c.send(http::verb::post, "/v1/chat/completions", "[1,2]").status, 400);
  EXPECT_EQ(c.send(http::verb::post, "/v1/nothing", "{}").status, 404);
  std::vector<json> seen;
  for (int i = 0; i < 4; ++i) seen.push_back(text_of(c));
  EXPECT_EQ(seen, (std::vector<json>{"a", "a", "b", "ok"}));

  ScriptedReply fallback;
  fallback.text = "later";
  fake_.set_fallback(fallback);
  EXPECT_EQ(text_of(c), "later");

  fake_.set_loop(true);
  fake_.script({b, a});
  seen.clear();
  for (int i = 0; i < 4; ++i) seen.push_back(text_of(c));
  EXPECT_EQ(seen, (std::vector<json>{"b", "a", "a", "b"}));
}

TEST_F(FakeProviderTest, OversizedBodyIsRefused) {
  Client c(fake_.port());
  std::string head =
      "POST /v1/chat/completions HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(65ull << 20) + "\r\n\r\n";
  asio::write(c.socket(), asio::buffer(head));
  Reply r = c.read();
  EXPECT_EQ(r.status, 413);
}

TEST_F(FakeProviderTest, StopEndsAPendingDelayedReply) {
  ScriptedReply slow;
  slow.delay_ms = 600'000;
  fake_.script({slow});
  Client c(fake_.port());
  http::request<http::string_body> req{http::verb::post, "/v1/chat/completions", 11};
  req.body() = R"({"model":"m"})";
  req.prepare_payload();
  http::write(c.socket(), req);
  for (int i = 0; i < 1000 && fake_.requests().empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(fake_.requests().size(), 1u);
  fake_.stop();
  Reply r = c.read();
  EXPECT_TRUE(r.error) << "the client must see the connection end, not wait for the delay";
  // A stopped provider can serve again.
  ASSERT_NE(fake_.start(), 0) << fake_.last_error();
  Client again(fake_.port());
  EXPECT_EQ(again.post("/v1/chat/completions", {{"model", "m"}}).status, 200);
}

TEST(ParseScript, ReadsRepliesAndRejectsMalformedOnes) {
  json script = json::parse(R"([
    {"text": "hi", "reasoning": "r", "reasoning_key": "thinking", "usage": {"prompt_tokens": 1}, "repeat": 3},
    {"tool_calls": [{"name": "run_command", "arguments": {"command": "ls"}, "id": "c1"},
                    {"name": "x", "arguments": "{\"a\":"}], "finish_reason": "length", "chunk_delay_ms": 5},
    {"status": 429, "body": "slow down", "delay_ms": 10, "cut": true, "raw_body": "raw"}
  ])");
  auto replies = parse_script(script);
  ASSERT_EQ(replies.size(), 3u);
  EXPECT_EQ(replies[0].text, "hi");
  EXPECT_EQ(replies[0].reasoning_key, "thinking");
  EXPECT_EQ((*replies[0].usage)["prompt_tokens"], 1);
  EXPECT_EQ(replies[0].repeat, 3);
  ASSERT_EQ(replies[1].tool_calls.size(), 2u);
  EXPECT_EQ(json::parse(replies[1].tool_calls[0].arguments), json({{"command", "ls"}}));
  EXPECT_EQ(replies[1].tool_calls[0].id, "c1");
  EXPECT_EQ(replies[1].tool_calls[1].arguments, "{\"a\":");
  EXPECT_EQ(replies[1].finish_reason, "length");
  EXPECT_EQ(replies[1].chunk_delay_ms, 5);
  EXPECT_EQ(replies[2].status, 429);
  EXPECT_EQ(replies[2].body, "slow down");
  EXPECT_TRUE(replies[2].cut);
  EXPECT_EQ(replies[2].raw_body, "raw");
  EXPECT_EQ(parse_script(json{{"replies", script}}).size(), 3u);

  const std::pair<const char*, const char*> bad[] = {
      {R"({"text": "x"})", "replies"},
      {R"("text")", "array"},
      {R"([{"txt": "x"}])", "unknown member \"txt\""},
      {R"([{"status": "500"}])", "\"status\" must be an integer"},
      {R"([{"status": 42}])", "HTTP status"},
      {R"([{"cut": 1}])", "\"cut\" must be true or false"},
      {R"([{"text": "ok"}, {"tool_calls": [{"arguments": "{}"}]}])", "reply 1.tool_calls[0]: \"name\" is missing"},
  };
  for (const auto& [text, expected] : bad) {
    SCOPED_TRACE(text);
    std::string error;
    EXPECT_FALSE(try_parse_script(json::parse(text), error).has_value());
    EXPECT_NE(error.find(expected), std::string::npos) << error;
    EXPECT_THROW(parse_script(json::parse(text)), std::invalid_argument);
  }
}

TEST(ToolRoundsScript, CallsRunCommandThenAnswers) {
  auto replies = tool_rounds_script(2);
  ASSERT_EQ(replies.size(), 3u);
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(replies[i].tool_calls.size(), 1u);
    EXPECT_EQ(replies[i].tool_calls[0].name, "run_command");
    EXPECT_EQ(json::parse(replies[i].tool_calls[0].arguments), json({{"command", "echo round"}}));
  }
  EXPECT_EQ(replies[2].text, "done");
}

}  // namespace
}  // namespace pelmox::fake
