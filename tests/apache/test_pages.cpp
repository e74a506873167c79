// The pages the agent answers with itself: the error page and the start page,
// from the built-in or a configured template, and the request dump in the log.
#include "apache_server.h"
#include "http_client.h"
#include "session_tokens.h"

#include <gtest/gtest.h>

using namespace qvtest;

namespace {

ServerSetup with_directives(const std::string &lines) {
    ServerSetup setup;
    setup.agent_directives += lines;
    return setup;
}

ServerSetup start_page_setup(const std::string &more = {}) {
    return with_directives("QuorvelStartPageURL /start$\nQuorvelSessionAttrFilter .*\n" + more);
}

void expect_complete_html(const HttpResponse &response) {
    EXPECT_EQ(response.header("Content-Type"), "text/html");
    EXPECT_EQ(response.header("Content-Length"), std::to_string(response.body.size()));
}

std::string row(const std::string &name, const std::string &value) {
    return "    <tr>\n      <td class=\"headerName\">" + name + "</td>\n      <td class=\"headerValue\">" + value +
           "</td>\n    </tr>\n";
}

// The text of the start page's second table (the session's headers).
std::string session_table(const std::string &page) {
    const size_t start = page.find("Kestrin Headers");
    if (start == std::string::npos) return {};
    return page.substr(start, page.find("</table>", start) - start);
}

TEST(ErrorPage, BuiltInPageCarriesTitleAndDescription) {
    ApacheServer &server = shared_server(ServerSetup{});
    ASSERT_TRUE(server.serving()) << server.log().text();
    const HttpResponse response = get(server.url("/protected/"), {session_cookie(tampered_token())});
    EXPECT_EQ(response.status, 500);
    expect_complete_html(response);
    EXPECT_EQ(response.body.rfind("<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.0 Transitional//EN\">", 0), 0u);
    EXPECT_NE(response.body.find("<TR><TD class=message>Runtime error.</TD></TR>"
                                 "<TR><TD class=message>The session token is not valid.</TD></TR>"
                                 "<TR><TD class=message>Please contact your system administrator.</TD></TR>"),
              std::string::npos)
        << response.body;
    EXPECT_EQ(response.body.find('%'), std::string::npos);
    EXPECT_EQ(response.all_headers("Set-Cookie"),
              std::vector<std::string>{std::string(kCookieName) + "=;path=/" + std::string(kCookieAttributes) +
                                       "; expires=Thu, 01 Jan 1970 00:00:00 GMT"});
    EXPECT_EQ(response.header("Cache-Control"), "private, no-cache=\"set-cookie\"");
}

TEST(ErrorPage, ConfiguredTemplateIsFilledAtFirstPlaceholders) {
    ServerSetup setup = with_directives("QuorvelErrorPageTemplateFile {root}/conf/error.html\n");
    setup.files["conf/error.html"] = "<h1>%ERROR_TITLE%</h1>\n<table>%ERROR_DESCRIPTION%</table>\n<p>%ERROR_TITLE%</p>\n";
    ApacheServer &server = shared_server(setup);
    ASSERT_TRUE(server.serving()) << server.log().text();
    const HttpResponse response = get(server.url("/protected/"), {session_cookie(tampered_token())});
    EXPECT_EQ(response.status, 500);
    expect_complete_html(response);
    EXPECT_EQ(response.body, "<h1>Runtime error.</h1>\n"
                             "<table><TR><TD class=message>The session token is not valid.</TD></TR></table>\n"
                             "<p>%ERROR_TITLE%</p>\n");
}

TEST(StartPage, UnprotectedUrlListsTheRequestHeaders) {
    ApacheServer &server = shared_server(start_page_setup());
    ASSERT_TRUE(server.serving()) << server.log().text();
    const HttpResponse response = get(server.url("/public/start"), {"X-Probe: hello there"});
    EXPECT_EQ(response.status, 200);
    expect_complete_html(response);
    EXPECT_NE(response.body.find("<h2>Quorvel Vantor Start Page</h2>"), std::string::npos);
    EXPECT_NE(response.body.find("mod_qv v 1.2.1"), std::string::npos);
    EXPECT_NE(response.body.find(row("X-Probe", "hello there")), std::string::npos) << response.body;
    EXPECT_NE(response.body.find(row("Host", "127.0.0.1:" + std::to_string(server.port()))), std::string::npos);
    // No session: the second table has its heading only.
    const std::string sessions = session_table(response.body);
    ASSERT_FALSE(sessions.empty());
    EXPECT_EQ(sessions.find("headerName"), std::string::npos) << sessions;
    EXPECT_EQ(response.body.find("%REQUEST_HEADER_DATA%"), std::string::npos);
    EXPECT_EQ(response.body.find("%KESTRIN_HEADER_DATA%"), std::string::npos);
    // Other unprotected URLs are served as usual.
    EXPECT_EQ(get(server.url("/public/")).status, 200);
}

TEST(StartPage, ProtectedUrlListsTheSessionAttributes) {
    ApacheServer &server = shared_server(start_page_setup());
    ASSERT_TRUE(server.serving()) << server.log().text();
    EXPECT_EQ(get(server.url("/protected/start")).status, 302);

    const HttpResponse response =
        get(server.url("/protected/start"), {session_cookie(session_token("alice", 600, "mail=alice@example.test\n"))});
    EXPECT_EQ(response.status, 200);
    expect_complete_html(response);
    const std::string sessions = session_table(response.body);
    EXPECT_NE(sessions.find("<td class=\"headerValue\">alice</td>"), std::string::npos) << response.body;
    EXPECT_NE(sessions.find("<td class=\"headerValue\">alice@example.test</td>"), std::string::npos);
    EXPECT_EQ(response.all_headers("Set-Cookie").size(), 1u);
}

TEST(StartPage, HostileValuesAreEscaped) {
    ApacheServer &server = shared_server(start_page_setup());
    ASSERT_TRUE(server.serving()) << server.log().text();
    const HttpResponse response =
        get(server.url("/protected/start"),
            {session_cookie(session_token("<img src=x onerror=alert(1)>")), "X-Both: <script>alert(1)</script>",
             "X-Open: a<b", "X-Close: x>y", "X-Quote: \"q\" & r", "X-Placeholder: %KESTRIN_HEADER_DATA%"});
    EXPECT_EQ(response.status, 200);
    const std::string &page = response.body;
    EXPECT_EQ(page.find("<script>"), std::string::npos);
    EXPECT_EQ(page.find("<img"), std::string::npos);
    EXPECT_NE(page.find(row("X-Both", "&lt;script&gt;alert(1)&lt;/script&gt;")), std::string::npos) << page;
    EXPECT_NE(page.find(row("X-Open", "a&lt;b")), std::string::npos);
    EXPECT_NE(page.find(row("X-Close", "x&gt;y")), std::string::npos);
    EXPECT_NE(page.find(row("X-Quote", "&quot;q&quot; &amp; r")), std::string::npos);
    // A value that reads like a placeholder is shown as it is, and the
    // session rows still land in their own table.
    EXPECT_NE(page.find(row("X-Placeholder", "%KESTRIN_HEADER_DATA%")), std::string::npos);
    EXPECT_NE(session_table(page).find("&lt;img src=x onerror=alert(1)&gt;"), std::string::npos) << page;
}

TEST(StartPage, ConfiguredTemplate) {
    ServerSetup setup = start_page_setup("QuorvelStartPageTemplateFile {root}/conf/start.html\n");
    setup.files["conf/start.html"] = "%QV_KIT_NAME%/%QV_KIT_VERSION%\n[%REQUEST_HEADER_DATA%][%KESTRIN_HEADER_DATA%]\n";
    ApacheServer &server = shared_server(setup);
    ASSERT_TRUE(server.serving()) << server.log().text();
    const HttpResponse response = get(server.url("/public/start"), {"X-Probe: 1"});
    EXPECT_EQ(response.status, 200);
    expect_complete_html(response);
    EXPECT_EQ(response.body.rfind("mod_qv/1.2.1\n[    <tr>\n", 0), 0u) << response.body;
    EXPECT_NE(response.body.find(row("X-Probe", "1")), std::string::npos);
    EXPECT_TRUE(response.body.ends_with("</tr>\n][]\n")) << response.body;
}

TEST(RequestDump, WrittenFromVerboseLevelFour) {
    for (const int level : {3, 4}) {
        ApacheServer &server = shared_server(with_directives("QuorvelVerboseLevel " + std::to_string(level) + "\n"));
        ASSERT_TRUE(server.serving()) << server.log().text();
        const LogMark mark = server.mark();
        EXPECT_EQ(get(server.url("/public/?dump=" + std::to_string(level)), {"X-Probe: dumped"}).status, 200);
        ASSERT_TRUE(server.access_log_line(mark, "dump=").has_value());
        const ErrorLog log = server.log_since(mark);
        EXPECT_EQ(log.has("The inbound http message:"), level == 4) << log.text();
        EXPECT_EQ(log.contains("GET /public/?dump=4 HTTP/1.1"), level == 4);
        EXPECT_EQ(log.contains("X-Probe: dumped"), level == 4);
    }
}

}  // namespace
