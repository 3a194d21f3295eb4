// The pelmox executable: command line, logging, configuration, the shared services and the agent, then exactly
// one mode.

#include <iostream>

#include "agent/agent.hpp"
#include "llm/providers.hpp"
#include "main/cli.hpp"
#include "main/startup.hpp"
#include "main/terminal.hpp"
#include "runtime/runtime.hpp"
#include "tools/registry.hpp"
#include "utils/log.hpp"

namespace pelmox {
namespace {

std::shared_ptr<Agent> build_agent(const Startup& s) {
  const Config& c = s.config;
  std::optional<std::vector<std::string>> allowed;
  if (!c.tools.allowed_workdirs.empty()) allowed = c.tools.allowed_workdirs;
  auto tools = ToolRegistry::with_builtins(c.tools.enable_shell, c.tools.enable_file_write, c.tools.tool_timeout,
                                           std::move(allowed));
  // The start-up client is the selected provider's ([llm].default_provider), else the [llm] model's.
  auto providers = build_providers(c.llm);
  auto agent = std::make_shared<Agent>(std::move(providers.client), std::move(tools),
                                       AgentOptions{c.agent.max_iterations});
  agent->set_autonomy(parse_autonomy(c.agent.autonomy));
  if (c.agent.max_context_tokens) agent->set_budget(*c.agent.max_context_tokens);
  agent->set_keep_reasoning(c.agent.keep_reasoning_in_context);
  agent->set_task_timeout(s.task_time_limit);
  return agent;
}

awaitable<int> start(Cli cli, EnvLookup env) {
  auto settled = settle_startup(cli, env);
  if (!settled) {
    std::cerr << "Error: " << settled.error().message << "\n";
    co_return 1;
  }
  Startup startup = std::move(settled.value());
  if (startup.mode == Mode::service) {
    std::cerr << "Error: the web service is not part of this build yet; use --task or --cli\n";
    co_return 1;
  }
  auto agent = build_agent(startup);
  if (startup.mode == Mode::single_task) {
    std::string task = *cli.task;
    co_await run_single_task(*agent, std::move(task), std::cout, std::cerr);
    co_return 0;
  }
  auto status = co_await run_terminal(*agent, std::cin, std::cout, std::cerr);
  if (!status) {
    std::cerr << "Error: " << status.error().message << "\n";
    co_return 1;
  }
  co_return 0;
}

}  // namespace
}  // namespace pelmox

int main(int argc, char** argv) {
  auto parsed = pelmox::parse_cli(argc, argv);
  if (auto* status = std::get_if<int>(&parsed)) return *status;
  auto cli = std::get<pelmox::Cli>(std::move(parsed));
  auto env = pelmox::process_env();
  pelmox::init_logging(pelmox::log_settings(cli, env));
  pelmox::Runtime runtime;
  return runtime.block_on([&] { return pelmox::start(cli, env); });
}
