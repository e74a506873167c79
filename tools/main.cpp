// nubrel: decodes, inspects, encodes and issues Nubrel tokens for operators,
// tests and the demonstration set-up.
#include "commands.h"

#include "nubrel.h"

#include <cstdio>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

namespace {

int run(std::span<const std::string_view> args) {
    using namespace tool;
    if (args.empty()) usage_error("", "a command is needed");
    const std::string_view name = args.front();
    if (name == "--help" || name == "-h") {
        std::fputs(tool_help().c_str(), stdout);
        return 0;
    }
    if (name == "--version") {
        std::printf("nubrel (%s)\n", get_nubrel_library_version());
        return 0;
    }
    const Command *command = find_command(name);
    if (command == nullptr) usage_error("", "unknown command \"" + std::string(name) + "\"");
    const Arguments parsed = parse_arguments(command->name, command->options, args.subspan(1));
    if (parsed.help) {
        std::fputs(command_help(*command).c_str(), stdout);
        return 0;
    }
    return command->run(parsed);
}

}  // namespace

int main(int argc, char **argv) {
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    int status = 0;
    try {
        status = run(args);
    } catch (const tool::ToolExit &exit) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s\n", exit.message.c_str());
        return exit.status;
    } catch (const std::exception &error) {
        std::fprintf(stderr, "nubrel: %s\n", error.what());
        return tool::kExitFailure;
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fputs("nubrel: cannot write to standard output\n", stderr);
        return tool::kExitFailure;
    }
    return status;
}
