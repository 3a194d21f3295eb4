#include "llm/llm_client.hpp"

#include <algorithm>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/steady_timer.hpp>

#include "llm/stream_pump.hpp"
#include "utils/log.hpp"
#include "utils/text.hpp"

namespace pelmox {

std::string chat_completions_url(std::string_view api_base) {
  while (api_base.ends_with('/')) api_base.remove_suffix(1);
  return std::string(api_base) + "/chat/completions";
}

bool is_ollama_like(std::string_view api_base) {
  const std::string lower = to_lower(api_base);
  return lower.find("ollama") != std::string::npos || lower.find(":11434") != std::string::npos;
}

std::chrono::milliseconds retry_delay(unsigned attempt, bool server_busy) {
  using std::chrono::milliseconds;
  if (attempt == 0) return milliseconds(0);
  // Exponents are capped well before the products could overflow; the limits cap the results anyway.
  if (server_busy) {
    std::uint64_t ms = 1000;
    for (unsigned i = 0; i < attempt && ms < 10000; ++i) ms *= 2;
    return milliseconds(std::min<std::uint64_t>(ms, 10000));
  }
  std::uint64_t ms = 3000;
  for (unsigned i = 1; i < attempt && ms < 20000; ++i) ms *= 3;
  return milliseconds(std::min<std::uint64_t>(ms, 20000));
}

std::string format_duration(std::chrono::nanoseconds d) {
  const std::uint64_t total = d.count() < 0 ? 0 : static_cast<std::uint64_t>(d.count());
  // Integer part in the largest unit that is at least 1, then the exact fraction without trailing zeros.
  auto decimal = [](std::uint64_t whole, std::uint64_t frac, std::uint64_t unit, const char* suffix) {
    std::string out = std::to_string(whole);
    if (frac) {
      std::string digits;
      for (std::uint64_t div = unit / 10; div > 0 && frac > 0; div /= 10) {
        digits += static_cast<char>('0' + frac / div);
        frac %= div;
      }
      out += "." + digits;
    }
    return out + suffix;
  };
  if (total >= 1'000'000'000) return decimal(total / 1'000'000'000, total % 1'000'000'000, 1'000'000'000, "s");
  if (total >= 1'000'000) return decimal(total / 1'000'000, total % 1'000'000, 1'000'000, "ms");
  if (total >= 1'000) return decimal(total / 1'000, total % 1'000, 1'000, "µs");
  return std::to_string(total) + "ns";
}

namespace {

awaitable<void> timer_sleep(std::chrono::milliseconds d) {
  asio::steady_timer timer(co_await asio::this_coro::executor, d);
  co_await timer.async_wait(asio::as_tuple(use_awaitable));
}

bool server_busy(const Error& e) { return e.http_status && (*e.http_status == 429 || *e.http_status >= 500); }

}  // namespace

LlmClient::LlmClient(HttpClientPtr http, std::string api_base, std::string api_key, std::string model,
                     std::uint32_t max_tokens, double temperature)
    : api_base_(std::move(api_base)),
      api_key_(std::move(api_key)),
      model_(std::move(model)),
      http_(std::move(http)),
      temperature_(temperature),
      capabilities_(capabilities_for(model_)),
      max_tokens_(max_tokens),
      sleep_(timer_sleep) {}

std::shared_ptr<LlmClient> LlmClient::create(std::string api_base, std::string api_key, std::string model,
                                             std::uint32_t max_tokens, double temperature) {
  return create(HttpClient::create(HttpClient::kDefaultTotalLimit), std::move(api_base), std::move(api_key),
                std::move(model), max_tokens, temperature);
}

std::shared_ptr<LlmClient> LlmClient::create(HttpClientPtr http, std::string api_base, std::string api_key,
                                             std::string model, std::uint32_t max_tokens, double temperature) {
  return std::shared_ptr<LlmClient>(new LlmClient(std::move(http), std::move(api_base), std::move(api_key),
                                                  std::move(model), max_tokens, temperature));
}

std::shared_ptr<LlmClient> LlmClient::with_model_client(const std::string& name) const {
  auto copy = std::shared_ptr<LlmClient>(new LlmClient(*this));
  copy->model_ = name;
  copy->capabilities_ = capabilities_for(name);
  return copy;
}

std::shared_ptr<ModelClient> LlmClient::with_model(const std::string& name) const { return with_model_client(name); }

ordered_json LlmClient::request_body(const std::vector<Message>& messages, const std::vector<ApiTool>& tools,
                                     bool stream) const {
  ordered_json body = ordered_json::object();
  body["model"] = model_;
  body["messages"] = to_json(messages);
  if (!tools.empty()) {
    ordered_json list = ordered_json::array();
    for (const auto& t : tools) list.push_back(to_json(t));
    body["tools"] = std::move(list);
    // Only alongside tools: OpenAI's own API refuses tool_choice in a request without them.
    body["tool_choice"] = "auto";
  }
  body["temperature"] = temperature_;
  body["max_tokens"] = max_tokens_;
  if (stream) body["stream"] = true;
  if (is_ollama_like(api_base_)) {
    // Built as a plain JSON value, so its keys are in ascending order like every object we build.
    body["options"] = to_ordered(json{{"num_ctx", num_ctx_}, {"keep_alive", "30m"}});
  }
  return body;
}

HttpRequest LlmClient::json_post(std::string url, std::string body) const {
  HttpRequest req;
  req.method = "POST";
  req.url = std::move(url);
  req.headers = {{"Authorization", "Bearer " + api_key_}, {"Content-Type", "application/json"}};
  req.body = std::move(body);
  return req;
}

HttpRequest LlmClient::chat_request(std::string body) const {
  return json_post(chat_completions_url(api_base_), std::move(body));
}

awaitable<Result<HttpResponseStream>> LlmClient::open(HttpRequest request) const {
  auto stream = co_await http_->send(std::move(request));
  if (!stream) co_return stream.error();
  if (stream->status() < 200 || stream->status() > 299) {
    // The error body is quoted to the user; what can be read of it (within a bound) is better than nothing.
    std::string body;
    while (body.size() <= kErrorBodyLimit) {
      auto piece = co_await stream->next_piece();
      if (!piece || !*piece) break;
      body += **piece;
    }
    co_return Error("API error (" + stream->status_text() + "): " + truncate_str(lossy_utf8(body), kErrorBodyLimit),
                    stream->status());
  }
  co_return std::move(*stream);
}

awaitable<Result<std::string>> LlmClient::attempt(HttpRequest request) const {
  auto stream = co_await open(std::move(request));
  if (!stream) co_return stream.error();
  auto body = co_await stream->read_all(kBodyLimit);
  if (!body) co_return body.error();
  co_return std::move(*body);
}

template <class T>
awaitable<Result<T>> LlmClient::with_retries(bool streaming, const HttpRequest& request,
                                             std::function<awaitable<Result<T>>(HttpRequest)> attempt) const {
  auto& log = logger("llm");
  std::optional<Error> last;
  for (unsigned n = 0; n < kAttempts; ++n) {
    if (n > 0) {
      auto delay = retry_delay(n, last && server_busy(*last));
      if (streaming) {
        log.warn("Stream retry attempt {} after {}", n, format_duration(delay));
      } else {
        log.warn("Retry attempt {} after {}", n, format_duration(delay));
      }
      co_await sleep_(delay);
    }
    auto r = co_await attempt(request);
    if (r) co_return std::move(*r);
    const Error& e = r.error();
    if (e.http_status && *e.http_status < 500 && *e.http_status != 429) co_return e;
    if (streaming) {
      log.warn("Stream attempt {} failed: {}", n + 1, e.message);
    } else {
      log.warn("Attempt {} failed: {}", n + 1, e.message);
    }
    last = e;
  }
  if (last) co_return *last;
  co_return Error(streaming ? "All stream retries exhausted" : "All retries exhausted");
}

awaitable<Result<AssistantResponse>> LlmClient::chat(std::vector<Message> messages, std::vector<ApiTool> tools) {
  auto self = shared_from_this();  // the reply may outlive the caller's reference to this client
  if (native_ollama_) co_return co_await native_chat(messages, tools);
  const HttpRequest request = chat_request(dump(request_body(messages, tools, false)));
  logger("llm").debug("Sending request to {} (model: {})", request.url, model_);

  std::function<awaitable<Result<std::string>>(HttpRequest)> once = [this](HttpRequest r) {
    return attempt(std::move(r));
  };
  auto reply = co_await with_retries(false, request, std::move(once));
  if (!reply) co_return reply.error();

  auto parsed = chat_response_from_text(*reply);
  if (!parsed) co_return parsed.error();
  if (parsed->choices.empty()) co_return Error("No choices in API response");
  co_return std::move(parsed->choices.front().message);
}

awaitable<Result<StreamReceiver>> LlmClient::chat_stream(std::vector<Message> messages,
                                                         std::vector<ApiTool> tools) {
  auto self = shared_from_this();
  if (native_ollama_) co_return co_await native_chat_stream(messages, tools);
  const HttpRequest request = chat_request(dump(request_body(messages, tools, true)));
  logger("llm").debug("Streaming request to {} (model: {})", request.url, model_);

  std::function<awaitable<Result<HttpResponseStream>>(HttpRequest)> once = [this](HttpRequest r) {
    return open(std::move(r));
  };
  auto response = co_await with_retries(true, request, std::move(once));
  if (!response) co_return response.error();
  auto ex = co_await asio::this_coro::executor;
  co_return start_body_pump(std::move(ex), std::move(*response), StreamFormat::kSse);
}

}  // namespace pelmox
