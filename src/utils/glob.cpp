#include "utils/glob.hpp"

#include <optional>

#include "utils/text.hpp"

namespace pelmox {

namespace {

// Code points of valid UTF-8; none for anything else.
std::optional<std::vector<std::uint32_t>> code_points(std::string_view text) {
  if (!is_valid_utf8(text)) return std::nullopt;
  std::vector<std::uint32_t> out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    auto b = static_cast<unsigned char>(text[i]);
    int len = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    std::uint32_t cp = len == 1 ? b : len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
    for (int k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    out.push_back(cp);
    i += static_cast<std::size_t>(len);
  }
  return out;
}

Error syntax_error(std::size_t pos, const char* what) {
  return Error("invalid pattern at position " + std::to_string(pos) + ": " + what);
}

}  // namespace

Result<Glob> Glob::compile(std::string_view pattern) {
  // A pattern from a decoded JSON string is valid UTF-8; anything else is read with replacement characters.
  auto decoded = code_points(pattern);
  std::vector<std::uint32_t> p = decoded ? std::move(*decoded) : *code_points(lossy_utf8(pattern));
  Glob g;
  std::size_t i = 0;
  while (i < p.size()) {
    std::uint32_t c = p[i];
    if (c == '?') {
      g.tokens_.push_back({Kind::AnyChar});
      ++i;
    } else if (c == '*') {
      std::size_t start = i;
      while (i < p.size() && p[i] == '*') ++i;
      std::size_t count = i - start;
      if (count > 2) return syntax_error(start, "use '*' or '**', not three or more '*' in a row");
      if (count == 1) {
        g.tokens_.push_back({Kind::AnySequence});
        continue;
      }
      bool starts_component = start == 0 || p[start - 1] == '/';
      bool ends_component = i == p.size() || p[i] == '/';
      if (!starts_component || !ends_component) {
        return syntax_error(start, "'**' must be a whole path component, as in 'a/**/b'");
      }
      if (i < p.size()) ++i;  // the separator after "**" belongs to it
      if (g.tokens_.empty() || g.tokens_.back().kind != Kind::AnyComponents) g.tokens_.push_back({Kind::AnyComponents});
    } else if (c == '[') {
      // The first character of a class is always a member, even "]"; the class ends at the next "]".
      bool negated = i + 1 < p.size() && p[i + 1] == '!';
      std::size_t first = i + (negated ? 2 : 1);
      std::size_t close = first + 1;
      while (close < p.size() && p[close] != ']') ++close;
      if (first >= p.size() || close >= p.size())
        return syntax_error(i, "'[' opens a character class that is never closed");
      Token t{negated ? Kind::Except : Kind::Within};
      for (std::size_t k = first; k < close;) {
        if (k + 2 < close && p[k + 1] == '-') {
          t.set.push_back({p[k], p[k + 2]});
          k += 3;
        } else {
          t.set.push_back({p[k], p[k]});
          ++k;
        }
      }
      g.tokens_.push_back(std::move(t));
      i = close + 1;
    } else {
      g.tokens_.push_back({Kind::Char, c});
      ++i;
    }
  }
  return g;
}

bool Glob::matches(std::string_view text) const {
  auto decoded = code_points(text);
  if (!decoded) return false;
  const std::vector<std::uint32_t>& s = *decoded;
  const std::size_t n = s.size();
  // next[p]: the tokens after the current one match s[p..]. Filled from the last token backwards, so the cost
  // is tokens x characters whatever the pattern, with no backtracking blow-up.
  std::vector<char> next(n + 1, 0), cur(n + 1, 0);
  next[n] = 1;
  for (std::size_t t = tokens_.size(); t-- > 0;) {
    const Token& tok = tokens_[t];
    switch (tok.kind) {
      case Kind::AnySequence:
        cur[n] = next[n];
        for (std::size_t p = n; p-- > 0;) cur[p] = next[p] || cur[p + 1];
        break;
      case Kind::AnyComponents: {
        // Zero components, or up to a point right after a separator, or everything that is left.
        bool later = next[n];
        cur[n] = next[n];
        for (std::size_t p = n; p-- > 0;) {
          cur[p] = next[p] || later;
          if (p > 0 && s[p - 1] == '/' && next[p]) later = true;
        }
        break;
      }
      default:
        cur[n] = 0;
        for (std::size_t p = 0; p < n; ++p) {
          std::uint32_t c = s[p];
          bool hit = false;
          if (tok.kind == Kind::Char) {
            hit = c == tok.ch;
          } else if (tok.kind == Kind::AnyChar) {
            hit = true;
          } else {
            bool in = false;
            for (const Range& r : tok.set) in = in || (r.lo <= c && c <= r.hi);
            hit = tok.kind == Kind::Within ? in : !in;
          }
          cur[p] = hit && next[p + 1];
        }
    }
    next.swap(cur);
  }
  return next[0] != 0;
}

}  // namespace pelmox
