#include "http_client.h"

#include <curl/curl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <memory>

namespace qvtest {

namespace {

bool same_name(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' || text.back() == '\n'))
        text.remove_suffix(1);
    return text;
}

size_t collect_body(char *data, size_t size, size_t count, void *target) {
    static_cast<std::string *>(target)->append(data, size * count);
    return size * count;
}

// Header lines of the last response only: curl reports interim responses too.
size_t collect_header(char *data, size_t size, size_t count, void *target) {
    auto *response = static_cast<HttpResponse *>(target);
    const std::string_view line(data, size * count);
    if (line.rfind("HTTP/", 0) == 0) {
        response->headers.clear();
    } else if (const size_t colon = line.find(':'); colon != std::string_view::npos) {
        response->headers.emplace_back(std::string(trim(line.substr(0, colon))),
                                       std::string(trim(line.substr(colon + 1))));
    }
    return size * count;
}

struct CurlDeleter {
    void operator()(CURL *curl) const { curl_easy_cleanup(curl); }
};
struct SlistDeleter {
    void operator()(curl_slist *list) const { curl_slist_free_all(list); }
};

}  // namespace

std::optional<std::string> HttpResponse::header(std::string_view name) const {
    for (const auto &[key, value] : headers)
        if (same_name(key, name)) return value;
    return std::nullopt;
}

std::vector<std::string> HttpResponse::all_headers(std::string_view name) const {
    std::vector<std::string> values;
    for (const auto &[key, value] : headers)
        if (same_name(key, name)) values.push_back(value);
    return values;
}

HttpResponse send(const HttpRequest &request) {
    HttpResponse response;
    std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
    if (!curl) {
        response.error = "curl_easy_init failed";
        return response;
    }
    std::unique_ptr<curl_slist, SlistDeleter> headers;
    for (const std::string &line : request.headers) {
        curl_slist *grown = curl_slist_append(headers.get(), line.c_str());
        if (grown == nullptr) {
            response.error = "curl_slist_append failed";
            return response;
        }
        headers.release();
        headers.reset(grown);
    }
    CURL *handle = curl.get();
    curl_easy_setopt(handle, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(request.timeout.count()));
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, collect_body);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &response.body);
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, collect_header);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, &response);
    if (request.body) {
        curl_easy_setopt(handle, CURLOPT_POSTFIELDS, request.body->data());
        curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body->size()));
    }
    if (request.method == "HEAD")
        curl_easy_setopt(handle, CURLOPT_NOBODY, 1L);
    else if (request.method != "GET" || request.body)
        curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    const CURLcode code = curl_easy_perform(handle);
    if (code != CURLE_OK) {
        response.error = curl_easy_strerror(code);
        return response;
    }
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &response.status);
    return response;
}

HttpResponse get(const std::string &url, std::vector<std::string> headers) {
    return send({"GET", url, std::move(headers), std::nullopt});
}

HttpResponse post(const std::string &url, std::string body, std::vector<std::string> headers) {
    const bool typed = std::any_of(headers.begin(), headers.end(), [](const std::string &line) {
        return same_name(std::string_view(line).substr(0, line.find(':')), "Content-Type");
    });
    if (!typed) headers.emplace_back("Content-Type: application/x-www-form-urlencoded");
    return send({"POST", url, std::move(headers), std::move(body)});
}

std::string raw_exchange(uint16_t port, std::string_view bytes, std::chrono::milliseconds timeout,
                         bool close_sending) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return {};
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    std::string received;
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
        size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<size_t>(n);
        }
        if (close_sending) ::shutdown(fd, SHUT_WR);
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        char buffer[8192];
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                     std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd waiting{fd, POLLIN, 0};
            if (::poll(&waiting, 1, static_cast<int>(left.count())) <= 0) break;
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            received.append(buffer, static_cast<size_t>(n));
        }
    }
    ::close(fd);
    return received;
}

HttpResponse parse_raw_response(std::string_view bytes) {
    HttpResponse response;
    const size_t head_end = bytes.find("\r\n\r\n");
    std::string_view head = bytes.substr(0, head_end);
    response.body = head_end == std::string_view::npos ? std::string() : std::string(bytes.substr(head_end + 4));
    bool first = true;
    while (!head.empty()) {
        const size_t end = head.find("\r\n");
        const std::string_view line = head.substr(0, end);
        head = end == std::string_view::npos ? std::string_view() : head.substr(end + 2);
        if (first) {
            first = false;
            const size_t space = line.find(' ');
            if (line.rfind("HTTP/", 0) == 0 && space != std::string_view::npos)
                response.status = std::strtol(std::string(line.substr(space + 1, 3)).c_str(), nullptr, 10);
            continue;
        }
        if (const size_t colon = line.find(':'); colon != std::string_view::npos)
            response.headers.emplace_back(std::string(trim(line.substr(0, colon))),
                                          std::string(trim(line.substr(colon + 1))));
    }
    if (response.status == 0) response.error = "no HTTP response";
    return response;
}

}  // namespace qvtest
