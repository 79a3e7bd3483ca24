#pragma once

#include <string>
#include <vector>

namespace quillon {

struct ToolResult {
    int status = -1;   // exit status; -1 when the tool could not be started
    std::string out;   // standard output as UTF-8; empty when not valid UTF-8
};

// Runs an outside tool (absolute path, no search) with a time limit in seconds. Standard
// input and the environment are inherited; standard error goes to /dev/null. The tool runs
// in its own process group: when the limit passes, reading stops, the group gets SIGTERM and,
// about 2 s later, SIGKILL; the output gathered so far comes back with a non-zero status.
// Never blocks past the limit plus that grace, whatever the tool or its children do.
ToolResult runTool(const std::string& path, const std::vector<std::string>& args, double timeout);

} // namespace quillon
