#pragma once
// Some models write their tool calls into the answer text as JSON instead of using the structured field. This
// finds them: every balanced {...} span that parses as an object with a registered `name` and an `arguments`
// member becomes a call with id "textcall-<n>".

#include <functional>
#include <string>
#include <vector>

#include "llm/message.hpp"

namespace pelmox {

std::vector<ToolCall> tool_calls_from_text(const std::string& text,
                                           const std::function<bool(const std::string&)>& is_registered);

}  // namespace pelmox
