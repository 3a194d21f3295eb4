#pragma once
// Levelled logging with targets "pelmox::<module>". Lines go to standard output; a filter of directives such as
// "info,pelmox::agent=debug" chooses the level per target, a target selecting its children.
//
// Thread-safety: loggers may be used from any thread; init_logging runs once at start-up before other threads.

#include <optional>
#include <string>
#include <string_view>

#include <spdlog/spdlog.h>

namespace pelmox {

struct LogSettings {
  bool verbose = false;                    // default level debug instead of info
  std::optional<std::string> filter;       // the PELMOX_LOG value, when set; ignored when it does not parse
  bool color = true;                       // false when NO_COLOR is set and non-empty
};

void init_logging(const LogSettings& settings);

// The logger of one module, e.g. logger("agent") logs under the target "pelmox::agent".
spdlog::logger& logger(std::string_view module);

}  // namespace pelmox
