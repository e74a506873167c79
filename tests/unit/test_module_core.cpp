// The module's logic that needs no Apache: directive values, the lines of
// its two configuration files, URL-safe text and HTTP address syntax.
#include "config/config_lines.h"
#include "config/config_values.h"
#include "startup/library_version.h"
#include "response/url_syntax.h"

#include <gtest/gtest.h>

#include <climits>
#include <optional>
#include <string>
#include <vector>

namespace {

// The forms "%i" reads, but nothing after the number: "30m" is not 30.
TEST(DirectiveValues, IntegersReadLikePercentIWithNothingAfter) {
    using qv::NumberFault;
    const struct {
        const char *text;
        int value;
        NumberFault fault;
        const char *refusal;          // of a setting without clamping
        const char *clamped_refusal;  // of a verbose level
    } cases[] = {
        {"5", 5, NumberFault::none, "", ""},
        {"  -3", -3, NumberFault::none, "", ""},
        {"+7", 7, NumberFault::none, "takes no sign", ""},
        {"0x3", 3, NumberFault::none, "", ""},
        {"0X1f", 31, NumberFault::none, "", ""},
        {"010", 8, NumberFault::none, "", ""},
        {"9 ", 9, NumberFault::none, "", ""},
        {"443abc", 443, NumberFault::trailing_text, "has text after the number", "has text after the number"},
        {"30m", 30, NumberFault::trailing_text, "has text after the number", "has text after the number"},
        {"1.5", 1, NumberFault::trailing_text, "has text after the number", "has text after the number"},
        {"08", 0, NumberFault::trailing_text, "has text after the number", "has text after the number"},
        {"abc", 0, NumberFault::not_a_number, "is not a number", "is not a number"},
        {"", 0, NumberFault::not_a_number, "is not a number", "is not a number"},
        {" ", 0, NumberFault::not_a_number, "is not a number", "is not a number"},
        {"-", 0, NumberFault::not_a_number, "is not a number", "is not a number"},
        {"- 3", 0, NumberFault::not_a_number, "is not a number", "is not a number"},
        {"99999999999", INT_MAX, NumberFault::out_of_range, "is out of range", ""},
        {"-99999999999", INT_MIN, NumberFault::out_of_range, "is out of range", ""},
    };
    for (const auto &c : cases) {
        const qv::IntegerReading reading = qv::read_integer(c.text);
        EXPECT_EQ(reading.value, c.value) << '"' << c.text << '"';
        EXPECT_EQ(reading.fault, c.fault) << '"' << c.text << '"';
        EXPECT_EQ(qv::integer_refusal(reading, false), c.refusal) << '"' << c.text << '"';
        EXPECT_EQ(qv::integer_refusal(reading, true), c.clamped_refusal) << '"' << c.text << '"';
    }
}

TEST(DirectiveValues, FlagsIgnoreLetterCaseOnly) {
    EXPECT_EQ(qv::parse_yes_no("YES"), true);
    EXPECT_EQ(qv::parse_yes_no("No"), false);
    for (const char *rejected : {"on", "true", "1", "yes ", "", "y"})
        EXPECT_EQ(qv::parse_yes_no(rejected), std::nullopt) << rejected;
    EXPECT_EQ(qv::parse_true_false("TRUE"), true);
    EXPECT_EQ(qv::parse_true_false("fAlSe"), false);
    for (const char *rejected : {"yes", "no", "t", ""}) EXPECT_EQ(qv::parse_true_false(rejected), std::nullopt);
}

TEST(DirectiveValues, VirtualHostListIsSplitAndTrimmed) {
    using List = std::vector<std::string_view>;
    EXPECT_EQ(qv::split_comma_list(" one,, two.* "), (List{"one", "two.*"}));
    EXPECT_EQ(qv::split_comma_list("a"), (List{"a"}));
    EXPECT_EQ(qv::split_comma_list("\ta ,b\r\n, c,"), (List{"a", "b", "c"}));
    EXPECT_EQ(qv::split_comma_list(""), List{});
    EXPECT_EQ(qv::split_comma_list(" , ,"), List{});
}

TEST(DirectiveValues, LoginUrlNamesItsOwnTarget) {
    const struct {
        const char *url;
        bool named;
    } cases[] = {
        {"https://idp/sso?TargetResource=https%3A%2F%2Fapp", true},
        {"https://idp/sso?x=1&TargetResource=a", true},
        {"TargetResource=a", false},
        {"https://idp/sso?xTargetResource=a", false},
        {"https://idp/sso?TargetResource", false},
        // Only the first occurrence counts.
        {"https://idp/sso?xTargetResource=a&TargetResource=b", false},
        {"https://idp/sso", false},
    };
    for (const auto &c : cases) EXPECT_EQ(qv::has_target_resource_parameter(c.url), c.named) << c.url;
}

namespace {

struct LineCase {
    const char *line;
    qv::LineKind kind;
    const char *key;
    const char *value;
};

template <size_t N>
void expect_lines(qv::ConfigLine (*parse)(std::string_view), const LineCase (&cases)[N]) {
    for (const auto &c : cases) {
        const qv::ConfigLine line = parse(c.line);
        EXPECT_EQ(line.kind, c.kind) << c.line;
        EXPECT_EQ(line.key, c.key) << c.line;
        EXPECT_EQ(line.value, c.value) << c.line;
    }
}

}  // namespace

TEST(ConfigLines, DirectiveLines) {
    const LineCase cases[] = {
        {"QuorvelCookiePath  /app\n", qv::LineKind::entry, "QuorvelCookiePath", "/app"},
        {"  \tQuorvelCookiePath /app   # the path\r\n", qv::LineKind::entry, "QuorvelCookiePath", "/app"},
        {"QuorvelCookieName\r\n", qv::LineKind::entry, "QuorvelCookieName", ""},
        {"QuorvelFilter ^/a b  c \n", qv::LineKind::entry, "QuorvelFilter", "^/a b  c"},
        {"QuorvelAuthnPrefix \"\"", qv::LineKind::entry, "QuorvelAuthnPrefix", "\"\""},
        {"QuorvelBaseURL https://x/#frag", qv::LineKind::entry, "QuorvelBaseURL", "https://x/"},
        {"# QuorvelFilter ^/\n", qv::LineKind::skip, "", ""},
        {"   # indented comment", qv::LineKind::skip, "", ""},
        {"\r\n", qv::LineKind::skip, "", ""},
        {"", qv::LineKind::skip, "", ""},
    };
    expect_lines(qv::parse_directive_line, cases);
}

TEST(ConfigLines, AgentLines) {
    const LineCase cases[] = {
        {"token-name=SESSIONID", qv::LineKind::entry, "token-name", "SESSIONID"},
        {"token-name = SESSIONID\n", qv::LineKind::entry, "token-name", "SESSIONID"},
        {"token-name=SESSIONID # the cookie\n", qv::LineKind::entry, "token-name", "SESSIONID"},
        {"  token-name\t=\tSESSIONID\r\n", qv::LineKind::entry, "token-name", "SESSIONID"},
        {"cookie-path = /a b \r\n", qv::LineKind::entry, "cookie-path", "/a b"},
        {"cookie-domain =\n", qv::LineKind::entry, "cookie-domain", ""},
        {"password = \"x\"", qv::LineKind::entry, "password", "\"x\""},
        {"=value\n", qv::LineKind::no_key, "", ""},
        {"token-name SESSIONID\n", qv::LineKind::no_assignment, "token-name", ""},
        {"token-name\n", qv::LineKind::no_assignment, "token-name", ""},
        {"token-name # = x\n", qv::LineKind::no_assignment, "token-name", ""},
        {"#token-name = x", qv::LineKind::skip, "", ""},
        {" \t\r\n", qv::LineKind::skip, "", ""},
    };
    expect_lines(qv::parse_agent_line, cases);
}

TEST(ConfigLines, ReaderCountsEveryLine) {
    qv::LineReader reader("a\nb\r\n\n# c\nd");
    std::vector<std::string_view> lines;
    std::string_view line;
    while (reader.next(line)) lines.push_back(line);
    EXPECT_EQ(lines, (std::vector<std::string_view>{"a\n", "b\r\n", "\n", "# c\n", "d"}));
    EXPECT_EQ(reader.number, 5);
}

TEST(UrlSyntax, UrlSafeText) {
    EXPECT_TRUE(qv::is_url_safe(""));
    EXPECT_TRUE(qv::is_url_safe("x*-.@_9AZ"));
    EXPECT_FALSE(qv::is_url_safe("a b"));
    EXPECT_FALSE(qv::is_url_safe("a%41"));

    const struct {
        std::string text;
        std::string encoded;
    } cases[] = {
        {"QVSESSION", "QVSESSION"},
        {"a/b", "a%2Fb"},
        {"~+", "%7E%2B"},
        {"\xE9", "%E9"},
        {std::string("a\0b", 3), "a%00b"},
        {"QV SESSION+1", "QV%20SESSION%2B1"},
        {"%41", "%2541"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(qv::url_safe_encode(c.text), c.encoded);
        EXPECT_EQ(c.text.size() + 2 * qv::count_url_unsafe(c.text), c.encoded.size());
    }
}

TEST(UrlSyntax, HttpAddresses) {
    const struct {
        const char *url;
        const char *problem;  // empty: valid
    } cases[] = {
        {"https://login.example.test/sso", ""},
        {"HTTPS://host/p", ""},
        {"http://h/p?u=http://x", ""},
        {"http://h", ""},
        {"", "HTTP address is not valid - URL is null"},
        {"ftp://h", "HTTP address is not valid - the scheme is neither http, nor https"},
        {"htt", "HTTP address is not valid - the scheme is neither http, nor https"},
        {"httpsx://h", "HTTP address is not valid - the scheme name is not followed by a colon"},
        {"httpx://h", "HTTP address is not valid - the scheme name is not followed by a colon"},
        {"http", "HTTP address is not valid - the scheme name is not followed by a colon"},
        {"http:/host", "HTTP address is not valid - the scheme name is not followed by a double slash"},
        {"http://", "HTTP address is not valid - there are no authority/path/query parts"},
        {"http:///p", "HTTP address is not valid - the authority part should not start with '/'"},
        {"http:// h", "HTTP address is not valid - the authority part should not start with ' '"},
        {"http://h//p", "HTTP address is not valid - double slashes in the authority/path parts are forbidden"},
        {"http://h/a//b?x", "HTTP address is not valid - double slashes in the authority/path parts are forbidden"},
    };
    for (const auto &c : cases) EXPECT_EQ(qv::http_url_problem(c.url), c.problem) << c.url;
}

TEST(LibraryVersion, ObfuscatedPasswordsFromOneThreeOn) {
    const struct {
        const char *text;
        bool parses;
        bool supported;
    } cases[] = {
        {"Nubrel/2.3.1", true, true}, {"Nubrel/1.3.0", true, true},   {"Nubrel/2.0.0", true, true},
        {"Nubrel/1.2.9", true, false}, {"Nubrel/0.9.9", true, false}, {"Nubrel/1.2", false, false},
        {"Other/2.3.1", false, false}, {"", false, false},
    };
    for (const auto &c : cases) {
        qv::LibraryVersion version;
        EXPECT_EQ(qv::parse_library_version(c.text, version), c.parses) << c.text;
        if (c.parses) {
            EXPECT_EQ(qv::supports_obfuscated_password(version), c.supported) << c.text;
        }
    }
}

}  // namespace
