#include "startup/agent_file_rules.h"

#include "config/config_lines.h"
#include "config/config_values.h"

namespace qv {

namespace {

std::string quoted_value(std::string_view key, std::string_view value) {
    return std::string(key) + " = \"" + std::string(value) + "\"";
}

// A number of the file, or a problem; `seconds` keys say how to write them.
bool read_number(AgentFileFindings &findings, int line, std::string_view key, std::string_view value, bool seconds,
                 int &out) {
    const IntegerReading reading = read_integer(value);
    if (const std::string_view why = integer_refusal(reading, false); !why.empty()) {
        std::string text = quoted_value(key, value) + " " + std::string(why);
        if (seconds && reading.fault == NumberFault::trailing_text) text += " - write whole seconds, without a unit";
        findings.problems.push_back({line, std::move(text)});
        return false;
    }
    // A negative number is kept, as the agent keeps it, and refused.
    out = reading.value;
    if (seconds && reading.value < 0) {
        findings.problems.push_back({line, quoted_value(key, value) + " is negative"});
        return false;
    }
    return true;
}

}  // namespace

AgentFileFindings judge_agent_file(std::string_view text, bool (*known_suite)(int)) {
    AgentFileFindings findings;
    bool lifetime_refused = false;  // said once is enough
    LineReader reader(text);
    std::string_view raw;
    while (reader.next(raw)) {
        const ConfigLine line = parse_agent_line(raw);
        if (line.kind == LineKind::no_assignment) {
            findings.problems.push_back({reader.number, "\"" + std::string(line.key) +
                                                            "\" has no \"=\": the agent reads no further line"});
            break;
        }
        if (line.kind != LineKind::entry) continue;
        const int number = reader.number;
        if (line.key == "token-lifetime") {
            lifetime_refused = !read_number(findings, number, line.key, line.value, true, findings.token_lifetime);
        } else if (line.key == "token-notbefore-tolerance") {
            read_number(findings, number, line.key, line.value, true, findings.notbefore_tolerance);
        } else if (line.key == "cipher-suite") {
            int suite = 0;
            if (!read_number(findings, number, line.key, line.value, false, suite)) continue;
            if (known_suite != nullptr && !known_suite(suite))
                findings.problems.push_back({number, quoted_value(line.key, line.value) + " is not a known suite"});
            else
                findings.cipher_suite = suite;
        } else if (line.key == "use-cookie" || line.key == "obfuscate-password") {
            if (!parse_true_false(line.value))
                findings.problems.push_back(
                    {number, quoted_value(line.key, line.value) + " should be either true or false"});
        }
    }
    if (!lifetime_refused && findings.token_lifetime <= 0)
        findings.problems.push_back({0, "token-lifetime is not specified: the agent needs one above 0"});
    return findings;
}

}  // namespace qv
