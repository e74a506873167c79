// Virtual hosts: a host with a directive of the module gets a record of its
// own, starting from the defaults; the main server's record is its own too.
#include "apache_server.h"
#include "http_client.h"

#include <gtest/gtest.h>

using namespace qvtest;

namespace {

std::string virtual_host(const std::string &name, const std::string &lines) {
    return "<VirtualHost 127.0.0.1>\n  ServerName " + name + "\n" + lines + "</VirtualHost>\n";
}

TEST(VirtualHosts, HostWithADirectiveStartsFromTheDefaults) {
    ServerSetup setup;
    setup.agent_directives = "QuorvelVerboseLevel 5\n" + setup.agent_directives;
    setup.server_directives =
        // Verbose level 0 of its own record: its trace line is not written.
        virtual_host("quiet.test", "  QuorvelCookiePath /quiet\n") +
        // Set-once settings are free again in a record of its own.
        virtual_host("loud.test", "  QuorvelVerboseLevel 5\n  QuorvelCookieName OTHER\n  QuorvelCookiePath /loud\n") +
        virtual_host("plain.test", "");
    ApacheServer &server = shared_server(setup);
    // Only the main server's record is checked: the hosts lack filters, login page and agent file.
    ASSERT_TRUE(server.serving()) << server.log().text();
    const ErrorLog log = server.log();
    EXPECT_FALSE(log.has("Quorvel Apache Agent cookie path: /quiet")) << log.text();
    EXPECT_TRUE(log.has("Quorvel Apache Agent cookie name: OTHER"));
    EXPECT_TRUE(log.has("Quorvel Apache Agent cookie path: /loud"));
    EXPECT_FALSE(log.contains("Cannot register multiple Quorvel cookie names"));
    EXPECT_EQ(get(server.url("/index.html"), {"Host: loud.test"}).status, 200);
}

TEST(VirtualHosts, DirectivesOfAHostLeaveTheMainServerAlone) {
    ServerSetup setup;
    setup.agent_directives = without_directive(setup.agent_directives, "QuorvelFilter");
    setup.server_directives = virtual_host("app.test", "  QuorvelFilter ^/protected\n");
    const auto server = ApacheServer::start(setup);
    EXPECT_EQ(server->exit_status(), 2);
    EXPECT_TRUE(server->log().has("URI filters are not configured - no resources to protect?"))
        << server->log().text();
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
