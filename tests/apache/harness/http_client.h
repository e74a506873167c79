// HTTP for tests: libcurl with nothing automatic (no redirects followed, no
// cookie engine), and raw socket writes for bytes a client library will not send.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qvtest {

struct HttpRequest {
    std::string method = "GET";
    std::string url;
    // Complete header lines ("Name: value"); "Name:" removes a header curl would send.
    std::vector<std::string> headers;
    std::optional<std::string> body;
    std::chrono::milliseconds timeout{15000};
};

struct HttpResponse {
    long status = 0;  // 0 when no response arrived; see error
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;  // in order received
    std::string error;

    // The first header of that name (letter case ignored).
    std::optional<std::string> header(std::string_view name) const;
    std::vector<std::string> all_headers(std::string_view name) const;
};

HttpResponse send(const HttpRequest &request);
HttpResponse get(const std::string &url, std::vector<std::string> headers = {});
// A form post ("application/x-www-form-urlencoded") unless a Content-Type header is given.
HttpResponse post(const std::string &url, std::string body, std::vector<std::string> headers = {});

// Writes the bytes to 127.0.0.1:port and returns everything read until the
// server closes the connection or the timeout passes. With close_sending, the
// client then shuts its sending side, as one that gives up mid-request does.
std::string raw_exchange(uint16_t port, std::string_view bytes,
                         std::chrono::milliseconds timeout = std::chrono::milliseconds(10000),
                         bool close_sending = false);
// Status, headers and body of a raw HTTP/1.x response (no chunked decoding).
HttpResponse parse_raw_response(std::string_view bytes);

}  // namespace qvtest
