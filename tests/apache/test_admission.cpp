// Which requests the agent takes part in: virtual hosts switched off by
// pattern, and request lines that are no HTTP at all.
#include "apache_server.h"
#include "http_client.h"
#include "session_helpers.h"

#include <gtest/gtest.h>

#include <string>

using namespace qvtest;

namespace {

std::string virtual_host(const std::string &name) {
    return "<VirtualHost 127.0.0.1>\n  ServerName " + name + "\n</VirtualHost>\n";
}

TEST(Admission, VirtualHostDisabledByPatternIsLeftAlone) {
    ServerSetup setup;
    setup.agent_directives += "QuorvelDisableAgentForVirtualHost ^unused\\.,^off\\.\nQuorvelVerboseLevel 3\n"
                              "QuorvelSessionAttrFilter .*\n";
    setup.server_directives = virtual_host("on.test") + virtual_host("off.test") +
                              "Header always set X-Echo \"expr=%{req_novary:QV-AUTH-X}\"\n";
    ApacheServer &server = shared_server(setup);
    ASSERT_TRUE(server.serving()) << server.log().text();

    const LogMark mark = server.mark();
    const HttpResponse off = get(server.url("/protected/index.html"), {"Host: off.test", "QV-AUTH-X: client"});
    EXPECT_EQ(off.status, 200);
    EXPECT_EQ(off.body, "protected\n");
    // The agent does nothing there, not even the header clean-up.
    EXPECT_EQ(off.header("X-Echo"), "client");
    EXPECT_TRUE(off.all_headers("Set-Cookie").empty());
    const ErrorLog log = server.log_since(mark);
    EXPECT_TRUE(log.has("The Apache Agent is disabled for the virtual host \"off.test\"")) << log.text();
    EXPECT_TRUE(log.has("Omitting the Apache Agent's request handler..."));

    const HttpResponse on = get(server.url("/protected/index.html"), {"Host: on.test", "QV-AUTH-X: client"});
    EXPECT_EQ(on.status, 302);
    EXPECT_EQ(on.header("X-Echo").value_or(""), "");
    EXPECT_EQ(get(server.url("/protected/index.html"), {"Host: on.test", cookie_header(session_token("jdoe"))}).status,
              200);
}

TEST(Admission, TlsHandshakeOnThePlainPortIsNeverServed) {
    ApacheServer &server = shared_server(ServerSetup{});
    ASSERT_TRUE(server.serving()) << server.log().text();
    // The start of a TLS ClientHello: handshake record, version 3.1.
    const char bytes[] = "\x16\x03\x01\x00\xa5\x01\x00\x00\xa1\x03\x03 /protected/ HTTP/1.1\r\n\r\n";
    const std::string hello(bytes, sizeof bytes - 1);
    const HttpResponse response = parse_raw_response(raw_exchange(server.port(), hello));
    EXPECT_FALSE(response.status >= 200 && response.status < 400) << response.status;
    // A request line whose method carries a control byte fares no better.
    const HttpResponse odd =
        parse_raw_response(raw_exchange(server.port(), std::string("G\x03T /protected/ HTTP/1.0\r\n\r\n")));
    EXPECT_FALSE(odd.status >= 200 && odd.status < 400) << odd.status;
}

}  // namespace

// Patterns see the path as Apache resolves it, so another spelling of a
// protected path reaches the same file only with a session.
TEST(Admission, EverySpellingOfAProtectedPathIsProtected) {
    ApacheServer &server = shared_server(ServerSetup{});
    ASSERT_TRUE(server.serving()) << server.log().text();
    for (const char *path : {"/protected/index.html", "/%70rotected/index.html", "//protected/index.html",
                             "/./protected/index.html", "/public/../protected/index.html",
                             "/protected/index.html?x=1"}) {
        const std::string request = std::string("GET ") + path +
                                    " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
        const HttpResponse response = parse_raw_response(raw_exchange(server.port(), request));
        EXPECT_EQ(response.status, 302) << path;
        EXPECT_EQ(response.header("Location").value_or("").rfind(kLoginPageUrl, 0), 0u) << path;
    }
    // The query string is still part of what patterns see.
    const HttpResponse open = get(server.url("/public/index.html?protected"));
    EXPECT_EQ(open.status, 200);
}
