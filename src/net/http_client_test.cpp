#include "net/http_client.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <future>
#include <list>
#include <mutex>
#include <thread>

#include <boost/asio/use_future.hpp>
#include <gtest/gtest.h>

namespace pelmox {
namespace {

using namespace std::chrono_literals;

struct RawRequest {
  std::string method, target, head, body;
  std::string header(const std::string& name) const {
    auto pos = head.find("\r\n" + name + ": ");
    if (pos == std::string::npos) return {};
    pos += name.size() + 4;
    return head.substr(pos, head.find("\r\n", pos) - pos);
  }
};

bool send_all(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// A minimal HTTP/1.1 server on a loopback ephemeral port: one thread per connection, requests read in turn
// from a kept-alive connection, each answered by the test's handler writing raw bytes to the socket.
class TestServer {
 public:
  // Returns false to close the connection.
  using Handler = std::function<bool(int fd, const RawRequest&)>;

  explicit TestServer(Handler handler) : handler_(std::move(handler)) {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(listen_fd_, 128);
    socklen_t len = sizeof addr;
    ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    acceptor_ = std::thread([this] { accept_loop(); });
  }

  ~TestServer() {
    ::shutdown(listen_fd_, SHUT_RDWR);
    ::close(listen_fd_);
    acceptor_.join();
    {
      std::lock_guard lock(mu_);
      for (int fd : fds_) ::shutdown(fd, SHUT_RDWR);
    }
    for (auto& t : workers_) t.join();
  }

  std::string url(const std::string& path = "/") const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  int connections() const { return connections_.load(); }

 private:
  void accept_loop() {
    for (;;) {
      int fd = ::accept(listen_fd_, nullptr, nullptr);
      if (fd < 0) return;
      connections_.fetch_add(1);
      std::lock_guard lock(mu_);
      fds_.push_back(fd);
      workers_.emplace_back([this, fd] { serve(fd); });
    }
  }

  void serve(int fd) {
    std::string buf;
    char chunk[65536];
    for (;;) {
      size_t end;
      while ((end = buf.find("\r\n\r\n")) == std::string::npos) {
        ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) return;
        buf.append(chunk, static_cast<size_t>(n));
      }
      RawRequest req;
      req.head = buf.substr(0, end + 2);
      buf.erase(0, end + 4);
      auto sp1 = req.head.find(' '), sp2 = req.head.find(' ', sp1 + 1);
      req.method = req.head.substr(0, sp1);
      req.target = req.head.substr(sp1 + 1, sp2 - sp1 - 1);
      auto length_text = req.header("Content-Length");
      size_t length = length_text.empty() ? 0 : std::stoul(length_text);
      while (buf.size() < length) {
        ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) return;
        buf.append(chunk, static_cast<size_t>(n));
      }
      req.body = buf.substr(0, length);
      buf.erase(0, length);
      if (!handler_(fd, req)) return;
    }
  }

  Handler handler_;
  int listen_fd_ = -1;
  unsigned short port_ = 0;
  std::thread acceptor_;
  std::mutex mu_;
  std::list<std::thread> workers_;
  std::vector<int> fds_;
  std::atomic<int> connections_{0};
};

std::string reply(int status_line_code, std::string_view phrase, std::string_view body,
                  std::string_view extra_headers = "") {
  return "HTTP/1.1 " + std::to_string(status_line_code) + " " + std::string(phrase) +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + std::string(extra_headers) + "\r\n" +
         std::string(body);
}

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
    auto read = [owned]() -> awaitable<std::string> {
      auto piece = co_await owned->next_piece();
      co_return piece.ok() ? "a piece arrived" : piece.error().message;
    };
    auto piece = co_await with_time_limit(read(), 100ms);
    co_return piece ? *piece : std::string("timed out");
  });
  EXPECT_EQ(outcome, "timed out");
  EXPECT_TRUE(eventually([&] { return peer_closed.load(); }));
  EXPECT_TRUE(eventually([&] { return client->active_transfers() == 0; }));
}

TEST(HttpClient, FailuresAreErrorValues) {
  int probe = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(probe, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(probe);  // nothing listens on this port any more
  const std::string refused_url = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/";

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
