#pragma once
// How much the agent may do without asking: supervised calls that can change the system wait for approval.

#include <string_view>

namespace pelmox {

enum class Autonomy { supervised, autonomous, yolo };

// Case-insensitive; any other word means supervised.
Autonomy parse_autonomy(std::string_view text);
const char* autonomy_name(Autonomy a);

}  // namespace pelmox
