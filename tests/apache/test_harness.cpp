// The test harness itself: what later tests rely on when they look at what
// the application received.
#include "apache_server.h"
#include "http_client.h"
#include "tokens.h"

#include <gtest/gtest.h>

using namespace qvtest;

namespace {

ApacheServer &echo_server() {
    ServerSetup setup;
    setup.server_directives = "Header always set X-Echo-Probe \"expr=%{req_novary:X-Probe}\"\n";
    return shared_server(setup);
}

TEST(Harness, ProgramSeesEnvironmentHeadersAndBody) {
    ApacheServer &server = echo_server();
    ASSERT_TRUE(server.serving()) << server.log().text();

    const HttpResponse got = get(server.url("/cgi-bin/env.cgi?x=1"), {"X-Probe: yes"});
    ASSERT_EQ(got.status, 200) << got.error << got.body << server.log().text();
    EXPECT_NE(got.body.find("\nHTTP_X_PROBE=yes\n"), std::string::npos) << got.body;
    EXPECT_NE(got.body.find("\nQUERY_STRING=x=1\n"), std::string::npos) << got.body;
    EXPECT_EQ(got.header("X-Echo-Probe"), "yes");

    const HttpResponse posted = post(server.url("/cgi-bin/env.cgi"), "a=1&b=%41");
    ASSERT_EQ(posted.status, 200) << posted.error;
    EXPECT_NE(posted.body.find("\nCONTENT_TYPE=application/x-www-form-urlencoded\n"), std::string::npos);
    EXPECT_EQ(posted.body.substr(posted.body.rfind("BODY:")), "BODY:a=1&b=%41");
}

TEST(Harness, RawRequestsAndTheAccessLog) {
    ApacheServer &server = echo_server();
    ASSERT_TRUE(server.serving());
    const LogMark mark = server.mark();
    const HttpResponse response =
        parse_raw_response(raw_exchange(server.port(), "GET /index.html?raw HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n"));
    EXPECT_EQ(response.status, 200) << response.error;
    EXPECT_EQ(response.body, "index\n");
    EXPECT_EQ(server.access_log_line(mark, "?raw"), "127.0.0.1 \"GET /index.html?raw HTTP/1.0\" 200 user=-");
}

TEST(Harness, TokensRoundTripThroughTheLibrary) {
    const std::string payload = "subject=alice\nmail=alice@example.test\n";
    for (const int suite : {0, 1, 2, 3}) {
        const std::string token = make_token(payload, suite);
        EXPECT_EQ(token_payload(token), payload) << "suite " << suite;
        if (suite != 0) {
            EXPECT_EQ(token_payload(token, "another password"), std::nullopt) << "suite " << suite;
        }
    }
}

}  // namespace
