// Assembling the URL of a request, removing the session token from it, and
// the login page URL that carries it back as TargetResource.
#pragma once

#include <string>
#include <string_view>

namespace qv {

// Port 80 for "http" and 443 for "https", letter case ignored.
bool is_default_port(std::string_view scheme, unsigned port);

// "scheme://host/", or "scheme://host:port/" unless the port is the scheme's default.
std::string format_base_url(std::string_view scheme, std::string_view host, unsigned port);

// The base URL followed by the request URI, with exactly one '/' between them.
std::string append_request_uri(std::string_view base_url, std::string_view uri);

// Where the first parameter of the name starts in a query string: at its
// start, or after '?' or '&' with nothing but white space between; '=' must
// follow the name directly. A name that merely ends with it is another
// parameter's. npos when there is none; an empty name is never found.
size_t find_query_parameter(std::string_view query, std::string_view name);

// Removes every parameter of the name (found as find_query_parameter finds
// it, with its value up to and including the next '&') from the query of the
// URL; the separator before a last parameter goes with it. Returns how many
// were removed.
size_t remove_token_parameter(std::string &url, std::string_view name);

inline constexpr std::string_view kTargetResourceParameter = "TargetResource=";

// The login URL extended with "TargetResource=" and the URL-safe form of the
// request URL, after '&' when the login URL already has a '?', else after '?'.
std::string login_url_with_target(std::string_view login_url, std::string_view request_url);

}  // namespace qv
