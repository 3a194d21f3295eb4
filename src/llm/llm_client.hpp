#pragma once
// The client of one model endpoint. By default it speaks the OpenAI chat-completions interface (the OpenAI API,
// compatible gateways, an Ollama server's compatibility interface): the request it sends, its error and retry
// policy, whole replies and server-sent-event streams. With native_ollama set it speaks Ollama's own /api/chat
// instead (line-delimited JSON streams, one attempt per call, no retries).
//
// Thread-safety: a client is configured (the setters) before it is shared and is read-only afterwards; any number
// of chat calls may then run on it at once. Clients made by with_model share one HTTP connection pool.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "llm/message.hpp"
#include "llm/model_client.hpp"
#include "net/http_client.hpp"
#include "runtime/runtime.hpp"
#include "utils/result.hpp"

namespace pelmox {

// How the client waits between attempts. The default waits on a timer; tests record the delays instead.
using SleepFn = std::function<awaitable<void>(std::chrono::milliseconds)>;

// The request URL: the base without its trailing "/"s, then "/chat/completions".
std::string chat_completions_url(std::string_view api_base);
// A base that (lower-cased) contains "ollama" or ":11434".
bool is_ollama_like(std::string_view api_base);

// The native Ollama URL: the base without trailing "/"s and without a final "/v1", then "/api/chat".
std::string native_chat_url(std::string_view api_base);
// A whole native reply turned into the assistant turn: content only when not blank, the thinking as reasoning,
// tool calls numbered "call_native_<position>" with their arguments as compact JSON text ("" when none).
Result<AssistantResponse> native_response_from_text(const std::string& text);

// The wait before attempt `attempt` (1..7). After a reply of 429 or 5xx (`server_busy`): min(2^n s, 10 s);
// after a transport failure or an unreadable reply: min(3^(n-1) * 3 s, 20 s).
std::chrono::milliseconds retry_delay(unsigned attempt, bool server_busy);
// A duration in the short form the log lines use: "2s", "1.5s", "250ms", "10µs", "0ns".
std::string format_duration(std::chrono::nanoseconds d);

class LlmClient : public ModelClient, public std::enable_shared_from_this<LlmClient> {
 public:
  static constexpr std::uint32_t kDefaultNumCtx = 16384;
  static constexpr unsigned kAttempts = 8;
  // Largest whole reply body read; a provider sending more gets an error, not unbounded growth.
  static constexpr std::size_t kBodyLimit = 32u << 20;
  // Longest error body quoted in an "API error" text.
  static constexpr std::size_t kErrorBodyLimit = 64u << 10;

  // A client with its own HTTP connection pool (600 s total limit per request).
  static std::shared_ptr<LlmClient> create(std::string api_base, std::string api_key, std::string model,
                                           std::uint32_t max_tokens, double temperature);
  // The same on a given pool.
  static std::shared_ptr<LlmClient> create(HttpClientPtr http, std::string api_base, std::string api_key,
                                           std::string model, std::uint32_t max_tokens, double temperature);

  const std::string& model() const override { return model_; }
  const std::string& api_base() const override { return api_base_; }
  ModelCapabilities capabilities() const override { return capabilities_; }

  // The assistant turn of a non-streamed reply, or an error text: "API error (401 Unauthorized): <body>",
  // a transport failure, the reply's parse error, "No choices in API response". Errors from a reply carry its
  // HTTP status.
  awaitable<Result<AssistantResponse>> chat(std::vector<Message> messages, std::vector<ApiTool> tools) override;
  // The reply streamed: once a 2xx status line is in, a pump reads the body and the receiver gets its chunks.
  // Only getting that status line is retried (as chat retries); a failure after it ends the stream.
  awaitable<Result<StreamReceiver>> chat_stream(std::vector<Message> messages, std::vector<ApiTool> tools) override;

  std::shared_ptr<ModelClient> with_model(const std::string& name) const override;
  std::shared_ptr<LlmClient> with_model_client(const std::string& name) const;

  const std::string& api_key() const { return api_key_; }
  std::uint32_t max_tokens() const { return max_tokens_; }
  double temperature() const { return temperature_; }
  std::uint32_t num_ctx() const { return num_ctx_; }
  bool native_ollama() const { return native_ollama_; }
  bool enable_thinking() const { return enable_thinking_; }
  std::optional<std::uint32_t> max_thinking_length() const { return max_thinking_length_; }
  const HttpClientPtr& http() const { return http_; }

  // Provider settings that differ from the defaults; applied before the client is shared.
  void set_num_ctx(std::uint32_t n) { num_ctx_ = n; }
  void set_native_ollama(bool on) { native_ollama_ = on; }
  void set_enable_thinking(bool on) { enable_thinking_ = on; }
  void set_max_thinking_length(std::optional<std::uint32_t> n) { max_thinking_length_ = n; }
  void set_sleep(SleepFn sleep) { sleep_ = std::move(sleep); }

  // The chat-completions body, members in their declared order.
  ordered_json request_body(const std::vector<Message>& messages, const std::vector<ApiTool>& tools,
                            bool stream) const;
  // The POST request carrying `body`.
  HttpRequest chat_request(std::string body) const;
  // The native /api/chat body: model, native messages, stream, think, tools (null when none), options.
  json native_request_body(const std::vector<Message>& messages, const std::vector<ApiTool>& tools,
                           bool stream) const;
  HttpRequest native_chat_request(std::string body) const;

 private:
  // A POST of a JSON body to `url` with the bearer key; both protocols send the same headers.
  HttpRequest json_post(std::string url, std::string body) const;
  LlmClient(HttpClientPtr http, std::string api_base, std::string api_key, std::string model,
            std::uint32_t max_tokens, double temperature);

  // The response of a 2xx reply with its body still to read, or the failure: "API error (...)" carrying the HTTP
  // status, or the transport error.
  awaitable<Result<HttpResponseStream>> open(HttpRequest request) const;
  // One whole-reply attempt: open, then the whole body.
  awaitable<Result<std::string>> attempt(HttpRequest request) const;
  // Up to kAttempts calls of `attempt` with the waits and the log lines of whole (chat) or streamed requests.
  template <class T>
  awaitable<Result<T>> with_retries(bool streaming, const HttpRequest& request,
                                    std::function<awaitable<Result<T>>(HttpRequest)> attempt) const;

  awaitable<Result<AssistantResponse>> native_chat(const std::vector<Message>& messages,
                                                   const std::vector<ApiTool>& tools) const;
  awaitable<Result<StreamReceiver>> native_chat_stream(const std::vector<Message>& messages,
                                                       const std::vector<ApiTool>& tools) const;

  std::string api_base_;
  std::string api_key_;
  std::string model_;
  std::optional<std::uint32_t> max_thinking_length_;
  HttpClientPtr http_;
  double temperature_;
  ModelCapabilities capabilities_;
  std::uint32_t max_tokens_;
  std::uint32_t num_ctx_ = kDefaultNumCtx;
  bool native_ollama_ = false;
  bool enable_thinking_ = false;
  SleepFn sleep_;
};

using LlmClientPtr = std::shared_ptr<LlmClient>;

}  // namespace pelmox
