#include "tools/registry.hpp"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <exception>
#include <utility>

#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/steady_timer.hpp>

#include <fmt/format.h>

#include "tools/builtin/builtins.hpp"

namespace pelmox {
namespace {

// A tool's failure to keep its own contract must not take the caller down with it.
awaitable<Result<ToolOutput>> guarded(ToolPtr tool, json args) {
  try {
    // Operands of co_await are named first: g++ 12 destroys temporaries there twice.
    auto call = tool->execute(std::move(args));
    co_return co_await std::move(call);
  } catch (const std::exception& e) {
    co_return Error(e.what());
  } catch (...) {
    co_return Error("tool failed");
  }
}

std::chrono::steady_clock::duration call_limit(std::uint64_t secs) {
  // Far beyond any real limit, yet small enough that the timer's deadline cannot overflow.
  constexpr std::uint64_t kMaxSecs = 100ULL * 365 * 24 * 3600;
  return std::chrono::seconds(static_cast<std::int64_t>(std::min(secs, kMaxSecs)));
}

}  // namespace

ToolRegistry::ToolRegistry(std::uint64_t timeout_secs) : timeout_secs_(timeout_secs) {}

std::shared_ptr<ToolRegistry> ToolRegistry::with_builtins(bool enable_shell, bool enable_file_write,
                                                          std::uint64_t timeout_secs,
                                                          std::optional<std::vector<std::string>> allowed_workdirs) {
  auto registry = std::make_shared<ToolRegistry>(timeout_secs);
  registry->register_tool(make_read_file_tool());
  registry->register_tool(make_list_directory_tool());
  registry->register_tool(make_search_files_tool());
  registry->register_tool(make_search_content_tool());
  registry->register_tool(make_create_plan_tool());
  if (enable_file_write) registry->register_tool(make_write_file_tool());
  if (enable_shell) registry->register_tool(make_run_command_tool(std::move(allowed_workdirs)));
  return registry;
}

void ToolRegistry::register_tool(ToolPtr tool) {
  if (!tool) return;
  auto name = tool->name();
  tools_[std::move(name)] = std::move(tool);
}

ToolPtr ToolRegistry::get(const std::string& name) const {
  auto it = tools_.find(name);
  return it == tools_.end() ? nullptr : it->second;
}

std::vector<ApiTool> ToolRegistry::definitions() const {
  std::vector<ApiTool> defs;
  defs.reserve(tools_.size());
  for (const auto& [name, tool] : tools_) defs.push_back(tool->definition());
  return defs;
}

awaitable<Result<ToolOutput>> ToolRegistry::execute(const ToolCall& call) const {
  const std::string name = call.function.name;
  const std::string arguments = call.function.arguments;
  ToolPtr tool = get(name);
  if (!tool) co_return Error(fmt::format("Tool not found: {}", name));

  json args = json::object();
  if (!arguments.empty()) {
    try {
      args = json::parse(arguments);
    } catch (const std::exception& e) {
      co_return Error(fmt::format("Invalid tool arguments '{}': {}", arguments, e.what()));
    }
  }

  // The call is abandoned, not waited for, when the limit passes or when this call itself is cancelled (its
  // caller stopped); the call holds its own reference to the tool.
  try {
    auto running = guarded(std::move(tool), std::move(args));
    auto result = co_await with_time_limit(std::move(running), call_limit(timeout_secs_));
    if (!result) co_return Error(fmt::format("Tool '{}' timed out after {}s", name, timeout_secs_));
    co_return std::move(*result);
  } catch (const std::exception& e) {
    co_return Error(e.what());
  }
}

}  // namespace pelmox
