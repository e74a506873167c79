// Whatever a client sends, the agent answers without crashing and grants
// nothing it should not: one table of hostile requests against one server,
// each with the status it must get and whether the application may see a
// session. The application is the CGI echo; attribute headers that reach it
// are echoed back as response headers too.
#include "apache_server.h"
#include "http_client.h"
#include "session_helpers.h"
#include "token_builder.h"
#include "tokens.h"

#include <nubrel.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <set>
#include <sstream>
#include <string>
#include <vector>

using namespace qvtest;

namespace {

using namespace std::chrono_literals;

const std::string kApp = "/cgi-bin/env.cgi/protected";
const std::string kOpenApp = "/cgi-bin/env.cgi/open";

// Request headers as they finally stood, echoed into the response.
const std::vector<std::string> kEchoed = {"QV_AUTH_SUBJECT", "QV-AUTH-SUBJECT", "QV_AUTH_ROLE"};

ServerSetup hostile_setup() {
    ServerSetup setup;
    setup.agent_directives += "QuorvelSessionAttrFilter .*\n"
                              "QuorvelFilter ^/cgi-bin/env\\.cgi/protected\n";
    for (const std::string &header : kEchoed)
        setup.server_directives += "Header always set X-Echo-" + header + " \"expr=%{req_novary:" + header + "}\"\n";
    return setup;
}

std::string token_name() { return std::string(kCookieName) + "="; }

// The bytes of a token's structure.
std::string structure_of(const std::string &token) {
    unsigned char *bytes = nullptr;
    int32_t length = 0;
    if (base64_url_safe_modified_decode(token.c_str(), static_cast<int32_t>(token.size()), &bytes, &length) != 0)
        return {};
    std::string result(reinterpret_cast<char *>(bytes), static_cast<size_t>(length));
    nubrel_free(bytes);
    return result;
}

// Suite 2 structures keyed like the agent's own tokens.
std::string suite2_key() { return tokens::password_key(kAgentPassword, 2); }

tokens::Structure suite2_structure(const std::string &payload, const std::string &compressed) {
    tokens::Structure s;
    s.suite = 2;
    s.iv.assign(16, 'i');
    s.payload = tokens::encrypt(2, suite2_key(), s.iv, compressed);
    s.mac = tokens::hmac_digest(suite2_key(), 1, 2, s.iv, payload);
    return s;
}

// Every way the decoder refuses a structure, each a cookie of its own.
std::vector<std::pair<std::string, std::string>> malformed_tokens() {
    const std::string payload = session_payload("mallory");
    const std::string compressed = tokens::zlib_compress(payload);
    std::vector<std::pair<std::string, std::string>> cases;
    auto add = [&](const std::string &name, const tokens::Structure &s) { cases.emplace_back(name, tokens::to_text(s)); };
    {
        auto s = suite2_structure(payload, compressed);
        s.version = 2;
        add("version 2", s);
    }
    {
        auto s = suite2_structure(payload, compressed);
        s.suite = 7;
        add("unknown suite", s);
    }
    {
        auto s = suite2_structure(payload, compressed);
        s.iv.resize(8);
        add("IV length 8 under suite 2", s);
    }
    {
        auto s = suite2_structure(payload, compressed);
        s.keyinfo = "key-id";
        add("KeyInfo present", s);
    }
    {
        auto s = suite2_structure(payload, compressed);
        s.length_field = static_cast<uint16_t>(s.payload.size() + 1);
        add("length beyond the data", s);
        s.length_field = 0xffff;
        add("length 65535 over a short payload", s);
    }
    {
        auto s = suite2_structure(payload, compressed);
        s.payload.resize(s.payload.size() - 1);
        add("length off the AES block", s);
        s.suite = 3;
        s.iv.resize(8);
        s.payload.resize(12);
        add("length off the DES block", s);
    }
    {
        // The last block decrypts to bytes that are no padding.
        auto s = suite2_structure(payload, compressed);
        const std::string plain = std::string(31, 'x') + '\x20';
        s.payload = tokens::encrypt(2, suite2_key(), s.iv, plain).substr(0, 32);
        add("bad padding", s);
    }
    {
        const std::string not_zlib = "this is not a zlib stream at all";
        auto s = suite2_structure(payload, compressed);
        s.payload = tokens::encrypt(2, suite2_key(), s.iv, not_zlib);
        add("not a zlib stream", s);
        s.payload = tokens::encrypt(2, suite2_key(), s.iv, compressed.substr(0, compressed.size() - 6));
        add("zlib stream cut short", s);
    }
    {
        auto s = suite2_structure(payload, compressed);
        s.mac[19] ^= 0x01;
        add("digest of another payload", s);
    }
    {
        // Long enough to look like a token, too short for the fixed fields.
        auto bytes = tokens::assemble(suite2_structure(payload, compressed));
        cases.emplace_back("structure of 28 bytes", tokens::to_text(bytes.substr(0, 28)));
        cases.emplace_back("structure ending in the IV", tokens::to_text(bytes.substr(0, 36)));
    }
    return cases;
}

// A token whose payload inflates far beyond any session.
std::string decompression_bomb() {
    return tokens::make_token(kAgentPassword, 2, session_payload("mallory", "x=" + std::string(4u << 20, 'A') + "\n"));
}

// The environment lines of the application whose names carry the attribute prefix.
std::vector<std::string> prefixed_variables(const std::string &body) {
    std::vector<std::string> found;
    std::istringstream lines(body);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("BODY:", 0) == 0) break;
        if (line.rfind("QV_AUTH_", 0) == 0 || line.rfind("HTTP_QV_AUTH_", 0) == 0) found.push_back(line);
    }
    return found;
}

std::string raw_request(const std::string &method, const std::string &target, const std::vector<std::string> &headers,
                        const std::string &body = {}) {
    std::string request = method + " " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
    for (const std::string &header : headers) request += header + "\r\n";
    return request + "\r\n" + body;
}

// The first bytes of a TLS 1.2 ClientHello.
std::string tls_client_hello() {
    const unsigned char hello[] = {0x16, 0x03, 0x01, 0x00, 0x31, 0x01, 0x00, 0x00, 0x2d, 0x03, 0x03, 0x5b, 0x90,
                                   0x9d, 0x9b, 0x72, 0x0b, 0xbc, 0x0c, 0xbc, 0x2b, 0x92, 0xa8, 0x48, 0x97, 0xcf,
                                   0xbd, 0x39, 0x04, 0xcc, 0x16, 0x0a, 0x85, 0x03, 0x90, 0x9f, 0x77, 0x04, 0x33,
                                   0xd4, 0xde, 0x00, 0x00, 0x04, 0x00, 0x2f, 0x00, 0xff, 0x01, 0x00, 0x00, 0x00};
    return std::string(reinterpret_cast<const char *>(hello), sizeof hello);
}

struct Row {
    std::string name;
    HttpRequest request;             // sent with libcurl unless raw is set
    std::string raw;                 // bytes written to the socket as they are
    bool close_sending = false;      // the raw client stops sending after its bytes
    std::set<long> statuses;         // any of these is right
    std::string user;                // the subject the application sees; empty: no session at all
    std::string renewed;             // the subject of the cookie sent back; empty: none
};

HttpResponse exchange(ApacheServer &server, const Row &row) {
    if (row.raw.empty()) return send(row.request);
    return parse_raw_response(raw_exchange(server.port(), row.raw, 20s, row.close_sending));
}

TEST(HostileTraffic, EveryRequestGetsItsAnswerAndNoUnearnedSession) {
    ApacheServer &server = shared_server(hostile_setup());
    ASSERT_TRUE(server.serving()) << server.log().text();
    const std::string app = server.url(kApp);
    const std::string good = session_token("jdoe");
    const std::string other = session_token("mallory");

    auto get_row = [&](std::string name, std::vector<std::string> headers, std::set<long> statuses,
                       std::string user = {}, std::string url = {}) {
        Row row;
        row.name = std::move(name);
        row.request.url = url.empty() ? app : url;
        row.request.headers = std::move(headers);
        row.statuses = std::move(statuses);
        row.user = std::move(user);
        row.renewed = row.user;
        return row;
    };
    // A session found in a form is sent back as the cookie and the browser told to repeat with GET.
    auto post_row = [&](std::string name, std::string body, std::set<long> statuses, std::string renewed = {}) {
        Row row;
        row.name = std::move(name);
        row.request.method = "POST";
        row.request.url = app;
        row.request.headers = {"Content-Type: application/x-www-form-urlencoded"};
        row.request.body = std::move(body);
        row.statuses = std::move(statuses);
        row.renewed = std::move(renewed);
        return row;
    };
    auto raw_row = [&](std::string name, std::string bytes, std::set<long> statuses, bool close_sending = false) {
        Row row;
        row.name = std::move(name);
        row.raw = std::move(bytes);
        row.close_sending = close_sending;
        row.statuses = std::move(statuses);
        return row;
    };
    // 302: to the login page; 500: the agent's error page; 400/414: Apache's own limits.
    std::vector<Row> rows;

    // Many cookies, and the token's name where it is no token.
    std::string many;
    for (int i = 0; i < 99; ++i) many += "c" + std::to_string(i) + "=" + std::string(20, 'v') + "; ";
    rows.push_back(get_row("100 cookies, the session last", {"Cookie: " + many + token_name() + good}, {200}, "jdoe"));
    rows.push_back(get_row("100 cookies, no session", {"Cookie: " + many + "c99=x"}, {302}));
    {
        // Apache joins the headers with ", " and refuses more than 100 header lines itself.
        std::vector<std::string> headers;
        for (int i = 0; i < 89; ++i) headers.push_back("Cookie: c" + std::to_string(i) + "=v");
        headers.push_back(cookie_header(good));
        rows.push_back(get_row("90 Cookie headers, the session last", headers, {200}, "jdoe"));
        for (int i = 89; i < 99; ++i) headers.insert(headers.begin(), "Cookie: c" + std::to_string(i) + "=v");
        rows.push_back(get_row("100 Cookie headers", headers, {400}));
    }
    rows.push_back(get_row("name as a longer cookie's name", {"Cookie: " + std::string(kCookieName) + "x=junk; " + token_name() + good},
                           {200}, "jdoe"));
    rows.push_back(get_row("name as a cookie's value", {"Cookie: other=" + std::string(kCookieName) + "; " + token_name() + good},
                           {200}, "jdoe"));
    // The cookie is found by its whole name at the start of a pair: another
    // cookie that only ends with the name, or holds it in its value, is not
    // taken, neither to end the search nor as someone else's session.
    rows.push_back(get_row("name ending another cookie's name", {"Cookie: x" + token_name() + "junk; " + token_name() + good},
                           {200}, "jdoe"));
    rows.push_back(get_row("another user's token under a longer name", {"Cookie: x" + token_name() + other}, {302}));
    rows.push_back(get_row("assignment inside a value", {"Cookie: other=" + token_name() + "junk"}, {302}));
    rows.push_back(get_row("another user's token inside a value", {"Cookie: other=" + token_name() + other}, {302}));
    rows.push_back(get_row("another user's token inside a value, then the session",
                           {"Cookie: other=" + token_name() + other + "; " + token_name() + good}, {200}, "jdoe"));
    rows.push_back(get_row("another user's token under a longer query name", {}, {302}, {},
                           app + "?x" + token_name() + other));
    rows.push_back(get_row("empty value, then the session", {"Cookie: " + token_name() + ";", cookie_header(good)}, {200}, "jdoe"));

    // Sizes.
    rows.push_back(get_row("8 KB of token characters", {cookie_header("TkJS" + std::string(8188, 'A'))}, {400}));
    rows.push_back(get_row("7 KB token", {cookie_header("TkJS" + std::string(7000, 'A'))}, {500}));
    rows.push_back(get_row("64 KB token", {cookie_header("TkJS" + std::string(65532, '_'))}, {400}));
    rows.push_back(get_row("64 KB token in the query", {}, {414}, {}, app + "?" + token_name() + "TkJS" + std::string(65532, 'A')));
    {
        // A genuine session of 64 KB, stored uncompressed, in a posted form.
        const std::string payload = session_payload("jdoe", "big=" + std::string(47000, 'b') + "\n");
        const std::string token = tokens::make_token(kAgentPassword, 2, payload, 0);
        EXPECT_GT(token.size(), 62000u);
        rows.push_back(post_row("64 KB session in a form", token_name() + token, {303}, "jdoe"));
    }

    // Base64 and structure.
    rows.push_back(get_row("padding inside the text", {cookie_header("TkJSAQ*A" + std::string(40, 'A'))}, {500}));
    rows.push_back(get_row("characters outside the alphabet", {cookie_header("TkJS+/==" + std::string(40, 'A'))}, {302}));
    rows.push_back(get_row("text not a multiple of 4", {cookie_header(good + "A")}, {302}));
    rows.push_back(get_row("text too short", {cookie_header(good.substr(0, 36))}, {302}));
    for (const auto &[name, token] : malformed_tokens()) rows.push_back(get_row("malformed: " + name, {cookie_header(token)}, {500}));
    {
        tokens::Structure s;
        const std::string payload = session_payload("mallory");
        s.payload = tokens::zlib_compress(payload);
        s.mac = tokens::sha1_digest(1, 0, payload);
        rows.push_back(get_row("forged null-suite session", {cookie_header(tokens::to_text(s))}, {500}));
    }
    rows.push_back(get_row("empty payload, null suite", {cookie_header("TkJSAQAONWulBWMfv3FXWL7SfVA_iyYOOgAAAAA*")}, {500}));
    rows.push_back(get_row("empty payload, suite 2", {cookie_header(tokens::make_token(kAgentPassword, 2, ""))}, {500}));
    {
        tokens::Structure forged;
        forged.suite = 2;
        forged.iv.assign(16, 'v');
        forged.mac = tokens::hmac_digest("", 1, 2, forged.iv, "");
        rows.push_back(get_row("empty payload digested without a key", {cookie_header(tokens::to_text(forged))}, {500}));
    }
    {
        const std::string original = structure_of(good);
        ASSERT_GT(original.size(), 64u);
        // literal, version, suite, MAC, IV length, IV, KeyInfo length, length field (both bytes), payload.
        const std::vector<std::pair<const char *, size_t>> regions = {
            {"literal", 1}, {"version", 3}, {"suite", 4}, {"MAC", 5}, {"MAC", 24}, {"IV length", 25},
            {"IV", 26}, {"IV", 41}, {"KeyInfo length", 42}, {"length field", 43}, {"length field", 44},
            {"payload", 45}, {"payload", original.size() / 2 + 20}, {"payload", original.size() - 1}};
        for (const auto &[region, offset] : regions) {
            for (unsigned char bit : {0x01, 0x80}) {
                std::string damaged = original;
                damaged[offset] = static_cast<char>(damaged[offset] ^ bit);
                // Outside the literal the text still looks like a token, and the decoder refuses it.
                const bool looks_like_token = offset > 2;
                rows.push_back(get_row(std::string("bit ") + std::to_string(bit) + " flipped in the " + region + " at " +
                                           std::to_string(offset),
                                       {cookie_header(tokens::to_text(damaged))}, {looks_like_token ? 500L : 302L}));
            }
        }
    }
    rows.push_back(get_row("decompression bomb", {cookie_header(decompression_bomb())}, {500}));

    // Times.
    rows.push_back(get_row("inactivity limit passed", {cookie_header(session_token("jdoe", {}, {-60, -1, 600}))}, {302}));
    rows.push_back(get_row("not yet valid", {cookie_header(session_token("jdoe", {}, {120, 600, 7200}))}, {500}));
    rows.push_back(get_row("overall limit passed", {cookie_header(session_token("jdoe", {}, {-60, 600, -1}))}, {302}));

    // Query strings.
    rows.push_back(get_row("CR/LF escapes in the query", {}, {302}, {}, app + "?a=%0D%0ASet-Cookie:%20evil=1%0D%0A"));
    rows.push_back(get_row("CR/LF escapes before the token", {}, {302}, {}, app + "?" + token_name() + "%0D%0A" + good));
    {
        // The token is taken, and the browser sent back to the address without it.
        Row row = get_row("CR/LF escapes beside a query token", {}, {302}, {},
                          app + "?a=%0D%0ALocation:%20http://evil.test/&" + token_name() + good + "&b=%0d%0a");
        row.renewed = "jdoe";
        rows.push_back(row);
    }
    rows.push_back(get_row("non-UTF-8 escapes with a session", {cookie_header(good)}, {200}, "jdoe", app + "?a=%FF%FE%C0%80&b=%ED%A0%80"));
    rows.push_back(get_row("non-UTF-8 escapes without a session", {}, {302}, {}, app + "?a=%FF%FE%C0%80"));
    rows.push_back(raw_row("raw non-UTF-8 bytes in the query", raw_request("GET", kApp + "?a=\xff\xfe\xc0\x80&b=\xe9t\xe9", {}),
                           {302, 400}));
    rows.push_back(raw_row("raw CR inside the request line", raw_request("GET", kApp + "?a=\rSet-Cookie:x", {}), {302, 400}));

    // Bodies.
    {
        const std::string field = token_name() + good;
        rows.push_back(post_row("form of 65535 bytes with the session", field + std::string(65535 - field.size(), ' '), {303}, "jdoe"));
        rows.push_back(post_row("form of 65536 bytes with the session", field + std::string(65536 - field.size(), ' '), {302}));
        const std::string cut = token_name() + good.substr(0, good.size() / 2);
        rows.push_back(raw_row("truncated form body",
                               raw_request("POST", kApp,
                                           {"Content-Type: application/x-www-form-urlencoded",
                                            "Content-Length: " + std::to_string(field.size() + 500)},
                                           cut),
                               {302, 400, 500}, true));
    }
    rows.push_back(raw_row("TLS ClientHello on the plain port", tls_client_hello(), {0, 400, 405}));

    // Attribute headers sent by the client.
    const std::vector<std::string> spoofed = {"QV_AUTH_SUBJECT: evil",  "qv_auth_subject: evil", "Qv-Auth-Subject: evil",
                                              "QV-AUTH-ROLE: admin",     "qV_aUtH_rOlE: admin",   "HTTP_QV_AUTH_SUBJECT: evil",
                                              "Http-Qv-Auth-Subject: evil", "HTTP_QV_AUTH_ROLE: admin"};
    {
        std::vector<std::string> with_session = spoofed;
        with_session.push_back(cookie_header(good));
        rows.push_back(get_row("spoofed attribute headers with a session", with_session, {200}, "jdoe"));
        rows.push_back(get_row("spoofed attribute headers without a session", spoofed, {302}));
        rows.push_back(get_row("spoofed attribute headers on an open path", spoofed, {200}, {}, server.url(kOpenApp)));
    }

    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const LogMark mark = server.mark();
        const HttpResponse response = exchange(server, row);
        EXPECT_TRUE(row.statuses.count(response.status)) << "status " << response.status << " " << response.error << "\n"
                                                         << server.log_since(mark).text();
        const std::vector<std::string> variables = prefixed_variables(response.body);
        const bool from_application = response.body.find("BODY:") != std::string::npos;
        if (row.user.empty()) {
            EXPECT_EQ(variables, std::vector<std::string>{});
            EXPECT_EQ(response.header("X-Echo-QV_AUTH_SUBJECT").value_or(""), "");
            if (response.status != 200) {
                EXPECT_FALSE(from_application) << response.body.substr(0, 500);
            }
        } else {
            EXPECT_TRUE(from_application) << response.body.substr(0, 500);
            EXPECT_EQ(environment_value(response.body, "QV_AUTH_SUBJECT"), row.user);
            EXPECT_EQ(response.header("X-Echo-QV_AUTH_SUBJECT"), row.user);
            for (const std::string &line : variables)
                EXPECT_TRUE(line.rfind("QV_AUTH_", 0) == 0 && line.find("evil") == std::string::npos &&
                            line.find("admin") == std::string::npos)
                    << line;
        }
        const auto renewed = renewed_token(response);
        if (row.renewed.empty()) {
            EXPECT_FALSE(renewed);
        } else {
            EXPECT_EQ(payload_value(token_payload(renewed.value_or("")).value_or(""), "subject"), row.renewed);
        }
        // A client-sent attribute header never reaches the application.
        EXPECT_EQ(response.header("X-Echo-QV_AUTH_ROLE").value_or(""), "");
        EXPECT_EQ(response.header("X-Echo-QV-AUTH-SUBJECT").value_or(""), "");
        // Escaped line breaks stay escaped: one Location, no header of the client's making.
        EXPECT_LE(response.all_headers("Location").size(), 1u);
        const std::string location = response.header("Location").value_or("");
        EXPECT_EQ(location.find_first_of("\r\n"), std::string::npos) << location;
        for (const std::string &cookie : response.all_headers("Set-Cookie")) {
            EXPECT_EQ(cookie.find("evil"), std::string::npos) << cookie;
        }
    }

    // No worker died on the way, and the server still serves sessions.
    EXPECT_EQ(get(app, {cookie_header(good)}).status, 200);
    const ErrorLog log = server.log();
    EXPECT_FALSE(log.contains("exit signal")) << log.text();
    EXPECT_FALSE(log.contains("AddressSanitizer")) << log.text();
}

}  // namespace
