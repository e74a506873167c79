// QuorvelUnauthenticatedAction: what a protected request without a session
// gets when it comes from a script (fetch, XMLHttpRequest) rather than from a
// browser navigation.
#include "apache_server.h"
#include "http_client.h"
#include "session_helpers.h"
#include "tokens.h"

#include "response/url_syntax.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace qvtest;

namespace {

const char *kBrowserAccept = "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8";

std::string login_url(const ApacheServer &server, const std::string &path) {
    return std::string(kLoginPageUrl) + "?TargetResource=" +
           qv::url_safe_encode("http://127.0.0.1:" + std::to_string(server.port()) + path);
}

ServerSetup with_action(const std::string &action) {
    ServerSetup setup;
    setup.extra_modules = {"authn_core"};
    if (!action.empty()) setup.agent_directives += "QuorvelUnauthenticatedAction " + action + "\n";
    // Neither an ErrorDocument nor another realm replaces the agent's answer.
    setup.server_directives = "ErrorDocument 401 /public/index.html\n"
                              "<Location /protected/named/>\n  AuthName \"Staff area\"\n</Location>\n";
    return setup;
}

void expect_login_401(const ApacheServer &server, const HttpResponse &response, const std::string &path,
                      const std::string &realm = "127.0.0.1") {
    EXPECT_EQ(response.status, 401) << path;
    const std::string login = login_url(server, path);
    EXPECT_EQ(response.header("WWW-Authenticate"), "Quorvel realm=\"" + realm + "\", login=\"" + login + "\"");
    EXPECT_EQ(response.header("Content-Type"), "application/json");
    EXPECT_EQ(response.body, "{\"error\":\"unauthenticated\",\"login\":\"" + login + "\"}\n");
    EXPECT_FALSE(response.header("Location"));
    EXPECT_NE(response.header("Cache-Control").value_or("").find("private"), std::string::npos);
}

TEST(AutoAction, ScriptsGet401WithTheLoginUrlAndNavigationsTheRedirect) {
    ApacheServer &server = shared_server(with_action("auto"));
    ASSERT_TRUE(server.serving()) << server.log().text();
    const struct {
        const char *what;
        std::vector<std::string> headers;
        long status;
    } cases[] = {
        {"fetch()", {"Sec-Fetch-Mode: cors", "Sec-Fetch-Dest: empty", "Accept: */*"}, 401},
        {"same-origin fetch() accepting HTML", {"Sec-Fetch-Mode: same-origin", kBrowserAccept}, 401},
        {"XMLHttpRequest of a library", {"X-Requested-With: XMLHttpRequest", kBrowserAccept}, 401},
        {"client without fetch metadata asking for JSON", {"Accept: application/json"}, 401},
        {"curl as it comes", {}, 401},
        {"top-level navigation", {"Sec-Fetch-Mode: navigate", "Sec-Fetch-Dest: document", kBrowserAccept}, 302},
        {"frame navigation", {"Sec-Fetch-Mode: navigate", "Sec-Fetch-Dest: iframe", kBrowserAccept}, 302},
        {"browser without fetch metadata", {kBrowserAccept}, 302},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const HttpResponse response = get(server.url("/protected/a?x=1"), c.headers);
        EXPECT_EQ(response.all_headers("Vary").size(), 1u);
        EXPECT_NE(response.header("Vary").value_or("").find("Sec-Fetch-Mode"), std::string::npos);
        if (c.status == 401) {
            expect_login_401(server, response, "/protected/a?x=1");
        } else {
            EXPECT_EQ(response.status, 302);
            EXPECT_EQ(response.header("Location"), login_url(server, "/protected/a?x=1"));
            EXPECT_FALSE(response.header("WWW-Authenticate"));
        }
    }
    // A place's AuthName is the realm.
    expect_login_401(server, get(server.url("/protected/named/x"), {"Sec-Fetch-Mode: cors"}), "/protected/named/x",
                     "Staff area");

    // An expired session is refused the same way, and its cookie erased.
    const HttpResponse expired = get(server.url("/protected/a?x=1"),
                                     {"Sec-Fetch-Mode: cors", cookie_header(session_token("jdoe", {}, {-60, -5, 60}))});
    expect_login_401(server, expired, "/protected/a?x=1");
    EXPECT_EQ(expired.all_headers("Set-Cookie"), std::vector<std::string>{erasing_cookie()});

    // A session is served to scripts as to browsers.
    const HttpResponse granted =
        get(server.url("/protected/index.html"), {"Sec-Fetch-Mode: cors", cookie_header(session_token("jdoe"))});
    EXPECT_EQ(granted.status, 200);
    // Unprotected URLs are never refused.
    EXPECT_EQ(get(server.url("/public/index.html"), {"Sec-Fetch-Mode: cors"}).status, 200);
}

TEST(UnauthenticatedAction, AlwaysAnswers401OrAlwaysRedirects) {
    ApacheServer &always_401 = shared_server(with_action("401"));
    ASSERT_TRUE(always_401.serving()) << always_401.log().text();
    const HttpResponse navigation = get(always_401.url("/protected/"), {"Sec-Fetch-Mode: navigate", kBrowserAccept});
    expect_login_401(always_401, navigation, "/protected/");
    EXPECT_FALSE(navigation.header("Vary"));

    // The default and "redirect" never answer 401.
    for (const std::string action : {"", "redirect"}) {
        ApacheServer &server = shared_server(with_action(action));
        ASSERT_TRUE(server.serving()) << server.log().text();
        for (const std::vector<std::string> &headers : std::vector<std::vector<std::string>>{
                 {"Sec-Fetch-Mode: cors"}, {"X-Requested-With: XMLHttpRequest"}, {"Accept: application/json"}}) {
            const HttpResponse response = get(server.url("/protected/"), headers);
            EXPECT_EQ(response.status, 302) << action << " " << headers[0];
            EXPECT_EQ(response.header("Location"), login_url(server, "/protected/"));
            EXPECT_FALSE(response.header("WWW-Authenticate"));
            EXPECT_FALSE(response.header("Vary"));
        }
    }
}

}  // namespace
