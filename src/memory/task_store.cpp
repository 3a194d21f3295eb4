#include "memory/task_store.hpp"

#include <fmt/format.h>

#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid.hpp>
#include <boost/uuid/uuid_io.hpp>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "utils/atomic_file.hpp"
#include "utils/log.hpp"
#include "utils/paths.hpp"
#include "utils/text.hpp"
#include "utils/time.hpp"

namespace pelmox {

namespace fs = std::filesystem;

namespace {

constexpr const char* kUnnamedTask = "未命名任务";
constexpr const char* kNewTask = "新任务";
constexpr const char* kNewConversation = "新对话";
constexpr const char* kEllipsis = "…";
constexpr std::size_t kActiveTitleChars = 24;
// The task file is our own state, but it is still read from disk: a file far beyond any real store is refused
// rather than pulled into memory.
constexpr std::uintmax_t kMaxStateFileBytes = 256ull * 1024 * 1024;

std::string new_uuid() {
  try {
    boost::uuids::random_generator gen;
    return boost::uuids::to_string(gen());
  } catch (const std::exception&) {
  }
  // The system entropy source failed; std::random_device may still reach another one.
  boost::uuids::uuid u{};
  try {
    std::random_device rd;
    for (std::size_t i = 0; i < u.size(); i += 4) {
      const unsigned v = rd();
      for (std::size_t k = 0; k < 4; ++k) u.data[i + k] = static_cast<std::uint8_t>(v >> (8 * k));
    }
  } catch (const std::exception&) {
    std::seed_seq seq{static_cast<unsigned>(unix_now_secs()),
                      static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(&u))};
    std::mt19937 rng(seq);
    for (auto& b : u.data) b = static_cast<std::uint8_t>(rng());
  }
  u.data[6] = static_cast<std::uint8_t>((u.data[6] & 0x0F) | 0x40);  // version 4
  u.data[8] = static_cast<std::uint8_t>((u.data[8] & 0x3F) | 0x80);  // RFC 4122 variant
  return boost::uuids::to_string(u);
}

// Decodes one code point of valid UTF-8 at `i`, advancing `i`.
char32_t next_code_point(std::string_view s, std::size_t& i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  std::size_t len = b0 < 0x80 ? 1 : b0 < 0xE0 ? 2 : b0 < 0xF0 ? 3 : 4;
  if (i + len > s.size()) len = s.size() - i;
  char32_t cp = len == 1 ? b0 : len == 2 ? (b0 & 0x1F) : len == 3 ? (b0 & 0x0F) : (b0 & 0x07);
  for (std::size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
  i += len;
  return cp;
}

// Unicode White_Space.
bool is_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

Result<std::string> read_state_file(const std::string& path) {
  std::error_code ec;
  const auto st = fs::status(path, ec);
  if (!fs::is_regular_file(st)) return Error("not a regular file");
  const auto size = fs::file_size(path, ec);
  if (ec) return Error(ec.message());
  if (size > kMaxStateFileBytes) return Error(fmt::format("file of {} bytes is larger than allowed", size));
  std::ifstream in(path, std::ios::binary);
  if (!in) return Error(std::strerror(errno));
  std::ostringstream buf;
  buf << in.rdbuf();
  if (in.bad()) return Error("read error");
  return buf.str();
}

struct LoadedState {
  std::string active_id;
  std::vector<Task> tasks;
};

Result<Task> task_from_json(const ordered_json& j) {
  if (!j.is_object()) return Error("invalid type: a task must be an object");
  Task t;
  const auto id = j.find("id");
  if (id == j.end()) return Error("missing field `id`");
  if (!id->is_string()) return Error("invalid type: `id` must be a string");
  t.id = id->get<std::string>();
  const auto name = j.find("name");
  if (name == j.end()) return Error("missing field `name`");
  if (!name->is_string()) return Error("invalid type: `name` must be a string");
  t.name = name->get<std::string>();
  const auto created = j.find("created_at");
  if (created == j.end()) return Error("missing field `created_at`");
  if (!created->is_number_unsigned()) return Error("invalid type: `created_at` must be an unsigned integer");
  t.created_at = created->get<std::uint64_t>();
  const auto ctx = j.find("context");
  if (ctx == j.end()) return Error("missing field `context`");
  auto cm = ContextManager::from_json(*ctx);
  if (!cm) return cm.error();
  t.context = std::move(cm.value());
  if (const auto ws = j.find("workspace"); ws != j.end() && !ws->is_null()) {
    if (!ws->is_string()) return Error("invalid type: `workspace` must be a string or null");
    t.workspace = ws->get<std::string>();
  }
  return t;
}

Result<LoadedState> state_from_text(const std::string& text) {
  ordered_json doc;
  try {
    doc = ordered_json::parse(text);
  } catch (const std::exception& e) {
    return Error(e.what());
  }
  const ordered_json* active = nullptr;
  const ordered_json* tasks = nullptr;
  if (doc.is_object()) {
    const auto a = doc.find("active_task_id");
    if (a == doc.end()) return Error("missing field `active_task_id`");
    const auto t = doc.find("tasks");
    if (t == doc.end()) return Error("missing field `tasks`");
    active = &*a;
    tasks = &*t;
  } else if (doc.is_array()) {
    if (doc.size() != 2) return Error("invalid length: expected 2 elements");
    active = &doc[0];
    tasks = &doc[1];
  } else {
    return Error("invalid type: expected an object or an array of two elements");
  }
  if (!active->is_string()) return Error("invalid type: `active_task_id` must be a string");
  if (!tasks->is_array()) return Error("invalid type: `tasks` must be an array");

  LoadedState st;
  st.active_id = active->get<std::string>();
  st.tasks.reserve(tasks->size());
  for (const auto& tj : *tasks) {
    auto t = task_from_json(tj);
    if (!t) return t.error();
    st.tasks.push_back(std::move(t.value()));
  }
  return st;
}

}  // namespace

std::string title_from_message(const std::string& message, std::size_t max_chars) {
  const std::string text = lossy_utf8(message);
  std::string out;
  std::size_t chars = 0;
  std::size_t cut = std::string::npos;  // byte length after `max_chars` characters
  bool pending_space = false;
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t start = i;
    if (is_space(next_code_point(text, i))) {
      pending_space = !out.empty();
      continue;
    }
    if (pending_space) {
      out += ' ';
      if (++chars == max_chars) cut = out.size();
      pending_space = false;
    }
    out.append(text, start, i - start);
    if (++chars == max_chars) cut = out.size();
  }
  if (out.empty()) return kNewConversation;
  if (chars > max_chars) {
    out.resize(cut == std::string::npos ? 0 : cut);
    out += kEllipsis;
  }
  return out;
}

TaskStore::TaskStore(std::string path) : path_(std::move(path)) {}

void TaskStore::set_budget(std::uint64_t n) {
  budget_ = n;
  bool changed = false;
  for (auto& [id, task] : tasks_) {
    const auto before = task.context.messages().size();
    if (task.context.max_tokens() != n) changed = true;
    task.context.set_max_tokens(n);
    task.context.prune();
    if (task.context.messages().size() != before) changed = true;
  }
  if (changed) persist();
}

void TaskStore::load() {
  tasks_.clear();
  order_.clear();
  active_id_.clear();

  std::error_code ec;
  if (fs::status(path_, ec).type() == fs::file_type::not_found) return;

  auto text = read_state_file(path_);
  Result<LoadedState> state = text ? state_from_text(text.value()) : Result<LoadedState>(text.error());
  if (!state) {
    logger("memory").debug("task state {} rejected: {}", path_, state.error().message);
    // Moved aside, never overwritten: the next persist must not destroy what could not be read.
    std::string backup = fmt::format("{}.bak-{}", path_, unix_now_secs());
    for (int k = 1; fs::exists(backup, ec) && k < 1000; ++k) {
      backup = fmt::format("{}.bak-{}.{}", path_, unix_now_secs(), k);
    }
    fs::rename(path_, backup, ec);
    if (ec) {
      logger("memory").warn("task state unreadable and could not be backed up to {}: {}", backup, ec.message());
    } else {
      logger("memory").warn("task state unreadable — backed up to {}", backup);
    }
    return;
  }

  active_id_ = std::move(state->active_id);
  for (auto& t : state->tasks) {
    if (tasks_.count(t.id) != 0) {
      logger("memory").warn("task state lists task {} twice; keeping the first", t.id);
      continue;
    }
    order_.push_back(t.id);
    std::string id = t.id;
    tasks_.emplace(std::move(id), std::move(t));
  }
}

ordered_json TaskStore::to_json() const {
  ordered_json tasks = ordered_json::array();
  for (const auto& id : order_) {
    const Task& t = tasks_.at(id);
    ordered_json tj = ordered_json::object();
    tj["id"] = t.id;
    tj["name"] = t.name;
    tj["created_at"] = t.created_at;
    tj["context"] = t.context.to_json();
    tj["workspace"] = t.workspace ? ordered_json(*t.workspace) : ordered_json(nullptr);
    tasks.push_back(std::move(tj));
  }
  ordered_json doc = ordered_json::object();
  doc["active_task_id"] = active_id_;
  doc["tasks"] = std::move(tasks);
  return doc;
}

void TaskStore::persist() {
  const Status st = write_file_atomic(path_, dump(to_json()));
  if (!st) logger("memory").warn("persist task state failed: {}", st.error().message);
}

void TaskStore::ensure_system_prompt(Task& task) {
  if (task.context.messages().empty() && !system_prompt_.empty()) task.context.push(SystemMessage{system_prompt_});
}

std::string TaskStore::create_task(std::optional<std::string> id, const std::string& name,
                                   std::optional<std::string> workspace) {
  // An empty id would read as "no active task", and a taken one would overwrite that task's conversation.
  std::string tid = (id && !id->empty() && tasks_.count(*id) == 0) ? std::move(*id) : new_uuid();
  while (tasks_.count(tid) != 0) tid = new_uuid();

  Task t;
  t.id = tid;
  const std::string_view trimmed = trim(name);
  t.name = trimmed.empty() ? std::string(kUnnamedTask) : std::string(trimmed);
  t.created_at = unix_now_secs();
  t.context = ContextManager(budget_);
  if (workspace && !is_blank(*workspace)) {
    t.workspace = std::string(trim(*workspace));
  } else if (const auto home = home_dir(); home && !home->empty()) {
    t.workspace = (fs::path(*home) / ".pelmox" / local_date()).string();
  }
  const std::optional<std::string> dir = t.workspace;

  auto [it, inserted] = tasks_.emplace(tid, std::move(t));
  order_.push_back(tid);
  active_id_ = tid;
  ensure_system_prompt(it->second);
  persist();

  if (dir) {
    std::error_code ec;
    fs::create_directories(*dir, ec);
    if (!ec && !fs::is_directory(*dir, ec)) ec = std::make_error_code(std::errc::not_a_directory);
    if (ec) logger("memory").warn("failed to create default workspace dir {}: {}", *dir, ec.message());
  }
  return tid;
}

std::string TaskStore::get_or_create(const std::string& task_id, const std::string& message) {
  if (task_id.empty()) return ensure_active(message);
  if (Task* t = find(task_id)) {
    if ((t->name == kNewTask || t->name == kUnnamedTask) && !is_blank(message)) {
      t->name = title_from_message(message);
      persist();
    }
    return task_id;
  }
  return create_task(task_id, title_from_message(message), std::nullopt);
}

std::string TaskStore::ensure_active(const std::string& fallback_title_source) {
  if (!active_id_.empty() && tasks_.count(active_id_) != 0) return active_id_;
  return create_task(new_uuid(), title_from_message(fallback_title_source, kActiveTitleChars), std::nullopt);
}

bool TaskStore::switch_to(const std::string& id) {
  if (tasks_.count(id) == 0) return false;
  active_id_ = id;
  persist();
  return true;
}

bool TaskStore::rename(const std::string& id, const std::string& name) {
  Task* t = find(id);
  if (t == nullptr) return false;
  t->name = name;
  persist();
  return true;
}

bool TaskStore::remove(const std::string& id) {
  if (tasks_.erase(id) == 0) return false;
  std::erase(order_, id);
  if (active_id_ == id) active_id_ = order_.empty() ? std::string() : order_.back();
  persist();
  return true;
}

bool TaskStore::set_workspace(const std::optional<std::string>& workspace) {
  Task* t = find(active_id_);
  if (active_id_.empty() || t == nullptr) return false;
  if (workspace && !is_blank(*workspace)) {
    t->workspace = std::string(trim(*workspace));
  } else {
    t->workspace.reset();
  }
  persist();
  return true;
}

bool TaskStore::clear(const std::string& id) {
  Task* t = find(id);
  if (t == nullptr) return false;
  t->context.clear();
  ensure_system_prompt(*t);
  persist();
  return true;
}

Task* TaskStore::find(const std::string& id) {
  const auto it = tasks_.find(id);
  return it == tasks_.end() ? nullptr : &it->second;
}

const Task* TaskStore::find(const std::string& id) const {
  const auto it = tasks_.find(id);
  return it == tasks_.end() ? nullptr : &it->second;
}

json TaskStore::summaries() const {
  json out = json::array();
  for (const auto& id : order_) {
    const Task& t = tasks_.at(id);
    json s = json::object();
    s["active"] = id == active_id_;
    s["created_at"] = t.created_at;
    s["history"] = history_view(t.context);
    s["id"] = t.id;
    s["messages"] = t.context.messages().size();
    s["name"] = t.name;
    s["workspace"] = t.workspace ? json(*t.workspace) : json(nullptr);
    out.push_back(std::move(s));
  }
  return out;
}

}  // namespace pelmox
