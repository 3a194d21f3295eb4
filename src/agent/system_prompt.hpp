#pragma once
// The standing instructions every conversation starts with, listing the tools this agent really offers.

#include <string>

namespace pelmox {

class ToolRegistry;

// The fixed template with one "- name: description" line per registered tool, joined by line feeds.
std::string build_system_prompt(const ToolRegistry& registry);

}  // namespace pelmox
