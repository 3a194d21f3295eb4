#pragma once
// The command line of the pelmox executable.

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <variant>

namespace pelmox {

struct Cli {
  std::optional<std::string> config;    // -c, --config <CONFIG>
  std::optional<std::string> api_key;   // -k, --api-key <API_KEY>
  std::optional<std::string> model;     // -m, --model <MODEL>
  std::optional<std::string> api_base;  // -u, --api-base <API_BASE>
  std::optional<std::string> task;      // --task <TASK>
  bool cli = false;                     // --cli
  std::optional<std::uint16_t> port;    // --port <PORT>
  std::optional<std::string> autonomy;  // --autonomy <AUTONOMY>
  bool verbose = false;                 // --verbose
};

// The help page printed by -h/--help.
std::string cli_help();
// "pelmox 0.3.0", printed by -V/--version.
std::string cli_version();

// Parses argv (argv[0] is the program). Returns the Cli, or the exit status once help or version has been
// printed on `out` (0) or a usage error on `err` (2). Cheap: nothing is done before parsing.
std::variant<Cli, int> parse_cli(int argc, const char* const* argv, std::ostream& out, std::ostream& err);
// The same on standard output and standard error.
std::variant<Cli, int> parse_cli(int argc, const char* const* argv);

}  // namespace pelmox
