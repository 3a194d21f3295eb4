#include "llm/stream_pump.hpp"

#include <algorithm>
#include <atomic>
#include <limits>
#include <utility>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/error.hpp>

#include "utils/log.hpp"
#include "utils/text.hpp"

namespace pelmox {

// ---- receiver ----

StreamReceiver::StreamReceiver(std::shared_ptr<Channel> channel, std::function<void()> on_drop)
    : channel_(std::move(channel)), on_drop_(std::move(on_drop)) {}

StreamReceiver::StreamReceiver(StreamReceiver&& other) noexcept
    : channel_(std::move(other.channel_)), on_drop_(std::exchange(other.on_drop_, nullptr)), ended_(other.ended_) {}

StreamReceiver& StreamReceiver::operator=(StreamReceiver&& other) noexcept {
  if (this != &other) {
    drop();
    channel_ = std::move(other.channel_);
    on_drop_ = std::exchange(other.on_drop_, nullptr);
    ended_ = other.ended_;
  }
  return *this;
}

StreamReceiver::~StreamReceiver() { drop(); }

void StreamReceiver::drop() {
  if (auto f = std::exchange(on_drop_, nullptr)) f();
  channel_.reset();
}

awaitable<std::optional<StreamChunk>> StreamReceiver::next() {
  if (ended_ || !channel_) co_return std::nullopt;
  auto receiving = channel_->async_receive(asio::as_tuple(use_awaitable));
  auto [ec, chunk] = co_await std::move(receiving);
  if (ec) {
    ended_ = true;
    co_return std::nullopt;
  }
  co_return std::move(chunk);
}

StreamReceiver StreamReceiver::from_chunks(asio::any_io_executor ex, std::vector<StreamChunk> chunks) {
  // Room for every chunk and the end, so filling never waits.
  auto channel = std::make_shared<Channel>(std::move(ex), std::max(kCapacity, chunks.size() + 1));
  for (auto& c : chunks) channel->try_send(boost::system::error_code{}, std::move(c));
  channel->try_send(boost::system::error_code(asio::error::eof), StreamChunk{});
  return StreamReceiver(std::move(channel));
}

// ---- decoders ----

namespace {

const json* member(const json& obj, const char* key) {
  if (!obj.is_object()) return nullptr;
  auto it = obj.find(key);
  return it == obj.end() ? nullptr : &*it;
}

std::optional<std::string> text_member(const json& obj, const char* key) {
  const json* v = member(obj, key);
  if (!v || !v->is_string()) return std::nullopt;
  return v->get<std::string>();
}

std::uint64_t unsigned_member(const json& obj, const char* key) {
  const json* v = member(obj, key);
  return v && v->is_number_unsigned() ? v->get<std::uint64_t>() : 0;
}

std::uint32_t token_count(const json& usage, const char* key) {
  return static_cast<std::uint32_t>(
      std::min<std::uint64_t>(unsigned_member(usage, key), std::numeric_limits<std::uint32_t>::max()));
}

StreamChunk done_chunk() {
  StreamChunk c;
  c.done = true;
  return c;
}

// Parsed without exceptions: a line that is not JSON is simply not an event.
json parse_line(std::string_view text) { return json::parse(text.begin(), text.end(), nullptr, false); }

}  // namespace

StreamStep SseDecoder::decode(std::string_view raw) {
  StreamStep step;
  const std::string_view line = trim(raw);
  if (line.empty() || line.front() == ':') return step;
  constexpr std::string_view kData = "data: ";
  if (!line.starts_with(kData)) return step;
  const std::string_view data = trim(line.substr(kData.size()));
  if (data == "[DONE]") {
    step.chunks.push_back(done_chunk());
    step.end = true;
    return step;
  }

  const json event = parse_line(data);
  if (event.is_discarded()) return step;
  const json* choices = member(event, "choices");
  if (!choices || !choices->is_array() || choices->empty()) return step;
  const json& choice = choices->front();
  const json* delta = member(choice, "delta");
  if (!delta) return step;

  StreamChunk chunk;
  chunk.content = text_member(*delta, "content");
  for (const char* key : {"reasoning_content", "reasoning", "thinking"}) {
    if (!member(*delta, key)) continue;
    chunk.reasoning = text_member(*delta, key);  // the first spelling present decides, text or not
    break;
  }

  if (const json* calls = member(*delta, "tool_calls"); calls && calls->is_array()) {
    if (calls->empty()) return step;
    const json& first = calls->front();
    const std::uint64_t index = unsigned_member(first, "index");
    CallSoFar& so_far = calls_[index];
    if (auto id = text_member(first, "id")) so_far.id = std::move(id);
    ToolCallDelta tc;
    tc.index = index;
    if (const json* fn = member(first, "function")) {
      if (auto name = text_member(*fn, "name")) so_far.name = std::move(name);
      // The consumer concatenates the fragments itself, so only this line's fragment travels.
      tc.arguments = text_member(*fn, "arguments");
    }
    tc.id = so_far.id;
    tc.name = so_far.name;
    chunk.tool_call = std::move(tc);
  }

  if (auto finish = text_member(choice, "finish_reason")) chunk.done = !finish->empty() && *finish != "null";

  if (const json* usage = member(event, "usage"); usage && usage->is_object()) {
    chunk.usage = Usage{token_count(*usage, "prompt_tokens"), token_count(*usage, "completion_tokens"),
                        token_count(*usage, "total_tokens")};
  }
  step.chunks.push_back(std::move(chunk));
  return step;
}

StreamStep NdjsonDecoder::decode(std::string_view raw) {
  StreamStep step;
  std::string_view line = trim(raw);
  if (line.starts_with("data:")) line = trim(line.substr(5));
  if (line.empty()) return step;

  const json object = parse_line(line);
  if (object.is_discarded()) return step;
  if (const json* done = member(object, "done"); done && done->is_boolean() && done->get<bool>()) {
    step.chunks.push_back(done_chunk());
    step.end = true;
    return step;
  }

  static const json kNoMessage = json::object();
  const json* message = member(object, "message");
  if (!message) message = &kNoMessage;

  if (auto thinking = text_member(*message, "thinking"); thinking && !thinking->empty()) {
    StreamChunk c;
    c.reasoning = std::move(thinking);
    step.chunks.push_back(std::move(c));
  }
  if (auto content = text_member(*message, "content"); content && !content->empty()) {
    StreamChunk c;
    c.content = std::move(content);
    step.chunks.push_back(std::move(c));
  }
  if (const json* calls = member(*message, "tool_calls"); calls && calls->is_array()) {
    for (const json& call : *calls) {
      const json* fn = member(call, "function");
      if (!fn || !fn->is_object()) continue;
      auto name = text_member(*fn, "name");
      if (!name || name->empty()) continue;
      // Ollama sends arguments as a JSON value; the records carry them as text. A call without arguments (or
      // with null ones) takes no arguments, which the tools read as an empty object.
      const json* args = member(*fn, "arguments");
      ToolCallDelta tc;
      tc.index = next_call_;
      tc.id = "call_native_" + std::to_string(next_call_);
      tc.name = std::move(name);
      tc.arguments = args && !args->is_null() ? dump(*args) : std::string("{}");
      ++next_call_;
      StreamChunk c;
      c.tool_call = std::move(tc);
      step.chunks.push_back(std::move(c));
    }
  }
  return step;
}

// ---- pump ----

namespace {

struct PumpState {
  explicit PumpState(const asio::any_io_executor& ex)
      : strand(asio::make_strand(ex)),
        channel(std::make_shared<StreamReceiver::Channel>(ex, StreamReceiver::kCapacity)) {}

  asio::strand<asio::any_io_executor> strand;
  std::shared_ptr<StreamReceiver::Channel> channel;
  std::atomic<bool> dropped{false};  // set by the receiver's destruction, from any thread
  bool finished = false;             // touched only on `strand`
  asio::cancellation_signal cancel;  // touched only on `strand` once the pump runs
};

// False when nobody will read the chunk: the receiver is gone (or the send was cancelled on its behalf).
awaitable<bool> send(PumpState& st, StreamChunk& chunk) {
  if (st.dropped.load()) co_return false;
  boost::system::error_code none;
  auto sending = st.channel->async_send(none, std::move(chunk), asio::as_tuple(use_awaitable));
  auto [ec] = co_await std::move(sending);
  co_return !ec;
}

awaitable<void> pump_lines(PumpState& st, BodySource& body, StreamFormat format, std::size_t max_line) {
  auto& log = logger("llm");
  const bool sse = format == StreamFormat::kSse;
  SseDecoder sse_decoder;
  NdjsonDecoder ndjson_decoder;
  LineSplitter splitter(max_line);
  std::vector<std::string> lines;
  StreamChunk done = done_chunk();

  for (;;) {
    auto piece = co_await body();
    if (!piece) {
      // A read abandoned because the receiver went away is no provider failure.
      if (st.dropped.load()) co_return;
      // The native protocol has no way to say the reply broke off; the stream just ends there.
      if (!sse) co_return;
      log.error("Stream error: {}", piece.error().message);
      co_await send(st, done);
      co_return;
    }
    if (!*piece) {
      if (sse) co_await send(st, done);
      co_return;
    }
    lines.clear();
    const Status fed = splitter.feed(**piece, lines);
    for (const auto& line : lines) {
      StreamStep step = sse ? sse_decoder.decode(line) : ndjson_decoder.decode(line);
      for (auto& chunk : step.chunks) {
        if (!co_await send(st, chunk)) co_return;
      }
      if (step.end) co_return;
    }
    if (!fed) {
      log.error("Stream error: {}", fed.error().message);
      if (sse) co_await send(st, done);
      co_return;
    }
  }
}

awaitable<void> run_pump(std::shared_ptr<PumpState> st, BodySource body, StreamFormat format,
                         std::size_t max_line) {
  try {
    co_await pump_lines(*st, body, format, max_line);
    if (!st->dropped.load()) {
      boost::system::error_code end = asio::error::eof;
      StreamChunk nothing;
      auto ending = st->channel->async_send(end, std::move(nothing), asio::as_tuple(use_awaitable));
      co_await std::move(ending);
    }
  } catch (...) {
    // Cancelled because the receiver went away: there is nobody left to tell.
  }
  body = nullptr;  // ends the transfer now rather than whenever the frame goes
  st->finished = true;
}

}  // namespace

StreamReceiver start_stream_pump(asio::any_io_executor ex, BodySource body, StreamFormat format,
                                 std::size_t max_line) {
  auto st = std::make_shared<PumpState>(ex);
  auto pump = run_pump(st, std::move(body), format, max_line);
  asio::co_spawn(st->strand, std::move(pump), asio::bind_cancellation_slot(st->cancel.slot(), asio::detached));
  auto on_drop = [st] {
    st->dropped.store(true);
    // Also abandons a read the pump is waiting on, so a silent provider does not keep the transfer open.
    asio::post(st->strand, [st] {
      if (!st->finished) st->cancel.emit(asio::cancellation_type::terminal);
    });
  };
  return StreamReceiver(st->channel, std::move(on_drop));
}

StreamReceiver start_body_pump(asio::any_io_executor ex, HttpResponseStream response, StreamFormat format) {
  auto owned = std::make_shared<HttpResponseStream>(std::move(response));
  BodySource body = [owned]() { return owned->next_piece(); };
  return start_stream_pump(std::move(ex), std::move(body), format);
}

}  // namespace pelmox
