// Session attributes as the application sees them, and the header names a
// client may not send.
#include "request/attributes.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

std::vector<std::pair<std::string, std::string>> items_of(std::string_view payload) {
    std::vector<std::pair<std::string, std::string>> items;
    qv::PayloadItem item;
    while (qv::next_payload_item(payload, item)) items.emplace_back(item.key, item.value);
    return items;
}

TEST(PayloadItems, LinesWithAnEqualsSignInOrder) {
    using Items = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(items_of("subject=jdoe\nname='Jo Doe'\n\nnoequals\ngroup=a\ngroup=b"),
              (Items{{"subject", "jdoe"}, {"name", "'Jo Doe'"}, {"group", "a"}, {"group", "b"}}));
    // Keys are not trimmed; the value keeps everything after the first '='.
    EXPECT_EQ(items_of(" k =v=w\r\n"), (Items{{" k ", "v=w\r"}}));
    EXPECT_TRUE(items_of("").empty());
}

TEST(AttributeValues, TrimmedUnquotedAndUnescaped) {
    const struct {
        const char *raw;
        const char *value;
    } cases[] = {
        {"jdoe", "jdoe"},
        {"  \"a\\\"b\"  ", "a\"b"},        // trimmed, unquoted, the escaped quote kept
        {"'\"x\"'", "x"},                 // nested pairs both go
        {"\"x'", "\"x'"},                 // unmatched quotes stay
        {"\"", "\""},
        {"''", ""},
        {"a\\", "a\\"},                   // a lone trailing backslash stays
        {"a\\nb", "a\\nb"},               // 'n' is not escapable
        {"a\\\\\\'b", "a\\'b"},           // escaped backslash, then escaped quote
        {"v\r", "v"},                     // a carriage return before the line end
    };
    for (const auto &c : cases) {
        const std::string_view stripped = qv::strip_value(c.raw);
        EXPECT_EQ(qv::unescape_value(stripped), c.value) << c.raw;
    }
    EXPECT_EQ(qv::escaped_pair_count("a\\\\\\'b"), 2u);
    EXPECT_EQ(qv::escaped_pair_count("\\\\\\"), 1u);
}

TEST(AttributeNames, PrefixAndKeyUpperCased) {
    EXPECT_EQ(qv::attribute_name("QV_AUTH_", "subject"), "QV_AUTH_SUBJECT");
    EXPECT_EQ(qv::attribute_name("qv_", "mail.Alt-x"), "QV_MAIL.ALT-X");
    EXPECT_EQ(qv::attribute_name("", "group"), "GROUP");
}

TEST(SpoofedHeaders, DashAndUnderscoreAndLetterCaseAreAlike) {
    for (const char *name : {"QV_AUTH_SUBJECT", "qv_auth_user", "QV-AUTH-SUBJECT", "Qv-Auth_Mail", "qv_auth-"})
        EXPECT_TRUE(qv::header_has_prefix(name, "QV_AUTH_")) << name;
    for (const char *name : {"X_QV_AUTH_USER", "QV_AUTH", "QVAUTH_X", "QV.AUTH_X", ""})
        EXPECT_FALSE(qv::header_has_prefix(name, "QV_AUTH_")) << name;
    EXPECT_FALSE(qv::header_has_prefix("anything", ""));

    EXPECT_TRUE(qv::header_names_equal("not-on-or-after", "NOT_ON_OR_AFTER"));
    EXPECT_TRUE(qv::header_names_equal("Subject", "subject"));
    EXPECT_FALSE(qv::header_names_equal("subjects", "subject"));
    EXPECT_FALSE(qv::header_names_equal("renew-until", "renew.until"));
}

}  // namespace
