// What a protected request without a session gets instead of the login
// redirect when it is not a browser navigation: a 401 that scripts can read.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qv {

// The request headers that tell a navigation from a script's request; each
// is absent or its value.
struct FetchSignals {
    std::optional<std::string_view> sec_fetch_mode;
    std::optional<std::string_view> sec_fetch_dest;
    std::optional<std::string_view> requested_with;
    std::optional<std::string_view> accept;
};

// The headers the answer depends on, for Vary.
inline constexpr std::string_view kFetchSignalHeaders = "Sec-Fetch-Mode, Sec-Fetch-Dest, X-Requested-With, Accept";

// True for a request that is not a top-level navigation: Sec-Fetch-Mode other
// than "navigate", X-Requested-With: XMLHttpRequest, or, when the browser sent
// no Sec-Fetch-Mode or Sec-Fetch-Dest header, an Accept header that does not
// name text/html (or none at all). Frames navigate too.
bool is_script_request(const FetchSignals &signals);

// True when a media range of the Accept value is text/html with a weight
// above zero ("*/*" names no type).
bool accept_names_html(std::string_view accept);

// The text as an HTTP quoted-string: in double quotes, '"' and '\' escaped.
std::string quoted_string(std::string_view text);

// The WWW-Authenticate value: Quorvel realm="R", login="URL".
std::string login_challenge(std::string_view realm, std::string_view login_url);

// The JSON body: {"error":"unauthenticated","login":"URL"} and a line feed.
std::string login_json(std::string_view login_url);

}  // namespace qv
