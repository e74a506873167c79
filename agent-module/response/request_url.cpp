#include "response/request_url.h"

#include "config/config_values.h"
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

size_t find_query_parameter(std::string_view query, std::string_view name) {
    if (name.empty()) return std::string_view::npos;
    for (size_t at = query.find(name); at != std::string_view::npos; at = query.find(name, at + name.size())) {
        const size_t after = at + name.size();
        if (after >= query.size() || query[after] != '=') continue;
        size_t before = at;
        while (before > 0 && is_space(query[before - 1])) --before;
        if (at == 0 || (before > 0 && (query[before - 1] == '?' || query[before - 1] == '&'))) return at;
    }
    return std::string_view::npos;
}

size_t remove_token_parameter(std::string &url, std::string_view name) {
    // Only the query is searched: a path segment that happens to read
    // "name=..." is part of the resource, not a token.
    const size_t query = url.find('?');
    if (query == std::string::npos) return 0;
    size_t removed = 0;
    for (size_t at; (at = find_query_parameter(std::string_view(url).substr(query + 1), name)) != std::string::npos;) {
        ++removed;
        size_t start = query + 1 + at;
        while (start > query + 1 && is_space(url[start - 1])) --start;
        // The value ends at the first '&' after the '=', even if the name holds one.
        const size_t ampersand = url.find('&', query + 1 + at + name.size());
        if (ampersand != std::string::npos) {
            url.erase(start, ampersand + 1 - start);
            continue;
        }
        url.resize(start);
        if (start > 0 && (url[start - 1] == '?' || url[start - 1] == '&')) url.pop_back();
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
