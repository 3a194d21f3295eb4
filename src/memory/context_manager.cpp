#include "memory/context_manager.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <iterator>

#include "utils/log.hpp"
#include "utils/text.hpp"
#include "utils/time.hpp"

namespace pelmox {

namespace {

bool is_tool(const Message& m) {
  return std::holds_alternative<ToolMessage>(m);
}

// An assistant turn that asked for tools: it and its results form one unit that is never split.
bool is_calling_assistant(const Message& m) {
  const auto* a = std::get_if<AssistantMessage>(&m);
  return a != nullptr && a->tool_calls.has_value() && !a->tool_calls->empty();
}

std::uint64_t estimate_range(const std::vector<Message>& ms, std::size_t from, std::size_t to) {
  std::uint64_t sum = 0;
  for (std::size_t i = from; i < to && i < ms.size(); ++i) sum += estimate(ms[i]);
  return sum;
}

// Message 1 goes with its timestamp; a timestamp list that stops short of index 1 has nothing to drop.
void drop_second(std::vector<Message>& ms, std::vector<std::uint64_t>& ts) {
  ms.erase(ms.begin() + 1);
  if (ts.size() >= 2) ts.erase(ts.begin() + 1);
}

}  // namespace

std::uint64_t estimate(const Message& m) {
  struct Visitor {
    std::uint64_t operator()(const SystemMessage& s) const { return s.content.size() / 4; }
    std::uint64_t operator()(const UserMessage& u) const { return u.content.size() / 4; }
    std::uint64_t operator()(const ToolMessage& t) const { return t.content.size() / 4; }
    std::uint64_t operator()(const AssistantMessage& a) const {
      std::uint64_t bytes = a.content ? a.content->size() : 0;
      if (a.tool_calls) {
        for (const auto& c : *a.tool_calls) bytes += c.function.name.size() + c.function.arguments.size();
      }
      if (a.reasoning_content) bytes += a.reasoning_content->size();
      return bytes / 4;
    }
  };
  return std::visit(Visitor{}, m);
}

std::uint64_t estimate(const std::vector<Message>& ms) {
  return estimate_range(ms, 0, ms.size());
}

std::string truncate_for_context(std::string_view text) {
  if (text.size() <= kToolResultKeep) return std::string(text);
  std::string out = utf8_prefix(text, kToolResultKeep);
  out += fmt::format("...\n[truncated: {} chars > {} kept for context]", text.size(), kToolResultKeep);
  return out;
}

std::string unwrap_answer(const std::string& text) {
  const std::string_view t = trim(text);
  if (t.size() < 2 || t.front() != '{' || t.back() != '}') return text;
  json parsed;
  try {
    parsed = json::parse(t.begin(), t.end(), nullptr, /*allow_exceptions=*/false);
  } catch (const std::exception&) {
    return text;
  }
  if (!parsed.is_object()) return text;
  for (const char* key : {"response", "message", "content", "answer"}) {
    const auto it = parsed.find(key);
    if (it != parsed.end() && it->is_string() && !it->get_ref<const std::string&>().empty()) {
      return it->get<std::string>();
    }
  }
  return text;
}

void ContextManager::push(Message m) {
  // Timestamps run parallel to messages; a stored list longer than the history would put the new time at
  // the wrong index, so it is cut back first.
  if (timestamps_.size() > messages_.size()) timestamps_.resize(messages_.size());
  while (timestamps_.size() < messages_.size()) timestamps_.push_back(0);
  messages_.push_back(std::move(m));
  timestamps_.push_back(unix_now_secs());
  prune();
}

void ContextManager::prune() {
  if (estimate(messages_) <= max_tokens_) return;
  std::size_t removed = 0;
  while (messages_.size() >= 8 && estimate(messages_) > max_tokens_) {
    drop_second(messages_, timestamps_);
    ++removed;
  }
  // A result whose call was just dropped would be rejected by providers.
  while (messages_.size() >= 2 && is_tool(messages_[1])) {
    drop_second(messages_, timestamps_);
    ++removed;
  }
  const std::uint64_t now_estimate = estimate(messages_);
  if (removed > 0) {
    logger("memory").info("Context pruned: removed {} old messages ({} remaining, ~{} tokens)", removed,
                          messages_.size(), now_estimate);
  }
  if (now_estimate > max_tokens_) {
    logger("memory").warn("Context still at ~{} tokens after pruning ({} messages) — consider clearing context",
                          now_estimate, messages_.size());
  }
}

void ContextManager::clear() {
  messages_.clear();
  timestamps_.clear();
}

std::optional<ContextManager::Selection> ContextManager::select_for_summary(std::uint64_t target,
                                                                            std::size_t keep) const {
  const auto& m = messages_;
  const std::size_t n = m.size();
  if (n < 3) return std::nullopt;
  const std::uint64_t total = estimate(m);
  if (total <= target) return std::nullopt;

  // The last `keep` messages stay; the boundary moves back off tool results so none loses its call.
  std::size_t s = n > keep ? n - keep : 0;
  if (s == 0) s = 1;
  std::size_t limit = 1;
  for (std::size_t i = s; i >= 2; --i) {
    if (i < n && !is_tool(m[i])) {
      limit = i;
      break;
    }
  }
  const std::uint64_t tail = estimate_range(m, limit, n);
  // The tail is deliberately counted on top of the total, and 64 tokens are allowed for the digest itself.
  const std::uint64_t projected = total + tail + 64;

  std::size_t c = 1;
  std::uint64_t removed = 0;
  for (;;) {
    std::size_t d;
    if (c >= n) {
      d = n;
    } else if (is_tool(m[c]) || is_calling_assistant(m[c])) {
      d = c;
    } else {
      d = c + 1;
    }
    if (d < n && is_calling_assistant(m[d])) {
      ++d;
      while (d < n && is_tool(m[d])) ++d;
    }
    if (d <= c || d > limit) break;
    removed += estimate_range(m, c, d);
    c = d;
    if (projected <= target + removed) break;
  }
  if (c < 2) return std::nullopt;

  Selection sel;
  sel.end = c;
  sel.messages.assign(m.begin() + 1, m.begin() + static_cast<std::ptrdiff_t>(c));
  return sel;
}

void ContextManager::compact(const std::string& digest, std::uint64_t target, std::size_t keep) {
  const auto sel = select_for_summary(target, keep);
  if (!sel) return;
  const std::size_t e = sel->end;
  messages_.erase(messages_.begin() + 1, messages_.begin() + static_cast<std::ptrdiff_t>(e));
  // Drop the timestamps of the summarised messages that have one; a short list keeps its alignment this way.
  const std::size_t ts_end = std::min(e, timestamps_.size());
  if (ts_end > 1) timestamps_.erase(timestamps_.begin() + 1, timestamps_.begin() + static_cast<std::ptrdiff_t>(ts_end));
  messages_.insert(messages_.begin() + 1, SystemMessage{digest});
  if (!timestamps_.empty()) timestamps_.insert(timestamps_.begin() + 1, unix_now_secs());
  logger("memory").info("Context compacted: summarized {} old messages into one digest ({} remaining, ~{} tokens)",
                        e - 1, messages_.size(), estimate(messages_));
}

ordered_json ContextManager::to_json() const {
  ordered_json j = ordered_json::object();
  j["messages"] = pelmox::to_json(messages_);
  j["timestamps"] = timestamps_;
  j["max_tokens"] = max_tokens_;
  return j;
}

Result<ContextManager> ContextManager::from_json(const ordered_json& j) {
  if (!j.is_object()) return Error("invalid type: expected a context object");
  const auto mit = j.find("messages");
  if (mit == j.end()) return Error("missing field `messages`");
  auto msgs = messages_from_json(*mit);
  if (!msgs) return msgs.error();

  ContextManager cm;
  cm.messages_ = std::move(msgs.value());
  if (const auto tit = j.find("timestamps"); tit != j.end() && !tit->is_null()) {
    if (!tit->is_array()) return Error("invalid type: `timestamps` must be an array");
    cm.timestamps_.reserve(tit->size());
    for (const auto& t : *tit) {
      if (!t.is_number_unsigned()) return Error("invalid type: `timestamps` entries must be unsigned integers");
      cm.timestamps_.push_back(t.get<std::uint64_t>());
    }
  }
  if (const auto bit = j.find("max_tokens"); bit != j.end() && !bit->is_null()) {
    if (!bit->is_number_unsigned()) return Error("invalid type: `max_tokens` must be an unsigned integer");
    cm.max_tokens_ = bit->get<std::uint64_t>();
  }
  return cm;
}

json history_view(const ContextManager& context) {
  json out = json::array();
  const auto& ms = context.messages();
  const auto& ts = context.timestamps();
  for (std::size_t i = 0; i < ms.size(); ++i) {
    const std::uint64_t t = i < ts.size() ? ts[i] : 0;
    json o = json::object();
    if (const auto* s = std::get_if<SystemMessage>(&ms[i])) {
      if (s->content.empty()) continue;
      o["role"] = "system";
      o["content"] = s->content;
    } else if (const auto* u = std::get_if<UserMessage>(&ms[i])) {
      o["role"] = "user";
      o["content"] = u->content;
    } else if (const auto* a = std::get_if<AssistantMessage>(&ms[i])) {
      o["role"] = "assistant";
      o["content"] = a->content ? unwrap_answer(*a->content) : std::string();
      if (a->reasoning_content && !a->reasoning_content->empty()) o["reasoning"] = *a->reasoning_content;
      if (a->tool_calls && !a->tool_calls->empty()) {
        json calls = json::array();
        for (const auto& c : *a->tool_calls) calls.push_back(to_sorted(pelmox::to_json(c)));
        o["tool_calls"] = std::move(calls);
      }
    } else {
      const auto& tm = std::get<ToolMessage>(ms[i]);
      o["role"] = "tool";
      o["tool_call_id"] = tm.tool_call_id;
      o["content"] = tm.content;
    }
    o["ts"] = t;
    out.push_back(std::move(o));
  }
  return out;
}

}  // namespace pelmox
