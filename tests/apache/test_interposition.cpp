// libnubrel inside a crowded process: a module loaded before mod_qv exports
// every function name the library calls itself, with wrong answers
// (modules/nubrel_interposer.cpp). The library keeps its own calls, so the
// agent file still reads and tokens still decode and encode.
#include "apache_server.h"
#include "http_client.h"
#include "session_helpers.h"
#include "tokens.h"

#include <gtest/gtest.h>

using namespace qvtest;

namespace {

ServerSetup crowded_setup(int suite) {
    ServerSetup setup;
    setup.modules_before_agent = {{"qv_nubrel_interposer_module", QV_INTERPOSER_MODULE}};
    setup.agent_file = minimal_agent_file() + "cipher-suite = " + std::to_string(suite) + "\n";
    return setup;
}

}  // namespace

// Suite 2 is the agent file's default; suite 3 takes the other key and
// cipher paths, and the agent file's cipher-suite line goes through the
// library's own setters.
TEST(Interposition, TheLibraryKeepsItsOwnCallsForEverySuite) {
    for (const int suite : {2, 3}) {
        SCOPED_TRACE("suite " + std::to_string(suite));
        ApacheServer &server = shared_server(crowded_setup(suite));
        ASSERT_TRUE(server.serving()) << server.log().text();
        const LogMark mark = server.mark();

        const HttpResponse response =
            get(server.url("/protected/index.html"), {cookie_header(make_token(session_payload("alice"), suite))});
        EXPECT_EQ(response.status, 200) << response.error << "\n" << server.log_since(mark).text();
        EXPECT_EQ(response.body, "protected\n");
        const auto renewed = renewed_token(response);
        ASSERT_TRUE(renewed) << server.log_since(mark).text();
        const auto payload = token_payload(*renewed);
        ASSERT_TRUE(payload) << *renewed;
        EXPECT_NE(payload->find("subject=alice\n"), std::string::npos) << *payload;

        // The interposer is in place: mod_qv's own calls reached it (and were
        // passed on); none of the library's did.
        const ErrorLog log = server.log();
        EXPECT_TRUE(log.contains("qv-interposer: nubrel_get_payload_value passed a call from mod_qv on")) << log.text();
        EXPECT_FALSE(log.contains("answered a call")) << log.text();
    }
}
