#pragma once
// The tools of one agent by name: their definitions for each model request, and the execution of a model's
// tool call under the per-call time limit.
//
// Thread-safety: filled during start-up, read-only afterwards; execute may run concurrently.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/tool.hpp"

namespace pelmox {

class ToolRegistry {
 public:
  explicit ToolRegistry(std::uint64_t timeout_secs);

  // read_file, list_directory, search_files, search_content and create_plan always; write_file and
  // run_command as enabled.
  static std::shared_ptr<ToolRegistry> with_builtins(bool enable_shell, bool enable_file_write,
                                                     std::uint64_t timeout_secs,
                                                     std::optional<std::vector<std::string>> allowed_workdirs);

  // Replaces a tool registered under the same name.
  void register_tool(ToolPtr tool);
  ToolPtr get(const std::string& name) const;
  std::vector<ApiTool> definitions() const;
  std::size_t size() const { return tools_.size(); }
  std::uint64_t timeout_secs() const { return timeout_secs_; }

  // Errors: "Tool not found: {}", "Invalid tool arguments '{}': {}", "Tool '{}' timed out after {}s", or the
  // tool's own. A call that runs out of time is abandoned, not waited for.
  awaitable<Result<ToolOutput>> execute(const ToolCall& call) const;

 private:
  std::map<std::string, ToolPtr> tools_;
  std::uint64_t timeout_secs_;
};

}  // namespace pelmox
