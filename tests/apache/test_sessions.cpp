// Sessions end to end: where the token comes from, what the agent sends back,
// the times that end a session, and many sessions at once.
#include "apache_server.h"
#include "http_client.h"
#include "session_helpers.h"
#include "tokens.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using namespace qvtest;

namespace {

// Attributes exposed, a protected path into the CGI program, lines up to level 3.
ServerSetup session_setup() {
    ServerSetup setup;
    setup.agent_directives += "QuorvelSessionAttrFilter .*\n"
                              "QuorvelFilter ^/cgi-bin/env\\.cgi/protected\n"
                              "QuorvelCancelURL ^/protected/logout\n"
                              "QuorvelVerboseLevel 3\n";
    return setup;
}

ApacheServer &session_server() {
    ApacheServer &server = shared_server(session_setup());
    EXPECT_TRUE(server.serving()) << server.log().text();
    return server;
}

std::string cookie_token_name() { return std::string(kCookieName) + "="; }

TEST(TokenSources, NoTokenOnAProtectedUrlRedirectsToTheLoginPage) {
    ApacheServer &server = session_server();
    const HttpResponse response = get(server.url("/protected/index.html"));
    EXPECT_EQ(response.status, 302);
    EXPECT_EQ(response.header("Location").value_or("").rfind(std::string(kLoginPageUrl) + "?TargetResource=", 0), 0u)
        << response.header("Location").value_or("");
    EXPECT_TRUE(response.all_headers("Set-Cookie").empty());
    // An unprotected URL is served without looking for a token.
    EXPECT_EQ(get(server.url("/public/index.html")).status, 200);
}

TEST(TokenSources, QueryTokenBecomesTheCookieAndLeavesTheAddress) {
    ApacheServer &server = session_server();
    const std::string token = session_token("jdoe", "mail=j@example.test\n");
    const struct {
        std::string query;
        std::string location;
    } cases[] = {
        {"?" + cookie_token_name() + token, "/protected/index.html"},
        {"?a=1&" + cookie_token_name() + token, "/protected/index.html?a=1"},
        {"?" + cookie_token_name() + token + "&a=1", "/protected/index.html?a=1"},
        {"?a=1&" + cookie_token_name() + token + "&b=2", "/protected/index.html?a=1&b=2"},
    };
    for (const auto &c : cases) {
        const int64_t before = now_seconds();
        const HttpResponse response = get(server.url("/protected/index.html" + c.query));
        const int64_t after = now_seconds();
        EXPECT_EQ(response.status, 302) << c.query;
        EXPECT_EQ(response.header("Location"), server.url(c.location));
        EXPECT_EQ(response.header("Cache-Control"), "private, no-cache=\"set-cookie\"");
        const auto renewed = renewed_token(response);
        ASSERT_TRUE(renewed) << c.query;
        const auto payload = token_payload(*renewed);
        ASSERT_TRUE(payload);
        // A token from the address starts its life now and is not yet marked as seen.
        EXPECT_GE(payload_time(*payload, "not-before").value_or(0), before);
        EXPECT_LE(payload_time(*payload, "not-before").value_or(0), after);
        EXPECT_GE(payload_time(*payload, "not-on-or-after").value_or(0), before + 3600);
        EXPECT_LE(payload_time(*payload, "not-on-or-after").value_or(0), after + 3600);
        EXPECT_FALSE(payload_value(*payload, "is.subsequent.request"));
        EXPECT_EQ(payload_value(*payload, "mail"), "j@example.test");
    }
}

TEST(TokenSources, PostedLoginFormIsRepeatedAsGet) {
    ApacheServer &server = session_server();
    const std::string token = session_token("jdoe");
    const HttpResponse response = post(server.url("/protected/index.html?x=1"), cookie_token_name() + token);
    EXPECT_EQ(response.status, 303);
    EXPECT_EQ(response.header("Location"), server.url("/protected/index.html?x=1"));
    EXPECT_TRUE(renewed_token(response));

    // The token must be the form's first field, and the form must say it is one.
    EXPECT_EQ(post(server.url("/protected/index.html"), "other=1&" + cookie_token_name() + token).status, 302);
    EXPECT_EQ(post(server.url("/protected/index.html"), cookie_token_name() + token,
                   {"Content-Type: application/x-www-form-urlencoded; charset=UTF-8"})
                  .status,
              302);
}

TEST(TokenSources, LongPostedBodyIsNotSearched) {
    ApacheServer &server = session_server();
    // No token is this long: the agent stops reading and goes on to the cookies.
    const std::string body = cookie_token_name() + std::string(100000, 'A');
    const LogMark mark = server.mark();
    const HttpResponse response =
        post(server.url("/protected/index.html"), body, {cookie_header(session_token("jdoe"))});
    EXPECT_EQ(response.status, 200) << server.log_since(mark).text();
    EXPECT_TRUE(server.log_since(mark).contains("Ignoring the posted request body, since its length"))
        << server.log_since(mark).text();
}

TEST(TokenSources, BadTokenEndsTheSearch) {
    ApacheServer &server = session_server();
    const std::string cookie = cookie_header(session_token("jdoe"));
    // An empty or unrecognisable token in the address hides a good cookie.
    EXPECT_EQ(get(server.url("/protected/index.html?" + cookie_token_name() + "&b=2"), {cookie}).status, 302);
    EXPECT_EQ(get(server.url("/protected/index.html?" + cookie_token_name() + "junk"), {cookie}).status, 302);
    // A name that merely contains the token's name is no token parameter.
    EXPECT_EQ(get(server.url("/protected/index.html?" + std::string(kCookieName) + "x=1"), {cookie}).status, 200);
    // Two Cookie headers, the first with an empty value: the second one counts.
    EXPECT_EQ(get(server.url("/protected/index.html"), {cookie_header(";"), cookie}).status, 200);
}

TEST(CookieSessions, ApplicationSeesTheSessionAndTheCookieIsRenewed) {
    ApacheServer &server = session_server();
    const std::string payload = session_payload("jdoe", "mail=j@example.test\n");
    const int64_t not_before = *payload_time(payload, "not-before");
    const LogMark mark = server.mark();
    const int64_t before = now_seconds();
    const HttpResponse response = get(server.url("/cgi-bin/env.cgi/protected"), {cookie_header(make_token(payload))});
    const int64_t after = now_seconds();
    ASSERT_EQ(response.status, 200) << response.body << server.log_since(mark).text();
    EXPECT_EQ(environment_value(response.body, "QV_AUTH_SUBJECT"), "jdoe");
    EXPECT_EQ(environment_value(response.body, "QV_AUTH_MAIL"), "j@example.test");
    EXPECT_EQ(environment_value(response.body, "REMOTE_USER"), "jdoe");
    const auto access = server.access_log_line(mark, "/cgi-bin/env.cgi/protected");
    ASSERT_TRUE(access);
    EXPECT_NE(access->find("user=jdoe"), std::string::npos) << *access;

    const auto renewed = renewed_token(response);
    ASSERT_TRUE(renewed);
    const auto renewed_payload = token_payload(*renewed);
    ASSERT_TRUE(renewed_payload);
    EXPECT_GE(payload_time(*renewed_payload, "not-on-or-after").value_or(0), before + 3600);
    EXPECT_LE(payload_time(*renewed_payload, "not-on-or-after").value_or(0), after + 3600);
    // A cookie session keeps its creation time and is marked as seen.
    EXPECT_EQ(payload_time(*renewed_payload, "not-before"), not_before);
    EXPECT_EQ(payload_value(*renewed_payload, "is.subsequent.request"), "TRUE");

    const ErrorLog log = server.log_since(mark);
    EXPECT_TRUE(log.has("Exposing the remote user name for possible logging in access_log: jdoe")) << log.text();
    EXPECT_TRUE(log.has("Returning HTTP code -1 (DECLINED)..."));
}

TEST(CookieSessions, AttributesOnlyOnTheFirstRequestWhenAskedTo) {
    ServerSetup setup = session_setup();
    setup.agent_directives += "QuorvelSendAttributesOnce yes\n";
    ApacheServer &server = shared_server(setup);
    ASSERT_TRUE(server.serving()) << server.log().text();

    const HttpResponse first = get(server.url("/cgi-bin/env.cgi/protected"), {cookie_header(session_token("jdoe"))});
    ASSERT_EQ(first.status, 200);
    EXPECT_EQ(environment_value(first.body, "QV_AUTH_SUBJECT"), "jdoe");
    const auto renewed = renewed_token(first);
    ASSERT_TRUE(renewed);
    EXPECT_EQ(payload_value(token_payload(*renewed).value_or(""), "is.subsequent.request"), "TRUE");

    const HttpResponse second = get(server.url("/cgi-bin/env.cgi/protected"), {cookie_header(*renewed)});
    ASSERT_EQ(second.status, 200);
    EXPECT_EQ(second.body.find("QV_AUTH_"), std::string::npos) << second.body;
    // The user is still known to the application and the log.
    EXPECT_EQ(environment_value(second.body, "REMOTE_USER"), "jdoe");
    EXPECT_TRUE(renewed_token(second));

    // "false" counts as the flag being there; any other value as its absence.
    const HttpResponse flagged_false =
        get(server.url("/cgi-bin/env.cgi/protected"), {cookie_header(session_token("jdoe", "is.subsequent.request=false\n"))});
    EXPECT_EQ(flagged_false.body.find("QV_AUTH_"), std::string::npos) << flagged_false.body;
    const HttpResponse flagged_yes =
        get(server.url("/cgi-bin/env.cgi/protected"), {cookie_header(session_token("jdoe", "is.subsequent.request=yes\n"))});
    EXPECT_EQ(environment_value(flagged_yes.body, "QV_AUTH_SUBJECT"), "jdoe");
}

TEST(InvalidSessions, EachEndsAsItShould) {
    ApacheServer &server = session_server();
    const std::string good = session_token("jdoe");
    std::string tampered = good;
    tampered[tampered.size() / 2] = tampered[tampered.size() / 2] == 'A' ? 'B' : 'A';
    const std::string without_limit = make_token("subject=jdoe\nnot-before=" + iso_time(now_seconds() - 60) +
                                                 "\nrenew-until=" + iso_time(now_seconds() + 600) + "\n");

    enum class Outcome { login, error_page };
    const struct {
        const char *name;
        std::string token;
        Outcome outcome;
        bool erases_cookie;
        const char *text;  // on the error page
    } cases[] = {
        {"inactivity limit passed", session_token("jdoe", {}, {-60, -1, 600}), Outcome::login, true, nullptr},
        {"inactivity limit now", session_token("jdoe", {}, {-60, 0, 600}), Outcome::login, true, nullptr},
        {"renew-until passed", session_token("jdoe", {}, {-60, 600, -1}), Outcome::login, true, nullptr},
        {"not yet valid", session_token("jdoe", {}, {120, 600, 7200}), Outcome::error_page, false,
         "Session is not yet valid. Session creation time exceeds current time by more than the configured "
         "\"not-before tolerance\" period."},
        {"other cipher suite", make_token(session_payload("jdoe"), 1), Outcome::error_page, true,
         "Configuration error."},
        {"tampered", tampered, Outcome::error_page, true, "The session token is not valid."},
        {"no inactivity limit", without_limit, Outcome::error_page, true,
         "Cannot get the session inactivity limit - session is not valid."},
    };
    for (const auto &c : cases) {
        const LogMark mark = server.mark();
        const HttpResponse response = get(server.url("/protected/index.html"), {cookie_header(c.token)});
        const std::vector<std::string> cookies = response.all_headers("Set-Cookie");
        if (c.outcome == Outcome::login) {
            EXPECT_EQ(response.status, 302) << c.name;
            EXPECT_EQ(response.header("Location").value_or("").rfind(kLoginPageUrl, 0), 0u) << c.name;
        } else {
            EXPECT_EQ(response.status, 500) << c.name;
            EXPECT_NE(response.body.find(c.text), std::string::npos) << c.name << "\n" << response.body;
        }
        EXPECT_EQ(cookies, c.erases_cookie ? std::vector<std::string>{erasing_cookie()} : std::vector<std::string>{})
            << c.name << "\n" << server.log_since(mark).text();
        // The user is known before the session is judged.
        if (c.outcome == Outcome::login) {
            const auto access = server.access_log_line(mark, "/protected/index.html");
            EXPECT_NE(access.value_or("").find("user=jdoe"), std::string::npos) << c.name;
        }
    }
}

TEST(InvalidSessions, HostileTokensNeverGrantAccess) {
    ApacheServer &server = session_server();
    const std::string good = session_token("jdoe");
    const std::string name = cookie_token_name();
    const std::vector<HttpRequest> requests = {
        {"GET", server.url("/protected/index.html"), {cookie_header("TkJS" + std::string(96, 'A'))}, {}},
        {"GET", server.url("/protected/index.html"), {cookie_header(good.substr(0, good.size() - 4))}, {}},
        {"GET", server.url("/protected/index.html"),
         {cookie_header(make_token(session_payload("jdoe"), 2, "another password"))}, {}},
        {"GET", server.url("/protected/index.html"), {cookie_header(make_token(session_payload("jdoe"), 0))}, {}},
        {"GET", server.url("/protected/index.html"), {cookie_header(std::string(8000, '*'))}, {}},
        {"GET", server.url("/protected/index.html?" + name + "TkJS" + std::string(4000, '_')), {}, {}},
        {"GET", server.url("/protected/index.html?" + name + "%00" + good), {}, {}},
        {"POST", server.url("/protected/index.html"), {}, name + "TkJS" + std::string(96, '-')},
        {"POST", server.url("/protected/index.html"), {}, name + good + "&x=1"},
        {"GET", server.url("/protected/index.html"), {cookie_header(make_token(""))}, {}},
        {"GET", server.url("/protected/index.html"), {cookie_header(make_token("subject=jdoe\n"))}, {}},
    };
    for (size_t i = 0; i < requests.size(); ++i) {
        const HttpResponse response = send(requests[i]);
        EXPECT_NE(response.status, 0) << "request " << i << ": " << response.error;
        EXPECT_TRUE(response.status == 302 || response.status == 500) << "request " << i << ": " << response.status;
        EXPECT_FALSE(renewed_token(response)) << "request " << i;
    }
    EXPECT_EQ(get(server.url("/protected/index.html"), {cookie_header(good)}).status, 200);
}

TEST(InvalidSessions, NotBeforeToleranceOfTheAgentFile) {
    ServerSetup setup = session_setup();
    *setup.agent_file += "token-notbefore-tolerance = 60\n";
    ApacheServer &server = shared_server(setup);
    ASSERT_TRUE(server.serving()) << server.log().text();
    // Ahead of the clock within the tolerance: valid, and the address token starts again at now - tolerance.
    const std::string early = session_token("jdoe", {}, {30, 600, 7200});
    const int64_t before = now_seconds();
    const HttpResponse response = get(server.url("/protected/index.html?" + cookie_token_name() + early));
    const int64_t after = now_seconds();
    EXPECT_EQ(response.status, 302);
    const auto payload = token_payload(renewed_token(response).value_or(""));
    ASSERT_TRUE(payload);
    EXPECT_GE(payload_time(*payload, "not-before").value_or(0), before - 60);
    EXPECT_LE(payload_time(*payload, "not-before").value_or(0), after - 60);
    // Beyond it: refused, the cookie kept.
    const HttpResponse late = get(server.url("/protected/index.html"), {cookie_header(session_token("jdoe", {}, {120, 600, 7200}))});
    EXPECT_EQ(late.status, 500);
    EXPECT_TRUE(late.all_headers("Set-Cookie").empty());
}

TEST(InvalidSessions, ConfiguredErrorPageAndItsOwnFailure) {
    ServerSetup setup = session_setup();
    setup.agent_directives += "QuorvelErrorPageURL /protected/error.html\n";
    ApacheServer &server = shared_server(setup);
    ASSERT_TRUE(server.serving()) << server.log().text();
    const std::string bad = make_token(session_payload("jdoe"), 3);

    const HttpResponse redirected = get(server.url("/protected/index.html"), {cookie_header(bad)});
    EXPECT_EQ(redirected.status, 302);
    EXPECT_EQ(redirected.header("Location"), "/protected/error.html");
    EXPECT_EQ(redirected.all_headers("Set-Cookie"), std::vector<std::string>{erasing_cookie()});

    const LogMark mark = server.mark();
    const HttpResponse recursive = get(server.url("/protected/error.html"), {cookie_header(bad)});
    EXPECT_EQ(recursive.status, 503);
    EXPECT_FALSE(recursive.header("Location"));
    EXPECT_TRUE(server.log_since(mark).has("Returning HTTP code 503...")) << server.log_since(mark).text();
}

TEST(Handler, LogoutUrlsGoOnUntilLogoutIsThere) {
    ApacheServer &server = session_server();
    // Validation comes before the logout: an expired session is sent to log in.
    const HttpResponse expired =
        get(server.url("/protected/logout"), {cookie_header(session_token("jdoe", {}, {-60, -1, 600}))});
    EXPECT_EQ(expired.status, 302);
    EXPECT_EQ(expired.header("Location").value_or("").rfind(kLoginPageUrl, 0), 0u);
    // A valid one goes on to whatever Apache serves there.
    const LogMark mark = server.mark();
    EXPECT_EQ(get(server.url("/protected/logout?resume=/x"), {cookie_header(session_token("jdoe"))}).status, 404);
    const ErrorLog log = server.log_since(mark);
    EXPECT_TRUE(log.has("The logout implies a session resume")) << log.text();
    EXPECT_TRUE(log.has("The session logout has been requested"));
}

TEST(Handler, StartPageListsTheSessionHeaders) {
    ServerSetup setup = session_setup();
    setup.agent_directives += "QuorvelStartPageURL start\\.html$\n";
    ApacheServer &server = shared_server(setup);
    ASSERT_TRUE(server.serving()) << server.log().text();

    const HttpResponse protected_page =
        get(server.url("/protected/start.html"), {cookie_header(session_token("jdoe", "mail=<b>\n"))});
    EXPECT_EQ(protected_page.status, 200);
    EXPECT_EQ(protected_page.header("Content-Type").value_or("").rfind("text/html", 0), 0u);
    EXPECT_NE(protected_page.body.find("QV_AUTH_SUBJECT"), std::string::npos) << protected_page.body;
    EXPECT_NE(protected_page.body.find("&lt;b&gt;"), std::string::npos);
    EXPECT_TRUE(renewed_token(protected_page));

    const HttpResponse open_page = get(server.url("/public/start.html"));
    EXPECT_EQ(open_page.status, 200);
    EXPECT_EQ(open_page.body.find("QV_AUTH_"), std::string::npos);
    // Without a session the protected start page asks for a login first.
    EXPECT_EQ(get(server.url("/protected/start.html")).status, 302);
}

TEST(Concurrency, ManySessionsAtOnceKeepTheirOwnSubjects) {
    ApacheServer &server = session_server();
    constexpr int kThreads = 8;
    constexpr int kRequests = 25;
    std::vector<std::string> tokens;
    for (int i = 0; i < kThreads; ++i) tokens.push_back(session_token("user" + std::to_string(i)));

    std::atomic<int> failures{0};
    std::vector<std::string> first_failure(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            const std::string subject = "user" + std::to_string(i);
            for (int n = 0; n < kRequests; ++n) {
                const HttpResponse response = get(server.url("/protected/index.html"), {cookie_header(tokens[i])});
                const auto renewed = renewed_token(response);
                const auto payload = renewed ? token_payload(*renewed) : std::nullopt;
                if (response.status != 200 || response.body != "protected\n" || !payload ||
                    payload_value(*payload, "subject") != subject) {
                    if (failures++ == 0)
                        first_failure[i] = subject + ": status " + std::to_string(response.status) + " " + response.error;
                }
            }
        });
    }
    for (std::thread &thread : threads) thread.join();
    std::string reasons;
    for (const std::string &reason : first_failure) reasons += reason;
    EXPECT_EQ(failures.load(), 0) << reasons;
}

}  // namespace
