// The Set-Cookie values of the session cookie.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qv {

struct CookieAttributes {
    std::string_view name;
    // Written whenever set, even when empty.
    std::optional<std::string_view> path;
    // Written only when set and not empty.
    std::optional<std::string_view> domain;
    bool secure = false;
    bool http_only = false;
    // The SameSite value ("Lax", "None"); empty: no attribute.
    std::string_view same_site;
};

inline constexpr std::string_view kCookieEpoch = "Thu, 01 Jan 1970 00:00:00 GMT";
inline constexpr std::string_view kDefaultCacheControl = "no-cache=\"set-cookie\"";

// What every response to a protected request says to caches, so that a
// shared cache never hands one user's page to another.
inline constexpr std::string_view kPrivateCacheControl = "private";
// private_cache_control(kDefaultCacheControl), which nearly every response sends.
inline constexpr std::string_view kPrivateDefaultCacheControl = "private, no-cache=\"set-cookie\"";

// The Cache-Control value of a protected response whose cookie part is
// `value` (possibly empty): "private" joined to it, or the value itself when
// it already says "private" or "no-store".
std::string private_cache_control(std::string_view value);

// name=token[;path=P][;domain=D][;secure][;HttpOnly][;SameSite=S]: a
// browser-session cookie.
std::string session_cookie_value(const CookieAttributes &cookie, std::string_view token);

// name=[;path=P][;domain=D][;secure][;HttpOnly][;SameSite=S]; expires=Thu, 01
// Jan 1970 00:00:00 GMT: the same attributes as the storing cookie, since a
// browser ignores an erasing SameSite=None cookie that is not secure.
std::string erasing_cookie_value(const CookieAttributes &cookie);

}  // namespace qv
