#include "main/startup.hpp"

#include <algorithm>

#include "utils/text.hpp"

namespace pelmox {

namespace {

constexpr std::uint64_t kMinTaskSeconds = 30;

std::optional<std::string> text_var(const EnvLookup& env, const std::string& name) {
  auto value = env(name);
  if (value && !is_valid_utf8(*value)) return std::nullopt;
  return value;
}

}  // namespace

LogSettings log_settings(const Cli& cli, const EnvLookup& env) {
  LogSettings s;
  s.verbose = cli.verbose;
  s.filter = env(kLogFilterVar);
  const auto no_color = env("NO_COLOR");
  s.color = !(no_color && !no_color->empty());
  return s;
}

Mode choose_mode(const Cli& cli) {
  if (cli.task) return Mode::single_task;
  if (cli.cli) return Mode::interactive;
  return Mode::service;
}

std::chrono::seconds task_time_limit(const AgentConfig& agent) {
  // Clamp before converting: a huge configured value must not overflow the duration's representation.
  const auto max_secs = static_cast<std::uint64_t>(std::chrono::seconds::max().count());
  const std::uint64_t secs = std::min(std::max(agent.task_timeout_secs, kMinTaskSeconds), max_secs);
  return std::chrono::seconds(static_cast<std::chrono::seconds::rep>(secs));
}

void settle_api_key(LlmConfig& llm, const Cli& cli, const EnvLookup& env) {
  if (cli.api_key) {
    llm.api_key = *cli.api_key;
    return;
  }
  if (!llm.api_key.empty()) return;
  if (auto key = text_var(env, "OPENAI_API_KEY")) {
    llm.api_key = std::move(*key);
  } else if (auto fallback = text_var(env, "PELMOX_API_KEY")) {
    llm.api_key = std::move(*fallback);
  }
}

void apply_overrides(Config& config, const Cli& cli, const EnvLookup& env) {
  resolve_env_refs(config, env);
  settle_api_key(config.llm, cli, env);
  if (cli.model) config.llm.model = *cli.model;
  if (cli.api_base) config.llm.api_base = *cli.api_base;
  if (cli.port) config.server.port = *cli.port;
  if (cli.autonomy) config.agent.autonomy = *cli.autonomy;
}

Result<Startup> settle_startup(const Cli& cli, const EnvLookup& env) {
  std::optional<std::filesystem::path> home;
  if (auto h = text_var(env, "HOME"); h && !h->empty()) home = std::filesystem::path(*h);
  auto loaded = load_config(cli.config, home);
  if (!loaded) return loaded.error();

  Startup s;
  s.config = std::move(loaded->config);
  s.config_source = std::move(loaded->source);
  apply_overrides(s.config, cli, env);
  s.config_path = cli.config.value_or("config.toml");
  s.mode = choose_mode(cli);
  s.task_time_limit = task_time_limit(s.config.agent);
  return s;
}

}  // namespace pelmox
