#include "fakes/fake_provider.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/status.hpp>
#include <boost/beast/http/string_body.hpp>

namespace pelmox::fake {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using ojson = nlohmann::ordered_json;
using nlohmann::json;

namespace {

constexpr std::uint64_t kBodyLimit = 64ull * 1024 * 1024;
constexpr std::uint32_t kHeaderLimit = 64 * 1024;
constexpr auto kIdleLimit = std::chrono::seconds(120);   // a keep-alive connection nobody uses
constexpr auto kWriteLimit = std::chrono::seconds(30);   // a client that stopped reading
constexpr std::size_t kFragments = 4;                    // pieces a streamed text is cut into

constexpr auto use_tuple = asio::as_tuple(asio::use_awaitable);

std::string dump(const ojson& j) { return j.dump(-1, ' ', false, ojson::error_handler_t::replace); }
std::string dump(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

bool ends_with(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// Cuts text into up to kFragments pieces at code point boundaries, so every piece stays valid UTF-8 on its own.
std::vector<std::string> fragments(const std::string& s) {
  std::vector<std::string> out;
  if (s.empty()) return out;
  auto is_continuation = [&](std::size_t i) { return (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80; };
  std::size_t code_points = 0;
  for (std::size_t i = 0; i < s.size(); ++i) code_points += is_continuation(i) ? 0 : 1;
  std::size_t parts = std::max<std::size_t>(1, std::min(kFragments, code_points));
  std::size_t start = 0;
  for (std::size_t k = 1; k <= parts; ++k) {
    std::size_t end = k == parts ? s.size() : s.size() * k / parts;
    while (end < s.size() && is_continuation(end)) ++end;
    if (end > start) {
      out.push_back(s.substr(start, end - start));
      start = end;
    }
  }
  return out;
}

std::string rfc3339_now() {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

std::string reason_phrase(int status) {
  auto r = http::obsolete_reason(static_cast<http::status>(status));
  if (r.empty() || r.front() == '<') return "Unknown";
  return std::string(r);
}

std::string to_hex(std::size_t n) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%zx", n);
  return buf;
}

std::string chunk(std::string_view data) {
  std::string out = to_hex(data.size());
  out += "\r\n";
  out += data;
  out += "\r\n";
  return out;
}

std::string finish_reason_of(const ScriptedReply& r) {
  if (!r.finish_reason.empty()) return r.finish_reason;
  return r.tool_calls.empty() ? "stop" : "tool_calls";
}

// Ollama sends arguments as a JSON value; text that is not JSON is passed on as a string so clients meet it too.
std::optional<ojson> native_arguments(const std::string& text) {
  if (text.empty()) return std::nullopt;
  ojson v = ojson::parse(text, nullptr, false);
  if (v.is_discarded()) return ojson(text);
  return v;
}

ojson native_tool_calls(const ScriptedReply& r) {
  ojson calls = ojson::array();
  for (const auto& tc : r.tool_calls) {
    ojson fn = {{"name", tc.name}};
    if (auto args = native_arguments(tc.arguments)) fn["arguments"] = *args;
    calls.push_back({{"function", std::move(fn)}});
  }
  return calls;
}

void add_native_counts(ojson& obj, const ScriptedReply& r) {
  if (!r.usage || !r.usage->is_object()) return;
  auto pick = [&](const char* a, const char* b) -> std::optional<json> {
    if (r.usage->contains(a)) return (*r.usage)[a];
    if (r.usage->contains(b)) return (*r.usage)[b];
    return std::nullopt;
  };
  if (auto v = pick("prompt_tokens", "prompt_eval_count")) obj["prompt_eval_count"] = *v;
  if (auto v = pick("completion_tokens", "eval_count")) obj["eval_count"] = *v;
}

// What one chat request is answered with, before it goes on the wire.
struct Context {
  std::string model;
  std::string completion_id;
  std::int64_t created = 0;
  std::vector<std::string> call_ids;  // one per scripted tool call
};

ojson openai_whole(const ScriptedReply& r, const Context& c) {
  ojson msg = {{"role", "assistant"}};
  if (r.text.empty() && !r.tool_calls.empty()) {
    msg["content"] = nullptr;
  } else {
    msg["content"] = r.text;
  }
  if (!r.tool_calls.empty()) {
    ojson calls = ojson::array();
    for (std::size_t i = 0; i < r.tool_calls.size(); ++i) {
      calls.push_back({{"id", c.call_ids[i]},
                       {"type", "function"},
                       {"function", {{"name", r.tool_calls[i].name}, {"arguments", r.tool_calls[i].arguments}}}});
    }
    msg["tool_calls"] = std::move(calls);
  }
  if (!r.reasoning.empty()) msg[r.reasoning_key] = r.reasoning;
  ojson out = {{"id", c.completion_id},
               {"object", "chat.completion"},
               {"created", c.created},
               {"model", c.model},
               {"choices", ojson::array({{{"index", 0}, {"message", std::move(msg)},
                                          {"finish_reason", finish_reason_of(r)}}})}};
  if (r.usage) out["usage"] = *r.usage;
  return out;
}

// A stream is the body events, then the closing ones; a cut stream sends only part of the body.
struct Stream {
  std::vector<std::string> body;
  std::vector<std::string> tail;
};

Stream openai_stream(const ScriptedReply& r, const Context& c) {
  Stream s;
  auto event = [&](ojson delta, ojson finish, const std::optional<json>& usage) {
    ojson e = {{"id", c.completion_id},
               {"object", "chat.completion.chunk"},
               {"created", c.created},
               {"model", c.model},
               {"choices", ojson::array({{{"index", 0}, {"delta", std::move(delta)},
                                          {"finish_reason", std::move(finish)}}})}};
    if (usage) e["usage"] = *usage;
    return "data: " + dump(e) + "\n\n";
  };
  ojson role = {{"role", "assistant"}};
  role["content"] = r.text.empty() && !r.tool_calls.empty() ? ojson(nullptr) : ojson("");
  s.body.push_back(event(std::move(role), nullptr, std::nullopt));
  for (const auto& f : fragments(r.reasoning)) s.body.push_back(event({{r.reasoning_key, f}}, nullptr, std::nullopt));
  for (const auto& f : fragments(r.text)) s.body.push_back(event({{"content", f}}, nullptr, std::nullopt));
  for (std::size_t i = 0; i < r.tool_calls.size(); ++i) {
    const auto& tc = r.tool_calls[i];
    ojson first = {{"index", i},
                   {"id", c.call_ids[i]},
                   {"type", "function"},
                   {"function", {{"name", tc.name}, {"arguments", ""}}}};
    s.body.push_back(event({{"tool_calls", ojson::array({std::move(first)})}}, nullptr, std::nullopt));
    for (const auto& f : fragments(tc.arguments)) {
      ojson piece = {{"index", i}, {"id", nullptr}, {"type", nullptr},
                     {"function", {{"name", nullptr}, {"arguments", f}}}};
      s.body.push_back(event({{"tool_calls", ojson::array({std::move(piece)})}}, nullptr, std::nullopt));
    }
  }
  s.tail.push_back(event(ojson::object(), finish_reason_of(r), r.usage));
  s.tail.push_back("data: [DONE]\n\n");
  return s;
}

ojson ollama_message(std::string content) { return {{"role", "assistant"}, {"content", std::move(content)}}; }

ojson ollama_whole(const ScriptedReply& r, const Context& c) {
  ojson msg = ollama_message(r.text);
  if (!r.reasoning.empty()) msg["thinking"] = r.reasoning;
  if (!r.tool_calls.empty()) msg["tool_calls"] = native_tool_calls(r);
  ojson out = {{"model", c.model}, {"created_at", rfc3339_now()}, {"message", std::move(msg)},
               {"done_reason", r.finish_reason.empty() ? "stop" : r.finish_reason}, {"done", true}};
  add_native_counts(out, r);
  return out;
}

Stream ollama_stream(const ScriptedReply& r, const Context& c) {
  Stream s;
  const std::string at = rfc3339_now();
  auto line = [&](ojson msg) {
    ojson o = {{"model", c.model}, {"created_at", at}, {"message", std::move(msg)}, {"done", false}};
    return dump(o) + "\n";
  };
  for (const auto& f : fragments(r.reasoning)) {
    ojson msg = ollama_message("");
    msg["thinking"] = f;
    s.body.push_back(line(std::move(msg)));
  }
  for (const auto& f : fragments(r.text)) s.body.push_back(line(ollama_message(f)));
  if (!r.tool_calls.empty()) {
    ojson msg = ollama_message("");
    msg["tool_calls"] = native_tool_calls(r);
    s.body.push_back(line(std::move(msg)));
  }
  ojson last = {{"model", c.model}, {"created_at", at}, {"message", ollama_message("")},
                {"done_reason", r.finish_reason.empty() ? "stop" : r.finish_reason}, {"done", true}};
  add_native_counts(last, r);
  s.tail.push_back(dump(last) + "\n");
  return s;
}

// Raw stream bodies keep their line structure on the wire when paced, so pacing is visible to the client.
std::vector<std::string> split_lines(const std::string& s) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start < s.size()) {
    std::size_t nl = s.find('\n', start);
    std::size_t end = nl == std::string::npos ? s.size() : nl + 1;
    out.push_back(s.substr(start, end - start));
    start = end;
  }
  return out;
}

ojson recorded_to_json(const RecordedRequest& r) {
  ojson headers = ojson::object();
  for (const auto& [k, v] : r.headers) headers[k] = v;
  return {{"method", r.method}, {"target", r.target}, {"headers", std::move(headers)}, {"body", r.body}};
}

}  // namespace

struct FakeProvider::Impl {
  mutable std::mutex mu;
  std::vector<ScriptedReply> queue;
  std::size_t pos = 0;
  int served = 0;  // times queue[pos] has been served
  bool loop = false;
  ScriptedReply fallback;
  std::vector<RecordedRequest> recorded;
  unsigned long next_call = 1;
  unsigned long next_completion = 1;

  // Only touched by the owning thread (start/stop are not meant to race each other).
  std::unique_ptr<asio::io_context> ioc;
  std::thread thread;
  unsigned short port = 0;
  std::string host = "127.0.0.1";
  std::string error;

  Impl() { fallback.text = "ok"; }

  ScriptedReply next_reply() {
    std::lock_guard lock(mu);
    if (pos >= queue.size()) return fallback;
    ScriptedReply r = queue[pos];
    if (++served >= std::max(1, r.repeat)) {
      ++pos;
      served = 0;
      if (loop && pos >= queue.size()) pos = 0;
    }
    return r;
  }

  Context context_for(const ScriptedReply& r, const json& request) {
    Context c;
    auto m = request.find("model");
    c.model = m != request.end() && m->is_string() ? m->get<std::string>() : "fake-model";
    c.created = static_cast<std::int64_t>(std::time(nullptr));
    std::lock_guard lock(mu);
    c.completion_id = "chatcmpl-" + std::to_string(next_completion++);
    for (const auto& tc : r.tool_calls) c.call_ids.push_back(tc.id.empty() ? "call_" + std::to_string(next_call++) : tc.id);
    return c;
  }

  void record(RecordedRequest r) {
    std::lock_guard lock(mu);
    recorded.push_back(std::move(r));
  }

  std::string requests_json() const {
    ojson arr = ojson::array();
    std::lock_guard lock(mu);
    for (const auto& r : recorded) arr.push_back(recorded_to_json(r));
    return dump(arr);
  }
};

namespace {

using Impl = FakeProvider::Impl;
using Request = http::request<http::string_body>;

asio::awaitable<bool> write_text(beast::tcp_stream& stream, const std::string& text) {
  stream.expires_after(kWriteLimit);
  auto [ec, n] = co_await asio::async_write(stream, asio::buffer(text), use_tuple);
  co_return !ec;
}

asio::awaitable<void> pause(int ms) {
  if (ms <= 0) co_return;
  asio::steady_timer timer(co_await asio::this_coro::executor, std::chrono::milliseconds(ms));
  co_await timer.async_wait(use_tuple);
}

std::string head(int status, const std::string& content_type, std::optional<std::size_t> length, bool chunked,
                 bool keep_alive) {
  if (status < 100 || status > 999) status = 500;
  std::string h = "HTTP/1.1 " + std::to_string(status) + " " + reason_phrase(status) + "\r\n";
  h += "Server: pelmox-fake\r\n";
  h += "Content-Type: " + content_type + "\r\n";
  if (length) h += "Content-Length: " + std::to_string(*length) + "\r\n";
  if (chunked) h += "Transfer-Encoding: chunked\r\n";
  if (content_type == "text/event-stream") h += "Cache-Control: no-cache\r\n";
  h += keep_alive ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
  h += "\r\n";
  return h;
}

// How one request is answered, decided before anything is written. The coroutines below only put it on the wire
// (the compiler mishandles temporaries inside co_await expressions, so they take this by reference).
struct Outgoing {
  int delay_ms = 0;
  bool streamed = false;
  int status = 200;
  std::string content_type = "application/json";
  std::string body;  // whole replies
  Stream events;     // streamed replies
  int chunk_delay_ms = 0;
  bool cut = false;
  bool keep_alive = true;
  bool http10 = false;
};

// Both return whether the connection may carry another request.
asio::awaitable<bool> send_whole(beast::tcp_stream& stream, const Outgoing& out) {
  const bool keep = out.keep_alive && !out.cut;
  std::string wire = head(out.status, out.content_type, out.body.size(), false, keep);
  wire += out.cut ? out.body.substr(0, out.body.size() / 2) : out.body;
  bool ok = co_await write_text(stream, wire);
  co_return ok && keep;
}

asio::awaitable<bool> send_stream(beast::tcp_stream& stream, Outgoing& out) {
  // An HTTP/1.0 client gets the body unframed and the end of the connection as its end.
  const bool chunked = !out.http10;
  const bool keep = out.keep_alive && chunked && !out.cut;
  std::vector<std::string> events = std::move(out.events.body);
  if (out.cut) {
    events.resize((events.size() + 1) / 2);
  } else {
    for (auto& t : out.events.tail) events.push_back(std::move(t));
  }
  auto frame = [&](const std::string& data) { return chunked ? chunk(data) : data; };
  std::string wire = head(200, out.content_type, std::nullopt, chunked, keep);
  const std::string last_chunk = "0\r\n\r\n";
  if (out.chunk_delay_ms <= 0) {
    // Unpaced: everything in one write, so serving costs the client as little time as possible.
    std::string all;
    for (const auto& e : events) all += e;
    if (!all.empty()) wire += frame(all);
    if (!out.cut && chunked) wire += last_chunk;
    bool ok = co_await write_text(stream, wire);
    co_return ok && keep;
  }
  if (!co_await write_text(stream, wire)) co_return false;
  for (std::size_t i = 0; i < events.size(); ++i) {
    if (events[i].empty()) continue;  // an empty chunk would read as the end of the body
    if (i > 0) co_await pause(out.chunk_delay_ms);
    std::string framed = frame(events[i]);
    if (!co_await write_text(stream, framed)) co_return false;
  }
  if (!out.cut && chunked) {
    if (!co_await write_text(stream, last_chunk)) co_return false;
  }
  co_return keep;
}

std::string error_json(bool ollama, int status, const std::string& message) {
  if (ollama) return dump(ojson{{"error", message}});
  ojson err = {{"message", message}, {"type", status >= 500 ? "server_error" : "invalid_request_error"},
               {"code", status}};
  return dump(ojson{{"error", std::move(err)}});
}

Outgoing plain(int status, std::string body, bool keep_alive) {
  Outgoing out;
  out.status = status;
  out.body = std::move(body);
  out.keep_alive = keep_alive;
  return out;
}

RecordedRequest to_record(const Request& req) {
  RecordedRequest rec;
  rec.method = std::string(req.method_string());
  rec.target = std::string(req.target());
  for (const auto& field : req.base()) {
    auto name = lower(field.name_string());
    auto [it, fresh] = rec.headers.emplace(name, std::string(field.value()));
    if (!fresh) it->second += ", " + std::string(field.value());
  }
  rec.body = req.body();
  return rec;
}

Outgoing plan(Impl& impl, const Request& req) {
  const bool keep_alive = req.keep_alive();
  std::string target(req.target());
  std::string path = target.substr(0, target.find('?'));

  if (req.method() == http::verb::get && path == "/_requests") return plain(200, impl.requests_json(), keep_alive);
  impl.record(to_record(req));

  const bool post = req.method() == http::verb::post;
  const bool openai = post && ends_with(path, "/chat/completions");
  const bool ollama = post && path == "/api/chat";
  if (!openai && !ollama) return plain(404, error_json(true, 404, "not found: " + path), keep_alive);

  json request = json::parse(req.body(), nullptr, false);
  if (request.is_discarded() || !request.is_object()) {
    return plain(400, error_json(ollama, 400, "request body is not a JSON object"), keep_alive);
  }
  auto flag = request.find("stream");
  const bool has_flag = flag != request.end() && flag->is_boolean();
  const bool streaming = openai ? (has_flag && flag->get<bool>()) : !(has_flag && !flag->get<bool>());

  ScriptedReply r = impl.next_reply();
  Context ctx = impl.context_for(r, request);
  Outgoing out;
  out.delay_ms = r.delay_ms;
  out.status = r.status;
  out.chunk_delay_ms = r.chunk_delay_ms;
  out.cut = r.cut;
  out.keep_alive = keep_alive;
  out.http10 = req.version() < 11;
  const std::string stream_type = openai ? "text/event-stream" : "application/x-ndjson";

  if (r.raw_body) {
    if (streaming) out.content_type = stream_type;
    if (r.status == 200 && streaming) {
      out.streamed = true;
      if (r.chunk_delay_ms > 0) {
        out.events.body = split_lines(*r.raw_body);
      } else if (!r.raw_body->empty()) {
        out.events.body.push_back(*r.raw_body);
      }
      if (r.cut && out.events.body.size() == 1) {
        // One piece cannot be cut by count; send its first half.
        out.events.body[0].resize(out.events.body[0].size() / 2);
        out.events.body.push_back("");
      }
    } else {
      out.body = *r.raw_body;
    }
    return out;
  }
  if (r.status != 200) {
    out.body = r.body.empty() ? error_json(ollama, r.status, "scripted error " + std::to_string(r.status)) : r.body;
    return out;
  }
  if (streaming) {
    out.streamed = true;
    out.content_type = stream_type;
    out.events = openai ? openai_stream(r, ctx) : ollama_stream(r, ctx);
    return out;
  }
  out.body = dump(openai ? openai_whole(r, ctx) : ollama_whole(r, ctx));
  return out;
}

asio::awaitable<bool> handle(Impl& impl, beast::tcp_stream& stream, const Request& req) {
  Outgoing out = plan(impl, req);
  co_await pause(out.delay_ms);
  if (out.streamed) co_return co_await send_stream(stream, out);
  co_return co_await send_whole(stream, out);
}

asio::awaitable<void> serve_connection(Impl& impl, tcp::socket socket) {
  beast::tcp_stream stream(std::move(socket));
  beast::flat_buffer buffer;
  try {
    for (;;) {
      http::request_parser<http::string_body> parser;
      parser.header_limit(kHeaderLimit);
      parser.body_limit(kBodyLimit);
      stream.expires_after(kIdleLimit);
      auto [ec, n] = co_await http::async_read(stream, buffer, parser, use_tuple);
      if (ec == http::error::body_limit || ec == http::error::header_limit) {
        const bool body = ec == http::error::body_limit;
        Outgoing refusal = plain(body ? 413 : 431,
                                 error_json(false, body ? 413 : 431,
                                            body ? "request body too large" : "request header too large"),
                                 false);
        co_await send_whole(stream, refusal);
        break;
      }
      if (ec) break;
      bool again = co_await handle(impl, stream, parser.get());
      if (!again) break;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "fake_provider: connection failed: %s\n", e.what());
  }
  beast::error_code ignored;
  stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
  stream.socket().close(ignored);
}

asio::awaitable<void> accept_loop(Impl& impl, tcp::acceptor acceptor) {
  for (;;) {
    auto [ec, socket] = co_await acceptor.async_accept(use_tuple);
    if (ec == asio::error::operation_aborted) co_return;
    if (ec) {
      // Out of descriptors and the like: give connections a moment to finish instead of spinning.
      co_await pause(20);
      continue;
    }
    beast::error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    asio::co_spawn(acceptor.get_executor(), serve_connection(impl, std::move(socket)), asio::detached);
  }
}

}  // namespace

FakeProvider::FakeProvider() : impl_(std::make_shared<Impl>()) {}

FakeProvider::~FakeProvider() { stop(); }

unsigned short FakeProvider::start(unsigned short port, std::string host) {
  if (impl_->ioc) return impl_->port;
  impl_->error.clear();
  beast::error_code ec;
  auto address = asio::ip::make_address(host, ec);
  if (ec) {
    impl_->error = "bad host address '" + host + "': " + ec.message();
    return 0;
  }
  auto ioc = std::make_unique<asio::io_context>(1);
  tcp::acceptor acceptor(*ioc);
  tcp::endpoint endpoint(address, port);
  acceptor.open(endpoint.protocol(), ec);
  if (!ec) acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec) acceptor.bind(endpoint, ec);
  if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    impl_->error = "cannot listen on " + host + ":" + std::to_string(port) + ": " + ec.message();
    return 0;
  }
  impl_->port = acceptor.local_endpoint(ec).port();
  impl_->host = address.is_v6() ? "[" + host + "]" : host;
  asio::co_spawn(*ioc, accept_loop(*impl_, std::move(acceptor)), asio::detached);
  impl_->ioc = std::move(ioc);
  impl_->thread = std::thread([ctx = impl_->ioc.get()] {
    try {
      ctx->run();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "fake_provider: server loop ended: %s\n", e.what());
    }
  });
  return impl_->port;
}

void FakeProvider::stop() {
  if (!impl_->ioc) return;
  impl_->ioc->stop();
  if (impl_->thread.joinable()) impl_->thread.join();
  // Destroying the context destroys the suspended connection coroutines, closing their sockets.
  impl_->ioc.reset();
}

void FakeProvider::script(std::vector<ScriptedReply> replies) {
  std::lock_guard lock(impl_->mu);
  impl_->queue = std::move(replies);
  impl_->pos = 0;
  impl_->served = 0;
}

void FakeProvider::set_fallback(ScriptedReply reply) {
  std::lock_guard lock(impl_->mu);
  impl_->fallback = std::move(reply);
}

void FakeProvider::set_loop(bool loop) {
  std::lock_guard lock(impl_->mu);
  impl_->loop = loop;
}

std::vector<RecordedRequest> FakeProvider::requests() const {
  std::lock_guard lock(impl_->mu);
  return impl_->recorded;
}

void FakeProvider::clear_requests() {
  std::lock_guard lock(impl_->mu);
  impl_->recorded.clear();
}

unsigned short FakeProvider::port() const { return impl_->port; }

std::string FakeProvider::base_url() const { return ollama_url() + "/v1"; }

std::string FakeProvider::ollama_url() const { return "http://" + impl_->host + ":" + std::to_string(impl_->port); }

std::string FakeProvider::last_error() const { return impl_->error; }

// ---- script format ----

namespace {

bool fail(std::string& error, std::string message) {
  error = std::move(message);
  return false;
}

template <class T>
bool read_member(const json& obj, const char* key, T& out, std::string& error, const std::string& where) {
  auto it = obj.find(key);
  if (it == obj.end()) return true;
  if constexpr (std::is_same_v<T, std::string>) {
    if (!it->is_string()) return fail(error, where + ": \"" + key + "\" must be a string");
    out = it->get<std::string>();
  } else if constexpr (std::is_same_v<T, bool>) {
    if (!it->is_boolean()) return fail(error, where + ": \"" + key + "\" must be true or false");
    out = it->get<bool>();
  } else {
    if (!it->is_number_integer()) return fail(error, where + ": \"" + key + "\" must be an integer");
    auto v = it->get<std::int64_t>();
    if (v < 0 || v > 1'000'000'000) return fail(error, where + ": \"" + key + "\" is out of range");
    out = static_cast<int>(v);
  }
  return true;
}

bool parse_tool_call(const json& j, ScriptedToolCall& out, std::string& error, const std::string& where) {
  if (!j.is_object()) return fail(error, where + " must be an object");
  for (const auto& [k, v] : j.items()) {
    if (k != "name" && k != "arguments" && k != "id") return fail(error, where + ": unknown member \"" + k + "\"");
  }
  if (!j.contains("name")) return fail(error, where + ": \"name\" is missing");
  if (!read_member(j, "name", out.name, error, where) || !read_member(j, "id", out.id, error, where)) return false;
  if (auto a = j.find("arguments"); a != j.end()) {
    out.arguments = a->is_string() ? a->get<std::string>() : dump(*a);
  }
  return true;
}

bool parse_reply(const json& j, ScriptedReply& r, std::string& error, const std::string& where) {
  static const char* known[] = {"status",   "body",           "text",     "reasoning", "reasoning_key",
                                "tool_calls", "delay_ms",     "chunk_delay_ms", "cut", "raw_body",
                                "usage",    "repeat",         "finish_reason"};
  if (!j.is_object()) return fail(error, where + " must be an object");
  for (const auto& [k, v] : j.items()) {
    if (std::find(std::begin(known), std::end(known), k) == std::end(known)) {
      return fail(error, where + ": unknown member \"" + k + "\"");
    }
  }
  if (!read_member(j, "status", r.status, error, where) || !read_member(j, "body", r.body, error, where) ||
      !read_member(j, "text", r.text, error, where) || !read_member(j, "reasoning", r.reasoning, error, where) ||
      !read_member(j, "reasoning_key", r.reasoning_key, error, where) ||
      !read_member(j, "delay_ms", r.delay_ms, error, where) ||
      !read_member(j, "chunk_delay_ms", r.chunk_delay_ms, error, where) ||
      !read_member(j, "cut", r.cut, error, where) || !read_member(j, "repeat", r.repeat, error, where) ||
      !read_member(j, "finish_reason", r.finish_reason, error, where)) {
    return false;
  }
  if (r.status < 100 || r.status > 999) return fail(error, where + ": \"status\" must be an HTTP status (100-999)");
  if (auto it = j.find("raw_body"); it != j.end()) {
    if (!it->is_string()) return fail(error, where + ": \"raw_body\" must be a string");
    r.raw_body = it->get<std::string>();
  }
  if (auto it = j.find("usage"); it != j.end() && !it->is_null()) r.usage = *it;
  if (auto it = j.find("tool_calls"); it != j.end()) {
    if (!it->is_array()) return fail(error, where + ": \"tool_calls\" must be an array");
    for (std::size_t i = 0; i < it->size(); ++i) {
      ScriptedToolCall tc;
      if (!parse_tool_call((*it)[i], tc, error, where + ".tool_calls[" + std::to_string(i) + "]")) return false;
      r.tool_calls.push_back(std::move(tc));
    }
  }
  return true;
}

}  // namespace

std::optional<std::vector<ScriptedReply>> try_parse_script(const json& j, std::string& error) {
  const json* list = &j;
  if (j.is_object()) {
    auto it = j.find("replies");
    if (it == j.end() || j.size() != 1) {
      error = "script object must have exactly one member, \"replies\"";
      return std::nullopt;
    }
    list = &*it;
  }
  if (!list->is_array()) {
    error = "script must be an array of replies";
    return std::nullopt;
  }
  std::vector<ScriptedReply> out;
  for (std::size_t i = 0; i < list->size(); ++i) {
    ScriptedReply r;
    if (!parse_reply((*list)[i], r, error, "reply " + std::to_string(i))) return std::nullopt;
    out.push_back(std::move(r));
  }
  return out;
}

std::vector<ScriptedReply> parse_script(const json& j) {
  std::string error;
  auto replies = try_parse_script(j, error);
  if (!replies) throw std::invalid_argument(error);
  return std::move(*replies);
}

std::vector<ScriptedReply> tool_rounds_script(int rounds) {
  std::vector<ScriptedReply> out;
  for (int i = 0; i < rounds; ++i) {
    ScriptedReply r;
    r.tool_calls.push_back({"run_command", R"({"command":"echo round"})", ""});
    out.push_back(std::move(r));
  }
  ScriptedReply done;
  done.text = "done";
  out.push_back(std::move(done));
  return out;
}

}  // namespace pelmox::fake
