#include "config/config.hpp"

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <map>

#include <gtest/gtest.h>

namespace pelmox {
namespace {

namespace fs = std::filesystem;

// A fresh directory that the test also makes the working directory; both are undone at the end.
class TempCwd {
 public:
  TempCwd() {
    std::string tmpl = (fs::temp_directory_path() / "pelmox-config-XXXXXX").string();
    dir_ = mkdtemp(tmpl.data());
    old_ = fs::current_path();
    fs::current_path(dir_);
  }
  ~TempCwd() {
    fs::current_path(old_);
    fs::remove_all(dir_);
  }
  const fs::path& dir() const { return dir_; }

 private:
  fs::path dir_, old_;
};

void write_file(const fs::path& path, const std::string& text) {
  if (path.has_parent_path()) fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

TEST(ParseConfig, OnlyLlmGivesEveryDefault) {
  auto r = parse_config("[llm]\n");
  ASSERT_TRUE(r.ok()) << r.error().message;
  const Config& c = *r;
  EXPECT_EQ(c.llm.api_base, "");
  EXPECT_EQ(c.llm.model, "");
  EXPECT_DOUBLE_EQ(c.llm.temperature, 0.7);
  EXPECT_EQ(c.llm.max_tokens, 4096u);
  EXPECT_FALSE(c.llm.num_ctx);
  EXPECT_FALSE(c.llm.default_provider);
  EXPECT_EQ(c.agent.max_iterations, 25u);
  EXPECT_EQ(c.agent.task_timeout_secs, 600u);
  EXPECT_EQ(c.agent.autonomy, "supervised");
  EXPECT_FALSE(c.agent.max_context_tokens);
  EXPECT_EQ(c.tools.tool_timeout, 60u);
  EXPECT_TRUE(c.tools.enable_shell);
  EXPECT_TRUE(c.tools.enable_file_write);
  EXPECT_EQ(c.server.host, "127.0.0.1");
  EXPECT_EQ(c.server.port, 7878);
  EXPECT_TRUE(c.server.auto_open_browser);
  EXPECT_TRUE(c.server.enable_web_auth);
  EXPECT_FALSE(c.server.web_password);
  EXPECT_FALSE(c.wechat_work.enable);
  EXPECT_TRUE(c.tovira.enable_presearch);
  EXPECT_FALSE(c.plugins.dir);
  EXPECT_TRUE(c.mcp_servers.empty());
  EXPECT_TRUE(c.skills.empty());

  // Present and empty means the same as left out.
  auto empty_sections = parse_config("[llm]\n[agent]\n[tools]\n[server]\n[wechat_work]\n[tovira]\n[plugins]\n");
  ASSERT_TRUE(empty_sections.ok()) << empty_sections.error().message;
  EXPECT_EQ(empty_sections->agent.max_iterations, 25u);
  EXPECT_EQ(empty_sections->server.port, 7878);
  EXPECT_TRUE(empty_sections->tools.enable_shell);
  EXPECT_TRUE(empty_sections->tovira.enable_presearch);
}

TEST(ParseConfig, ReadsEveryKey) {
  auto r = parse_config(R"(
[llm]
api_base = "http://localhost:11434/v1"
api_key = "${KEY}"
model = "qwen"
temperature = 1
max_tokens = 100
num_ctx = 8192
default_provider = "b"
unknown_key = [1, 2]

[llm.providers.b]
name = "Bee"
api_base = "http://b"
model = "mb"
max_thinking_length = 500
enable_thinking = true
native_ollama = true

[llm.providers.a]
api_base = "http://a"
model = "ma"
temperature = 0.2

[agent]
max_iterations = 7
autonomy = "YOLO"
max_context_tokens = 9000
keep_reasoning_in_context = true
task_timeout_secs = 5

[tools]
enable_shell = false
enable_file_write = false
tool_timeout = 3
allowed_workdirs = ["/tmp", "~/w"]

[server]
host = "0.0.0.0"
port = 0
auto_open_browser = false
web_password = "pw"
enable_web_auth = false
[[server.web_users]]
name = "ann"
password = "secret"

[wechat_work]
enable = true
corp_id = "corp"
agent_id = -42
secret = "s"
token = "t"
encoding_aes_key = "k"

[tovira]
base_api = "  "
api_key = "tk"
enable_presearch = false

[mcp_servers.fs]
command = "npx"
args = ["-y", "server"]
env = { ROOT = "/data" }

[mcp_servers.web]
transport = "sse"
url = "http://x/sse"

[plugins]
dir = "~/.pelmox/plugins"

[[skills]]
name = "review"
description = "Review code"
prompt = "审查代码"
)");
  ASSERT_TRUE(r.ok()) << r.error().message;
  const Config& c = *r;
  EXPECT_EQ(c.llm.api_key, "${KEY}");  // references are resolved later, not by the parser
  EXPECT_DOUBLE_EQ(c.llm.temperature, 1.0);
  EXPECT_EQ(c.llm.max_tokens, 100u);
  EXPECT_EQ(c.llm.num_ctx, 8192u);
  EXPECT_EQ(c.llm.default_provider, "b");
  ASSERT_EQ(c.llm.providers.size(), 2u);
  EXPECT_EQ(c.llm.providers.begin()->first, "a");
  const ProviderConfig& a = c.llm.providers.at("a");
  EXPECT_FALSE(a.name);
  EXPECT_DOUBLE_EQ(a.temperature, 0.2);
  EXPECT_EQ(a.max_tokens, 4096u);
  EXPECT_FALSE(a.enable_thinking);
  const ProviderConfig& b = c.llm.providers.at("b");
  EXPECT_EQ(b.name, "Bee");
  EXPECT_EQ(b.model, "mb");
  EXPECT_EQ(b.max_thinking_length, 500u);
  EXPECT_TRUE(b.enable_thinking);
  EXPECT_TRUE(b.native_ollama);
  EXPECT_EQ(c.agent.max_iterations, 7u);
  EXPECT_EQ(c.agent.autonomy, "YOLO");
  EXPECT_EQ(c.agent.max_context_tokens, 9000u);
  EXPECT_TRUE(c.agent.keep_reasoning_in_context);
  EXPECT_EQ(c.agent.task_timeout_secs, 5u);
  EXPECT_FALSE(c.tools.enable_shell);
  EXPECT_EQ(c.tools.allowed_workdirs, (std::vector<std::string>{"/tmp", "~/w"}));
  EXPECT_EQ(c.server.port, 0);
  EXPECT_EQ(c.server.web_password, "pw");
  ASSERT_EQ(c.server.web_users.size(), 1u);
  EXPECT_EQ(c.server.web_users[0].name, "ann");
  EXPECT_EQ(c.server.web_users[0].password, "secret");
  EXPECT_EQ(c.wechat_work.agent_id, -42);
  EXPECT_EQ(c.tovira.base_api, "  ");
  EXPECT_FALSE(c.tovira.enable_presearch);
  ASSERT_EQ(c.mcp_servers.size(), 2u);
  EXPECT_EQ(c.mcp_servers.at("fs").transport, "stdio");
  EXPECT_EQ(c.mcp_servers.at("fs").args, (std::vector<std::string>{"-y", "server"}));
  EXPECT_EQ(c.mcp_servers.at("fs").env, (std::map<std::string, std::string>{{"ROOT", "/data"}}));
  EXPECT_FALSE(c.mcp_servers.at("fs").url);
  EXPECT_EQ(c.mcp_servers.at("web").url, "http://x/sse");
  EXPECT_EQ(c.plugins.dir, "~/.pelmox/plugins");
  ASSERT_EQ(c.skills.size(), 1u);
  EXPECT_EQ(c.skills[0].prompt, "审查代码");
}

TEST(ParseConfig, RejectsWithAMessageNamingTheProblem) {
  struct Case {
    std::string text;
    std::string expected;  // a part of the message
  };
  const std::vector<Case> cases = {
      {"", "missing field `llm`"},
      {"[agent]\nmax_iterations = 5\n", "missing field `llm`"},
      {"llm = 5\n", "invalid type for `llm`: expected a table"},
      {"[llm]\n[agent]\nmax_iterations = -1\n", "invalid value for `max_iterations`: expected an unsigned integer"},
      {"[llm]\n[agent]\nmax_iterations = \"x\"\n",
       "invalid type for `max_iterations`: expected an unsigned integer, found a string at line 3"},
      {"[llm]\n[agent]\nmax_context_tokens = 1.5\n", "invalid type for `max_context_tokens`"},
      {"[llm]\nmax_tokens = 4294967296\n", "`max_tokens`: 4294967296 is out of range for a 32-bit"},
      {"[llm]\n[server]\nport = 65536\n", "`port`: 65536 is out of range for a 16-bit"},
      {"[llm]\n[server]\nport = -1\n", "invalid value for `port`"},
      {"[llm]\ntemperature = \"hot\"\n", "invalid type for `temperature`: expected a float"},
      {"[llm]\n[tools]\nenable_shell = \"yes\"\n", "invalid type for `enable_shell`: expected a boolean"},
      {"[llm]\n[tools]\nallowed_workdirs = [\"a\", 1]\n", "invalid type for `allowed_workdirs[1]`"},
      {"[llm]\n[wechat_work]\nagent_id = 1.0\n", "invalid type for `agent_id`: expected an integer"},
      {"[llm]\n[llm.providers.local]\napi_base = \"http://x\"\n", "missing field `model` in `llm.providers.local`"},
      {"[llm]\n[llm.providers.local]\nmodel = \"m\"\n", "missing field `api_base`"},
      {"[llm]\n[llm.providers.local]\napi_base = \"b\"\nmodel = \"m\"\nnum_ctx = -3\n", "`num_ctx`"},
      {"[llm]\n[[server.web_users]]\nname = \"a\"\n", "missing field `password`"},
      {"[llm]\n[[server.web_users]]\npassword = \"a\"\n", "missing field `name`"},
      {"[llm]\n[[skills]]\nname = \"a\"\ndescription = \"b\"\n", "missing field `prompt`"},
      {"skills = 3\n[llm]\n", "invalid type for `skills`"},
      {"[llm]\n[mcp_servers.x]\nenv = { A = 1 }\n", "invalid type for `env.A`"},
      {"[llm]\n[mcp_servers]\nx = 1\n", "invalid type for `x`: expected a table"},
      {"[llm]\n[plugins]\ndir = 1\n", "invalid type for `dir`"},
      {"[llm\nmodel = 1\n", "line 1"},
      {"[llm]\nmodel = \"a\"\nmodel = \"b\"\n", "line 3"},
  };
  for (const auto& c : cases) {
    auto r = parse_config(c.text);
    ASSERT_FALSE(r.ok()) << c.text;
    EXPECT_NE(r.error().message.find(c.expected), std::string::npos)
        << "text: " << c.text << "\nmessage: " << r.error().message;
  }
}

TEST(ParseConfig, AcceptsTheEdgesOfEachType) {
  auto r = parse_config(
      "[llm]\nmax_tokens = 4294967295\ntemperature = 0\n"
      "[agent]\nmax_iterations = 9223372036854775807\n"
      "[server]\nport = 65535\n[wechat_work]\nagent_id = -9223372036854775808\n");
  ASSERT_TRUE(r.ok()) << r.error().message;
  EXPECT_EQ(r->llm.max_tokens, 4294967295u);
  EXPECT_DOUBLE_EQ(r->llm.temperature, 0.0);
  EXPECT_EQ(r->agent.max_iterations, 9223372036854775807u);
  EXPECT_EQ(r->server.port, 65535);
  EXPECT_EQ(r->wechat_work.agent_id, std::numeric_limits<std::int64_t>::min());
}

TEST(BuiltinConfig, IsTheDefaultsWithThePublicEndpoint) {
  const Config c = builtin_config();
  EXPECT_EQ(c.llm.api_base, "https://api.openai.com/v1");
  EXPECT_EQ(c.llm.model, "gpt-4o");
  EXPECT_EQ(c.llm.api_key, "");
  EXPECT_EQ(c.agent.max_iterations, 25u);
  EXPECT_EQ(c.server.port, 7878);
}

TEST(ResolveEnvRefs, ReplacesOnlyExactReferences) {
  const std::map<std::string, std::string> vars = {{"K", "value"}, {"BAD", "\xff\xfe"}, {"EMPTY", ""}};
  const EnvLookup env = [&](const std::string& name) -> std::optional<std::string> {
    auto it = vars.find(name);
    if (it == vars.end()) return std::nullopt;
    return it->second;
  };
  struct Case {
    std::string value, expected;
  };
  const std::vector<Case> cases = {
      {"${K}", "value"},       {"x${K}", "x${K}"},   {"${K} ", "${K} "}, {" ${K}", " ${K}"},
      {"${}", "${}"},          {"${UNSET}", ""},     {"${BAD}", ""},     {"${EMPTY}", ""},
      {"$K", "$K"},            {"{K}", "{K}"},       {"", ""},           {"plain-key", "plain-key"},
      {"${A=B}", ""},
  };
  for (const auto& c : cases) {
    Config config;
    config.llm.api_key = c.value;
    resolve_env_refs(config, env);
    EXPECT_EQ(config.llm.api_key, c.expected) << c.value;
  }
}

TEST(ResolveEnvRefs, TouchesOnlySecretFields) {
  const EnvLookup env = [](const std::string& name) -> std::optional<std::string> { return "<" + name + ">"; };
  Config c;
  c.llm.api_key = "${A}";
  c.llm.providers["p"].api_key = "${B}";
  c.wechat_work.secret = "${C}";
  c.wechat_work.token = "${D}";
  c.wechat_work.encoding_aes_key = "${E}";
  c.tovira.api_key = "${F}";
  c.server.web_password = "${G}";
  c.server.web_users.push_back({"${H}", "${I}"});
  c.wechat_work.corp_id = "${J}";
  c.mcp_servers["m"].env["X"] = "${K}";
  c.llm.model = "${L}";
  resolve_env_refs(c, env);
  EXPECT_EQ(c.llm.api_key, "<A>");
  EXPECT_EQ(c.llm.providers["p"].api_key, "<B>");
  EXPECT_EQ(c.wechat_work.secret, "<C>");
  EXPECT_EQ(c.wechat_work.token, "<D>");
  EXPECT_EQ(c.wechat_work.encoding_aes_key, "<E>");
  EXPECT_EQ(c.tovira.api_key, "<F>");
  EXPECT_EQ(c.server.web_password, "${G}");
  EXPECT_EQ(c.server.web_users[0].name, "${H}");
  EXPECT_EQ(c.server.web_users[0].password, "${I}");
  EXPECT_EQ(c.wechat_work.corp_id, "${J}");
  EXPECT_EQ(c.mcp_servers["m"].env["X"], "${K}");
  EXPECT_EQ(c.llm.model, "${L}");
}

TEST(LoadConfig, NamedFileFailuresAreFatal) {
  TempCwd cwd;
  const std::string missing = (cwd.dir() / "nope.toml").string();
  auto r = load_config(missing, std::nullopt);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message, "Failed to read config '" + missing + "': No such file or directory");

  auto dir = load_config(cwd.dir().string(), std::nullopt);
  ASSERT_FALSE(dir.ok());
  EXPECT_EQ(dir.error().message, "Failed to read config '" + cwd.dir().string() + "': Is a directory");

  write_file(cwd.dir() / "bad.toml", "[agent]\n");
  auto bad = load_config("bad.toml", std::nullopt);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().message, "Failed to parse config: missing field `llm`");

  write_file(cwd.dir() / "binary.toml", "[llm]\nmodel = \"\xff\"\n");
  auto binary = load_config("binary.toml", std::nullopt);
  ASSERT_FALSE(binary.ok());
  EXPECT_EQ(binary.error().message.rfind("Failed to read config 'binary.toml': ", 0), 0u) << binary.error().message;

  // A named file is used even when ./config.toml would parse.
  write_file(cwd.dir() / "config.toml", "[llm]\nmodel = \"cwd\"\n");
  write_file(cwd.dir() / "other.toml", "[llm]\nmodel = \"other\"\n");
  auto good = load_config("other.toml", std::nullopt);
  ASSERT_TRUE(good.ok()) << good.error().message;
  EXPECT_EQ(good->config.llm.model, "other");
  EXPECT_EQ(good->source, fs::path("other.toml"));
}

TEST(LoadConfig, SearchListSkipsBrokenCandidatesSilently) {
  TempCwd cwd;
  const fs::path home = cwd.dir() / "home";
  const fs::path library = home / "Library" / "Application Support" / "pelmox" / "config.toml";
  const fs::path dot = home / ".pelmox" / "config.toml";
  fs::create_directories(home);

  // Nothing anywhere: the built-in configuration, and nothing is created.
  auto none = load_config(std::nullopt, home);
  ASSERT_TRUE(none.ok());
  EXPECT_FALSE(none->source);
  EXPECT_EQ(none->config.llm.model, "gpt-4o");
  EXPECT_TRUE(fs::is_empty(home));
  EXPECT_FALSE(fs::exists("config.toml"));

  write_file(dot, "[llm]\nmodel = \"dot\"\n");
  write_file("config.toml", "[llm]\nmax_tokens = -1\n");  // broken: skipped
  auto r = load_config(std::nullopt, home);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->config.llm.model, "dot");
  EXPECT_EQ(r->source, dot);

  write_file(library, "[llm]\nmodel = \"library\"\n");
  r = load_config(std::nullopt, home);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->config.llm.model, "library");

  write_file("config.toml", "[llm]\nmodel = \"cwd\"\n");
  r = load_config(std::nullopt, home);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->config.llm.model, "cwd");
  EXPECT_EQ(r->source, fs::path("config.toml"));

  // Without a home directory only the working directory is searched.
  write_file("config.toml", "not toml");
  r = load_config(std::nullopt, std::nullopt);
  ASSERT_TRUE(r.ok());
  EXPECT_FALSE(r->source);
  EXPECT_EQ(r->config.llm.model, "gpt-4o");
}

}  // namespace
}  // namespace pelmox
