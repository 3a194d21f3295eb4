#include "utils/log.hpp"

#include <memory>
#include <mutex>
#include <unordered_map>

#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/ansicolor_sink.h>

namespace pelmox {

namespace {

using spdlog::level::level_enum;

std::string_view trim_ascii(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

std::optional<level_enum> parse_level(std::string_view word) {
  std::string lower(word);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (lower == "trace") return level_enum::trace;
  if (lower == "debug") return level_enum::debug;
  if (lower == "info") return level_enum::info;
  if (lower == "warn") return level_enum::warn;
  if (lower == "error") return level_enum::err;
  if (lower == "off") return level_enum::off;
  return std::nullopt;
}

bool valid_target(std::string_view t) {
  if (t.empty()) return false;
  for (char c : t) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                    c == ':' || c == '-' || c == '.';
    if (!ok) return false;
  }
  return true;
}

bool selects(std::string_view directive, std::string_view target) {
  if (!target.starts_with(directive)) return false;
  return target.size() == directive.size() || target.substr(directive.size()).starts_with("::");
}

// The level column: upper-case, right-aligned in five, inside the colour range.
class LevelFlag final : public spdlog::custom_flag_formatter {
 public:
  void format(const spdlog::details::log_msg& msg, const std::tm&, spdlog::memory_buf_t& dest) override {
    std::string_view text;
    switch (msg.level) {
      case level_enum::trace: text = "TRACE"; break;
      case level_enum::debug: text = "DEBUG"; break;
      case level_enum::info: text = " INFO"; break;
      case level_enum::warn: text = " WARN"; break;
      default: text = "ERROR"; break;
    }
    msg.color_range_start = dest.size();
    dest.append(text.data(), text.data() + text.size());
    msg.color_range_end = dest.size();
  }
  std::unique_ptr<custom_flag_formatter> clone() const override { return std::make_unique<LevelFlag>(); }
};

using Sink = spdlog::sinks::ansicolor_stdout_sink_mt;

// The one logging state of the process. It is never destroyed: threads may still log while the process exits.
struct LogState {
  std::mutex mu;
  LogFilter filter = effective_log_filter({});
  std::shared_ptr<Sink> sink;
  std::unordered_map<std::string, std::shared_ptr<spdlog::logger>> loggers;

  LogState() : sink(std::make_shared<Sink>(spdlog::color_mode::always)) {
    auto formatter = std::make_unique<spdlog::pattern_formatter>(spdlog::pattern_time_type::utc);
    formatter->add_flag<LevelFlag>('*').set_pattern("%Y-%m-%dT%H:%M:%S.%fZ %* %n: %v");
    sink->set_formatter(std::move(formatter));
    sink->set_color(level_enum::trace, sink->magenta);
    sink->set_color(level_enum::debug, sink->blue);
    sink->set_color(level_enum::info, sink->green);
    sink->set_color(level_enum::warn, sink->yellow);
    sink->set_color(level_enum::err, sink->red);
    sink->set_color(level_enum::critical, sink->red);
  }
};

LogState& state() {
  static LogState* s = new LogState();  // deliberately leaked, see LogState
  return *s;
}

}  // namespace

level_enum LogFilter::level_for(std::string_view target) const {
  std::optional<level_enum> best;
  std::size_t best_len = 0;
  for (const auto& [directive, level] : targets) {
    if (selects(directive, target) && (!best || directive.size() >= best_len)) {
      best = level;
      best_len = directive.size();
    }
  }
  if (best) return *best;
  return default_level.value_or(level_enum::off);
}

std::optional<LogFilter> parse_log_filter(std::string_view text) {
  LogFilter filter;
  bool any = false;
  while (true) {
    const std::size_t comma = text.find(',');
    const std::string_view piece = trim_ascii(text.substr(0, comma));
    if (!piece.empty()) {
      any = true;
      const std::size_t eq = piece.find('=');
      if (eq != std::string_view::npos) {
        const std::string_view target = trim_ascii(piece.substr(0, eq));
        const auto level = parse_level(trim_ascii(piece.substr(eq + 1)));
        if (!valid_target(target) || !level) return std::nullopt;
        filter.targets.emplace_back(std::string(target), *level);
      } else if (const auto level = parse_level(piece)) {
        filter.default_level = *level;
      } else if (valid_target(piece)) {
        filter.targets.emplace_back(std::string(piece), level_enum::trace);
      } else {
        return std::nullopt;
      }
    }
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  if (!any) return std::nullopt;
  return filter;
}

LogFilter effective_log_filter(const LogSettings& settings) {
  if (settings.filter) {
    if (auto parsed = parse_log_filter(*settings.filter)) return std::move(*parsed);
  }
  LogFilter filter;
  filter.default_level = settings.verbose ? level_enum::debug : level_enum::info;
  return filter;
}

void init_logging(const LogSettings& settings) {
  LogState& s = state();
  std::lock_guard lock(s.mu);
  s.filter = effective_log_filter(settings);
  s.sink->set_color_mode(settings.color ? spdlog::color_mode::always : spdlog::color_mode::never);
  for (auto& [name, log] : s.loggers) log->set_level(s.filter.level_for(name));
}

spdlog::logger& logger(std::string_view module) {
  std::string name = module.empty() ? std::string("pelmox") : "pelmox::" + std::string(module);
  LogState& s = state();
  std::lock_guard lock(s.mu);
  auto it = s.loggers.find(name);
  if (it == s.loggers.end()) {
    auto log = std::make_shared<spdlog::logger>(name, s.sink);
    log->set_level(s.filter.level_for(name));
    it = s.loggers.emplace(std::move(name), std::move(log)).first;
  }
  return *it->second;
}

}  // namespace pelmox
