// Entry point of every Apache test program: curl set up once, shared servers
// stopped at the end.
#include "apache_server.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

namespace {

class SharedServers : public ::testing::Environment {
public:
    void TearDown() override { qvtest::stop_shared_servers(); }
};

}  // namespace

int main(int argc, char **argv) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new SharedServers);
    const int result = RUN_ALL_TESTS();
    qvtest::stop_shared_servers();
    curl_global_cleanup();
    return result;
}
