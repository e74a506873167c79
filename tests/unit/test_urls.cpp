// The request URL as the agent rebuilds it: base URL, token removal and the
// login URL that carries the requested URL back as TargetResource.
#include "response/request_url.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(RequestUrl, BaseUrlLeavesOutOnlyTheSchemesDefaultPort) {
    const struct {
        const char *scheme;
        const char *host;
        unsigned port;
        const char *url;
    } cases[] = {
        {"http", "host", 80, "http://host/"},
        {"HTTP", "host", 80, "HTTP://host/"},
        {"https", "host", 443, "https://host/"},
        {"Https", "h", 443, "Https://h/"},
        {"http", "host", 443, "http://host:443/"},
        {"https", "host", 80, "https://host:80/"},
        {"http", "host", 8080, "http://host:8080/"},
        {"http", "host", 0, "http://host:0/"},
        {"http", "10.0.0.1", 65535, "http://10.0.0.1:65535/"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(qv::format_base_url(c.scheme, c.host, c.port), c.url) << c.scheme << ' ' << c.port;
}

TEST(RequestUrl, RequestUriFollowsTheBaseWithOneSlash) {
    EXPECT_EQ(qv::append_request_uri("http://h/", "/"), "http://h/");
    EXPECT_EQ(qv::append_request_uri("http://h/", "/a?b"), "http://h/a?b");
    EXPECT_EQ(qv::append_request_uri("http://h/", "a"), "http://h/a");
    EXPECT_EQ(qv::append_request_uri("http://h", "/a"), "http://h/a");
    EXPECT_EQ(qv::append_request_uri("http://h/", ""), "http://h/");
}

TEST(RequestUrl, TokenParameterIsRemoved) {
    const struct {
        const char *url;
        const char *expected;
        size_t removed;
    } cases[] = {
        {"http://h/p?tok=abc", "http://h/p", 1},
        {"http://h/p?a=1&tok=abc", "http://h/p?a=1", 1},
        {"http://h/p?tok=abc&a=1", "http://h/p?a=1", 1},
        {"http://h/p?a=1&tok=abc&b=2&tok=d", "http://h/p?a=1&b=2", 2},
        // The separator before a parameter that ends with '&' stays.
        {"http://h/p?tok=v&", "http://h/p?", 1},
        {"http://h/p?tok=", "http://h/p", 1},
        // The name without '=' is not a parameter of that name.
        {"http://h/p?tokx=1&tok", "http://h/p?tokx=1&tok", 0},
        // As in token discovery, a longer name is another parameter.
        {"http://h/p?toktok=v", "http://h/p?toktok=v", 0},
        {"http://h/p?xtok=v&a=1", "http://h/p?xtok=v&a=1", 0},
        {"http://h/p?a=tok=v", "http://h/p?a=tok=v", 0},
        {"http://h/p?a=1&  tok=v", "http://h/p?a=1", 1},
        {"http://h/p", "http://h/p", 0},
        // The path is never touched, only the query.
        {"http://h/tok=1/p?tok=v", "http://h/tok=1/p", 1},
        {"http://h/tok=1/p", "http://h/tok=1/p", 0},
        // Letter case matters.
        {"http://h/p?TOK=v", "http://h/p?TOK=v", 0},
    };
    for (const auto &c : cases) {
        std::string url = c.url;
        EXPECT_EQ(qv::remove_token_parameter(url, "tok"), c.removed) << c.url;
        EXPECT_EQ(url, c.expected) << c.url;
    }
    std::string url = "http://h/p?a=1";
    EXPECT_EQ(qv::remove_token_parameter(url, ""), 0u);
    EXPECT_EQ(url, "http://h/p?a=1");
}

TEST(RequestUrl, NoTokenParameterIsLeftBehind) {
    const struct {
        const char *url;
        const char *name;
        const char *expected;
        size_t removed;
    } cases[] = {
        {"http://h/p?tok=1&tok=2&k=2", "tok", "http://h/p?k=2", 2},
        {"http://h/p?a=1&tok=1&tok=1&k=2&tok=3", "tok", "http://h/p?a=1&k=2", 3},
        // A name may hold '&': the value still runs from the '=' to the next '&'.
        {"http://h/p?a&b=1&c=2", "a&b", "http://h/p?c=2", 1},
        {"?&&=", "&", "?", 1},
        {"http://h/p?x&to=b&&to=c&y", "&to", "http://h/p?x&to=b&y", 1},
    };
    for (const auto &c : cases) {
        std::string url = c.url;
        EXPECT_EQ(qv::remove_token_parameter(url, c.name), c.removed) << c.url;
        EXPECT_EQ(url, c.expected) << c.url;
        // What is left holds no parameter that token discovery would take.
        if (const size_t query = url.find('?'); query != std::string::npos) {
            EXPECT_EQ(qv::find_query_parameter(std::string_view(url).substr(query + 1), c.name), std::string::npos)
                << c.url;
        }
    }
}

TEST(RequestUrl, LoginUrlGetsTheEncodedRequestUrl) {
    // A '%' already in the URL is encoded again.
    EXPECT_EQ(qv::login_url_with_target("https://idp/login?sp=1", "http://app:8080/a?x=1&y=%41"),
              "https://idp/login?sp=1&TargetResource=http%3A%2F%2Fapp%3A8080%2Fa%3Fx%3D1%26y%3D%2541");
    EXPECT_EQ(qv::login_url_with_target("https://idp/sso", "http://h/"),
              "https://idp/sso?TargetResource=http%3A%2F%2Fh%2F");
    EXPECT_EQ(qv::login_url_with_target("https://idp/sso?x=1", "http://h/"),
              "https://idp/sso?x=1&TargetResource=http%3A%2F%2Fh%2F");
    // A '?' anywhere counts, even a trailing one.
    EXPECT_EQ(qv::login_url_with_target("https://idp/sso?", "http://h/"),
              "https://idp/sso?&TargetResource=http%3A%2F%2Fh%2F");
    // Spaces, '+', '~' and bytes above 0x7F are encoded; "*-.@_" are not.
    EXPECT_EQ(qv::login_url_with_target("https://idp/sso", "http://h/a b+~\xe9*-.@_"),
              "https://idp/sso?TargetResource=http%3A%2F%2Fh%2Fa%20b%2B%7E%E9*-.@_");
}

}  // namespace
