#include "config/config_values.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

namespace qv {

namespace {

bool equals_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

std::optional<bool> parse_pair(std::string_view text, std::string_view on, std::string_view off) {
    if (equals_ignoring_case(text, on)) return true;
    if (equals_ignoring_case(text, off)) return false;
    return std::nullopt;
}

}  // namespace

std::optional<bool> parse_yes_no(std::string_view text) { return parse_pair(text, "yes", "no"); }

std::optional<bool> parse_true_false(std::string_view text) { return parse_pair(text, "true", "false"); }

std::optional<bool> parse_on_off(std::string_view text) {
    const auto flag = parse_pair(text, "on", "off");
    return flag ? flag : parse_yes_no(text);
}

IntegerReading read_integer(std::string_view text) {
    IntegerReading reading;
    text = trim(text);
    reading.sign = !text.empty() && (text.front() == '+' || text.front() == '-');
    // "%i" takes no blank between the sign and the digits; strtol would.
    if (text.empty() || (reading.sign && (text.size() == 1 || is_space(text[1])))) {
        reading.fault = NumberFault::not_a_number;
        return reading;
    }
    // strtol with base 0 reads exactly what "%i" reads; it needs a terminated copy.
    const std::string copy(text);
    const char *start = copy.c_str();
    char *end = nullptr;
    errno = 0;
    const long value = std::strtol(start, &end, 0);
    if (end == start) {
        reading.fault = NumberFault::not_a_number;
        return reading;
    }
    if (value > INT_MAX || value < INT_MIN || errno == ERANGE) {
        reading.value = value > 0 ? INT_MAX : INT_MIN;
        reading.fault = NumberFault::out_of_range;
    } else {
        reading.value = static_cast<int>(value);
    }
    if (*end != '\0' && reading.ok()) reading.fault = NumberFault::trailing_text;
    return reading;
}

std::string_view integer_refusal(const IntegerReading &reading, bool clamp) {
    switch (reading.fault) {
    case NumberFault::not_a_number: return "is not a number";
    case NumberFault::trailing_text: return "has text after the number";
    case NumberFault::out_of_range:
        if (!clamp) return "is out of range";
        break;
    case NumberFault::none: break;
    }
    if (!clamp && reading.sign && reading.value >= 0) return "takes no sign";
    return {};
}

std::vector<std::string_view> split_comma_list(std::string_view text) {
    std::vector<std::string_view> items;
    while (!text.empty()) {
        const size_t comma = text.find(',');
        const std::string_view item = trim(text.substr(0, comma));
        if (!item.empty()) items.push_back(item);
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
    return items;
}

bool has_target_resource_parameter(std::string_view url) {
    const size_t at = url.find("TargetResource=");
    return at != std::string_view::npos && at > 0 && (url[at - 1] == '?' || url[at - 1] == '&');
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
    return text;
}

}  // namespace qv
