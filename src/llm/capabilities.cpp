#include "llm/model_client.hpp"
#include "utils/text.hpp"

namespace pelmox {

ModelCapabilities capabilities_for(const std::string& model) {
  // Name fragments of the model families known to return their reasoning text.
  static constexpr std::string_view kReasoningMarks[] = {"r1",     "reasoning", "reasoner", "thinking",
                                                         "o1",     "qwen3",     "qvq",      "kimi"};
  const std::string name = to_lower(model);
  ModelCapabilities caps;
  caps.streaming = true;
  for (auto mark : kReasoningMarks)
    if (name.find(mark) != std::string::npos) caps.reasoning = true;
  return caps;
}

}  // namespace pelmox
