#pragma once
// Named conversations with their own workspaces, the active one, and their persistence in one JSON file
// (".pelmox_tasks.json" in the working directory) rewritten atomically after every change.
//
// Thread-safety: none of its own. Its owner holds one lock around each operation and never across a wait.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "memory/context_manager.hpp"

namespace pelmox {

struct Task {
  std::string id;
  std::string name;
  std::uint64_t created_at = 0;
  ContextManager context;
  std::optional<std::string> workspace;
};

// The title a message gives a task: white space collapsed, "新对话" when empty, cut to `max_chars` characters
// followed by "…".
std::string title_from_message(const std::string& message, std::size_t max_chars = 40);

class TaskStore {
 public:
  explicit TaskStore(std::string path = ".pelmox_tasks.json");

  // Put at the start of every new or cleared conversation.
  void set_system_prompt(std::string prompt) { system_prompt_ = std::move(prompt); }
  const std::string& system_prompt() const { return system_prompt_; }
  // The budget new conversations get; set_budget also applies it to every task and prunes.
  void set_budget(std::uint64_t n);
  std::uint64_t budget() const { return budget_; }

  // Reads the file, replacing what the store held. A missing file gives an empty store; an unreadable or
  // corrupt one is renamed to "<path>.bak-<seconds>" and the store starts empty.
  void load();
  // Rewrites the file atomically; a failure is logged and the in-memory store kept.
  void persist();

  // Adds a task and makes it active; returns its id. A new UUID is used when `id` is none, empty or already
  // taken. Name trimmed ("未命名任务" when blank); workspace trimmed, else ~/.pelmox/<local date>, and that
  // directory is created (a failure is logged; the task keeps the workspace).
  std::string create_task(std::optional<std::string> id, const std::string& name, std::optional<std::string> workspace);
  std::string get_or_create(const std::string& task_id, const std::string& message);
  std::string ensure_active(const std::string& fallback_title_source);

  bool switch_to(const std::string& id);
  bool rename(const std::string& id, const std::string& name);
  bool remove(const std::string& id);
  bool set_workspace(const std::optional<std::string>& workspace);
  // Empties the task's conversation and puts the system prompt back; false when the task does not exist.
  bool clear(const std::string& id);

  Task* find(const std::string& id);
  const Task* find(const std::string& id) const;
  const std::string& active_id() const { return active_id_; }
  const std::vector<std::string>& order() const { return order_; }
  json summaries() const;

  // The document as written to the file.
  ordered_json to_json() const;

 private:
  void ensure_system_prompt(Task& task);

  std::string path_;
  std::string system_prompt_;
  std::uint64_t budget_ = kDefaultContextBudget;
  std::map<std::string, Task> tasks_;
  std::vector<std::string> order_;
  std::string active_id_;
};

}  // namespace pelmox
