#include "llm/stream_pump.hpp"

#include <deque>
#include <thread>

#include <gtest/gtest.h>

namespace pelmox {
namespace {

using namespace std::chrono_literals;

// A chunk as compact JSON of the fields it carries, so expectations read as one line each.
std::string render(const StreamChunk& c) {
  ordered_json j = ordered_json::object();
  if (c.content) j["content"] = *c.content;
  if (c.reasoning) j["reasoning"] = *c.reasoning;
  if (c.tool_call) {
    ordered_json t = ordered_json::object();
    t["index"] = c.tool_call->index;
    if (c.tool_call->id) t["id"] = *c.tool_call->id;
    if (c.tool_call->name) t["name"] = *c.tool_call->name;
    if (c.tool_call->arguments) t["arguments"] = *c.tool_call->arguments;
    j["tool_call"] = std::move(t);
  }
  if (c.usage) j["usage"] = {c.usage->prompt_tokens, c.usage->completion_tokens, c.usage->total_tokens};
  if (c.done) j["done"] = true;
  return dump(j);
}

struct Pieces {
  std::deque<std::string> pieces;
  std::optional<std::string> error;  // returned once the pieces are used up; else the body ends
  std::atomic<int> pulls{0};
};

awaitable<Result<std::optional<std::string>>> next_of(std::shared_ptr<Pieces> p) {
  ++p->pulls;
  if (!p->pieces.empty()) {
    std::string piece = std::move(p->pieces.front());
    p->pieces.pop_front();
    co_return std::optional<std::string>(std::move(piece));
  }
  if (p->error) co_return Error(*p->error);
  co_return std::optional<std::string>{};
}

BodySource source_of(std::shared_ptr<Pieces> p) {
  return [p]() { return next_of(p); };
}

template <class F>
void run_io(F body) {
  asio::io_context io;
  asio::co_spawn(io, std::move(body), [](std::exception_ptr e) {
    if (e) std::rethrow_exception(e);
  });
  std::thread second([&] { io.run(); });
  io.run();
  second.join();
}

std::vector<std::string> pump_all(std::vector<std::string> pieces, std::optional<std::string> error,
                                  StreamFormat format, std::size_t max_line = LineSplitter::kDefaultMaxLine) {
  auto p = std::make_shared<Pieces>();
  p->pieces.assign(pieces.begin(), pieces.end());
  p->error = std::move(error);
  std::vector<std::string> out;
  run_io([&]() -> awaitable<void> {
    auto ex = co_await asio::this_coro::executor;
    auto rx = start_stream_pump(ex, source_of(p), format, max_line);
    while (auto c = co_await rx.next()) out.push_back(render(*c));
    auto after = co_await rx.next();
    EXPECT_FALSE(after) << "an ended stream stays ended";
  });
  return out;
}

std::string data(const std::string& event) { return "data: " + event + "\n\n"; }
std::string delta(const std::string& d, const std::string& finish = "null") {
  return R"({"id":"c1","choices":[{"index":0,"delta":)" + d + R"(,"finish_reason":)" + finish + "}]}";
}
std::string tool(const std::string& element) { return delta(R"({"tool_calls":[)" + element + "]}"); }

struct Case {
  std::string name;
  std::vector<std::string> pieces;
  std::optional<std::string> error;
  std::vector<std::string> expected;
  std::size_t max_line = LineSplitter::kDefaultMaxLine;
};

TEST(SsePump, LineRules) {
  const std::string kDone = R"({"done":true})";
  const std::vector<Case> cases = {
      {"prefixes and markers",
       {": keep-alive\n", "event: message\nid: 4\n", "data:" + delta(R"({"content":"no blank"})") + "\n",
        "   data: " + delta(R"({"content":"a"})") + "  \r\n", "data:[DONE]\n\n", "data: [DONE]\n",
        data(delta(R"({"content":"after the end"})"))},
       std::nullopt,
       {R"({"content":"a"})", kDone}},
      {"unusable events are skipped",
       {"data: not json\n", data(R"({"choices":[]})"), data(R"({"choices":{}})"), data(R"({"object":"x"})"),
        data(R"({"choices":[{"index":0}]})"), data(R"({"choices":["x"]})"),
        data(delta(R"({"content":"dropped with its empty tool_calls","tool_calls":[]})")),
        data(delta(R"({"content":"kept","tool_calls":null})"))},
       std::nullopt,
       {R"({"content":"kept"})", kDone}},
      {"reasoning spellings: the first present key decides",
       {data(delta(R"({"reasoning_content":"a"})")), data(delta(R"({"reasoning":"b"})")),
        data(delta(R"({"thinking":"c","content":""})")), data(delta(R"({"reasoning_content":null,"reasoning":"d"})")),
        data(delta(R"({"content":5})")), "data: [DONE]\n"},
       std::nullopt,
       {R"({"reasoning":"a"})", R"({"reasoning":"b"})", R"({"content":"","reasoning":"c"})", "{}", "{}", kDone}},
      {"tool calls accumulate id and name per index, arguments travel as fragments",
       {data(tool(R"({"index":0,"id":"call_a","type":"function","function":{"name":"f","arguments":""}})")),
        data(tool(R"({"index":0,"id":null,"type":null,"function":{"name":null,"arguments":"{\"a\":"}})")),
        data(tool(R"({"index":1,"id":"call_b","function":{"name":"g"}},{"index":0,"function":{"arguments":"x"}})")),
        data(tool(R"({"function":{"arguments":"1}"}})")),
        data(tool(R"({"index":"1","function":{"arguments":" "}})")),
        data(tool(R"({"index":1,"id":"call_b2","function":{"arguments":"{}"}})")),
        data(tool(R"({"index":4000000000})")), "data: [DONE]\n"},
       std::nullopt,
       {R"({"tool_call":{"index":0,"id":"call_a","name":"f","arguments":""}})",
        R"({"tool_call":{"index":0,"id":"call_a","name":"f","arguments":"{\"a\":"}})",
        R"({"tool_call":{"index":1,"id":"call_b","name":"g"}})",
        R"({"tool_call":{"index":0,"id":"call_a","name":"f","arguments":"1}"}})",
        R"({"tool_call":{"index":0,"id":"call_a","name":"f","arguments":" "}})",
        R"({"tool_call":{"index":1,"id":"call_b2","name":"g","arguments":"{}"}})",
        R"({"tool_call":{"index":4000000000}})", kDone}},
      {"finish reasons and usage",
       {data(delta("{}", R"("null")")), data(delta("{}", R"("")")),
        data(R"({"choices":[{"delta":{"content":"x"},"finish_reason":"stop"}],)"
             R"("usage":{"prompt_tokens":3,"completion_tokens":"4","total_tokens":7}})"),
        data(R"({"choices":[{"delta":{}}],"usage":null})"), "data: [DONE]\n"},
       std::nullopt,
       {"{}", "{}", R"({"content":"x","usage":[3,0,7],"done":true})", "{}", kDone}},
      {"a body that ends without [DONE] still ends with a done chunk; an unterminated line is not an event",
       {data(delta(R"({"content":"a"})")), "data: " + delta(R"({"content":"unterminated"})")},
       std::nullopt,
       {R"({"content":"a"})", kDone}},
      {"a read error ends the stream with a done chunk",
       {data(delta(R"({"content":"a"})"))},
       "connection reset",
       {R"({"content":"a"})", kDone}},
      {"characters split between pieces stay whole; invalid bytes become U+FFFD",
       {"data: {\"choices\":[{\"delta\":{\"content\":\"\xE4\xBD", "\xA0\xE5\xA5\xBD\xFF\"}}]}\n\n"},
       std::nullopt,
       {"{\"content\":\"\xE4\xBD\xA0\xE5\xA5\xBD\xEF\xBF\xBD\"}", kDone}},
      {"a line over the limit ends the stream like a read error",
       {data(delta(R"({"content":"a"})")), "data: " + std::string(200, 'x'), "\n" + data(delta(R"({"content":"b"})"))},
       std::nullopt,
       {R"({"content":"a"})", kDone},
       128},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(pump_all(c.pieces, c.error, StreamFormat::kSse, c.max_line), c.expected) << c.name;
  }
}

TEST(NdjsonPump, LineRules) {
  const std::string kDone = R"({"done":true})";
  const std::vector<Case> cases = {
      {"one object gives reasoning, content and each call in order; the call counter runs over the stream",
       {R"({"model":"m","message":{"role":"assistant","content":"c","thinking":"t","tool_calls":[)"
        R"({"function":{"name":"a","arguments":{"x":1}}},{"function":{"name":"b","arguments":null}}]},"done":false})"
        "\n",
        "data: " R"({"message":{"content":"","tool_calls":[{"id":"theirs","function":{"name":"c","arguments":{}}}]}})"
        "\n",
        R"({"message":{"content":""},"done_reason":"stop","done":true})" "\n",
        R"({"message":{"content":"after the end"}})" "\n"},
       std::nullopt,
       {R"({"reasoning":"t"})", R"({"content":"c"})",
        R"({"tool_call":{"index":0,"id":"call_native_0","name":"a","arguments":"{\"x\":1}"}})",
        R"({"tool_call":{"index":1,"id":"call_native_1","name":"b","arguments":"{}"}})",
        R"({"tool_call":{"index":2,"id":"call_native_2","name":"c","arguments":"{}"}})", kDone}},
      {"unusable lines and calls are skipped without using up ids; no done chunk without done: true",
       {"\n", "data:\n", "  \n", "garbage\n", R"({"message":{"content":"","thinking":""}})" "\n",
        R"({"message":"text"})" "\n", R"({"done":"true","message":{"content":"x"}})" "\n",
        R"({"message":{"tool_calls":[{"name":"top"},{"function":"f"},{"function":{"name":""}},)"
        R"({"function":{"arguments":{}}},{"function":{"name":"ok"}}]}})" "\n",
        R"({"message":{"content":"unterminated"}})"},
       std::nullopt,
       {R"({"content":"x"})", R"({"tool_call":{"index":0,"id":"call_native_0","name":"ok","arguments":"{}"}})"}},
      {"a read error ends the stream silently",
       {R"({"message":{"content":"a"}})" "\n"},
       "connection reset",
       {R"({"content":"a"})"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(pump_all(c.pieces, c.error, StreamFormat::kOllamaNdjson, c.max_line), c.expected) << c.name;
  }
}

// Waits (boundedly) for a condition another thread makes true, without asserting anything about time.
awaitable<bool> eventually(std::function<bool()> cond) {
  asio::steady_timer timer(co_await asio::this_coro::executor);
  for (int i = 0; i < 2000 && !cond(); ++i) {
    timer.expires_after(5ms);
    co_await timer.async_wait(use_awaitable);
  }
  co_return cond();
}

awaitable<Result<std::optional<std::string>>> endless(std::shared_ptr<Pieces> p) {
  ++p->pulls;
  co_return std::optional<std::string>(data(delta(R"({"content":"x"})")));
}

TEST(SsePump, FullChannelHoldsThePumpAndDroppingTheReceiverEndsIt) {
  auto p = std::make_shared<Pieces>();
  std::weak_ptr<Pieces> alive = p;
  run_io([&]() -> awaitable<void> {
    auto ex = co_await asio::this_coro::executor;
    BodySource body = [p]() { return endless(p); };
    p.reset();
    auto rx = std::make_optional(start_stream_pump(ex, std::move(body), StreamFormat::kSse));
    auto pulls = [&] { return alive.lock() ? alive.lock()->pulls.load() : -1; };
    // 128 chunks fill the channel; the pump then waits with the 129th piece in hand.
    std::function<bool()> filled = [&] { return pulls() >= 129; };
    bool full = co_await eventually(filled);
    EXPECT_TRUE(full);
    asio::steady_timer settle(ex, 50ms);
    co_await settle.async_wait(use_awaitable);
    EXPECT_EQ(pulls(), 129);
    auto first = co_await rx->next();
    EXPECT_TRUE(first && render(*first) == R"({"content":"x"})");
    std::function<bool()> one_more = [&] { return pulls() >= 130; };
    bool refilled = co_await eventually(one_more);
    EXPECT_TRUE(refilled);
    rx.reset();
    std::function<bool()> gone = [&] { return alive.expired(); };
    bool ended = co_await eventually(gone);
    EXPECT_TRUE(ended) << "the pump still holds its body";
  });
}

awaitable<Result<std::optional<std::string>>> silent(std::shared_ptr<Pieces> p) {
  if (p->pulls++ == 0) co_return std::optional<std::string>(data(delta(R"({"content":"first"})")));
  asio::steady_timer never(co_await asio::this_coro::executor, 30s);  // bounded, should the pump not let go
  co_await never.async_wait(use_awaitable);
  co_return std::optional<std::string>{};
}

TEST(SsePump, DroppingTheReceiverAbandonsAPendingRead) {
  auto p = std::make_shared<Pieces>();
  std::weak_ptr<Pieces> alive = p;
  run_io([&]() -> awaitable<void> {
    auto ex = co_await asio::this_coro::executor;
    BodySource body = [p]() { return silent(p); };
    p.reset();
    {
      auto rx = start_stream_pump(ex, std::move(body), StreamFormat::kSse);
      auto first = co_await rx.next();
      EXPECT_TRUE(first && first->content == "first");
    }
    std::function<bool()> gone = [&] { return alive.expired(); };
    bool ended = co_await eventually(gone);
    EXPECT_TRUE(ended) << "the pump still waits for the body";
  });
}

TEST(StreamReceiver, FromChunksYieldsThemAllThenEnds) {
  std::vector<StreamChunk> chunks(300);
  for (std::size_t i = 0; i < chunks.size(); ++i) chunks[i].content = std::to_string(i);
  chunks.back().done = true;
  std::vector<std::string> got;
  run_io([&]() -> awaitable<void> {
    auto ex = co_await asio::this_coro::executor;
    auto rx = StreamReceiver::from_chunks(ex, chunks);
    StreamReceiver moved = std::move(rx);
    while (auto c = co_await moved.next()) got.push_back(*c->content);
    auto from_moved = co_await rx.next();  // NOLINT: a moved-from receiver is simply ended
    EXPECT_FALSE(from_moved);
  });
  ASSERT_EQ(got.size(), 300u);
  EXPECT_EQ(got.front(), "0");
  EXPECT_EQ(got.back(), "299");
}

}  // namespace
}  // namespace pelmox
