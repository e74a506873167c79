// Apache's own sections and Require rules on the agent's sessions: AuthType
// Quorvel protects a place outside every QuorvelFilter, and Require
// qv-attribute / qv-attribute-regex decide on the session's attributes,
// composed with Apache's other rules.
#include "apache_server.h"
#include "http_client.h"
#include "session_helpers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace qvtest;

namespace {

bool is_login_redirect(const HttpResponse &response) {
    return response.status == 302 && response.header("Location").value_or("").rfind(kLoginPageUrl, 0) == 0;
}

std::string place(const std::string &path, const std::string &rules, bool quorvel = true) {
    return "<Location " + path + ">\n" + (quorvel ? "  AuthType Quorvel\n" : "") + rules + "</Location>\n";
}

// /sso/ lies outside the default set-up's only filter, ^/protected.
ServerSetup rules_setup(const std::string &more_directives = {}) {
    ServerSetup setup;
    setup.extra_modules = {"authn_core", "authz_user", "authz_host"};
    setup.agent_directives += "QuorvelVerboseLevel 2\nQuorvelSessionAttrFilter .*\n" + more_directives;
    for (const char *folder : {"sso", "sso/staff", "sso/regex", "sso/local-staff", "sso/remote-staff", "sso/any",
                               "sso/not-guest", "sso/expr", "protected/staff", "open/staff"})
        setup.files["htdocs/" + std::string(folder) + "/index.html"] = std::string(folder) + "\n";
    setup.server_directives =
        place("/sso/", "  Require valid-user\n") +
        place("/sso/staff/", "  Require qv-attribute group staff admins\n") +
        place("/sso/regex/", "  Require qv-attribute-regex mail \"@example\\.test$\"\n") +
        place("/sso/local-staff/", "  <RequireAll>\n    Require ip 127.0.0.1\n    Require qv-attribute group staff\n"
                                   "  </RequireAll>\n") +
        place("/sso/remote-staff/", "  <RequireAll>\n    Require ip 10.9.8.7\n    Require qv-attribute group staff\n"
                                    "  </RequireAll>\n") +
        place("/sso/any/", "  <RequireAny>\n    Require qv-attribute group admins\n    Require qv-attribute group staff\n"
                           "  </RequireAny>\n") +
        place("/sso/not-guest/", "  <RequireAll>\n    Require valid-user\n    Require not qv-attribute group guest\n"
                                 "  </RequireAll>\n") +
        place("/sso/expr/", "  Require expr \"%{REMOTE_USER} == 'admin'\"\n") +
        // A filtered path needs no AuthType; a path the agent leaves alone has no session.
        place("/protected/staff/", "  Require qv-attribute group staff\n", false) +
        place("/open/staff/", "  Require qv-attribute group staff\n", false);
    return setup;
}

const std::string jdoe = cookie_header(session_token("jdoe", "group=staff\nmail=jdoe@example.test\n"));
const std::string bob = cookie_header(session_token("bob", "group=guest\nmail=bob@other.test\n"));
// Several values of one attribute: any of them counts.
const std::string carol = cookie_header(session_token("carol", "group=guest\ngroup=admins\n"));

TEST(AuthTypeQuorvel, ProtectsAPlaceOutsideEveryFilterWithTheWholeFlow) {
    ApacheServer &server = shared_server(rules_setup());
    ASSERT_TRUE(server.serving()) << server.log().text();
    const HttpResponse anonymous = get(server.url("/sso/index.html"), {"QV_AUTH_SUBJECT: admin"});
    EXPECT_TRUE(is_login_redirect(anonymous)) << anonymous.status;
    EXPECT_TRUE(is_login_redirect(get(server.url("/sso/index.html"),
                                      {cookie_header(session_token("jdoe", {}, {-60, -5, 60}))})));

    const LogMark mark = server.mark();
    const HttpResponse granted = get(server.url("/sso/index.html"), {jdoe});
    EXPECT_EQ(granted.status, 200);
    EXPECT_EQ(granted.body, "sso\n");
    EXPECT_TRUE(renewed_token(granted));
    EXPECT_NE(granted.header("Cache-Control").value_or("").find("private"), std::string::npos);
    EXPECT_TRUE(server.access_log_line(mark, "user=jdoe"));
    // Apache found an authentication for the AuthType and complained of nothing.
    EXPECT_FALSE(server.log_since(mark).contains("configured without corresponding module"));
    EXPECT_FALSE(server.log().contains("URI filters are not configured"));
}

TEST(RequireQvAttribute, DecidesOnTheSessionsAttributesWithApachesOtherRules) {
    ApacheServer &server = shared_server(rules_setup());
    ASSERT_TRUE(server.serving()) << server.log().text();
    const struct {
        const char *path;
        std::vector<std::string> headers;
        long status;
    } cases[] = {
        {"/sso/staff/", {jdoe}, 200},
        {"/sso/staff/", {carol}, 200},
        {"/sso/staff/", {bob}, 403},
        // Attribute headers a client sends decide nothing, with a session or without.
        {"/sso/staff/", {bob, "QV_AUTH_GROUP: staff", "group: staff"}, 403},
        {"/sso/staff/", {"QV_AUTH_GROUP: staff", "group: staff"}, 302},
        {"/sso/staff/", {}, 302},
        {"/sso/regex/", {jdoe}, 200},
        {"/sso/regex/", {bob}, 403},
        {"/sso/local-staff/", {jdoe}, 200},
        {"/sso/local-staff/", {bob}, 403},
        {"/sso/remote-staff/", {jdoe}, 403},
        {"/sso/any/", {jdoe}, 200},
        {"/sso/any/", {carol}, 200},
        {"/sso/any/", {bob}, 403},
        {"/sso/not-guest/", {jdoe}, 200},
        {"/sso/not-guest/", {bob}, 403},
        {"/protected/staff/", {jdoe}, 200},
        {"/protected/staff/", {bob}, 403},
        {"/protected/staff/", {}, 302},
        // Neither filtered nor AuthType Quorvel: Apache finds no authentication.
        {"/open/staff/", {jdoe}, 500},
    };
    for (const auto &c : cases) {
        const HttpResponse response = get(server.url(c.path), c.headers);
        EXPECT_EQ(response.status, c.status) << c.path << " " << testing::PrintToString(c.headers);
        if (c.status == 403) {
            EXPECT_FALSE(response.header("WWW-Authenticate")) << c.path;
        }
    }
}

TEST(RequireQvAttribute, VerdictsAreInformationAndTheFinalRefusalOneWarning) {
    ApacheServer &server = shared_server(rules_setup());
    ASSERT_TRUE(server.serving()) << server.log().text();
    LogMark mark = server.mark();
    ASSERT_EQ(get(server.url("/sso/staff/"), {bob}).status, 403);
    // The final refusal is written in the logging phase, after the answer.
    ErrorLog log = server.log_once_written(mark, "The Require rules refuse access");
    EXPECT_TRUE(log.has("info", "Require qv-attribute group staff admins refuses the user \"bob\"")) << log.text();
    EXPECT_EQ(log.count("The Require rules refuse access to \"/sso/staff/\" for the user \"bob\""), 1u);
    EXPECT_TRUE(log.has("warn", "The Require rules refuse access to \"/sso/staff/\" for the user \"bob\""));

    // A refusal that <RequireAny> overrides is no warning.
    mark = server.mark();
    ASSERT_EQ(get(server.url("/sso/any/"), {jdoe}).status, 200);
    // A refusal asked for afterwards: once its warning is written, so would
    // be one of the request before.
    ASSERT_EQ(get(server.url("/sso/staff/"), {bob}).status, 403);
    log = server.log_once_written(mark, "The Require rules refuse access");
    EXPECT_TRUE(log.has("info", "Require qv-attribute group admins refuses the user \"jdoe\"")) << log.text();
    EXPECT_TRUE(log.has("info", "Require qv-attribute group staff grants the user \"jdoe\""));
    EXPECT_FALSE(log.contains("The Require rules refuse access to \"/sso/any/\""));
    for (const LogLine &line : log.lines) {
        if (line.message.find("bob") != std::string::npos) continue;
        EXPECT_NE(line.level, "warn") << line.message;
    }
}

TEST(RequireQvAttribute, AttributesDecideAlsoWhenTheyAreExposedOnlyOnce) {
    ApacheServer &server = shared_server(rules_setup("QuorvelSendAttributesOnce yes\n"));
    ASSERT_TRUE(server.serving()) << server.log().text();
    const HttpResponse first = get(server.url("/sso/staff/"), {jdoe});
    ASSERT_EQ(first.status, 200);
    const auto renewed = renewed_token(first);
    ASSERT_TRUE(renewed);
    // The renewed cookie marks the session: nothing is exposed again, the rules still read the attributes.
    EXPECT_EQ(get(server.url("/sso/staff/"), {cookie_header(*renewed)}).status, 200);
    const auto refused = renewed_token(get(server.url("/sso/index.html"), {bob}));
    ASSERT_TRUE(refused);
    EXPECT_EQ(get(server.url("/sso/staff/"), {cookie_header(*refused)}).status, 403);
}

TEST(AuthTypeQuorvel, ApachesOwn401NamesTheLoginPage) {
    ApacheServer &server = shared_server(rules_setup());
    ASSERT_TRUE(server.serving()) << server.log().text();
    // A false expression on REMOTE_USER asks for another user: Apache's 401.
    const LogMark mark = server.mark();
    const HttpResponse response = get(server.url("/sso/expr/"), {jdoe});
    EXPECT_EQ(response.status, 401);
    EXPECT_EQ(response.header("WWW-Authenticate").value_or("").rfind("Quorvel realm=\"127.0.0.1\", login=\"" +
                                                                         std::string(kLoginPageUrl) + "?TargetResource=",
                                                                     0),
              0u)
        << response.header("WWW-Authenticate").value_or("(none)");
    EXPECT_FALSE(server.log_since(mark).contains("configured without corresponding module"));
}

TEST(AuthTypeQuorvel, AVirtualHostWithOnlyAuthTypePlacesIsPreparedAndProtected) {
    ServerSetup setup;
    setup.extra_modules = {"authn_core", "authz_user"};
    setup.agent_directives = without_directive(setup.agent_directives, "QuorvelFilter");
    setup.files["htdocs/sso/index.html"] = "sso\n";
    setup.server_directives = "<VirtualHost 127.0.0.1>\n  ServerName 127.0.0.1\n</VirtualHost>\n"
                              "<VirtualHost 127.0.0.1>\n  ServerName sso.test\n  QuorvelVerboseLevel 2\n" +
                              place("/sso/", "  Require valid-user\n") + "</VirtualHost>\n";
    ApacheServer &server = shared_server(setup);
    ASSERT_TRUE(server.serving()) << server.log().text();
    EXPECT_TRUE(is_login_redirect(get(server.url("/sso/index.html"), {"Host: sso.test"})));
    EXPECT_EQ(get(server.url("/sso/index.html"), {"Host: sso.test", jdoe}).status, 200);
    // The main server protects nothing.
    EXPECT_EQ(get(server.url("/sso/index.html")).status, 200);
    EXPECT_EQ(get(server.url("/protected/index.html")).status, 200);
}

}  // namespace
