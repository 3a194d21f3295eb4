#pragma once
// UTF-8 text helpers. Limits are counted in bytes and a cut never splits a character.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace pelmox {

// The largest character boundary at or below `max` (the text's size when it is shorter).
std::size_t utf8_floor(std::string_view text, std::size_t max);
// The text cut to at most `max` bytes at a character boundary, without a marker.
std::string utf8_prefix(std::string_view text, std::size_t max);
// Whole when at most `max` bytes, else the cut text followed by "...".
std::string truncate_str(std::string_view text, std::size_t max);

// Strict: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view text);
// Invalid sequences replaced by U+FFFD, one per maximal invalid subpart.
std::string lossy_utf8(std::string_view bytes);

// Checks UTF-8 that arrives in pieces (a file read in blocks): a character may be split between two pieces.
class Utf8Validator {
 public:
  // False once any invalid byte has been seen.
  bool feed(std::string_view piece);
  // True when everything fed so far is valid and no character is left unfinished.
  bool finish() const { return ok_ && need_ == 0; }

 private:
  bool ok_ = true;
  int need_ = 0;             // continuation bytes still expected
  unsigned char lo_ = 0x80;  // allowed range of the next continuation byte
  unsigned char hi_ = 0xBF;
};

// White space at both ends removed (Unicode White_Space, as users expect of "trimmed").
std::string_view trim(std::string_view text);
bool is_blank(std::string_view text);
// Full Unicode lower-casing of valid UTF-8 (invalid bytes are kept as they are).
std::string to_lower(std::string_view text);
// ASCII-only lower-casing, for names and protocol words.
std::string ascii_lower(std::string_view text);

// Appends the UTF-8 form of a code point (U+FFFD for values that are not scalar values).
void append_utf8(std::string& out, std::uint32_t cp);

}  // namespace pelmox
