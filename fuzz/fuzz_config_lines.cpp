// The module's configuration file lines: the input is walked line by line,
// each line read as a directive and as an agent-file line, and the values
// fed to the value readers (flags, integers, comma lists).
#include "config/config_lines.h"
#include "config/config_values.h"
#include "fuzz_check.h"

#include <cinttypes>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace {

bool within(std::string_view part, std::string_view whole) {
    return part.empty() || (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}

bool has_space(std::string_view text) {
    for (const char c : text)
        if (qv::is_space(c)) return true;
    return false;
}

bool is_trimmed(std::string_view text) { return qv::trim(text) == text; }

bool equals_ignoring_case(std::string_view text, std::string_view lower) {
    if (text.size() != lower.size()) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = (text[i] >= 'A' && text[i] <= 'Z') ? static_cast<char>(text[i] - 'A' + 'a') : text[i];
        if (c != lower[i]) return false;
    }
    return true;
}

void check_flags(std::string_view text) {
    const auto yes_no = qv::parse_yes_no(text);
    FUZZ_CHECK(yes_no.has_value() == (equals_ignoring_case(text, "yes") || equals_ignoring_case(text, "no")));
    if (yes_no) FUZZ_CHECK(*yes_no == (text.size() == 3));
    const auto true_false = qv::parse_true_false(text);
    FUZZ_CHECK(true_false.has_value() == (equals_ignoring_case(text, "true") || equals_ignoring_case(text, "false")));
    if (true_false) FUZZ_CHECK(*true_false == (text.size() == 4));
}

// No item is empty or padded, none holds a comma, and no other character is lost.
void check_comma_list(std::string_view text) {
    size_t kept = 0;
    for (const char c : text)
        if (c != ',' && !qv::is_space(c)) ++kept;
    size_t listed = 0;
    for (const std::string_view item : qv::split_comma_list(text)) {
        FUZZ_CHECK(!item.empty() && is_trimmed(item) && within(item, text));
        FUZZ_CHECK(item.find(',') == std::string_view::npos);
        for (const char c : item)
            if (!qv::is_space(c)) ++listed;
    }
    FUZZ_CHECK(listed == kept);
}

// Whatever the text, read_integer stays within int; numbers it writes itself
// it reads back, and text after a number is never taken for part of it.
void check_int(std::string_view text) {
    const qv::IntegerReading any = qv::read_integer(text);
    FUZZ_CHECK(any.fault != qv::NumberFault::not_a_number || any.value == 0);
    int64_t number = 0;
    if (!text.empty()) std::memcpy(&number, text.data(), std::min(text.size(), sizeof number));
    char formatted[32];
    std::snprintf(formatted, sizeof formatted, "%" PRId64, number);
    const int64_t clamped = number > INT_MAX ? INT_MAX : (number < INT_MIN ? INT_MIN : number);
    const qv::IntegerReading plain = qv::read_integer(formatted);
    FUZZ_CHECK(plain.value == static_cast<int>(clamped));
    FUZZ_CHECK(plain.ok() == (clamped == number));
    const auto magnitude = static_cast<uint32_t>(number);
    std::snprintf(formatted, sizeof formatted, " %#" PRIx32 "kb", magnitude);
    const qv::IntegerReading with_unit = qv::read_integer(formatted);
    FUZZ_CHECK(with_unit.value == (magnitude > INT_MAX ? INT_MAX : static_cast<int>(magnitude)));
    FUZZ_CHECK(!with_unit.ok());
    std::snprintf(formatted, sizeof formatted, "-0%" PRIo32, magnitude & 0xffff);
    const qv::IntegerReading octal = qv::read_integer(formatted);
    FUZZ_CHECK(octal.ok() && octal.value == -static_cast<int>(magnitude & 0xffff));
}

void check_directive(std::string_view line) {
    const qv::ConfigLine parsed = qv::parse_directive_line(line);
    FUZZ_CHECK(parsed.kind == qv::LineKind::skip || parsed.kind == qv::LineKind::entry);
    if (parsed.kind == qv::LineKind::skip) {
        FUZZ_CHECK(parsed.key.empty() && parsed.value.empty());
        return;
    }
    FUZZ_CHECK(!parsed.key.empty() && within(parsed.key, line) && within(parsed.value, line));
    FUZZ_CHECK(!has_space(parsed.key) && is_trimmed(parsed.value));
    FUZZ_CHECK(parsed.key.find('#') == std::string_view::npos && parsed.value.find('#') == std::string_view::npos);
    // The value follows the name.
    if (!parsed.value.empty()) FUZZ_CHECK(parsed.value.data() > parsed.key.data() + parsed.key.size());
}

void check_agent(std::string_view line) {
    const qv::ConfigLine parsed = qv::parse_agent_line(line);
    switch (parsed.kind) {
    case qv::LineKind::skip:
    case qv::LineKind::no_key:
        FUZZ_CHECK(parsed.key.empty() && parsed.value.empty());
        return;
    case qv::LineKind::no_assignment:
        FUZZ_CHECK(!parsed.key.empty() && parsed.value.empty());
        break;
    case qv::LineKind::entry:
        FUZZ_CHECK(!parsed.key.empty() && within(parsed.value, line) && is_trimmed(parsed.value));
        FUZZ_CHECK(parsed.value.find('#') == std::string_view::npos);
        break;
    }
    FUZZ_CHECK(within(parsed.key, line) && !has_space(parsed.key));
    FUZZ_CHECK(parsed.key.find_first_of("=#") == std::string_view::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    qv::LineReader reader(text);
    std::string_view line;
    size_t consumed = 0;
    while (reader.next(line)) {
        // Lines follow one another without a gap, each ends at its line feed.
        FUZZ_CHECK(!line.empty() && line.data() == text.data() + consumed);
        FUZZ_CHECK(line.find('\n') == std::string_view::npos || line.find('\n') == line.size() - 1);
        consumed += line.size();
        FUZZ_CHECK(reader.number > 0 && static_cast<size_t>(reader.number) <= consumed);

        check_directive(line);
        check_agent(line);
        const qv::ConfigLine directive = qv::parse_directive_line(line);
        check_flags(directive.value);
        check_int(directive.value);
        check_comma_list(directive.value);
    }
    FUZZ_CHECK(consumed == text.size());
    check_comma_list(text);
    return 0;
}
