// The Set-Cookie values that store and erase the session cookie.
#include "response/cookie_format.h"

#include <gtest/gtest.h>

namespace {

TEST(SessionCookie, StoringValueHasOnlyTheConfiguredAttributes) {
    const struct {
        qv::CookieAttributes cookie;
        const char *value;
    } cases[] = {
        {{"tok", "/", std::nullopt, false}, "tok=T1;path=/"},
        {{"tok", "/", "dom1", true}, "tok=T1;path=/;domain=dom1;secure"},
        {{"tok", std::nullopt, std::nullopt, false}, "tok=T1"},
        // A path configured empty is still written; an empty domain is not.
        {{"tok", "", "", false}, "tok=T1;path="},
        {{"tok", "/app", ".example.test", false}, "tok=T1;path=/app;domain=.example.test"},
    };
    for (const auto &c : cases) EXPECT_EQ(qv::session_cookie_value(c.cookie, "T1"), c.value);
}

TEST(SessionCookie, ErasingValueExpiresAtTheEpochAndIsNeverSecure) {
    EXPECT_EQ(qv::erasing_cookie_value({"tok", "/", "dom1", true}),
              "tok=;path=/;domain=dom1; expires=Thu, 01 Jan 1970 00:00:00 GMT");
    EXPECT_EQ(qv::erasing_cookie_value({"tok", "/", std::nullopt, false}),
              "tok=;path=/; expires=Thu, 01 Jan 1970 00:00:00 GMT");
    EXPECT_EQ(qv::erasing_cookie_value({"tok", std::nullopt, "", false}),
              "tok=; expires=Thu, 01 Jan 1970 00:00:00 GMT");
}

TEST(SessionCookie, TokenIsWrittenUnchanged) {
    const std::string token = "AAEC-_xyz09";
    EXPECT_EQ(qv::session_cookie_value({"QVSESSION", "/", std::nullopt, false}, token),
              "QVSESSION=AAEC-_xyz09;path=/");
}

TEST(CacheControl, ProtectedResponsesArePrivateWhateverTheCookiePartSays) {
    const struct {
        const char *cookie_part;
        const char *expected;
    } cases[] = {
        {"", "private"},
        {"no-cache=\"set-cookie\"", "private, no-cache=\"set-cookie\""},
        {"max-age=60, public", "private, max-age=60, public"},
        // Already private, or never stored at all: kept as configured.
        {"no-store", "no-store"},
        {"max-age=0, PRIVATE", "max-age=0, PRIVATE"},
        // private="set-cookie" leaves the body to shared caches.
        {"private=\"set-cookie\"", "private, private=\"set-cookie\""},
    };
    for (const auto &c : cases) EXPECT_EQ(qv::private_cache_control(c.cookie_part), c.expected) << c.cookie_part;
}

}  // namespace
