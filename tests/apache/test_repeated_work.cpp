// Work that repeats is not done again: a token that comes back is kept in the
// process's token cache from its second time, a renewal that changes nothing
// re-issues the token itself, and a renewal interval spares cookies that
// would move the inactivity limit by little. None of it changes what a
// session may do.
#include "apache_server.h"
#include "http_client.h"
#include "session_helpers.h"
#include "tokens.h"

#include <nubrel.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

using namespace qvtest;

namespace {

using namespace std::chrono_literals;

const std::string kPage = "/protected/index.html";

// Waits for the start of the next second, so that what follows happens within one.
void at_the_start_of_a_second() {
    const int64_t now = now_seconds();
    while (now_seconds() == now) std::this_thread::sleep_for(5ms);
}

std::string flagged(const std::string &extra = {}) { return "is.subsequent.request=TRUE\n" + extra; }

TEST(TokenCache, ACachedSessionStillEndsOnTime) {
    ServerSetup setup = ServerSetup{};
    setup.agent_directives += "QuorvelVerboseLevel 3\n";
    ApacheServer &server = shared_server(setup);
    ASSERT_TRUE(server.serving()) << server.log().text();
    const std::string idle = session_token("idle", {}, {-60, 2, 7200});
    const std::string over = session_token("over", {}, {-60, 600, 2});
    for (const std::string &token : {idle, over}) {
        // Kept from its second time, a hit from its third.
        EXPECT_EQ(get(server.url(kPage), {cookie_header(token)}).status, 200);
        EXPECT_EQ(get(server.url(kPage), {cookie_header(token)}).status, 200);
        const LogMark mark = server.mark();
        EXPECT_EQ(get(server.url(kPage), {cookie_header(token)}).status, 200);
        EXPECT_TRUE(server.log_since(mark).has("The token has been decoded before - its payload comes from the token cache"))
            << server.log_since(mark).text();
    }
    std::this_thread::sleep_for(2500ms);
    for (const std::string &token : {idle, over}) {
        const HttpResponse expired = get(server.url(kPage), {cookie_header(token)});
        EXPECT_EQ(expired.status, 302);
        EXPECT_EQ(expired.all_headers("Set-Cookie"), std::vector<std::string>{erasing_cookie()});
    }
}

TEST(TokenCache, TokensOneCharacterApartNeverShareAnEntry) {
    ApacheServer &server = shared_server(ServerSetup{});
    ASSERT_TRUE(server.serving()) << server.log().text();
    const std::string token = session_token("jdoe");
    std::string near = token;
    near[near.size() / 2] = near[near.size() / 2] == 'A' ? 'B' : 'A';
    EXPECT_EQ(get(server.url(kPage), {cookie_header(near)}).status, 500);
    EXPECT_EQ(get(server.url(kPage), {cookie_header(token)}).status, 200);
    EXPECT_EQ(get(server.url(kPage), {cookie_header(near)}).status, 500);
    EXPECT_EQ(get(server.url(kPage), {cookie_header(token)}).status, 200);
}

TEST(TokenCache, TokensInTheAddressOrAFormStillGetTheirRedirect) {
    ApacheServer &server = shared_server(ServerSetup{});
    ASSERT_TRUE(server.serving()) << server.log().text();
    const std::string token = session_token("jdoe");
    const std::string parameter = std::string(kCookieName) + "=" + token;
    for (int i = 0; i < 2; ++i) {
        const HttpResponse query = get(server.url(kPage + "?" + parameter));
        EXPECT_EQ(query.status, 302);
        EXPECT_EQ(query.header("Location"), server.url(kPage));
        EXPECT_TRUE(renewed_token(query));
        const HttpResponse form = post(server.url(kPage), parameter);
        EXPECT_EQ(form.status, 303);
        EXPECT_TRUE(renewed_token(form));
    }
}

TEST(TokenCache, ARestartWithAnotherPasswordForgetsEveryToken) {
    auto server = ApacheServer::start(ServerSetup{});
    ASSERT_TRUE(server->serving()) << server->log().text();
    const std::string token = session_token("jdoe");
    EXPECT_EQ(get(server->url(kPage), {cookie_header(token)}).status, 200);
    EXPECT_EQ(get(server->url(kPage), {cookie_header(token)}).status, 200);
    {
        std::ofstream agent(server->root() + "/conf/agent.conf", std::ios::trunc);
        agent << "password = " << "YW5vdGhlciBwYXNzd29yZA==" << "\ntoken-lifetime = 3600\n";
    }
    ASSERT_TRUE(server->graceful_restart()) << server->log().text();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(get(server->url(kPage), {cookie_header(token)}).status, 500);
    EXPECT_EQ(get(server->url(kPage), {cookie_header(make_token(session_payload("jdoe"), 2, "another password"))}).status,
              200);
}

TEST(Renewal, WithinTheSecondTheTokenItselfIsIssuedAgain) {
    ApacheServer &server = shared_server(ServerSetup{});
    ASSERT_TRUE(server.serving()) << server.log().text();
    for (int attempt = 0; attempt < 3; ++attempt) {
        at_the_start_of_a_second();
        const int64_t second = now_seconds();
        const HttpResponse first = get(server.url(kPage), {cookie_header(session_token("jdoe", flagged()))});
        const auto renewed = renewed_token(first);
        ASSERT_TRUE(renewed);
        const HttpResponse again = get(server.url(kPage), {cookie_header(*renewed)});
        if (now_seconds() != second) continue;  // the second ran out: try again
        EXPECT_EQ(renewed_token(again), renewed);
        return;
    }
    FAIL() << "no two requests within one second";
}

TEST(Renewal, AnIntervalSparesCookiesThatMoveTheLimitByLess) {
    constexpr int kInterval = 300;
    constexpr int kLifetime = 3600;
    ServerSetup setup;
    setup.agent_directives += "QuorvelSessionRenewalInterval " + std::to_string(kInterval) + "\n";
    ApacheServer &server = shared_server(setup);
    ASSERT_TRUE(server.serving()) << server.log().text();
    const struct {
        int moved_by;  // seconds the renewal would move the inactivity limit
        bool flag;     // the update flag is already in the token
        bool cookie;
    } cases[] = {
        {kInterval - 1, true, false},
        {kInterval, true, true},
        {kInterval + 60, true, true},
        // The first request of a session marks it: the payload changes, a cookie goes out.
        {kInterval - 1, false, true},
    };
    for (const auto &c : cases) {
        for (int attempt = 0;; ++attempt) {
            ASSERT_LT(attempt, 3) << "no request within one second";
            at_the_start_of_a_second();
            const int64_t second = now_seconds();
            const std::string token =
                session_token("jdoe", c.flag ? flagged() : "", {-60, kLifetime - c.moved_by, 7200});
            const HttpResponse response = get(server.url(kPage), {cookie_header(token)});
            if (now_seconds() != second) continue;
            EXPECT_EQ(response.status, 200);
            EXPECT_EQ(renewed_token(response).has_value(), c.cookie) << c.moved_by << " " << c.flag;
            // Without a cookie the answer is still private.
            EXPECT_EQ(response.header("Cache-Control").value_or("").rfind("private", 0), 0u);
            break;
        }
    }
}

}  // namespace
