#include "response/url_syntax.h"

#include <cctype>
#include <cstdio>

namespace qv {

namespace {

bool starts_with_ignoring_case(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
    return true;
}

}  // namespace

bool is_url_safe(std::string_view text) { return count_url_unsafe(text) == 0; }

size_t count_url_unsafe(std::string_view text) {
    size_t count = 0;
    for (const char c : text)
        if (!is_url_safe_byte(static_cast<unsigned char>(c))) ++count;
    return count;
}

void url_safe_encode_into(char *out, std::string_view text) {
    static constexpr char digits[] = "0123456789ABCDEF";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (is_url_safe_byte(byte)) {
            *out++ = c;
        } else {
            *out++ = '%';
            *out++ = digits[byte >> 4];
            *out++ = digits[byte & 0x0f];
        }
    }
    *out = '\0';
}

std::string url_safe_encode(std::string_view text) {
    std::string result(text.size() + 2 * count_url_unsafe(text) + 1, '\0');
    url_safe_encode_into(result.data(), text);
    result.pop_back();
    return result;
}

UrlCheck check_http_url(std::string_view url) {
    if (url.empty()) return {"HTTP address is not valid - URL is null"};
    // "https" is tried first, so "https:" passes and "httpsx:" fails the colon rule.
    size_t at = 0;
    if (starts_with_ignoring_case(url, "https"))
        at = 5;
    else if (starts_with_ignoring_case(url, "http"))
        at = 4;
    else
        return {"HTTP address is not valid - the scheme is neither http, nor https"};
    if (at >= url.size() || url[at] != ':')
        return {"HTTP address is not valid - the scheme name is not followed by a colon"};
    ++at;
    if (url.substr(at, 2) != "//")
        return {"HTTP address is not valid - the scheme name is not followed by a double slash"};
    at += 2;
    if (at >= url.size()) return {"HTTP address is not valid - there are no authority/path/query parts"};
    if (url[at] == '/' || url[at] == ' ')
        return {"HTTP address is not valid - the authority part should not start with '%c'", url[at]};
    const std::string_view rest = url.substr(at);
    const size_t double_slash = rest.find("//");
    if (double_slash != std::string_view::npos && double_slash < rest.find('?'))
        return {"HTTP address is not valid - double slashes in the authority/path parts are forbidden"};
    return {};
}

std::string http_url_problem(std::string_view url) {
    const UrlCheck check = check_http_url(url);
    if (check.problem == nullptr) return {};
    char text[160];
    std::snprintf(text, sizeof text, check.problem, check.character);
    return text;
}

}  // namespace qv
