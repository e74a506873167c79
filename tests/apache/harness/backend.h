// An application server behind Apache's proxy, for tests: it answers every
// request on 127.0.0.1 with 200 and a body that shows what reached it (the
// request line, every header as received, then the body), so that a test
// sees exactly what the agent passed on.
//
//   Backend backend;                       // listens on a free port
//   setup.server_directives += "ProxyPass /app/ " + backend.url("/") + "\n";
//   EXPECT_NE(backend_header(response.body, "QV_AUTH_SUBJECT"), std::nullopt);
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace qvtest {

struct BackendOptions {
    // Refuse (400) a request with a header name holding '_', as several
    // application servers and proxies do by default.
    bool refuse_underscores = false;
    // Further header lines of every response ("Cache-Control: max-age=600").
    std::vector<std::string> response_headers;
};

class Backend {
public:
    explicit Backend(BackendOptions options = {});
    ~Backend();
    Backend(const Backend &) = delete;
    Backend &operator=(const Backend &) = delete;

    uint16_t port() const { return port_; }
    std::string url(std::string_view path = "/") const;
    // Requests answered so far.
    int requests() const { return requests_.load(); }

private:
    void serve();
    void answer(int connection);

    BackendOptions options_;
    int listener_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> requests_{0};
    std::thread thread_;
};

// The first line of a backend's answer body: "BACKEND <request line>".
std::optional<std::string> backend_request_line(std::string_view body);
// The value of a request header as the backend received it (name compared exactly).
std::optional<std::string> backend_header(std::string_view body, std::string_view name);
// Every header name the backend received.
std::vector<std::string> backend_header_names(std::string_view body);

}  // namespace qvtest
