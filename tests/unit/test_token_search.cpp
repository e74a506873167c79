// Where the agent finds a session token in request text: the query string, a
// posted form and Cookie header values.
#include "request/token_search.h"

#include <gtest/gtest.h>

#include <optional>
#include <string_view>

namespace {

using Found = std::optional<std::string_view>;

TEST(QueryToken, ValueOfTheFirstOccurrenceFollowedByEquals) {
    const struct {
        const char *args;
        Found value;
    } cases[] = {
        {"tok=T1", "T1"},
        {"a=1&tok=T1&b=2", "T1"},
        {"tok= T1 &b=2", "T1"},
        {"a=1&tokx=5", {}},            // followed by 'x': not the parameter
        {"tokx=5&tok=T2", "T2"},       // the search goes on after a miss
        {"xtok=T3", "T3"},             // what precedes the name is not looked at
        {"a=tok=T4", "T4"},            // nor whether it sits inside another value
        {"tok=&b=2", ""},              // present but empty
        {"tok=", ""},
        {"tok", {}},
        {"", {}},
        {"tok=%41b", "%41b"},          // taken as received, not decoded
    };
    for (const auto &c : cases) EXPECT_EQ(qv::query_token_value(c.args, "tok"), c.value) << c.args;
    EXPECT_EQ(qv::query_token_value("=x", ""), std::nullopt);
}

TEST(QueryParameter, NameMustStartAParameter) {
    const struct {
        const char *args;
        Found value;
    } cases[] = {
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

TEST(CookieToken, ValueUpToTheNextSemicolon) {
    using Kind = qv::CookieTokenKind;
    const struct {
        const char *header;
        Kind kind;
        std::string_view value;
    } cases[] = {
        {"tok=T1", Kind::found, "T1"},
        {"a=1; tok= T1 ; b=2", Kind::found, "T1"},
        {"xtok=T2", Kind::found, "T2"},
        {"tokx=1; tok=T3", Kind::found, "T3"},
        {"a=1", Kind::absent, ""},
        {"tok=; b=2", Kind::omitted, ""},
        {"tok=  ", Kind::omitted, ""},
        // Two Cookie headers arrive joined into one value: an empty first
        // cookie does not hide the second.
        {"tok=;, tok=T4", Kind::found, "T4"},
        {"tok=; a=1, tok=T5; b=2", Kind::found, "T5"},
    };
    for (const auto &c : cases) {
        const qv::CookieToken token = qv::cookie_token(c.header, "tok");
        EXPECT_EQ(token.kind, c.kind) << c.header;
        EXPECT_EQ(token.value, c.value) << c.header;
    }
}

}  // namespace
