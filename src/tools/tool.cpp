#include "tools/tool.hpp"

namespace pelmox {

json string_params_schema(const std::vector<std::pair<std::string, std::string>>& params,
                          const std::vector<std::string>& required) {
  json properties = json::object();
  for (const auto& [name, description] : params) {
    properties[name] = json{{"type", "string"}, {"description", description}};
  }
  json req = json::array();
  for (const auto& name : required) req.push_back(name);
  return json{{"type", "object"}, {"properties", std::move(properties)}, {"required", std::move(req)}};
}

ApiTool make_definition(std::string name, std::string description, json parameters) {
  ApiTool tool;
  tool.type = "function";
  tool.function.name = std::move(name);
  tool.function.description = std::move(description);
  tool.function.parameters = std::move(parameters);
  return tool;
}

std::optional<std::string> string_arg(const json& args, const char* key) {
  if (!args.is_object()) return std::nullopt;
  auto it = args.find(key);
  if (it == args.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

}  // namespace pelmox
