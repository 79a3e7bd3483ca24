#pragma once

#include <string>
#include <vector>

namespace quillon {

struct ToolResult {
    int status = -1;   // exit status; -1 when the tool could not be started
    std::string out;   // standard output as UTF-8; empty when not valid UTF-8
};

// Runs an outside tool (absolute path, no search) with a time limit in seconds. Standard
// error goes to /dev/null. Blocks the caller until the tool ends or the limit passes.
ToolResult runTool(const std::string& path, const std::vector<std::string>& args, double timeout);

} // namespace quillon
