// Logout URLs end sessions: a redirect to the single-logout URL, an internal
// cancellation that erases the cookie, an onward redirect to the federation
// server's base URL with the resume path, and, for a token that came in the
// address, a first step that moves it into the cookie.
#include "apache_server.h"
#include "http_client.h"
#include "session_helpers.h"
#include "tokens.h"

#include "request/resume_url.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace qvtest;

namespace {

constexpr const char *kSloUrl = "https://fed.example.test/slo?sp=app";
constexpr const char *kBaseUrl = "https://fed.example.test:8443";

struct Federation {
    bool slo = false;
    bool base = false;
};

// Logout URLs inside and outside the protected area; both are files, so a
// request that the agent lets through is served with 200.
ServerSetup logout_setup(Federation federation, const std::string &base_url = kBaseUrl) {
    ServerSetup setup;
    setup.agent_directives += "QuorvelCancelURL ^/(protected|public)/logout\n"
                              "QuorvelVerboseLevel 4\n";
    if (federation.slo) setup.agent_directives += std::string("QuorvelSLOURL ") + kSloUrl + "\n";
    if (federation.base) setup.agent_directives += "QuorvelBaseURL " + base_url + "/\n";
    setup.files["htdocs/protected/logout.html"] = "protected logout\n";
    setup.files["htdocs/public/logout.html"] = "public logout\n";
    return setup;
}

ApacheServer &logout_server(Federation federation) {
    ApacheServer &server = shared_server(logout_setup(federation));
    EXPECT_TRUE(server.serving()) << server.log().text();
    return server;
}

enum class Cookie { untouched, stored, erased };

std::string token_parameter(const std::string &token) { return std::string(kCookieName) + "=" + token; }

// What the session cookie headers of a response do.
Cookie cookie_effect(const HttpResponse &response) {
    const std::vector<std::string> cookies = response.all_headers("Set-Cookie");
    if (cookies.empty()) return Cookie::untouched;
    if (cookies.size() == 1 && cookies[0] == erasing_cookie()) return Cookie::erased;
    if (cookies.size() == 1 && renewed_token(response)) return Cookie::stored;
    ADD_FAILURE() << "unexpected Set-Cookie headers: " << testing::PrintToString(cookies);
    return Cookie::untouched;
}

const char *name_of(Cookie effect) {
    switch (effect) {
    case Cookie::untouched: return "untouched";
    case Cookie::stored: return "stored";
    case Cookie::erased: return "erased";
    }
    return "?";
}

TEST(Logout, OutcomesOnProtectedAndUnprotectedLogoutUrls) {
    const std::string token = session_token("jdoe");
    // resume, federation, token in the address: status, Location, cookie.
    // An empty Location stands for none; "self" for the request URL without the token.
    const struct {
        bool resume;
        Federation federation;
        bool token_in_query;
        long status;
        std::string location;
        Cookie cookie;
    } cases[] = {
        {false, {true, true}, false, 302, kSloUrl, Cookie::untouched},
        {false, {true, false}, true, 302, kSloUrl, Cookie::untouched},
        {false, {false, true}, true, 302, "self", Cookie::stored},
        {false, {false, false}, false, 200, "", Cookie::erased},
        {false, {false, true}, false, 200, "", Cookie::erased},
        {true, {true, true}, true, 302, "self", Cookie::stored},
        {true, {false, true}, false, 302, std::string(kBaseUrl) + "/sso/r2?a=1", Cookie::erased},
        {true, {true, true}, false, 302, std::string(kBaseUrl) + "/sso/r2?a=1", Cookie::erased},
        {true, {true, false}, true, 302, "self", Cookie::stored},
        {true, {false, false}, false, 200, "", Cookie::erased},
        {true, {true, false}, false, 200, "", Cookie::erased},
    };
    for (const char *area : {"protected", "public"}) {
        for (const auto &c : cases) {
            ApacheServer &server = logout_server(c.federation);
            const std::string path = std::string("/") + area + "/logout.html";
            const std::string resume = c.resume ? "resume=/sso/r2?a=1&x=2" : "x=2";
            std::vector<std::string> headers;
            std::string query = "?" + resume;
            if (c.token_in_query)
                query += "&" + token_parameter(token);
            else
                headers.push_back(cookie_header(token));
            const std::string what = std::string(area) + " resume=" + std::to_string(c.resume) +
                                     " slo=" + std::to_string(c.federation.slo) +
                                     " base=" + std::to_string(c.federation.base) +
                                     " query=" + std::to_string(c.token_in_query);
            const HttpResponse response = get(server.url(path + query), headers);
            EXPECT_EQ(response.status, c.status) << what << "\n" << response.body;
            const std::string expected = c.location == "self" ? server.url(path + "?" + resume) : c.location;
            EXPECT_EQ(response.header("Location").value_or(""), expected) << what;
            const Cookie effect = cookie_effect(response);
            EXPECT_EQ(effect, c.cookie) << what << ": " << name_of(effect);
            if (c.cookie == Cookie::stored) {
                EXPECT_EQ(renewed_token(response), token) << what;
            }
            // The header that keeps caches from storing the cookie goes with every
            // cookie header; a protected URL's answers are private whatever they carry.
            const bool is_protected = std::string(area) == "protected";
            const std::string cache_control = std::string(is_protected ? "private" : "") +
                                              (is_protected && c.cookie != Cookie::untouched ? ", " : "") +
                                              (c.cookie != Cookie::untouched ? "no-cache=\"set-cookie\"" : "");
            EXPECT_EQ(response.header("Cache-Control").value_or(""), cache_control) << what;
            if (c.status == 200) {
                EXPECT_EQ(response.body, std::string(area) + " logout\n") << what;
            }
        }
    }
}

TEST(Logout, TokenInTheAddressTakesTwoSteps) {
    ApacheServer &server = logout_server({false, true});
    const std::string token = session_token("jdoe");
    for (const char *area : {"protected", "public"}) {
        const std::string path = std::string("/") + area + "/logout.html?resume=sso/r3";
        const HttpResponse first = get(server.url(path + "&" + token_parameter(token)));
        ASSERT_EQ(first.status, 302) << area;
        ASSERT_EQ(first.header("Location"), server.url(path));
        const auto stored = renewed_token(first);
        ASSERT_TRUE(stored) << area;
        // The browser follows with the cookie and the session ends.
        const HttpResponse second = get(*first.header("Location"), {cookie_header(*stored)});
        EXPECT_EQ(second.status, 302) << area;
        EXPECT_EQ(second.header("Location"), std::string(kBaseUrl) + "/sso/r3");
        EXPECT_EQ(second.all_headers("Set-Cookie"), std::vector<std::string>{erasing_cookie()});
    }
}

TEST(Logout, WithoutASessionThereIsNothingToEnd) {
    ApacheServer &server = logout_server({true, true});
    // Outside the protected area the logout page is simply served.
    const HttpResponse open = get(server.url("/public/logout.html?resume=/sso/r2"));
    EXPECT_EQ(open.status, 200);
    EXPECT_TRUE(open.all_headers("Set-Cookie").empty());
    EXPECT_FALSE(open.header("Location"));
    // Inside it, the user has to log in first; so has one whose session is over.
    for (const std::vector<std::string> &headers :
         {std::vector<std::string>{}, std::vector<std::string>{cookie_header(session_token("jdoe", {}, {-7200, -60, 600}))}}) {
        const HttpResponse closed = get(server.url("/protected/logout.html"), headers);
        EXPECT_EQ(closed.status, 302);
        EXPECT_EQ(closed.header("Location").value_or("").rfind(std::string(kLoginPageUrl) + "?TargetResource=", 0),
                  0u)
            << closed.header("Location").value_or("");
    }
}

TEST(Logout, HostileResumeValuesNeverLeaveTheBaseUrlsHost) {
    ApacheServer &server = logout_server({false, true});
    const std::string cookie = cookie_header(session_token("jdoe"));
    const char *hostile[] = {
        "http://evil.test/x",
        "https:%2F%2Fevil.test",
        "//evil.test/x",
        "///evil.test",
        "\\\\evil.test",
        "/\\evil.test",
        "@evil.test",
        "%2F%2Fevil.test",
        "/r%0D%0ASet-Cookie:%20evil=1",
        "/r%0d%0aX-Injected:%20yes%0d%0a%0d%0a<html>",
        "%0D%0ALocation:%20http://evil.test/",
    };
    for (const char *resume : hostile) {
        for (const char *area : {"protected", "public"}) {
            const HttpResponse response =
                get(server.url(std::string("/") + area + "/logout.html?resume=" + resume), {cookie});
            EXPECT_EQ(response.status, 302) << resume;
            const std::string location = response.header("Location").value_or("");
            // Passed on as received: escapes stay escapes, below the base URL.
            EXPECT_EQ(location, std::string(kBaseUrl) + "/" + (resume[0] == '/' ? resume + 1 : resume)) << resume;
            EXPECT_EQ(qv::url_origin(location), "https:fed.example.test:8443") << location;
            EXPECT_FALSE(response.header("X-Injected")) << resume;
            EXPECT_EQ(response.all_headers("Set-Cookie"), std::vector<std::string>{erasing_cookie()}) << resume;
            EXPECT_EQ(response.all_headers("Location").size(), 1u) << resume;
        }
    }
}

TEST(Logout, ABaseUrlWithoutAHostIsNeverCompletedByTheResumeValue) {
    // "https:/" loses its slash at start-up; a resume value must not supply the host.
    ApacheServer &server = shared_server(logout_setup({false, true}, "https:/"));
    ASSERT_TRUE(server.serving()) << server.log().text();
    const LogMark mark = server.mark();
    const HttpResponse response =
        get(server.url("/public/logout.html?resume=//evil.test/x"), {cookie_header(session_token("jdoe"))});
    // The session ends all the same, without the onward redirect.
    EXPECT_EQ(response.status, 200);
    EXPECT_FALSE(response.header("Location"));
    EXPECT_EQ(response.all_headers("Set-Cookie"), std::vector<std::string>{erasing_cookie()});
    EXPECT_TRUE(server.log_since(mark).contains("Cannot redirect to the resume URL")) << server.log_since(mark).text();
}

TEST(Logout, LogLinesTellWhichWayTheSessionEnded) {
    ApacheServer &server = logout_server({true, true});
    const std::string cookie = cookie_header(session_token("jdoe"));
    LogMark mark = server.mark();
    get(server.url("/protected/logout.html"), {cookie});
    ErrorLog log = server.log_since(mark);
    const size_t slo = log.find("Logging out of the session via redirection to the configured Quorvel SLO URL:");
    ASSERT_NE(slo, std::string::npos) << log.text();
    ASSERT_LT(slo + 1, log.lines.size());
    EXPECT_EQ(log.lines[slo + 1].message, kSloUrl);

    mark = server.mark();
    get(server.url("/protected/logout.html?resume=/sso/r2"), {cookie});
    log = server.log_since(mark);
    EXPECT_TRUE(log.has("Cancelling the session internally, with further logging out via Quorvel base URL, "
                        "supplemented with a resume URI..."))
        << log.text();
    const size_t resume = log.find("Logging out of the session via redirection to the resume URL:");
    ASSERT_NE(resume, std::string::npos) << log.text();
    ASSERT_LT(resume + 1, log.lines.size());
    EXPECT_EQ(log.lines[resume + 1].message, std::string(kBaseUrl) + "/sso/r2");
}

}  // namespace
