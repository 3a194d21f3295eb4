#pragma once
// Shell-style path patterns, matched against whole path texts:
//   ?        any one character, "/" included
//   *        any run of characters, across "/" too
//   **       any run of whole path components; it must stand alone between separators ("a/**/b", "**/*.rs")
//   [abc]    one of the listed characters; "a-z" is a range; [!abc] is any other character
// A metacharacter is matched literally inside a class: "[*]", "[?]", "[[]"; a "]" right after "[" or "[!"
// belongs to the class, and "-" first or last is literal. Matching is case-sensitive and a leading "." needs no
// literal match.
//
// Thread-safety: a compiled Glob is immutable and may be shared.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "utils/result.hpp"

namespace pelmox {

class Glob {
 public:
  // Errors describe the first problem and where it is, e.g. an unclosed "[".
  static Result<Glob> compile(std::string_view pattern);

  // Text that is not valid UTF-8 never matches.
  bool matches(std::string_view text) const;

 private:
  enum class Kind { Char, AnyChar, AnySequence, AnyComponents, Within, Except };
  struct Range {
    std::uint32_t lo, hi;
  };
  struct Token {
    Kind kind;
    std::uint32_t ch = 0;
    std::vector<Range> set;
  };
  std::vector<Token> tokens_;
};

}  // namespace pelmox
