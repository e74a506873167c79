#include "response/cookie_format.h"

namespace qv {

namespace {

void append_scope(std::string &value, const CookieAttributes &cookie) {
    if (cookie.path) value.append(";path=").append(*cookie.path);
    if (cookie.domain && !cookie.domain->empty()) value.append(";domain=").append(*cookie.domain);
}

void append_attributes(std::string &value, const CookieAttributes &cookie) {
    if (cookie.secure) value.append(";secure");
    if (cookie.http_only) value.append(";HttpOnly");
    if (!cookie.same_site.empty()) value.append(";SameSite=").append(cookie.same_site);
}

size_t scope_size(const CookieAttributes &cookie) {
    return cookie.name.size() + (cookie.path ? cookie.path->size() : 0) +
           (cookie.domain ? cookie.domain->size() : 0) + cookie.same_site.size() + 48;
}

// A directive of a Cache-Control value, trimmed, compared without letter case.
bool has_directive(std::string_view value, std::string_view wanted) {
    while (!value.empty()) {
        const size_t comma = value.find(',');
        std::string_view item = value.substr(0, comma);
        while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) item.remove_prefix(1);
        while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) item.remove_suffix(1);
        if (item.size() == wanted.size()) {
            bool same = true;
            for (size_t i = 0; i < item.size() && same; ++i)
                same = (item[i] | 0x20) == (wanted[i] | 0x20);
            if (same) return true;
        }
        if (comma == std::string_view::npos) break;
        value.remove_prefix(comma + 1);
    }
    return false;
}

}  // namespace

std::string private_cache_control(std::string_view value) {
    if (value.empty()) return std::string(kPrivateCacheControl);
    if (has_directive(value, "private") || has_directive(value, "no-store")) return std::string(value);
    std::string joined(kPrivateCacheControl);
    joined.append(", ").append(value);
    return joined;
}

std::string session_cookie_value(const CookieAttributes &cookie, std::string_view token) {
    std::string value;
    value.reserve(scope_size(cookie) + token.size());
    value.append(cookie.name).append("=").append(token);
    append_scope(value, cookie);
    append_attributes(value, cookie);
    return value;
}

std::string erasing_cookie_value(const CookieAttributes &cookie) {
    std::string value;
    value.reserve(scope_size(cookie) + kCookieEpoch.size() + 10);
    value.append(cookie.name).append("=");
    append_scope(value, cookie);
    append_attributes(value, cookie);
    value.append("; expires=").append(kCookieEpoch);
    return value;
}

}  // namespace qv
