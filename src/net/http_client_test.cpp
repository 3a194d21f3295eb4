#include "net/http_client.hpp"

#include <atomic>
#include <cstdlib>
#include <future>
#include <thread>

#include <boost/asio/use_future.hpp>
#include <gtest/gtest.h>

#include "net/test_http_server.hpp"

namespace pelmox {
namespace {

using namespace std::chrono_literals;
using test_http::RawRequest;
using test_http::reply;
using test_http::send_all;
using test_http::TestServer;

// Built outside the coroutines: g++ 12 rejects aggregate temporaries holding string literals inside them.
HttpRequest request(std::string method, std::string url, HttpHeaders headers = {}, std::string body = "") {
  HttpRequest r;
  r.method = std::move(method);
  r.url = std::move(url);
  r.headers = std::move(headers);
  r.body = std::move(body);
  return r;
}

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

// Waits (at most ~10 s) for a condition that another thread makes true.
template <class P>
bool eventually(P pred) {
  for (int i = 0; i < 1000; ++i) {
    if (pred()) return true;
    std::this_thread::sleep_for(10ms);
  }
  return pred();
}

// A one-shot signal between the test and a server handler.
struct Latch {
  std::promise<void> p;
  std::shared_future<void> f = p.get_future().share();
  void open() { p.set_value(); }
  bool wait() const { return f.wait_for(10s) == std::future_status::ready; }
};

TEST(HttpClient, RoundTripsOverOneKeptAliveConnection) {
  TestServer server([](int fd, const RawRequest& req) {
    std::string body = req.method + " " + req.target + " auth=" + req.header("Authorization") + " body=" + req.body;
    return send_all(fd, reply(200, "Fine", body, "X-Test: yes\r\n"));
  });
  auto client = HttpClient::create();
  auto get_request = request("GET", server.url("/a?x=1"), {{"Authorization", "Bearer k"}});
  auto post_request = request("POST", server.url("/b"), {{"Content-Type", "application/json"}}, "{}");
  auto both = run_async([&]() -> awaitable<std::vector<Result<HttpResponse>>> {
    std::vector<Result<HttpResponse>> out;
    out.push_back(co_await client->fetch(get_request, 1024));
    out.push_back(co_await client->fetch(post_request, 1024));
    co_return out;
  });
  auto& get = both[0];
  auto& post = both[1];
  ASSERT_TRUE(get.ok()) << get.error().message;
  EXPECT_EQ(get->status, 200);
  EXPECT_EQ(get->status_text, "200 OK");  // the canonical phrase, not the server's
  EXPECT_EQ(get->header("x-test"), "yes");
  EXPECT_EQ(get->body, "GET /a?x=1 auth=Bearer k body=");
  ASSERT_TRUE(post.ok()) << post.error().message;
  EXPECT_EQ(post->body, "POST /b auth= body={}");
  EXPECT_EQ(server.connections(), 1);
}

TEST(HttpClient, StatusTextUsesTheCanonicalPhrase) {
  const std::vector<std::pair<int, std::string>> cases = {{401, "401 Unauthorized"},
                                                          {429, "429 Too Many Requests"},
                                                          {503, "503 Service Unavailable"},
                                                          {599, "599 <unknown status code>"}};
  for (const auto& [code, text] : cases) EXPECT_EQ(status_text_for(code), text);

  TestServer server([](int fd, const RawRequest&) { return send_all(fd, reply(401, "Nope", "denied")); });
  auto client = HttpClient::create();
  auto r = run_async([&]() { return client->fetch(request("GET", server.url()), 1024); });
  ASSERT_TRUE(r.ok()) << r.error().message;
  EXPECT_EQ(r->status, 401);
  EXPECT_EQ(r->status_text, "401 Unauthorized");
  EXPECT_EQ(r->body, "denied");
}

TEST(HttpClient, HonoursTheProxyVariables) {
  TestServer proxy([](int fd, const RawRequest& req) { return send_all(fd, reply(200, "OK", req.target)); });
  auto saved = [](const char* name) -> std::optional<std::string> {
    const char* v = std::getenv(name);
    return v ? std::optional<std::string>(v) : std::nullopt;
  };
  auto old_proxy = saved("http_proxy"), old_no_proxy = saved("no_proxy"), old_upper = saved("NO_PROXY");
  ::setenv("http_proxy", proxy.url().c_str(), 1);
  ::unsetenv("no_proxy");
  ::unsetenv("NO_PROXY");
  auto client = HttpClient::create();
  auto r = run_async([&]() { return client->fetch(request("GET", "http://provider.invalid/v1/models"), 1024); });
  auto restore = [](const char* name, const std::optional<std::string>& v) {
    if (v) {
      ::setenv(name, v->c_str(), 1);
    } else {
      ::unsetenv(name);
    }
  };
  restore("http_proxy", old_proxy);
  restore("no_proxy", old_no_proxy);
  restore("NO_PROXY", old_upper);
  ASSERT_TRUE(r.ok()) << r.error().message;
  EXPECT_EQ(r->body, "http://provider.invalid/v1/models");  // the absolute form a proxy receives
}

TEST(HttpClient, ServesManyConcurrentRequests) {
  TestServer server([](int fd, const RawRequest& req) {
    std::this_thread::sleep_for(5ms);
    return send_all(fd, reply(200, "OK", req.target));
  });
  auto client = HttpClient::create();
  constexpr int kRequests = 40;
  auto bodies = run_async([&]() -> awaitable<std::vector<std::string>> {
    auto ex = co_await asio::this_coro::executor;
    auto one = [&](int i) -> awaitable<std::string> {
      auto r = co_await client->fetch(request("GET", server.url("/" + std::to_string(i))), 64);
      co_return r.ok() ? r->body : "error: " + r.error().message;
    };
    std::vector<std::future<std::string>> futures;
    for (int i = 0; i < kRequests; ++i) futures.push_back(asio::co_spawn(ex, one(i), asio::use_future));
    std::vector<std::string> out;
    for (auto& f : futures) out.push_back(co_await run_blocking([&f] { return f.get(); }));
    co_return out;
  });
  for (int i = 0; i < kRequests; ++i) EXPECT_EQ(bodies[i], "/" + std::to_string(i));
  EXPECT_EQ(client->active_transfers(), 0u);
}

TEST(HttpClient, StreamsPiecesBeforeTheServerFinishes) {
  Latch first_seen;
  std::atomic<bool> held_until_seen{false};
  TestServer server([&](int fd, const RawRequest&) {
    send_all(fd, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nfirst\r\n");
    held_until_seen = first_seen.wait();
    return send_all(fd, "4\r\nrest\r\n0\r\n\r\n");
  });
  auto client = HttpClient::create();
  auto pieces = run_async([&]() -> awaitable<std::vector<std::string>> {
    std::vector<std::string> out;
    auto stream = co_await client->send(request("GET", server.url()));
    if (!stream) co_return std::vector<std::string>{"error: " + stream.error().message};
    for (;;) {
      auto piece = co_await stream->next_piece();
      if (!piece) co_return std::vector<std::string>{"error: " + piece.error().message};
      if (!*piece) break;
      if (out.empty()) first_seen.open();
      out.push_back(**piece);
    }
    co_return out;
  });
  EXPECT_EQ(pieces, (std::vector<std::string>{"first", "rest"}));
  EXPECT_TRUE(held_until_seen);
}

TEST(HttpClient, SlowReaderPausesTheTransferAndDroppingItClosesTheConnection) {
  constexpr size_t kTotal = 50u << 20;
  std::atomic<size_t> written{0};
  std::atomic<bool> write_failed{false};
  TestServer server([&](int fd, const RawRequest&) {
    send_all(fd, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kTotal) + "\r\n\r\n");
    std::string block(64 * 1024, 'x');
    while (written < kTotal) {
      if (!send_all(fd, block)) {
        write_failed = true;
        return false;
      }
      written += block.size();
    }
    return false;
  });
  auto client = HttpClient::create();
  auto outcome = run_async([&]() -> awaitable<std::string> {
    auto stream = co_await client->send(request("GET", server.url()));
    if (!stream) co_return "error: " + stream.error().message;
    size_t read = 0;
    while (read < (1u << 20)) {
      auto piece = co_await stream->next_piece();
      if (!piece || !*piece) co_return std::string("stream ended early");
      read += (*piece)->size();
    }
    // Stop reading; once the socket buffers are full the server cannot write any more.
    size_t last = 0;
    for (int stable = 0, i = 0; stable < 30 && i < 1000; ++i) {
      co_await asio::steady_timer(co_await asio::this_coro::executor, 10ms).async_wait(use_awaitable);
      stable = written == last ? stable + 1 : 0;
      last = written;
    }
    if (written >= kTotal) co_return std::string("server wrote everything");
    if (client->buffered_bytes() > 256 * 1024)
      co_return "buffered " + std::to_string(client->buffered_bytes()) + " bytes";
    co_return std::string("paused");
  });  // the stream is dropped here
  EXPECT_EQ(outcome, "paused");
  EXPECT_TRUE(eventually([&] { return write_failed.load(); }));
  EXPECT_TRUE(eventually([&] { return client->active_transfers() == 0; }));
  EXPECT_EQ(client->buffered_bytes(), 0u);
}

TEST(HttpClient, CancelledReadEndsTheTransfer) {
  std::atomic<bool> peer_closed{false};
  TestServer server([&](int fd, const RawRequest&) {
    send_all(fd, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
    char c;
    peer_closed = ::recv(fd, &c, 1, 0) <= 0;  // holds the body back until the client goes away
    return false;
  });
  auto client = HttpClient::create();
  auto outcome = run_async([&]() -> awaitable<std::string> {
    auto stream = co_await client->send(request("GET", server.url()));
    if (!stream) co_return "error: " + stream.error().message;
    auto owned = std::make_shared<HttpResponseStream>(std::move(*stream));
    // The abandoned read must own the stream: a parameter lives in the coroutine frame, a lambda capture does not.
    auto read = [](std::shared_ptr<HttpResponseStream> s) -> awaitable<std::string> {
      auto piece = co_await s->next_piece();
      co_return piece.ok() ? "a piece arrived" : piece.error().message;
    };
    auto piece = co_await with_time_limit(read(owned), 100ms);
    co_return piece ? *piece : std::string("timed out");
  });
  EXPECT_EQ(outcome, "timed out");
  EXPECT_TRUE(eventually([&] { return peer_closed.load(); }));
  EXPECT_TRUE(eventually([&] { return client->active_transfers() == 0; }));
}

TEST(HttpClient, FailuresAreErrorValues) {
  const std::string refused_url = "http://127.0.0.1:" + std::to_string(test_http::closed_port()) + "/";

  TestServer silent([](int fd, const RawRequest&) {
    char c;
    ::recv(fd, &c, 1, 0);  // never answers
    return false;
  });
  TestServer big([](int fd, const RawRequest&) { return send_all(fd, reply(200, "OK", std::string(100, 'b'))); });

  auto injecting = request("GET", big.url(), {{"X-A", "1\r\nX-B: 2"}});
  auto client = HttpClient::create();
  auto quick = HttpClient::create(300ms);
  auto errors = run_async([&]() -> awaitable<std::vector<std::string>> {
    std::vector<std::string> out;
    auto refused = co_await client->fetch(request("GET", refused_url), 1024);
    out.push_back(refused.ok() ? "ok" : refused.error().message);
    auto slow = co_await quick->fetch(request("GET", silent.url()), 1024);
    out.push_back(slow.ok() ? "ok" : slow.error().message);
    auto large = co_await client->fetch(request("GET", big.url()), 10);
    out.push_back(large.ok() ? "ok" : large.error().message);
    auto injected = co_await client->fetch(injecting, 1024);
    out.push_back(injected.ok() ? "ok" : injected.error().message);
    co_return out;
  });
  ASSERT_EQ(errors.size(), 4u);
  EXPECT_TRUE(errors[0].starts_with("Couldn't connect to server")) << errors[0];
  EXPECT_TRUE(errors[1].starts_with("Timeout was reached")) << errors[1];
  EXPECT_EQ(errors[2], "response body exceeds 10 bytes");
  EXPECT_EQ(errors[3], "invalid HTTP header `X-A`");
}

}  // namespace
}  // namespace pelmox
