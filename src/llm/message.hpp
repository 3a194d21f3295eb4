#pragma once
// The conversation records every part of Pelmox exchanges: messages, tool calls, tool definitions, token
// counts, the assistant reply and the increments of a streamed reply, with their JSON forms in both
// directions. The same forms are written into the task file and sent to providers, so they are fixed to the
// member and byte.

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "utils/result.hpp"

namespace pelmox {

using json = nlohmann::json;                 // objects we build: keys in ascending byte order
using ordered_json = nlohmann::ordered_json;  // records with a declared member order

struct FunctionCall {
  std::string name;
  std::string arguments;  // JSON text exactly as the model produced it
  bool operator==(const FunctionCall&) const = default;
};

struct ToolCall {
  std::string id;
  std::string type = "function";
  FunctionCall function;
  bool operator==(const ToolCall&) const = default;
};

struct SystemMessage {
  std::string content;
  bool operator==(const SystemMessage&) const = default;
};
struct UserMessage {
  std::string content;
  bool operator==(const UserMessage&) const = default;
};
struct AssistantMessage {
  std::optional<std::string> content;
  std::optional<std::vector<ToolCall>> tool_calls;
  std::optional<std::string> reasoning_content;
  bool operator==(const AssistantMessage&) const = default;
};
struct ToolMessage {
  std::string tool_call_id;
  std::string content;
  bool operator==(const ToolMessage&) const = default;
};

// One entry of a conversation; the variant index is the role.
using Message = std::variant<SystemMessage, UserMessage, AssistantMessage, ToolMessage>;

struct ApiFunction {
  std::string name;
  std::string description;
  json parameters;  // a JSON Schema object
};
struct ApiTool {
  std::string type = "function";
  ApiFunction function;
};

struct Usage {
  std::uint32_t prompt_tokens = 0;
  std::uint32_t completion_tokens = 0;
  std::uint32_t total_tokens = 0;
  bool operator==(const Usage&) const = default;
};

struct AssistantResponse {
  std::optional<std::string> content;
  std::optional<std::vector<ToolCall>> tool_calls;
  std::optional<std::string> reasoning_content;
};

struct Choice {
  AssistantResponse message;
  std::string finish_reason;
};
struct ChatResponse {
  std::vector<Choice> choices;
  std::optional<Usage> usage;
};

struct ToolCallDelta {
  std::uint64_t index = 0;
  std::optional<std::string> id;
  std::optional<std::string> name;
  std::optional<std::string> arguments;
};
struct StreamChunk {
  std::optional<std::string> content;
  std::optional<std::string> reasoning;
  std::optional<ToolCallDelta> tool_call;
  std::optional<Usage> usage;
  bool done = false;
};

// Writing. Messages, tool calls and tools keep their declared member order.
ordered_json to_json(const Message& m);
ordered_json to_json(const ToolCall& c);
ordered_json to_json(const ApiTool& t);
ordered_json to_json(const std::vector<Message>& ms);

// Reading. Errors carry the reader's message ("missing field `content`", "unknown variant `function`", ...).
Result<Message> message_from_json(const ordered_json& j);
Result<std::vector<Message>> messages_from_json(const ordered_json& j);
Result<ToolCall> tool_call_from_json(const ordered_json& j);
Result<Usage> usage_from_json(const ordered_json& j);
Result<AssistantResponse> assistant_response_from_json(const ordered_json& j);
Result<ChatResponse> chat_response_from_json(const ordered_json& j);
// Parses text first; a syntax error is returned with the parser's message.
Result<ChatResponse> chat_response_from_text(const std::string& text);

// The native Ollama request form of a message list: every assistant tool call's arguments text is replaced by
// the JSON value it parses to ({} when it does not parse).
ordered_json native_messages(const std::vector<Message>& ms);

// The role name of a message: "system", "user", "assistant" or "tool".
const char* role_name(const Message& m);

// JSON text of a value, with invalid UTF-8 replaced rather than thrown on.
std::string dump(const json& j, int indent = -1);
std::string dump(const ordered_json& j, int indent = -1);
// Converts between the two object flavours, keeping (ordered) or sorting (json) member order.
ordered_json to_ordered(const json& j);
json to_sorted(const ordered_json& j);

}  // namespace pelmox
