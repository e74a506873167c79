#include "response/cookie_format.h"

namespace qv {

namespace {

void append_scope(std::string &value, const CookieAttributes &cookie) {
    if (cookie.path) value.append(";path=").append(*cookie.path);
    if (cookie.domain && !cookie.domain->empty()) value.append(";domain=").append(*cookie.domain);
}

size_t scope_size(const CookieAttributes &cookie) {
    return cookie.name.size() + (cookie.path ? cookie.path->size() : 0) +
           (cookie.domain ? cookie.domain->size() : 0) + 24;
}

}  // namespace

std::string session_cookie_value(const CookieAttributes &cookie, std::string_view token) {
    std::string value;
    value.reserve(scope_size(cookie) + token.size() + 7);
    value.append(cookie.name).append("=").append(token);
    append_scope(value, cookie);
    if (cookie.secure) value.append(";secure");
    return value;
}

std::string erasing_cookie_value(const CookieAttributes &cookie) {
    std::string value;
    value.reserve(scope_size(cookie) + kCookieEpoch.size() + 10);
    value.append(cookie.name).append("=");
    append_scope(value, cookie);
    value.append("; expires=").append(kCookieEpoch);
    return value;
}

}  // namespace qv
