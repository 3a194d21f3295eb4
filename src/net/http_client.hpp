#pragma once
// Outgoing HTTP for every part of Pelmox that talks to a remote service (model providers, the knowledge base,
// the WeChat Work API): TLS, the proxy variables of the environment (http_proxy, https_proxy, HTTPS_PROXY,
// all_proxy, no_proxy, NO_PROXY), pooled connections, a total time limit per request that includes the body,
// and response bodies that can be consumed piece by piece as they arrive.
//
// One HttpClient owns one transfer engine thread; every request made through it shares that thread and its
// connection pool. A reader that falls behind pauses its transfer instead of letting received data pile up, and
// dropping a response stream (or cancelling the coroutine reading it) ends its transfer and closes or returns the
// connection.
//
// Thread-safety: an HttpClient may be used by any number of coroutines on any threads at once. One
// HttpResponseStream belongs to one reader at a time.

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "runtime/runtime.hpp"
#include "utils/result.hpp"

namespace pelmox {

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
  std::string method = "GET";  // GET, POST, PUT, DELETE, ...; a body is sent whenever it is non-empty or POST
  std::string url;
  HttpHeaders headers;         // sent as given, in this order
  std::string body;
};

struct HttpResponse {
  int status = 0;
  std::string status_text;  // "401 Unauthorized"
  HttpHeaders headers;
  std::string body;

  // The value of the first header with this name (compared without regard to ASCII case).
  std::optional<std::string> header(std::string_view name) const;
};

// "404 Not Found": the number and the canonical reason phrase of the status, whatever phrase the server sent
// (HTTP/2 sends none). A status without a registered phrase reads "599 <unknown status code>".
std::string status_text_for(int status);

namespace detail {
struct HttpEngine;
struct Reader;
}  // namespace detail

// A response whose status line and headers have arrived and whose body is read piece by piece.
class HttpResponseStream {
 public:
  HttpResponseStream(HttpResponseStream&&) noexcept;
  HttpResponseStream& operator=(HttpResponseStream&&) noexcept;
  ~HttpResponseStream();  // ends the transfer if the body was not read to its end

  int status() const { return status_; }
  const std::string& status_text() const { return status_text_; }
  const HttpHeaders& headers() const { return headers_; }
  std::optional<std::string> header(std::string_view name) const;

  // The next piece of the body as it arrived; nullopt once the body has ended. A transport failure (connection
  // reset, time limit, ...) is returned as an error, and so is the reader's own cancellation.
  awaitable<Result<std::optional<std::string>>> next_piece();

  // The rest of the body, at most `limit` bytes; more is an error, not growth.
  awaitable<Result<std::string>> read_all(std::size_t limit);

 private:
  friend class HttpClient;
  explicit HttpResponseStream(std::unique_ptr<detail::Reader> reader);

  std::unique_ptr<detail::Reader> reader_;
  int status_ = 0;
  std::string status_text_;
  HttpHeaders headers_;
};

class HttpClient {
 public:
  static constexpr std::chrono::milliseconds kDefaultTotalLimit{600'000};

  // total_limit bounds each request from connecting to the last body byte.
  static std::shared_ptr<HttpClient> create(std::chrono::milliseconds total_limit = kDefaultTotalLimit);
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  std::chrono::milliseconds total_limit() const { return total_limit_; }

  // Resolves once the status line and headers of the final response are in (redirects are followed, at most 10).
  // Errors are transport failures with curl's description ("Couldn't connect to server: ...").
  awaitable<Result<HttpResponseStream>> send(HttpRequest request);

  // send() followed by reading the whole body; a body over body_limit bytes is an error.
  awaitable<Result<HttpResponse>> fetch(HttpRequest request, std::size_t body_limit);

  // Body bytes received from the network and not yet taken by readers, summed over all transfers. Stays small
  // however large the bodies are, because full transfers pause; exposed so tests can see that.
  std::size_t buffered_bytes() const;
  // Transfers currently held by the engine (queued, running or paused).
  std::size_t active_transfers() const;

 private:
  explicit HttpClient(std::chrono::milliseconds total_limit);

  std::chrono::milliseconds total_limit_;
  std::shared_ptr<detail::HttpEngine> engine_;
};

using HttpClientPtr = std::shared_ptr<HttpClient>;

}  // namespace pelmox
