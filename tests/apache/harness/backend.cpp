#include "backend.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <strings.h>

namespace qvtest {

namespace {

bool send_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent <= 0) return false;
        bytes.remove_prefix(static_cast<size_t>(sent));
    }
    return true;
}

// The value of a Content-Length line of a request head, or 0.
size_t content_length(std::string_view head) {
    size_t at = 0;
    while ((at = head.find("\r\n", at)) != std::string_view::npos) {
        at += 2;
        const std::string_view line = head.substr(at, head.find("\r\n", at) - at);
        if (line.size() > 15 && strncasecmp(line.data(), "Content-Length:", 15) == 0)
            return static_cast<size_t>(std::strtoul(std::string(line.substr(15)).c_str(), nullptr, 10));
    }
    return 0;
}

// The header lines of a body the backend wrote, after its first line.
std::vector<std::string_view> header_lines(std::string_view body) {
    std::vector<std::string_view> lines;
    const size_t end = body.find("\nBODY:");
    std::string_view head = body.substr(0, end);
    const size_t first = head.find('\n');
    if (first == std::string_view::npos) return lines;
    head.remove_prefix(first + 1);
    while (!head.empty()) {
        const size_t newline = head.find('\n');
        lines.push_back(head.substr(0, newline));
        if (newline == std::string_view::npos) break;
        head.remove_prefix(newline + 1);
    }
    return lines;
}

}  // namespace

Backend::Backend(BackendOptions options) : options_(std::move(options)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (listener_ < 0) throw std::runtime_error("backend: socket failed");
    const int yes = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(listener_, 64) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        throw std::runtime_error("backend: cannot listen on 127.0.0.1");
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
}

Backend::~Backend() {
    stopping_ = true;
    ::shutdown(listener_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    ::close(listener_);
}

std::string Backend::url(std::string_view path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

void Backend::serve() {
    while (!stopping_) {
        pollfd waiting{listener_, POLLIN, 0};
        if (::poll(&waiting, 1, 100) <= 0) continue;
        const int connection = ::accept(listener_, nullptr, nullptr);
        if (connection < 0) continue;
        answer(connection);
        ::close(connection);
    }
}

// One request per connection: the answer says "Connection: close".
void Backend::answer(int connection) {
    std::string request;
    char buffer[16384];
    size_t head_end = std::string::npos;
    while (head_end == std::string::npos) {
        pollfd waiting{connection, POLLIN, 0};
        if (::poll(&waiting, 1, 5000) <= 0) return;
        const ssize_t got = ::recv(connection, buffer, sizeof buffer, 0);
        if (got <= 0) return;
        request.append(buffer, static_cast<size_t>(got));
        head_end = request.find("\r\n\r\n");
    }
    const std::string head = request.substr(0, head_end);
    const size_t wanted = content_length(head);
    while (request.size() < head_end + 4 + wanted) {
        pollfd waiting{connection, POLLIN, 0};
        if (::poll(&waiting, 1, 5000) <= 0) break;
        const ssize_t got = ::recv(connection, buffer, sizeof buffer, 0);
        if (got <= 0) break;
        request.append(buffer, static_cast<size_t>(got));
    }
    ++requests_;

    std::string body = "BACKEND ";
    bool underscore = false;
    size_t at = 0;
    while (at <= head.size()) {
        const size_t end = std::min(head.find("\r\n", at), head.size());
        const std::string_view line(head.data() + at, end - at);
        if (at > 0 && line.substr(0, line.find(':')).find('_') != std::string_view::npos) underscore = true;
        body.append(line).push_back('\n');
        at = end + 2;
    }
    body += "BODY:" + request.substr(head_end + 4);
    const bool refused = underscore && options_.refuse_underscores;
    std::string response = refused ? "HTTP/1.1 400 Bad Request\r\n" : "HTTP/1.1 200 OK\r\n";
    if (refused) body = "header name with an underscore refused\n";
    response += "Content-Type: text/plain\r\nConnection: close\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    for (const std::string &line : options_.response_headers) response += line + "\r\n";
    response += "\r\n" + body;
    send_all(connection, response);
}

std::optional<std::string> backend_request_line(std::string_view body) {
    if (body.rfind("BACKEND ", 0) != 0) return std::nullopt;
    return std::string(body.substr(8, body.find('\n') - 8));
}

std::optional<std::string> backend_header(std::string_view body, std::string_view name) {
    for (const std::string_view line : header_lines(body)) {
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos || line.substr(0, colon) != name) continue;
        std::string_view value = line.substr(colon + 1);
        while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
        return std::string(value);
    }
    return std::nullopt;
}

std::vector<std::string> backend_header_names(std::string_view body) {
    std::vector<std::string> names;
    for (const std::string_view line : header_lines(body)) names.emplace_back(line.substr(0, line.find(':')));
    return names;
}

}  // namespace qvtest
