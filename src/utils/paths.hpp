#pragma once
// Home-directory expansion and the hint that tells a model how a "~" path was understood.

#include <optional>
#include <string>

namespace pelmox {

// HOME, else USERPROFILE; none when neither is set or valid text.
std::optional<std::string> home_dir();
// "~" and "~/..." against the home directory; anything else unchanged.
std::string expand_tilde(const std::string& path);
// " (路径以 ~ 开头，...)" when the given path starts with "~" and expansion changed it; else "".
std::string tilde_hint(const std::string& given, const std::string& expanded);

}  // namespace pelmox
