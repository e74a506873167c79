#include "request/token_search.h"

namespace qv {

std::string_view trim_left(std::string_view text) {
    while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
    return text;
}

std::string_view trim_right(std::string_view text) {
    while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
    return text;
}

size_t find_assignment(std::string_view text, std::string_view name) {
    if (name.empty()) return std::string_view::npos;
    for (size_t at = text.find(name); at != std::string_view::npos; at = text.find(name, at + name.size())) {
        const size_t after = at + name.size();
        if (after < text.size() && text[after] == '=') return at;
    }
    return std::string_view::npos;
}

namespace {

// The value of a query parameter that starts at `from`: leading white space
// skipped, cut before the first '&', trailing white space dropped.
std::string_view query_value_at(std::string_view args, size_t from) {
    std::string_view rest = trim_left(args.substr(from));
    const size_t amp = rest.find('&');
    if (amp != std::string_view::npos) rest = rest.substr(0, amp);
    return trim_right(rest);
}

}  // namespace

std::optional<std::string_view> query_token_value(std::string_view args, std::string_view name) {
    const size_t at = find_assignment(args, name);
    if (at == std::string_view::npos) return std::nullopt;
    return query_value_at(args, at + name.size() + 1);
}

std::optional<std::string_view> query_parameter_value(std::string_view args, std::string_view name) {
    if (name.empty()) return std::nullopt;
    for (size_t at = args.find(name); at != std::string_view::npos; at = args.find(name, at + name.size())) {
        const size_t after = at + name.size();
        if (after >= args.size() || args[after] != '=') continue;
        bool starts_parameter = at == 0;
        if (!starts_parameter) {
            size_t before = at;
            while (before > 0 && is_space(args[before - 1])) --before;
            starts_parameter = before > 0 && (args[before - 1] == '?' || args[before - 1] == '&');
        }
        if (starts_parameter) return query_value_at(args, after + 1);
    }
    return std::nullopt;
}

bool is_token_assignment(std::string_view text, std::string_view wire_name) {
    return text.size() > wire_name.size() && text.substr(0, wire_name.size()) == wire_name &&
           text[wire_name.size()] == '=';
}

std::string_view posted_token_value(std::string_view body, size_t wire_name_length) {
    if (body.size() <= wire_name_length) return {};
    return trim(body.substr(wire_name_length + 1));
}

CookieToken cookie_token(std::string_view header_value, std::string_view name) {
    CookieToken result;
    std::string_view rest = header_value;
    for (size_t at = find_assignment(rest, name); at != std::string_view::npos; at = find_assignment(rest, name)) {
        rest = trim_left(rest.substr(at + name.size() + 1));
        if (rest.empty() || rest.front() == ';') {
            result.kind = CookieTokenKind::omitted;
            continue;
        }
        const size_t semicolon = rest.find(';');
        result.kind = CookieTokenKind::found;
        result.value = trim_right(rest.substr(0, semicolon));
        return result;
    }
    return result;
}

}  // namespace qv
