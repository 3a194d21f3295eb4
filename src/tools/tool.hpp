#pragma once
// The interface every capability the model can invoke implements. Tools are shared objects used
// concurrently; any state of their own sits behind their own synchronisation.

#include <memory>
#include <optional>
#include <string>

#include "llm/message.hpp"
#include "runtime/runtime.hpp"
#include "utils/result.hpp"

namespace pelmox {

struct ToolOutput {
  std::string text;           // what goes back to the model
  std::optional<json> data;   // published with the result event, never shown to the model
};

class Tool {
 public:
  virtual ~Tool() = default;
  virtual std::string name() const = 0;
  virtual ApiTool definition() const = 0;
  // True when a call can change the user's system.
  virtual bool requires_approval() const { return false; }
  // `args` is the decoded arguments value, normally an object. Errors are the texts the model sees.
  virtual awaitable<Result<ToolOutput>> execute(json args) = 0;
};

using ToolPtr = std::shared_ptr<Tool>;

// The object schema every built-in tool declares: each parameter a string with its description.
// `params` is a list of (name, description); `required` the names that must be given.
json string_params_schema(const std::vector<std::pair<std::string, std::string>>& params,
                          const std::vector<std::string>& required);

// Builds a definition from the three texts the model is shown.
ApiTool make_definition(std::string name, std::string description, json parameters);

// An argument is present when the key holds a JSON string; any other value counts as absent.
std::optional<std::string> string_arg(const json& args, const char* key);

}  // namespace pelmox
