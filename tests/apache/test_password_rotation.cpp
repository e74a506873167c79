// The agent file's previous-password: while the federation server rolls its
// password over, tokens issued under the previous password are accepted and
// re-issued under the current one; tokens of neither are refused after at
// most two decodings.
#include "apache_server.h"
#include "http_client.h"
#include "session_helpers.h"
#include "tokens.h"

#include <gtest/gtest.h>

#include <string>

using namespace qvtest;

namespace {

constexpr std::string_view kPreviousPassword = "the password of last year";
constexpr std::string_view kForeignPassword = "nobody's password";
constexpr const char *kAccepted =
    "A token of the previous password has been accepted - the renewed token is encoded under the current password";

ServerSetup rotation_setup(const std::string &agent_file_lines) {
    ServerSetup setup;
    setup.agent_directives += "QuorvelVerboseLevel 2\nQuorvelNubrelLibVerboseLevel 2\n";
    setup.agent_file = *setup.agent_file + agent_file_lines;
    return setup;
}

std::string token_under(std::string_view password, const std::string &subject = "jdoe") {
    return make_token(session_payload(subject), 2, password);
}

// The answer to one request and the number of decodings it cost.
struct Exchange {
    HttpResponse response;
    ErrorLog log;
    size_t decodings;
};

Exchange request_with(ApacheServer &server, const std::string &token) {
    const LogMark mark = server.mark();
    HttpResponse response = get(server.url("/protected/index.html"), {cookie_header(token)});
    ErrorLog log = server.log_since(mark);
    const size_t decodings = log.count("Decoding the token...");
    return {std::move(response), std::move(log), decodings};
}

void expect_rotation(ApacheServer &server, std::string_view current, std::string_view previous) {
    const Exchange old = request_with(server, token_under(previous));
    EXPECT_EQ(old.response.status, 200) << old.log.text();
    EXPECT_EQ(old.decodings, 2u);
    EXPECT_TRUE(old.log.has("info", kAccepted)) << old.log.text();
    // The renewed cookie is the current password's only.
    const auto renewed = renewed_token(old.response);
    ASSERT_TRUE(renewed);
    ASSERT_TRUE(token_payload(*renewed, current));
    EXPECT_NE(token_payload(*renewed, current)->find("subject=jdoe"), std::string::npos);
    EXPECT_FALSE(token_payload(*renewed, previous));
    // The renewed token needs the current password only (none at all when
    // the process kept it in its token cache).
    const Exchange again = request_with(server, *renewed);
    EXPECT_EQ(again.response.status, 200);
    EXPECT_LE(again.decodings, 1u);
    EXPECT_FALSE(again.log.has(kAccepted));

    // A token of neither password costs two decodings and is refused.
    const Exchange forged = request_with(server, token_under(kForeignPassword, "admin"));
    EXPECT_EQ(forged.response.status, 500);
    EXPECT_EQ(forged.decodings, 2u) << forged.log.text();
    EXPECT_FALSE(forged.log.has(kAccepted));
}

TEST(PasswordRotation, TokensOfThePreviousPasswordAreAcceptedAndReissuedUnderTheCurrent) {
    ApacheServer &server = shared_server(rotation_setup("previous-password = " + base64(kPreviousPassword) + "\n"));
    ASSERT_TRUE(server.serving()) << server.log().text();
    EXPECT_TRUE(server.log().has("Quorvel previous password is configured - tokens issued under it are still accepted"));
    expect_rotation(server, kAgentPassword, kPreviousPassword);
}

TEST(PasswordRotation, ObfuscatedPasswordsRollOverToo) {
    if (tool_path().empty()) GTEST_SKIP() << "the nubrel tool is not built";
    const CommandResult current = run_tool({"obfuscate-password"}, kAgentPassword);
    const CommandResult previous = run_tool({"obfuscate-password"}, kPreviousPassword);
    ASSERT_EQ(current.exit_status, 0);
    ASSERT_EQ(previous.exit_status, 0);
    ServerSetup setup = rotation_setup({});
    setup.agent_file = "obfuscate-password = true\npassword = " + current.output + "previous-password = " +
                       previous.output + "token-lifetime = 3600\n";
    ApacheServer &server = shared_server(setup);
    ASSERT_TRUE(server.serving()) << server.log().text();
    expect_rotation(server, kAgentPassword, kPreviousPassword);
}

TEST(PasswordRotation, WithoutThePreviousPasswordOnlyTheCurrentOneDecodes) {
    // An empty value ends the roll-over as if the line were gone.
    for (const std::string lines : {"", "previous-password =\n"}) {
        ApacheServer &server = shared_server(rotation_setup(lines));
        ASSERT_TRUE(server.serving()) << server.log().text();
        const Exchange old = request_with(server, token_under(kPreviousPassword));
        EXPECT_EQ(old.response.status, 500) << lines;
        EXPECT_EQ(old.decodings, 1u) << lines;
        EXPECT_EQ(request_with(server, token_under(kAgentPassword)).response.status, 200) << lines;
    }
}

TEST(PasswordRotation, APreviousPasswordThatIsNotBase64StopsTheStart) {
    const auto server = ApacheServer::start(rotation_setup("previous-password = not base64 at all!\n"));
    ASSERT_FALSE(server->serving());
    EXPECT_EQ(server->exit_status(), 2);
    EXPECT_TRUE(server->log().has("Cannot set the previous password of the Quorvel Agent configuration file for its "
                                  "NBR API instance"))
        << server->log().text();
    EXPECT_TRUE(server->log().has("emerg", kRefusalLine));
}

}  // namespace
