#include "config/config_lines.h"

#include "config/config_values.h"

namespace qv {

namespace {

// Leading white space skipped, comment cut off; empty for a line with nothing to read.
std::string_view content_of(std::string_view line) {
    while (!line.empty() && is_space(line.front())) line.remove_prefix(1);
    if (line.empty() || line.front() == '#') return {};
    const size_t hash = line.find('#');
    if (hash != std::string_view::npos) line = line.substr(0, hash);
    return line;
}

void skip_space(std::string_view &text) {
    while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
}

}  // namespace

ConfigLine parse_directive_line(std::string_view line) {
    std::string_view content = content_of(line);
    if (content.empty()) return {};
    size_t end = 0;
    while (end < content.size() && !is_space(content[end])) ++end;
    ConfigLine result{LineKind::entry, content.substr(0, end), {}};
    content.remove_prefix(end);
    result.value = trim(content);
    return result;
}

ConfigLine parse_agent_line(std::string_view line) {
    std::string_view content = content_of(line);
    if (content.empty()) return {};
    size_t end = 0;
    while (end < content.size() && !is_space(content[end]) && content[end] != '=') ++end;
    if (end == 0) return {LineKind::no_key, {}, {}};
    ConfigLine result{LineKind::entry, content.substr(0, end), {}};
    content.remove_prefix(end);
    skip_space(content);
    if (content.empty() || content.front() != '=') return {LineKind::no_assignment, result.key, {}};
    content.remove_prefix(1);
    result.value = trim(content);
    return result;
}

bool LineReader::next(std::string_view &line) {
    if (rest.empty()) return false;
    const size_t feed = rest.find('\n');
    const size_t length = feed == std::string_view::npos ? rest.size() : feed + 1;
    line = rest.substr(0, length);
    rest.remove_prefix(length);
    ++number;
    return true;
}

}  // namespace qv
