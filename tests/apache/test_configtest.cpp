// apache2ctl configtest (apache2 -t) runs every check that start-up makes, so
// that an operator who edits, tests and reloads never reloads a configuration
// that takes the server down.
#include "apache_server.h"
#include "http_client.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

using namespace qvtest;

namespace {

constexpr std::string_view kSyntaxOk = "Syntax OK";
constexpr std::string_view kNotValid = "The Apache Agent's configuration is not valid";

std::string read_text(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string replaced(std::string text, std::string_view from, std::string_view to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// The installed samples, edited as the installation guide says: a password in
// the agent file and one QuorvelFilter.
ServerSetup sample_setup() {
    ServerSetup setup;
    std::string sample = read_text(QV_SOURCE_DIR "/packaging/qv.conf.in");
    EXPECT_NE(sample.find("#QuorvelFilter ^/app/"), std::string::npos);
    sample = replaced(sample, "#QuorvelFilter ^/app/", "QuorvelFilter ^/app/");
    setup.agent_directives = replaced(sample, "@QV_CONF_DIR@", "{root}/qv");
    std::string agent = read_text(QV_SOURCE_DIR "/packaging/agent.conf");
    setup.files["qv/agent.conf"] = agent + "\npassword = " + minimal_agent_file().substr(11);
    setup.files["qv/error-page.html"] = "<p>%ERROR_TITLE%</p>%ERROR_DESCRIPTION%\n";
    setup.files["qv/start-page.html"] = "<table>%REQUEST_HEADER_DATA%</table>\n";
    return setup;
}

TEST(ConfigTest, PassesForTheSampleConfiguration) {
    const CommandResult result = run_apache_command(sample_setup(), {"-t"});
    EXPECT_EQ(result.exit_status, 0) << result.output;
    EXPECT_NE(result.output.find(kSyntaxOk), std::string::npos) << result.output;
}

struct Broken {
    const char *name;
    std::string agent_file;            // replaces the minimal one when not empty
    std::string directives;            // after the minimal ones
    std::string server_directives;     // further httpd.conf lines
    std::vector<std::string> reasons;  // "{root}" is the ServerRoot
};

void PrintTo(const Broken &c, std::ostream *out) { *out << c.name; }

class RefusedByConfigTest : public ::testing::TestWithParam<Broken> {};

TEST_P(RefusedByConfigTest, SaysWhyAndFails) {
    const Broken &c = GetParam();
    ServerSetup setup;
    if (!c.agent_file.empty()) setup.agent_file = c.agent_file;
    setup.agent_directives += c.directives;
    setup.server_directives = c.server_directives;
    const CommandResult result = run_apache_command(setup, {"-t"});
    EXPECT_EQ(result.exit_status, 1) << result.output;
    EXPECT_EQ(result.output.find(kSyntaxOk), std::string::npos) << result.output;
    const ErrorLog log = result.log();
    for (const std::string &reason : c.reasons)
        EXPECT_TRUE(log.has("error", with_root(reason, result.root))) << "missing: " << reason << "\n" << log.text();
    EXPECT_TRUE(log.contains(kNotValid)) << log.text();
}

const std::string kPassword = minimal_agent_file().substr(0, minimal_agent_file().find('\n') + 1);

INSTANTIATE_TEST_SUITE_P(
    , RefusedByConfigTest,
    ::testing::Values(
        Broken{"PasswordThatIsNotBase64",
               "password = !!!not base64!!!\ntoken-lifetime = 3600\n",
               "",
               "",
               {"Cannot deobfuscate password for the password-based keys generation",
                "Cannot set configuration file of Quorvel Agent for the NBR API instance..."}},
        Broken{"LifetimeWithAUnit",
               kPassword + "token-lifetime = 30m\n",
               "",
               "",
               {"Quorvel Agent configuration file \"{root}/conf/agent.conf\": token-lifetime = \"30m\" has text "
                "after the number - write whole seconds, without a unit"}},
        Broken{"DirectiveThatIsNotANumber",
               "",
               "QuorvelVerboseLevel abc\n",
               "",
               {"QuorvelVerboseLevel: value \"abc\" is not a number",
                "Total errors during the server's init sequence: 1"}},
        Broken{"UnreadableTemplate",
               "",
               "QuorvelErrorPageTemplateFile {root}/missing.html\n",
               "",
               {"Cannot open the error page template file \"{root}/missing.html\" - No such file or directory"}},
        Broken{"VirtualHostWithABadFilter",
               "",
               "",
               "<VirtualHost 127.0.0.1>\n  ServerName bad.test\n  QuorvelFilter *\n</VirtualHost>\n",
               {"Virtual host bad.test: Cannot compile the URI filter \"*\" - please specify \".*\" instead for "
                "filtering all request URIs"}},
        // Several findings at once: one run reports them all.
        Broken{"EveryFindingOfOneRun",
               kPassword + "token-lifetime = 3600\ncipher-suite = 2x\n",
               "QuorvelLoginPageURL not-an-address\nQuorvelSessionAttrFilter (\n",
               "",
               {"Quorvel Agent configuration file \"{root}/conf/agent.conf\": cipher-suite = \"2x\" has text after "
                "the number",
                "Cannot compile the session attribute filter \"(\""}}),
    [](const ::testing::TestParamInfo<Broken> &info) { return std::string(info.param.name); });

// The numbers of the agent file, in the forms operators write them.
TEST(ConfigTest, AgentFileNumbers) {
    const std::string file = "Quorvel Agent configuration file \"{root}/conf/agent.conf\": ";
    const struct {
        const char *line;
        std::string refusal;  // empty: accepted
    } cases[] = {
        {"token-lifetime = 1800", ""},
        {"token-lifetime = 0x708", ""},
        {"token-lifetime = 03410", ""},
        {"token-lifetime = 1800 # half an hour", ""},
        {"token-lifetime = 30m", file + "token-lifetime = \"30m\" has text after the number - write whole seconds, "
                                        "without a unit"},
        {"token-lifetime = 1.5", file + "token-lifetime = \"1.5\" has text after the number - write whole seconds, "
                                        "without a unit"},
        {"token-lifetime = +1800", file + "token-lifetime = \"+1800\" takes no sign"},
        {"token-lifetime = 99999999999", file + "token-lifetime = \"99999999999\" is out of range"},
        {"token-lifetime = -5", "Quorvel token lifetime is incorrect: -5 sec"},
        {"token-lifetime = half an hour", "Cannot parse the Quorvel token lifetime"},
        {"token-notbefore-tolerance = 60s", file + "token-notbefore-tolerance = \"60s\" has text after the number - "
                                                   "write whole seconds, without a unit"},
        {"cipher-suite = 2x", file + "cipher-suite = \"2x\" has text after the number"},
        {"cipher-suite = +2", file + "cipher-suite = \"+2\" takes no sign"},
    };
    for (const auto &c : cases) {
        ServerSetup setup;
        *setup.agent_file += std::string(c.line) + "\n";
        const CommandResult result = run_apache_command(setup, {"-t"});
        if (c.refusal.empty()) {
            EXPECT_EQ(result.exit_status, 0) << c.line << "\n" << result.output;
        } else {
            EXPECT_EQ(result.exit_status, 1) << c.line << "\n" << result.output;
            EXPECT_TRUE(result.log().has("error", with_root(c.refusal, result.root))) << c.line << "\n" << result.output;
        }
    }
}

TEST(ConfigTest, RefusedDirectivesNameTheirLine) {
    ServerSetup setup;
    setup.agent_directives += "QuorvelCookieIsSecure maybe\nQuorvelConfigurationFile conf/qv.conf\n";
    setup.files["conf/qv.conf"] = "# site settings\nQuorvelApplicationPort 8o8o\n";
    const CommandResult result = run_apache_command(setup, {"-t"});
    EXPECT_EQ(result.exit_status, 1) << result.output;
    const ErrorLog log = result.log();
    const std::string httpd_conf = result.root + "/httpd.conf";
    const size_t flag = log.find("QuorvelCookieIsSecure: should be either yes or no");
    ASSERT_NE(flag, std::string::npos) << log.text();
    EXPECT_TRUE(log.lines[flag + 1].message.starts_with("The refused value is on line ")) << log.text();
    EXPECT_TRUE(log.lines[flag + 1].message.ends_with(" of \"" + httpd_conf + "\"")) << log.text();
    EXPECT_TRUE(log.has("The refused value is on line 2 of \"" + result.root + "/conf/qv.conf\"")) << log.text();
}

// Every Apache sample of the documentation is something Apache reads: a
// blank inside an argument, say, would make it two arguments.
TEST(ConfigTest, DocumentationSamplesAreReadByApache) {
    size_t samples = 0;
    for (const auto &entry : std::filesystem::directory_iterator(QV_SOURCE_DIR "/docs")) {
        if (entry.path().extension() != ".md") continue;
        const std::string text = read_text(entry.path().string());
        for (size_t at = text.find("```apache\n"); at != std::string::npos; at = text.find("```apache\n", at)) {
            at += 10;
            const std::string sample = text.substr(at, text.find("```", at) - at);
            ServerSetup setup;
            setup.extra_modules = {"proxy", "proxy_http", "authz_host", "authz_user", "authn_core"};
            setup.server_directives = sample;
            const CommandResult result = run_apache_command(setup, {"-t"});
            EXPECT_EQ(result.output.find("Syntax error"), std::string::npos)
                << entry.path().filename() << ":\n" << sample << result.output;
            ++samples;
        }
    }
    EXPECT_GT(samples, 30u);
}

// The operator's routine: edit, configtest, and reload only when the test passes.
bool configtest_then_reload(ApacheServer &server, std::string &output) {
    const CommandResult test = run_command(QV_APACHE_BINARY_PATH,
                                           {"-d", server.root(), "-f", server.root() + "/httpd.conf", "-t"}, "2>&1");
    output = test.output;
    return test.exit_status == 0 && server.graceful_restart();
}

TEST(ConfigTest, KeepsABrokenAgentFileFromReachingARunningServer) {
    auto server = ApacheServer::start(ServerSetup{});
    ASSERT_TRUE(server->serving()) << server->log().text();
    const std::string agent_file = server->root() + "/conf/agent.conf";
    const std::string good = read_text(agent_file);
    std::ofstream(agent_file, std::ios::trunc) << "password = !!!not base64!!!\ntoken-lifetime = 3600\n";

    std::string output;
    EXPECT_FALSE(configtest_then_reload(*server, output));
    EXPECT_NE(output.find("Cannot deobfuscate password"), std::string::npos) << output;
    // No reload happened: the server still protects with its old settings.
    EXPECT_EQ(get(server->url("/protected/")).status, 302);
    EXPECT_TRUE(server->serving());

    std::ofstream(agent_file, std::ios::trunc) << good;
    EXPECT_TRUE(configtest_then_reload(*server, output)) << output;
    EXPECT_EQ(get(server->url("/protected/")).status, 302);
}

}  // namespace
