#pragma once
// For tests only: a minimal HTTP/1.1 server on a loopback ephemeral port whose replies are raw bytes written by
// the test, so a test controls framing, pacing and connection ends exactly.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace pelmox::test_http {

struct RawRequest {
  std::string method, target, head, body;
  std::string header(const std::string& name) const {
    auto pos = head.find("\r\n" + name + ": ");
    if (pos == std::string::npos) return {};
    pos += name.size() + 4;
    return head.substr(pos, head.find("\r\n", pos) - pos);
  }
};

inline bool send_all(int fd, std::string_view data) {
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

inline std::string reply(int status_line_code, std::string_view phrase, std::string_view body,
                  std::string_view extra_headers = "") {
  return "HTTP/1.1 " + std::to_string(status_line_code) + " " + std::string(phrase) +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + std::string(extra_headers) + "\r\n" +
         std::string(body);
}

// A loopback port on which nothing listens (bound, read and released again).
inline unsigned short closed_port() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

}  // namespace pelmox::test_http
