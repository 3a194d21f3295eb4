#include "llm/message.hpp"

#include <gtest/gtest.h>

namespace pelmox {
namespace {

std::string write(const Message& m) { return dump(to_json(m)); }

TEST(MessageJson, WritesEachVariantInMemberOrder) {
  AssistantMessage with_all{"a", std::vector<ToolCall>{{"c1", "function", {"read_file", "{\"path\":\"x\"}"}}}, "r"};
  const std::vector<std::pair<Message, std::string>> cases = {
      {SystemMessage{"s"}, R"({"role":"system","content":"s"})"},
      {UserMessage{"u"}, R"({"role":"user","content":"u"})"},
      {AssistantMessage{}, R"({"role":"assistant"})"},
      {AssistantMessage{std::string(""), std::nullopt, std::nullopt}, R"({"role":"assistant","content":""})"},
      {with_all,
       R"({"role":"assistant","content":"a","tool_calls":[{"id":"c1","type":"function","function":{"name":"read_file","arguments":"{\"path\":\"x\"}"}}],"reasoning_content":"r"})"},
      {ToolMessage{"c1", "out"}, R"({"role":"tool","tool_call_id":"c1","content":"out"})"},
  };
  for (const auto& [m, text] : cases) {
    EXPECT_EQ(write(m), text);
    auto back = message_from_json(ordered_json::parse(text));
    ASSERT_TRUE(back.ok()) << text << ": " << back.error().message;
    EXPECT_EQ(back.value(), m);
  }
}

TEST(MessageJson, ReadingRules) {
  auto user = message_from_json(ordered_json::parse(R"({"content":"x","role":"user","extra":1})"));
  ASSERT_TRUE(user.ok());
  EXPECT_EQ(std::get<UserMessage>(user.value()).content, "x");

  const std::vector<std::pair<std::string, std::string>> failures = {
      {R"({"role":"function","content":"x"})", "unknown variant `function`"},
      {R"({"role":"tool","content":"x"})", "missing field `tool_call_id`"},
      {R"({"content":"x"})", "missing field `role`"},
      {R"({"role":"user","content":3})", "invalid type"},
      {R"({"role":"assistant","tool_calls":[{"id":"a","function":{"name":"n","arguments":"{}"}}]})",
       "missing field `type`"},
  };
  for (const auto& [text, expected] : failures) {
    auto r = message_from_json(ordered_json::parse(text));
    ASSERT_FALSE(r.ok()) << text;
    EXPECT_NE(r.error().message.find(expected), std::string::npos) << r.error().message;
  }
}

TEST(AssistantResponseJson, ReasoningSpellingsAndDuplicates) {
  auto r = assistant_response_from_json(ordered_json::parse(R"({"content":"a","thinking":"b"})"));
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->content, "a");
  EXPECT_EQ(r->reasoning_content, "b");
  auto n = assistant_response_from_json(ordered_json::parse(R"({"content":null,"reasoning":"q"})"));
  ASSERT_TRUE(n.ok());
  EXPECT_FALSE(n->content.has_value());
  EXPECT_EQ(n->reasoning_content, "q");
  auto dup = assistant_response_from_json(ordered_json::parse(R"({"reasoning":"b","thinking":"c"})"));
  ASSERT_FALSE(dup.ok());
  EXPECT_NE(dup.error().message.find("duplicate field"), std::string::npos);
}

TEST(ChatResponseJson, ChoicesUsageAndFinishReason) {
  auto ok = chat_response_from_text(
      R"({"id":"x","choices":[{"index":0,"message":{"role":"assistant","content":"hi"},"finish_reason":"stop"}],"usage":{}})");
  ASSERT_TRUE(ok.ok()) << ok.error().message;
  EXPECT_EQ(ok->choices.at(0).message.content, "hi");
  EXPECT_EQ(ok->usage, (Usage{0, 0, 0}));

  EXPECT_FALSE(chat_response_from_text(
                   R"({"choices":[{"message":{"content":"hi"},"finish_reason":null}]})")
                   .ok());
  EXPECT_FALSE(chat_response_from_text(R"({"choices":[{"message":{"content":"hi"}}]})").ok());
  EXPECT_FALSE(chat_response_from_text("<html>bad gateway</html>").ok());
  EXPECT_FALSE(chat_response_from_text(R"({"usage":{"prompt_tokens":-1},"choices":[]})").ok());
}

TEST(NativeMessages, ParsesToolArgumentsText) {
  std::vector<Message> ms = {
      UserMessage{"u"},
      AssistantMessage{std::nullopt,
                       std::vector<ToolCall>{{"a", "function", {"read_file", R"({"path": "a"})"}},
                                             {"b", "function", {"x", "not json"}}},
                       std::string("r")},
      ToolMessage{"a", "res"},
  };
  auto n = native_messages(ms);
  EXPECT_EQ(n[1]["tool_calls"][0]["function"]["arguments"], ordered_json::parse(R"({"path":"a"})"));
  EXPECT_EQ(n[1]["tool_calls"][1]["function"]["arguments"], ordered_json::object());
  EXPECT_EQ(n[1]["reasoning_content"], "r");
  EXPECT_EQ(n[2]["tool_call_id"], "a");
}

TEST(JsonDump, InvalidUtf8IsReplacedNotThrown) {
  json j = {{"k", std::string("a\xff" "b")}};
  EXPECT_EQ(dump(j), "{\"k\":\"a\xEF\xBF\xBD" "b\"}");
}

}  // namespace
}  // namespace pelmox
