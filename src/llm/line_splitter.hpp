#pragma once
// Splits a byte stream that arrives in arbitrary pieces (a streamed reply body) into lines, for the readers of
// server-sent events and of line-delimited JSON. A line is bounded: a provider that never sends "\n" gets an
// error, not an ever-growing buffer.
//
// Thread-safety: one splitter belongs to one reader.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "utils/result.hpp"

namespace pelmox {

class LineSplitter {
 public:
  static constexpr std::size_t kDefaultMaxLine = 8u << 20;

  explicit LineSplitter(std::size_t max_line = kDefaultMaxLine) : max_line_(max_line) {}

  // Appends `bytes` and moves every line completed by them to `lines`, without its "\n" and with invalid UTF-8
  // replaced by U+FFFD. A character split between two pieces stays whole, since no UTF-8 sequence contains
  // "\n". Fails once an unfinished line is longer than the limit; the splitter is then spent.
  Status feed(std::string_view bytes, std::vector<std::string>& lines);

  // The bytes after the last "\n" (a final line the stream did not terminate), decoded as above.
  std::string take_rest();

 private:
  std::size_t max_line_;
  std::string buf_;
  bool failed_ = false;
};

}  // namespace pelmox
