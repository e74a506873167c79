// The agent in the deployments operators run: Apache as a reverse proxy in
// front of an application server (mod_proxy loaded before the agent, as
// Debian's alphabetical load order has it), a shared cache in front of the
// protected area, Apache's own Require rules beside the agent, and the
// internal redirects and look-ups that lead into protected URLs.
#include "apache_server.h"
#include "backend.h"
#include "http_client.h"
#include "session_helpers.h"
#include "tokens.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace qvtest;

namespace {

// One request on its own connection, the path exactly as written.
HttpResponse raw_get(const ApacheServer &server, const std::string &path, const std::vector<std::string> &headers = {}) {
    std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
    for (const std::string &header : headers) request += header + "\r\n";
    return parse_raw_response(raw_exchange(server.port(), request + "\r\n"));
}

bool is_login_redirect(const HttpResponse &response) {
    return response.status == 302 && response.header("Location").value_or("").rfind(kLoginPageUrl, 0) == 0;
}

ServerSetup proxy_setup(const Backend &backend, bool agent_first) {
    ServerSetup setup;
    setup.extra_modules = {"proxy", "proxy_http"};
    setup.agent_module_first = agent_first;
    setup.agent_directives += "QuorvelFilter ^/app/\nQuorvelSessionAttrFilter .*\n";
    setup.server_directives = "ProxyPass /app/ " + backend.url("/") + "\n";
    return setup;
}

// Back-ends that refuse header names with '_' get the attributes under '-'
// names with QuorvelAttributeHeaderStyle dash; environment variables keep '_',
// and a client's headers of either spelling are still removed.
TEST(ProxiedApplication, DashedAttributeHeadersReachABackendThatRefusesUnderscores) {
    Backend backend({true, {}});
    ServerSetup setup = proxy_setup(backend, false);
    const auto ask = [&](ApacheServer &server) {
        return get(server.url("/app/page"),
                   {cookie_header(session_token("jdoe", "mail=jdoe@example.test\n")), "QV-AUTH-ROLE: admin"});
    };
    // The default names never get through.
    EXPECT_EQ(ask(shared_server(setup)).status, 400);

    setup.agent_directives += "QuorvelAttributeHeaderStyle dash\n";
    setup.server_directives += "Header always set X-Env-Mail \"expr=%{reqenv:QV_AUTH_MAIL}\"\n";
    ApacheServer &server = shared_server(setup);
    ASSERT_TRUE(server.serving()) << server.log().text();
    const HttpResponse granted = ask(server);
    ASSERT_EQ(granted.status, 200) << granted.body;
    EXPECT_EQ(backend_header(granted.body, "QV-AUTH-SUBJECT"), "jdoe");
    EXPECT_EQ(backend_header(granted.body, "QV-AUTH-MAIL"), "jdoe@example.test");
    EXPECT_EQ(granted.body.find("admin"), std::string::npos) << granted.body;
    EXPECT_EQ(granted.header("X-Env-Mail"), "jdoe@example.test");
}

TEST(ProxiedApplication, NothingReachesTheBackendWithoutASession) {
    Backend backend;
    for (const bool agent_first : {false, true}) {
        SCOPED_TRACE(agent_first ? "agent loaded first" : "agent loaded after mod_proxy");
        ApacheServer &server = shared_server(proxy_setup(backend, agent_first));
        ASSERT_TRUE(server.serving()) << server.log().text();

        const int before = backend.requests();
        for (const char *path : {"/app/anything", "/app/", "/app/x?y=1"})
            EXPECT_TRUE(is_login_redirect(get(server.url(path)))) << path;
        // A token that does not decode, and one of the unkeyed suite, fare no better.
        std::string damaged = session_token("jdoe");
        damaged[damaged.size() / 2] = damaged[damaged.size() / 2] == 'A' ? 'B' : 'A';
        EXPECT_EQ(get(server.url("/app/x"), {cookie_header(damaged)}).status, 500);
        EXPECT_EQ(get(server.url("/app/x"), {cookie_header(make_token(session_payload("admin"), 0))}).status, 500);
        EXPECT_EQ(backend.requests(), before);

        const HttpResponse granted =
            get(server.url("/app/page?q=1"), {cookie_header(session_token("jdoe", "role=reader\n")),
                                              "QV_AUTH_SUBJECT: evil", "Qv-Auth-Role: admin", "QV-AUTH-EXTRA: x"});
        ASSERT_EQ(granted.status, 200) << granted.body;
        EXPECT_EQ(backend_request_line(granted.body), "GET /page?q=1 HTTP/1.1");
        // The backend sees the agent's headers, none of the client's.
        EXPECT_EQ(backend_header(granted.body, "QV_AUTH_SUBJECT"), "jdoe");
        EXPECT_EQ(backend_header(granted.body, "QV_AUTH_ROLE"), "reader");
        for (const std::string &name : backend_header_names(granted.body)) {
            EXPECT_NE(name, "Qv-Auth-Role");
            EXPECT_NE(name, "QV-AUTH-EXTRA");
        }
        EXPECT_EQ(granted.body.find("evil"), std::string::npos);
        EXPECT_EQ(granted.body.find("admin"), std::string::npos);
        EXPECT_TRUE(renewed_token(granted));
        EXPECT_EQ(backend.requests(), before + 1);
    }
}

TEST(ProxiedApplication, EveryPathAnApplicationServerReadsIsProtected) {
    Backend backend;
    ServerSetup setup;
    setup.extra_modules = {"proxy", "proxy_http"};
    setup.agent_directives += "QuorvelFilter ^/app/\nQuorvelFilter \\.cgi$\n";
    // The whole site proxied, encoded slashes passed on as they came.
    setup.server_directives = "AllowEncodedSlashes NoDecode\nProxyPass / " + backend.url("/") + " nocanon\n";
    ApacheServer &server = shared_server(setup);
    ASSERT_TRUE(server.serving()) << server.log().text();

    const int before = backend.requests();
    for (const char *path : {"/app/x", "/app;jsessionid=1/x", "/app%2Fx", "/app%2fx", "/pub/..;/app/x",
                             "/pub/..%2Fapp/x", "/app;a=1/..;b=2/app/x", "/report.cgi", "/report.cgi?a=1",
                             "/report.cgi;v=1?a=1"}) {
        EXPECT_TRUE(is_login_redirect(raw_get(server, path))) << path;
    }
    EXPECT_EQ(backend.requests(), before);
    // What no application reads as protected still goes through.
    for (const char *path : {"/pub/x", "/apps/x", "/report.cgi.txt", "/public?app/"}) {
        const HttpResponse open = raw_get(server, path);
        EXPECT_EQ(open.status, 200) << path;
        EXPECT_TRUE(backend_request_line(open.body)) << path;
    }
}

TEST(SharedCache, AnonymousRequestsNeverGetASignedInUsersCopy) {
    // The application says its pages may be cached for ten minutes.
    Backend backend({false, {"Cache-Control: public, max-age=600"}});
    ServerSetup setup;
    setup.extra_modules = {"proxy", "proxy_http", "cache", "cache_disk"};
    setup.agent_directives += "QuorvelFilter ^/app/\n";
    setup.writable_folders = {"cache"};
    setup.server_directives = "CacheRoot {root}/cache\nCacheEnable disk /\nCacheHeader on\n"
                              "ProxyPass /app/ " + backend.url("/") + "\nProxyPass /open/ " + backend.url("/") + "\n";
    ApacheServer &server = shared_server(setup);
    ASSERT_TRUE(server.serving()) << server.log().text();

    // The cache works: an unprotected page is served from it the second time.
    EXPECT_EQ(get(server.url("/open/page")).status, 200);
    const HttpResponse cached = get(server.url("/open/page"));
    EXPECT_EQ(cached.status, 200);
    EXPECT_EQ(cached.header("X-Cache").value_or("").rfind("HIT", 0), 0u) << cached.header("X-Cache").value_or("");

    for (int i = 0; i < 2; ++i) {
        const HttpResponse signed_in = get(server.url("/app/page"), {cookie_header(session_token("jdoe"))});
        EXPECT_EQ(signed_in.status, 200);
        EXPECT_NE(signed_in.header("Cache-Control").value_or("").find("private"), std::string::npos);
        EXPECT_EQ(signed_in.header("X-Cache").value_or("").rfind("HIT", 0), std::string::npos);
    }
    const HttpResponse anonymous = get(server.url("/app/page"));
    EXPECT_TRUE(is_login_redirect(anonymous)) << anonymous.status << "\n" << anonymous.body;
    EXPECT_FALSE(backend_request_line(anonymous.body));
    const HttpResponse again = get(server.url("/app/page"));
    EXPECT_TRUE(is_login_redirect(again));
}

TEST(RequireRules, ApacheDecidesAfterTheAgentAndNeverOverridesIt) {
    ServerSetup setup;
    setup.extra_modules = {"authz_user", "authz_host"};
    setup.agent_directives += "QuorvelSessionAttrFilter .*\n";
    for (const char *folder : {"user", "ip", "denied", "expr", "remote"})
        setup.files["htdocs/protected/" + std::string(folder) + "/index.html"] = std::string(folder) + "\n";
    setup.server_directives = "<Location /protected/user/>\n  Require user jdoe\n</Location>\n"
                              "<Location /protected/ip/>\n  Require ip 10.9.8.7\n</Location>\n"
                              "<Location /protected/denied/>\n  Require all denied\n</Location>\n"
                              "<Location /protected/expr/>\n  Require expr \"%{HTTP:QV_AUTH_GROUP} == 'staff'\"\n"
                              "</Location>\n"
                              "<Location /protected/remote/>\n  Require expr \"%{REMOTE_USER} == 'jdoe'\"\n</Location>\n";
    ApacheServer &server = shared_server(setup);
    ASSERT_TRUE(server.serving()) << server.log().text();
    const std::string jdoe = cookie_header(session_token("jdoe", "group=staff\n"));
    const std::string bob = cookie_header(session_token("bob", "group=guest\n"));
    const std::string spoofed = "QV_AUTH_GROUP: staff";
    const struct {
        const char *path;
        std::vector<std::string> headers;
        long status;
    } cases[] = {
        {"/protected/user/", {}, 302},
        {"/protected/user/", {jdoe}, 200},
        {"/protected/user/", {bob}, 403},
        {"/protected/ip/", {jdoe}, 403},
        {"/protected/denied/", {jdoe}, 403},
        // Without a session the login page comes first.
        {"/protected/denied/", {}, 302},
        {"/protected/expr/", {jdoe}, 200},
        {"/protected/expr/", {bob}, 403},
        {"/protected/expr/", {bob, spoofed}, 403},
        {"/protected/expr/", {spoofed}, 302},
        {"/protected/remote/", {jdoe}, 200},
        // Apache answers a false expression on REMOTE_USER with 401 whoever authenticated.
        {"/protected/remote/", {bob}, 401},
    };
    for (const auto &c : cases) {
        const HttpResponse response = get(server.url(c.path), c.headers);
        EXPECT_EQ(response.status, c.status) << c.path << " " << testing::PrintToString(c.headers);
    }
    // The user Apache's rules saw is the one the access log names.
    const LogMark mark = server.mark();
    EXPECT_EQ(get(server.url("/protected/user/"), {jdoe}).status, 200);
    EXPECT_TRUE(server.access_log_line(mark, "user=jdoe")) << testing::PrintToString(server.access_log_since(mark));
}

TEST(InternalRedirects, EveryWayIntoAProtectedUrlIsDecided) {
    ServerSetup setup;
    setup.extra_modules = {"actions", "alias"};
    setup.agent_directives += "QuorvelSessionAttrFilter .*\n";
    setup.files["htdocs/protected/secret.html"] = "secret page\n";
    setup.files["htdocs/protected/not-found.html"] = "secret 404 page\n";
    setup.files["htdocs/dirindex/readme.txt"] = "open\n";
    setup.files["htdocs/public/act/file.txt"] = "raw file\n";
    setup.files["htdocs/protected/act/file.txt"] = "raw file\n";
    setup.server_directives =
        "ErrorDocument 404 /protected/not-found.html\n"
        "<Directory \"{root}/htdocs/dirindex\">\n  DirectoryIndex /protected/secret.html\n</Directory>\n"
        // A protected address of the environment-printing program.
        "Alias /protected/show.cgi {root}/htdocs/cgi-bin/env.cgi\n"
        "Action qv-show /protected/show.cgi virtual\n"
        "<Directory \"{root}/htdocs/public/act\">\n  SetHandler qv-show\n</Directory>\n"
        "<Directory \"{root}/htdocs/protected/act\">\n  SetHandler qv-show\n</Directory>\n";
    ApacheServer &server = shared_server(setup);
    ASSERT_TRUE(server.serving()) << server.log().text();
    const std::string session = cookie_header(session_token("jdoe"));

    // Without a session, none of them shows what the protected URL holds.
    for (const char *path : {"/public/missing.html", "/dirindex/", "/public/act/file.txt", "/protected/act/file.txt"}) {
        const HttpResponse response = get(server.url(path));
        EXPECT_NE(response.status, 200) << path;
        EXPECT_EQ(response.body.find("secret page"), std::string::npos) << path << "\n" << response.body;
        EXPECT_EQ(response.body.find("secret 404 page"), std::string::npos) << path;
        EXPECT_EQ(response.body.find("QV_AUTH_"), std::string::npos) << path;
    }

    // With one, each shows it, with the session's attributes.
    const HttpResponse missing = get(server.url("/public/missing.html"), {session});
    EXPECT_EQ(missing.status, 404);
    EXPECT_EQ(missing.body, "secret 404 page\n");
    const HttpResponse index = get(server.url("/dirindex/"), {session});
    EXPECT_EQ(index.status, 200);
    EXPECT_EQ(index.body, "secret page\n");
    for (const char *path : {"/public/act/file.txt", "/protected/act/file.txt"}) {
        const HttpResponse shown = get(server.url(path), {session});
        EXPECT_EQ(shown.status, 200) << path << "\n" << shown.body;
        EXPECT_EQ(environment_value(shown.body, "QV_AUTH_SUBJECT"), "jdoe") << path;
        EXPECT_EQ(environment_value(shown.body, "REMOTE_USER"), "jdoe") << path;
        // One decision per request the browser made: one renewed cookie.
        EXPECT_EQ(shown.all_headers("Set-Cookie").size(), 1u) << path;
    }
}

TEST(ForgedTokens, AnUnkeyedTokenIsRefusedBeforeDecodingAndNamesNoUser) {
    ServerSetup setup;
    setup.agent_directives += "QuorvelNubrelLibVerboseLevel 2\nQuorvelVerboseLevel 3\n";
    ApacheServer &server = shared_server(setup);
    ASSERT_TRUE(server.serving()) << server.log().text();
    // Anyone can make a null-suite token: a kilobyte that inflates to a megabyte.
    const std::string forged = make_token(session_payload("admin", std::string(1000000, 'a') + "\n"), 0);
    ASSERT_LT(forged.size(), 4096u);
    const LogMark mark = server.mark();
    const HttpResponse response = get(server.url("/protected/index.html"), {cookie_header(forged)});
    EXPECT_EQ(response.status, 500);
    const ErrorLog log = server.log_since(mark);
    EXPECT_TRUE(log.has("Token's cipher suite 0 does not match a configured suite ID 2 - invalidating session..."))
        << log.text();
    EXPECT_TRUE(log.has("The token has been refused without decoding it"));
    EXPECT_FALSE(log.contains("Decoding the token")) << log.text();
    const auto line = server.access_log_line(mark, "/protected/index.html");
    ASSERT_TRUE(line);
    EXPECT_NE(line->find("user=-"), std::string::npos) << *line;
}

}  // namespace
