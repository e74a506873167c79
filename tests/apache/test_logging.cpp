// The module's own verbose level decides which of its lines reach Apache.
#include "apache_server.h"

#include <gtest/gtest.h>

using namespace qvtest;

namespace {

// One line of each role from a start that succeeds; the unknown name in the
// module file is an error that does not stop the start.
struct Marker {
    int level;  // lowest verbose level that shows it
    const char *apache_level;
    const char *message;
};

constexpr Marker kMarkers[] = {
    {0, "error", "Configuration option \"QuorvelUnknownSetting\" [line 1] is unhandled"},
    {1, "warn", "Session logout URLs are not configured"},
    {2, "info", "Ensuring whether configuration parameters are OK..."},
    {3, "info", " Total URI filters compiled: 1"},
    {5, "notice", "Quorvel Apache Agent URI filter: ^/protected"},
};

ServerSetup at_verbose_level(int level) {
    ServerSetup setup;
    setup.agent_directives = "QuorvelVerboseLevel " + std::to_string(level) +
                             "\nQuorvelConfigurationFile conf/qv.conf\n" + setup.agent_directives;
    setup.files["conf/qv.conf"] = "QuorvelUnknownSetting on\n";
    return setup;
}

class VerboseLevel : public ::testing::TestWithParam<int> {};

TEST_P(VerboseLevel, GatesEachRole) {
    const int level = GetParam();
    ApacheServer &server = shared_server(at_verbose_level(level));
    ASSERT_TRUE(server.serving()) << server.log().text();
    const ErrorLog log = server.log();
    for (const Marker &marker : kMarkers) {
        if (level >= marker.level)
            EXPECT_TRUE(log.has(marker.apache_level, marker.message)) << marker.message << "\n" << log.text();
        else
            EXPECT_FALSE(log.has(marker.message)) << marker.message << "\n" << log.text();
    }
}

INSTANTIATE_TEST_SUITE_P(, VerboseLevel, ::testing::Values(0, 1, 2, 3, 5),
                         [](const ::testing::TestParamInfo<int> &info) { return "Level" + std::to_string(info.param); });

TEST(ModuleLog, LinesAreCutAndNeverUsedAsFormats) {
    const std::string long_url = "https://login.example.test/" + std::string(2000, 'a');
    const std::string percent_url = "https://login.example.test/a%20b%s%n%%";
    ServerSetup setup;
    setup.agent_directives = "QuorvelVerboseLevel 5\nQuorvelBaseURL " + long_url + "\nQuorvelSLOURL " + percent_url +
                             "\n" + setup.agent_directives;
    const CommandResult result = run_apache_command(setup, {"-t"});
    ASSERT_EQ(result.exit_status, 0) << result.output;
    const ErrorLog log = result.log();
    EXPECT_TRUE(log.has(("Quorvel base URL: " + long_url).substr(0, 1023))) << log.text();
    EXPECT_TRUE(log.has("Quorvel SLO URL: " + percent_url)) << log.text();
}

}  // namespace

// The library logs under the module's tag, so that the module's own LogLevel
// governs its lines as it governs the module's.
TEST(LibraryLog, FollowsTheModulesLogLevel) {
    constexpr std::string_view kProgress = "Parsing Quorvel Agent's configuration file: ";
    for (const auto &[log_level, shown] : {std::pair{"warn qv:info", true}, std::pair{"warn", false}}) {
        ServerSetup setup;
        setup.log_level = log_level;
        setup.agent_directives = "QuorvelNubrelLibVerboseLevel 2\n" + setup.agent_directives;
        ApacheServer &server = shared_server(setup);
        ASSERT_TRUE(server.serving()) << server.log().text();
        const ErrorLog log = server.log();
        bool tagged = false;
        for (const LogLine &line : log.lines) {
            if (line.message.find(kProgress) == std::string::npos) continue;
            EXPECT_EQ(line.module, "qv") << line.message;
            tagged = tagged || (line.module == "qv" && line.level == "info");
        }
        EXPECT_EQ(tagged, shown) << "LogLevel " << log_level << "\n" << log.text();
    }
}
