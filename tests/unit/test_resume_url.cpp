// The address a logout resumes at: the federation server's base URL with the
// resume path, and never anywhere else.
#include "request/resume_url.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ResumeUrl, JoinsWithExactlyOneSlash) {
    EXPECT_EQ(qv::join_resume_url("https://fed:8443", "/sso/r2?a=1"), "https://fed:8443/sso/r2?a=1");
    EXPECT_EQ(qv::join_resume_url("https://fed:8443", "sso/r2"), "https://fed:8443/sso/r2");
    EXPECT_EQ(qv::join_resume_url("https://fed/", "/x"), "https://fed/x");
    // Only one leading slash is dropped: what follows stays a path on the base host.
    EXPECT_EQ(qv::join_resume_url("https://fed", "//evil.test/x"), "https://fed//evil.test/x");
    EXPECT_EQ(qv::join_resume_url("https://fed", "/"), "https://fed/");
}

TEST(ResumeUrl, OriginIsWhereABrowserWouldGo) {
    const struct {
        const char *url;
        const char *origin;
    } cases[] = {
        {"https://fed:8443/sso?a=1", "https:fed:8443"},
        {"HTTPS://fed:8443", "https:fed:8443"},
        {"https://fed?x#y", "https:fed"},
        {"https://fed\\evil.test", "https:fed"},
        // Browsers skip any slashes and backslashes before the host.
        {"https:/evil.test/x", "https:evil.test"},
        {"https:\\\\evil.test", "https:evil.test"},
        {"https:evil.test", "https:evil.test"},
        {"//evil.test/x", "//evil.test"},
        {"/\\evil.test/x", "//evil.test"},
        {"/sso/x", ""},
        {"sso/x", ""},
        {"a b://x/", ""},
    };
    for (const auto &c : cases) EXPECT_EQ(qv::url_origin(c.url), c.origin) << c.url;
}

TEST(ResumeUrl, HostileResumeValuesStayOnTheBaseHost) {
    const std::string base = "https://fed:8443";
    const struct {
        const char *resume;
        const char *url;
    } kept[] = {
        {"/sso/r2?a=1", "https://fed:8443/sso/r2?a=1"},
        {"http://evil.test/", "https://fed:8443/http://evil.test/"},
        {"//evil.test", "https://fed:8443//evil.test"},
        {"@evil.test", "https://fed:8443/@evil.test"},
        {"\\\\evil.test", "https://fed:8443/\\\\evil.test"},
        // Escapes are passed on as received, never decoded into the header.
        {"/r%0D%0ASet-Cookie:%20x=1", "https://fed:8443/r%0D%0ASet-Cookie:%20x=1"},
    };
    for (const auto &c : kept) {
        const auto url = qv::resume_redirect_url(base, c.resume);
        ASSERT_TRUE(url) << c.resume;
        EXPECT_EQ(*url, c.url);
        EXPECT_EQ(qv::url_origin(*url), "https:fed:8443") << c.resume;
    }
    // Bytes that could end or split the Location header line.
    const std::string unsafe[] = {"/r\r\nSet-Cookie: x=1", "/r\nx", "/a b", "/a\tb", std::string("/a\0b", 4), "/a\x7f"};
    for (const std::string &resume : unsafe)
        EXPECT_FALSE(qv::resume_redirect_url(base, resume)) << resume;
}

TEST(ResumeUrl, ABaseWithoutHostCannotBorrowOneFromTheResumeValue) {
    EXPECT_FALSE(qv::resume_redirect_url("https:", "//evil.test/x"));
    EXPECT_FALSE(qv::resume_redirect_url("https:", "/evil.test/x"));
    EXPECT_FALSE(qv::resume_redirect_url("https:", "\\evil.test/x"));
    // A relative base stays relative.
    EXPECT_EQ(qv::resume_redirect_url("/sso", "/r2"), "/sso/r2");
}

}  // namespace
