#include "net/http_client.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "net/curl_lib.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/experimental/concurrent_channel.hpp>

namespace pelmox {

namespace {

// Pieces a transfer may hand over before it pauses. curl delivers at most CURL_MAX_WRITE_SIZE (16 KiB) per
// call, so one transfer holds at most about 128 KiB the reader has not taken yet.
constexpr std::size_t kChannelPieces = 8;
// Status line plus headers of one response; far above anything a real server sends.
constexpr std::size_t kHeaderLimit = 256 * 1024;
constexpr long kMaxRedirects = 10;
constexpr std::chrono::milliseconds kConnectLimit{30'000};


bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
           return lower(x) == lower(y);
         });
}

std::optional<std::string> find_header(const HttpHeaders& headers, std::string_view name) {
  for (const auto& [k, v] : headers)
    if (iequals(k, name)) return v;
  return std::nullopt;
}

bool is_token(std::string_view s) {
  if (s.empty()) return false;
  return std::all_of(s.begin(), s.end(), [](unsigned char c) {
    return c > 32 && c < 127 && !std::strchr("()<>@,;:\\\"/[]?={}", c);
  });
}

bool has_line_break(std::string_view s) {
  return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

std::string_view trim_ows(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
    s.remove_suffix(1);
  return s;
}

}  // namespace

std::string status_text_for(int status) {
  static const std::unordered_map<int, const char*> reasons = {
      {100, "Continue"},
      {101, "Switching Protocols"},
      {102, "Processing"},
      {200, "OK"},
      {201, "Created"},
      {202, "Accepted"},
      {203, "Non Authoritative Information"},
      {204, "No Content"},
      {205, "Reset Content"},
      {206, "Partial Content"},
      {207, "Multi-Status"},
      {208, "Already Reported"},
      {226, "IM Used"},
      {300, "Multiple Choices"},
      {301, "Moved Permanently"},
      {302, "Found"},
      {303, "See Other"},
      {304, "Not Modified"},
      {305, "Use Proxy"},
      {307, "Temporary Redirect"},
      {308, "Permanent Redirect"},
      {400, "Bad Request"},
      {401, "Unauthorized"},
      {402, "Payment Required"},
      {403, "Forbidden"},
      {404, "Not Found"},
      {405, "Method Not Allowed"},
      {406, "Not Acceptable"},
      {407, "Proxy Authentication Required"},
      {408, "Request Timeout"},
      {409, "Conflict"},
      {410, "Gone"},
      {411, "Length Required"},
      {412, "Precondition Failed"},
      {413, "Payload Too Large"},
      {414, "URI Too Long"},
      {415, "Unsupported Media Type"},
      {416, "Range Not Satisfiable"},
      {417, "Expectation Failed"},
      {418, "I'm a teapot"},
      {421, "Misdirected Request"},
      {422, "Unprocessable Entity"},
      {423, "Locked"},
      {424, "Failed Dependency"},
      {426, "Upgrade Required"},
      {428, "Precondition Required"},
      {429, "Too Many Requests"},
      {431, "Request Header Fields Too Large"},
      {451, "Unavailable For Legal Reasons"},
      {500, "Internal Server Error"},
      {501, "Not Implemented"},
      {502, "Bad Gateway"},
      {503, "Service Unavailable"},
      {504, "Gateway Timeout"},
      {505, "HTTP Version Not Supported"},
      {506, "Variant Also Negotiates"},
      {507, "Insufficient Storage"},
      {508, "Loop Detected"},
      {510, "Not Extended"},
      {511, "Network Authentication Required"},
  };
  auto it = reasons.find(status);
  return std::to_string(status) + " " + (it != reasons.end() ? it->second : "<unknown status code>");
}

std::optional<std::string> HttpResponse::header(std::string_view name) const { return find_header(headers, name); }

namespace detail {

struct TransferEvent {
  enum Kind { kHead, kPiece, kEnd } kind = kPiece;
  std::string data;
  int status = 0;
  HttpHeaders headers;
  std::optional<Error> error;  // kEnd only: the transfer failed

  static TransferEvent head(int status, HttpHeaders headers) {
    TransferEvent ev;
    ev.kind = kHead;
    ev.status = status;
    ev.headers = std::move(headers);
    return ev;
  }
  static TransferEvent piece(std::string data) {
    TransferEvent ev;
    ev.data = std::move(data);
    return ev;
  }
  static TransferEvent end(std::optional<Error> error) {
    TransferEvent ev;
    ev.kind = kEnd;
    ev.error = std::move(error);
    return ev;
  }
};

using EventChannel = asio::experimental::concurrent_channel<void(boost::system::error_code, TransferEvent)>;

// The engine's side of one request. The channel it hands events to belongs to the reader (it must be destroyed
// on the reader's side, while the reader's io_context still exists), so the engine reaches it only through
// `channel` under `mu`, and finds it null once the reader is gone.
struct Transfer {
  explicit Transfer(std::atomic<std::size_t>& buffered_counter) : buffered(buffered_counter) {}
  ~Transfer() {
    if (easy) curl_lib().easy_cleanup(easy);
    if (header_list) curl_lib().slist_free_all(header_list);
  }

  // Hands one event to the reader. False when it does not fit (or nobody reads any more).
  bool deliver(TransferEvent& ev) {
    std::lock_guard lock(mu);
    return deliver_locked(ev);
  }
  bool deliver_locked(TransferEvent& ev) {
    if (!channel) return false;
    const std::size_t bytes = ev.kind == TransferEvent::kPiece ? ev.data.size() : 0;
    // Counted before the send: the reader may take the piece (and uncount it) before try_send returns.
    unread += bytes;
    buffered.fetch_add(bytes);
    if (channel->try_send(boost::system::error_code{}, std::move(ev))) return true;
    unread -= bytes;
    buffered.fetch_sub(bytes);
    return false;
  }

  CURL* easy = nullptr;
  curl_slist* header_list = nullptr;
  std::string body;  // curl reads the request body from here
  char errbuf[CURL_ERROR_SIZE] = {};
  std::atomic<std::size_t>& buffered;

  // Engine thread only.
  int status = 0;
  HttpHeaders headers;
  std::size_t header_bytes = 0;
  bool head_sent = false;
  std::string abort_reason;  // our own reason for failing the transfer from a callback

  // Shared between the engine thread and the reader.
  std::mutex mu;
  EventChannel* channel = nullptr;
  std::size_t unread = 0;                    // piece bytes sitting in the channel
  bool paused = false;                       // a piece did not fit; the reader resumes after taking one
  std::optional<TransferEvent> pending_end;  // the end did not fit; the reader hands it over
};

struct HttpEngine {
  enum class Command { kAdd, kRemove, kResume };

  HttpEngine() {
    if (load_curl(&load_error)) multi = curl_lib().multi_init();
    if (multi) thread = std::thread([this] { run(); });
  }

  ~HttpEngine() {
    if (!multi) return;
    stopping.store(true);
    curl_lib().multi_wakeup(multi);
    thread.join();
    for (auto& [easy, t] : active) curl_lib().multi_remove_handle(multi, easy);
    active.clear();
    commands.clear();
    curl_lib().multi_cleanup(multi);
  }

  void post(Command c, std::shared_ptr<Transfer> t) {
    {
      std::lock_guard lock(commands_mu);
      commands.emplace_back(c, std::move(t));
    }
    curl_lib().multi_wakeup(multi);
  }

  void run() {
    std::vector<std::pair<Command, std::shared_ptr<Transfer>>> batch;
    while (!stopping.load()) {
      {
        std::lock_guard lock(commands_mu);
        batch.swap(commands);
      }
      for (auto& [c, t] : batch) apply(c, t);
      batch.clear();
      int running = 0;
      curl_lib().multi_perform(multi, &running);
      int left = 0;
      while (CURLMsg* msg = curl_lib().multi_info_read(multi, &left)) {
        if (msg->msg != CURLMSG_DONE) continue;
        auto it = active.find(msg->easy_handle);
        if (it == active.end()) continue;
        finish(*it->second, msg->data.result);
        drop(it);
      }
      curl_lib().multi_poll(multi, nullptr, 0, 1000, nullptr);
    }
  }

  void apply(Command c, const std::shared_ptr<Transfer>& t) {
    auto it = active.find(t->easy);
    switch (c) {
      case Command::kAdd:
        if (curl_lib().multi_add_handle(multi, t->easy) != CURLM_OK) {
          end_with(*t, Error("could not start the request"));
          live.fetch_sub(1);
          return;
        }
        active.emplace(t->easy, t);
        return;
      case Command::kRemove:
        if (it != active.end()) drop(it);
        return;
      case Command::kResume:
        if (it != active.end()) curl_lib().easy_pause(t->easy, CURLPAUSE_CONT);
        return;
    }
  }

  void drop(std::unordered_map<CURL*, std::shared_ptr<Transfer>>::iterator it) {
    curl_lib().multi_remove_handle(multi, it->first);
    active.erase(it);
    live.fetch_sub(1);
  }

  void finish(Transfer& t, CURLcode code) {
    if (code == CURLE_OK) {
      if (!t.head_sent) send_head(t);
      end_with(t, std::nullopt);
      return;
    }
    std::string text;
    if (!t.abort_reason.empty()) {
      text = t.abort_reason;
    } else {
      text = curl_lib().easy_strerror(code);
      std::string_view detail = trim_ows(t.errbuf);
      if (!detail.empty() && detail != text) text += ": " + std::string(detail);
    }
    end_with(t, Error(std::move(text)));
  }

  static void end_with(Transfer& t, std::optional<Error> error) {
    auto ev = TransferEvent::end(std::move(error));
    std::lock_guard lock(t.mu);
    if (t.channel && !t.deliver_locked(ev)) t.pending_end = std::move(ev);
  }

  static void send_head(Transfer& t) {
    if (t.status == 0) {
      long code = 0;
      curl_lib().easy_getinfo(t.easy, CURLINFO_RESPONSE_CODE, &code);
      t.status = static_cast<int>(code);
    }
    t.head_sent = true;
    auto ev = TransferEvent::head(t.status, std::move(t.headers));
    t.deliver(ev);  // the channel is empty before the head, so this always fits
  }

  static size_t on_header(char* data, size_t size, size_t n, void* user) {
    auto& t = *static_cast<Transfer*>(user);
    const size_t len = size * n;
    if (t.head_sent) return len;  // trailers
    t.header_bytes += len;
    if (t.header_bytes > kHeaderLimit) {
      t.abort_reason = "response headers exceed " + std::to_string(kHeaderLimit) + " bytes";
      return 0;
    }
    std::string_view line(data, len);
    if (line.starts_with("HTTP/")) {  // a new response: an interim one or a redirect came before
      t.headers.clear();
      auto sp = line.find(' ');
      t.status = sp == std::string_view::npos ? 0 : std::atoi(std::string(line.substr(sp + 1, 3)).c_str());
      return len;
    }
    if (trim_ows(line).empty()) {
      // End of one header block. Interim responses and redirects curl is about to follow are not final; a
      // redirect curl does not follow is announced with its first body byte or at the end instead.
      bool followed = t.status >= 300 && t.status < 400 && find_header(t.headers, "location");
      if (t.status >= 200 && !followed) send_head(t);
      return len;
    }
    auto colon = line.find(':');
    if (colon != std::string_view::npos)
      t.headers.emplace_back(std::string(trim_ows(line.substr(0, colon))),
                             std::string(trim_ows(line.substr(colon + 1))));
    return len;
  }

  static size_t on_write(char* data, size_t size, size_t n, void* user) {
    auto& t = *static_cast<Transfer*>(user);
    const size_t len = size * n;
    if (!t.head_sent) send_head(t);
    auto ev = TransferEvent::piece(std::string(data, len));
    std::lock_guard lock(t.mu);
    if (!t.channel) return 0;  // the reader is gone; fail the transfer rather than read on
    if (t.deliver_locked(ev)) return len;
    t.paused = true;  // curl keeps this piece and hands it over again after the reader resumes the transfer
    return CURL_WRITEFUNC_PAUSE;
  }

  CURLM* multi = nullptr;
  std::string load_error;  // why there is no multi handle
  std::thread thread;
  std::atomic<bool> stopping{false};
  std::atomic<std::size_t> buffered{0};
  std::atomic<std::size_t> live{0};
  std::mutex commands_mu;
  std::vector<std::pair<Command, std::shared_ptr<Transfer>>> commands;
  std::unordered_map<CURL*, std::shared_ptr<Transfer>> active;  // engine thread only
};

// The reader's side of one request: the channel and the reader's half of the flow control.
struct Reader {
  Reader(std::shared_ptr<HttpEngine> e, std::shared_ptr<Transfer> tr, asio::any_io_executor ex)
      : engine(std::move(e)), t(std::move(tr)), channel(std::move(ex), kChannelPieces) {
    std::lock_guard lock(t->mu);
    t->channel = &channel;
  }

  ~Reader() {
    if (!finished) engine->post(HttpEngine::Command::kRemove, t);
    std::lock_guard lock(t->mu);
    t->channel = nullptr;
    engine->buffered.fetch_sub(t->unread);
    t->unread = 0;
  }

  void stop() {
    if (finished) return;
    finished = true;
    engine->post(HttpEngine::Command::kRemove, t);
  }

  // The next event, or nullopt when the waiting coroutine was cancelled.
  awaitable<std::optional<TransferEvent>> receive() {
    auto [ec, ev] = co_await channel.async_receive(asio::as_tuple(use_awaitable));
    if (ec) co_return std::nullopt;
    bool resume = false;
    {
      std::lock_guard lock(t->mu);
      if (ev.kind == TransferEvent::kPiece) {
        t->unread -= ev.data.size();
        engine->buffered.fetch_sub(ev.data.size());
      }
      if (t->paused) {
        t->paused = false;
        resume = true;
      }
      // Room was just made and the engine sends nothing after the end, so this fits.
      if (t->pending_end && t->deliver_locked(*t->pending_end)) t->pending_end.reset();
    }
    if (resume) engine->post(HttpEngine::Command::kResume, t);
    co_return std::move(ev);
  }

  std::shared_ptr<HttpEngine> engine;
  std::shared_ptr<Transfer> t;
  EventChannel channel;
  bool finished = false;  // the engine has let go of the transfer, or has been told to
};

}  // namespace detail

using detail::HttpEngine;
using detail::Reader;
using detail::Transfer;
using detail::TransferEvent;

namespace {
const char* const kCancelled = "request cancelled";
}  // namespace

HttpResponseStream::HttpResponseStream(std::unique_ptr<Reader> reader) : reader_(std::move(reader)) {}
HttpResponseStream::HttpResponseStream(HttpResponseStream&&) noexcept = default;
HttpResponseStream& HttpResponseStream::operator=(HttpResponseStream&&) noexcept = default;
HttpResponseStream::~HttpResponseStream() = default;

std::optional<std::string> HttpResponseStream::header(std::string_view name) const {
  return find_header(headers_, name);
}

awaitable<Result<std::optional<std::string>>> HttpResponseStream::next_piece() {
  if (!reader_ || reader_->finished) co_return std::optional<std::string>{};
  auto ev = co_await reader_->receive();
  if (!ev) {
    reader_->stop();
    co_return Error(kCancelled);
  }
  if (ev->kind == TransferEvent::kPiece) co_return std::optional<std::string>(std::move(ev->data));
  reader_->finished = true;
  if (ev->error) co_return std::move(*ev->error);
  co_return std::optional<std::string>{};
}

awaitable<Result<std::string>> HttpResponseStream::read_all(std::size_t limit) {
  std::string body;
  for (;;) {
    auto piece = co_await next_piece();
    if (!piece) co_return piece.error();
    if (!*piece) co_return body;
    if ((*piece)->size() > limit - body.size()) {
      reader_->stop();
      co_return Error("response body exceeds " + std::to_string(limit) + " bytes");
    }
    body += **piece;
  }
}

HttpClient::HttpClient(std::chrono::milliseconds total_limit)
    : total_limit_(total_limit), engine_(std::make_shared<HttpEngine>()) {}

HttpClient::~HttpClient() = default;

std::shared_ptr<HttpClient> HttpClient::create(std::chrono::milliseconds total_limit) {
  return std::shared_ptr<HttpClient>(new HttpClient(total_limit));
}

std::size_t HttpClient::buffered_bytes() const { return engine_->buffered.load(); }
std::size_t HttpClient::active_transfers() const { return engine_->live.load(); }

awaitable<Result<HttpResponseStream>> HttpClient::send(HttpRequest request) {
  if (!engine_->multi) {
    const std::string why = engine_->load_error.empty() ? "" : ": " + engine_->load_error;
    co_return Error("the HTTP client could not be initialised" + why);
  }
  if (!is_token(request.method)) co_return Error("invalid HTTP method `" + request.method + "`");
  if (has_line_break(request.url)) co_return Error("invalid URL: line break in `" + request.url + "`");
  for (const auto& [name, value] : request.headers) {
    // A line break would let a value smuggle in headers of its own.
    if (!is_token(name) || has_line_break(value)) co_return Error("invalid HTTP header `" + name + "`");
  }

  auto t = std::make_shared<Transfer>(engine_->buffered);
  t->easy = curl_lib().easy_init();
  if (!t->easy) co_return Error("could not start the request");
  CURL* e = t->easy;
  t->body = std::move(request.body);

  curl_lib().easy_setopt(e, CURLOPT_URL, request.url.c_str());
  curl_lib().easy_setopt(e, CURLOPT_ERRORBUFFER, t->errbuf);
  curl_lib().easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  curl_lib().easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_lib().easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_lib().easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
  curl_lib().easy_setopt(e, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_lib().easy_setopt(e, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  curl_lib().easy_setopt(e, CURLOPT_TCP_KEEPALIVE, 1L);
  curl_lib().easy_setopt(e, CURLOPT_TIMEOUT_MS, static_cast<long>(total_limit_.count()));
  curl_lib().easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(std::min(total_limit_, kConnectLimit).count()));
  curl_lib().easy_setopt(e, CURLOPT_HEADERFUNCTION, &HttpEngine::on_header);
  curl_lib().easy_setopt(e, CURLOPT_HEADERDATA, t.get());
  curl_lib().easy_setopt(e, CURLOPT_WRITEFUNCTION, &HttpEngine::on_write);
  curl_lib().easy_setopt(e, CURLOPT_WRITEDATA, t.get());

  if (request.method == "HEAD") {
    curl_lib().easy_setopt(e, CURLOPT_NOBODY, 1L);
  } else if (request.method != "GET" || !t->body.empty()) {
    curl_lib().easy_setopt(e, CURLOPT_POSTFIELDS, t->body.data());
    curl_lib().easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(t->body.size()));
    if (request.method != "POST") curl_lib().easy_setopt(e, CURLOPT_CUSTOMREQUEST, request.method.c_str());
  }

  for (const auto& [name, value] : request.headers) {
    // "Name;" is curl's spelling of a header sent with an empty value ("Name:" would remove it).
    std::string line = value.empty() ? name + ";" : name + ": " + value;
    t->header_list = curl_lib().slist_append(t->header_list, line.c_str());
  }
  // Waiting for "100 Continue" costs a second against servers that never send it.
  t->header_list = curl_lib().slist_append(t->header_list, "Expect:");
  curl_lib().easy_setopt(e, CURLOPT_HTTPHEADER, t->header_list);

  // The reader exists before the engine sees the transfer, so no event can find the channel missing.
  auto reader = std::make_unique<Reader>(engine_, t, co_await asio::this_coro::executor);
  engine_->live.fetch_add(1);
  engine_->post(HttpEngine::Command::kAdd, t);

  auto ev = co_await reader->receive();  // leaving early drops the reader, which ends the transfer
  if (!ev) co_return Error(kCancelled);
  if (ev->kind == TransferEvent::kEnd) {
    reader->finished = true;
    co_return ev->error ? std::move(*ev->error) : Error("the connection closed before a response arrived");
  }
  HttpResponseStream stream(std::move(reader));
  stream.status_ = ev->status;
  stream.status_text_ = status_text_for(ev->status);
  stream.headers_ = std::move(ev->headers);
  co_return std::move(stream);
}

awaitable<Result<HttpResponse>> HttpClient::fetch(HttpRequest request, std::size_t body_limit) {
  auto stream = co_await send(std::move(request));
  if (!stream) co_return stream.error();
  auto body = co_await stream->read_all(body_limit);
  if (!body) co_return body.error();
  co_return HttpResponse{stream->status(), stream->status_text(), stream->headers(), std::move(*body)};
}

}  // namespace pelmox
