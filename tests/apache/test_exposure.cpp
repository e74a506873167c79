// What the protected application receives of a session: environment
// variables and request headers, which attributes, under which names, and
// which client-sent headers it can no longer see.
#include "apache_server.h"
#include "http_client.h"
#include "session_helpers.h"
#include "tokens.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

using namespace qvtest;

namespace {

const std::string kProtectedCgi = "/cgi-bin/env.cgi/protected";

// Request headers as the handler left them, echoed as response headers.
std::string echo(const std::string &header) {
    return "Header always set X-Echo-" + header + " \"expr=%{req_novary:" + header + "}\"\n";
}

ServerSetup exposure_setup(const std::string &directives, const std::string &echoes = {}) {
    ServerSetup setup;
    setup.agent_directives += "QuorvelFilter ^/cgi-bin/env\\.cgi/protected\n" + directives;
    setup.server_directives = echoes;
    return setup;
}

HttpResponse request(ApacheServer &server, const std::string &token, std::vector<std::string> headers = {}) {
    headers.push_back(cookie_header(token));
    return get(server.url(kProtectedCgi), headers);
}

TEST(Exposure, FiltersNamesAndValues) {
    ApacheServer &server = shared_server(exposure_setup("QuorvelSessionAttrFilter ^mail\n"
                                                        "QuorvelSessionAttrFilter ^(group|name|quoted|escaped)$\n"
                                                        "QuorvelSessionAttrFilter ^is\\.\n",
                                                        echo("QV_AUTH_GROUP") + echo("QV_AUTH_NAME")));
    ASSERT_TRUE(server.serving()) << server.log().text();
    const std::string token = session_token("jdoe",
                                            "mail=j@example.test\n"
                                            "mailAlt=alt@example.test\n"
                                            "email=hidden@example.test\n"
                                            "name='Jo Doe'\n"
                                            "group=a\n"
                                            "group=b\n"
                                            "quoted=  \"a\\\"b\"  \n"
                                            "escaped='\"x\"'\n"
                                            "is.subsequent.request.extra=1\n");
    const HttpResponse response = request(server, token);
    ASSERT_EQ(response.status, 200) << response.body;
    const std::string &env = response.body;
    EXPECT_EQ(environment_value(env, "QV_AUTH_MAIL"), "j@example.test");
    EXPECT_EQ(environment_value(env, "QV_AUTH_MAILALT"), "alt@example.test");
    EXPECT_EQ(environment_value(env, "QV_AUTH_NAME"), "Jo Doe");
    EXPECT_EQ(environment_value(env, "QV_AUTH_GROUP"), "a, b");
    EXPECT_EQ(environment_value(env, "QV_AUTH_QUOTED"), "a\"b");
    EXPECT_EQ(environment_value(env, "QV_AUTH_ESCAPED"), "x");
    // Not matched by a filter, or the agent's own flag.
    EXPECT_FALSE(environment_value(env, "QV_AUTH_EMAIL"));
    EXPECT_FALSE(environment_value(env, "QV_AUTH_SUBJECT"));
    EXPECT_EQ(env.find("QV_AUTH_IS."), std::string::npos) << env;
    // The same as request headers.
    EXPECT_EQ(response.header("X-Echo-QV_AUTH_GROUP"), "a, b");
    EXPECT_EQ(response.header("X-Echo-QV_AUTH_NAME"), "Jo Doe");
}

// The requests of one session within a second share its renewal and what
// exposing it gave, but only under the configuration that made it: a host
// with another prefix, reading the same agent file, exposes its own names.
TEST(Exposure, RepeatedRequestsExposeWhatTheirOwnConfigurationSays) {
    ServerSetup setup = exposure_setup("QuorvelSessionAttrFilter ^(?i)(group|name)$\nQuorvelVerboseLevel 3\n");
    setup.server_directives = "<VirtualHost 127.0.0.1>\n  ServerName 127.0.0.1\n</VirtualHost>\n"
                              "<VirtualHost 127.0.0.1>\n  ServerName other.test\n  QuorvelAuthnPrefix OTHER_\n"
                              "</VirtualHost>\n";
    ApacheServer &server = shared_server(setup);
    ASSERT_TRUE(server.serving()) << server.log().text();
    // Keys that differ in letter case only are one name.
    const std::string token = session_token("jdoe", "is.subsequent.request=TRUE\nname='Jo Doe'\ngroup=a\nGroup=b\n");
    // The cache keeps a token from its second time.
    ASSERT_EQ(request(server, token).status, 200);
    for (int attempt = 0;; ++attempt) {
        ASSERT_LT(attempt, 3) << "no four requests within one second";
        const int64_t start = now_seconds();
        while (now_seconds() == start) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const int64_t second = now_seconds();
        const LogMark mark = server.mark();
        const HttpResponse main_first = request(server, token);
        const HttpResponse main_again = request(server, token);
        const HttpResponse other_first = request(server, token, {"Host: other.test"});
        const HttpResponse other_again = request(server, token, {"Host: other.test"});
        if (now_seconds() != second) continue;
        for (const HttpResponse *response : {&main_first, &main_again}) {
            ASSERT_EQ(response->status, 200) << response->body;
            EXPECT_EQ(environment_value(response->body, "QV_AUTH_GROUP"), "a, b");
            EXPECT_EQ(environment_value(response->body, "QV_AUTH_NAME"), "Jo Doe");
            EXPECT_FALSE(environment_value(response->body, "OTHER_GROUP"));
        }
        for (const HttpResponse *response : {&other_first, &other_again}) {
            ASSERT_EQ(response->status, 200) << response->body;
            EXPECT_EQ(environment_value(response->body, "OTHER_GROUP"), "a, b");
            EXPECT_EQ(environment_value(response->body, "OTHER_NAME"), "Jo Doe");
            EXPECT_FALSE(environment_value(response->body, "QV_AUTH_GROUP"));
        }
        const std::string repeated =
            "The session has been renewed within this second before - the renewal comes from the token cache";
        // The second request of each host; the host's first one renewed again.
        const ErrorLog log = server.log_since(mark);
        EXPECT_EQ(log.count(repeated), 2u) << log.text();
        return;
    }
}

TEST(Exposure, EachChannelCanBeSwitchedOff) {
    ApacheServer &headers_only = shared_server(exposure_setup(
        "QuorvelSessionAttrFilter .*\nQuorvelExposeSessionAttributesToEnvironmentVariables no\n",
        echo("QV_AUTH_SUBJECT")));
    ASSERT_TRUE(headers_only.serving()) << headers_only.log().text();
    HttpResponse response = request(headers_only, session_token("jdoe"));
    EXPECT_EQ(response.header("X-Echo-QV_AUTH_SUBJECT"), "jdoe");
    EXPECT_FALSE(environment_value(response.body, "QV_AUTH_SUBJECT")) << response.body;

    ApacheServer &environment_only = shared_server(exposure_setup(
        "QuorvelSessionAttrFilter .*\nQuorvelExposeSessionAttributesToHttpHeaders no\n", echo("QV_AUTH_SUBJECT")));
    ASSERT_TRUE(environment_only.serving()) << environment_only.log().text();
    response = request(environment_only, session_token("jdoe"));
    EXPECT_EQ(response.header("X-Echo-QV_AUTH_SUBJECT").value_or(""), "");
    EXPECT_EQ(environment_value(response.body, "QV_AUTH_SUBJECT"), "jdoe");

    // Without any filter nothing is exposed.
    ApacheServer &unfiltered = shared_server(exposure_setup({}));
    ASSERT_TRUE(unfiltered.serving()) << unfiltered.log().text();
    response = request(unfiltered, session_token("jdoe"));
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body.find("QV_AUTH_"), std::string::npos) << response.body;
}

TEST(SpoofedHeaders, ClientAttributeHeadersNeverReachTheApplication) {
    ApacheServer &server = shared_server(exposure_setup(
        "QuorvelSessionAttrFilter ^subject$\n",
        echo("QV_AUTH_SUBJECT") + echo("qv-auth-subject") + echo("Qv-Auth-Role") + echo("X-QV-AUTH-USER")));
    ASSERT_TRUE(server.serving()) << server.log().text();
    const std::vector<std::string> spoofed = {"qv_auth_subject: evil", "QV-AUTH-SUBJECT: evil", "Qv-Auth-Role: admin",
                                              "qV_aUtH-mAiL: evil@example.test", "X-QV-AUTH-USER: kept"};
    for (const std::string &path : {kProtectedCgi, std::string("/cgi-bin/env.cgi/open")}) {
        std::vector<std::string> headers = spoofed;
        if (path == kProtectedCgi) headers.push_back(cookie_header(session_token("jdoe")));
        const HttpResponse response = get(server.url(path), headers);
        ASSERT_EQ(response.status, 200) << path << "\n" << response.body;
        // CGI shows '-' as '_': a dashed spelling would otherwise pose as the agent's variable.
        EXPECT_EQ(response.body.find("HTTP_QV_AUTH_"), std::string::npos) << path << "\n" << response.body;
        EXPECT_EQ(environment_value(response.body, "HTTP_X_QV_AUTH_USER"), "kept") << path;
        EXPECT_EQ(response.header("X-Echo-Qv-Auth-Role").value_or(""), "") << path;
        EXPECT_EQ(response.header("X-Echo-qv-auth-subject").value_or(""), "") << path;
        EXPECT_EQ(response.header("X-Echo-X-QV-AUTH-USER"), "kept") << path;
    }
    // Only the agent's value is left under the agent's name.
    const HttpResponse response = get(server.url(kProtectedCgi), {"QV_AUTH_SUBJECT: evil", cookie_header(session_token("jdoe"))});
    EXPECT_EQ(response.header("X-Echo-QV_AUTH_SUBJECT"), "jdoe");
    EXPECT_EQ(environment_value(response.body, "QV_AUTH_SUBJECT"), "jdoe");
}

TEST(SpoofedHeaders, PrefixStartingWithHttpAlsoCoversTheShortForm) {
    ApacheServer &server = shared_server(
        exposure_setup("QuorvelAuthnPrefix HTTP_QVX_\n", echo("HTTP_QVX_A") + echo("QVX-B") + echo("QVXC")));
    ASSERT_TRUE(server.serving()) << server.log().text();
    const HttpResponse response = get(server.url("/public/index.html"), {"HTTP_QVX_A: 1", "QVX-B: 2", "QVXC: 3"});
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.header("X-Echo-HTTP_QVX_A").value_or(""), "");
    EXPECT_EQ(response.header("X-Echo-QVX-B").value_or(""), "");
    EXPECT_EQ(response.header("X-Echo-QVXC"), "3");
}

TEST(SpoofedHeaders, WithoutPrefixTheTokensAttributeListNamesThem) {
    const std::string headers[] = {"Subject", "MAIL", "Other", "authnContext", "not_before", "Not-On-Or-After",
                                   "renew_until", "Renew-Until"};
    std::string echoes;
    for (const std::string &header : headers) echoes += echo(header);
    // An empty prefix can only be written in the module configuration file.
    ServerSetup setup = exposure_setup("QuorvelConfigurationFile {root}/conf/module.conf\n"
                                       "QuorvelSessionAttrFilter ^(subject|mail)$\n",
                                       echoes);
    setup.files["conf/module.conf"] = "QuorvelAuthnPrefix \"\"\n";
    ApacheServer &server = shared_server(setup);
    ASSERT_TRUE(server.serving()) << server.log().text();

    const std::vector<std::string> sent = {"Subject: evil",        "mail: evil@example.test", "Other: kept",
                                           "AUTHNCONTEXT: strong", "not_before: 1",           "not-on-or-after: 2",
                                           "renew_until: 3",       "RENEW-UNTIL: 4"};
    std::vector<std::string> with_cookie = sent;
    with_cookie.push_back(cookie_header(session_token("jdoe", "mail=j@example.test\nqv_attribute_list= subject , mail\n")));
    const HttpResponse response = get(server.url(kProtectedCgi), with_cookie);
    ASSERT_EQ(response.status, 200) << response.body;
    EXPECT_EQ(response.header("X-Echo-Subject"), "jdoe");
    EXPECT_EQ(response.header("X-Echo-MAIL"), "j@example.test");
    EXPECT_EQ(response.header("X-Echo-Other"), "kept");
    for (const char *removed : {"authnContext", "not_before", "Not-On-Or-After", "renew_until", "Renew-Until"})
        EXPECT_EQ(response.header(std::string("X-Echo-") + removed).value_or(""), "") << removed;
    EXPECT_EQ(environment_value(response.body, "SUBJECT"), "jdoe");

    // Without the list the agent cannot tell which headers to trust.
    std::vector<std::string> without_list = sent;
    without_list.push_back(cookie_header(session_token("jdoe")));
    const HttpResponse refused = get(server.url(kProtectedCgi), without_list);
    EXPECT_EQ(refused.status, 500);
    EXPECT_NE(refused.body.find("AuthnPrefix is not set, and session attribute qv_attribute_list is not set in the "
                                "token. Session is not valid."),
              std::string::npos)
        << refused.body;
    EXPECT_EQ(refused.all_headers("Set-Cookie"), std::vector<std::string>{erasing_cookie()});
}

}  // namespace
