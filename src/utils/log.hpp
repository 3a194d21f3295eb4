#pragma once
// Levelled logging with targets "pelmox::<module>". Lines go to standard output; a filter of directives such as
// "info,pelmox::agent=debug" chooses the level per target, a target selecting its children.
//
// Line layout: "2026-12-11T15:00:00.123456Z  INFO pelmox::agent: message" (UTC, level right-aligned in five).
//
// Thread-safety: loggers may be used from any thread; init_logging runs once at start-up before other threads.
// Each logger keeps the level it was given when created (or when init_logging ran), so a disabled line costs one
// comparison.

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <spdlog/spdlog.h>

namespace pelmox {

// A parsed filter: comma-separated directives, each "level", "target" or "target=level"; levels are trace,
// debug, info, warn, error and off, in any letter case. A bare target enables every level for it.
struct LogFilter {
  std::optional<spdlog::level::level_enum> default_level;  // from a bare level; none: unmatched targets are off
  std::vector<std::pair<std::string, spdlog::level::level_enum>> targets;

  // The level of the most specific directive that selects `target` (itself or a parent: "pelmox" selects
  // "pelmox::agent"), else the default level, else off.
  spdlog::level::level_enum level_for(std::string_view target) const;
};

// None when any directive is invalid or there are none at all.
std::optional<LogFilter> parse_log_filter(std::string_view text);

struct LogSettings {
  bool verbose = false;                    // default level debug instead of info
  std::optional<std::string> filter;       // the PELMOX_LOG value, when set; ignored when it does not parse
  bool color = true;                       // false when NO_COLOR is set and non-empty
};

// The filter in force for these settings: the parsed filter, else "debug" (verbose) or "info".
LogFilter effective_log_filter(const LogSettings& settings);

// Installs the settings; loggers created earlier are given the new levels. Before it, loggers log at info.
void init_logging(const LogSettings& settings);

// The logger of one module, e.g. logger("agent") logs under the target "pelmox::agent". Created on first use;
// the reference stays valid for the life of the process.
spdlog::logger& logger(std::string_view module);

}  // namespace pelmox
