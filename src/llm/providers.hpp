#pragma once
// The configured model endpoints ("providers"), the one the user has chosen, and writing a choice back to the
// configuration file so it holds at the next start.
//
// Thread-safety: a ProviderRegistry is shared by the agent and the web service; each of its fields has its own
// lock, held for one read or update only. Clients are immutable once registered, so handing one out never races
// with a switch.

#include <map>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "config/config.hpp"
#include "llm/model_client.hpp"
#include "net/http_client.hpp"

namespace pelmox {

struct ProviderInfo {
  std::string id;
  std::string name;  // display name
  bool operator==(const ProviderInfo&) const = default;
};

class ProviderRegistry {
 public:
  // Stores `client` under `id` (replacing an earlier one) with its display name (the id when none or empty is
  // given), keeps the first registration's place in the order, and makes `id` active when nothing is active yet.
  void register_provider(const std::string& id, const std::optional<std::string>& display_name,
                         ModelClientPtr client);
  // Not checked against the registered ids: start-up may name a provider that has no client.
  void set_active(const std::string& id);
  ModelClientPtr get(const std::string& id) const;  // nullptr when unknown
  ModelClientPtr current() const;                   // get(active())
  std::string display_name(const std::string& id) const;
  // Registered providers in registration order.
  std::vector<ProviderInfo> providers() const;
  std::string active() const;  // "" when none

 private:
  mutable std::shared_mutex clients_mutex_;
  std::map<std::string, ModelClientPtr> clients_;
  mutable std::shared_mutex names_mutex_;
  std::map<std::string, std::string> display_names_;
  mutable std::shared_mutex order_mutex_;
  std::vector<std::string> order_;
  mutable std::shared_mutex active_mutex_;
  std::string active_;
};

using ProviderRegistryPtr = std::shared_ptr<ProviderRegistry>;

struct BuiltProviders {
  ProviderRegistryPtr registry;
  ModelClientPtr client;  // the agent's start-up client; never null
};

// The registry built from [llm] and its provider tables, and the client the agent starts with: the active
// provider's, or the [llm] client when the active id (e.g. an unknown default_provider) has none. With `http`
// given, every client shares that connection pool.
BuiltProviders build_providers(const LlmConfig& config, HttpClientPtr http = nullptr);

// `text` with `key = "value"` set among the keys of `[section]`, comments and layout kept: an existing line for the
// key is replaced, otherwise the line goes directly after the header. None when `text` is not valid TOML, has no
// `[section]` header line, or the edit would not leave valid TOML holding that value (a missing section is never
// created).
std::optional<std::string> set_toml_key(std::string_view text, std::string_view section, std::string_view key,
                                        std::string_view value);

// Writes the chosen provider id and/or model name into [llm] of the file at `config_path` (default_provider and
// model). When the file cannot be read, edited or written, the choice goes to "model_prefs.json" in the current
// directory instead (other keys of that file kept); failures there are ignored.
void persist_selection(const std::string& config_path, const std::optional<std::string>& provider,
                       const std::optional<std::string>& model);

}  // namespace pelmox
