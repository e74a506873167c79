// The tool's commands: one table that main dispatches on.
#pragma once

#include "cli.h"

#include <span>
#include <string>
#include <string_view>

namespace tool {

struct Command {
    std::string_view name;
    std::string_view summary;       // one line in the tool's help
    std::string_view usage;         // the "Usage:" lines
    std::string_view description;   // what it does and prints
    std::string_view options_help;  // the command's own options
    bool key_options;               // takes --agent-config, --password-b64, --salt-hex, --iterations
    std::span<const OptionInfo> options;
    int (*run)(const Arguments &args);
};

const Command *find_command(std::string_view name);

std::string command_help(const Command &command);
std::string tool_help();

}  // namespace tool
