#include "main/startup.hpp"

#include <stdlib.h>

#include <fstream>
#include <map>

#include <gtest/gtest.h>

namespace pelmox {
namespace {

namespace fs = std::filesystem;

using Vars = std::map<std::string, std::string>;

EnvLookup env_of(Vars vars) {
  return [vars = std::move(vars)](const std::string& name) -> std::optional<std::string> {
    auto it = vars.find(name);
    if (it == vars.end()) return std::nullopt;
    return it->second;
  };
}

TEST(SettleApiKey, FollowsThePrecedence) {
  struct Case {
    std::string name;
    std::optional<std::string> flag;
    std::string configured;
    Vars env;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"flag wins", "cli", "cfg", {{"OPENAI_API_KEY", "o"}}, "cli"},
      {"empty flag wins", "", "cfg", {{"OPENAI_API_KEY", "o"}}, ""},
      {"config next", std::nullopt, "cfg", {{"OPENAI_API_KEY", "o"}, {"PELMOX_API_KEY", "p"}}, "cfg"},
      {"openai next", std::nullopt, "", {{"OPENAI_API_KEY", "o"}, {"PELMOX_API_KEY", "p"}}, "o"},
      {"empty openai still wins", std::nullopt, "", {{"OPENAI_API_KEY", ""}, {"PELMOX_API_KEY", "p"}}, ""},
      {"pelmox last", std::nullopt, "", {{"PELMOX_API_KEY", "p"}}, "p"},
      {"none", std::nullopt, "", {}, ""},
      {"unresolved reference falls through", std::nullopt, "${UNSET}", {{"PELMOX_API_KEY", "p"}}, "p"},
      {"resolved reference", std::nullopt, "${MINE}", {{"MINE", "m"}, {"OPENAI_API_KEY", "o"}}, "m"},
      {"undecodable openai skipped", std::nullopt, "", {{"OPENAI_API_KEY", "\xff"}, {"PELMOX_API_KEY", "p"}}, "p"},
  };
  for (const auto& c : cases) {
    Config config;
    config.llm.api_key = c.configured;
    Cli cli;
    cli.api_key = c.flag;
    apply_overrides(config, cli, env_of(c.env));
    EXPECT_EQ(config.llm.api_key, c.expected) << c.name;
  }
}

TEST(ApplyOverrides, ReplaceOnlyTheTopLevelValuesGiven) {
  Config config = builtin_config();
  config.llm.providers["p"].api_base = "http://p";
  config.llm.providers["p"].model = "pm";
  Cli none;
  Config untouched = config;
  apply_overrides(untouched, none, env_of({}));
  EXPECT_EQ(untouched.llm.model, "gpt-4o");
  EXPECT_EQ(untouched.server.port, 7878);
  EXPECT_EQ(untouched.agent.autonomy, "supervised");

  Cli cli;
  cli.model = "m2";
  cli.api_base = "http://b2";
  cli.port = 0;
  cli.autonomy = "Autonomous";
  apply_overrides(config, cli, env_of({}));
  EXPECT_EQ(config.llm.model, "m2");
  EXPECT_EQ(config.llm.api_base, "http://b2");
  EXPECT_EQ(config.server.port, 0);
  EXPECT_EQ(config.agent.autonomy, "Autonomous");
  EXPECT_EQ(config.llm.providers["p"].model, "pm");
  EXPECT_EQ(config.llm.providers["p"].api_base, "http://p");
}

TEST(Startup, ModeTimeLimitAndLogSettings) {
  Cli task_and_cli;
  task_and_cli.task = "x";
  task_and_cli.cli = true;
  Cli cli_only;
  cli_only.cli = true;
  EXPECT_EQ(choose_mode(task_and_cli), Mode::single_task);
  EXPECT_EQ(choose_mode(cli_only), Mode::interactive);
  EXPECT_EQ(choose_mode(Cli{}), Mode::service);

  for (const auto& [configured, expected] : std::vector<std::pair<std::uint64_t, std::int64_t>>{
           {0, 30}, {5, 30}, {29, 30}, {30, 30}, {31, 31}, {600, 600}}) {
    AgentConfig agent;
    agent.task_timeout_secs = configured;
    EXPECT_EQ(task_time_limit(agent).count(), expected) << configured;
  }
  AgentConfig huge;
  huge.task_timeout_secs = UINT64_MAX;
  EXPECT_GT(task_time_limit(huge).count(), 0);

  Cli verbose;
  verbose.verbose = true;
  LogSettings s = log_settings(verbose, env_of({{"PELMOX_LOG", "pelmox=warn"}, {"NO_COLOR", ""}}));
  EXPECT_TRUE(s.verbose);
  EXPECT_EQ(s.filter, "pelmox=warn");
  EXPECT_TRUE(s.color);  // NO_COLOR counts only when non-empty
  s = log_settings(Cli{}, env_of({{"NO_COLOR", "1"}}));
  EXPECT_FALSE(s.verbose);
  EXPECT_FALSE(s.filter);
  EXPECT_FALSE(s.color);
}

// Runs in a fresh directory made the working directory; both are undone at the end.
class SettleStartup : public testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "pelmox-startup-XXXXXX").string();
    dir_ = mkdtemp(tmpl.data());
    old_ = fs::current_path();
    fs::current_path(dir_);
  }
  void TearDown() override {
    fs::current_path(old_);
    fs::remove_all(dir_);
  }
  static void write(const fs::path& path, const std::string& text) {
    if (path.has_parent_path()) fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
  }
  fs::path dir_, old_;
};

TEST_F(SettleStartup, SearchesUnderHomeAndKeepsTheDefaultWritePath) {
  write("config.toml", "[llm\n");  // unparsable: passed over
  write(dir_ / "home" / ".pelmox" / "config.toml",
        "[llm]\nmodel = \"home\"\napi_key = \"${SECRET}\"\n[agent]\ntask_timeout_secs = 5\n");
  Cli cli;
  cli.task = "t";
  auto s = settle_startup(cli, env_of({{"HOME", (dir_ / "home").string()}, {"SECRET", "s3"}}));
  ASSERT_TRUE(s.ok()) << s.error().message;
  EXPECT_EQ(s->config.llm.model, "home");
  EXPECT_EQ(s->config.llm.api_key, "s3");
  EXPECT_EQ(s->config_path, "config.toml");
  EXPECT_EQ(s->config_source, dir_ / "home" / ".pelmox" / "config.toml");
  EXPECT_EQ(s->mode, Mode::single_task);
  EXPECT_EQ(s->task_time_limit.count(), 30);

  // No HOME: only the working directory, then the built-in configuration.
  auto builtin = settle_startup(Cli{}, env_of({{"OPENAI_API_KEY", "o"}}));
  ASSERT_TRUE(builtin.ok());
  EXPECT_FALSE(builtin->config_source);
  EXPECT_EQ(builtin->config.llm.model, "gpt-4o");
  EXPECT_EQ(builtin->config.llm.api_key, "o");
  EXPECT_EQ(builtin->mode, Mode::service);
  EXPECT_EQ(builtin->task_time_limit.count(), 600);
}

TEST_F(SettleStartup, NamedConfigIsTheWritePathAndItsFailuresAreFatal) {
  write("mine.toml", "[llm]\nmodel = \"mine\"\n");
  Cli cli;
  cli.config = "mine.toml";
  cli.model = "flag";
  auto s = settle_startup(cli, env_of({}));
  ASSERT_TRUE(s.ok()) << s.error().message;
  EXPECT_EQ(s->config.llm.model, "flag");
  EXPECT_EQ(s->config_path, "mine.toml");

  cli.config = "missing.toml";
  auto missing = settle_startup(cli, env_of({}));
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().message, "Failed to read config 'missing.toml': No such file or directory");

  write("broken.toml", "[agent]\nmax_iterations = -1\n");
  cli.config = "broken.toml";
  auto broken = settle_startup(cli, env_of({}));
  ASSERT_FALSE(broken.ok());
  EXPECT_EQ(broken.error().message.rfind("Failed to parse config: ", 0), 0u);
}

}  // namespace
}  // namespace pelmox
