// create_plan: the model announces its steps; the agent loop shows them, the tool itself only acknowledges.

#include <exception>
#include <string>
#include <vector>

#include "tools/builtin/builtins.hpp"

namespace pelmox {
namespace {

class CreatePlanTool final : public Tool {
 public:
  std::string name() const override { return "create_plan"; }

  ApiTool definition() const override {
    json steps = {{"type", "array"},
                  {"items", json{{"type", "string"}}},
                  {"description", "Ordered list of steps to complete the task"}};
    json schema = {{"type", "object"}, {"properties", {{"steps", std::move(steps)}}}, {"required", json::array({"steps"})}};
    return make_definition("create_plan",
                           "Decompose a complex task into actionable steps. Call this BEFORE starting work on "
                           "multi-step tasks to show the user your plan.",
                           std::move(schema));
  }

  awaitable<Result<ToolOutput>> execute(json) override {
    co_return ToolOutput{"Plan recorded. Proceeding with execution.", std::nullopt};
  }
};

std::optional<std::vector<std::string>> string_list(const json& value) {
  if (!value.is_array()) return std::nullopt;
  std::vector<std::string> out;
  out.reserve(value.size());
  for (const auto& item : value) {
    if (!item.is_string()) return std::nullopt;
    out.push_back(item.get<std::string>());
  }
  return out;
}

}  // namespace

ToolPtr make_create_plan_tool() { return std::make_shared<CreatePlanTool>(); }

std::optional<std::vector<std::string>> decode_plan(const std::string& arguments) {
  json value;
  try {
    value = json::parse(arguments);
  } catch (const std::exception&) {
    return std::nullopt;
  }
  if (value.is_object()) {
    auto it = value.find("steps");
    if (it == value.end()) return std::nullopt;
    return string_list(*it);
  }
  // The positional form of the same record: its one member as the only element.
  if (value.is_array() && value.size() == 1) return string_list(value.front());
  return std::nullopt;
}

}  // namespace pelmox
