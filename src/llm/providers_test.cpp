#include "llm/providers.hpp"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "llm/llm_client.hpp"

namespace pelmox {
namespace {

namespace fs = std::filesystem;

ModelClientPtr client_for(const std::string& model) {
  return LlmClient::create("http://127.0.0.1:9/v1", "", model, 4096, 0.7);
}

TEST(ProviderRegistry, FirstRegisteredStaysActiveAndOrderIsKept) {
  ProviderRegistry reg;
  EXPECT_EQ(reg.active(), "");
  EXPECT_EQ(reg.current(), nullptr);
  auto a = client_for("m-a");
  reg.register_provider("a", std::nullopt, a);
  reg.register_provider("b", std::string("Bee"), client_for("m-b"));
  auto a2 = client_for("m-a2");
  reg.register_provider("a", std::string("Ay"), a2);  // replaces, keeps its place
  EXPECT_EQ(reg.active(), "a");
  EXPECT_EQ(reg.current(), a2);
  EXPECT_EQ(reg.providers(), (std::vector<ProviderInfo>{{"a", "Ay"}, {"b", "Bee"}}));
  EXPECT_EQ(reg.display_name("zzz"), "zzz");

  reg.set_active("nobody");
  EXPECT_EQ(reg.active(), "nobody");
  EXPECT_EQ(reg.current(), nullptr);
  EXPECT_EQ(reg.get("b")->model(), "m-b");
}

LlmConfig base_config() {
  LlmConfig c;
  c.api_base = "http://127.0.0.1:9/v1";
  c.model = "main-model";
  c.num_ctx = 8192;
  ProviderConfig z;
  z.api_base = "http://127.0.0.1:9";
  z.model = "zm";
  z.native_ollama = true;
  z.enable_thinking = true;
  z.max_thinking_length = 300;
  z.num_ctx = 0;  // zero means "not set"
  c.providers["zeta"] = z;
  ProviderConfig a;
  a.api_base = "http://127.0.0.1:9/v1";
  a.model = "am";
  a.name = "Alpha";
  c.providers["alpha"] = a;
  return c;
}

TEST(ProviderBuild, DefaultModelFirstThenTablesWithTheirSettings) {
  auto built = build_providers(base_config());
  EXPECT_EQ(built.registry->providers(),
            (std::vector<ProviderInfo>{{"main-model", "main-model"}, {"alpha", "Alpha"}, {"zeta", "zeta"}}));
  EXPECT_EQ(built.registry->active(), "main-model");
  ASSERT_TRUE(built.client);
  EXPECT_EQ(built.client->model(), "main-model");
  EXPECT_EQ(std::dynamic_pointer_cast<LlmClient>(built.client)->num_ctx(), 8192u);

  auto z = std::dynamic_pointer_cast<LlmClient>(built.registry->get("zeta"));
  ASSERT_TRUE(z);
  EXPECT_TRUE(z->native_ollama());
  EXPECT_TRUE(z->enable_thinking());
  EXPECT_EQ(z->max_thinking_length(), 300u);
  EXPECT_EQ(z->num_ctx(), LlmClient::kDefaultNumCtx);
  auto a = std::dynamic_pointer_cast<LlmClient>(built.registry->get("alpha"));
  EXPECT_FALSE(a->native_ollama());
  EXPECT_EQ(a->max_thinking_length(), std::nullopt);
}

TEST(ProviderBuild, DefaultProviderChoosesStartClientAndUnknownFallsBack) {
  auto c = base_config();
  c.default_provider = "zeta";
  auto built = build_providers(c);
  EXPECT_EQ(built.client->model(), "zm");

  c.default_provider = "missing";
  built = build_providers(c);
  EXPECT_EQ(built.registry->active(), "missing");
  ASSERT_TRUE(built.client);
  EXPECT_EQ(built.client->model(), "main-model");

  // Without a usable [llm] the first table is active; with none at all the [llm] client is still used.
  c.default_provider.reset();
  c.model.clear();
  built = build_providers(c);
  EXPECT_EQ(built.registry->active(), "alpha");
  c.providers.clear();
  built = build_providers(c);
  EXPECT_TRUE(built.registry->providers().empty());
  ASSERT_TRUE(built.client);
  EXPECT_EQ(built.client->api_base(), "http://127.0.0.1:9/v1");
}

TEST(ProviderBuild, SharedPoolIsUsedByEveryClient) {
  auto http = std::dynamic_pointer_cast<LlmClient>(client_for("x"))->http();
  auto built = build_providers(base_config(), http);
  for (const auto& p : built.registry->providers()) {
    EXPECT_EQ(std::dynamic_pointer_cast<LlmClient>(built.registry->get(p.id))->http(), http) << p.id;
  }
}

struct TomlCase {
  const char* name;
  std::string text;
  std::string key;
  std::string value;
  std::optional<std::string> expected;
};

TEST(SetTomlKey, Cases) {
  const std::vector<TomlCase> cases = {
      {"replace third line keeping comments",
       "# top\n[llm]\napi_base = \"http://x\"   # base\nmodel = \"old\"  # the model\n# trailing\n[agent]\nmax_iterations = 3\n",
       "model", "new",
       "# top\n[llm]\napi_base = \"http://x\"   # base\nmodel = \"new\"\n# trailing\n[agent]\nmax_iterations = 3\n"},
      {"prefix key untouched",
       "[llm]\nmodel_alias = \"a\"\nmodel   = \"b\"\n", "model", "c",
       "[llm]\nmodel_alias = \"a\"\nmodel = \"c\"\n"},
      {"insert after header, final newline added",
       "[llm]\nmodel = \"m\"", "default_provider", "p",
       "[llm]\ndefault_provider = \"p\"\nmodel = \"m\"\n"},
      {"other section's key not touched",
       "[agent]\nmodel = \"x\"\n[llm]\napi_base = \"b\"\n", "model", "y",
       "[agent]\nmodel = \"x\"\n[llm]\nmodel = \"y\"\napi_base = \"b\"\n"},
      {"sub-table and array-table headers stay inside the section; their keys are not [llm]'s",
       "[llm]\napi_base = \"b\"\n[llm.providers.o]\nmodel = \"pm\"\n[[llm.extra]]\nx = 1\n", "model", "new",
       "[llm]\nmodel = \"new\"\napi_base = \"b\"\n[llm.providers.o]\nmodel = \"pm\"\n[[llm.extra]]\nx = 1\n"},
      {"escaping", "[llm]\nmodel = \"m\"\n", "model", "a\"b\\c\td\x01",
       "[llm]\nmodel = \"a\\\"b\\\\c\\td\\u0001\"\n"},
      {"no section header", "model = \"m\"\n[agent]\n", "model", "x", std::nullopt},
      {"section only as a sub-table", "[llm.providers.a]\nmodel = \"m\"\n", "model", "x", std::nullopt},
      {"invalid toml", "[llm]\nmodel = \n", "model", "x", std::nullopt},
      {"edit would break a multi-line value", "[llm]\nmodel = \"\"\"a\nb\"\"\"\n", "model", "x", std::nullopt},
      {"quoted key would be duplicated", "[llm]\n\"model\" = \"a\"\n", "model", "x", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(set_toml_key(c.text, "llm", c.key, c.value), c.expected) << c.name;
  }
}

class PersistSelection : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "pelmox-providers-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    old_cwd_ = fs::current_path();
    fs::current_path(dir_);
  }
  void TearDown() override {
    fs::current_path(old_cwd_);
    fs::remove_all(dir_);
  }
  static void write(const fs::path& p, const std::string& s) { std::ofstream(p, std::ios::binary) << s; }
  static std::string read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  fs::path dir_, old_cwd_;
};

TEST_F(PersistSelection, WritesConfigAndKeepsRest) {
  const auto cfg = dir_ / "config.toml";
  write(cfg, "# mine\n[llm]\nmodel = \"old\"\n[llm.providers.a]\nmodel = \"am\"\n");
  persist_selection(cfg.string(), std::string("a"), std::string("new"));
  EXPECT_EQ(read(cfg), "# mine\n[llm]\ndefault_provider = \"a\"\nmodel = \"new\"\n[llm.providers.a]\nmodel = \"am\"\n");
  EXPECT_FALSE(fs::exists(dir_ / "model_prefs.json"));

  persist_selection(cfg.string(), std::nullopt, std::nullopt);  // nothing given: nothing written
  EXPECT_FALSE(fs::exists(dir_ / "model_prefs.json"));
}

TEST_F(PersistSelection, FallsBackToPrefsFile) {
  persist_selection((dir_ / "missing.toml").string(), std::string("p1"), std::nullopt);
  EXPECT_EQ(nlohmann::json::parse(read("model_prefs.json")), nlohmann::json({{"provider", "p1"}}));

  const auto cfg = dir_ / "config.toml";
  const std::string no_llm = "[agent]\nmax_iterations = 3\n";
  write(cfg, no_llm);
  write("model_prefs.json", R"({"keep": 1, "provider": "old"})");
  persist_selection(cfg.string(), std::nullopt, std::string("m2"));
  EXPECT_EQ(read(cfg), no_llm);
  const std::string prefs = read("model_prefs.json");
  EXPECT_EQ(nlohmann::json::parse(prefs), nlohmann::json({{"keep", 1}, {"provider", "old"}, {"model", "m2"}}));
  EXPECT_NE(prefs.find("\n  \"keep\": 1"), std::string::npos) << prefs;

  // A choice the file already holds leaves it alone and is still recorded.
  write(cfg, "[llm]\nmodel = \"same\"\n");
  write("model_prefs.json", "not json");
  persist_selection(cfg.string(), std::nullopt, std::string("same"));
  EXPECT_EQ(nlohmann::json::parse(read("model_prefs.json")), nlohmann::json({{"model", "same"}}));
}

}  // namespace
}  // namespace pelmox
