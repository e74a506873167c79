// The Set-Cookie values that store and erase the session cookie.
#include "response/cookie_format.h"

#include <gtest/gtest.h>

namespace {

TEST(SessionCookie, StoringValueHasOnlyTheConfiguredAttributes) {
    const struct {
        qv::CookieAttributes cookie;
        const char *value;
    } cases[] = {
        {{"tok", "/", std::nullopt, false, false, ""}, "tok=T1;path=/"},
        {{"tok", "/", "dom1", true, false, ""}, "tok=T1;path=/;domain=dom1;secure"},
        {{"tok", std::nullopt, std::nullopt, false, false, ""}, "tok=T1"},
        // A path configured empty is still written; an empty domain is not.
        {{"tok", "", "", false, false, ""}, "tok=T1;path="},
        {{"tok", "/app", ".example.test", false, false, ""}, "tok=T1;path=/app;domain=.example.test"},
    };
    for (const auto &c : cases) EXPECT_EQ(qv::session_cookie_value(c.cookie, "T1"), c.value);
}

TEST(SessionCookie, ErasingValueExpiresAtTheEpoch) {
    EXPECT_EQ(qv::erasing_cookie_value({"tok", "/", "dom1", false, false, ""}),
              "tok=;path=/;domain=dom1; expires=Thu, 01 Jan 1970 00:00:00 GMT");
    EXPECT_EQ(qv::erasing_cookie_value({"tok", "/", std::nullopt, false, false, ""}),
              "tok=;path=/; expires=Thu, 01 Jan 1970 00:00:00 GMT");
    EXPECT_EQ(qv::erasing_cookie_value({"tok", std::nullopt, "", false, false, ""}),
              "tok=; expires=Thu, 01 Jan 1970 00:00:00 GMT");
}

TEST(SessionCookie, BothCookiesCarryTheSameSecureHttpOnlyAndSameSiteAttributes) {
    const struct {
        qv::CookieAttributes cookie;
        const char *storing;
        const char *erasing;
    } cases[] = {
        {{"tok", "/", std::nullopt, false, true, "Lax"}, "tok=T1;path=/;HttpOnly;SameSite=Lax",
         "tok=;path=/;HttpOnly;SameSite=Lax; expires=Thu, 01 Jan 1970 00:00:00 GMT"},
        // A browser ignores an erasing SameSite=None cookie without secure.
        {{"tok", "/", "dom1", true, true, "None"}, "tok=T1;path=/;domain=dom1;secure;HttpOnly;SameSite=None",
         "tok=;path=/;domain=dom1;secure;HttpOnly;SameSite=None; expires=Thu, 01 Jan 1970 00:00:00 GMT"},
        {{"tok", "/", std::nullopt, true, false, ""}, "tok=T1;path=/;secure",
         "tok=;path=/;secure; expires=Thu, 01 Jan 1970 00:00:00 GMT"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(qv::session_cookie_value(c.cookie, "T1"), c.storing);
        EXPECT_EQ(qv::erasing_cookie_value(c.cookie), c.erasing);
    }
}

TEST(SessionCookie, TokenIsWrittenUnchanged) {
    const std::string token = "AAEC-_xyz09";
    EXPECT_EQ(qv::session_cookie_value({"QVSESSION", "/", std::nullopt, false, false, ""}, token),
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
    // The constant the default value is answered with is the same joining.
    EXPECT_EQ(qv::private_cache_control(qv::kDefaultCacheControl), qv::kPrivateDefaultCacheControl);
}

}  // namespace
