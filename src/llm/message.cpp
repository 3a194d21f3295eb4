#include "llm/message.hpp"

#include <array>
#include <string_view>

namespace pelmox {
namespace {

// Readers report problems the way a strict schema reader does, naming the field at fault.
Error missing(std::string_view field) { return Error("missing field `" + std::string(field) + "`"); }

const char* kind_of(const ordered_json& v) {
  switch (v.type()) {
    case ordered_json::value_t::null: return "null";
    case ordered_json::value_t::boolean: return "boolean";
    case ordered_json::value_t::string: return "string";
    case ordered_json::value_t::array: return "sequence";
    case ordered_json::value_t::object: return "map";
    case ordered_json::value_t::number_float: return "floating point";
    default: return "integer";
  }
}

Error invalid(std::string_view field, const ordered_json& v, std::string_view expected) {
  return Error("invalid type: " + std::string(kind_of(v)) + ", expected " + std::string(expected) + " for `" +
               std::string(field) + "`");
}

Result<std::string> required_string(const ordered_json& obj, const char* key) {
  auto it = obj.find(key);
  if (it == obj.end()) return missing(key);
  if (!it->is_string()) return invalid(key, *it, "a string");
  return it->get<std::string>();
}

// Absent and null both mean "not given".
Result<std::optional<std::string>> optional_string(const ordered_json& obj, const char* key) {
  auto it = obj.find(key);
  if (it == obj.end() || it->is_null()) return std::optional<std::string>{};
  if (!it->is_string()) return invalid(key, *it, "a string");
  return std::optional<std::string>(it->get<std::string>());
}

Result<std::optional<std::vector<ToolCall>>> optional_tool_calls(const ordered_json& obj) {
  auto it = obj.find("tool_calls");
  if (it == obj.end() || it->is_null()) return std::optional<std::vector<ToolCall>>{};
  if (!it->is_array()) return invalid("tool_calls", *it, "a sequence");
  std::vector<ToolCall> calls;
  calls.reserve(it->size());
  for (const auto& c : *it) {
    auto call = tool_call_from_json(c);
    if (!call) return call.error();
    calls.push_back(std::move(call.value()));
  }
  return std::optional<std::vector<ToolCall>>(std::move(calls));
}

Result<std::uint32_t> u32_field(const ordered_json& obj, const char* key) {
  auto it = obj.find(key);
  if (it == obj.end()) return std::uint32_t{0};
  if (it->is_number_unsigned() || (it->is_number_integer() && it->get<std::int64_t>() >= 0)) {
    auto v = it->get<std::uint64_t>();
    if (v <= 0xFFFFFFFFull) return static_cast<std::uint32_t>(v);
  }
  return invalid(key, *it, "u32");
}

}  // namespace

const char* role_name(const Message& m) {
  static constexpr std::array<const char*, 4> names{"system", "user", "assistant", "tool"};
  return names[m.index()];
}

ordered_json to_json(const ToolCall& c) {
  ordered_json fn = ordered_json::object();
  fn["name"] = c.function.name;
  fn["arguments"] = c.function.arguments;
  ordered_json j = ordered_json::object();
  j["id"] = c.id;
  j["type"] = c.type;
  j["function"] = std::move(fn);
  return j;
}

ordered_json to_json(const Message& m) {
  ordered_json j = ordered_json::object();
  j["role"] = role_name(m);
  std::visit(
      [&j](const auto& v) {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, SystemMessage> || std::is_same_v<T, UserMessage>) {
          j["content"] = v.content;
        } else if constexpr (std::is_same_v<T, AssistantMessage>) {
          if (v.content) j["content"] = *v.content;
          if (v.tool_calls) {
            ordered_json calls = ordered_json::array();
            for (const auto& c : *v.tool_calls) calls.push_back(to_json(c));
            j["tool_calls"] = std::move(calls);
          }
          if (v.reasoning_content) j["reasoning_content"] = *v.reasoning_content;
        } else {
          j["tool_call_id"] = v.tool_call_id;
          j["content"] = v.content;
        }
      },
      m);
  return j;
}

ordered_json to_json(const std::vector<Message>& ms) {
  ordered_json arr = ordered_json::array();
  for (const auto& m : ms) arr.push_back(to_json(m));
  return arr;
}

ordered_json to_json(const ApiTool& t) {
  ordered_json fn = ordered_json::object();
  fn["name"] = t.function.name;
  fn["description"] = t.function.description;
  fn["parameters"] = to_ordered(t.function.parameters);
  ordered_json j = ordered_json::object();
  j["type"] = t.type;
  j["function"] = std::move(fn);
  return j;
}

Result<ToolCall> tool_call_from_json(const ordered_json& j) {
  if (!j.is_object()) return invalid("tool_calls", j, "a map");
  auto id = required_string(j, "id");
  if (!id) return id.error();
  auto type = required_string(j, "type");
  if (!type) return type.error();
  auto fit = j.find("function");
  if (fit == j.end()) return missing("function");
  if (!fit->is_object()) return invalid("function", *fit, "a map");
  auto name = required_string(*fit, "name");
  if (!name) return name.error();
  auto args = required_string(*fit, "arguments");
  if (!args) return args.error();
  return ToolCall{std::move(id.value()), std::move(type.value()), {std::move(name.value()), std::move(args.value())}};
}

Result<Message> message_from_json(const ordered_json& j) {
  if (!j.is_object()) return Error(std::string("invalid type: ") + kind_of(j) + ", expected a message map");
  auto rit = j.find("role");
  if (rit == j.end()) return missing("role");
  if (!rit->is_string()) return invalid("role", *rit, "a string");
  const auto role = rit->get<std::string>();
  if (role == "system" || role == "user") {
    auto content = required_string(j, "content");
    if (!content) return content.error();
    if (role == "system") return Message(SystemMessage{std::move(content.value())});
    return Message(UserMessage{std::move(content.value())});
  }
  if (role == "assistant") {
    AssistantMessage a;
    auto content = optional_string(j, "content");
    if (!content) return content.error();
    auto calls = optional_tool_calls(j);
    if (!calls) return calls.error();
    auto reasoning = optional_string(j, "reasoning_content");
    if (!reasoning) return reasoning.error();
    a.content = std::move(content.value());
    a.tool_calls = std::move(calls.value());
    a.reasoning_content = std::move(reasoning.value());
    return Message(std::move(a));
  }
  if (role == "tool") {
    auto id = required_string(j, "tool_call_id");
    if (!id) return id.error();
    auto content = required_string(j, "content");
    if (!content) return content.error();
    return Message(ToolMessage{std::move(id.value()), std::move(content.value())});
  }
  return Error("unknown variant `" + role + "`, expected one of `system`, `user`, `assistant`, `tool`");
}

Result<std::vector<Message>> messages_from_json(const ordered_json& j) {
  if (!j.is_array()) return invalid("messages", j, "a sequence");
  std::vector<Message> out;
  out.reserve(j.size());
  for (const auto& m : j) {
    auto msg = message_from_json(m);
    if (!msg) return msg.error();
    out.push_back(std::move(msg.value()));
  }
  return out;
}

Result<Usage> usage_from_json(const ordered_json& j) {
  if (!j.is_object()) return invalid("usage", j, "a map");
  Usage u;
  auto p = u32_field(j, "prompt_tokens");
  if (!p) return p.error();
  auto c = u32_field(j, "completion_tokens");
  if (!c) return c.error();
  auto t = u32_field(j, "total_tokens");
  if (!t) return t.error();
  u.prompt_tokens = p.value();
  u.completion_tokens = c.value();
  u.total_tokens = t.value();
  return u;
}

Result<AssistantResponse> assistant_response_from_json(const ordered_json& j) {
  if (!j.is_object()) return invalid("message", j, "a map");
  AssistantResponse r;
  auto content = optional_string(j, "content");
  if (!content) return content.error();
  auto calls = optional_tool_calls(j);
  if (!calls) return calls.error();
  r.content = std::move(content.value());
  r.tool_calls = std::move(calls.value());
  // Providers name the reasoning text differently; all three spellings fill one field, and a reply that uses two
  // of them is ambiguous, so it is refused rather than guessed at.
  const char* seen = nullptr;
  for (const char* key : {"reasoning_content", "reasoning", "thinking"}) {
    if (!j.contains(key)) continue;
    if (seen) return Error("duplicate field `reasoning_content`");
    seen = key;
    auto v = optional_string(j, key);
    if (!v) return v.error();
    r.reasoning_content = std::move(v.value());
  }
  return r;
}

Result<ChatResponse> chat_response_from_json(const ordered_json& j) {
  if (!j.is_object()) return Error(std::string("invalid type: ") + kind_of(j) + ", expected struct ChatResponse");
  auto cit = j.find("choices");
  if (cit == j.end()) return missing("choices");
  if (!cit->is_array()) return invalid("choices", *cit, "a sequence");
  ChatResponse resp;
  for (const auto& c : *cit) {
    if (!c.is_object()) return invalid("choices", c, "a map");
    auto mit = c.find("message");
    if (mit == c.end()) return missing("message");
    auto msg = assistant_response_from_json(*mit);
    if (!msg) return msg.error();
    auto finish = required_string(c, "finish_reason");
    if (!finish) return finish.error();
    resp.choices.push_back(Choice{std::move(msg.value()), std::move(finish.value())});
  }
  auto uit = j.find("usage");
  if (uit != j.end() && !uit->is_null()) {
    auto u = usage_from_json(*uit);
    if (!u) return u.error();
    resp.usage = u.value();
  }
  return resp;
}

Result<ChatResponse> chat_response_from_text(const std::string& text) {
  ordered_json j;
  try {
    j = ordered_json::parse(text);
  } catch (const std::exception& e) {
    return Error(e.what());
  }
  return chat_response_from_json(j);
}

ordered_json native_messages(const std::vector<Message>& ms) {
  ordered_json arr = to_json(ms);
  for (auto& m : arr) {
    if (m["role"] != "assistant" || !m.contains("tool_calls")) continue;
    for (auto& call : m["tool_calls"]) {
      auto fit = call.find("function");
      if (fit == call.end() || !fit->is_object()) continue;
      auto ait = fit->find("arguments");
      if (ait == fit->end() || !ait->is_string()) continue;
      auto parsed = ordered_json::parse(ait->get<std::string>(), nullptr, false);
      *ait = parsed.is_discarded() ? ordered_json::object() : std::move(parsed);
    }
  }
  return arr;
}

std::string dump(const json& j, int indent) {
  return j.dump(indent, ' ', false, json::error_handler_t::replace);
}
std::string dump(const ordered_json& j, int indent) {
  return j.dump(indent, ' ', false, ordered_json::error_handler_t::replace);
}

template <class To, class From>
static To convert(const From& j) {
  switch (j.type()) {
    case From::value_t::object: {
      To out = To::object();
      for (auto it = j.begin(); it != j.end(); ++it) out[it.key()] = convert<To>(it.value());
      return out;
    }
    case From::value_t::array: {
      To out = To::array();
      for (const auto& v : j) out.push_back(convert<To>(v));
      return out;
    }
    case From::value_t::string: return To(j.template get<std::string>());
    case From::value_t::boolean: return To(j.template get<bool>());
    case From::value_t::number_unsigned: return To(j.template get<std::uint64_t>());
    case From::value_t::number_integer: return To(j.template get<std::int64_t>());
    case From::value_t::number_float: return To(j.template get<double>());
    case From::value_t::binary: return To::binary(j.get_binary());
    default: return To();
  }
}

ordered_json to_ordered(const json& j) { return convert<ordered_json>(j); }
json to_sorted(const ordered_json& j) { return convert<json>(j); }

}  // namespace pelmox
