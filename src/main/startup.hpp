#pragma once
// Settling the configuration at start-up: from the command line and the environment to the final Config, the
// mode to run and the task time limit. The environment is read only through an EnvLookup, so everything here is
// a pure function of its inputs.

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

#include "config/config.hpp"
#include "main/cli.hpp"
#include "utils/log.hpp"
#include "utils/result.hpp"

namespace pelmox {

// The variable holding log filter directives.
inline constexpr const char* kLogFilterVar = "PELMOX_LOG";

enum class Mode { single_task, interactive, service };

struct Startup {
  Config config;                                       // final: nothing changes it afterwards
  std::string config_path;                             // where choices are written back: --config or "config.toml"
  std::optional<std::filesystem::path> config_source;  // the file actually read; none for the built-in one
  Mode mode = Mode::service;
  std::chrono::seconds task_time_limit{600};
};

// Logging settings from --verbose, PELMOX_LOG and NO_COLOR (set and non-empty turns colour off).
LogSettings log_settings(const Cli& cli, const EnvLookup& env);

// --task wins over --cli; neither means service mode.
Mode choose_mode(const Cli& cli);

// task_timeout_secs, raised to 30 when smaller.
std::chrono::seconds task_time_limit(const AgentConfig& agent);

// The API key: --api-key (even empty) wins; else the configured key when non-empty; else OPENAI_API_KEY when
// set (even empty); else PELMOX_API_KEY when set; else empty. A variable that is not valid UTF-8 counts as unset.
void settle_api_key(LlmConfig& llm, const Cli& cli, const EnvLookup& env);

// On a freshly loaded configuration: environment references, the API key, then --model, --api-base, --port and
// --autonomy (top-level [llm] only; provider entries are left alone).
void apply_overrides(Config& config, const Cli& cli, const EnvLookup& env);

// Loads the configuration (the --config file, else the search list under HOME, else the built-in one) and
// settles it. Errors are the fatal start-up texts ("Failed to read config '{}': {}", "Failed to parse config: {}").
Result<Startup> settle_startup(const Cli& cli, const EnvLookup& env);

}  // namespace pelmox
