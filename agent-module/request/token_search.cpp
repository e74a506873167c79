#include "request/token_search.h"

#include <cstring>

#include "response/request_url.h"

namespace qv {

std::string_view trim_left(std::string_view text) {
    while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
    return text;
}

std::string_view trim_right(std::string_view text) {
    while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
    return text;
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

// Where the pair at the front of a Cookie header ends: at its ';' or ','.
// Headers carry long values, so the search is memchr's.
size_t cookie_pair_end(std::string_view text) {
    size_t end = text.size();
    if (const void *semicolon = std::memchr(text.data(), ';', end); semicolon != nullptr)
        end = static_cast<size_t>(static_cast<const char *>(semicolon) - text.data());
    if (const void *comma = std::memchr(text.data(), ',', end); comma != nullptr)
        end = static_cast<size_t>(static_cast<const char *>(comma) - text.data());
    return end;
}

// The value of the URL-safe modified base64 digit, or -1.
constexpr int base64_digit(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '-') return 62;
    if (c == '_') return 63;
    return -1;
}

}  // namespace

std::optional<std::string_view> query_parameter_value(std::string_view args, std::string_view name) {
    const size_t at = find_query_parameter(args, name);
    if (at == std::string_view::npos) return std::nullopt;
    return query_value_at(args, at + name.size() + 1);
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
    if (name.empty()) return result;
    std::string_view rest = header_value;
    while (!rest.empty()) {
        rest = trim_left(rest);
        const size_t end = cookie_pair_end(rest);
        const std::string_view pair = rest.substr(0, end);
        rest.remove_prefix(end < rest.size() ? end + 1 : end);
        if (pair.size() <= name.size() || pair.substr(0, name.size()) != name || pair[name.size()] != '=') continue;
        const std::string_view value = trim(pair.substr(name.size() + 1));
        if (value.empty()) {
            result.kind = CookieTokenKind::omitted;
            continue;
        }
        result.kind = CookieTokenKind::found;
        result.value = value;
        return result;
    }
    return result;
}

std::optional<int> declared_cipher_suite(std::string_view token) {
    if (token.size() < 8) return std::nullopt;
    int digits[4];
    for (int i = 0; i < 4; ++i) {
        digits[i] = base64_digit(token[4 + i]);
        if (digits[i] < 0) return std::nullopt;
    }
    // Characters 4 to 7 carry bytes 3 (version), 4 (suite) and 5.
    return ((digits[1] & 0x0F) << 4) | (digits[2] >> 2);
}

}  // namespace qv
