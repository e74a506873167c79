// Command-line parsing for the nubrel tool: options, operands and the
// conversion of option values, all over string views of argv.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tool {

// Exit statuses: 1 when a token, a file or a library operation fails,
// 2 when the command line itself is wrong.
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// Ends the command: carried up to main, which prints the message (one line)
// on standard error and exits with the status.
struct ToolExit {
    int status;
    std::string message;
};

struct OptionInfo {
    std::string_view name;        // "--suite"
    std::string_view value_name;  // "N"; empty for a flag without value
    bool repeatable = false;
};

struct Option {
    std::string_view name;
    std::string_view value;
};

struct Arguments {
    std::string_view command;  // for messages: "decode"
    std::vector<Option> options;
    std::vector<std::string_view> operands;
    bool help = false;
};

// Reads "--name VALUE", "--name=VALUE", flags, "--help"/"-h" and operands
// ("-" is an operand; "--" ends the options). Unknown or repeated options
// and missing values are usage errors.
Arguments parse_arguments(std::string_view command, std::span<const OptionInfo> known,
                          std::span<const std::string_view> args);

// The value of an option given once, if given.
std::optional<std::string_view> option_value(const Arguments &args, std::string_view name);
// Every value of a repeatable option, in command-line order.
std::vector<std::string_view> option_values(const Arguments &args, std::string_view name);
bool has_flag(const Arguments &args, std::string_view name);

// Text helpers for messages and parsing.
std::string quoted(std::string_view text);  // "text" in double quotes
constexpr bool is_space(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}
std::string_view trim(std::string_view text) noexcept;

[[noreturn]] void usage_error(std::string_view command, std::string_view message);

// Strict decimal integer: optional '-', digits only, no blanks.
std::optional<int64_t> parse_integer(std::string_view text);
// An even number of hexadecimal digits, at least two.
std::optional<std::vector<unsigned char>> parse_hex(std::string_view text);

// parse_integer within [min, max], or a usage error naming the option.
int64_t integer_option(const Arguments &args, std::string_view name, std::string_view text, int64_t min, int64_t max);

}  // namespace tool
