#include "main/cli.hpp"

#include <sstream>
#include <vector>

#include <gtest/gtest.h>

namespace pelmox {
namespace {

struct Parsed {
  std::variant<Cli, int> result;
  std::string out, err;
};

Parsed parse(std::vector<std::string> args) {
  args.insert(args.begin(), "pelmox");
  std::vector<const char*> argv;
  for (const auto& a : args) argv.push_back(a.c_str());
  std::ostringstream out, err;
  auto result = parse_cli(static_cast<int>(argv.size()), argv.data(), out, err);
  return {std::move(result), out.str(), err.str()};
}

TEST(ParseCli, ReadsEveryOptionInLongAndShortForm) {
  auto p = parse({"-c", "my.toml", "-k", "sk-1", "-m", "gpt", "-u", "http://b", "--task", "do it", "--cli", "--port",
                  "0", "--autonomy", "YOLO", "--verbose"});
  ASSERT_TRUE(std::holds_alternative<Cli>(p.result)) << p.err;
  const Cli& c = std::get<Cli>(p.result);
  EXPECT_EQ(c.config, "my.toml");
  EXPECT_EQ(c.api_key, "sk-1");
  EXPECT_EQ(c.model, "gpt");
  EXPECT_EQ(c.api_base, "http://b");
  EXPECT_EQ(c.task, "do it");
  EXPECT_TRUE(c.cli);
  EXPECT_EQ(c.port, 0);
  EXPECT_EQ(c.autonomy, "YOLO");
  EXPECT_TRUE(c.verbose);
  EXPECT_EQ(p.out, "");
  EXPECT_EQ(p.err, "");

  auto l = parse({"--config=a.toml", "--api-key=", "--model", "-", "-u=x", "--port=65535", "--task=-x", "--cli"});
  ASSERT_TRUE(std::holds_alternative<Cli>(l.result)) << l.err;
  const Cli& d = std::get<Cli>(l.result);
  EXPECT_EQ(d.config, "a.toml");
  EXPECT_EQ(d.api_key, "");  // given but empty is still given
  EXPECT_EQ(d.model, "-");
  EXPECT_EQ(d.api_base, "x");
  EXPECT_EQ(d.port, 65535);
  EXPECT_EQ(d.task, "-x");
  EXPECT_FALSE(d.autonomy);
  EXPECT_TRUE(d.cli);
  EXPECT_FALSE(d.verbose);

  auto attached = parse({"-cx.toml", "-k", "", "--autonomy", "yolo"});
  ASSERT_TRUE(std::holds_alternative<Cli>(attached.result)) << attached.err;
  EXPECT_EQ(std::get<Cli>(attached.result).config, "x.toml");
  EXPECT_EQ(std::get<Cli>(attached.result).api_key, "");
  EXPECT_EQ(std::get<Cli>(attached.result).autonomy, "yolo");

  auto none = parse({});
  ASSERT_TRUE(std::holds_alternative<Cli>(none.result));
  EXPECT_FALSE(std::get<Cli>(none.result).config);
  EXPECT_FALSE(std::get<Cli>(none.result).port);
}

TEST(ParseCli, HelpAndVersionPrintAndExitZero) {
  for (const std::string flag : {"-V", "--version"}) {
    auto p = parse({flag});
    ASSERT_TRUE(std::holds_alternative<int>(p.result));
    EXPECT_EQ(std::get<int>(p.result), 0);
    EXPECT_EQ(p.out, "pelmox 0.3.0\n");
    EXPECT_EQ(p.err, "");
  }
  for (const std::string flag : {"-h", "--help"}) {
    auto p = parse({"--port", "1", flag});
    ASSERT_TRUE(std::holds_alternative<int>(p.result));
    EXPECT_EQ(std::get<int>(p.result), 0);
    EXPECT_EQ(p.out, cli_help());
  }
  const std::string help = cli_help();
  EXPECT_EQ(help.rfind("Pelmox — local AI agent with streaming LLM, RAG knowledge base, MCP-ready tools, Web UI\n\n"
                       "Usage: pelmox [OPTIONS]\n\nOptions:\n",
                       0),
            0u)
      << help;
  for (const std::string line : {
           "  -c, --config <CONFIG>      Path to config.toml\n",
           "  -k, --api-key <API_KEY>    LLM API key (overrides config)\n",
           "  -m, --model <MODEL>        Model name (overrides config)\n",
           "  -u, --api-base <API_BASE>  API base URL (overrides config)\n",
           "      --task <TASK>          Run a single task and exit (CLI mode)\n",
           "      --cli                  Use CLI interactive mode instead of web server\n",
           "      --port <PORT>          Port for web server (overrides config)\n",
           "      --autonomy <AUTONOMY>  Autonomy level: supervised | autonomous | yolo\n",
           "      --verbose              Show verbose debug logging\n",
           "  -h, --help                 Print help\n",
           "  -V, --version              Print version\n",
       }) {
    EXPECT_NE(help.find(line), std::string::npos) << line;
  }
}

TEST(ParseCli, UsageErrorsGoToStderrWithStatusTwo) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"--bogus"}, "error: unexpected argument '--bogus' found"},
      {{"-x"}, "error: unexpected argument '-x' found"},
      {{"stray"}, "error: unexpected argument 'stray' found"},
      {{"--config"}, "error: a value is required for '--config <CONFIG>' but none was supplied"},
      {{"-k"}, "error: a value is required for '--api-key <API_KEY>' but none was supplied"},
      {{"--task", "--cli"}, "error: a value is required for '--task <TASK>' but none was supplied"},
      {{"--task", "-x", "--cli"}, "error: a value is required for '--task <TASK>' but none was supplied"},
      {{"-c", "--", "x"}, "error: a value is required for '--config <CONFIG>' but none was supplied"},
      {{"--port", "65536"}, "error: invalid value '65536' for '--port <PORT>'"},
      {{"--port", "http"}, "error: invalid value 'http' for '--port <PORT>'"},
      {{"--port=-1"}, "error: invalid value '-1' for '--port <PORT>'"},
      {{"--port", "99999999999999999999"}, "error: invalid value '99999999999999999999' for '--port <PORT>'"},
      {{"--port="}, "error: invalid value '' for '--port <PORT>'"},
      {{"-m", "a", "-m", "b"}, "error: the argument '--model <MODEL>' cannot be used multiple times"},
      {{"--cli=false"}, "error: unexpected value 'false' for '--cli'"},
      {{"-h=1"}, "error: unexpected value '1' for '--help'"},
      {{"--model", "\xff"}, "error: invalid UTF-8 was detected in one or more arguments"},
  };
  for (const auto& c : cases) {
    auto p = parse(c.args);
    ASSERT_TRUE(std::holds_alternative<int>(p.result)) << c.args[0];
    EXPECT_EQ(std::get<int>(p.result), 2) << c.args[0];
    EXPECT_EQ(p.out, "");
    EXPECT_EQ(p.err.rfind(c.message, 0), 0u) << p.err;
    EXPECT_NE(p.err.find("\n\nUsage: pelmox [OPTIONS]\n\nFor more information, try '--help'.\n"), std::string::npos)
        << p.err;
  }
}

}  // namespace
}  // namespace pelmox
