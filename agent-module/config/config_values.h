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

// An integer in the forms the "%i" conversion of sscanf reads: optional
// white space, an optional sign, then decimal, "0x" hexadecimal or
// leading-"0" octal digits. Unlike sscanf, nothing but white space may follow
// the number, and values beyond int are told apart (and clamped to it), so
// that "30m" is never read as 30.
enum class NumberFault { none, not_a_number, trailing_text, out_of_range };

struct IntegerReading {
    int value = 0;             // clamped to int; 0 when no number starts the text
    NumberFault fault = NumberFault::none;
    bool sign = false;         // a '+' or '-' stood before the digits
    bool ok() const { return fault == NumberFault::none; }
};

IntegerReading read_integer(std::string_view text);


// Why a setting refuses an integer value, or empty when it takes it: text
// instead of a number or after it, a '+' or a number beyond int. Settings that
// `clamp` hold any number within their range afterwards and take signs; the
// others meet their own range rules after this (a negative number among them).
std::string_view integer_refusal(const IntegerReading &reading, bool clamp);

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
