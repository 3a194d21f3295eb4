// Ollama's native /api/chat: the branch of LlmClient taken when native_ollama is set. One attempt per call; the
// caller (the agent loop) decides whether to try again.

#include "llm/llm_client.hpp"
#include "llm/stream_pump.hpp"
#include "utils/text.hpp"

namespace pelmox {

std::string native_chat_url(std::string_view api_base) {
  while (api_base.ends_with('/')) api_base.remove_suffix(1);
  // A base written for the compatible interface works here too.
  if (api_base.ends_with("/v1")) {
    api_base.remove_suffix(3);
    while (api_base.ends_with('/')) api_base.remove_suffix(1);
  }
  return std::string(api_base) + "/api/chat";
}

namespace {

Error missing(std::string_view field) { return Error("missing field `" + std::string(field) + "`"); }

const char* kind_of(const json& v) {
  switch (v.type()) {
    case json::value_t::null: return "null";
    case json::value_t::boolean: return "boolean";
    case json::value_t::string: return "string";
    case json::value_t::array: return "sequence";
    case json::value_t::object: return "map";
    case json::value_t::number_float: return "floating point";
    default: return "integer";
  }
}

Error invalid(std::string_view field, const json& v, std::string_view expected) {
  return Error("invalid type: " + std::string(kind_of(v)) + ", expected " + std::string(expected) + " for `" +
               std::string(field) + "`");
}

// Absent and null both mean "not given".
Result<std::optional<std::string>> optional_text(const json& obj, const char* key) {
  auto it = obj.find(key);
  if (it == obj.end() || it->is_null()) return std::optional<std::string>{};
  if (!it->is_string()) return invalid(key, *it, "a string");
  return std::optional<std::string>(it->get<std::string>());
}

Result<ToolCall> native_tool_call(const json& call, std::size_t position) {
  if (!call.is_object()) return invalid("tool_calls", call, "struct NativeToolCall");
  auto fit = call.find("function");
  if (fit == call.end()) return missing("function");
  if (!fit->is_object()) return invalid("function", *fit, "struct NativeFunctionCall");
  auto nit = fit->find("name");
  if (nit == fit->end()) return missing("name");
  if (!nit->is_string()) return invalid("name", *nit, "a string");
  ToolCall tc;
  tc.id = "call_native_" + std::to_string(position);
  tc.type = "function";
  tc.function.name = nit->get<std::string>();
  auto ait = fit->find("arguments");
  // No arguments stay empty text here; the tool registry reads that as {}.
  if (ait != fit->end() && !ait->is_null()) tc.function.arguments = dump(*ait);
  return tc;
}

}  // namespace

Result<AssistantResponse> native_response_from_text(const std::string& text) {
  json j;
  try {
    j = json::parse(text);
  } catch (const std::exception& e) {
    return Error(e.what());
  }
  if (!j.is_object()) return Error(std::string("invalid type: ") + kind_of(j) + ", expected struct NativeChatResponse");
  auto mit = j.find("message");
  if (mit == j.end()) return missing("message");
  const json& msg = *mit;
  if (!msg.is_object()) return invalid("message", msg, "struct NativeMessage");

  auto content = optional_text(msg, "content");
  if (!content) return content.error();
  auto thinking = optional_text(msg, "thinking");
  if (!thinking) return thinking.error();

  AssistantResponse r;
  if (*content && !is_blank(**content)) r.content = std::move(*content);
  r.reasoning_content = std::move(*thinking);
  auto cit = msg.find("tool_calls");
  if (cit != msg.end() && !cit->is_null()) {
    if (!cit->is_array()) return invalid("tool_calls", *cit, "a sequence");
    std::vector<ToolCall> calls;
    calls.reserve(cit->size());
    for (std::size_t i = 0; i < cit->size(); ++i) {
      auto call = native_tool_call((*cit)[i], i);
      if (!call) return call.error();
      calls.push_back(std::move(*call));
    }
    r.tool_calls = std::move(calls);
  }
  return r;
}

json LlmClient::native_request_body(const std::vector<Message>& messages, const std::vector<ApiTool>& tools,
                                    bool stream) const {
  json body = json::object();
  body["model"] = model_;
  body["messages"] = to_sorted(native_messages(messages));
  body["stream"] = stream;
  body["think"] = enable_thinking_;
  if (tools.empty()) {
    body["tools"] = nullptr;
  } else {
    json list = json::array();
    for (const auto& t : tools) list.push_back(to_sorted(to_json(t)));
    body["tools"] = std::move(list);
  }
  json options = {{"num_ctx", num_ctx_}};
  if (max_thinking_length_) options["max_thinking_length"] = *max_thinking_length_;
  body["options"] = std::move(options);
  return body;
}

HttpRequest LlmClient::native_chat_request(std::string body) const {
  return json_post(native_chat_url(api_base_), std::move(body));
}

awaitable<Result<AssistantResponse>> LlmClient::native_chat(const std::vector<Message>& messages,
                                                            const std::vector<ApiTool>& tools) const {
  HttpRequest request = native_chat_request(dump(native_request_body(messages, tools, false)));
  auto body = co_await attempt(std::move(request));
  if (!body) co_return body.error();
  co_return native_response_from_text(*body);
}

awaitable<Result<StreamReceiver>> LlmClient::native_chat_stream(const std::vector<Message>& messages,
                                                                const std::vector<ApiTool>& tools) const {
  HttpRequest request = native_chat_request(dump(native_request_body(messages, tools, true)));
  auto response = co_await open(std::move(request));
  if (!response) co_return response.error();
  auto ex = co_await asio::this_coro::executor;
  co_return start_body_pump(std::move(ex), std::move(*response), StreamFormat::kOllamaNdjson);
}

}  // namespace pelmox
