#include "llm/providers.hpp"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>

#include <nlohmann/json.hpp>
#include <toml++/toml.h>

#include "llm/llm_client.hpp"
#include "utils/atomic_file.hpp"
#include "utils/text.hpp"

namespace pelmox {

void ProviderRegistry::register_provider(const std::string& id, const std::optional<std::string>& display_name,
                                         ModelClientPtr client) {
  {
    std::unique_lock lock(clients_mutex_);
    clients_[id] = std::move(client);
  }
  {
    std::unique_lock lock(names_mutex_);
    display_names_[id] = display_name && !display_name->empty() ? *display_name : id;
  }
  {
    std::unique_lock lock(order_mutex_);
    if (std::find(order_.begin(), order_.end(), id) == order_.end()) order_.push_back(id);
  }
  std::unique_lock lock(active_mutex_);
  if (active_.empty()) active_ = id;
}

void ProviderRegistry::set_active(const std::string& id) {
  std::unique_lock lock(active_mutex_);
  active_ = id;
}

ModelClientPtr ProviderRegistry::get(const std::string& id) const {
  std::shared_lock lock(clients_mutex_);
  auto it = clients_.find(id);
  return it == clients_.end() ? nullptr : it->second;
}

ModelClientPtr ProviderRegistry::current() const { return get(active()); }

std::string ProviderRegistry::display_name(const std::string& id) const {
  std::shared_lock lock(names_mutex_);
  auto it = display_names_.find(id);
  return it == display_names_.end() ? id : it->second;
}

std::vector<ProviderInfo> ProviderRegistry::providers() const {
  std::vector<std::string> order;
  {
    std::shared_lock lock(order_mutex_);
    order = order_;
  }
  std::vector<ProviderInfo> out;
  for (const auto& id : order) {
    if (get(id)) out.push_back({id, display_name(id)});
  }
  return out;
}

std::string ProviderRegistry::active() const {
  std::shared_lock lock(active_mutex_);
  return active_;
}

namespace {

LlmClientPtr make_client(const HttpClientPtr& http, const std::string& api_base, const std::string& api_key,
                         const std::string& model, std::uint32_t max_tokens, double temperature) {
  if (http) return LlmClient::create(http, api_base, api_key, model, max_tokens, temperature);
  return LlmClient::create(api_base, api_key, model, max_tokens, temperature);
}

}  // namespace

BuiltProviders build_providers(const LlmConfig& config, HttpClientPtr http) {
  auto registry = std::make_shared<ProviderRegistry>();
  LlmClientPtr fallback =
      make_client(http, config.api_base, config.api_key, config.model, config.max_tokens, config.temperature);
  if (config.num_ctx && *config.num_ctx != 0) fallback->set_num_ctx(*config.num_ctx);
  if (!config.api_base.empty() && !config.model.empty()) {
    registry->register_provider(config.model, config.model, fallback);
  }

  for (const auto& [id, p] : config.providers) {
    LlmClientPtr client = make_client(http, p.api_base, p.api_key, p.model, p.max_tokens, p.temperature);
    if (p.num_ctx && *p.num_ctx != 0) client->set_num_ctx(*p.num_ctx);
    if (p.native_ollama) client->set_native_ollama(true);
    if (p.enable_thinking) client->set_enable_thinking(true);
    if (p.max_thinking_length) client->set_max_thinking_length(p.max_thinking_length);
    registry->register_provider(id, p.name, client);
  }
  if (config.default_provider) registry->set_active(*config.default_provider);

  ModelClientPtr start = registry->current();
  if (!start) start = fallback;
  return {std::move(registry), std::move(start)};
}

namespace {

std::optional<toml::table> parse_toml(std::string_view text) {
#if TOML_EXCEPTIONS
  try {
    return toml::parse(text);
  } catch (const std::exception&) {
    return std::nullopt;
  }
#else
  auto result = toml::parse(text);
  if (!result) return std::nullopt;
  return std::move(result).table();
#endif
}

std::string toml_basic_string(std::string_view value) {
  std::string out = "\"";
  for (char ch : value) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04X", static_cast<unsigned>(c));
          out += buf;
        } else {
          out += ch;
        }
    }
  }
  out += '"';
  return out;
}

std::vector<std::string> split_lines(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t nl = text.find('\n', start);
    if (nl == std::string_view::npos) nl = text.size();
    lines.emplace_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return lines;
}

bool is_header(std::string_view trimmed) {
  return trimmed.size() >= 2 && trimmed.front() == '[' && trimmed.back() == ']';
}

bool is_key_line(std::string_view trimmed, std::string_view key) {
  if (!trimmed.starts_with(key)) return false;
  std::string_view rest = trim(trimmed.substr(key.size()));
  return rest.starts_with('=');
}

}  // namespace

std::optional<std::string> set_toml_key(std::string_view text, std::string_view section, std::string_view key,
                                        std::string_view value) {
  if (!parse_toml(text)) return std::nullopt;
  const std::string new_line = std::string(key) + " = " + toml_basic_string(value);
  std::vector<std::string> lines = split_lines(text);
  const std::string header = "[" + std::string(section) + "]";

  std::size_t start = lines.size();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (trim(lines[i]) == header) {
      start = i;
      break;
    }
  }
  if (start == lines.size()) return std::nullopt;

  // The section runs to the next top-level table header. Its own keys, though, stop at the first header of any
  // kind: a key below "[llm.providers.x]" belongs to that provider, and editing it would change the wrong setting.
  bool replaced = false;
  for (std::size_t i = start + 1; i < lines.size(); ++i) {
    std::string_view t = trim(lines[i]);
    if (is_header(t)) break;
    if (is_key_line(t, key)) {
      lines[i] = new_line;
      replaced = true;
      break;
    }
  }
  if (!replaced) lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(start) + 1, new_line);

  std::string out;
  for (const auto& line : lines) {
    out += line;
    out += '\n';
  }
  // A line edit can still break the file (a multi-line value, a key spelt in quotes); a configuration that no
  // longer loads would be far worse than a choice kept elsewhere.
  auto parsed = parse_toml(out);
  if (!parsed) return std::nullopt;
  auto written = (*parsed)[section][key].value<std::string>();
  if (!written || *written != value) return std::nullopt;
  return out;
}

namespace {

constexpr std::size_t kMaxFileSize = 16u << 20;

std::optional<std::string> read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text;
  char buf[8192];
  while (in.read(buf, sizeof buf) || in.gcount() > 0) {
    text.append(buf, static_cast<std::size_t>(in.gcount()));
    if (text.size() > kMaxFileSize) return std::nullopt;
  }
  if (in.bad()) return std::nullopt;
  return text;
}

}  // namespace

void persist_selection(const std::string& config_path, const std::optional<std::string>& provider,
                       const std::optional<std::string>& model) {
  if (!provider && !model) return;
  if (auto text = read_text(config_path)) {
    std::string t = *text;
    if (provider) {
      if (auto edited = set_toml_key(t, "llm", "default_provider", *provider)) t = std::move(*edited);
    }
    if (model) {
      if (auto edited = set_toml_key(t, "llm", "model", *model)) t = std::move(*edited);
    }
    if (t != *text && write_file_atomic(config_path, t).ok()) return;
  }

  const std::string prefs_path = "model_prefs.json";
  nlohmann::json prefs = nlohmann::json::object();
  if (auto text = read_text(prefs_path)) {
    auto parsed = nlohmann::json::parse(*text, nullptr, false);
    if (parsed.is_object()) prefs = std::move(parsed);
  }
  if (provider) prefs["provider"] = *provider;
  if (model) prefs["model"] = *model;
  (void)write_file_atomic(prefs_path, prefs.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
}

}  // namespace pelmox
