#pragma once
// Wall-clock helpers.

#include <cstdint>
#include <string>

namespace pelmox {

// Whole seconds since the Unix epoch; 0 when the clock reads earlier.
std::uint64_t unix_now_secs();
// The current local date as "%Y-%m-%d".
std::string local_date();

}  // namespace pelmox
