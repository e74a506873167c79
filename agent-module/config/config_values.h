// Values of directives and agent-file keys, read without Apache.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

namespace qv {

// "yes" / "no", letter case ignored (directive flags).
std::optional<bool> parse_yes_no(std::string_view text);

// "on" / "off", letter case ignored; "yes" / "no" read the same.
std::optional<bool> parse_on_off(std::string_view text);

// "true" / "false", letter case ignored (agent-file flags).
std::optional<bool> parse_true_false(std::string_view text);

// An integer read like the "%i" conversion of sscanf: leading white space,
// optional sign, decimal, "0x" hexadecimal or leading-"0" octal; characters
// after the number are ignored. Empty when no number starts the text.
// Values beyond the range of int are clamped to it.
std::optional<int> parse_int(std::string_view text);

// Verbose levels are held within 0..5.
constexpr int clamp_verbose_level(int level) { return level < 0 ? 0 : (level > 5 ? 5 : level); }

// Items of a comma-separated list, each trimmed of white space; empty items
// are dropped. The views point into the text.
std::vector<std::string_view> split_comma_list(std::string_view text);

// True when the first "TargetResource=" of the URL is not its first character
// and follows '?' or '&': the login page already names the target itself.
bool has_target_resource_parameter(std::string_view url);

// White space as isspace() sees it in the C locale.
constexpr bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

std::string_view trim(std::string_view text);

}  // namespace qv
