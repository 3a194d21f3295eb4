#include "utils/paths.hpp"

#include <cstdlib>

#include "utils/text.hpp"

namespace pelmox {

namespace {

std::optional<std::string> text_var(const char* name) {
  const char* v = std::getenv(name);
  if (!v) return std::nullopt;
  std::string s(v);
  if (!is_valid_utf8(s)) return std::nullopt;
  return s;
}

}  // namespace

std::optional<std::string> home_dir() {
  if (auto h = text_var("HOME")) return h;
  return text_var("USERPROFILE");
}

std::string expand_tilde(const std::string& path) {
  auto home = home_dir();
  if (!home || home->empty()) return path;
  if (path == "~") return *home;
  if (path.size() >= 2 && path[0] == '~' && path[1] == '/') {
    std::string base = *home;
    while (!base.empty() && base.back() == '/') base.pop_back();
    return base + "/" + path.substr(2);
  }
  return path;
}

std::string tilde_hint(const std::string& given, const std::string& expanded) {
  if (given.empty() || given[0] != '~' || given == expanded) return "";
  return " (路径以 ~ 开头，已尝试展开为 '" + expanded + "'，请确认目标存在；或改用绝对路径)";
}

}  // namespace pelmox
