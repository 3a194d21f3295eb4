#pragma once
// What the agent needs of a model: the seam between the engine and the concrete provider clients, so the engine
// can be driven by a scripted model in process and by the real client over HTTP alike.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/system/error_code.hpp>

#include "llm/message.hpp"
#include "runtime/runtime.hpp"
#include "utils/result.hpp"

namespace pelmox {

// Flags derived from a model's name.
struct ModelCapabilities {
  bool streaming = true;
  bool reasoning = false;
};
ModelCapabilities capabilities_for(const std::string& model);

// The receiving end of a streamed reply. The producer (a stream pump, or a scripted model in tests) sends chunks
// with an empty error code and ends the stream by sending any non-empty error code (asio::error::eof when it ended
// normally); the channel itself is never closed, so chunks still in it are all delivered.
//
// Destroying the receiver tells the producer to stop: its pending and later sends fail, and a pump also abandons
// the read it is waiting for, so nothing keeps running for a stream nobody reads.
//
// Thread-safety: one receiver belongs to one consumer; it may be destroyed on any thread.
class StreamReceiver {
 public:
  using Channel = asio::experimental::concurrent_channel<void(boost::system::error_code, StreamChunk)>;
  // Chunks a producer may send ahead of the consumer before its sends wait.
  static constexpr std::size_t kCapacity = 128;

  // `on_drop` runs once, when the receiver is destroyed (not when it is moved from).
  explicit StreamReceiver(std::shared_ptr<Channel> channel, std::function<void()> on_drop = {});
  StreamReceiver(StreamReceiver&& other) noexcept;
  StreamReceiver& operator=(StreamReceiver&& other) noexcept;
  StreamReceiver(const StreamReceiver&) = delete;
  StreamReceiver& operator=(const StreamReceiver&) = delete;
  ~StreamReceiver();

  // The next chunk; nullopt once the producer has ended the stream (and on every call after that). A cancelled
  // wait also ends the stream for this receiver.
  awaitable<std::optional<StreamChunk>> next();

  // A stream that yields `chunks` in order and then ends; for scripted models.
  static StreamReceiver from_chunks(asio::any_io_executor ex, std::vector<StreamChunk> chunks);

 private:
  void drop();

  std::shared_ptr<Channel> channel_;
  std::function<void()> on_drop_;
  bool ended_ = false;
};

class ModelClient {
 public:
  virtual ~ModelClient() = default;
  virtual const std::string& model() const = 0;
  virtual const std::string& api_base() const = 0;
  virtual ModelCapabilities capabilities() const = 0;
  // The whole reply, or an error text ("API error (...)", a parse error, ...).
  virtual awaitable<Result<AssistantResponse>> chat(std::vector<Message> messages, std::vector<ApiTool> tools) = 0;
  // The reply as a stream of increments once the provider has accepted the request, or the error that kept it
  // from doing so. Failures after streaming has begun end the stream instead (with a done chunk where the
  // protocol gives one).
  virtual awaitable<Result<StreamReceiver>> chat_stream(std::vector<Message> messages,
                                                        std::vector<ApiTool> tools) = 0;
  // A client equal to this one but for the model name; it shares the connection pool.
  virtual std::shared_ptr<ModelClient> with_model(const std::string& name) const = 0;
};

using ModelClientPtr = std::shared_ptr<ModelClient>;

}  // namespace pelmox
