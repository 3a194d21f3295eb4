#include "memory/context_manager.hpp"

#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>

#include <memory>
#include <sstream>

#include "utils/log.hpp"

namespace pelmox {
namespace {

// Collects the memory module's log lines as "<level>|<text>" for the life of the object.
class LogCapture {
 public:
  LogCapture() : sink_(std::make_shared<spdlog::sinks::ostream_sink_st>(out_)) {
    sink_->set_pattern("%l|%v");
    logger("memory").sinks().push_back(sink_);
  }
  ~LogCapture() {
    auto& sinks = logger("memory").sinks();
    std::erase(sinks, sink_);
  }
  std::string text() const { return out_.str(); }

 private:
  std::ostringstream out_;
  std::shared_ptr<spdlog::sinks::ostream_sink_st> sink_;
};

Message user(std::size_t tokens, char fill = 'u') {
  return UserMessage{std::string(tokens * 4, fill)};
}
Message tool(std::size_t tokens) {
  return ToolMessage{"c", std::string(tokens * 4, 't')};
}
Message calling(std::size_t tokens) {
  AssistantMessage a;
  a.tool_calls = std::vector<ToolCall>{ToolCall{"c", "function", FunctionCall{"f", std::string(tokens * 4 - 1, 'a')}}};
  return a;
}

// An empty anchor and 19 user messages of 10 tokens each.
std::vector<Message> twenty() {
  std::vector<Message> ms{SystemMessage{""}};
  for (int i = 1; i < 20; ++i) ms.push_back(user(10, static_cast<char>('a' + i)));
  return ms;
}

// A context holding exactly these messages and timestamps.
ContextManager make(std::vector<Message> ms, std::vector<std::uint64_t> ts, std::uint64_t budget = 1000000) {
  ordered_json j = ordered_json::object();
  j["messages"] = to_json(ms);
  j["timestamps"] = ts;
  j["max_tokens"] = budget;
  auto cm = ContextManager::from_json(j);
  EXPECT_TRUE(cm.ok()) << cm.error().message;
  return std::move(cm.value());
}

TEST(Estimate, CountsFourBytesPerTokenPerMessage) {
  EXPECT_EQ(estimate(UserMessage{"1234567"}), 1u);
  EXPECT_EQ(estimate(UserMessage{"123"}), 0u);
  EXPECT_EQ(estimate(SystemMessage{"12345678"}), 2u);
  EXPECT_EQ(estimate(ToolMessage{"a-very-long-id-not-counted", "1234"}), 1u);
  AssistantMessage a;
  EXPECT_EQ(estimate(a), 0u);
  a.content = "12";                                                                // 2
  a.tool_calls = std::vector<ToolCall>{ToolCall{"id", "function", {"nm", "{}"}}};  // 2 + 2, id not counted
  a.reasoning_content = "123456";                                                  // 6
  EXPECT_EQ(estimate(a), 3u);
  // Rounding is per message: two 3-byte messages are still 0.
  EXPECT_EQ(estimate(std::vector<Message>{UserMessage{"abc"}, UserMessage{"abc"}, UserMessage{"12345678"}}), 2u);
}

TEST(ContextPush, FillsMissingTimestampsSoTheNewOneLandsAtItsIndex) {
  auto cm = make({user(1), user(1), user(1)}, {5});
  cm.push(user(1));
  ASSERT_EQ(cm.timestamps().size(), 4u);
  EXPECT_EQ(cm.timestamps()[0], 5u);
  EXPECT_EQ(cm.timestamps()[1], 0u);
  EXPECT_EQ(cm.timestamps()[2], 0u);
  EXPECT_GT(cm.timestamps()[3], 1600000000u);

  // A stored list longer than the history must not shift the new time off its message.
  auto longer = make({user(1)}, {1, 2, 3});
  longer.push(user(1));
  ASSERT_EQ(longer.timestamps().size(), 2u);
  EXPECT_EQ(longer.timestamps()[0], 1u);
  EXPECT_GT(longer.timestamps()[1], 1600000000u);
}

TEST(ContextPrune, DropsFromIndexOneDownToSevenAndKeepsTheAnchor) {
  std::vector<Message> ms{SystemMessage{std::string(160, 'P')}};
  for (char c = 'a'; c < 'h'; ++c) ms.push_back(user(40, c));
  auto cm = make(ms, {10, 11, 12, 13, 14, 15, 16, 17}, 100);
  LogCapture log;
  cm.push(user(40, 'z'));
  ASSERT_EQ(cm.messages().size(), 7u);
  EXPECT_EQ(cm.messages()[0], ms[0]);
  EXPECT_EQ(cm.messages()[1], ms[3]);  // 'a' and 'b' went
  EXPECT_EQ(cm.messages()[6], user(40, 'z'));
  EXPECT_EQ(cm.timestamps().size(), 7u);
  EXPECT_EQ(cm.timestamps()[1], 13u);
  EXPECT_NE(log.text().find("info|Context pruned: removed 2 old messages (7 remaining, ~280 tokens)"),
            std::string::npos)
      << log.text();
  EXPECT_NE(
      log.text().find("warning|Context still at ~280 tokens after pruning (7 messages) — consider clearing context"),
      std::string::npos)
      << log.text();
}

TEST(ContextPrune, RemovesToolResultsOrphanedAtIndexOneEvenWhenWithinBudget) {
  auto cm = make({SystemMessage{"PPPP"}, calling(50), tool(1), tool(1), user(1), user(1), user(1), user(1)}, {}, 50);
  LogCapture log;
  cm.push(user(1));
  // Dropping the call was enough for the budget; its two results must go with it.
  ASSERT_EQ(cm.messages().size(), 6u);
  EXPECT_TRUE(std::holds_alternative<UserMessage>(cm.messages()[1]));
  EXPECT_NE(log.text().find("removed 3 old messages (6 remaining"), std::string::npos) << log.text();
  EXPECT_EQ(log.text().find("warning|"), std::string::npos);

  // Within budget nothing happens, even with a tool result at index 1.
  auto fits = make({SystemMessage{"P"}, tool(1)}, {}, 50);
  fits.prune();
  EXPECT_EQ(fits.messages().size(), 2u);
}

TEST(SelectForSummary, NothingForShortOrSmallHistories) {
  EXPECT_FALSE(make({user(100), user(100)}, {}).select_for_summary(0, 0));
  EXPECT_FALSE(make({user(10), user(10), user(10)}, {}).select_for_summary(30, 0));
  // Only the anchor and protected messages: the limit stays at 1.
  EXPECT_FALSE(make({user(10), user(10), user(10), user(10)}, {}).select_for_summary(0, 8));
}

TEST(SelectForSummary, LimitStepsBackOffAToolMessage) {
  std::vector<Message> ms;
  for (int i = 0; i < 20; ++i) ms.push_back(i == 12 ? tool(10) : user(10, static_cast<char>('a' + i)));
  const auto sel = make(ms, {}).select_for_summary(0, 8);
  ASSERT_TRUE(sel);
  EXPECT_EQ(sel->end, 11u);
  ASSERT_EQ(sel->messages.size(), 10u);
  EXPECT_EQ(sel->messages.front(), ms[1]);
  EXPECT_EQ(sel->messages.back(), ms[10]);
}

TEST(SelectForSummary, ProjectionCountsTheTailTwicePlusTheDigestAllowance) {
  const auto cm = make(twenty(), {});
  // total 190, tail (messages 18 and 19) 20, projected 274: the target is met once 274 - removed <= target.
  struct Case {
    std::uint64_t target;
    std::size_t end;
  };
  for (const Case c : {Case{150, 14}, Case{189, 10}, Case{100, 18}, Case{0, 18}}) {
    const auto sel = cm.select_for_summary(c.target, 2);
    ASSERT_TRUE(sel) << c.target;
    EXPECT_EQ(sel->end, c.end) << c.target;
  }
}

TEST(SelectForSummary, NeverSeparatesAToolCallFromItsResults) {
  const std::vector<Message> ms{
      SystemMessage{"P"}, user(10),    calling(100), tool(10), tool(10),
      user(10),           calling(20), tool(5),      user(10), AssistantMessage{std::string(40, 'x'), {}, {}},
      user(10),           calling(7),  tool(3)};
  const auto cm = make(ms, {});
  const std::uint64_t total = estimate(ms);
  int selections = 0;
  for (std::size_t keep = 0; keep <= ms.size(); ++keep) {
    for (std::uint64_t target = 0; target < total; ++target) {
      const auto sel = cm.select_for_summary(target, keep);
      if (!sel) continue;
      ++selections;
      ASSERT_GE(sel->end, 2u);
      ASSERT_LE(sel->end, ms.size());
      if (sel->end < ms.size()) {
        EXPECT_FALSE(std::holds_alternative<ToolMessage>(ms[sel->end])) << "keep " << keep << " target " << target;
      }
    }
  }
  EXPECT_GT(selections, 0);
  // The first group is the user message together with the call and both its results.
  EXPECT_EQ(cm.select_for_summary(total - 1, 2)->end, 5u);
}

TEST(ContextCompact, ReplacesTheSelectionByOneDigestWithAlignedTimestamps) {
  const auto ms = twenty();
  std::vector<std::uint64_t> ts;
  for (std::uint64_t i = 0; i < 20; ++i) ts.push_back(100 + i);
  auto cm = make(ms, ts);
  LogCapture log;
  cm.compact("digest", 150, 2);  // selects [1, 14)
  ASSERT_EQ(cm.messages().size(), 8u);
  EXPECT_EQ(cm.messages()[0], ms[0]);
  EXPECT_EQ(cm.messages()[1], Message(SystemMessage{"digest"}));
  EXPECT_EQ(cm.messages()[2], ms[14]);
  ASSERT_EQ(cm.timestamps().size(), 8u);
  EXPECT_EQ(cm.timestamps()[0], 100u);
  EXPECT_GT(cm.timestamps()[1], 1600000000u);
  EXPECT_EQ(cm.timestamps()[2], 114u);
  EXPECT_NE(
      log.text().find("info|Context compacted: summarized 13 old messages into one digest (8 remaining, ~61 tokens)"),
      std::string::npos)
      << log.text();

  // Timestamps that stop inside the summarised range lose those entries only.
  auto short_ts = make(ms, {100, 101, 102});
  short_ts.compact("d", 150, 2);
  EXPECT_EQ(short_ts.timestamps().size(), 2u);
  EXPECT_EQ(short_ts.timestamps()[0], 100u);

  // Nothing selectable: the digest is dropped and the history stays.
  auto small = make(ms, {});
  small.compact("d", 1000, 2);
  EXPECT_EQ(small.messages(), ms);
  EXPECT_TRUE(small.timestamps().empty());
}

TEST(TruncateForContext, KeepsEightThousandBytesAtACharacterBoundary) {
  EXPECT_EQ(truncate_for_context(std::string(8000, 'a')), std::string(8000, 'a'));
  EXPECT_EQ(truncate_for_context(std::string(8001, 'a')),
            std::string(8000, 'a') + "...\n[truncated: 8001 chars > 8000 kept for context]");
  // "é" straddles byte 8000: the cut falls before it.
  EXPECT_EQ(truncate_for_context(std::string(7999, 'a') + "é"),
            std::string(7999, 'a') + "...\n[truncated: 8001 chars > 8000 kept for context]");
}

TEST(UnwrapAnswer, TakesTheFirstNonEmptyKnownStringMember) {
  const std::pair<std::string, std::string> cases[] = {
      {R"({"response":"r"})", "r"},
      {"  \n{\"message\":\"m\"}\n ", "m"},
      {R"({"answer":"a","content":"c","message":"","response":7})", "c"},
      {R"({"answer":"a","response":"r"})", "r"},
      {R"({"content":"  padded  "})", "  padded  "},
      {R"({"other":"x"})", R"({"other":"x"})"},
      {R"({"answer":5})", R"({"answer":5})"},
      {"{not json}", "{not json}"},
      {R"( {"response":"r"} trailing)", R"( {"response":"r"} trailing)"},
      {R"(["response"])", R"(["response"])"},
      {"plain answer", "plain answer"},
      {"{", "{"},
      {"", ""},
  };
  for (const auto& [in, want] : cases) EXPECT_EQ(unwrap_answer(in), want) << in;
}

TEST(HistoryView, OneObjectPerShownMessageWithSortedKeys) {
  AssistantMessage full;
  full.content = R"({"response":"shown"})";
  full.reasoning_content = "why";
  full.tool_calls = std::vector<ToolCall>{ToolCall{"c1", "function", {"read_file", R"({"path":"a"})"}}};
  AssistantMessage bare;
  bare.reasoning_content = "";
  bare.tool_calls = std::vector<ToolCall>{};
  const auto cm = make(
      {SystemMessage{""}, SystemMessage{"sys"}, UserMessage{"hi"}, full, bare, ToolMessage{"c1", "out"}}, {1, 2, 3});
  EXPECT_EQ(dump(history_view(cm)),
            R"([{"content":"sys","role":"system","ts":2},{"content":"hi","role":"user","ts":3},)"
            R"({"content":"shown","reasoning":"why","role":"assistant","tool_calls":[{"function":)"
            R"({"arguments":"{\"path\":\"a\"}","name":"read_file"},"id":"c1","type":"function"}],"ts":0},)"
            R"({"content":"","role":"assistant","ts":0},{"content":"out","role":"tool","tool_call_id":"c1","ts":0}])");
}

TEST(ContextJson, DeclaredOrderAndReadingDefaults) {
  auto cm = make({UserMessage{"x"}}, {7}, 300);
  EXPECT_EQ(dump(cm.to_json()), R"({"messages":[{"role":"user","content":"x"}],"timestamps":[7],"max_tokens":300})");

  auto bare = ContextManager::from_json(ordered_json::parse(R"({"messages":[]})"));
  ASSERT_TRUE(bare.ok());
  EXPECT_TRUE(bare->timestamps().empty());
  EXPECT_EQ(bare->max_tokens(), 14000u);

  for (const char* bad : {R"({"timestamps":[]})", R"({"messages":[{"role":"x"}]})",
                          R"({"messages":[],"timestamps":[-1]})", R"({"messages":[],"max_tokens":"9"})", R"([])"}) {
    EXPECT_FALSE(ContextManager::from_json(ordered_json::parse(bad)).ok()) << bad;
  }
}

}  // namespace
}  // namespace pelmox
