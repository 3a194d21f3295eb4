#pragma once
// One conversation history with its timestamps and token budget, kept from outgrowing the model's context:
// pruning drops the oldest messages on every push, compaction replaces older turns by a digest the model wrote.
// Tokens are estimated at one per four bytes.
//
// Thread-safety: none of its own; the owner (the task store's lock) serialises access.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "llm/message.hpp"
#include "utils/result.hpp"

namespace pelmox {

inline constexpr std::uint64_t kDefaultContextBudget = 14000;
inline constexpr std::size_t kToolResultKeep = 8000;

std::uint64_t estimate(const Message& m);
std::uint64_t estimate(const std::vector<Message>& ms);

// A tool result as it may enter the history: whole up to 8000 bytes, else cut with the truncation note.
std::string truncate_for_context(std::string_view text);

// A final answer as shown: when the trimmed text is a JSON object, its first non-empty string member of
// "response", "message", "content", "answer"; otherwise the text unchanged.
std::string unwrap_answer(const std::string& text);

class ContextManager {
 public:
  explicit ContextManager(std::uint64_t max_tokens = kDefaultContextBudget) : max_tokens_(max_tokens) {}

  const std::vector<Message>& messages() const { return messages_; }
  const std::vector<std::uint64_t>& timestamps() const { return timestamps_; }
  std::uint64_t max_tokens() const { return max_tokens_; }
  void set_max_tokens(std::uint64_t n) { max_tokens_ = n; }

  void push(Message m);
  void prune();
  void clear();

  struct Selection {
    std::size_t end = 0;            // messages [1, end) are to be summarised
    std::vector<Message> messages;  // copies of them
  };
  std::optional<Selection> select_for_summary(std::uint64_t target, std::size_t keep) const;
  void compact(const std::string& digest, std::uint64_t target, std::size_t keep);

  // {"messages": [...], "timestamps": [...], "max_tokens": n}
  ordered_json to_json() const;
  static Result<ContextManager> from_json(const ordered_json& j);

 private:
  std::vector<Message> messages_;
  std::vector<std::uint64_t> timestamps_;
  std::uint64_t max_tokens_;
};

// The history for the web client: one object per message (empty system messages left out).
json history_view(const ContextManager& context);

}  // namespace pelmox
