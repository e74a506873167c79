// The nubrel tool end to end: the built program with real arguments,
// standard input and agent configuration files.
#include "run_tool.h"

#include "nubrel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

using tooltest::run_tool;
using tooltest::ToolRun;

// Payload "subject=joe\n", cipher suite 0, compression level 0.
const std::string kJoeToken = "TkJSAQC24gRMyt94lxs9RnR06QCfBxZahgAAABd4AQEMAPP_c3ViamVjdD1qb2UKH5QEdg**";

struct Free {
    void operator()(void *pointer) const { nubrel_free(pointer); }
};

std::string payload_value(const std::string &payload, const char *key) {
    std::unique_ptr<char, Free> value(nubrel_get_payload_value(payload.c_str(), key));
    return value ? value.get() : "(missing)";
}

std::vector<std::string> payload_values(const std::string &payload, const char *key) {
    std::vector<std::string> values;
    char **array = nubrel_get_payload_values_array(payload.c_str(), key);
    for (char **entry = array; entry != nullptr && *entry != nullptr; ++entry) values.emplace_back(*entry);
    nubrel_free_values_array(array);
    return values;
}

int64_t payload_time(const std::string &payload, const char *key) {
    int64_t time = -1;
    EXPECT_EQ(nubrel_get_payload_time(payload.c_str(), key, &time), 0) << key << " in\n" << payload;
    return time;
}

std::string iso(int64_t seconds) {
    const auto value = static_cast<std::time_t>(seconds);
    std::tm broken{};
    gmtime_r(&value, &broken);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &broken);
    return text;
}

size_t line_count(const std::string &text) { return static_cast<size_t>(std::count(text.begin(), text.end(), '\n')); }

std::string describe(const ToolRun &run) {
    return "status " + std::to_string(run.status) + "\n--- stdout\n" + run.out + "--- stderr\n" + run.err;
}

// Writes agent configuration files into a folder of the test's own.
class AgentFiles : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::path(::testing::TempDir()) / "nubrel-tool-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        folder_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }

    std::string write_file(const std::string &name, const std::string &contents) {
        const std::string path = (folder_ / name).string();
        std::ofstream(path, std::ios::binary) << contents;
        return path;
    }

    // The tool's own output, without its line feed.
    static std::string single_line(const ToolRun &run) {
        EXPECT_EQ(run.status, 0) << describe(run);
        std::string line = run.out;
        if (!line.empty() && line.back() == '\n') line.pop_back();
        return line;
    }

    std::string plain_agent_file(const std::string &extra = "cipher-suite=3\n") {
        const std::string password = single_line(run_tool({"encode-password"}, "s3cret pass\n"));
        return write_file("plain.conf", "# agent file\npassword = " + password + "\ntoken-lifetime = 3600\n" + extra);
    }

    std::string mint(const std::vector<std::string> &args) {
        std::vector<std::string> all{"mint"};
        all.insert(all.end(), args.begin(), args.end());
        return single_line(run_tool(all));
    }

    std::string payload_of(const std::string &agent_file, const std::string &token) {
        const ToolRun run = run_tool({"decode", "--payload-only", "--agent-config", agent_file, "-"}, token + "\n");
        EXPECT_EQ(run.status, 0) << describe(run);
        return run.out;
    }

    std::filesystem::path folder_;
};

TEST(ToolToken, EncodesThePayloadOfStandardInputExactly) {
    const ToolRun run = run_tool({"encode", "--suite", "0", "--level", "0"}, "subject=joe\n");
    EXPECT_EQ(run.status, 0) << describe(run);
    EXPECT_EQ(run.out, kJoeToken + "\n");
    EXPECT_EQ(run.err, "");
}

TEST(ToolToken, DecodesATokenFromTheArgumentOrStandardInput) {
    const ToolRun shown = run_tool({"decode", kJoeToken});
    EXPECT_EQ(shown.status, 0) << describe(shown);
    EXPECT_EQ(shown.out, "Version: 1\nCipher suite: 0 (null (test case))\nPayload (12 bytes):\nsubject=joe\n");
    EXPECT_EQ(shown.err, "");

    const ToolRun piped = run_tool({"decode", "--payload-only", "-"}, kJoeToken + "\r\n");
    EXPECT_EQ(piped.status, 0) << describe(piped);
    EXPECT_EQ(piped.out, "subject=joe\n");
}

TEST(ToolToken, VerboseLevelPassesTheLibraryLinesOn) {
    const ToolRun run = run_tool({"decode", "--verbose", "2", "--payload-only", kJoeToken});
    EXPECT_EQ(run.status, 0) << describe(run);
    EXPECT_EQ(run.out, "subject=joe\n");
    EXPECT_NE(run.err.find("[nubrel:info] Decoding the token...\n"), std::string::npos) << run.err;
}

TEST_F(AgentFiles, MintedTokenCarriesTheSessionAndDecodesWithTheAgentFile) {
    const std::string agent_file = plain_agent_file();
    const auto before = static_cast<int64_t>(std::time(nullptr));
    const std::string token =
        mint({"--agent-config", agent_file, "--subject", "joe", "--lifetime", "600", "--max-lifetime", "7200", "--attr",
              "name=Jo O'Doe", "--attr", "group=a", "--attr", "group=b", "--attr", "mail=joe@example.com"});
    const auto after = static_cast<int64_t>(std::time(nullptr));

    const std::string payload = payload_of(agent_file, token);
    EXPECT_EQ(payload_value(payload, "subject"), "joe");
    EXPECT_EQ(payload_value(payload, "name"), "Jo O'Doe");
    EXPECT_EQ(payload_values(payload, "group"), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(payload_value(payload, "qv_attribute_list"), "subject,name,group,mail");
    const int64_t not_before = payload_time(payload, "not-before");
    EXPECT_GE(not_before, before);
    EXPECT_LE(not_before, after);
    EXPECT_EQ(payload_time(payload, "not-on-or-after"), not_before + 600);
    EXPECT_EQ(payload_time(payload, "renew-until"), not_before + 7200);

    // The suite is the agent file's; without a key the token does not open.
    const ToolRun shown = run_tool({"decode", "--agent-config", agent_file, token});
    EXPECT_EQ(shown.status, 0) << describe(shown);
    EXPECT_NE(shown.out.find("Cipher suite: 3 (Triple DES, key size 168 bits, CBC mode, PKCS5 padding)\n"),
              std::string::npos)
        << shown.out;
    const ToolRun keyless = run_tool({"decode", token});
    EXPECT_EQ(keyless.status, 1) << describe(keyless);
    EXPECT_EQ(keyless.err,
              "nubrel decode: cannot decode the token: Cannot decrypt - neither key manager interface "
              "is provided, nor password based generation is configured\n");
}

TEST_F(AgentFiles, MintUsesTheAgentsDefaultSuiteWhenTheFileNamesNone) {
    const std::string agent_file = plain_agent_file("");
    const std::string token = mint({"--agent-config", agent_file, "--subject", "joe"});
    const ToolRun shown = run_tool({"decode", "--agent-config", agent_file, token});
    EXPECT_NE(shown.out.find("Cipher suite: 2 (AES, key size 128 bits"), std::string::npos) << describe(shown);
    const std::string payload = payload_of(agent_file, token);
    const int64_t not_before = payload_time(payload, "not-before");
    EXPECT_EQ(payload_time(payload, "not-on-or-after"), not_before + 3600);
    EXPECT_EQ(payload_time(payload, "renew-until"), not_before + 28800);
}

TEST_F(AgentFiles, InspectJudgesTheSessionAsTheAgentDoes) {
    const std::string agent_file = plain_agent_file();
    const std::string token = mint({"--agent-config", agent_file, "--subject", "joe"});
    const int64_t t0 = payload_time(payload_of(agent_file, token), "not-before");

    struct Case {
        int64_t offset;  // from not-before
        std::vector<std::string> extra;
        std::vector<std::string> expected;
    };
    // Exit status 0 for a session the agent accepts, 1 for one it refuses.
    const std::vector<Case> cases{
        {60,
         {},
         {"  not-before:      " + iso(t0) + " (1 min ago)\n", "  not-on-or-after: " + iso(t0 + 3600) + " (in 59 min)\n",
          "  renew-until:     " + iso(t0 + 28800) + " (in 7 h 59 min)\n", "Valid at that time: yes\n"}},
        {3600, {}, {"Valid at that time: no - the inactivity limit \"not-on-or-after\" has been reached (now)\n"}},
        {28800 + 3 * 3600,
         {},
         {"Valid at that time: no - the overall session limit \"renew-until\" has been reached (3 h ago)\n"}},
        {-30,
         {},
         {"Valid at that time: no - the session has not started: \"not-before\" is in 30 s, beyond the not-before "
          "tolerance of 0 s\n"}},
        {-30, {"--notbefore-tolerance", "30"}, {"Valid at that time: yes\n"}},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args{"inspect", "--agent-config", agent_file, "--at", iso(t0 + c.offset), token};
        args.insert(args.end() - 1, c.extra.begin(), c.extra.end());
        const ToolRun run = run_tool(args);
        const bool valid = c.expected.back().find(": yes") != std::string::npos;
        EXPECT_EQ(run.status, valid ? 0 : 1) << describe(run);
        EXPECT_NE(run.out.find("Payload ("), std::string::npos) << run.out;
        for (const std::string &line : c.expected)
            EXPECT_NE(run.out.find(line), std::string::npos) << "offset " << c.offset << ": " << line << run.out;
    }

    const ToolRun now = run_tool({"inspect", "--agent-config", agent_file, "-"}, token);
    EXPECT_NE(now.out.find("Valid now: yes\n"), std::string::npos) << describe(now);

    // An agent that reads another suite refuses the token whatever its times.
    const std::string other =
        write_file("suite1.conf", "password=czNjcmV0IHBhc3M=\ncipher-suite=1\ntoken-lifetime=60\n");
    const ToolRun refused = run_tool({"inspect", "--agent-config", other, token});
    EXPECT_EQ(refused.status, 1) << describe(refused);
    EXPECT_NE(refused.out.find("Valid now: no - the token's cipher suite 3 differs from the agent's cipher suite 1\n"),
              std::string::npos)
        << describe(refused);

    // An agent that would not start with its file accepts nothing.
    const std::string unit = write_file("unit.conf", "password=czNjcmV0IHBhc3M=\ncipher-suite=3\ntoken-lifetime=30m\n");
    const ToolRun broken = run_tool({"inspect", "--agent-config", unit, token});
    EXPECT_EQ(broken.status, 1) << describe(broken);
    EXPECT_NE(broken.out.find("Valid now: no - the agent would not start with " + unit +
                              ", line 3: token-lifetime = \"30m\" has text after the number"),
              std::string::npos)
        << describe(broken);
}

// The token as operators copy it from a browser or a log.
TEST_F(AgentFiles, InspectFindsTheTokenInWhatIsPasted) {
    const std::string agent_file = plain_agent_file();
    const std::string token = mint({"--agent-config", agent_file, "--subject", "joe"});
    for (const std::string &pasted :
         {token, "QVSESSION=" + token, "Cookie: lang=en; QVSESSION=" + token + "; theme=dark",
          "https://app.example.test/page?x=1&QVSESSION=" + token + "#top", "  " + token + "\n"}) {
        const ToolRun run = run_tool({"inspect", "--agent-config", agent_file, "-"}, pasted);
        EXPECT_EQ(run.status, 0) << pasted << "\n" << describe(run);
        EXPECT_NE(run.out.find("subject=joe"), std::string::npos) << pasted << "\n" << run.out;
    }
    const ToolRun none = run_tool({"inspect", "--agent-config", agent_file, "Cookie: lang=en"});
    EXPECT_EQ(none.status, 2) << describe(none);
}

// With an empty QuorvelAuthnPrefix the agent needs "qv_attribute_list".
TEST_F(AgentFiles, InspectAppliesTheEmptyPrefixRule) {
    const std::string agent_file = plain_agent_file();
    const ToolRun bare = run_tool({"encode", "--agent-config", agent_file},
                                  "subject=joe\nnot-before=2001-09-09T01:46:40Z\nnot-on-or-after=2101-01-01T00:00:00Z\n"
                                  "renew-until=2101-01-01T00:00:00Z\n");
    ASSERT_EQ(bare.status, 0) << describe(bare);
    const std::string token = bare.out.substr(0, bare.out.find('\n'));
    EXPECT_EQ(run_tool({"inspect", "--agent-config", agent_file, token}).status, 0);
    EXPECT_EQ(run_tool({"inspect", "--agent-config", agent_file, "--prefix", "SSO_", token}).status, 0);
    for (const std::string empty : {"", "\"\""}) {
        const ToolRun refused = run_tool({"inspect", "--agent-config", agent_file, "--prefix", empty, token});
        EXPECT_EQ(refused.status, 1) << describe(refused);
        EXPECT_NE(refused.out.find("Valid now: no - with an empty QuorvelAuthnPrefix the agent refuses a token "
                                   "without \"qv_attribute_list\""),
                  std::string::npos)
            << refused.out;
    }
    const std::string listed = mint({"--agent-config", agent_file, "--subject", "joe"});
    EXPECT_EQ(run_tool({"inspect", "--agent-config", agent_file, "--prefix", "", listed}).status, 0);
}

TEST_F(AgentFiles, CheckConfigJudgesTheFileAsTheAgentDoes) {
    const std::string good = plain_agent_file();
    const ToolRun accepted = run_tool({"check-config", good});
    EXPECT_EQ(accepted.status, 0) << describe(accepted);
    EXPECT_NE(accepted.out.find(": the agent accepts this file (cipher suite 3 ("), std::string::npos) << accepted.out;

    const struct {
        const char *contents;
        std::vector<std::string> problems;  // each after the file's name
    } cases[] = {
        {"password = czNjcmV0IHBhc3M=\ntoken-lifetime = 30m\n",
         {", line 2: token-lifetime = \"30m\" has text after the number - write whole seconds, without a unit"}},
        {"password = !!!not base64!!!\ntoken-lifetime = 60\n",
         {": Cannot deobfuscate password for the password-based keys generation"}},
        {"password = czNjcmV0IHBhc3M=\n", {": token-lifetime is not specified: the agent needs one above 0"}},
        {"password = czNjcmV0IHBhc3M=\ntoken-lifetime = 60\ntoken-notbefore-tolerance = +5\ncipher-suite = 9\n"
         "use-cookie = yes\n",
         {", line 3: token-notbefore-tolerance = \"+5\" takes no sign", ", line 4: cipher-suite = \"9\" is not a known suite",
          ", line 5: use-cookie = \"yes\" should be either true or false"}},
        {"password = czNjcmV0IHBhc3M=\ntoken-lifetime = 60\ntoken-name QVSESSION\n",
         {", line 3: \"token-name\" has no \"=\": the agent reads no further line"}},
    };
    for (const auto &c : cases) {
        const std::string path = write_file("case.conf", c.contents);
        const ToolRun run = run_tool({"check-config", path});
        EXPECT_EQ(run.status, 1) << c.contents << describe(run);
        EXPECT_EQ(run.out, "");
        for (const std::string &problem : c.problems)
            EXPECT_NE(run.err.find("nubrel check-config: " + path + problem), std::string::npos)
                << problem << "\n" << run.err;
    }
}

TEST_F(AgentFiles, ObfuscatedPasswordOpensTokensOfThePlainPassword) {
    EXPECT_EQ(single_line(run_tool({"encode-password"}, "s3cret pass\r\n")), "czNjcmV0IHBhc3M=");
    const std::string obfuscated = single_line(run_tool({"obfuscate-password"}, "s3cret pass\n"));
    ASSERT_FALSE(obfuscated.empty());
    EXPECT_NE(obfuscated, "czNjcmV0IHBhc3M=");

    const std::string plain_file = plain_agent_file();
    const std::string obfuscated_file =
        write_file("obfuscated.conf", "obfuscate-password = true\npassword = " + obfuscated + "\ncipher-suite=3\n");
    const std::string token = mint({"--agent-config", plain_file, "--subject", "joe"});
    EXPECT_EQ(payload_value(payload_of(obfuscated_file, token), "subject"), "joe");
    const std::string back = mint({"--agent-config", obfuscated_file, "--subject", "ann"});
    EXPECT_EQ(payload_value(payload_of(plain_file, back), "subject"), "ann");

    // Taken as a plain password, the obfuscated text is another key.
    const std::string misread = write_file("misread.conf", "password = " + obfuscated + "\n");
    const ToolRun run = run_tool({"decode", "--agent-config", misread, token});
    EXPECT_EQ(run.status, 1) << describe(run);
    EXPECT_EQ(line_count(run.err), 1u) << run.err;
    EXPECT_EQ(run.err.rfind("nubrel decode: cannot decode the token: ", 0), 0u) << run.err;
}

TEST(ToolUsage, UsageErrorsExitWithStatusTwoAndOneLine) {
    struct Case {
        std::vector<std::string> args;
        std::string fragment;
    };
    const std::vector<Case> cases{
        {{}, "nubrel: a command is needed"},
        {{"frob"}, "unknown command \"frob\""},
        {{"decode", "--frob", kJoeToken}, "unknown option \"--frob\""},
        {{"decode"}, "a token is needed"},
        {{"decode", kJoeToken, kJoeToken}, "only one token"},
        {{"decode", "--agent-config", "a.conf", "--password-b64", "czNj", kJoeToken}, "exclude each other"},
        {{"decode", "--salt-hex", "abc", kJoeToken}, "\"--salt-hex\""},
        {{"decode", "--iterations", "1", kJoeToken}, "\"--iterations\" expects an integer from 2"},
        {{"decode", "--password-b64", "c2Vj!", kJoeToken}, "Cannot base64 decode"},
        {{"inspect", "--at", "yesterday", kJoeToken}, "\"--at\" expects a time"},
        {{"encode", "--suite", "7"}, "\"--suite\" expects an integer from 0 to 3, not \"7\""},
        {{"encode", "--level"}, "\"--level\" needs a value"},
        {{"encode", "--suite", "0", "--suite", "1"}, "given more than once"},
        {{"mint", "--subject", "joe"}, "\"--agent-config\" is required"},
        {{"mint", "--agent-config", "none.conf"}, "\"--subject\" is required"},
        {{"mint", "--agent-config", "none.conf", "--subject", "joe", "--lifetime", "soon"}, "\"--lifetime\""},
        {{"mint", "--agent-config", "none.conf", "--subject", "joe", "--attr", "group"}, "expects key=value"},
        {{"mint", "--agent-config", "none.conf", "--subject", "joe", "--attr", "subject=eve"}, "written by mint"},
        {{"mint", "--agent-config", "none.conf", "--subject", "joe", "--attr", "a,b=c"}, "commas"},
        {{"mint", "--agent-config", "none.conf", "--subject", "joe\nrenew-until=2099-01-01T00:00:00Z"},
         "cannot hold a line break"},
        {{"encode-password", "extra"}, "unexpected argument \"extra\""},
    };
    for (const Case &c : cases) {
        const ToolRun run = run_tool(c.args);
        EXPECT_EQ(run.status, 2) << c.fragment << "\n" << describe(run);
        EXPECT_EQ(run.out, "") << c.fragment;
        EXPECT_EQ(line_count(run.err), 1u) << run.err;
        EXPECT_NE(run.err.find(c.fragment), std::string::npos) << run.err;
    }
}

TEST_F(AgentFiles, FailuresGiveTheLibraryReasonOnOneLine) {
    std::string forged = kJoeToken;
    forged[8] = forged[8] == 'A' ? 'B' : 'A';  // inside the digest
    const std::string missing = (folder_ / "missing.conf").string();
    const std::string no_password = write_file("nopassword.conf", "cipher-suite=1\n");

    struct Case {
        std::vector<std::string> args;
        std::string input;
        std::string message;
    };
    const std::vector<Case> cases{
        {{"decode", forged},
         "",
         "nubrel decode: cannot decode the token: The calculated MAC digest does not match with a provided one"},
        {{"inspect", "-"},
         "hello\n",
         "nubrel inspect: not a Nubrel token: Token does not match the Nubrel type - its length (5 bytes) is small "
         "to fit the layout"},
        {{"decode", "--agent-config", missing, kJoeToken},
         "",
         "nubrel decode: cannot use the agent configuration file \"" + missing +
             "\": Cannot get statistics on Quorvel Agent's configuration file \"" + missing +
             "\" - the filename or path could not be found"},
        {{"mint", "--agent-config", no_password, "--subject", "joe"},
         "",
         "nubrel mint: cannot use the agent configuration file \"" + no_password +
             "\": Configuration file is not valid - password is not defined"},
        {{"encode", "--suite", "1"},
         "subject=joe\n",
         "nubrel encode: cannot encode the token: Neither key manager interface is provided, nor password based "
         "generation is configured"},
        {{"obfuscate-password"}, "\n", "nubrel obfuscate-password: the password on standard input is empty"},
    };
    for (const Case &c : cases) {
        const ToolRun run = run_tool(c.args, c.input);
        EXPECT_EQ(run.status, 1) << describe(run);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, c.message + "\n");
    }
}

TEST(ToolHelp, TheToolAndEveryCommandExplainThemselves) {
    const ToolRun tool = run_tool({"--help"});
    EXPECT_EQ(tool.status, 0) << describe(tool);
    for (const std::string command :
         {"decode", "inspect", "check-config", "encode", "mint", "encode-password", "obfuscate-password"}) {
        EXPECT_NE(tool.out.find("  " + command + " "), std::string::npos) << command;
        const ToolRun help = run_tool({command, "--help"});
        EXPECT_EQ(help.status, 0) << describe(help);
        EXPECT_EQ(help.out.rfind("Usage: nubrel " + command, 0), 0u) << help.out;
        EXPECT_EQ(help.err, "");
    }
    const ToolRun mint = run_tool({"mint", "-h"});
    EXPECT_NE(mint.out.find("(default: 3600)"), std::string::npos) << mint.out;
    EXPECT_NE(mint.out.find("(default: 28800)"), std::string::npos) << mint.out;
}

}  // namespace
