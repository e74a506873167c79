// Session tokens for the response tests: valid now, expired, or tampered.
#pragma once

#include "apache_server.h"
#include "tokens.h"

#include <ctime>
#include <string>

namespace qvtest {

inline std::string iso_time(std::time_t t) {
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

// A session that is valid now, unless the inactivity limit is moved into the past.
inline std::string session_token(const std::string &subject = "alice", long inactivity_seconds = 600,
                                 const std::string &attributes = {}) {
    const std::time_t now = std::time(nullptr);
    return make_token("subject=" + subject + "\nnot-before=" + iso_time(now - 60) +
                      "\nnot-on-or-after=" + iso_time(now + inactivity_seconds) +
                      "\nrenew-until=" + iso_time(now + 7200) + "\n" + attributes);
}

inline std::string expired_token() { return session_token("alice", -30); }

// A well-formed token whose digest no longer matches.
inline std::string tampered_token() {
    std::string token = session_token();
    char &c = token[token.size() / 2];
    c = c == 'A' ? 'B' : 'A';
    return token;
}

inline std::string session_cookie(const std::string &token) {
    return "Cookie: " + std::string(kCookieName) + "=" + token;
}

}  // namespace qvtest
