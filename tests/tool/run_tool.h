// Runs the built nubrel tool with arguments and standard input, without a shell.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tooltest {

struct ToolRun {
    int status = -1;  // exit status; -1 when the tool did not exit normally
    std::string out;
    std::string err;
};

ToolRun run_tool(const std::vector<std::string> &args, std::string_view input = {});

}  // namespace tooltest
