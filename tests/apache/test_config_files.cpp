// The two files the module reads itself: its configuration file of directive
// lines, and its keys of the agent configuration file.
#include "apache_server.h"
#include "http_client.h"

#include <gtest/gtest.h>
#include <nubrel.h>

#include <filesystem>
#include <map>

using namespace qvtest;

namespace {

// ---- module configuration file ----------------------------------------------

TEST(ModuleFile, LinesActLikeDirectives) {
    ServerSetup setup;
    // The whole module configuration comes from the file.
    setup.agent_directives = "QuorvelVerboseLevel 5\nQuorvelConfigurationFile conf/qv.conf\n";
    setup.files["conf/qv.conf"] =
        "# module settings\r\n"
        "\r\n"
        "   QuorvelFilter ^/protected   # trailing comment\r\n"
        "QuorvelCookieName QVSESSION\r\n"
        "\tQuorvelCookiePath  /app\r\n"
        "quorvelcookiename OTHER\r\n"
        "QuorvelLoginPageURL https://login.example.test/sso\r\n"
        "QuorvelConfigurationFile nested.conf\r\n"
        "QuorvelAgentConfigurationFile {root}/conf/agent.conf";
    setup.files["nested.conf"] = "QuorvelCancelURL ^/logout\n";
    ApacheServer &server = shared_server(setup);
    ASSERT_TRUE(server.serving()) << server.log().text();
    const ErrorLog log = server.log();

    EXPECT_TRUE(log.has("Quorvel Apache Agent URI filter: ^/protected")) << log.text();
    EXPECT_TRUE(log.has("Quorvel Apache Agent cookie path: /app"));
    EXPECT_TRUE(log.has(with_root("Quorvel Agent configuration file: {root}/conf/agent.conf", server.root())));
    // Names are matched with their letter case; an unknown one is reported, not counted.
    EXPECT_TRUE(log.has("error", "Configuration option \"quorvelcookiename\" [line 6] is unhandled")) << log.text();
    // A nested file is read at its place, relative to the ServerRoot.
    EXPECT_TRUE(log.has(with_root("Quorvel Apache Agent configuration file: nested.conf ==> {root}/nested.conf",
                                  server.root())));
    EXPECT_TRUE(log.has("Total session logout URLs configured: 1"));
    EXPECT_EQ(get(server.url("/index.html")).status, 200);
}

struct UnreadableFile {
    const char *name;
    std::string directive_file;  // named by QuorvelConfigurationFile in httpd.conf
    std::map<std::string, std::string> files;
    std::vector<std::string> errors;  // "{root}" is the ServerRoot
    int total_errors = 1;
};

void PrintTo(const UnreadableFile &c, std::ostream *out) { *out << c.name; }

class ModuleFileRefusal : public ::testing::TestWithParam<UnreadableFile> {};

TEST_P(ModuleFileRefusal, CountsOneErrorAndStopsTheStart) {
    const UnreadableFile &c = GetParam();
    ServerSetup setup;
    setup.agent_directives += "QuorvelConfigurationFile " + c.directive_file + "\n";
    setup.files = c.files;
    const auto server = ApacheServer::start(setup);
    EXPECT_EQ(server->exit_status(), 2) << server->log().text();
    const ErrorLog log = server->log();
    for (const std::string &error : c.errors)
        EXPECT_TRUE(log.has("emerg", with_root(error, server->root()))) << "missing: " << error << "\n" << log.text();
    EXPECT_TRUE(log.has("Total errors during the server's init sequence: " + std::to_string(c.total_errors)))
        << log.text();
    EXPECT_TRUE(log.has("emerg", kRefusalLine));
}

const std::string kIncludesItself = "\" - the file includes itself, directly or through other files";

INSTANTIATE_TEST_SUITE_P(
    , ModuleFileRefusal,
    ::testing::Values(
        UnreadableFile{"Missing", "conf/missing.conf", {},
                       {"Cannot get statistics for configuration file \"{root}/conf/missing.conf\" - No such file or "
                        "directory"}},
        UnreadableFile{"Empty", "conf/empty.conf", {{"conf/empty.conf", ""}},
                       {"Configuration file \"{root}/conf/empty.conf\" is empty"}},
        UnreadableFile{"Folder", "conf", {},
                       {"Cannot read the contents of configuration file \"{root}/conf\" - Is a directory"}},
        UnreadableFile{"IncludesItself", "conf/a.conf", {{"conf/a.conf", "QuorvelConfigurationFile conf/a.conf\n"}},
                       {"Cannot read configuration file \"{root}/conf/a.conf" + kIncludesItself}},
        UnreadableFile{"IncludesItselfThroughAnother", "conf/a.conf",
                       {{"conf/a.conf", "QuorvelCookiePath /a\nQuorvelConfigurationFile conf/b.conf\n"},
                        {"conf/b.conf", "QuorvelConfigurationFile {root}/conf/./a.conf\n"}},
                       {"Cannot read configuration file \"{root}/conf/./a.conf" + kIncludesItself}},
        // Two failures: the inner file, then the outer one stops at the same loop.
        UnreadableFile{"IncludesItsIncluder", "conf/a.conf",
                       {{"conf/a.conf", "QuorvelConfigurationFile conf/b.conf\n"},
                        {"conf/b.conf", "QuorvelConfigurationFile conf/b.conf\nQuorvelConfigurationFile conf/a.conf\n"}},
                       {"Cannot read configuration file \"{root}/conf/b.conf" + kIncludesItself,
                        "Cannot read configuration file \"{root}/conf/a.conf" + kIncludesItself},
                       2}),
    [](const ::testing::TestParamInfo<UnreadableFile> &info) { return std::string(info.param.name); });

// ---- the module's keys of the agent configuration file --------------------------

TEST(AgentFile, ModuleKeysAreReadAndOthersLeftToTheLibrary) {
    ServerSetup setup;
    setup.agent_directives = "QuorvelVerboseLevel 3\nQuorvelCookieDomain .example.test\n" + setup.agent_directives;
    setup.agent_file = "# shared with the federation server\r\n" + *setup.agent_file +
                       "token-name = QVSESSION   # the cookie\r\n"
                       "  cookie-path=/\r\n"
                       "cookie-domain = .example.test\r\n"
                       "cipher-suite = 3\r\n"
                       "use-cookie = TRUE\r\n"
                       "token-notbefore-tolerance = 0x1e\r\n"
                       "obfuscate-password = false\r\n"
                       "=orphan value\r\n"
                       "issuer = https://federation.example.test\r\n";
    ApacheServer &server = shared_server(setup);
    ASSERT_TRUE(server.serving()) << server.log().text();
    const ErrorLog log = server.log();
    const std::vector<std::string> read = {
        "Quorvel cookie name: QVSESSION",
        "Quorvel cookie path: /",
        "Quorvel cookie domain: .example.test",
        std::string("Quorvel cipher suite: 3 (") + nubrel_get_cipher_suite_name(3) + ")",
        "Quorvel feature \"use-cookie\": TRUE",
        "Quorvel Apache Agent notbefore tolerance period: 30 sec",
        "Quorvel password-obfuscation feature is turned off",
        "Quorvel token lifetime: 3600 sec",
    };
    for (const std::string &line : read)
        EXPECT_TRUE(log.has("info", line)) << "missing: " << line << "\n" << log.text();
    EXPECT_TRUE(log.has("warn", with_root("Configuration file \"{root}/conf/agent.conf\" has line without a key",
                                          server.root())));
    EXPECT_FALSE(log.has("Calling a function for processing property \"password\""));
    EXPECT_FALSE(log.has("Calling a function for processing property \"issuer\""));
}

struct AgentValueCase {
    const char *name;
    std::string line;
    std::string error;
};

void PrintTo(const AgentValueCase &c, std::ostream *out) { *out << c.name; }

class AgentFileRefusal : public ::testing::TestWithParam<AgentValueCase> {};

TEST_P(AgentFileRefusal, RejectedValueStopsTheStart) {
    ServerSetup setup;
    *setup.agent_file += GetParam().line + "\n";
    const auto server = ApacheServer::start(setup);
    EXPECT_EQ(server->exit_status(), 2) << server->log().text();
    EXPECT_TRUE(server->log().has("error", GetParam().error)) << server->log().text();
    EXPECT_TRUE(server->log().has("emerg", kRefusalLine));
}

INSTANTIATE_TEST_SUITE_P(
    , AgentFileRefusal,
    ::testing::Values(
        AgentValueCase{"UseCookieYes", "use-cookie = yes", "Quorvel feature \"use-cookie\": should be either true or false"},
        AgentValueCase{"NegativeLifetime", "token-lifetime = -5", "Quorvel token lifetime is incorrect: -5 sec"},
        AgentValueCase{"UnreadableLifetime", "token-lifetime = soon", "Cannot parse the Quorvel token lifetime"},
        AgentValueCase{"NegativeTolerance", "token-notbefore-tolerance = -1",
                       "Quorvel Apache Agent notbefore tolerance period -1 sec is incorrect"},
        AgentValueCase{"UnreadableTolerance", "token-notbefore-tolerance = x",
                       "Cannot parse the Quorvel Apache Agent notbefore tolerance period"},
        AgentValueCase{"UnknownCipherSuite", "cipher-suite = 7", "Quorvel cipher suite 7 is incorrect"},
        AgentValueCase{"UnreadableCipherSuite", "cipher-suite = aes", "Cannot parse the Quorvel cipher suite"},
        AgentValueCase{"ObfuscationNeitherTrueNorFalse", "obfuscate-password = maybe",
                       "Cannot get a true or false value of the Quorvel password-obfuscation option - value \"maybe\" "
                       "does not match"}),
    [](const ::testing::TestParamInfo<AgentValueCase> &info) { return std::string(info.param.name); });

}  // namespace
