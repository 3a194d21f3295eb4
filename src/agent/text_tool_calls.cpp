#include "agent/text_tool_calls.hpp"

namespace pelmox {
namespace {

// The end (one past the matching "}") of the object starting at `open`, or npos when it never closes.
// Braces inside double-quoted strings do not count; a backslash escapes the next character there.
std::size_t matching_brace(const std::string& text, std::size_t open) {
  int depth = 0;
  bool in_string = false;
  for (std::size_t i = open; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') ++i;
      else if (c == '"') in_string = false;
      continue;
    }
    if (c == '"') in_string = true;
    else if (c == '{') ++depth;
    else if (c == '}' && --depth == 0) return i + 1;
  }
  return std::string::npos;
}

}  // namespace

std::vector<ToolCall> tool_calls_from_text(const std::string& text,
                                           const std::function<bool(const std::string&)>& is_registered) {
  std::vector<ToolCall> calls;
  std::size_t pos = 0;
  while ((pos = text.find('{', pos)) != std::string::npos) {
    const std::size_t end = matching_brace(text, pos);
    if (end == std::string::npos) {  // never closes: try the next brace
      ++pos;
      continue;
    }
    auto j = json::parse(text.begin() + static_cast<std::ptrdiff_t>(pos), text.begin() + static_cast<std::ptrdiff_t>(end),
                         nullptr, false);
    const bool qualifies = j.is_object() && j.contains("name") && j["name"].is_string() &&
                           j.contains("arguments") && is_registered(j["name"].get<std::string>());
    if (qualifies) {
      const auto& args = j["arguments"];
      std::string arguments = args.is_string() ? args.get<std::string>() : dump(args);
      calls.push_back(ToolCall{"textcall-" + std::to_string(calls.size() + 1), "function",
                               {j["name"].get<std::string>(), std::move(arguments)}});
    }
    pos = end;
  }
  return calls;
}

}  // namespace pelmox
