#pragma once
// The built-in tools: five on the file system, the shell, and planning.

#include <optional>
#include <string>
#include <vector>

#include "tools/tool.hpp"

namespace pelmox {

ToolPtr make_read_file_tool();
ToolPtr make_write_file_tool();
ToolPtr make_list_directory_tool();
ToolPtr make_search_files_tool();
ToolPtr make_search_content_tool();
// `allowed_workdirs`: none or empty turns the working-directory sandbox off.
ToolPtr make_run_command_tool(std::optional<std::vector<std::string>> allowed_workdirs);
ToolPtr make_create_plan_tool();

// The steps of a create_plan call's arguments text: an object with a `steps` list of texts, or an array whose
// only element is that list. None when it does not decode.
std::optional<std::vector<std::string>> decode_plan(const std::string& arguments);

}  // namespace pelmox
