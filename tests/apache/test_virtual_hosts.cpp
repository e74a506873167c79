// Virtual hosts: a host with a directive of the module inherits every setting
// it leaves unset, protects at least what the main server protects, is
// checked at start-up like the main server, and can be switched off only
// under a name it declares itself.
#include "apache_server.h"
#include "http_client.h"
#include "session_helpers.h"

#include <nubrel.h>

#include <gtest/gtest.h>

using namespace qvtest;

namespace {

constexpr std::string_view kOtherPassword = "the other host's password";

std::string virtual_host(const std::string &name, const std::string &lines) {
    return "<VirtualHost 127.0.0.1>\n  ServerName " + name + "\n" + lines + "</VirtualHost>\n";
}

// Requests for an unknown name land on the address's first host; one without
// directives of its own serves them with the main server's record.
const std::string kMainHost = "<VirtualHost 127.0.0.1>\n  ServerName 127.0.0.1\n</VirtualHost>\n";

std::string host(const std::string &name) { return "Host: " + name; }

TEST(VirtualHosts, HostWithADirectiveOfItsOwnInheritsTheRestAndIsProtected) {
    ServerSetup setup;
    setup.server_directives =
        virtual_host("quiet.test", "  QuorvelVerboseLevel 1\n") +
        // Set-once settings are free again in a record of its own.
        virtual_host("other.test", "  QuorvelCookieName OTHER\n  QuorvelVerboseLevel 5\n") + virtual_host("plain.test", "");
    ApacheServer &server = shared_server(setup);
    ASSERT_TRUE(server.serving()) << server.log().text();
    EXPECT_FALSE(server.log().contains("Cannot register multiple Quorvel cookie names")) << server.log().text();
    for (const char *name : {"quiet.test", "plain.test"}) {
        EXPECT_EQ(get(server.url("/protected/index.html"), {host(name)}).status, 302) << name;
        const HttpResponse granted = get(server.url("/protected/index.html"), {host(name), cookie_header(session_token("jdoe"))});
        EXPECT_EQ(granted.status, 200) << name;
        EXPECT_EQ(granted.body, "protected\n") << name;
    }
    // A host's own cookie name, with the main server's password and login page.
    const HttpResponse other = get(server.url("/protected/index.html"), {host("other.test")});
    EXPECT_EQ(other.status, 302);
    EXPECT_EQ(other.header("Location").value_or("").rfind(kLoginPageUrl, 0), 0u);
    EXPECT_EQ(get(server.url("/protected/index.html"), {host("other.test"), "Cookie: OTHER=" + session_token("jdoe")}).status,
              200);
}

TEST(VirtualHosts, HostFiltersAddToTheMainServersAndItsAgentFileIsItsOwn) {
    ServerSetup setup;
    setup.files["conf/other-agent.conf"] = "password = " + base64(kOtherPassword) + "\ntoken-lifetime = 3600\n";
    setup.files["htdocs/extra/index.html"] = "extra\n";
    setup.server_directives = kMainHost + virtual_host("own.test", "  QuorvelFilter ^/extra\n"
                                                                   "  QuorvelAgentConfigurationFile {root}/conf/other-agent.conf\n");
    ApacheServer &server = shared_server(setup);
    ASSERT_TRUE(server.serving()) << server.log().text();
    const std::string own_token = make_token(session_payload("jdoe"), 2, kOtherPassword);
    for (const char *path : {"/protected/index.html", "/extra/index.html"}) {
        EXPECT_EQ(get(server.url(path), {host("own.test")}).status, 302) << path;
        EXPECT_EQ(get(server.url(path), {host("own.test"), cookie_header(own_token)}).status, 200) << path;
        // The main server's password opens nothing there.
        EXPECT_EQ(get(server.url(path), {host("own.test"), cookie_header(session_token("jdoe"))}).status, 500) << path;
    }
    // The main server keeps its own filters and password.
    EXPECT_EQ(get(server.url("/extra/index.html")).status, 200);
    EXPECT_EQ(get(server.url("/protected/index.html"), {cookie_header(own_token)}).status, 500);
}

TEST(VirtualHosts, OnlyANameTheHostDeclaresSwitchesTheAgentOff) {
    ServerSetup setup;
    setup.agent_directives += "QuorvelDisableAgentForVirtualHost ^status\\.\n";
    // The first host is the address's default: every unknown name lands there.
    setup.server_directives = virtual_host("app.example.test", "") +
                              virtual_host("status.example.test", "  ServerAlias status.example.org *.status.example.test\n");
    ApacheServer &server = shared_server(setup);
    ASSERT_TRUE(server.serving()) << server.log().text();
    const struct {
        const char *host;
        long status;
    } cases[] = {
        {"status.example.test", 200},
        {"status.example.org", 200},      // an alias it declares
        {"app.example.test", 302},
        {"status.evil.test", 302},        // not a name of any host: the default host answers
        {"status.x.status.example.test", 302},  // only the wildcard alias names it
    };
    for (const auto &c : cases)
        EXPECT_EQ(get(server.url("/protected/index.html"), {host(c.host)}).status, c.status) << c.host;
}

TEST(VirtualHosts, StartUpChecksEveryHostThatProtectsSomething) {
    const struct {
        const char *name;
        std::string main_directives;
        std::string host_lines;
        const char *line;
    } cases[] = {
        // Nothing protected anywhere: the main server says so.
        {"nothing protected", without_directive(kMinimalAgentDirectives, "QuorvelFilter"), "  QuorvelVerboseLevel 1\n",
         "URI filters are not configured - no resources to protect?"},
        {"bad filter of a host", kMinimalAgentDirectives, "  QuorvelFilter (\n",
         "Virtual host bad.test: Cannot compile the URI filter \"(\""},
        {"unreadable agent file of a host", kMinimalAgentDirectives,
         "  QuorvelAgentConfigurationFile {root}/conf/missing.conf\n",
         "Virtual host bad.test: Cannot get statistics for Quorvel Agent configuration file"},
    };
    for (const auto &c : cases) {
        ServerSetup setup;
        setup.agent_directives = c.main_directives;
        setup.server_directives = virtual_host("bad.test", c.host_lines);
        const auto server = ApacheServer::start(setup);
        EXPECT_EQ(server->exit_status(), 2) << c.name;
        EXPECT_TRUE(server->log().contains(c.line)) << c.name << "\n" << server->log().text();
    }
}

TEST(VirtualHosts, OnlyAHostProtectsWhenTheMainServerHasNoFilter) {
    ServerSetup setup;
    setup.agent_directives = without_directive(kMinimalAgentDirectives, "QuorvelFilter") +
                             "QuorvelNubrelLibVerboseLevel 0\n";
    setup.server_directives =
        kMainHost +
        virtual_host("app.test", "  QuorvelFilter ^/protected\n  QuorvelNubrelLibVerboseLevel 3\n  QuorvelVerboseLevel 1\n");
    ApacheServer &server = shared_server(setup);
    ASSERT_TRUE(server.serving()) << server.log().text();
    EXPECT_TRUE(server.log().contains("QuorvelNubrelLibVerboseLevel 3 of this virtual host is not used"))
        << server.log().text();
    EXPECT_EQ(get(server.url("/protected/index.html"), {host("app.test")}).status, 302);
    EXPECT_EQ(get(server.url("/protected/index.html")).status, 200);
}

TEST(VirtualHosts, HostWithoutDirectivesSharesTheMainRecord) {
    // The main server's error is counted once, not once more for the host that shares its record.
    ServerSetup setup;
    setup.agent_directives += "QuorvelCookieIsSecure maybe\n";
    setup.server_directives = virtual_host("plain.test", "");
    const auto server = ApacheServer::start(setup);
    EXPECT_EQ(server->exit_status(), 2);
    EXPECT_TRUE(server->log().has("Total errors during the server's init sequence: 1")) << server->log().text();
}

}  // namespace
