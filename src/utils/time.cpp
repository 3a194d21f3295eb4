#include "utils/time.hpp"

#include <chrono>
#include <ctime>

namespace pelmox {

std::uint64_t unix_now_secs() {
  auto since = std::chrono::system_clock::now().time_since_epoch();
  auto secs = std::chrono::duration_cast<std::chrono::seconds>(since).count();
  return secs > 0 ? static_cast<std::uint64_t>(secs) : 0;
}

std::string local_date() {
  std::time_t now = std::time(nullptr);
  std::tm parts{};
  // A time the zone rules cannot place (practically never) is shown in UTC rather than not at all.
  if (!localtime_r(&now, &parts)) gmtime_r(&now, &parts);
  char buf[32];
  std::size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%d", &parts);
  return std::string(buf, n);
}

}  // namespace pelmox
