// How each directive reads its argument. Apache's configuration test (-t)
// runs every handler without starting a server, so each case is cheap; the
// trace lines of verbose level 5 show what was stored.
#include "apache_server.h"

#include <gtest/gtest.h>

#include <map>

using namespace qvtest;

namespace {

struct DirectiveCase {
    const char *name;
    std::string directives;                   // after the minimal set, at verbose level 5
    std::vector<std::string> logged;          // "{root}" is the ServerRoot
    std::vector<std::string> not_logged = {};
    std::map<std::string, std::string> files = {};
};

void PrintTo(const DirectiveCase &c, std::ostream *out) { *out << c.name; }

class DirectiveParsing : public ::testing::TestWithParam<DirectiveCase> {};

TEST_P(DirectiveParsing, StoresWhatTheTraceShows) {
    const DirectiveCase &c = GetParam();
    ServerSetup setup;
    setup.agent_directives = "QuorvelVerboseLevel 5\n" + setup.agent_directives + c.directives;
    setup.files = c.files;
    const CommandResult result = run_apache_command(setup, {"-t"});
    const ErrorLog log = result.log();
    // A rejected value never stops Apache from reading on (the lines after it
    // are read); the configuration test then fails, as every error of the
    // module makes it.
    bool errors = false;
    for (const LogLine &line : log.lines) errors = errors || (line.module == "qv" && line.level == "error");
    EXPECT_EQ(result.exit_status, errors ? 1 : 0) << result.output;
    for (const std::string &line : c.logged)
        EXPECT_TRUE(log.has(with_root(line, result.root))) << "missing: " << line << "\n" << log.text();
    for (const std::string &line : c.not_logged)
        EXPECT_FALSE(log.has(with_root(line, result.root))) << "unexpected: " << line << "\n" << log.text();
}

const std::string kNotAFlag = ": should be either yes or no";

INSTANTIATE_TEST_SUITE_P(
    , DirectiveParsing,
    ::testing::Values(
        DirectiveCase{"FlagInAnyCase", "QuorvelCookieIsSecure YES\n",
                      {"Quorvel Apache Agent cookie is \"secure\": YES"}, {"QuorvelCookieIsSecure" + kNotAFlag}},
        DirectiveCase{"FlagsRejectOtherWordsUnderTheirOwnName",
                      "QuorvelCookieIsSecure on\n"
                      "QuorvelExposeSessionAttributesToEnvironmentVariables true\n"
                      "QuorvelExposeSessionAttributesToHttpHeaders 1\n"
                      "QuorvelEnableUserBrowserCacheControl yess\n",
                      {"QuorvelCookieIsSecure" + kNotAFlag,
                       "QuorvelExposeSessionAttributesToEnvironmentVariables" + kNotAFlag,
                       "QuorvelExposeSessionAttributesToHttpHeaders" + kNotAFlag,
                       "QuorvelEnableUserBrowserCacheControl" + kNotAFlag},
                      {"Quorvel Apache Agent cookie is \"secure\": on"}},
        DirectiveCase{"ErrorsFromTheModuleFileNameTheirOwnDirective", "QuorvelConfigurationFile conf/qv.conf\n",
                      {"QuorvelEnableUserBrowserCacheControl" + kNotAFlag},
                      {"QuorvelConfigurationFile" + kNotAFlag},
                      {{"conf/qv.conf", "QuorvelEnableUserBrowserCacheControl off\n"}}},
        DirectiveCase{"SendAttributesOnceTracesBeforeItChecks", "QuorvelSendAttributesOnce maybe\n",
                      {"Quorvel Apache Agent sending attributes once: maybe", "QuorvelSendAttributesOnce" + kNotAFlag}},
        DirectiveCase{"VerboseLevelIsClamped", "QuorvelVerboseLevel 9\n", {"Quorvel Apache Agent verbose level: 5"}},
        DirectiveCase{"NegativeVerboseLevelMeansSilence",
                      "QuorvelVerboseLevel -3\nQuorvelCookiePath /after-minus-three\n"
                      "QuorvelVerboseLevel 5\nQuorvelCookiePath /shown\n",
                      {"Quorvel Apache Agent cookie path: /shown"},
                      {"Quorvel Apache Agent cookie path: /after-minus-three"}},
        // Text that is not a plain number is refused, naming the directive and the value.
        DirectiveCase{"NumbersWithTextAreRefused",
                      "QuorvelVerboseLevel abc\nQuorvelVerboseLevel 2x\nQuorvelCookiePath /level-kept\n",
                      {"QuorvelVerboseLevel: value \"abc\" is not a number",
                       "QuorvelVerboseLevel: value \"2x\" has text after the number",
                       "Quorvel Apache Agent cookie path: /level-kept"}},
        DirectiveCase{"LibraryVerboseLevel",
                      "QuorvelNubrelLibVerboseLevel 0x3\nQuorvelNubrelLibVerboseLevel 77\n"
                      "QuorvelNubrelLibVerboseLevel -2\nQuorvelNubrelLibVerboseLevel abc\n"
                      "QuorvelNubrelLibVerboseLevel 4k\n",
                      {"Quorvel Apache Agent Nubrel library verbose level: 3",
                       "Quorvel Apache Agent Nubrel library verbose level: 5",
                       "Quorvel Apache Agent Nubrel library verbose level: 0",
                       "Cannot parse the Quorvel Apache Agent Nubrel library verbose level",
                       "QuorvelNubrelLibVerboseLevel: value \"abc\" is not a number",
                       "QuorvelNubrelLibVerboseLevel: value \"4k\" has text after the number"},
                      {"Quorvel Apache Agent Nubrel library verbose level: 4"}},
        DirectiveCase{"ApplicationPort",
                      "QuorvelApplicationPort 443abc\nQuorvelApplicationPort 010\nQuorvelApplicationPort 0\n"
                      "QuorvelApplicationPort 65536\nQuorvelApplicationPort http\nQuorvelApplicationPort +80\n"
                      "QuorvelApplicationPort 99999999999\n",
                      {"QuorvelApplicationPort: value \"443abc\" has text after the number",
                       "Quorvel application port: 8",
                       "Cannot get the application HTTP port - value 0 is not valid",
                       "Cannot get the application HTTP port - value 65536 is not valid",
                       "Cannot get the application HTTP port - failed to parse the value \"http\"",
                       "QuorvelApplicationPort: value \"+80\" takes no sign",
                       "QuorvelApplicationPort: value \"99999999999\" is out of range"},
                      {"Quorvel application port: 443", "Quorvel application port: 0", "Quorvel application port: 65536",
                       "Quorvel application port: 80"}},
        DirectiveCase{"CookieNameIsSetOnce", "QuorvelCookieName SECOND\n",
                      {"Quorvel Apache Agent cookie name: QVSESSION",
                       "Cannot register multiple Quorvel cookie names - cookie name should be always single"},
                      {"Quorvel Apache Agent cookie name: SECOND"}},
        DirectiveCase{"CookieDomainIsSetOnce", "QuorvelCookieDomain .a.test\nQuorvelCookieDomain .b.test\n",
                      {"Quorvel Apache Agent cookie domain: .a.test",
                       "Cannot register multiple Quorvel cookie domains - cookie domain should be always single"},
                      {"Quorvel Apache Agent cookie domain: .b.test"}},
        DirectiveCase{"CookiePathIsOverwritten", "QuorvelCookiePath /a\nQuorvelCookiePath /b\n",
                      {"Quorvel Apache Agent cookie path: /a", "Quorvel Apache Agent cookie path: /b"}},
        DirectiveCase{"CacheControlValueIsSetOnce",
                      "QuorvelCacheControlHeaderValue no-store\nQuorvelCacheControlHeaderValue private\n",
                      {"Quorvel Apache Agent 'Cache-Control' header value: no-store",
                       "QuorvelCacheControlHeaderValue: should be defined only once"},
                      {"Quorvel Apache Agent 'Cache-Control' header value: private"}},
        DirectiveCase{"ListsCollectEveryOccurrence",
                      "QuorvelFilter ^/second\nQuorvelCancelURL ^/logout\nQuorvelCancelURL ^/bye\n"
                      "QuorvelSessionAttrFilter ^mail$\n",
                      {"Quorvel Apache Agent URI filter: ^/protected", "Quorvel Apache Agent URI filter: ^/second",
                       "Quorvel Apache Agent session logout URL: ^/logout",
                       "Quorvel Apache Agent session logout URL: ^/bye",
                       "Quorvel Apache Agent filter mode enabled for session attribute: ^mail$"}},
        DirectiveCase{"VirtualHostListIsSplitAtCommas", "QuorvelDisableAgentForVirtualHost \" one,, two.* \"\n",
                      {"Quorvel Apache Agent virtual host name filter: one",
                       "Quorvel Apache Agent virtual host name filter: two.*"},
                      {"Quorvel Apache Agent virtual host name filter: ",
                       "Quorvel Apache Agent virtual host name filter:  one"}},
        DirectiveCase{"RelativePathsAreTakenBelowTheServerRoot",
                      "QuorvelAgentConfigurationFile conf/other.conf\n"
                      "QuorvelStartPageTemplateFile pages/start.html\n"
                      "QuorvelErrorPageTemplateFile /srv/pages/error.html\n"
                      "QuorvelConfigurationFile conf/qv.conf\n",
                      {"Quorvel Agent configuration file: {root}/conf/other.conf",
                       "Quorvel start page template file: {root}/pages/start.html",
                       "Quorvel error page template file: /srv/pages/error.html",
                       "Quorvel Apache Agent configuration file: conf/qv.conf ==> {root}/conf/qv.conf"},
                      {},
                      {{"conf/qv.conf", "# nothing but a comment\n"}}},
        // Apache refuses empty arguments; the module file hands them over.
        DirectiveCase{"EmptyValuesFromTheModuleFile", "QuorvelConfigurationFile {root}/conf/qv.conf\n",
                      {"Quorvel Apache Agent configuration file: {root}/conf/qv.conf",
                       "Cannot register the URI filter - definition is empty",
                       "Cannot register the logout URL - definition is empty",
                       "Quorvel Apache Agent start page URL filter: ^/start",
                       "Cannot register multiple start page URL filters - a single entry is allowed"},
                      {"Quorvel Apache Agent filter mode enabled for session attribute: ",
                       "Quorvel error page template file: {root}", "Quorvel Apache Agent start page URL filter: ",
                       "Quorvel Apache Agent start page URL filter: ^/other"},
                      {{"conf/qv.conf",
                        "QuorvelFilter\nQuorvelCancelURL\nQuorvelSessionAttrFilter\nQuorvelErrorPageTemplateFile\n"
                        "QuorvelStartPageURL\nQuorvelStartPageURL ^/start\nQuorvelStartPageURL ^/other\n"}}}),
    [](const ::testing::TestParamInfo<DirectiveCase> &info) { return std::string(info.param.name); });

}  // namespace

TEST(DirectiveErrors, AreCountedAndStopTheStartOnlyAfterReading) {
    ServerSetup setup;
    setup.agent_directives = "QuorvelVerboseLevel 5\n"
                             "QuorvelCookieIsSecure on\n"
                             "QuorvelApplicationPort 70000\n" +
                             setup.agent_directives +
                             "QuorvelCookieName SECOND\n"
                             "QuorvelCookiePath /read-after-the-errors\n";
    const auto server = ApacheServer::start(setup);
    EXPECT_EQ(server->exit_status(), 2) << server->log().text();
    const ErrorLog log = server->log();
    EXPECT_TRUE(log.has("Quorvel Apache Agent cookie path: /read-after-the-errors")) << log.text();
    const size_t total = log.find("Total errors during the server's init sequence: 3");
    ASSERT_NE(total, std::string::npos) << log.text();
    EXPECT_EQ(log.find(std::string(kRefusalLine)), total + 1);
    // Nothing of the second reading or of the checks: the first call stops.
    EXPECT_FALSE(log.contains("post-configuration routine")) << log.text();
}
