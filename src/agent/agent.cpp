#include "agent/agent.hpp"

#include <iostream>

#include "agent/system_prompt.hpp"

namespace pelmox {

Agent::Agent(ModelClientPtr llm, std::shared_ptr<ToolRegistry> tools, AgentOptions options)
    : llm_(std::move(llm)),
      tools_(std::move(tools)),
      max_iterations_(options.max_iterations),
      system_prompt_(build_system_prompt(*tools_)),
      store_(std::move(options.task_file)),
      out_(&std::cout),
      err_(&std::cerr) {
  store_.set_system_prompt(system_prompt_);
  store_.load();
}

void Agent::set_task_timeout(std::chrono::seconds limit) {
  task_timeout_ = std::max(limit, std::chrono::seconds(30));
}

void Agent::set_budget(std::uint64_t tokens) {
  std::lock_guard lock(store_mu_);
  store_.set_budget(tokens);
}

void Agent::clear_active() {
  std::lock_guard lock(store_mu_);
  const std::string id = store_.active_id();
  if (!id.empty()) store_.clear(id);
}

std::vector<Message> Agent::history_copy(const std::string& task_id) {
  std::lock_guard lock(store_mu_);
  const Task* task = store_.find(task_id);
  return task ? task->context.messages() : std::vector<Message>{};
}

void Agent::push(const std::string& task_id, Message m) {
  std::lock_guard lock(store_mu_);
  if (Task* task = store_.find(task_id)) task->context.push(std::move(m));
}

void Agent::save() {
  std::lock_guard lock(store_mu_);
  store_.persist();
}

}  // namespace pelmox
