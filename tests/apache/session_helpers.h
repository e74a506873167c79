// Sessions for request tests: payloads with the times the federation server
// writes, tokens made from them, and what the agent sends back.
#pragma once

#include "apache_server.h"
#include "http_client.h"
#include "tokens.h"

#include <nubrel.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace qvtest {

// The clock Apache reads. time() reads a coarser clock that can still show
// the previous second for a few milliseconds after Apache has moved on.
inline int64_t now_seconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// "2001-09-09T01:46:40Z"
inline std::string iso_time(int64_t seconds) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm parts{};
    gmtime_r(&t, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

// Offsets from now, in seconds, of a session's three times.
struct SessionTimes {
    int64_t not_before = -60;
    int64_t not_on_or_after = 600;
    int64_t renew_until = 7200;
};

// A payload with subject and times; `extra` lines follow ("key=value\n"...).
inline std::string session_payload(std::string_view subject, std::string_view extra = {}, SessionTimes times = {}) {
    const int64_t now = now_seconds();
    return "subject=" + std::string(subject) + "\nnot-before=" + iso_time(now + times.not_before) +
           "\nnot-on-or-after=" + iso_time(now + times.not_on_or_after) +
           "\nrenew-until=" + iso_time(now + times.renew_until) + "\n" + std::string(extra);
}

inline std::string session_token(std::string_view subject, std::string_view extra = {}, SessionTimes times = {}) {
    return make_token(session_payload(subject, extra, times));
}

inline std::string cookie_header(std::string_view token) {
    return "Cookie: " + std::string(kCookieName) + "=" + std::string(token);
}

// The token of the Set-Cookie header that stores one, if the response has it.
inline std::optional<std::string> renewed_token(const HttpResponse &response) {
    const std::string prefix = std::string(kCookieName) + "=";
    for (const std::string &value : response.all_headers("Set-Cookie")) {
        if (value.rfind(prefix, 0) != 0) continue;
        const std::string token = value.substr(prefix.size(), value.find(';') - prefix.size());
        if (!token.empty()) return token;
    }
    return std::nullopt;
}

// The Set-Cookie header that erases the session cookie, as the agent writes it.
inline std::string erasing_cookie() {
    return std::string(kCookieName) + "=;path=/" + std::string(kCookieAttributes) + "; expires=Thu, 01 Jan 1970 00:00:00 GMT";
}

// A time the payload of a token holds, read with the library.
inline std::optional<int64_t> payload_time(std::string_view payload, const char *key) {
    const std::string text(payload);
    int64_t value = 0;
    if (nubrel_get_payload_time(text.c_str(), key, &value) != 0) return std::nullopt;
    return value;
}

inline std::optional<std::string> payload_value(std::string_view payload, const char *key) {
    const std::string text(payload);
    char *value = nubrel_get_payload_value(text.c_str(), key);
    if (value == nullptr) return std::nullopt;
    std::string result(value);
    nubrel_free(value);
    return result;
}

// The line "NAME=value" of the environment a CGI program printed, without "NAME=".
inline std::optional<std::string> environment_value(const std::string &body, std::string_view name) {
    const std::string key = "\n" + std::string(name) + "=";
    const std::string text = "\n" + body;
    const size_t at = text.find(key);
    if (at == std::string::npos) return std::nullopt;
    const size_t start = at + key.size();
    return text.substr(start, text.find('\n', start) - start);
}

}  // namespace qvtest
