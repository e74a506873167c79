// Redirects to the login page and to the error page, and the session cookie
// headers that go with them.
#include "apache_server.h"
#include "http_client.h"
#include "session_tokens.h"
#include "tokens.h"

#include "response/url_syntax.h"

#include <gtest/gtest.h>

using namespace qvtest;

namespace {

std::string cookie(const std::string &token) { return session_cookie(token); }

// The URL the agent rebuilds for a request that reached the test server.
std::string request_url(const ApacheServer &server, const std::string &path) {
    return "http://127.0.0.1:" + std::to_string(server.port()) + path;
}

std::string login_with_target(const std::string &login, const std::string &url) {
    return login + (login.find('?') == std::string::npos ? "?" : "&") + "TargetResource=" + qv::url_safe_encode(url);
}

const std::string kErasingCookie =
    std::string(kCookieName) + "=;path=/" + std::string(kCookieAttributes) + "; expires=Thu, 01 Jan 1970 00:00:00 GMT";

ServerSetup with_directives(const std::string &lines) {
    ServerSetup setup;
    setup.agent_directives += lines;
    return setup;
}

TEST(LoginRedirect, ProtectedUrlWithoutTokenCarriesTheEncodedUrl) {
    ApacheServer &server = shared_server(ServerSetup{});
    ASSERT_TRUE(server.serving()) << server.log().text();
    for (const std::string path : {"/protected/", "/protected/a?x=1&y=%41", "/protected/p?a=b+c&d=~"}) {
        const HttpResponse response = get(server.url(path));
        EXPECT_EQ(response.status, 302) << path;
        // A '%' already in the URL is encoded again.
        EXPECT_EQ(response.header("Location"),
                  login_with_target(std::string(kLoginPageUrl), request_url(server, path)))
            << path;
        EXPECT_TRUE(response.all_headers("Set-Cookie").empty()) << path;
    }
    EXPECT_EQ(get(server.url("/protected/a?x=1&y=%41")).header("Location"),
              std::string(kLoginPageUrl) +
                  "?TargetResource=http%3A%2F%2F127.0.0.1%3A" + std::to_string(server.port()) +
                  "%2Fprotected%2Fa%3Fx%3D1%26y%3D%2541");
    // Unprotected resources are served.
    EXPECT_EQ(get(server.url("/public/")).status, 200);
}

TEST(LoginRedirect, LoginUrlWithQueryGetsAnAmpersand) {
    ServerSetup setup;
    setup.agent_directives = without_directive(setup.agent_directives, "QuorvelLoginPageURL") +
                             "QuorvelLoginPageURL https://login.example.test/sso?sp=1\n";
    ApacheServer &server = shared_server(setup);
    ASSERT_TRUE(server.serving()) << server.log().text();
    EXPECT_EQ(get(server.url("/protected/x")).header("Location"),
              "https://login.example.test/sso?sp=1&TargetResource=" +
                  qv::url_safe_encode(request_url(server, "/protected/x")));
}

TEST(LoginRedirect, LoginUrlWithTargetResourceIsUsedUnchanged) {
    const std::string login = "https://login.example.test/sso?TargetResource=https%3A%2F%2Fapp";
    ServerSetup setup;
    setup.agent_directives =
        without_directive(setup.agent_directives, "QuorvelLoginPageURL") + "QuorvelLoginPageURL " + login + "\n";
    ApacheServer &server = shared_server(setup);
    ASSERT_TRUE(server.serving()) << server.log().text();
    const HttpResponse response = get(server.url("/protected/x?y=1"));
    EXPECT_EQ(response.status, 302);
    EXPECT_EQ(response.header("Location"), login);
}

TEST(LoginRedirect, ApplicationOverridesReplaceSchemeHostAndPort) {
    const struct {
        std::string directives;
        std::string base;
    } cases[] = {
        {"QuorvelApplicationScheme https\nQuorvelApplicationHost app.example.test\nQuorvelApplicationPort 443\n",
         "https://app.example.test/"},
        {"QuorvelApplicationHost app.example.test\nQuorvelApplicationPort 8443\n", "http://app.example.test:8443/"},
        {"QuorvelApplicationScheme https\nQuorvelApplicationPort 80\n", "https://127.0.0.1:80/"},
    };
    for (const auto &c : cases) {
        ApacheServer &server = shared_server(with_directives(c.directives));
        ASSERT_TRUE(server.serving()) << server.log().text();
        EXPECT_EQ(get(server.url("/protected/p?q=1")).header("Location"),
                  login_with_target(std::string(kLoginPageUrl), c.base + "protected/p?q=1"))
            << c.directives;
    }
}

TEST(LoginRedirect, ExpiredSessionErasesTheCookieAndDropsTheToken) {
    ApacheServer &server = shared_server(ServerSetup{});
    ASSERT_TRUE(server.serving()) << server.log().text();
    const std::string token = expired_token();

    HttpResponse response = get(server.url("/protected/"), {cookie(token)});
    EXPECT_EQ(response.status, 302);
    EXPECT_EQ(response.header("Location"),
              login_with_target(std::string(kLoginPageUrl), request_url(server, "/protected/")));
    EXPECT_EQ(response.all_headers("Set-Cookie"), std::vector<std::string>{kErasingCookie});
    // Private, so that no shared cache keeps a protected URL's answer.
    EXPECT_EQ(response.header("Cache-Control"), "private, no-cache=\"set-cookie\"");

    // A token in the query string does not travel on to the login page.
    const std::string name(kCookieName);
    response = get(server.url("/protected/p?a=1&" + name + "=" + token + "&b=2"));
    EXPECT_EQ(response.status, 302);
    EXPECT_EQ(response.header("Location"),
              login_with_target(std::string(kLoginPageUrl), request_url(server, "/protected/p?a=1&b=2")));
}

TEST(TokenCleanUp, QueryTokenIsRemovedFromTheRedirect) {
    ApacheServer &server = shared_server(ServerSetup{});
    ASSERT_TRUE(server.serving()) << server.log().text();
    const std::string n(kCookieName);
    const std::string t = session_token();
    const struct {
        std::string query;
        std::string expected;
    } cases[] = {
        {"?" + n + "=" + t, ""},
        {"?a=1&" + n + "=" + t, "?a=1"},
        {"?" + n + "=" + t + "&a=1", "?a=1"},
    };
    for (const auto &c : cases) {
        const HttpResponse response = get(server.url("/protected/p" + c.query));
        EXPECT_EQ(response.status, 302) << c.query;
        EXPECT_EQ(response.header("Location"), request_url(server, "/protected/p" + c.expected)) << c.query;
        const auto cookies = response.all_headers("Set-Cookie");
        ASSERT_EQ(cookies.size(), 1u) << c.query;
        EXPECT_EQ(cookies[0].rfind(n + "=", 0), 0u) << cookies[0];
        EXPECT_TRUE(cookies[0].ends_with(";path=/" + std::string(kCookieAttributes))) << cookies[0];
    }
}

TEST(SessionCookie, RenewedCookieHasTheConfiguredFormat) {
    ApacheServer &server = shared_server(ServerSetup{});
    ASSERT_TRUE(server.serving()) << server.log().text();
    const HttpResponse response = get(server.url("/protected/"), {cookie(session_token("bob"))});
    EXPECT_EQ(response.status, 200) << response.body;
    const auto cookies = response.all_headers("Set-Cookie");
    ASSERT_EQ(cookies.size(), 1u);
    const std::string prefix = std::string(kCookieName) + "=";
    ASSERT_EQ(cookies[0].rfind(prefix, 0), 0u) << cookies[0];
    const std::string suffix = ";path=/" + std::string(kCookieAttributes);
    ASSERT_TRUE(cookies[0].ends_with(suffix)) << cookies[0];
    const std::string renewed = cookies[0].substr(prefix.size(), cookies[0].size() - prefix.size() - suffix.size());
    const auto payload = token_payload(renewed);
    ASSERT_TRUE(payload.has_value()) << renewed;
    EXPECT_NE(payload->find("subject=bob"), std::string::npos) << *payload;
    EXPECT_EQ(response.all_headers("Cache-Control"), std::vector<std::string>{"private, no-cache=\"set-cookie\""});
}

TEST(SessionCookie, AttributeAndCacheControlSettings) {
    const std::string no_cache = "private, no-cache=\"set-cookie\"";
    const struct {
        std::string directives;
        std::string suffix;
        std::vector<std::string> cache_control;
    } cases[] = {
        {"QuorvelCookieDomain example.test\nQuorvelCookieIsSecure yes\n",
         ";path=/;domain=example.test;secure;HttpOnly;SameSite=Lax", {no_cache}},
        {"QuorvelCookieHttpOnly no\n", ";path=/;SameSite=Lax", {no_cache}},
        {"QuorvelCookieSameSite off\n", ";path=/;HttpOnly", {no_cache}},
        {"QuorvelCookieSameSite None\nQuorvelCookieIsSecure yes\nQuorvelCookieHttpOnly no\n",
         ";path=/;secure;SameSite=None", {no_cache}},
        // A value that keeps every cache away is sent as it is.
        {"QuorvelCookiePath /protected\nQuorvelCacheControlHeaderValue no-store\n",
         ";path=/protected;HttpOnly;SameSite=Lax", {"no-store"}},
        {"QuorvelCacheControlHeaderValue max-age=0\n", ";path=/;HttpOnly;SameSite=Lax", {"private, max-age=0"}},
        // Switched off, the cookie part goes; the protected answer stays private.
        {"QuorvelEnableUserBrowserCacheControl no\n", ";path=/;HttpOnly;SameSite=Lax", {"private"}},
    };
    for (const auto &c : cases) {
        ServerSetup setup = with_directives(c.directives);
        if (c.directives.find("CookiePath") != std::string::npos)
            setup.agent_file = *setup.agent_file + "cookie-path = /protected\n";
        ApacheServer &server = shared_server(setup);
        ASSERT_TRUE(server.serving()) << server.log().text();
        const HttpResponse response = get(server.url("/protected/"), {cookie(session_token())});
        EXPECT_EQ(response.status, 200) << c.directives;
        const auto cookies = response.all_headers("Set-Cookie");
        ASSERT_EQ(cookies.size(), 1u) << c.directives;
        EXPECT_TRUE(cookies[0].ends_with(c.suffix)) << cookies[0];
        EXPECT_EQ(response.all_headers("Cache-Control"), c.cache_control) << c.directives;

        // The erasing cookie has the same path, domain and attributes, so that
        // the browser applies it to the cookie it stored.
        const HttpResponse expired = get(server.url("/protected/"), {cookie(expired_token())});
        EXPECT_EQ(expired.status, 302);
        EXPECT_EQ(expired.all_headers("Set-Cookie"),
                  std::vector<std::string>{std::string(kCookieName) + "=" + c.suffix +
                                           "; expires=Thu, 01 Jan 1970 00:00:00 GMT"});
        EXPECT_EQ(expired.all_headers("Cache-Control"), c.cache_control);
    }
}

TEST(SessionCookie, EmptyCacheControlValueSendsOnlyPrivate) {
    // Only the module's own file can give a directive an empty value.
    ServerSetup setup = with_directives("QuorvelConfigurationFile {root}/conf/module.conf\n");
    setup.files["conf/module.conf"] = "QuorvelCacheControlHeaderValue\n";
    ApacheServer &server = shared_server(setup);
    ASSERT_TRUE(server.serving()) << server.log().text();
    const HttpResponse response = get(server.url("/protected/"), {cookie(session_token())});
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.all_headers("Set-Cookie").size(), 1u);
    EXPECT_EQ(response.all_headers("Cache-Control"), std::vector<std::string>{"private"});
}

TEST(ErrorPageRedirect, BadTokenGoesToTheConfiguredErrorPage) {
    ApacheServer &server = shared_server(with_directives("QuorvelErrorPageURL /public/error.html\n"));
    ASSERT_TRUE(server.serving()) << server.log().text();
    const HttpResponse response = get(server.url("/protected/"), {cookie(tampered_token())});
    EXPECT_EQ(response.status, 302);
    EXPECT_EQ(response.header("Location"), "/public/error.html");
    EXPECT_EQ(response.all_headers("Set-Cookie"), std::vector<std::string>{kErasingCookie});
    // Private, so that no shared cache keeps a protected URL's answer.
    EXPECT_EQ(response.header("Cache-Control"), "private, no-cache=\"set-cookie\"");
}

TEST(ErrorPageRedirect, RequestForTheErrorPageItselfGets503) {
    ApacheServer &server = shared_server(with_directives("QuorvelVerboseLevel 1\nQuorvelErrorPageURL /protected/error.html\n"));
    ASSERT_TRUE(server.serving()) << server.log().text();
    const LogMark mark = server.mark();
    const std::string bad = cookie(tampered_token());
    const HttpResponse response = get(server.url("/protected/error.html?x=1"), {bad});
    EXPECT_EQ(response.status, 503);
    EXPECT_FALSE(response.header("Location").has_value());
    EXPECT_TRUE(server.log_since(mark).has(
        "Recursive redirection to the Quorvel error page - cannot service, returning HTTP code 503 (access to error "
        "page is protected while the session is not valid?)..."))
        << server.log_since(mark).text();
    // Elsewhere the same token is sent to the error page.
    const HttpResponse elsewhere = get(server.url("/protected/other"), {bad});
    EXPECT_EQ(elsewhere.status, 302);
    EXPECT_EQ(elsewhere.header("Location"), "/protected/error.html");
}

TEST(ErrorPageRedirect, ErrorPageRecognisedByItsApplicationUrl) {
    ApacheServer &server = shared_server(
        with_directives("QuorvelApplicationHost app.example.test\nQuorvelApplicationPort 80\n"
                        "QuorvelErrorPageURL http://app.example.test/protected/err.html\n"));
    ASSERT_TRUE(server.serving()) << server.log().text();
    const std::string bad = cookie(tampered_token());
    const HttpResponse recursive = get(server.url("/protected/err.html?x"), {bad});
    EXPECT_EQ(recursive.status, 503);
    EXPECT_FALSE(recursive.header("Location").has_value());
    const HttpResponse redirected = get(server.url("/protected/"), {bad});
    EXPECT_EQ(redirected.status, 302);
    EXPECT_EQ(redirected.header("Location"), "http://app.example.test/protected/err.html");
}

}  // namespace
