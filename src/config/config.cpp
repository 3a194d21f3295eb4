#include "config/config.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <toml++/toml.h>

#include "utils/text.hpp"

namespace pelmox {

namespace {

// A configuration file is a few kilobytes; anything past this is not one and is not read into memory.
constexpr std::size_t kMaxConfigBytes = 4 * 1024 * 1024;

std::string where(const toml::node& node) {
  const auto& begin = node.source().begin;
  if (begin.line == 0) return "";
  return " at line " + std::to_string(begin.line) + ", column " + std::to_string(begin.column);
}

std::string kind_of(const toml::node& node) {
  switch (node.type()) {
    case toml::node_type::table: return "a table";
    case toml::node_type::array: return "an array";
    case toml::node_type::string: return "a string";
    case toml::node_type::integer: return "an integer";
    case toml::node_type::floating_point: return "a float";
    case toml::node_type::boolean: return "a boolean";
    case toml::node_type::date: return "a date";
    case toml::node_type::time: return "a time";
    case toml::node_type::date_time: return "a date-time";
    default: return "nothing";
  }
}

// Reads the keys of one table into a record. The first problem found is kept and every later read is skipped,
// so a section can be read as a straight list of fields and checked once at the end.
class Fields {
 public:
  Fields(const toml::table& table, std::string context, std::optional<std::string>& error)
      : table_(table), context_(std::move(context)), error_(error) {}

  void text(std::string_view key, std::string& out) {
    if (const toml::node* n = find(key)) read_text(key, *n, out);
  }
  void required_text(std::string_view key, std::string& out) {
    if (error_) return;
    if (const toml::node* n = table_.get(key)) {
      read_text(key, *n, out);
    } else {
      missing(key);
    }
  }
  void optional_text(std::string_view key, std::optional<std::string>& out) {
    if (const toml::node* n = find(key)) {
      std::string value;
      if (read_text(key, *n, value)) out = std::move(value);
    }
  }
  void boolean(std::string_view key, bool& out) {
    const toml::node* n = find(key);
    if (!n) return;
    if (const auto* b = n->as_boolean()) {
      out = b->get();
    } else {
      wrong_type(key, *n, "a boolean");
    }
  }
  void floating(std::string_view key, double& out) {
    const toml::node* n = find(key);
    if (!n) return;
    // A user writing `temperature = 1` means 1.0.
    if (const auto* f = n->as_floating_point()) {
      out = f->get();
    } else if (const auto* i = n->as_integer()) {
      out = static_cast<double>(i->get());
    } else {
      wrong_type(key, *n, "a float");
    }
  }
  template <class U>
  void unsigned_int(std::string_view key, U& out) {
    if (const toml::node* n = find(key)) read_unsigned(key, *n, out);
  }
  template <class U>
  void optional_unsigned(std::string_view key, std::optional<U>& out) {
    if (const toml::node* n = find(key)) {
      U value{};
      if (read_unsigned(key, *n, value)) out = value;
    }
  }
  void signed_int(std::string_view key, std::int64_t& out) {
    const toml::node* n = find(key);
    if (!n) return;
    if (const auto* i = n->as_integer()) {
      out = i->get();
    } else {
      wrong_type(key, *n, "an integer");
    }
  }
  void text_array(std::string_view key, std::vector<std::string>& out) {
    const toml::node* n = find(key);
    if (!n) return;
    const auto* arr = n->as_array();
    if (!arr) return wrong_type(key, *n, "an array of strings");
    std::vector<std::string> values;
    for (std::size_t i = 0; i < arr->size(); ++i) {
      std::string value;
      if (!read_text(std::string(key) + "[" + std::to_string(i) + "]", *arr->get(i), value)) return;
      values.push_back(std::move(value));
    }
    out = std::move(values);
  }
  void text_table(std::string_view key, std::map<std::string, std::string>& out) {
    const toml::node* n = find(key);
    if (!n) return;
    const auto* tbl = n->as_table();
    if (!tbl) return wrong_type(key, *n, "a table of strings");
    std::map<std::string, std::string> values;
    for (const auto& [name, value] : *tbl) {
      std::string text_value;
      if (!read_text(std::string(key) + "." + std::string(name.str()), value, text_value)) return;
      values.emplace(std::string(name.str()), std::move(text_value));
    }
    out = std::move(values);
  }
  // A sub-table, or none when the key is absent (or an error was recorded).
  const toml::table* table(std::string_view key) {
    const toml::node* n = find(key);
    if (!n) return nullptr;
    if (const auto* t = n->as_table()) return t;
    wrong_type(key, *n, "a table");
    return nullptr;
  }
  const toml::array* array_of_tables(std::string_view key) {
    const toml::node* n = find(key);
    if (!n) return nullptr;
    if (const auto* a = n->as_array()) {
      for (std::size_t i = 0; i < a->size(); ++i) {
        if (!a->get(i)->is_table()) {
          wrong_type(std::string(key) + "[" + std::to_string(i) + "]", *a->get(i), "a table");
          return nullptr;
        }
      }
      return a;
    }
    wrong_type(key, *n, "an array of tables");
    return nullptr;
  }

 private:
  const toml::node* find(std::string_view key) const { return error_ ? nullptr : table_.get(key); }

  bool read_text(std::string_view key, const toml::node& n, std::string& out) {
    if (const auto* s = n.as_string()) {
      out = s->get();
      return true;
    }
    wrong_type(key, n, "a string");
    return false;
  }

  template <class U>
  bool read_unsigned(std::string_view key, const toml::node& n, U& out) {
    const auto* i = n.as_integer();
    if (!i) {
      wrong_type(key, n, "an unsigned integer");
      return false;
    }
    const std::int64_t v = i->get();
    if (v < 0) {
      fail("invalid value for `" + std::string(key) + "`: expected an unsigned integer, found " + std::to_string(v) +
           where(n));
      return false;
    }
    if (static_cast<std::uint64_t>(v) > std::numeric_limits<U>::max()) {
      fail("invalid value for `" + std::string(key) + "`: " + std::to_string(v) + " is out of range for a " +
           std::to_string(std::numeric_limits<U>::digits) + "-bit unsigned integer" + where(n));
      return false;
    }
    out = static_cast<U>(v);
    return true;
  }

  void wrong_type(std::string_view key, const toml::node& n, std::string_view expected) {
    fail("invalid type for `" + std::string(key) + "`: expected " + std::string(expected) + ", found " +
         kind_of(n) + where(n));
  }
  void missing(std::string_view key) {
    std::string message = "missing field `" + std::string(key) + "`";
    if (!context_.empty()) message += " in `" + context_ + "`" + where(table_);
    fail(std::move(message));
  }
  void fail(std::string message) {
    if (!error_) error_ = std::move(message);
  }

  const toml::table& table_;
  std::string context_;
  std::optional<std::string>& error_;
};

void read_provider(const toml::table& t, const std::string& id, ProviderConfig& p, std::optional<std::string>& err) {
  Fields f(t, "llm.providers." + id, err);
  f.optional_text("name", p.name);
  f.required_text("api_base", p.api_base);
  f.text("api_key", p.api_key);
  f.required_text("model", p.model);
  f.floating("temperature", p.temperature);
  f.unsigned_int("max_tokens", p.max_tokens);
  f.optional_unsigned("num_ctx", p.num_ctx);
  f.optional_unsigned("max_thinking_length", p.max_thinking_length);
  f.boolean("enable_thinking", p.enable_thinking);
  f.boolean("native_ollama", p.native_ollama);
}

void read_llm(const toml::table& t, LlmConfig& llm, std::optional<std::string>& err) {
  Fields f(t, "llm", err);
  f.text("api_base", llm.api_base);
  f.text("api_key", llm.api_key);
  f.text("model", llm.model);
  f.floating("temperature", llm.temperature);
  f.unsigned_int("max_tokens", llm.max_tokens);
  f.optional_unsigned("num_ctx", llm.num_ctx);
  f.optional_text("default_provider", llm.default_provider);
  if (const toml::table* providers = f.table("providers")) {
    for (const auto& [key, node] : *providers) {
      const std::string id(key.str());
      const toml::table* pt = Fields(*providers, "llm.providers", err).table(id);
      if (!pt) return;
      ProviderConfig p;
      read_provider(*pt, id, p, err);
      if (err) return;
      llm.providers.emplace(id, std::move(p));
    }
  }
}

void read_agent(const toml::table& t, AgentConfig& a, std::optional<std::string>& err) {
  Fields f(t, "agent", err);
  f.unsigned_int("max_iterations", a.max_iterations);
  f.text("autonomy", a.autonomy);
  f.optional_unsigned("max_context_tokens", a.max_context_tokens);
  f.boolean("keep_reasoning_in_context", a.keep_reasoning_in_context);
  f.unsigned_int("task_timeout_secs", a.task_timeout_secs);
}

void read_tools(const toml::table& t, ToolsConfig& tc, std::optional<std::string>& err) {
  Fields f(t, "tools", err);
  f.boolean("enable_shell", tc.enable_shell);
  f.boolean("enable_file_write", tc.enable_file_write);
  f.unsigned_int("tool_timeout", tc.tool_timeout);
  f.text_array("allowed_workdirs", tc.allowed_workdirs);
}

void read_server(const toml::table& t, ServerConfig& s, std::optional<std::string>& err) {
  Fields f(t, "server", err);
  f.text("host", s.host);
  f.unsigned_int("port", s.port);
  f.boolean("auto_open_browser", s.auto_open_browser);
  f.optional_text("web_password", s.web_password);
  f.boolean("enable_web_auth", s.enable_web_auth);
  if (const toml::array* users = f.array_of_tables("web_users")) {
    for (std::size_t i = 0; i < users->size() && !err; ++i) {
      WebUser u;
      Fields uf(*users->get(i)->as_table(), "server.web_users[" + std::to_string(i) + "]", err);
      uf.required_text("name", u.name);
      uf.required_text("password", u.password);
      s.web_users.push_back(std::move(u));
    }
  }
}

void read_wechat_work(const toml::table& t, WeChatWorkConfig& w, std::optional<std::string>& err) {
  Fields f(t, "wechat_work", err);
  f.boolean("enable", w.enable);
  f.text("corp_id", w.corp_id);
  f.signed_int("agent_id", w.agent_id);
  f.text("secret", w.secret);
  f.text("token", w.token);
  f.text("encoding_aes_key", w.encoding_aes_key);
}

void read_tovira(const toml::table& t, ToviraConfig& tv, std::optional<std::string>& err) {
  Fields f(t, "tovira", err);
  f.text("base_api", tv.base_api);
  f.text("api_key", tv.api_key);
  f.boolean("enable_presearch", tv.enable_presearch);
}

void read_mcp_servers(const toml::table& t, std::map<std::string, McpServerConfig>& out,
                      std::optional<std::string>& err) {
  for (const auto& [key, node] : t) {
    const std::string name(key.str());
    const toml::table* st = Fields(t, "mcp_servers", err).table(name);
    if (!st) return;
    McpServerConfig m;
    Fields f(*st, "mcp_servers." + name, err);
    f.text("transport", m.transport);
    f.text("command", m.command);
    f.text_array("args", m.args);
    f.text_table("env", m.env);
    f.optional_text("url", m.url);
    if (err) return;
    out.emplace(name, std::move(m));
  }
}

void read_skills(const toml::array& skills, std::vector<SkillDef>& out, std::optional<std::string>& err) {
  for (std::size_t i = 0; i < skills.size() && !err; ++i) {
    SkillDef s;
    Fields f(*skills.get(i)->as_table(), "skills[" + std::to_string(i) + "]", err);
    f.required_text("name", s.name);
    f.required_text("description", s.description);
    f.required_text("prompt", s.prompt);
    out.push_back(std::move(s));
  }
}

Result<Config> read_config(const toml::table& root) {
  std::optional<std::string> err;
  Config c;
  Fields f(root, "", err);
  const toml::table* llm = f.table("llm");
  if (!llm && !err) return Error("missing field `llm`");
  if (llm) read_llm(*llm, c.llm, err);
  if (const toml::table* t = f.table("agent")) read_agent(*t, c.agent, err);
  if (const toml::table* t = f.table("tools")) read_tools(*t, c.tools, err);
  if (const toml::table* t = f.table("server")) read_server(*t, c.server, err);
  if (const toml::table* t = f.table("wechat_work")) read_wechat_work(*t, c.wechat_work, err);
  if (const toml::table* t = f.table("tovira")) read_tovira(*t, c.tovira, err);
  if (const toml::table* t = f.table("mcp_servers")) read_mcp_servers(*t, c.mcp_servers, err);
  if (const toml::table* t = f.table("plugins")) Fields(*t, "plugins", err).optional_text("dir", c.plugins.dir);
  if (const toml::array* a = f.array_of_tables("skills")) read_skills(*a, c.skills, err);
  if (err) return Error(*err);
  return c;
}

// The whole file as text, or the system's reason why not.
Result<std::string> read_text_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Error(std::strerror(errno));
  std::string text;
  char buf[16384];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int e = errno;
      ::close(fd);
      return Error(std::strerror(e));
    }
    if (n == 0) break;
    if (text.size() + static_cast<std::size_t>(n) > kMaxConfigBytes) {
      ::close(fd);
      return Error("file is larger than " + std::to_string(kMaxConfigBytes / (1024 * 1024)) + " MiB");
    }
    text.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  if (!is_valid_utf8(text)) return Error("file is not valid UTF-8 text");
  return text;
}

void resolve_one(std::string& value, const EnvLookup& env) {
  if (value.size() < 4 || !value.starts_with("${") || !value.ends_with("}")) return;
  const std::string name = value.substr(2, value.size() - 3);
  // A name the environment cannot hold is a variable that is not set.
  std::optional<std::string> v;
  if (name.find('\0') == std::string::npos && name.find('=') == std::string::npos) v = env(name);
  value = (v && is_valid_utf8(*v)) ? std::move(*v) : std::string();
}

}  // namespace

Config builtin_config() {
  Config c;
  c.llm.api_base = "https://api.openai.com/v1";
  c.llm.model = "gpt-4o";
  return c;
}

Result<Config> parse_config(std::string_view text) {
  try {
    const toml::table root = toml::parse(text);
    return read_config(root);
  } catch (const toml::parse_error& e) {
    const auto& begin = e.source().begin;
    std::string message(e.description());
    if (begin.line != 0) {
      message += " at line " + std::to_string(begin.line) + ", column " + std::to_string(begin.column);
    }
    return Error(std::move(message));
  } catch (const std::exception& e) {
    return Error(e.what());
  }
}

Result<LoadedConfig> load_config(const std::optional<std::string>& path,
                                 const std::optional<std::filesystem::path>& home) {
  if (path) {
    auto text = read_text_file(*path);
    if (!text) return Error("Failed to read config '" + *path + "': " + text.error().message);
    auto config = parse_config(*text);
    if (!config) return Error("Failed to parse config: " + config.error().message);
    return LoadedConfig{std::move(*config), std::filesystem::path(*path)};
  }
  std::vector<std::filesystem::path> candidates{"config.toml"};
  if (home && !home->empty()) {
    candidates.push_back(*home / "Library" / "Application Support" / "pelmox" / "config.toml");
    candidates.push_back(*home / ".pelmox" / "config.toml");
  }
  for (const auto& candidate : candidates) {
    auto text = read_text_file(candidate.string());
    if (!text) continue;
    auto config = parse_config(*text);
    if (!config) continue;
    return LoadedConfig{std::move(*config), candidate};
  }
  return LoadedConfig{builtin_config(), std::nullopt};
}

EnvLookup process_env() {
  return [](const std::string& name) -> std::optional<std::string> {
    if (const char* v = std::getenv(name.c_str())) return std::string(v);
    return std::nullopt;
  };
}

void resolve_env_refs(Config& config, const EnvLookup& env) {
  resolve_one(config.llm.api_key, env);
  for (auto& [id, provider] : config.llm.providers) resolve_one(provider.api_key, env);
  resolve_one(config.wechat_work.secret, env);
  resolve_one(config.wechat_work.token, env);
  resolve_one(config.wechat_work.encoding_aes_key, env);
  resolve_one(config.tovira.api_key, env);
}

}  // namespace pelmox
