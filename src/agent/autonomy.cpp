#include "agent/autonomy.hpp"

#include "utils/text.hpp"

namespace pelmox {

Autonomy parse_autonomy(std::string_view text) {
  const auto word = ascii_lower(text);
  if (word == "autonomous") return Autonomy::autonomous;
  if (word == "yolo") return Autonomy::yolo;
  return Autonomy::supervised;
}

const char* autonomy_name(Autonomy a) {
  switch (a) {
    case Autonomy::autonomous: return "autonomous";
    case Autonomy::yolo: return "yolo";
    default: return "supervised";
  }
}

}  // namespace pelmox
