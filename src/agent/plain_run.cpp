// The plain run: no streaming, no events, no approvals. It prints its progress for the terminal and returns
// the answer text; stop, abort and iteration-limit outcomes are answers too, not errors.

#include <fmt/format.h>

#include "agent/agent.hpp"
#include "agent/text_tool_calls.hpp"
#include "memory/context_manager.hpp"
#include "utils/log.hpp"
#include "utils/text.hpp"

namespace pelmox {
namespace {

constexpr const char* kStopped = "Stopped by user.";
constexpr const char* kReasoningOnly = "模型只生成了思考链，未产出回答或工具调用。请重试或缩小任务范围。";
// Strict providers reject a history where an assistant's tool call has no result, so calls an abort leaves
// unrun still get one.
constexpr const char* kNotExecuted = "[not executed] the run was aborted after repeated tool failures.";

std::string result_preview(const std::string& text) {
  if (text.size() <= 150) return text;
  return fmt::format("{}... ({} bytes)", utf8_prefix(text, 150), text.size());
}

}  // namespace

awaitable<Result<std::string>> Agent::run(std::string user_text) {
  std::string task_id;
  {
    std::lock_guard lock(store_mu_);
    task_id = store_.ensure_active(user_text);
    if (Task* task = store_.find(task_id)) task->context.push(UserMessage{user_text});
  }
  failures_ = 0;
  auto& log = logger("agent");
  // Whatever way the run ends, what it added to the conversation is kept.
  struct SaveOnExit {
    Agent* agent;
    ~SaveOnExit() { agent->save(); }
  } save_on_exit{this};

  for (std::uint64_t iteration = 1; iteration <= max_iterations_; ++iteration) {
    if (stop_flag_.load()) co_return std::string(kStopped);
    log.info("Agent loop iteration {}", iteration);

    // Arguments are built as named values first: g++ 12 mishandles temporaries inside a co_await expression.
    auto history = history_copy(task_id);
    auto definitions = tools_->definitions();
    auto request = llm_->chat(std::move(history), std::move(definitions));
    auto reply = co_await unless_stopped(std::move(request), stop_flag_);
    if (!reply) co_return std::string(kStopped);
    if (!reply->ok()) co_return reply->error();
    AssistantResponse response = std::move(reply->value());

    if (response.reasoning_content && !response.reasoning_content->empty())
      *out_ << "[Reasoning] " << utf8_prefix(*response.reasoning_content, 200) << "...\n" << std::flush;

    std::vector<ToolCall> calls = response.tool_calls.value_or(std::vector<ToolCall>{});
    if (calls.empty() && response.content)
      calls = tool_calls_from_text(*response.content, [this](const std::string& n) { return tools_->get(n) != nullptr; });

    if (!calls.empty()) {
      AssistantMessage turn{response.content, calls, std::nullopt};
      if (keep_reasoning_) turn.reasoning_content = response.reasoning_content;
      push(task_id, std::move(turn));

      for (std::size_t i = 0; i < calls.size(); ++i) {
        const ToolCall& call = calls[i];
        *out_ << "[Tool] " << call.function.name << " (" << truncate_str(call.function.arguments, 100) << ")\n"
              << std::flush;
        auto execution = tools_->execute(call);
        auto result = co_await std::move(execution);
        if (!result) {
          const std::string text = "Tool error: " + result.error().message;
          *out_ << "[Error] " << text << "\n" << std::flush;
          push(task_id, ToolMessage{call.id, text});
          if (++failures_ > 2) {
            const std::string abort = fmt::format("连续 {} 个工具执行失败，已中断。最后一个失败原因：{}", 3,
                                                  truncate_str(result.error().message, 160));
            *err_ << "[Abort] " << abort << "\n" << std::flush;
            for (std::size_t j = i + 1; j < calls.size(); ++j) push(task_id, ToolMessage{calls[j].id, kNotExecuted});
            co_return "⛔ " + abort;
          }
          continue;
        }
        failures_ = 0;
        *out_ << "[Result] " << result_preview(result->text) << "\n" << std::flush;
        push(task_id, ToolMessage{call.id, truncate_for_context(result->text)});
      }
      continue;
    }

    if (response.content && !is_blank(*response.content)) {
      std::string answer = unwrap_answer(*response.content);
      push(task_id, AssistantMessage{answer, std::nullopt, std::nullopt});
      co_return answer;
    }
    co_return std::string(kReasoningOnly);
  }
  co_return fmt::format("Reached maximum iterations ({}) without completing the task.", max_iterations_);
}

}  // namespace pelmox
