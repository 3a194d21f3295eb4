#include "main/cli.hpp"

#include <array>
#include <charconv>
#include <iostream>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>

#include "utils/result.hpp"
#include "utils/text.hpp"

namespace pelmox {

namespace {

constexpr std::string_view kAbout =
    "Pelmox — local AI agent with streaming LLM, RAG knowledge base, MCP-ready tools, Web UI";
constexpr std::string_view kUsage = "Usage: pelmox [OPTIONS]";

struct OptionSpec {
  std::string_view short_name;  // "" when none
  std::string_view long_name;
  std::string_view value_name;  // "" for a flag
  std::string_view help;
};

// One table drives both the parser and the help page, so the two cannot drift apart.
enum OptionIndex : std::size_t { kConfig, kApiKey, kModel, kApiBase, kTask, kCliFlag, kPort, kAutonomy, kVerbose };
constexpr std::array<OptionSpec, 11> kOptions{{
    {"-c", "--config", "CONFIG", "Path to config.toml"},
    {"-k", "--api-key", "API_KEY", "LLM API key (overrides config)"},
    {"-m", "--model", "MODEL", "Model name (overrides config)"},
    {"-u", "--api-base", "API_BASE", "API base URL (overrides config)"},
    {"", "--task", "TASK", "Run a single task and exit (CLI mode)"},
    {"", "--cli", "", "Use CLI interactive mode instead of web server"},
    {"", "--port", "PORT", "Port for web server (overrides config)"},
    {"", "--autonomy", "AUTONOMY", "Autonomy level: supervised | autonomous | yolo"},
    {"", "--verbose", "", "Show verbose debug logging"},
    {"-h", "--help", "", "Print help"},
    {"-V", "--version", "", "Print version"},
}};

std::string display_name(const OptionSpec& o) {
  std::string s(o.long_name);
  if (!o.value_name.empty()) s += " <" + std::string(o.value_name) + ">";
  return s;
}

std::string left_column(const OptionSpec& o) {
  std::string s = o.short_name.empty() ? "    " : std::string(o.short_name) + ", ";
  return s + display_name(o);
}

// The display form ("--config <CONFIG>") of the option a parser message starts with ("--config: ...").
std::string option_named_in(std::string_view message) {
  for (const auto& o : kOptions) {
    if (message.starts_with(o.long_name) &&
        (message.size() == o.long_name.size() || message[o.long_name.size()] == ':' ||
         message[o.long_name.size()] == ' ')) {
      return display_name(o);
    }
  }
  return "";
}

int usage_error(std::ostream& err, const std::string& message) {
  err << "error: " << message << "\n\n" << kUsage << "\n\nFor more information, try '--help'.\n";
  err.flush();
  return 2;
}

const OptionSpec* find_option(std::string_view name) {
  for (const auto& o : kOptions) {
    if (name == o.long_name || (!o.short_name.empty() && name == o.short_name)) return &o;
  }
  return nullptr;
}

// Every value option handed to the parser as two words, "--name" and its value. Left to itself the parser
// would take any next word as a value (`--task --cli` would run the task "--cli") and would see no value in
// `--api-key=`. As on most command lines, a separate word starting with "-" is not a value, so the value is
// missing; `--task=-x` and `-k=` still give "-x" and "".
Result<std::vector<std::string>> normalize_args(int argc, const char* const* argv) {
  std::vector<std::string> out;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--") {
      for (; i < argc; ++i) out.emplace_back(argv[i]);
      break;
    }
    if (const OptionSpec* o = find_option(arg); o && !o->value_name.empty()) {
      const bool next_is_value = i + 1 < argc && !(argv[i + 1][0] == '-' && argv[i + 1][1] != '\0');
      if (!next_is_value) return Error("a value is required for '" + display_name(*o) + "' but none was supplied");
      out.emplace_back(arg);
      out.emplace_back(argv[++i]);
      continue;
    }
    std::string_view name, value;
    bool attached = false;
    if (arg.starts_with("--")) {
      const std::size_t eq = arg.find('=');
      attached = eq != std::string_view::npos;
      if (attached) name = arg.substr(0, eq), value = arg.substr(eq + 1);
    } else if (arg.size() > 2 && arg[0] == '-') {
      attached = true;
      name = arg.substr(0, 2);
      value = arg.substr(arg[2] == '=' ? 3 : 2);
    }
    const OptionSpec* o = attached ? find_option(name) : nullptr;
    if (!o) {
      out.emplace_back(arg);  // the parser reports anything it does not know
    } else if (o->value_name.empty()) {
      return Error("unexpected value '" + std::string(value) + "' for '" + std::string(o->long_name) +
                   "': it is a flag and takes none");
    } else {
      out.emplace_back(o->long_name);
      out.emplace_back(value);
    }
  }
  return out;
}

std::optional<std::uint16_t> parse_port(std::string_view text) {
  unsigned value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end || value > 65535) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

}  // namespace

std::string cli_help() {
  std::size_t width = 0;
  for (const auto& o : kOptions) width = std::max(width, left_column(o).size());
  std::string help(kAbout);
  help += "\n\n";
  help += kUsage;
  help += "\n\nOptions:\n";
  for (const auto& o : kOptions) {
    std::string left = left_column(o);
    left.resize(width + 2, ' ');
    help += "  " + left + std::string(o.help) + "\n";
  }
  return help;
}

std::string cli_version() { return "pelmox " PELMOX_VERSION; }

std::variant<Cli, int> parse_cli(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  for (int i = 1; i < argc; ++i) {
    if (!is_valid_utf8(argv[i])) return usage_error(err, "invalid UTF-8 was detected in one or more arguments");
  }

  auto args = normalize_args(argc, argv);
  if (!args) return usage_error(err, args.error().message);
  std::vector<const char*> words{argc > 0 ? argv[0] : "pelmox"};
  for (const auto& a : *args) words.push_back(a.c_str());

  CLI::App app{std::string(kAbout), "pelmox"};
  app.set_help_flag("-h,--help");
  app.set_version_flag("-V,--version", cli_version());

  std::array<std::string, kOptions.size()> values;
  std::array<CLI::Option*, kOptions.size()> opts{};
  bool flags[kOptions.size()] = {};
  for (std::size_t i = 0; i < kOptions.size(); ++i) {
    const OptionSpec& o = kOptions[i];
    if (o.long_name == "--help" || o.long_name == "--version") continue;
    std::string names = o.short_name.empty() ? std::string(o.long_name)
                                             : std::string(o.short_name) + "," + std::string(o.long_name);
    if (o.value_name.empty()) {
      opts[i] = app.add_flag(names, flags[i], std::string(o.help))->disable_flag_override();
    } else {
      opts[i] = app.add_option(names, values[i], std::string(o.help))->type_name(std::string(o.value_name));
    }
  }

  try {
    app.parse(static_cast<int>(words.size()), words.data());
  } catch (const CLI::CallForHelp&) {
    out << cli_help();
    out.flush();
    return 0;
  } catch (const CLI::CallForVersion&) {
    out << cli_version() << "\n";
    out.flush();
    return 0;
  } catch (const CLI::ExtrasError&) {
    const auto rest = app.remaining();
    return usage_error(err, "unexpected argument '" + (rest.empty() ? std::string() : rest.front()) + "' found");
  } catch (const CLI::ArgumentMismatch& e) {
    const std::string_view what = e.what();
    const std::string name = option_named_in(what);
    if (name.empty()) return usage_error(err, std::string(what));
    if (what.find(" missing") != std::string_view::npos) {
      return usage_error(err, "a value is required for '" + name + "' but none was supplied");
    }
    return usage_error(err, "the argument '" + name + "' cannot be used multiple times");
  } catch (const CLI::Error& e) {
    return usage_error(err, e.what());
  } catch (const std::exception& e) {
    return usage_error(err, e.what());
  }

  auto given = [&](std::size_t i) -> std::optional<std::string> {
    if (opts[i] && opts[i]->count() > 0) return values[i];
    return std::nullopt;
  };
  Cli cli;
  cli.config = given(kConfig);
  cli.api_key = given(kApiKey);
  cli.model = given(kModel);
  cli.api_base = given(kApiBase);
  cli.task = given(kTask);
  cli.cli = flags[kCliFlag];
  if (auto port = given(kPort)) {
    const auto parsed = parse_port(*port);
    if (!parsed) {
      return usage_error(err, "invalid value '" + *port + "' for '--port <PORT>': expected a number from 0 to 65535");
    }
    cli.port = *parsed;
  }
  cli.autonomy = given(kAutonomy);
  cli.verbose = flags[kVerbose];
  return cli;
}

std::variant<Cli, int> parse_cli(int argc, const char* const* argv) {
  return parse_cli(argc, argv, std::cout, std::cerr);
}

}  // namespace pelmox
