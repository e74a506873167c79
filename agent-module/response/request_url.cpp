#include "response/request_url.h"

#include "response/url_syntax.h"

#include <cctype>

namespace qv {

namespace {

bool equals_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

}  // namespace

bool is_default_port(std::string_view scheme, unsigned port) {
    return (port == 80 && equals_ignoring_case(scheme, "http")) ||
           (port == 443 && equals_ignoring_case(scheme, "https"));
}

std::string format_base_url(std::string_view scheme, std::string_view host, unsigned port) {
    std::string url;
    url.reserve(scheme.size() + host.size() + 10);
    url.append(scheme).append("://").append(host);
    if (!is_default_port(scheme, port)) url.append(":").append(std::to_string(port));
    url.push_back('/');
    return url;
}

std::string append_request_uri(std::string_view base_url, std::string_view uri) {
    std::string url;
    url.reserve(base_url.size() + uri.size() + 1);
    url.append(base_url);
    if (url.empty() || url.back() != '/') url.push_back('/');
    if (!uri.empty() && uri.front() == '/') uri.remove_prefix(1);
    url.append(uri);
    return url;
}

size_t remove_token_parameter(std::string &url, std::string_view name) {
    if (name.empty()) return 0;
    // Only the query is searched: a path segment that happens to read
    // "name=..." is part of the resource, not a token.
    const size_t query = url.find('?');
    if (query == std::string::npos) return 0;
    size_t removed = 0;
    size_t from = query + 1;
    for (size_t match; (match = url.find(name, from)) != std::string::npos;) {
        const size_t end = match + name.size();
        if (end >= url.size() || url[end] != '=') {
            from = end;
            continue;
        }
        ++removed;
        // The value ends at the first '&' after the '=', even if the name holds one.
        const size_t ampersand = url.find('&', end);
        if (ampersand != std::string::npos) {
            url.erase(match, ampersand + 1 - match);
            // The text before the parameter now runs into the one after it and
            // may end in a new "name=" ("totok=1&k=2" leaves "tok=2").
            from = query + 1;
            continue;
        }
        url.resize(match);
        if (match > 0 && (url[match - 1] == '?' || url[match - 1] == '&')) url.pop_back();
        break;
    }
    return removed;
}

std::string login_url_with_target(std::string_view login_url, std::string_view request_url) {
    std::string url;
    url.reserve(login_url.size() + kTargetResourceParameter.size() + 3 * request_url.size() + 1);
    url.append(login_url);
    url.push_back(login_url.find('?') != std::string_view::npos ? '&' : '?');
    url.append(kTargetResourceParameter);
    url.append(url_safe_encode(request_url));
    return url;
}

}  // namespace qv
