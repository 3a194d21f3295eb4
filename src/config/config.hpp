#pragma once
// The configuration record read once from config.toml at start-up, its parser and the search for the file.
// After start-up has applied its overrides the record is read-only; several threads may read it at once.
//
// Sections left out of the file take the defaults below, exactly as if they were present and empty.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "utils/result.hpp"

namespace pelmox {

struct ProviderConfig {
  std::optional<std::string> name;  // display name
  std::string api_base;             // required in the file
  std::string api_key;              // "${NAME}" allowed
  std::string model;                // required in the file
  double temperature = 0.7;
  std::uint32_t max_tokens = 4096;
  std::optional<std::uint32_t> num_ctx;
  std::optional<std::uint32_t> max_thinking_length;
  bool enable_thinking = false;
  bool native_ollama = false;
};

struct LlmConfig {
  std::string api_base;
  std::string api_key;  // "${NAME}" allowed
  std::string model;
  double temperature = 0.7;
  std::uint32_t max_tokens = 4096;
  std::optional<std::uint32_t> num_ctx;
  std::map<std::string, ProviderConfig> providers;  // keyed (and ordered) by provider id
  std::optional<std::string> default_provider;
};

struct AgentConfig {
  std::uint64_t max_iterations = 25;
  std::string autonomy = "supervised";
  std::optional<std::uint64_t> max_context_tokens;
  bool keep_reasoning_in_context = false;
  std::uint64_t task_timeout_secs = 600;
};

struct ToolsConfig {
  bool enable_shell = true;
  bool enable_file_write = true;
  std::uint64_t tool_timeout = 60;
  std::vector<std::string> allowed_workdirs;  // empty: no restriction
};

struct WebUser {
  std::string name;
  std::string password;
};

struct ServerConfig {
  std::string host = "127.0.0.1";
  std::uint16_t port = 7878;
  bool auto_open_browser = true;
  std::optional<std::string> web_password;
  bool enable_web_auth = true;
  std::vector<WebUser> web_users;
};

struct WeChatWorkConfig {
  bool enable = false;
  std::string corp_id;
  std::int64_t agent_id = 0;
  std::string secret;            // "${NAME}" allowed
  std::string token;             // "${NAME}" allowed
  std::string encoding_aes_key;  // "${NAME}" allowed
};

struct ToviraConfig {
  std::string base_api;  // empty or blank: no knowledge base
  std::string api_key;   // "${NAME}" allowed
  bool enable_presearch = true;
};

struct McpServerConfig {
  std::string transport = "stdio";
  std::string command;
  std::vector<std::string> args;
  std::map<std::string, std::string> env;
  std::optional<std::string> url;
};

struct PluginsConfig {
  std::optional<std::string> dir;  // absent: no plugin directory
};

struct SkillDef {
  std::string name;
  std::string description;
  std::string prompt;
};

struct Config {
  LlmConfig llm;
  AgentConfig agent;
  ToolsConfig tools;
  ServerConfig server;
  WeChatWorkConfig wechat_work;
  ToviraConfig tovira;
  std::map<std::string, McpServerConfig> mcp_servers;  // keyed (and ordered) by server name
  PluginsConfig plugins;
  std::vector<SkillDef> skills;
};

// The configuration used when no file is found: every default, with the public OpenAI endpoint and "gpt-4o".
Config builtin_config();

// Parses config.toml text. The error is the parser's message: it names the offending key (or gives the
// line and column of a syntax error). Unknown keys are ignored.
Result<Config> parse_config(std::string_view text);

struct LoadedConfig {
  Config config;
  std::optional<std::filesystem::path> source;  // the file it came from; none for the built-in configuration
};

// With a path: that file or a fatal error ("Failed to read config '{}': {}", "Failed to parse config: {}").
// Without: the first candidate that exists, reads and parses among ./config.toml,
// <home>/Library/Application Support/pelmox/config.toml and <home>/.pelmox/config.toml (the last two only when
// a home directory is known), else the built-in configuration. Broken candidates are skipped silently; nothing
// is created. Environment references are left as written (see resolve_env_refs).
Result<LoadedConfig> load_config(const std::optional<std::string>& path,
                                 const std::optional<std::filesystem::path>& home);

// Reads one environment variable: none when it is not set. The bytes are returned as they are.
using EnvLookup = std::function<std::optional<std::string>(const std::string& name)>;
// The process environment.
EnvLookup process_env();

// Replaces values of the exact form "${NAME}" (NAME non-empty) by that variable's value in the secret-bearing
// fields only: [llm].api_key, every provider's api_key, [wechat_work] secret, token and encoding_aes_key, and
// [tovira].api_key. A variable that is not set or is not valid UTF-8 yields "".
void resolve_env_refs(Config& config, const EnvLookup& env);

}  // namespace pelmox
