#pragma once
// The engine that carries one user request to an answer: it appends the request to a task's history, asks the
// model, runs the tool calls it asks for, feeds the results back and repeats until a final answer or a limit.
//
// This header holds the agent object and the plain run used by the terminal modes (progress printed, answer
// returned). Thread-safety: one run at a time per agent — callers hold it exclusively for a run; request_stop may
// be called from anywhere.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "agent/autonomy.hpp"
#include "llm/model_client.hpp"
#include "memory/task_store.hpp"
#include "tools/registry.hpp"

namespace pelmox {

struct AgentOptions {
  std::uint64_t max_iterations = 25;
  std::string task_file = ".pelmox_tasks.json";
};

class Agent {
 public:
  // Builds the system prompt from `tools`, hands it to the task store and loads the store from its file.
  Agent(ModelClientPtr llm, std::shared_ptr<ToolRegistry> tools, AgentOptions options = {});

  void set_autonomy(Autonomy a) { autonomy_ = a; }
  Autonomy autonomy() const { return autonomy_; }
  void set_keep_reasoning(bool keep) { keep_reasoning_ = keep; }
  // At least 30 seconds; smaller values are raised.
  void set_task_timeout(std::chrono::seconds limit);
  std::chrono::seconds task_timeout() const { return task_timeout_; }
  // The context budget of every conversation, pruning each.
  void set_budget(std::uint64_t tokens);
  // Where the plain run prints its progress (standard output and error unless changed).
  void set_output(std::ostream& out, std::ostream& err) {
    out_ = &out;
    err_ = &err;
  }

  // The plain run: the answer text (stop, abort and limit texts included), or the model's error.
  awaitable<Result<std::string>> run(std::string user_text);
  void request_stop() { stop_flag_.store(true); }

  // Empties the active task's conversation (the system prompt comes back) and forgets its repeated-call record.
  void clear_active();

  const std::string& system_prompt() const { return system_prompt_; }
  // The task store, for callers holding the agent exclusively (tests, the terminal front end).
  TaskStore& tasks() { return store_; }
  std::mutex& tasks_mutex() { return store_mu_; }

 private:
  std::vector<Message> history_copy(const std::string& task_id);
  void push(const std::string& task_id, Message m);
  void save();

  ModelClientPtr llm_;
  std::shared_ptr<ToolRegistry> tools_;
  std::uint64_t max_iterations_;
  std::string system_prompt_;

  std::mutex store_mu_;  // held for single operations only, never across a wait
  TaskStore store_;

  std::atomic<bool> stop_flag_{false};
  Autonomy autonomy_ = Autonomy::supervised;
  bool keep_reasoning_ = false;
  std::chrono::seconds task_timeout_{600};
  std::uint64_t failures_ = 0;

  std::ostream* out_;
  std::ostream* err_;
};

}  // namespace pelmox
