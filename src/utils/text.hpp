#pragma once
// UTF-8 text helpers. Limits are counted in bytes and a cut never splits a character.

#include <cstddef>
#include <string>
#include <string_view>

namespace pelmox {

// The largest character boundary at or below `max` (the text's size when it is shorter).
std::size_t utf8_floor(std::string_view text, std::size_t max);
// The text cut to at most `max` bytes at a character boundary, without a marker.
std::string utf8_prefix(std::string_view text, std::size_t max);
// Whole when at most `max` bytes, else the cut text followed by "...".
std::string truncate_str(std::string_view text, std::size_t max);

bool is_valid_utf8(std::string_view text);
// Invalid sequences replaced by U+FFFD.
std::string lossy_utf8(std::string_view bytes);

// White space at both ends removed (Unicode White_Space, as users expect of "trimmed").
std::string_view trim(std::string_view text);
bool is_blank(std::string_view text);
// Full Unicode lower-casing of valid UTF-8 (invalid bytes are kept as they are).
std::string to_lower(std::string_view text);
// ASCII-only lower-casing, for names and protocol words.
std::string ascii_lower(std::string_view text);

}  // namespace pelmox
