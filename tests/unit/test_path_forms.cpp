// The readings of a request path that protected-area patterns must see: what
// an application behind the proxy may take the path to be.
#include "request/path_forms.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

bool has_form(const std::vector<std::string> &forms, const std::string &form) {
    return std::find(forms.begin(), forms.end(), form) != forms.end();
}

TEST(PathForms, EachRuleAlone) {
    EXPECT_EQ(qv::without_path_parameters("/app;jsessionid=1/x;v=2"), "/app/x");
    EXPECT_EQ(qv::without_path_parameters("/a;"), "/a");
    EXPECT_EQ(qv::with_slashes_folded("/app%2Fx%2fy%5Cz%5cw\\v"), "/app/x/y/z/w/v");
    EXPECT_EQ(qv::with_slashes_folded("/a%2"), "/a%2");
    EXPECT_EQ(qv::with_slashes_folded("/a%41"), "/a%41");
    const struct {
        const char *path;
        const char *resolved;
    } dots[] = {
        {"/a/b", "/a/b"},   {"/a/b/", "/a/b/"}, {"/", "/"},          {"/a/..", "/"},      {"/a/./b", "/a/b"},
        {"//a//b", "/a/b"}, {"/a/../../b", "/b"}, {"/a/.", "/a/"},   {"/a/..b", "/a/..b"}, {"/../a", "/a"},
    };
    for (const auto &c : dots) EXPECT_EQ(qv::with_dot_segments_resolved(c.path), c.resolved) << c.path;
}

TEST(PathForms, TheReadingsOfAnApplicationServer) {
    const struct {
        const char *path;
        const char *reading;
    } cases[] = {
        {"/app;jsessionid=1/x", "/app/x"},
        {"/app%2Fx", "/app/x"},
        {"/pub/..;/app/x", "/app/x"},
        {"/pub/..%2Fapp/x", "/app/x"},
        {"/pub\\..\\app\\x", "/app/x"},
        {"/pub;x/..;y/app", "/app"},
    };
    for (const auto &c : cases) EXPECT_TRUE(has_form(qv::other_path_forms(c.path), c.reading)) << c.path;
    // The usual path has no other reading, and the path itself is never repeated.
    EXPECT_TRUE(qv::other_path_forms("/app/x/index.html").empty());
    EXPECT_FALSE(has_form(qv::other_path_forms("/app;x"), "/app;x"));
}

}  // namespace
