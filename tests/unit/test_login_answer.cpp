// The 401 that scripts get in place of the login redirect: which requests are
// a script's, and the header and body that carry the login URL.
#include "response/login_answer.h"

#include <gtest/gtest.h>

namespace {

using Signals = qv::FetchSignals;

TEST(ScriptRequest, FetchMetadataDecidesWhenTheBrowserSendsIt) {
    const char *html = "text/html,application/xhtml+xml,*/*;q=0.8";
    const struct {
        Signals signals;
        bool script;
    } cases[] = {
        // Browsers: a navigation (top level or a frame) against fetch() and XMLHttpRequest.
        {{"navigate", "document", std::nullopt, html}, false},
        {{"navigate", "iframe", std::nullopt, html}, false},
        {{"cors", "empty", std::nullopt, "*/*"}, true},
        {{"same-origin", "empty", std::nullopt, html}, true},
        {{"no-cors", "image", std::nullopt, "image/*"}, true},
        {{"NAVIGATE", std::nullopt, std::nullopt, "*/*"}, false},
        // A script that says so, whatever it accepts.
        {{std::nullopt, std::nullopt, "XMLHttpRequest", html}, true},
        {{"navigate", "document", "xmlhttprequest", html}, true},
        {{std::nullopt, std::nullopt, "com.example.app", html}, false},
        // Without fetch metadata, Accept decides.
        {{std::nullopt, std::nullopt, std::nullopt, html}, false},
        {{std::nullopt, std::nullopt, std::nullopt, "application/json"}, true},
        {{std::nullopt, std::nullopt, std::nullopt, "*/*"}, true},
        {{std::nullopt, std::nullopt, std::nullopt, std::nullopt}, true},
        // Sec-Fetch-Dest alone is fetch metadata: Accept no longer decides.
        {{std::nullopt, "document", std::nullopt, "*/*"}, false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(qv::is_script_request(c.signals), c.script)
            << c.signals.sec_fetch_mode.value_or("-") << " " << c.signals.sec_fetch_dest.value_or("-") << " "
            << c.signals.requested_with.value_or("-") << " " << c.signals.accept.value_or("-");
}

TEST(ScriptRequest, AcceptNamesHtmlOnlyWithAWeightAboveZero) {
    for (const char *accept : {"text/html", "TEXT/HTML", " application/json , text/html;level=1",
                               "text/html;q=0.1", "text/html; q=1.0"})
        EXPECT_TRUE(qv::accept_names_html(accept)) << accept;
    for (const char *accept : {"", "*/*", "text/*", "application/json", "text/html;q=0", "text/html; q=0.000",
                               "text/htmlx", "application/xhtml+xml"})
        EXPECT_FALSE(qv::accept_names_html(accept)) << accept;
}

TEST(LoginAnswer, ChallengeAndBodyCarryTheLoginUrlEscaped) {
    const std::string login = "https://login.example.test/sso?TargetResource=http%3A%2F%2Fapp%2Fx";
    EXPECT_EQ(qv::login_challenge("app.example.test", login),
              "Quorvel realm=\"app.example.test\", login=\"" + login + "\"");
    EXPECT_EQ(qv::login_json(login), "{\"error\":\"unauthenticated\",\"login\":\"" + login + "\"}\n");
    // Configured text may hold anything.
    EXPECT_EQ(qv::login_challenge("a \"b\" \\c", "x"), "Quorvel realm=\"a \\\"b\\\" \\\\c\", login=\"x\"");
    EXPECT_EQ(qv::login_json("a\"b\\c\n"), "{\"error\":\"unauthenticated\",\"login\":\"a\\\"b\\\\c\\u000a\"}\n");
}

}  // namespace
