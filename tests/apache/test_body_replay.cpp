// Form posts that the agent reads while looking for a token reach the
// application unchanged: whole, or in the pieces the application asks for,
// whatever their size, and also when the client gives up half way.
#include "apache_server.h"
#include "http_client.h"
#include "session_helpers.h"
#include "tokens.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

using namespace qvtest;

namespace {

using namespace std::chrono_literals;

// The CGI echo and the reader module behind protected and open paths.
ServerSetup replay_setup() {
    ServerSetup setup;
    setup.agent_directives += "QuorvelSessionAttrFilter .*\n"
                              "QuorvelFilter ^/cgi-bin/env\\.cgi/protected\n"
                              "QuorvelVerboseLevel 3\n";
    setup.extra_modules = {"actions"};
    setup.server_directives = "LoadModule qv_body_reader_module \"" QV_BODY_READER_MODULE "\"\n"
                              "<Location /protected/reader>\n  SetHandler qv-body-reader\n</Location>\n"
                              "<Location /public/reader>\n  SetHandler qv-body-reader\n</Location>\n"
                              // An application reached through an internal redirect.
                              "Action qv-echo /cgi-bin/env.cgi virtual\n"
                              "<Location /protected/action>\n  SetHandler qv-echo\n</Location>\n"
                                                            "Action qv-read /public/reader virtual\n"
                              "<Location /protected/raction>\n  SetHandler qv-read\n</Location>\n";
    return setup;
}

ApacheServer &replay_server() {
    ApacheServer &server = shared_server(replay_setup());
    EXPECT_TRUE(server.serving()) << server.log().text();
    return server;
}

// What the CGI program received as its body.
std::string echoed_body(const HttpResponse &response) {
    const size_t at = response.body.find("\nBODY:");
    return at == std::string::npos ? "<no BODY: line>" : response.body.substr(at + 6);
}

// A form whose every piece differs, so that a lost, repeated or reordered
// piece shows.
std::string numbered_form(size_t size, std::string_view first_field = {}) {
    std::string form(first_field);
    for (size_t i = 0; form.size() < size; ++i) form += (form.empty() ? "" : "&") + ("f" + std::to_string(i)) + "=v";
    form.resize(size);
    return form;
}

std::string token_field() { return std::string(kCookieName) + "="; }

TEST(BodyReplay, PostedLoginFormIsRepeatedAsGetWithTheRenewedCookie) {
    ApacheServer &server = replay_server();
    const std::string token = session_token("jdoe");
    const std::string url = server.url("/cgi-bin/env.cgi/protected?x=1");
    const LogMark mark = server.mark();
    const HttpResponse response = post(url, token_field() + token);
    EXPECT_EQ(response.status, 303) << server.log_since(mark).text();
    EXPECT_EQ(response.header("Location"), url);
    const auto renewed = renewed_token(response);
    ASSERT_TRUE(renewed);
    EXPECT_EQ(payload_value(token_payload(*renewed).value_or(""), "subject"), "jdoe");
    // Nobody asked for the body; the saved copy goes with the request.
    const char *destroyed = "Destroying the saved bucket brigade with data, posted by the client...";
    const ErrorLog log = server.log_once_written(mark, destroyed);
    EXPECT_TRUE(log.has(destroyed)) << log.text();
}

TEST(BodyReplay, TheNextRequestOnTheConnectionIsUntouchedByTheBody) {
    ApacheServer &server = replay_server();
    const std::string token = session_token("jdoe");
    for (const std::string &body : {token_field() + token, numbered_form(300)}) {
        const std::string form = "POST /protected/index.html HTTP/1.1\r\nHost: 127.0.0.1\r\n" + cookie_header(token) +
                                 "\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                                 std::to_string(body.size()) + "\r\n\r\n" + body;
        const std::string next = "GET /public/index.html HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
        const std::string answer = raw_exchange(server.port(), form + next);
        const size_t second = answer.find("HTTP/1.1", 1);
        ASSERT_NE(second, std::string::npos) << answer;
        EXPECT_EQ(answer.substr(0, answer.find("\r\n")), body == numbered_form(300) ? "HTTP/1.1 200 OK"
                                                                                   : "HTTP/1.1 303 See Other");
        EXPECT_EQ(parse_raw_response(answer.substr(second)).status, 200) << answer;
        EXPECT_EQ(parse_raw_response(answer.substr(second)).body, "public\n");
    }
}

TEST(BodyReplay, FormWithoutTokenReachesTheApplicationExactly) {
    ApacheServer &server = replay_server();
    const std::string cookie = cookie_header(session_token("jdoe"));
    const std::string bodies[] = {
        "a=1&b=%41&c=x+y",
        "x",
        numbered_form(4001),
        numbered_form(20000),
        // Starts like a token, but no token is this long: read up to the limit and handed on.
        numbered_form(65536, token_field() + std::string(70000, 'A')),
        numbered_form(100000, token_field()),
        numbered_form(200000),
    };
    for (const std::string &body : bodies) {
        const LogMark mark = server.mark();
        const HttpResponse response = post(server.url("/cgi-bin/env.cgi/protected"), body, {cookie});
        ASSERT_EQ(response.status, 200) << body.size() << server.log_since(mark).text();
        EXPECT_EQ(environment_value(response.body, "QV_AUTH_SUBJECT"), "jdoe");
        const std::string received = echoed_body(response);
        EXPECT_EQ(received.size(), body.size());
        EXPECT_TRUE(received == body) << "body of " << body.size() << " bytes changed";
    }
    // An empty form is fine too.
    const HttpResponse empty = post(server.url("/cgi-bin/env.cgi/protected"), "", {cookie});
    EXPECT_EQ(empty.status, 200);
    EXPECT_EQ(echoed_body(empty), "");
}

TEST(BodyReplay, OnlyFormPostsAreRead) {
    ApacheServer &server = replay_server();
    const std::string token = session_token("jdoe");
    const std::string body = token_field() + token;
    for (const char *type : {"Content-Type: text/plain", "Content-Type: application/x-www-form-urlencoded; charset=UTF-8",
                             "Content-Type: application/json"}) {
        const LogMark mark = server.mark();
        const HttpResponse response = post(server.url("/cgi-bin/env.cgi/protected"), body, {type, cookie_header(token)});
        EXPECT_EQ(response.status, 200) << type;
        EXPECT_EQ(echoed_body(response), body) << type;
        const ErrorLog log = server.log_since(mark);
        EXPECT_FALSE(log.contains("Inserting the input filter")) << type;
        EXPECT_FALSE(log.contains("Reading the request data, posted by the client")) << type;
    }
}

TEST(BodyReplay, ReadersGetTheSavedPieceInTheAmountsTheyAskFor) {
    ApacheServer &server = replay_server();
    const std::string cookie = cookie_header(session_token("jdoe"));
    // Plan of reads -> what each read brought (see modules/body_reader.cpp).
    const struct {
        std::string plan;
        std::string body;
        std::string reads;
    } cases[] = {
        {"", "abcdefghij", "[rest]abcdefghij<EOS>"},
        // Never more than asked for: such readers drop what does not fit.
        {"b3", "abcdefghij", "[b3]abc[rest]defghij<EOS>"},
        {"b3,b3,b3,b3", "abcdefghij", "[b3]abc[b3]def[b3]ghi[b3]j<EOS>[rest]"},
        {"b10", "abcdefghij", "[b10]abcdefghij<EOS>[rest]"},
        // A look ahead leaves the body in place; lines come in order.
        {"s4,l,b2", "ab\ncd\nef", "[s4]ab\nc[l]ab\n[b2]cd[rest]\nef<EOS>"},
        {"l,l,l", "ab\ncd\nef", "[l]ab\n[l]cd\n[l]ef<EOS>[rest]"},
        {"s100", "abc", "[s100]abc<EOS>[rest]abc<EOS>"},
    };
    for (const auto &c : cases) {
        const HttpResponse response = post(server.url("/protected/reader?" + c.plan), c.body, {cookie});
        EXPECT_EQ(response.status, 200) << c.plan;
        EXPECT_EQ(response.body, c.reads) << c.plan;
    }
    // A body larger than the first read: the saved piece, then the rest from the connection.
    const std::string body = numbered_form(30000);
    for (const std::string plan : {"b100", "s50,b7000,l"}) {
        const HttpResponse response = post(server.url("/protected/reader?" + plan), body, {cookie});
        std::string joined;
        for (size_t at = 0; (at = response.body.find('[', at)) != std::string::npos;) {
            const size_t end = response.body.find(']', at);
            const size_t next = response.body.find('[', end);
            if (response.body.compare(at, 2, "[s") != 0)
                joined += response.body.substr(end + 1, next == std::string::npos ? std::string::npos : next - end - 1);
            at = end;
        }
        EXPECT_TRUE(joined == body + "<EOS>") << plan << ": " << response.body.substr(0, 300);
    }
}

TEST(BodyReplay, BodiesOutsideTheProtectedAreaAreNotRead) {
    ApacheServer &server = replay_server();
    const LogMark mark = server.mark();
    const HttpResponse response = post(server.url("/public/reader?b5"), "abcdefghij");
    EXPECT_EQ(response.body, "[b5]abcde[rest]fghij<EOS>");
    const ErrorLog log = server.log_since(mark);
    EXPECT_FALSE(log.contains("Reading the request data, posted by the client")) << log.text();
    EXPECT_TRUE(log.contains("The request data has not been read yet")) << log.text();
}

TEST(BodyReplay, AnApplicationBehindAnInternalRedirectGetsTheWholeBody) {
    ApacheServer &server = replay_server();
    const std::string cookie = cookie_header(session_token("jdoe"));
    for (const std::string &body : {std::string("a=1&b=2"), numbered_form(9000)}) {
        // The CGI program's path is protected too: the agent reads the body once per request.
        const HttpResponse echoed = post(server.url("/protected/action"), body, {cookie});
        EXPECT_EQ(echoed.status, 200);
        EXPECT_TRUE(echoed_body(echoed) == body) << body.size() << ": " << echoed.body.substr(0, 300);
        // Here only the first request is protected.
        const HttpResponse read = post(server.url("/protected/raction?b3"), body, {cookie});
        EXPECT_TRUE(read.body == "[b3]" + body.substr(0, 3) + "[rest]" + body.substr(3) + "<EOS>")
            << read.body.substr(0, 300);
    }
}

TEST(BodyReplay, ATruncatedBodyGivesTheApplicationWhatArrivedAndNeverHangs) {
    ApacheServer &server = replay_server();
    const std::string token = session_token("jdoe");
    const auto truncated = [&](const std::string &path, const std::string &sent) {
        const std::string request = "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + cookie_header(token) +
                                    "\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                                    std::to_string(sent.size() + 1000) + "\r\n\r\n" + sent;
        // The client stops sending: the server must answer and close long before this timeout.
        const std::string answer = raw_exchange(server.port(), request, 20s, true);
        EXPECT_FALSE(answer.empty()) << path << " never answered";
        return parse_raw_response(answer);
    };
    // The reader gets everything that arrived, then a failed read; Apache may
    // answer with its own error page instead, so the reader's log lines tell.
    for (const std::string &sent : {std::string("a=1&b=2&c=3"), numbered_form(9000)}) {
        const LogMark mark = server.mark();
        truncated("/protected/reader", sent);
        const ErrorLog log = server.log_since(mark);
        const std::string shown = "qv-body-reader: [rest]" + sent.substr(0, 200);
        EXPECT_TRUE(log.contains(shown)) << log.text();
        EXPECT_TRUE(log.has("qv-body-reader: " + std::to_string(sent.size()) + " bytes")) << log.text();
    }
    // The CGI program is started and fed; Apache then reports the broken request.
    const HttpResponse cgi = truncated("/cgi-bin/env.cgi/protected", "a=1&b=2");
    EXPECT_GE(cgi.status, 400);
    // A token cut short is no token.
    const HttpResponse cut = truncated("/cgi-bin/env.cgi/protected", token_field() + token.substr(0, 20));
    EXPECT_NE(cut.status, 200);
    EXPECT_NE(cut.status, 303);
    // The workers are free for the next request.
    EXPECT_EQ(get(server.url("/public/index.html")).status, 200);
}

}  // namespace
