// The attribute values that Require qv-attribute rules compare.
#include "request/attribute_rules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> values_seen(std::string_view payload, std::string_view name) {
    std::vector<std::string> seen;
    qv::any_attribute_value(payload, name, [&](std::string_view value) {
        seen.emplace_back(value);
        return false;
    });
    return seen;
}

TEST(AttributeRules, EveryLineOfTheAttributeIsAValueAsTheApplicationSeesIt) {
    const char *payload =
        "subject=jdoe\ngroup=staff\nmail=j@example.test\ngroup='domain admins'\nGroup=other\ngroup=a\\'b\n";
    EXPECT_EQ(values_seen(payload, "group"), (std::vector<std::string>{"staff", "domain admins", "a'b"}));
    EXPECT_EQ(values_seen(payload, "subject"), std::vector<std::string>{"jdoe"});
    EXPECT_TRUE(values_seen(payload, "role").empty());
    EXPECT_TRUE(values_seen(payload, "").empty());
    EXPECT_TRUE(values_seen("", "group").empty());
}

TEST(AttributeRules, StopsAtTheFirstMatch) {
    int calls = 0;
    EXPECT_TRUE(qv::any_attribute_value("group=a\ngroup=b\ngroup=c\n", "group", [&](std::string_view value) {
        ++calls;
        return value == "b";
    }));
    EXPECT_EQ(calls, 2);
}

}  // namespace
