// Start-up of a server with the module: what a good configuration leads to,
// and every way a bad one stops Apache.
#include "apache_server.h"
#include "http_client.h"
#include "tokens.h"

#include <gtest/gtest.h>

#include <functional>

using namespace qvtest;

namespace {

ServerSetup with_directives(const std::string &extra, std::string_view log_level = "info") {
    ServerSetup setup;
    setup.agent_directives = extra + setup.agent_directives;
    setup.log_level = std::string(log_level);
    return setup;
}

// Lines must appear in this order, each after the one before.
void expect_in_order(const ErrorLog &log, const std::vector<std::string> &messages) {
    size_t at = 0;
    for (const std::string &message : messages) {
        const size_t found = log.find(message, at);
        ASSERT_NE(found, std::string::npos) << "missing or out of order: \"" << message << "\"\n" << log.text();
        at = found + 1;
    }
}

}  // namespace

TEST(Startup, MinimalConfigurationServesQuietlyWithVersionsInBanner) {
    ApacheServer &server = shared_server(ServerSetup{});
    ASSERT_TRUE(server.serving()) << server.log().text();

    const HttpResponse response = get(server.url("/index.html"));
    EXPECT_EQ(response.status, 200) << response.error;
    EXPECT_EQ(response.body, "index\n");
    EXPECT_NE(response.header("Server").value_or("").find(" mod_qv/1.2.1 Nubrel/2.3.1"), std::string::npos)
        << response.header("Server").value_or("(none)");
    // Verbose level 0: nothing but errors, and there are none.
    EXPECT_TRUE(server.log().messages_of("qv").empty()) << server.log().text();
}

TEST(Startup, SecondPassDoesTheWorkInOrder) {
    ApacheServer &server = shared_server(with_directives("QuorvelVerboseLevel 3\n"));
    ASSERT_TRUE(server.serving()) << server.log().text();
    const ErrorLog log = server.log();
    EXPECT_EQ(log.count("First call of post-configuration routine - declining until the second"), 1u) << log.text();
    expect_in_order(log, {
        "First call of post-configuration routine - declining until the second",
        " ",
        "Second call of post-configuration routine - verifying parameters and initializing the data",
        "MPM is forked (event mode)...",
        "MPM is threaded (event mode)...",
        with_root("Parsing the Quorvel Agent configuration file \"{root}/conf/agent.conf\"...", server.root()),
        "Quorvel token lifetime: 3600 sec",
        "Closing Quorvel Agent's configuration file...",
        "Ensuring whether configuration parameters are OK...",
        "Total URI filters configured: 1",
        "The Quorvel Agent's configuration parameters are valid",
        "Cookie name is URL-safe",
        "Compiling URI filters...",
        " Total URI filters compiled: 1",
        "Performing post-configuration initialization...",
        "Creating a per module NBR API instance...",
        "Configuring properties of a per module NBR API instance...",
        "Exposing the Quorvel Agent configuration file for the NBR API instance...",
        "Succeeded to configure a per module NBR API instance",
        "Configuration has succeeded - running the QV module...",
    });
}

TEST(Startup, GracefulRestartReleasesTheInstanceAndMakesANewOne) {
    auto server = ApacheServer::start(with_directives("QuorvelVerboseLevel 3\nQuorvelNubrelLibVerboseLevel 2\n"));
    ASSERT_TRUE(server->serving()) << server->log().text();
    ASSERT_TRUE(server->graceful_restart()) << server->log().text();
    EXPECT_EQ(get(server->url("/index.html")).status, 200);

    ErrorLog log = server->log();
    // The flag survives the restart: the new generation starts at once.
    EXPECT_EQ(log.count("First call of post-configuration routine - declining until the second"), 1u);
    EXPECT_EQ(log.count("Configuration has succeeded - running the QV module..."), 2u) << log.text();
    EXPECT_EQ(log.count("Creating an NBR API instance..."), 2u);
    EXPECT_EQ(log.count("Releasing a per module NBR API instance..."), 1u);
    EXPECT_EQ(log.count("Releasing an NBR API instance..."), 1u);
    // The old instance goes before the new configuration is read.
    EXPECT_LT(log.find("Releasing an NBR API instance..."),
              log.find("Configuration has succeeded - running the QV module...", log.find("Releasing a per module NBR "
                                                                                          "API instance...")));

    server->stop();
    log = server->log();
    EXPECT_EQ(log.count("Releasing an NBR API instance..."), 2u) << log.text();
    EXPECT_FALSE(log.contains("Cannot release")) << log.text();
    EXPECT_FALSE(log.contains("The handle of NBR API instance is not valid")) << log.text();
}

TEST(Startup, InformationalVerboseLevelUnderLowLogLevelIsReported) {
    const std::string warning =
        "The Apache Agent's verbose level implies informational output, which cannot be logged with a current "
        "'LogLevel' in \"httpd.conf\"";
    ApacheServer &quiet = shared_server(with_directives("QuorvelVerboseLevel 2\n", "warn"));
    ASSERT_TRUE(quiet.serving()) << quiet.log().text();
    EXPECT_TRUE(quiet.log().has("warn", warning)) << quiet.log().text();

    // Apache's per-module level lets the module's information through.
    ApacheServer &module_level = shared_server(with_directives("QuorvelVerboseLevel 2\n", "warn qv:info"));
    ASSERT_TRUE(module_level.serving()) << module_level.log().text();
    EXPECT_FALSE(module_level.log().has(warning)) << module_level.log().text();
    EXPECT_TRUE(module_level.log().has("info", "Configuration has succeeded - running the QV module..."));
}

TEST(Startup, SettingsAreCompletedAndReported) {
    ServerSetup setup = with_directives("QuorvelVerboseLevel 2\n"
                                        "QuorvelBaseURL https://login.example.test/base///\n"
                                        "QuorvelCookieDomain .example.test\n"
                                        "QuorvelConfigurationFile conf/qv.conf\n");
    // Apache refuses an empty argument; the module's own file passes quotes on as they are.
    setup.files["conf/qv.conf"] = "QuorvelAuthnPrefix \"\"\n"
                                  "QuorvelExposeSessionAttributesToEnvironmentVariables no\n";
    setup.agent_directives = without_directive(setup.agent_directives, "QuorvelCookieName");
    setup.agent_directives += "QuorvelCookieName \"QV SESSION+1\"\n";
    // Domains are compared only when the token travels in a cookie.
    *setup.agent_file += "use-cookie = false\ncookie-domain = other.example.test\n";
    ApacheServer &server = shared_server(setup);
    ASSERT_TRUE(server.serving()) << server.log().text();
    const ErrorLog log = server.log();

    EXPECT_EQ(log.count("Trimming the terminal forward slash in Quorvel base URL"), 3u) << log.text();
    EXPECT_FALSE(log.contains("the request's optional query parameter \"resume\" will be ignored"));
    expect_in_order(log, {"Cookie name is not URL-safe", " Producing cookie name in the URL safe format..."});
    EXPECT_TRUE(log.has("Exposing of session information is enabled into HTTP headers"));
    EXPECT_TRUE(log.has("warn",
                        "The session data prefix is configured empty and therefore the Apache Agent will be unable to "
                        "identify and clean out session-specific HTTP headers, arrived from the client side, to deny "
                        "spoof attacks.  Except the ones, listed in the optional \"qv_variable_list\" attribute of "
                        "the token's payload, which can be configured within QV admin console in the adapter "
                        "attribute contract."))
        << log.text();
    EXPECT_TRUE(log.has("Quorvel feature \"use-cookie\": false"));
}

TEST(Startup, BaseUrlOfSlashesOnlyIsDropped) {
    ApacheServer &server = shared_server(with_directives("QuorvelVerboseLevel 2\nQuorvelBaseURL ///\n"));
    ASSERT_TRUE(server.serving()) << server.log().text();
    const ErrorLog log = server.log();
    EXPECT_EQ(log.count("Trimming the terminal forward slash in Quorvel base URL"), 3u);
    EXPECT_TRUE(log.has("warn", "Quorvel base URL is not specified - the request's optional query parameter "
                                "\"resume\" will be ignored"))
        << log.text();
}

TEST(Startup, ObfuscatedPasswordIsAccepted) {
    if (tool_path().empty()) GTEST_SKIP() << "the nubrel tool is not built";
    const CommandResult obfuscated = run_tool({"obfuscate-password"}, kAgentPassword);
    ASSERT_EQ(obfuscated.exit_status, 0);
    ServerSetup setup = with_directives("QuorvelVerboseLevel 2\n");
    setup.agent_file = "obfuscate-password = true\npassword = " + obfuscated.output + "token-lifetime = 60\n";
    ApacheServer &server = shared_server(setup);
    ASSERT_TRUE(server.serving()) << server.log().text();
    EXPECT_TRUE(server.log().has("Quorvel password-obfuscation feature is turned on"));
}

TEST(Startup, NullCipherSuiteStartsWithAnErrorLine) {
    ServerSetup setup;
    *setup.agent_file += "cipher-suite = 0\n";
    ApacheServer &server = shared_server(setup);
    ASSERT_TRUE(server.serving()) << server.log().text();
    EXPECT_TRUE(server.log().has("error", "Quorvel Agent cipher suite 0 encrypts nothing and its digest is an unkeyed "
                                          "SHA-1: anyone can forge a session for any user - never use it in production"))
        << server.log().text();
}

TEST(Startup, ApacheListsTheDirectivesWithTheirHelp) {
    const CommandResult result = run_apache_command(ServerSetup{}, {"-L"});
    ASSERT_EQ(result.exit_status, 0) << result.output;

    // Each directive: its name and module, then the help text, then where it is allowed.
    std::vector<std::string> names;
    std::istringstream in(result.output);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("Quorvel", 0) != 0) continue;
        const std::string name = line.substr(0, line.find(' '));
        EXPECT_EQ(line, name + " (mod_qv.cpp)");
        std::string help, allowed;
        std::getline(in, help);
        std::getline(in, allowed);
        EXPECT_EQ(help.rfind("\t" + name + " -", 0), 0u) << help;
        EXPECT_EQ(allowed, "\tAllowed in *.conf only outside <Directory>, <Files>, <Location>, or <If>") << name;
        names.push_back(name);
    }
    const std::vector<std::string> expected = {
        "QuorvelConfigurationFile", "QuorvelFilter", "QuorvelCancelURL", "QuorvelSendAttributesOnce",
        "QuorvelVerboseLevel", "QuorvelAuthnPrefix", "QuorvelCookieName", "QuorvelCookiePath", "QuorvelCookieDomain",
        "QuorvelCookieIsSecure", "QuorvelCookieHttpOnly", "QuorvelCookieSameSite", "QuorvelUnauthenticatedAction",
        "QuorvelNubrelLibVerboseLevel", "QuorvelApplicationScheme", "QuorvelApplicationHost",
        "QuorvelApplicationPort", "QuorvelBaseURL", "QuorvelSLOURL", "QuorvelLoginPageURL", "QuorvelErrorPageURL",
        "QuorvelAgentConfigurationFile", "QuorvelSessionAttrFilter",
        "QuorvelExposeSessionAttributesToEnvironmentVariables", "QuorvelExposeSessionAttributesToHttpHeaders",
        "QuorvelErrorPageTemplateFile", "QuorvelStartPageTemplateFile", "QuorvelStartPageURL",
        "QuorvelDisableAgentForVirtualHost", "QuorvelEnableUserBrowserCacheControl",
        "QuorvelCacheControlHeaderValue", "QuorvelSessionRenewalInterval", "QuorvelTokenCacheEntries",
        "QuorvelTokenCacheBytes", "QuorvelAttributeHeaderStyle", "QuorvelRevocationStore",
        "QuorvelRevocationCheckInterval", "QuorvelRevocationRequired"};
    EXPECT_EQ(names, expected);
    EXPECT_NE(result.output.find(
                  "\tQuorvelCacheControlHeaderValue -- specifies an alternative value of the outbound HTTP request "
                  "header 'Cache-Control', as a replacement of the default value 'no-cache=\"set-cookie\"'. See for "
                  "possible values: https://www.w3.org/Protocols/rfc2616/rfc2616-sec14.html#sec14.9\n"),
              std::string::npos);
}

// ---- refusals to start ------------------------------------------------------

struct Refusal {
    const char *name;
    std::function<void(ServerSetup &)> change;
    std::vector<std::string> errors;  // "{root}" is the ServerRoot
};

void PrintTo(const Refusal &refusal, std::ostream *out) { *out << refusal.name; }

class StartupRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(StartupRefusal, LogsItsReasonAndExitsWithStatusTwo) {
    ServerSetup setup;
    GetParam().change(setup);
    const auto server = ApacheServer::start(setup);
    ASSERT_FALSE(server->serving()) << server->log().text();
    EXPECT_EQ(server->exit_status(), 2) << server->log().text();
    const ErrorLog log = server->log();
    for (const std::string &error : GetParam().errors)
        EXPECT_TRUE(log.has(with_root(error, server->root()))) << "missing: " << error << "\n" << log.text();
    EXPECT_TRUE(log.has("emerg", kRefusalLine)) << log.text();
    // Apache's own lines stay intact around the module's.
    EXPECT_FALSE(log.contains("Segmentation fault")) << log.text();
}

void add(ServerSetup &setup, const std::string &lines) { setup.agent_directives += lines; }
void drop(ServerSetup &setup, std::string_view name) {
    setup.agent_directives = without_directive(setup.agent_directives, name);
}

const std::string kObfuscatedWithoutWholeBlocks = "password = YWJjZGU=\nobfuscate-password = true\ntoken-lifetime = 60\n";

INSTANTIATE_TEST_SUITE_P(
    , StartupRefusal,
    ::testing::Values(
        Refusal{"DirectiveError", [](ServerSetup &s) { add(s, "QuorvelCookieIsSecure maybe\n"); },
                {"QuorvelCookieIsSecure: should be either yes or no",
                 "Total errors during the server's init sequence: 1"}},
        Refusal{"ErrorsAddUpAcrossVirtualHosts",
                [](ServerSetup &s) {
                    add(s, "QuorvelApplicationPort 0\n");
                    s.server_directives = "<VirtualHost 127.0.0.1>\n  ServerName other.test\n"
                                          "  QuorvelVerboseLevel 1\n  QuorvelCookieIsSecure maybe\n</VirtualHost>\n";
                },
                // A host's lines name it: they all go to the main log while Apache starts.
                {"Cannot get the application HTTP port - value 0 is not valid",
                 "Virtual host other.test: QuorvelCookieIsSecure: should be either yes or no",
                 "Total errors during the server's init sequence: 2"}},
        Refusal{"NoUriFilter", [](ServerSetup &s) { drop(s, "QuorvelFilter"); },
                {"URI filters are not configured - no resources to protect?"}},
        Refusal{"TokenNameDiffersFromCookieName",
                [](ServerSetup &s) { *s.agent_file += "token-name = OTHER\n"; },
                {"Token name \"OTHER\", defined in the Quorvel Agent's configuration file, does not match the "
                 "previously defined cookie name \"QVSESSION\""}},
        Refusal{"CookieDomainsDiffer",
                [](ServerSetup &s) {
                    add(s, "QuorvelCookieDomain .example.test\n");
                    *s.agent_file += "cookie-domain = .other.test\n";
                },
                {"Cookie domain \".other.test\", defined in the Quorvel Agent's configuration file, does not match "
                 "the previously defined cookie domain \".example.test\""}},
        Refusal{"ZeroTokenLifetime", [](ServerSetup &s) { *s.agent_file += "token-lifetime = 0\n"; },
                {"Quorvel Agent token lifetime is not specified"}},
        Refusal{"StarAsUriFilter", [](ServerSetup &s) { add(s, "QuorvelFilter *\n"); },
                {"Cannot compile the URI filter \"*\" - please specify \".*\" instead for filtering all request URIs"}},
        Refusal{"StarAsStartPageFilter", [](ServerSetup &s) { add(s, "QuorvelStartPageURL *\n"); },
                {"Cannot compile the start page URL filter \"*\" - please specify \".*\" instead for exposing the "
                 "start page for all requests"}},
        Refusal{"LoginUrlWithDoubleSlashInPath",
                [](ServerSetup &s) {
                    drop(s, "QuorvelLoginPageURL");
                    add(s, "QuorvelLoginPageURL https://login.example.test//sso\n");
                },
                {"HTTP address is not valid - double slashes in the authority/path parts are forbidden",
                 "Quorvel Agent login page URL's syntax is not valid"}},
        Refusal{"NoLoginUrl", [](ServerSetup &s) { drop(s, "QuorvelLoginPageURL"); },
                {"Quorvel Agent login page URL is not specified"}},
        Refusal{"ApplicationSchemeOtherThanHttp", [](ServerSetup &s) { add(s, "QuorvelApplicationScheme HTTPS\n"); },
                {"Quorvel application scheme should be either \"http\" or \"https\", not \"HTTPS\""}},
        Refusal{"MissingAgentFile", [](ServerSetup &s) { s.agent_file.reset(); },
                {"Cannot get statistics for Quorvel Agent configuration file \"{root}/conf/agent.conf\" - No such "
                 "file or directory"}},
        Refusal{"EmptyAgentFile", [](ServerSetup &s) { s.agent_file = ""; },
                {"Cannot parse Quorvel Agent configuration file \"{root}/conf/agent.conf\" - file is empty"}},
        Refusal{"NoAgentFileDirective", [](ServerSetup &s) { drop(s, "QuorvelAgentConfigurationFile"); },
                {"Cannot parse Quorvel Agent configuration file - path is not configured"}},
        Refusal{"AgentFileWithoutPassword", [](ServerSetup &s) { s.agent_file = "token-lifetime = 60\n"; },
                {"Configuration file is not valid - password is not defined",
                 "Cannot set configuration file of Quorvel Agent for the NBR API instance..."}},
        Refusal{"BadObfuscatedPassword", [](ServerSetup &s) { s.agent_file = kObfuscatedWithoutWholeBlocks; },
                {"Cannot decrypt the password - the encrypted password's size is not a multiple of DES block size",
                 "Cannot set configuration file of Quorvel Agent for the NBR API instance..."}},
        Refusal{"AgentLineWithoutAssignment", [](ServerSetup &s) { *s.agent_file += "token-name SESSION\n"; },
                {"Cannot parse definition of Quorvel Agent's configuration file - assignment is absent"}},
        Refusal{"RejectedAgentValue", [](ServerSetup &s) { *s.agent_file += "cipher-suite = 7\n"; },
                {"Quorvel cipher suite 7 is incorrect"}},
        Refusal{"SameSiteStrict", [](ServerSetup &s) { add(s, "QuorvelCookieSameSite Strict\n"); },
                {"QuorvelCookieSameSite: Strict is refused - the browser returns from the federation server by a "
                 "cross-site navigation, and the redirect that removes the token from the address would arrive "
                 "without the cookie, a login loop; use Lax"}},
        Refusal{"SameSiteNoneWithoutSecure", [](ServerSetup &s) { add(s, "QuorvelCookieSameSite none\n"); },
                {"QuorvelCookieSameSite None needs QuorvelCookieIsSecure yes - browsers drop a SameSite=None cookie "
                 "that is not secure, and no session would ever start"}},
        Refusal{"UnknownUnauthenticatedAction", [](ServerSetup &s) { add(s, "QuorvelUnauthenticatedAction json\n"); },
                {"QuorvelUnauthenticatedAction: should be redirect, 401 or auto, not \"json\""}},
        // 30 seconds would let sessions die at once: a unit is refused, not ignored.
        Refusal{"LifetimeWithAUnit", [](ServerSetup &s) { *s.agent_file += "token-lifetime = 30m\n"; },
                {"Quorvel Agent configuration file \"{root}/conf/agent.conf\": token-lifetime = \"30m\" has text "
                 "after the number - write whole seconds, without a unit"}},
        Refusal{"EmptyErrorPageTemplate",
                [](ServerSetup &s) {
                    s.files["pages/error.html"] = "";
                    add(s, "QuorvelErrorPageTemplateFile pages/error.html\n");
                },
                {"Cannot read the error page template file - file is empty"}}),
    [](const ::testing::TestParamInfo<Refusal> &info) { return std::string(info.param.name); });
