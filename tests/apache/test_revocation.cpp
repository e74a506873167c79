// Sign-out that holds on every server sharing a revocation store: Redis and
// memcached shared by two servers with one agent file, shmcb on one server
// across graceful restarts, entries that end with their session, and a store
// that stops and comes back.
#include "apache_server.h"
#include "backend.h"
#include "http_client.h"
#include "session_helpers.h"
#include "store_server.h"
#include "tokens.h"

#include "config/revocation_values.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace qvtest;
using namespace std::chrono_literals;
using Kind = StoreServer::Kind;

namespace {

constexpr const char *kSignedOut = "The session of \"jdoe\" has been signed out - invalidating session...";

ServerSetup store_setup(const std::string &address, const std::string &provider_module,
                        const std::string &extra = {}) {
    ServerSetup setup;
    setup.agent_directives += "QuorvelCancelURL ^/protected/logout\n"
                              "QuorvelVerboseLevel 2\n"
                              "QuorvelRevocationStore " + address + "\n"
                              "QuorvelRevocationCheckInterval 1\n" + extra;
    if (!provider_module.empty()) setup.extra_modules.push_back(provider_module);
    setup.files["htdocs/protected/logout.html"] = "logout\n";
    return setup;
}

std::unique_ptr<ApacheServer> started(const ServerSetup &setup) {
    auto server = ApacheServer::start(setup);
    EXPECT_TRUE(server->serving()) << server->log().text();
    return server;
}

std::string query_token(const std::string &token) { return "?" + std::string(kCookieName) + "=" + token; }

// The answer to an expired session: the login page, the cookie erased.
bool is_refusal(const HttpResponse &response) {
    return response.status == 302 &&
           response.header("Location").value_or("").rfind(std::string(kLoginPageUrl) + "?", 0) == 0 &&
           response.all_headers("Set-Cookie") == std::vector<std::string>{erasing_cookie()};
}

// Polls, since other processes trust their last answer for the check interval.
bool refused_within(const ApacheServer &server, const std::string &path, const std::vector<std::string> &headers,
                    std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (is_refusal(get(server.url(path), headers))) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(100ms);
    }
}

long status_of(const ApacheServer &server, const std::string &token) {
    return get(server.url("/protected/"), {cookie_header(token)}).status;
}

// The store's key for a session's revocation, as the providers prefix it.
std::string store_key(const std::string &token) {
    const std::string file = minimal_agent_file();
    const size_t start = file.find("password = ") + 11;
    const std::string password = file.substr(start, file.find('\n', start) - start);
    const auto payload = token_payload(token);
    const auto renew_until = payload ? payload_time(*payload, "renew-until") : std::nullopt;
    // The providers write the key's bytes in hexadecimal.
    const std::string id =
        qv::session_identifier(qv::derive_revocation_key(password), "jdoe", renew_until.value_or(0));
    std::string key = "qv-revocation:";
    for (const unsigned char c : id) {
        key += "0123456789abcdef"[c >> 4];
        key += "0123456789abcdef"[c & 0xf];
    }
    return key;
}

class Farm : public testing::TestWithParam<Kind> {
protected:
    void SetUp() override {
        store = StoreServer::start(GetParam());
        ASSERT_TRUE(store) << "cannot start the store server";
    }
    ServerSetup setup(const std::string &extra = {}) const {
        return store_setup(store->address(), store->provider_module(), extra);
    }
    std::unique_ptr<StoreServer> store;
};

TEST_P(Farm, ASignOutOnOneServerHoldsOnEveryServer) {
    Backend federation;
    const ServerSetup farm = setup("QuorvelSLOURL " + federation.url("/slo") + "\nQuorvelBaseURL " +
                                   federation.url("/") + "\n");
    const auto a = started(farm);
    const auto b = started(farm);
    ASSERT_TRUE(a->serving() && b->serving());

    // The session begins with the token in the address and goes on with its renewed cookie.
    const std::string first = session_token("jdoe");
    const HttpResponse landing = get(a->url("/protected/" + query_token(first)));
    ASSERT_EQ(landing.status, 302) << landing.body;
    const std::string cookie = renewed_token(landing).value_or("");
    ASSERT_NE(cookie, first);
    EXPECT_EQ(status_of(*b, cookie), 200);
    const std::string other_user = session_token("asmith");
    EXPECT_EQ(status_of(*b, other_user), 200);

    // Single logout: off to the federation server, which calls back with resume.
    const HttpResponse logout = get(a->url("/protected/logout.html"), {cookie_header(cookie)});
    ASSERT_EQ(logout.status, 302);
    ASSERT_EQ(logout.header("Location"), federation.url("/slo"));
    EXPECT_EQ(get(*logout.header("Location")).status, 200);
    const HttpResponse back = get(a->url("/protected/logout.html?resume=/sso/done"), {cookie_header(cookie)});
    EXPECT_EQ(back.status, 302) << a->log().text();
    EXPECT_EQ(back.header("Location"), federation.url("/sso/done"));
    EXPECT_EQ(back.all_headers("Set-Cookie"), std::vector<std::string>{erasing_cookie()});

    for (const ApacheServer *server : {a.get(), b.get()}) {
        EXPECT_TRUE(refused_within(*server, "/protected/", {cookie_header(cookie)}, 1500ms)) << server->port();
        EXPECT_TRUE(refused_within(*server, "/protected/", {cookie_header(first)}, 1500ms)) << server->port();
        EXPECT_TRUE(refused_within(*server, "/protected/" + query_token(first), {}, 1500ms)) << server->port();
        // Another user, and a later session of the same user, go on.
        EXPECT_EQ(status_of(*server, other_user), 200);
        EXPECT_EQ(status_of(*server, session_token("jdoe", {}, {-60, 600, 7000})), 200);
    }
    EXPECT_TRUE(b->log().has(kSignedOut)) << b->log().text();
}

TEST_P(Farm, AnEntryEndsWithItsSession) {
    const auto server = started(setup());
    const std::string token = session_token("jdoe", {}, {-60, 3, 3});
    EXPECT_EQ(get(server->url("/protected/logout.html"), {cookie_header(token)}).status, 200);
    const std::string key = store_key(token);
    EXPECT_TRUE(store->holds(key)) << key;
    const auto renew_until = payload_time(token_payload(token).value_or(""), "renew-until").value_or(0);
    std::this_thread::sleep_until(std::chrono::system_clock::time_point(std::chrono::seconds(renew_until + 2)));
    EXPECT_FALSE(store->holds(key));
}

TEST_P(Farm, AStoppedStoreAndItsReturn) {
    const auto lenient = started(setup());
    const auto strict = started(setup("QuorvelRevocationRequired on\n"));
    const std::string jdoe = session_token("jdoe");
    const std::string asmith = session_token("asmith");
    for (const ApacheServer *server : {lenient.get(), strict.get()})
        for (const std::string &token : {jdoe, asmith}) EXPECT_EQ(status_of(*server, token), 200);

    store->stop();
    std::this_thread::sleep_for(1100ms);  // the answers of the check interval are gone
    const LogMark mark = lenient->mark();
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(status_of(*lenient, asmith), 200);
        const HttpResponse refused = get(strict->url("/protected/"), {cookie_header(asmith)});
        EXPECT_EQ(refused.status, 503);
        EXPECT_EQ(refused.header("Retry-After"), "5");
    }
    EXPECT_EQ(lenient->log_since(mark).count("The revocation store " + store->address() +
                                             " cannot be reached - sessions are accepted without knowing whether "
                                             "they have been signed out"),
              1u)
        << lenient->log_since(mark).text();
    EXPECT_TRUE(strict->log().contains("cannot be reached - protected requests are refused with 503"));

    // A logout while the store is away holds at once where it happened.
    EXPECT_EQ(get(lenient->url("/protected/logout.html"), {cookie_header(jdoe)}).status, 200);
    EXPECT_TRUE(lenient->log().contains("cannot take the signed-out session of \"jdoe\" now"));
    EXPECT_TRUE(is_refusal(get(lenient->url("/protected/"), {cookie_header(jdoe)})));

    // The store comes back empty; the strict server serves again, and the
    // waiting revocation reaches it from the lenient one.
    ASSERT_TRUE(store->restart());
    const std::string back = "The revocation store " + store->address() + " can be reached again";
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline &&
           (status_of(*strict, asmith) != 200 || !lenient->log().has(back))) {
        status_of(*lenient, asmith);
        std::this_thread::sleep_for(200ms);
    }
    EXPECT_EQ(status_of(*strict, asmith), 200);
    EXPECT_TRUE(refused_within(*strict, "/protected/", {cookie_header(jdoe)}, 1500ms)) << strict->log().text();
    EXPECT_EQ(status_of(*lenient, asmith), 200);
    for (const ApacheServer *server : {lenient.get(), strict.get()})
        EXPECT_FALSE(server->log().contains("exit signal")) << server->log().text();
}

INSTANTIATE_TEST_SUITE_P(Stores, Farm, testing::Values(Kind::redis, Kind::memcached),
                         [](const testing::TestParamInfo<Kind> &info) {
                             return info.param == Kind::redis ? "Redis" : "Memcached";
                         });

TEST(SharedMemoryStore, ASignedOutSessionStaysSignedOutAcrossGracefulRestarts) {
    // A virtual host of its own inherits the store; a logout URL outside the
    // protected area signs out too.
    ServerSetup setup = store_setup("shmcb:{root}/run/revoked(200000)", "socache_shmcb",
                                    "QuorvelCancelURL ^/public/logout\n");
    setup.server_directives = "<VirtualHost 127.0.0.1>\n  ServerName 127.0.0.1\n</VirtualHost>\n"
                              "<VirtualHost 127.0.0.1>\n  ServerName other.test\n  QuorvelVerboseLevel 2\n"
                              "</VirtualHost>\n";
    setup.files["htdocs/public/logout.html"] = "logout\n";
    const auto server = started(setup);
    const std::string jdoe = session_token("jdoe");
    const std::string asmith = session_token("asmith");
    const std::string bwhite = session_token("bwhite");
    const std::vector<std::string> other_host = {"Host: other.test"};
    EXPECT_EQ(status_of(*server, jdoe), 200);
    EXPECT_EQ(get(server->url("/protected/logout.html"), {cookie_header(jdoe)}).status, 200);
    EXPECT_EQ(get(server->url("/public/logout.html"), {cookie_header(bwhite)}).status, 200);
    for (int restart = 0; restart < 3; ++restart) {
        if (restart > 0) {
            ASSERT_TRUE(server->graceful_restart()) << server->log().text();
        }
        // After a restart the new generation's processes know only what the store kept.
        for (const std::string &token : {jdoe, bwhite}) {
            EXPECT_TRUE(is_refusal(get(server->url("/protected/"), {cookie_header(token)}))) << restart;
            EXPECT_TRUE(is_refusal(get(server->url("/protected/"), {cookie_header(token), other_host[0]})))
                << restart;
        }
        EXPECT_EQ(status_of(*server, asmith), 200);
    }
    EXPECT_TRUE(server->log().contains("keeping the entries of the previous configuration"));
}

TEST(SharedMemoryStore, AStoreTooSmallForItsSessionsIsReported) {
    const auto server = started(store_setup("shmcb:{root}/run/revoked(8192)", "socache_shmcb"));
    for (int i = 0; i < 400; ++i)
        get(server->url("/protected/logout.html"), {cookie_header(session_token("user" + std::to_string(i)))});
    EXPECT_TRUE(server->log().contains("has dropped a signed-out session before it ended")) << server->log().text();
}

TEST(RevocationStartUp, AStoreThatCannotBeOpenedStopsTheServer) {
    const struct {
        std::string directives;
        std::string module;
        std::string message;
    } cases[] = {
        {"QuorvelRevocationStore nosuch:x\n", "", "unknown shared object cache provider \"nosuch\""},
        {"QuorvelRevocationStore redis:127.0.0.1:6379\n", "",
         "add \"LoadModule socache_redis_module " QV_APACHE_MODULE_DIR "/mod_socache_redis.so\""},
        {"QuorvelRevocationStore memcache:127.0.0.1:11211\n", "",
         "add \"LoadModule socache_memcache_module " QV_APACHE_MODULE_DIR "/mod_socache_memcache.so\""},
        {"QuorvelRevocationStore :6379\n", "", "QuorvelRevocationStore: should be PROVIDER or PROVIDER:ARGUMENTS"},
        {"QuorvelRevocationStore shmcb\nQuorvelRevocationCheckInterval -1\n", "socache_shmcb",
         "QuorvelRevocationCheckInterval: should be a number of seconds from 0 to 3600, not \"-1\""},
        {"QuorvelRevocationStore shmcb\nQuorvelRevocationRequired maybe\n", "socache_shmcb",
         "QuorvelRevocationRequired: should be either on or off"},
    };
    for (const auto &c : cases) {
        ServerSetup setup;
        setup.agent_directives += c.directives;
        if (!c.module.empty()) setup.extra_modules.push_back(c.module);
        const auto server = ApacheServer::start(setup);
        EXPECT_EQ(server->exit_status(), 2) << c.directives;
        EXPECT_TRUE(server->log().contains(c.message)) << c.directives << server->log().text();
    }
}

}  // namespace
