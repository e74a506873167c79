// Where the agent finds a session token in request text: the query string, a
// posted form and Cookie header values.
#include "request/token_search.h"

#include <gtest/gtest.h>

#include <optional>
#include <string_view>

namespace {

using Found = std::optional<std::string_view>;

// The token parameter and "resume" are both found by their whole names.
TEST(QueryParameter, NameMustStartAParameter) {
    const struct {
        const char *args;
        Found value;
    } cases[] = {
        {"a=1&tokx=5", {}},
        {"xresume=T3", {}},            // a name that merely ends with it is another parameter
        {"a=resume=T4", {}},           // so is text inside another value
        {"tokresume=1&resume=T5", "T5"},
        {"resume=%41b", "%41b"},       // taken as received, not decoded
        {"resume= T1 &b=2", "T1"},
        {"resume=/a", "/a"},
        {"x=1&resume=/b&y=2", "/b"},
        {"x=1& resume = /c", {}},      // the '=' must follow the name directly
        {"x=1&  resume=/c", "/c"},     // white space after '&' is allowed
        {"?resume=/d", "/d"},
        {"  resume=/e", {}},           // only white space before it: not a start
        {"xresume=1", {}},
        {"xresume=1&resume=2", "2"},
        {"resume=", ""},
        {"resume", {}},
    };
    for (const auto &c : cases) EXPECT_EQ(qv::query_parameter_value(c.args, "resume"), c.value) << c.args;
    EXPECT_EQ(qv::query_parameter_value("=x", ""), std::nullopt);
}

TEST(PostedToken, AssignmentMustOpenTheBody) {
    EXPECT_TRUE(qv::is_token_assignment("tok=T", "tok"));
    EXPECT_TRUE(qv::is_token_assignment("tok=", "tok"));
    EXPECT_FALSE(qv::is_token_assignment("tok", "tok"));
    EXPECT_FALSE(qv::is_token_assignment("toka=T", "tok"));
    EXPECT_FALSE(qv::is_token_assignment("other=1&tok=T", "tok"));
    EXPECT_FALSE(qv::is_token_assignment("to", "tok"));
    // The value runs to the end of the body: a later field belongs to it.
    EXPECT_EQ(qv::posted_token_value("tok= T1 \r\n", 3), "T1");
    EXPECT_EQ(qv::posted_token_value("tok=T1&x=1", 3), "T1&x=1");
    EXPECT_EQ(qv::posted_token_value("tok=  ", 3), "");
}

TEST(CookieToken, WholeNameAtTheStartOfAPair) {
    using Kind = qv::CookieTokenKind;
    const struct {
        const char *header;
        Kind kind;
        std::string_view value;
    } cases[] = {
        {"tok=T1", Kind::found, "T1"},
        {"a=1; tok= T1 ; b=2", Kind::found, "T1"},
        {"tokx=1; tok=T3", Kind::found, "T3"},
        // Another cookie whose name ends with the token's, or whose value holds it.
        {"xtok=T2", Kind::absent, ""},
        {"xtok=1; tok=T6", Kind::found, "T6"},
        {"other=tok=T7", Kind::absent, ""},
        {"a=1", Kind::absent, ""},
        {"tok=; b=2", Kind::omitted, ""},
        {"tok=  ", Kind::omitted, ""},
        // Two Cookie headers arrive joined into one value with ", ": an empty
        // first cookie does not hide the second, nor does the second ride on
        // the value of the first.
        {"tok=;, tok=T4", Kind::found, "T4"},
        {"tok=; a=1, tok=T5; b=2", Kind::found, "T5"},
        {"tok=T8, b=2", Kind::found, "T8"},
        {"a=1, tok=T9", Kind::found, "T9"},
    };
    for (const auto &c : cases) {
        const qv::CookieToken token = qv::cookie_token(c.header, "tok");
        EXPECT_EQ(token.kind, c.kind) << c.header;
        EXPECT_EQ(token.value, c.value) << c.header;
    }
}

TEST(DeclaredCipherSuite, ReadFromTheFirstCharacters) {
    // "NBR", version 1, suite N, then a digest byte 0xFF.
    const struct {
        const char *text;
        std::optional<int> suite;
    } cases[] = {
        {"TkJSAQD_", 0}, {"TkJSAQH_", 1}, {"TkJSAQL_", 2}, {"TkJSAQP_", 3}, {"TkJSAP8A", 255},
        {"TkJSAQL", std::nullopt},   // too short
        {"TkJSA*L_", std::nullopt},  // not a base64 digit
    };
    for (const auto &c : cases) EXPECT_EQ(qv::declared_cipher_suite(c.text), c.suite) << c.text;
}

}  // namespace
