#include "llm/line_splitter.hpp"

#include "utils/text.hpp"

namespace pelmox {

Status LineSplitter::feed(std::string_view bytes, std::vector<std::string>& lines) {
  if (failed_) return Error("stream line exceeds " + std::to_string(max_line_) + " bytes");
  // Only the new bytes are searched, so a long line arriving in many pieces costs linear time.
  std::size_t start = 0;
  for (std::size_t nl; (nl = bytes.find('\n', start)) != std::string_view::npos; start = nl + 1) {
    if (buf_.size() + (nl - start) > max_line_) break;
    buf_.append(bytes.substr(start, nl - start));
    lines.push_back(lossy_utf8(buf_));
    buf_.clear();
  }
  std::string_view rest = bytes.substr(std::min(start, bytes.size()));
  if (rest.find('\n') != std::string_view::npos || buf_.size() + rest.size() > max_line_) {
    failed_ = true;
    buf_.clear();
    return Error("stream line exceeds " + std::to_string(max_line_) + " bytes");
  }
  buf_.append(rest);
  return ok_status();
}

std::string LineSplitter::take_rest() {
  std::string rest = lossy_utf8(buf_);
  buf_.clear();
  return rest;
}

}  // namespace pelmox
