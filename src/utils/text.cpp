#include "utils/text.hpp"

#include <locale.h>

#include <clocale>
#include <cwctype>

namespace pelmox {

namespace {

bool is_continuation(unsigned char b) {
  return (b & 0xC0) == 0x80;
}

// The length a lead byte announces and the allowed range of the byte after it; 0 for bytes that never start a
// character (continuation bytes, C0/C1 overlong leads, F5 and above).
struct Lead {
  int len;
  unsigned char lo, hi;
};

Lead lead_of(unsigned char b) {
  if (b < 0x80) return {1, 0, 0};
  if (b >= 0xC2 && b <= 0xDF) return {2, 0x80, 0xBF};
  if (b == 0xE0) return {3, 0xA0, 0xBF};  // below A0 would be overlong
  if (b == 0xED) return {3, 0x80, 0x9F};  // above 9F would be a surrogate
  if (b >= 0xE1 && b <= 0xEF) return {3, 0x80, 0xBF};
  if (b == 0xF0) return {4, 0x90, 0xBF};
  if (b == 0xF4) return {4, 0x80, 0x8F};  // above 8F would pass U+10FFFF
  if (b >= 0xF1 && b <= 0xF3) return {4, 0x80, 0xBF};
  return {0, 0, 0};
}

struct Decoded {
  std::uint32_t cp;
  std::size_t len;  // bytes consumed: the character, or the maximal invalid subpart
  bool valid;
};

Decoded decode_at(std::string_view s, std::size_t i) {
  auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) return {b0, 1, true};
  Lead lead = lead_of(b0);
  if (lead.len == 0) return {0, 1, false};
  std::uint32_t cp = b0 & (lead.len == 2 ? 0x1F : lead.len == 3 ? 0x0F : 0x07);
  std::size_t n = 1;
  for (int k = 1; k < lead.len; ++k) {
    if (i + n >= s.size()) return {0, n, false};
    auto b = static_cast<unsigned char>(s[i + n]);
    unsigned char lo = k == 1 ? lead.lo : 0x80, hi = k == 1 ? lead.hi : 0xBF;
    if (b < lo || b > hi) return {0, n, false};
    cp = (cp << 6) | (b & 0x3F);
    ++n;
  }
  return {cp, n, true};
}

bool is_white_space(std::uint32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// A locale object of its own, so lower-casing never depends on (or changes) the process locale.
locale_t utf8_ctype() {
  static const locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  return loc;
}

}  // namespace

std::size_t utf8_floor(std::string_view text, std::size_t max) {
  if (max >= text.size()) return text.size();
  if (!is_continuation(static_cast<unsigned char>(text[max]))) return max;
  // Look back for the lead byte of the character that `max` falls into.
  for (std::size_t back = 1; back <= 3 && back <= max; ++back) {
    std::size_t p = max - back;
    auto b = static_cast<unsigned char>(text[p]);
    if (is_continuation(b)) continue;
    Decoded d = decode_at(text, p);
    return p + d.len > max ? p : max;
  }
  return max;  // a stray continuation byte stands alone
}

std::string utf8_prefix(std::string_view text, std::size_t max) {
  return std::string(text.substr(0, utf8_floor(text, max)));
}

std::string truncate_str(std::string_view text, std::size_t max) {
  if (text.size() <= max) return std::string(text);
  std::string out(text.substr(0, utf8_floor(text, max)));
  out += "...";
  return out;
}

bool is_valid_utf8(std::string_view text) {
  Utf8Validator v;
  v.feed(text);
  return v.finish();
}

std::string lossy_utf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    Decoded d = decode_at(bytes, i);
    if (d.valid) {
      out.append(bytes.substr(i, d.len));
    } else {
      out += "\xEF\xBF\xBD";
    }
    i += d.len;
  }
  return out;
}

bool Utf8Validator::feed(std::string_view piece) {
  if (!ok_) return false;
  for (char ch : piece) {
    auto b = static_cast<unsigned char>(ch);
    if (need_ > 0) {
      if (b < lo_ || b > hi_) return ok_ = false;
      lo_ = 0x80;
      hi_ = 0xBF;
      --need_;
      continue;
    }
    if (b < 0x80) continue;
    Lead lead = lead_of(b);
    if (lead.len == 0) return ok_ = false;
    need_ = lead.len - 1;
    lo_ = lead.lo;
    hi_ = lead.hi;
  }
  return true;
}

std::string_view trim(std::string_view text) {
  std::size_t i = 0, start = text.size(), end = 0;
  while (i < text.size()) {
    Decoded d = decode_at(text, i);
    if (!d.valid || !is_white_space(d.cp)) {
      if (start == text.size()) start = i;
      end = i + d.len;
    }
    i += d.len;
  }
  if (start == text.size()) return text.substr(0, 0);
  return text.substr(start, end - start);
}

bool is_blank(std::string_view text) {
  return trim(text).empty();
}

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::string to_lower(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  locale_t loc = utf8_ctype();
  std::size_t i = 0;
  while (i < text.size()) {
    auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x80) {
      out += (b >= 'A' && b <= 'Z') ? static_cast<char>(b + 32) : static_cast<char>(b);
      ++i;
      continue;
    }
    Decoded d = decode_at(text, i);
    if (!d.valid) {
      out.append(text.substr(i, d.len));
    } else if (d.cp == 0x130) {
      out += "i\xCC\x87";  // capital I with dot above keeps its dot as a combining mark
    } else if (loc) {
      append_utf8(out, static_cast<std::uint32_t>(towlower_l(static_cast<wint_t>(d.cp), loc)));
    } else {
      out.append(text.substr(i, d.len));
    }
    i += d.len;
  }
  return out;
}

std::string ascii_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return out;
}

}  // namespace pelmox
