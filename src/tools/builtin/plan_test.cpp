#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools/builtin/builtins.hpp"
#include "runtime/run_sync.hpp"

namespace pelmox {
namespace {

TEST(CreatePlan, DefinitionAndAcknowledgement) {
  auto tool = make_create_plan_tool();
  EXPECT_EQ(tool->name(), "create_plan");
  EXPECT_FALSE(tool->requires_approval());
  auto def = tool->definition();
  EXPECT_EQ(def.function.name, "create_plan");
  EXPECT_EQ(def.function.description,
            "Decompose a complex task into actionable steps. Call this BEFORE starting work on multi-step tasks "
            "to show the user your plan.");
  EXPECT_EQ(def.function.parameters.dump(),
            R"({"properties":{"steps":{"description":"Ordered list of steps to complete the task",)"
            R"("items":{"type":"string"},"type":"array"}},"required":["steps"],"type":"object"})");
  for (const json& args : {json{{"steps", {"a", "b"}}}, json::object(), json(nullptr), json("x")}) {
    auto r = run_sync(tool->execute(args));
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->text, "Plan recorded. Proceeding with execution.");
    EXPECT_FALSE(r->data.has_value());
  }
}

TEST(CreatePlan, DecodePlan) {
  using Steps = std::optional<std::vector<std::string>>;
  struct Case {
    std::string arguments;
    Steps steps;
  };
  const Case cases[] = {
      {R"({"steps": ["a", "b"]})", std::vector<std::string>{"a", "b"}},
      {R"({"note": 1, "steps": ["读取", "写入"]})", std::vector<std::string>{"读取", "写入"}},
      {R"({"steps": []})", std::vector<std::string>{}},
      {R"([["only"]])", std::vector<std::string>{"only"}},
      {R"({})", std::nullopt},
      {R"({"steps": ["a", 2]})", std::nullopt},
      {R"({"steps": "a"})", std::nullopt},
      {R"({"steps": null})", std::nullopt},
      {R"([["a"], ["b"]])", std::nullopt},
      {R"([])", std::nullopt},
      {R"(["a"])", std::nullopt},
      {"", std::nullopt},
      {R"({"steps": ["a")", std::nullopt},
      {"not json", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments);
    EXPECT_EQ(decode_plan(c.arguments), c.steps);
  }
}

}  // namespace
}  // namespace pelmox
