#pragma once
// What the agent needs of a model: the seam between the engine and the concrete provider clients, so the engine
// can be driven by a scripted model in process and by the real client over HTTP alike.

#include <memory>
#include <string>
#include <vector>

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

class ModelClient {
 public:
  virtual ~ModelClient() = default;
  virtual const std::string& model() const = 0;
  virtual const std::string& api_base() const = 0;
  virtual ModelCapabilities capabilities() const = 0;
  // The whole reply, or an error text ("API error (...)", a parse error, ...).
  virtual awaitable<Result<AssistantResponse>> chat(std::vector<Message> messages, std::vector<ApiTool> tools) = 0;
  // A client equal to this one but for the model name; it shares the connection pool.
  virtual std::shared_ptr<ModelClient> with_model(const std::string& name) const = 0;
};

using ModelClientPtr = std::shared_ptr<ModelClient>;

}  // namespace pelmox
