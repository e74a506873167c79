#include "request/attributes.h"

#include "config/config_values.h"

namespace qv {

namespace {

constexpr bool is_escapable(char c) { return c == '\'' || c == '"' || c == '\\'; }

constexpr char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// Letter case folded and '-' read as '_'.
constexpr char header_char(char c) { return c == '-' ? '_' : upper(c); }

}  // namespace

bool next_payload_item(std::string_view &rest, PayloadItem &item) {
    while (!rest.empty()) {
        const size_t end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        const size_t equals = line.find('=');
        if (equals == std::string_view::npos) continue;
        item.key = line.substr(0, equals);
        item.value = line.substr(equals + 1);
        return true;
    }
    return false;
}

std::string_view strip_value(std::string_view raw) {
    std::string_view value = trim(raw);
    while (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.front() == value.back()) {
        value.remove_prefix(1);
        value.remove_suffix(1);
    }
    return value;
}

size_t escaped_pair_count(std::string_view value) {
    size_t count = 0;
    for (size_t i = 0; i + 1 < value.size(); ++i) {
        if (value[i] == '\\' && is_escapable(value[i + 1])) {
            ++count;
            ++i;
        }
    }
    return count;
}

void unescape_into(char *out, std::string_view value) {
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size() && is_escapable(value[i + 1])) ++i;
        *out++ = value[i];
    }
    *out = '\0';
}

std::string unescape_value(std::string_view value) {
    std::string out(value.size() - escaped_pair_count(value) + 1, '\0');
    unescape_into(out.data(), value);
    out.pop_back();
    return out;
}

void attribute_name_into(char *out, std::string_view prefix, std::string_view key) {
    for (const char c : prefix) *out++ = upper(c);
    for (const char c : key) *out++ = upper(c);
    *out = '\0';
}

std::string attribute_name(std::string_view prefix, std::string_view key) {
    std::string out(prefix.size() + key.size() + 1, '\0');
    attribute_name_into(out.data(), prefix, key);
    out.pop_back();
    return out;
}

bool header_names_equal(std::string_view a, std::string_view b) {
    return a.size() == b.size() && header_has_prefix(a, b);
}

bool header_has_prefix(std::string_view name, std::string_view prefix) {
    if (prefix.empty() || name.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (header_char(name[i]) != header_char(prefix[i])) return false;
    return true;
}

}  // namespace qv
