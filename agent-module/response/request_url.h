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

// Removes every "name=value" parameter (with its trailing '&') from the query
// of the URL; the separator before a last parameter goes with it. Like token
// discovery, the name may end a longer parameter name. Returns how many were
// removed; an empty name removes nothing.
size_t remove_token_parameter(std::string &url, std::string_view name);

inline constexpr std::string_view kTargetResourceParameter = "TargetResource=";

// The login URL extended with "TargetResource=" and the URL-safe form of the
// request URL, after '&' when the login URL already has a '?', else after '?'.
std::string login_url_with_target(std::string_view login_url, std::string_view request_url);

}  // namespace qv
