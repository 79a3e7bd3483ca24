#pragma once

#include <map>
#include <string>
#include <vector>

#include "test_home.h"

namespace quillon::testing {

// Runs any program (for example a copy of quillon somewhere else) with the arguments, standard
// input and environment changes as runQuillon takes them; a value of "\x01unset" removes a variable.
RunResult runProgram(const std::string& path, const std::vector<std::string>& args,
                     const std::string& input = "", const std::map<std::string, std::string>& env = {},
                     double timeoutSeconds = 60);

} // namespace quillon::testing
